#pragma once

// A pseudo-terminal pair standing in for a serial device: the code under test
// opens the terminal end by its path, the test plays the device on the other.

#include <string>
#include <string_view>

#include "support/net.hpp"

namespace korvex_test {

class pty_pair_t {
 public:
  pty_pair_t();

  const std::string& path() const { return terminal_path; }
  int device() const { return master.get(); }
  // The adapter is pulled out: the line hangs up.
  void unplug() { master.reset(); }

  void send(const bytes_t& bytes);
  void send_text(std::string_view text);
  // Exactly count bytes; throws when they do not come in time.
  bytes_t receive(std::size_t count) { return read_exact(master.get(), count); }
  std::string receive_text(std::size_t count);

 private:
  owned_fd_t master;
  // Held open so the device side never sees a hang-up while the code under
  // test closes and reopens the port.
  owned_fd_t terminal;
  std::string terminal_path;
};

}  // namespace korvex_test
