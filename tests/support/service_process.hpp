#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace korvex_test {

// The message part of a log line "[date] [logger] [level] message".
std::string message_of(const std::string& line);

// A file of the test mounted over a file of the machine, for the service alone.
struct bind_mount_t {
  std::filesystem::path source;
  std::filesystem::path target;
};

// The korvex binary in a private mount namespace where /var is a bind mount
// of folder/var: its cache database and log land there and the machine's own
// /var is never touched. Standard output and error go to folder/output.
class service_process_t {
 public:
  service_process_t(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
                    const std::vector<bind_mount_t>& mounts = {});

  // The messages of the complete lines written so far.
  std::vector<std::string> messages() const;
  int count(const std::string& text) const;
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout, int times = 1) const;
  // The exit code, or nothing on timeout or a death by signal.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  void send_signal(int number);
  std::string output_text() const;
  int pid() const;

 private:
  std::filesystem::path output;
  std::unique_ptr<child_process_t> process;
};

}  // namespace korvex_test
