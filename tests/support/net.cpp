#include "support/net.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace korvex_test {

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// reuse: a listener that comes back on its old port must not wait out TIME_WAIT.
owned_fd_t bound_socket(int type, uint16_t port, bool reuse = false) {
  owned_fd_t fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  check(fd.get() != -1, "socket");
  const int yes = 1;
  if (reuse) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const sockaddr_in address = loopback(port);
  check(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, "bind");
  return fd;
}

uint16_t local_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  check(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
  return ntohs(address.sin_port);
}

}  // namespace

void owned_fd_t::reset() {
  if (fd != -1) ::close(fd);
  fd = -1;
}

void check(bool ok, const char* what) {
  if (!ok) throw std::system_error(errno, std::system_category(), what);
}

int free_loopback_port() { return local_port(bound_socket(SOCK_STREAM, 0).get()); }

bool can_connect(const std::string& host, int port) {
  const owned_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(static_cast<uint16_t>(port));
  return fd.get() != -1 && inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1 &&
         ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool wait_readable(int fd, std::chrono::milliseconds deadline) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(deadline.count())) > 0;
}

void send_all(int fd, const bytes_t& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    check(n > 0, "send");
    sent += static_cast<std::size_t>(n);
  }
}

bytes_t read_exact(int fd, std::size_t count) {
  bytes_t bytes(count);
  std::size_t got = 0;
  while (got < count) {
    if (!wait_readable(fd)) throw std::runtime_error("peer: no bytes in time");
    const ssize_t n = ::read(fd, bytes.data() + got, count - got);
    check(n > 0, "read");
    got += static_cast<std::size_t>(n);
  }
  return bytes;
}

tcp_listener_t::tcp_listener_t(bool listening, uint16_t port) : socket(bound_socket(SOCK_STREAM, port, true)) {
  bound_port = local_port(socket.get());
  if (listening) listen();
}

void tcp_listener_t::listen() { check(::listen(socket.get(), 8) == 0, "listen"); }

owned_fd_t tcp_listener_t::accept() {
  if (!wait_readable(socket.get())) throw std::runtime_error("peer: no connection in time");
  owned_fd_t client(::accept4(socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
  check(client.get() != -1, "accept");
  return client;
}

udp_peer_t::udp_peer_t() : socket(bound_socket(SOCK_DGRAM, 0)), bound_port(local_port(socket.get())) {}

bytes_t udp_peer_t::receive() {
  if (!wait_readable(socket.get())) throw std::runtime_error("peer: no datagram in time");
  bytes_t bytes(65536);
  socklen_t length = sizeof sender;
  const ssize_t n =
      ::recvfrom(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
  check(n >= 0, "recvfrom");
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

void udp_peer_t::reply(const bytes_t& bytes) {
  check(::sendto(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sender),
                 sizeof sender) == static_cast<ssize_t>(bytes.size()),
        "sendto");
}

}  // namespace korvex_test
