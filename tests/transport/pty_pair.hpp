#pragma once

// A pseudo-terminal pair standing in for a serial device: the connection
// opens the slave side by its path, the test plays the device on the master.

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <system_error>

#include "net/loopback_peer.hpp"

namespace korvex_test {

class pty_pair_t {
 public:
  pty_pair_t() {
    int master_fd = -1;
    int slave_fd = -1;
    char name[256] = {};
    check(::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) == 0, "openpty");
    master = owned_fd_t(master_fd);
    // Raw from the start, so nothing the device sends before the port is
    // configured gets cooked.
    termios settings{};
    ::tcgetattr(slave_fd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave_fd, TCSANOW, &settings);
    ::close(slave_fd);
    slave_path = name;
  }

  int device() const { return master.get(); }
  const std::string& path() const { return slave_path; }
  // The adapter is pulled out: the line hangs up.
  void unplug() { master.reset(); }

  void send(const bytes_t& bytes) { send_all_fd(bytes); }
  bytes_t receive(std::size_t count) { return read_exact(count); }

 private:
  void send_all_fd(const bytes_t& bytes) {
    check(::write(master.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "write");
  }
  bytes_t read_exact(std::size_t count) {
    bytes_t bytes(count);
    std::size_t got = 0;
    while (got < count) {
      if (!wait_readable(master.get())) throw std::runtime_error("device: no bytes in time");
      const ssize_t n = ::read(master.get(), bytes.data() + got, count - got);
      check(n > 0, "read");
      got += static_cast<std::size_t>(n);
    }
    return bytes;
  }

  owned_fd_t master;
  std::string slave_path;
};

}  // namespace korvex_test
