#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace korvex_test {

// A peer the test needs did not come up. what() is one line, "<peer> could
// not start: <cause>", so the test fails on the missing program or module
// itself and not on a later assertion that only sees no answer.
class peer_start_error_t : public std::runtime_error {
 public:
  peer_start_error_t(const std::string& peer, const std::string& cause)
      : std::runtime_error(peer + " could not start: " + cause) {}
};

// The cause as the peer told it: the last non-empty line of what it wrote
// (of a Python traceback, the exception), else how it ended (wait status).
std::string start_failure_cause(const std::string& output, std::optional<int> wait_status);

// An anonymous file for a child's output: unlike an unread pipe it never
// stalls the child, and it is still there to read once the child is gone.
class output_file_t {
 public:
  output_file_t();
  ~output_file_t();
  output_file_t(const output_file_t&) = delete;
  output_file_t& operator=(const output_file_t&) = delete;
  int fd() const { return descriptor; }
  std::string text() const;

 private:
  int descriptor;
};

// A peer program that prints its port on its first output line once it
// serves, and serves until it is killed (the pymodbus slave).
class port_printing_peer_t {
 public:
  port_printing_peer_t(const std::string& peer, const std::vector<std::string>& argv);
  int port() const { return port_number; }

 private:
  output_file_t errors;
  std::unique_ptr<child_process_t> process;
  int port_number = 0;
};

}  // namespace korvex_test
