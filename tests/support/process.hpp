#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace korvex_test {

// A program started by the test with a plain argument vector: no shell ever
// sees the arguments, so test data may hold quotes, spaces or '$'.
// The child dies with the thread that started it (PR_SET_PDEATHSIG), so a
// crashed test leaves no stray broker behind.
class child_process_t {
 public:
  // stdout_fd/stderr_fd are duplicated into the child; -1 means /dev/null.
  child_process_t(const std::vector<std::string>& argv, int stdout_fd, int stderr_fd);
  ~child_process_t();
  child_process_t(const child_process_t&) = delete;
  child_process_t& operator=(const child_process_t&) = delete;

  pid_t pid() const { return child_pid; }
  // False once the child has exited (it is reaped then).
  bool running();
  // Sends the signal and waits for the child to go; returns its wait status.
  int stop(int signal_number);
  // Blocks until the child exits; returns its wait status.
  int wait();

 private:
  pid_t child_pid = -1;
  bool reaped = false;
  int wait_status = 0;
};

struct process_result_t {
  int exit_code = -1;       // -1 when killed by a signal or by the timeout
  bool timed_out = false;
  std::string output;       // stdout followed by nothing else: stderr goes to error_output
  std::string error_output;
};

// Runs a program to its end, killing it after the timeout.
process_result_t run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// Opens a close-on-exec pipe; throws on failure.
void open_pipe(int fds[2]);

}  // namespace korvex_test
