#pragma once

// A pseudo-terminal pair standing in for a serial device: the code under test
// opens the terminal end by its path, the test plays the device on the other.

#include <pty.h>

#include "support/net.hpp"

namespace korvex_test {

class pty_pair_t {
 public:
  pty_pair_t() {
    // Raw from the start: nothing the device sends before the port is
    // configured gets echoed or translated.
    termios raw{};
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    int master_fd = -1, terminal_fd = -1;
    char name[256] = {};
    check(::openpty(&master_fd, &terminal_fd, name, &raw, nullptr) == 0, "openpty");
    master = owned_fd_t(master_fd);
    terminal = owned_fd_t(terminal_fd);
    ::fcntl(master_fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal_fd, F_SETFD, FD_CLOEXEC);
    terminal_path = name;
  }

  const std::string& path() const { return terminal_path; }
  int device() const { return master.get(); }
  // The adapter is pulled out: the line hangs up.
  void unplug() { master.reset(); }

  void send(const bytes_t& bytes) {
    check(::write(master.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "write");
  }
  void send_text(std::string_view text) { send(bytes_t(text.begin(), text.end())); }
  // Exactly count bytes; throws when they do not come in time.
  bytes_t receive(std::size_t count) { return read_exact(master.get(), count); }
  std::string receive_text(std::size_t count) {
    const bytes_t bytes = receive(count);
    return {bytes.begin(), bytes.end()};
  }

 private:
  owned_fd_t master;
  // Held open so the device side never sees a hang-up while the code under
  // test closes and reopens the port.
  owned_fd_t terminal;
  std::string terminal_path;
};

}  // namespace korvex_test
