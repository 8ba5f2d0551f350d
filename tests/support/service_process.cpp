#include "support/service_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace korvex_test {

std::string message_of(const std::string& line) {
  for (const std::string level : {"[info] ", "[error] ", "[warning] ", "[debug] "}) {
    if (const auto at = line.find(level); at != std::string::npos) return line.substr(at + level.size());
  }
  return line;
}

service_process_t::service_process_t(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
                                     const std::vector<bind_mount_t>& mounts)
    : output(folder / "output") {
  std::filesystem::create_directories(folder / "var");
  // The mounts come as pairs of arguments up to "--", then the command.
  std::vector<std::string> argv = {
      "/usr/bin/unshare", "-m", "sh", "-c",
      "while [ \"$1\" != -- ]; do mount --bind \"$1\" \"$2\" || exit 99; shift 2; done; shift; exec \"$@\"", "sh",
      (folder / "var").string(), "/var"};
  for (const auto& [source, target] : mounts) argv.insert(argv.end(), {source.string(), target.string()});
  argv.insert(argv.end(), {"--", std::string(KORVEX_BINARY_DIR) + "/korvex"});
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  process = std::make_unique<child_process_t>(argv, fd, fd);
  close(fd);
}

std::vector<std::string> service_process_t::messages() const {
  std::vector<std::string> lines;
  std::istringstream text(read_file(output));
  for (std::string line; std::getline(text, line) && !text.eof();) lines.push_back(message_of(line));
  return lines;
}

int service_process_t::count(const std::string& text) const {
  const auto lines = messages();
  return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

bool service_process_t::wait_for(const std::string& text, std::chrono::milliseconds timeout, int times) const {
  return wait_until([&] { return count(text) >= times; }, timeout);
}

std::optional<int> service_process_t::wait_exit(std::chrono::milliseconds timeout) {
  if (!wait_until([&] { return !process->running(); }, timeout)) return std::nullopt;
  const int status = process->wait();
  return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
}

void service_process_t::send_signal(int number) { kill(process->pid(), number); }

std::string service_process_t::output_text() const { return read_file(output); }

int service_process_t::pid() const { return process->pid(); }

}  // namespace korvex_test
