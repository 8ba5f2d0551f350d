#pragma once

// Real peers on the loopback interface, played by the test itself: a TCP
// listener, a datagram socket, and the byte helpers around them.

#include <arpa/inet.h>
#include <sys/socket.h>

#include "support/process.hpp"

namespace korvex_test {

using bytes_t = std::vector<uint8_t>;

// reuse: a listener that comes back on its old port must not wait out TIME_WAIT.
inline owned_fd_t loopback_socket(int type, uint16_t port = 0, bool reuse = false) {
  owned_fd_t fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  const int yes = 1;
  if (reuse) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  check(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, "bind");
  return fd;
}

inline uint16_t local_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  check(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
  return ntohs(address.sin_port);
}

// A loopback TCP port that was free a moment ago. Whoever starts a server on
// it must retry on a bind clash: a parallel test may take it in between.
inline int free_loopback_port() { return local_port(loopback_socket(SOCK_STREAM).get()); }

inline bool can_connect(int port) {
  const owned_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

inline bool wait_readable(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(deadline.count())) > 0;
}

inline void send_all(int fd, const bytes_t& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    check(n > 0, "send");
    sent += static_cast<std::size_t>(n);
  }
}

// Exactly count bytes from a socket or terminal; throws when they do not come in time.
inline bytes_t read_exact(int fd, std::size_t count) {
  bytes_t bytes(count);
  for (std::size_t got = 0; got < count;) {
    if (!wait_readable(fd)) throw std::runtime_error("peer: no bytes in time");
    const ssize_t n = ::read(fd, bytes.data() + got, count - got);
    check(n > 0, "read");
    got += static_cast<std::size_t>(n);
  }
  return bytes;
}

// A TCP server on 127.0.0.1. Bound but, when asked, not yet listening:
// connects are then refused, as by a peer that is down, while the port stays
// reserved for the moment it comes up.
class tcp_listener_t {
 public:
  explicit tcp_listener_t(bool listening = true, uint16_t port = 0)
      : socket(loopback_socket(SOCK_STREAM, port, true)), bound_port(local_port(socket.get())) {
    if (listening) listen();
  }
  // A backlog of 0 holds one connection that nobody accepts; the kernel then
  // drops every further SYN, as a host behind a filter that drops them does.
  void listen(int backlog = 8) { check(::listen(socket.get(), backlog) == 0, "listen"); }
  uint16_t port() const { return bound_port; }
  owned_fd_t accept() {
    if (!wait_readable(socket.get())) throw std::runtime_error("peer: no connection in time");
    return owned_fd_t(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  owned_fd_t socket;
  uint16_t bound_port;
};

// A datagram peer on 127.0.0.1 that answers whoever last wrote to it.
class udp_peer_t {
 public:
  udp_peer_t() : socket(loopback_socket(SOCK_DGRAM)), bound_port(local_port(socket.get())) {}
  uint16_t port() const { return bound_port; }
  bytes_t receive() {
    if (!wait_readable(socket.get())) throw std::runtime_error("peer: no datagram in time");
    bytes_t bytes(65536);
    socklen_t length = sizeof sender;
    const ssize_t n = ::recvfrom(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    check(n >= 0, "recvfrom");
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
  }
  void reply(const bytes_t& bytes) {
    const auto* to = reinterpret_cast<const sockaddr*>(&sender);
    check(::sendto(socket.get(), bytes.data(), bytes.size(), 0, to, sizeof sender) == ssize_t(bytes.size()), "sendto");
  }

 private:
  owned_fd_t socket;
  uint16_t bound_port;
  sockaddr_in sender{};
};

}  // namespace korvex_test
