#pragma once

// Real peers on the loopback interface, driven by the test itself: a TCP
// listener, a datagram socket, and the byte helpers around them.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvex_test {

using bytes_t = std::vector<uint8_t>;
inline constexpr std::chrono::milliseconds generous_deadline{10000};

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
  void reset();
  int get() const { return fd; }

 private:
  int fd;
};

// Throws a system_error carrying errno unless ok.
void check(bool ok, const char* what);

// A loopback TCP port that was free a moment ago (bound to port 0, then
// released). Callers that start a server on it must retry on a bind clash,
// since a parallel test may take the same port in between.
int free_loopback_port();
// True when a TCP connection to host:port is accepted.
bool can_connect(const std::string& host, int port);

// True when fd becomes readable before the deadline.
bool wait_readable(int fd, std::chrono::milliseconds deadline = generous_deadline);
void send_all(int fd, const bytes_t& bytes);
// Reads exactly count bytes from a socket or terminal, or throws when they
// do not come in time.
bytes_t read_exact(int fd, std::size_t count);

// A TCP server socket on 127.0.0.1. Created bound but, when asked, not yet
// listening: connects are then refused, as by a peer that is down, while
// the port stays reserved for the moment it comes up.
class tcp_listener_t {
 public:
  explicit tcp_listener_t(bool listening = true, uint16_t port = 0);
  void listen();
  uint16_t port() const { return bound_port; }
  // The next connection the peer accepts.
  owned_fd_t accept();

 private:
  owned_fd_t socket;
  uint16_t bound_port = 0;
};

// A datagram peer on 127.0.0.1 that answers whoever last wrote to it.
class udp_peer_t {
 public:
  udp_peer_t();
  uint16_t port() const { return bound_port; }
  bytes_t receive();
  void reply(const bytes_t& bytes);

 private:
  owned_fd_t socket;
  uint16_t bound_port = 0;
  sockaddr_in sender{};
};

}  // namespace korvex_test
