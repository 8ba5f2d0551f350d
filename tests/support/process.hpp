#pragma once

// Programs the tests start: peers (the broker, a Python slave), client tools
// and the service itself.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace korvex_test {

// Throws a system_error carrying errno unless ok.
inline void check(bool ok, const char* what) {
  if (!ok) throw std::system_error(errno, std::system_category(), what);
}

class owned_fd_t {
 public:
  explicit owned_fd_t(int fd = -1) : fd(fd) {}
  owned_fd_t(owned_fd_t&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  owned_fd_t& operator=(owned_fd_t&& other) noexcept {
    reset();
    fd = std::exchange(other.fd, -1);
    return *this;
  }
  ~owned_fd_t() { reset(); }
  void reset() {
    if (fd != -1) ::close(std::exchange(fd, -1));
  }
  int get() const { return fd; }

 private:
  int fd;
};

// Polls the condition until it holds or the deadline passes.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(15)) {
  for (const auto end = std::chrono::steady_clock::now() + deadline; !condition();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// An anonymous file for a child's output: unlike an unread pipe it never
// stalls the child, and it is still there to read once the child is gone.
class output_file_t {
 public:
  output_file_t() : file(memfd_create("child-output", MFD_CLOEXEC)) { check(file.get() >= 0, "memfd_create"); }
  int fd() const { return file.get(); }
  std::string text() const {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = pread(file.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
      text.append(buffer, static_cast<size_t>(got));
    }
    return text;
  }

 private:
  owned_fd_t file;
};

// A program started with a plain argument vector: no shell ever sees the
// arguments, so test data may hold quotes, spaces or '$'. Its output goes to
// the given descriptors (-1: /dev/null). The child dies with the thread that
// started it, so a crashed test leaves no stray broker behind.
class child_process_t {
 public:
  child_process_t(std::vector<std::string> argv, int stdout_fd, int stderr_fd) {
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const pid_t parent = getpid();
    child_pid = fork();
    check(child_pid >= 0, "fork");
    if (child_pid == 0) exec_child(pointers.data(), stdout_fd, stderr_fd, parent);
    exit_watch = owned_fd_t(static_cast<int>(syscall(SYS_pidfd_open, child_pid, 0)));
    check(exit_watch.get() >= 0, "pidfd_open");
  }
  ~child_process_t() { stop(SIGKILL); }

  pid_t pid() const { return child_pid; }
  // True once the child has ended (and is reaped) within the timeout.
  bool wait_for(std::chrono::milliseconds timeout) {
    pollfd exited{exit_watch.get(), POLLIN, 0};
    if (!reaped && poll(&exited, 1, static_cast<int>(timeout.count())) > 0) {
      while (waitpid(child_pid, &wait_status, 0) < 0 && errno == EINTR) {
      }
      reaped = true;
    }
    return reaped;
  }
  bool running() { return !wait_for(std::chrono::milliseconds(0)); }
  // Blocks until the child exits; returns its wait status.
  int wait() {
    while (!wait_for(std::chrono::hours(1))) {
    }
    return wait_status;
  }
  int stop(int signal_number) {
    if (!reaped) kill(child_pid, signal_number);
    return wait();
  }

 private:
  // Only async-signal-safe calls may run between fork and exec: the test
  // process has other threads whose locks a forked child would inherit held.
  [[noreturn]] static void exec_child(char* const* argv, int stdout_fd, int stderr_fd, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null_fd = open("/dev/null", O_RDWR);
    if (getppid() != parent || null_fd < 0) _exit(127);
    dup2(null_fd, STDIN_FILENO);
    dup2(stdout_fd >= 0 ? stdout_fd : null_fd, STDOUT_FILENO);
    dup2(stderr_fd >= 0 ? stderr_fd : null_fd, STDERR_FILENO);
    // Descriptors of other fixtures (a pty, a listener) must not live on in
    // the child, or their peers would never see them close.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    execv(argv[0], argv);
    // Whoever starts a peer learns that the program itself is missing.
    const char prefix[] = "cannot execute ";
    [[maybe_unused]] ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    ignored = write(STDERR_FILENO, argv[0], strlen(argv[0]));
    _exit(127);
  }

  pid_t child_pid = -1;
  owned_fd_t exit_watch;  // a pidfd, readable once the child has ended
  bool reaped = false;
  int wait_status = 0;
};

struct process_result_t {
  int exit_code = -1;  // -1 when killed by a signal or by the timeout
  std::string output;
  std::string error_output;
};

// Runs a program to its end, killing it after the timeout.
inline process_result_t run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  const output_file_t output, errors;
  child_process_t child(argv, output.fd(), errors.fd());
  const bool ended = child.wait_for(timeout);
  const int status = child.stop(SIGKILL);
  return {ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1, output.text(), errors.text()};
}

// A peer the test needs did not come up: stopped, and said why in one line,
// "<peer> could not start: <cause>", so the test fails on the missing program
// or module itself and not on a later assertion that only sees no answer.
// The cause is the last line the peer wrote (of a Python traceback, the
// exception), else how it ended.
inline std::runtime_error start_failure(const std::string& peer, child_process_t& process, const std::string& output) {
  const bool ended = !process.running();
  const int status = process.stop(SIGKILL);
  std::string cause = !ended ? "no sign of life in time"
                      : WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                            : "exited with code " + std::to_string(WEXITSTATUS(status)) + " and no message";
  if (const auto end = output.find_last_not_of(" \t\r\n"); end != std::string::npos) {
    const auto newline = output.rfind('\n', end);
    const auto start = newline == std::string::npos ? 0 : newline + 1;
    cause = output.substr(start, end + 1 - start);
  }
  return std::runtime_error(peer + " could not start: " + cause);
}

// A peer program that prints its port on its first output line once it
// serves, and serves until it is killed (the pymodbus slave).
class port_printing_peer_t {
 public:
  port_printing_peer_t(const std::string& peer, const std::vector<std::string>& argv)
      : process(argv, output.fd(), errors.fd()) {
    wait_until([&] { return output.text().find('\n') != std::string::npos || !process.running(); },
               std::chrono::seconds(10));
    const std::string line = output.text().substr(0, output.text().find('\n'));
    try {
      port_number = std::stoi(line);
    } catch (const std::exception&) {
      throw start_failure(peer, process, line.empty() ? errors.text() : line);
    }
  }
  int port() const { return port_number; }

 private:
  output_file_t output, errors;
  child_process_t process;
  int port_number = 0;
};

}  // namespace korvex_test
