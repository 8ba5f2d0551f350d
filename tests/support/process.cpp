#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace korvex_test {

namespace {

// Only async-signal-safe calls may run between fork and exec: the test
// process has other threads whose locks a forked child would inherit held.
[[noreturn]] void exec_child(char* const* argv, int stdout_fd, int stderr_fd, pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) _exit(127);
  dup2(null_fd, STDIN_FILENO);
  dup2(stdout_fd >= 0 ? stdout_fd : null_fd, STDOUT_FILENO);
  dup2(stderr_fd >= 0 ? stderr_fd : null_fd, STDERR_FILENO);
  // Descriptors of other fixtures (pipes of a parallel subscriber, a pty) must
  // not leak into the child, or their readers would never see end of file.
  if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
    for (int fd = 3; fd < 65536; ++fd) close(fd);
  }
  execv(argv[0], argv);
  // Said on the child's error output, so whoever starts a peer learns that
  // the program itself is missing and not merely that it ended.
  const char prefix[] = "cannot execute ";
  [[maybe_unused]] ssize_t ignored = write(STDERR_FILENO, prefix, sizeof prefix - 1);
  ignored = write(STDERR_FILENO, argv[0], strlen(argv[0]));
  ignored = write(STDERR_FILENO, "\n", 1);
  _exit(127);
}

}  // namespace

void open_pipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
}

child_process_t::child_process_t(const std::vector<std::string>& argv, int stdout_fd, int stderr_fd) {
  std::vector<std::string> copies = argv;
  std::vector<char*> pointers;
  for (auto& arg : copies) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const pid_t parent = getpid();
  child_pid = fork();
  if (child_pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (child_pid == 0) exec_child(pointers.data(), stdout_fd, stderr_fd, parent);
}

child_process_t::~child_process_t() {
  if (!reaped) stop(SIGKILL);
}

bool child_process_t::running() {
  if (reaped) return false;
  int status = 0;
  const pid_t rc = waitpid(child_pid, &status, WNOHANG);
  if (rc == child_pid) {
    reaped = true;
    wait_status = status;
  }
  return !reaped;
}

int child_process_t::stop(int signal_number) {
  if (!reaped) kill(child_pid, signal_number);
  return wait();
}

int child_process_t::wait() {
  while (!reaped) {
    int status = 0;
    const pid_t rc = waitpid(child_pid, &status, 0);
    if (rc == child_pid) {
      reaped = true;
      wait_status = status;
    } else if (rc < 0 && errno != EINTR) {
      reaped = true;
    }
  }
  return wait_status;
}

process_result_t run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  int out_pipe[2];
  int err_pipe[2];
  open_pipe(out_pipe);
  open_pipe(err_pipe);
  process_result_t result;
  child_process_t child(argv, out_pipe[1], err_pipe[1]);
  close(out_pipe[1]);
  close(err_pipe[1]);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.error_output};
  int open_count = 2;
  while (open_count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    const int rc = poll(fds, 2, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto& entry : fds) {
    if (entry.fd >= 0) close(entry.fd);
  }
  const int status = result.timed_out ? child.stop(SIGKILL) : child.wait();
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace korvex_test
