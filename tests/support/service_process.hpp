#pragma once

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/process.hpp"

namespace korvex_test {

// The message part of a log line "[date] [logger] [level] message".
inline std::string message_of(const std::string& line) {
  for (const std::string level : {"[info] ", "[error] ", "[warning] ", "[debug] "}) {
    if (const auto at = line.find(level); at != std::string::npos) return line.substr(at + level.size());
  }
  return line;
}

// A file of the test mounted over a file of the machine, for the service alone.
struct bind_mount_t {
  std::filesystem::path source;
  std::filesystem::path target;
};

// The korvex binary in a private mount namespace where /var is a bind mount
// of folder/var: its cache database and log land there and the machine's own
// /var is never touched.
class service_process_t {
 public:
  service_process_t(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
                    const std::vector<bind_mount_t>& mounts = {})
      : process(command_line(folder, arguments, mounts), output.fd(), output.fd()) {}

  // The messages of the complete lines written so far.
  std::vector<std::string> messages() const {
    std::vector<std::string> lines;
    std::istringstream text(output.text());
    for (std::string line; std::getline(text, line) && !text.eof();) lines.push_back(message_of(line));
    return lines;
  }
  int count(const std::string& text) const {
    const auto lines = messages();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout, int times = 1) const {
    return wait_until([&] { return count(text) >= times; }, timeout);
  }
  // The exit code, or nothing on timeout or a death by signal.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
    if (!process.wait_for(timeout)) return std::nullopt;
    const int status = process.wait();
    return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
  }
  void send_signal(int number) { kill(process.pid(), number); }
  std::string output_text() const { return output.text(); }
  int pid() const { return process.pid(); }

 private:
  // The mounts come as pairs of arguments up to "--", then the command.
  static std::vector<std::string> command_line(const std::filesystem::path& folder,
                                               const std::vector<std::string>& arguments,
                                               const std::vector<bind_mount_t>& mounts) {
    std::filesystem::create_directories(folder / "var");
    std::vector<std::string> argv = {
        "/usr/bin/unshare", "-m", "sh", "-c",
        "while [ \"$1\" != -- ]; do mount --bind \"$1\" \"$2\" || exit 99; shift 2; done; shift; exec \"$@\"", "sh",
        (folder / "var").string(), "/var"};
    for (const auto& [source, target] : mounts) argv.insert(argv.end(), {source.string(), target.string()});
    argv.insert(argv.end(), {"--", std::string(KORVEX_BINARY_DIR) + "/korvex"});
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }

  output_file_t output;
  child_process_t process;
};

}  // namespace korvex_test
