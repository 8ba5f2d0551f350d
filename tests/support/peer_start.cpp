#include "support/peer_start.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace korvex_test {

namespace {

// An interpreter that has to import a server stack may take a while on a
// loaded machine; a peer that fails ends long before this.
constexpr auto port_deadline = std::chrono::seconds(20);

std::string last_line(const std::string& text) {
  const auto end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  const auto newline = text.rfind('\n', end);
  const auto start = newline == std::string::npos ? 0 : newline + 1;
  return text.substr(start, end + 1 - start);
}

// Reads the first line the child prints; empty when it ended or stayed
// silent before the deadline.
std::string first_line(int fd) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + port_deadline;
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) == 0) return "";
    char buffer[64];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return "";
    text.append(buffer, static_cast<size_t>(got));
  }
  return text.substr(0, text.find('\n'));
}

}  // namespace

peer_start_error_t::peer_start_error_t(const std::string& peer, const std::string& cause)
    : std::runtime_error(peer + " could not start: " + cause) {}

std::string start_failure_cause(const std::string& output, std::optional<int> wait_status) {
  if (auto line = last_line(output); !line.empty()) return line;
  if (!wait_status) return "no sign of life in time";
  if (WIFSIGNALED(*wait_status)) return "killed by signal " + std::to_string(WTERMSIG(*wait_status));
  return "exited with code " + std::to_string(WEXITSTATUS(*wait_status)) + " and no message";
}

output_file_t::output_file_t() : descriptor(memfd_create("peer-output", MFD_CLOEXEC)) {
  if (descriptor < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
}

output_file_t::~output_file_t() { close(descriptor); }

std::string output_file_t::text() const {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = pread(descriptor, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

port_printing_peer_t::port_printing_peer_t(const std::string& peer, const std::vector<std::string>& argv) {
  int output[2];
  open_pipe(output);
  process = std::make_unique<child_process_t>(argv, output[1], errors.fd());
  close(output[1]);
  const std::string line = first_line(output[0]);
  close(output[0]);
  try {
    port_number = std::stoi(line);
    return;
  } catch (const std::exception&) {
  }
  const bool ended = !process->running();
  const std::optional<int> status = ended ? std::optional(process->wait()) : std::nullopt;
  throw peer_start_error_t(peer, start_failure_cause(line.empty() ? errors.text() : line, status));
}

}  // namespace korvex_test
