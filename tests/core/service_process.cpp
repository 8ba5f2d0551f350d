#include "service_process.hpp"

#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace korvex_test {

namespace {

const std::string korvex_path = std::string(KORVEX_BINARY_DIR) + "/korvex";

}  // namespace

std::string message_of(const std::string& line) {
  // "[date] [logger] [level] message" or "[date] [level] message".
  std::size_t position = 0;
  for (int brackets = 0; brackets < 3 && position < line.size() && line[position] == '['; ++brackets) {
    const auto end = line.find("] ", position);
    if (end == std::string::npos) break;
    const auto level = line.substr(position + 1, end - position - 1);
    position = end + 2;
    if (level == "info" || level == "error" || level == "warning" || level == "debug" || level == "trace") break;
  }
  return line.substr(position);
}

service_process_t::service_process_t(const std::filesystem::path& var_root, const std::vector<std::string>& arguments) {
  std::filesystem::create_directories(var_root);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", "mount --bind \"$0\" /var || exit 99; exec \"$@\"",
                                   var_root.string(), korvex_path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (auto& argument : argv) raw.push_back(argument.data());
  raw.push_back(nullptr);
  child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    execvp(raw[0], raw.data());
    _exit(127);
  }
  close(fds[1]);
  reader = std::thread([this, fd = fds[0]] { read_output(fd); });
}

service_process_t::~service_process_t() {
  if (!reaped) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  reader.join();
}

void service_process_t::read_output(int fd) {
  std::string pending;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    pending.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard lock(mutex);
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      lines.push_back(pending.substr(0, end));
    }
    arrived.notify_all();
  }
  close(fd);
}

bool service_process_t::wait_for_message(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return arrived.wait_for(lock, timeout, [&] {
    for (const auto& line : lines) {
      if (message_of(line) == text) return true;
    }
    return false;
  });
}

int service_process_t::count_message(const std::string& text) {
  int count = 0;
  for (const auto& message : messages()) count += message == text;
  return count;
}

std::vector<std::string> service_process_t::messages() {
  std::lock_guard lock(mutex);
  std::vector<std::string> result;
  for (const auto& line : lines) result.push_back(message_of(line));
  return result;
}

std::optional<int> service_process_t::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped) {
    const pid_t done = waitpid(child, &exit_status, WNOHANG);
    if (done == child) {
      reaped = true;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WIFEXITED(exit_status)) return std::nullopt;
  return WEXITSTATUS(exit_status);
}

void service_process_t::send_signal(int number) { kill(child, number); }

bool service_process_t::wait_for_inotify_watch(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::filesystem::path fdinfo = "/proc/" + std::to_string(child) + "/fdinfo";
  for (;;) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fdinfo, error)) {
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("inotify wd:", 0) == 0) return true;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace korvex_test
