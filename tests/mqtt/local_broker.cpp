#include "local_broker.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

namespace korvex_test {

namespace {

bool accepts_connections(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

int free_tcp_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    throw std::runtime_error("bind to a free port failed");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

std::string run_output(const std::string& command) {
  std::string output;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  return output;
}

local_broker_t::local_broker_t() : listen_port(free_tcp_port()) {
  folder.write("mosquitto.conf", "listener " + std::to_string(listen_port) +
                                     " 127.0.0.1\nallow_anonymous true\npersistence false\n");
  restart();
}

local_broker_t::~local_broker_t() { kill(); }

void local_broker_t::restart() {
  if (pid > 0) return;
  const auto config = (folder.path() / "mosquitto.conf").string();
  const auto log = (folder.path() / "mosquitto.log").string();
  pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (freopen(log.c_str(), "a", stderr) == nullptr) _exit(127);
    if (freopen(log.c_str(), "a", stdout) == nullptr) _exit(127);
    execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!accepts_connections(listen_port)) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("mosquitto did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void local_broker_t::kill() {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

}  // namespace korvex_test
