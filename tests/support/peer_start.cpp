#include "support/peer_start.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "support/net.hpp"

namespace korvex_test {

namespace {

std::string last_line(const std::string& text) {
  const auto end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return "";
  const auto newline = text.rfind('\n', end);
  const auto start = newline == std::string::npos ? 0 : newline + 1;
  return text.substr(start, end + 1 - start);
}

// Empty when the child ends or stays silent first.
std::string first_line(int fd) {
  std::string line;
  char next;
  while (wait_readable(fd) && read(fd, &next, 1) == 1 && next != '\n') line += next;
  return line;
}

}  // namespace

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
  const std::optional<int> status = process->running() ? std::nullopt : std::optional(process->wait());
  throw peer_start_error_t(peer, start_failure_cause(line.empty() ? errors.text() : line, status));
}

}  // namespace korvex_test
