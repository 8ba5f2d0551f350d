#include "support/pty_pair.hpp"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace korvex_test {

pty_pair_t::pty_pair_t() {
  // Raw from the start: nothing the device sends before the port is
  // configured gets echoed or translated.
  termios raw{};
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  int master_fd = -1;
  int terminal_fd = -1;
  char name[256] = {};
  check(::openpty(&master_fd, &terminal_fd, name, &raw, nullptr) == 0, "openpty");
  master = owned_fd_t(master_fd);
  terminal = owned_fd_t(terminal_fd);
  ::fcntl(master_fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(terminal_fd, F_SETFD, FD_CLOEXEC);
  terminal_path = name;
}

void pty_pair_t::send(const bytes_t& bytes) {
  check(::write(master.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "write");
}

void pty_pair_t::send_text(std::string_view text) { send(bytes_t(text.begin(), text.end())); }

std::string pty_pair_t::receive_text(std::size_t count) {
  const bytes_t bytes = receive(count);
  return {bytes.begin(), bytes.end()};
}

}  // namespace korvex_test
