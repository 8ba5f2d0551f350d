#pragma once

// Real peers on the loopback interface for the socket and connection tests:
// a TCP listener and a datagram socket, driven by the test itself.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
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
  void reset() {
    if (fd != -1) ::close(fd);
    fd = -1;
  }
  int get() const { return fd; }

 private:
  int fd;
};

inline void check(bool ok, const char* what) {
  if (!ok) throw std::system_error(errno, std::system_category(), what);
}

inline sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline uint16_t local_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  check(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
  return ntohs(address.sin_port);
}

// True when fd becomes readable before the deadline.
inline bool wait_readable(int fd, std::chrono::milliseconds deadline = generous_deadline) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(deadline.count())) > 0;
}

inline void send_all(int fd, const bytes_t& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    check(n > 0, "send");
    sent += static_cast<std::size_t>(n);
  }
}

// Reads exactly count bytes, or throws when they do not come in time.
inline bytes_t recv_exact(int fd, std::size_t count) {
  bytes_t bytes(count);
  std::size_t got = 0;
  while (got < count) {
    if (!wait_readable(fd)) throw std::runtime_error("peer: no bytes in time");
    const ssize_t n = ::recv(fd, bytes.data() + got, count - got, 0);
    check(n > 0, "recv");
    got += static_cast<std::size_t>(n);
  }
  return bytes;
}

// A TCP server socket on 127.0.0.1. Created bound but, when asked, not yet
// listening: connects are then refused, as by a peer that is down, while
// the port stays reserved for the moment it comes up.
class tcp_listener_t {
 public:
  explicit tcp_listener_t(bool listening = true, uint16_t port = 0) {
    socket = owned_fd_t(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    check(socket.get() != -1, "socket");
    const int yes = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    const sockaddr_in address = loopback(port);
    check(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0, "bind");
    bound_port = local_port(socket.get());
    if (listening) listen();
  }

  void listen() { check(::listen(socket.get(), 8) == 0, "listen"); }
  uint16_t port() const { return bound_port; }

  // The next connection the peer accepts.
  owned_fd_t accept() {
    if (!wait_readable(socket.get())) throw std::runtime_error("peer: no connection in time");
    owned_fd_t client(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
    check(client.get() != -1, "accept");
    return client;
  }

 private:
  owned_fd_t socket;
  uint16_t bound_port = 0;
};

// A datagram peer on 127.0.0.1 that answers whoever last wrote to it.
class udp_peer_t {
 public:
  udp_peer_t() {
    socket = owned_fd_t(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    check(socket.get() != -1, "socket");
    const sockaddr_in address = loopback(0);
    check(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0, "bind");
    bound_port = local_port(socket.get());
  }

  uint16_t port() const { return bound_port; }

  bytes_t receive() {
    if (!wait_readable(socket.get())) throw std::runtime_error("peer: no datagram in time");
    bytes_t bytes(65536);
    socklen_t length = sizeof(sender);
    const ssize_t n = ::recvfrom(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    check(n >= 0, "recvfrom");
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
  }

  void reply(const bytes_t& bytes) {
    check(::sendto(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sender),
                   sizeof(sender)) == static_cast<ssize_t>(bytes.size()),
          "sendto");
  }

 private:
  owned_fd_t socket;
  uint16_t bound_port = 0;
  sockaddr_in sender{};
};

}  // namespace korvex_test
