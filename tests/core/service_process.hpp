#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvex_test {

// The korvex binary as a process, in a private mount namespace where /var is
// a bind mount of var_root: the cache database and the log land there and
// the machine's own /var is never touched. Standard output and error are
// collected line by line.
class service_process_t {
 public:
  service_process_t(const std::filesystem::path& var_root, const std::vector<std::string>& arguments);
  ~service_process_t();
  service_process_t(const service_process_t&) = delete;
  service_process_t& operator=(const service_process_t&) = delete;

  // Waits for a log line whose message (after the logger's "] ") is exactly text.
  bool wait_for_message(const std::string& text, std::chrono::milliseconds timeout);
  int count_message(const std::string& text);
  // The messages in the order written.
  std::vector<std::string> messages();

  // Waits for the process to end; its exit code, or nothing on timeout or a signal death.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  void send_signal(int number);
  // True once the process holds an inotify watch, read from /proc.
  bool wait_for_inotify_watch(std::chrono::milliseconds timeout);
  pid_t pid() const { return child; }

 private:
  void read_output(int fd);

  pid_t child = -1;
  bool reaped = false;
  int exit_status = 0;
  std::thread reader;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> lines;
};

// The message part of a log line: what follows the last "] " of the prefix.
std::string message_of(const std::string& line);

}  // namespace korvex_test
