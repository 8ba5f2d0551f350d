#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include "net/inet_address.hpp"

namespace korvex_net {

// Writing to a socket whose peer has gone raises SIGPIPE, which would end
// the whole service. Ignored once per process before the first socket.
void ignore_sigpipe();

// One socket descriptor, owned. -1 while closed. Every call reports failure
// as a std::error_code (errno in the system category), never by exception.
class socket_t {
 public:
  socket_t() = default;
  ~socket_t();
  socket_t(const socket_t&) = delete;
  socket_t& operator=(const socket_t&) = delete;

  int handle() const { return descriptor; }
  bool is_open() const { return descriptor != -1; }

  // Closes an open descriptor; closing a closed socket is no error.
  std::error_code close();

  // SO_RCVTIMEO and SO_SNDTIMEO. Zero would mean "wait for ever" to the
  // kernel, so callers pass the wait they actually want.
  std::error_code read_timeout(std::chrono::microseconds timeout);
  std::error_code write_timeout(std::chrono::microseconds timeout);

  // One send with MSG_NOSIGNAL: a count, or -1 with errno set.
  long send(const uint8_t* data, std::size_t size);
  // One recv, blocking as the socket's timeout allows.
  long recv(uint8_t* buffer, std::size_t size, int flags = 0);

  // Waits until the socket is readable or the timeout runs out; true when
  // readable (data, end of stream or a pending error).
  bool wait_readable(std::chrono::milliseconds timeout);

 protected:
  // Replaces any open descriptor with a fresh socket(AF_INET, type, 0).
  std::error_code create(int type);

  int descriptor = -1;
};

// A stream socket that connects to one peer. Each connect makes a fresh
// socket; a failed connect leaves none behind, so is_open() reports only a
// connected stream.
class tcp_connector_t : public socket_t {
 public:
  // connect_timeout bounds the handshake: a peer host that is down would
  // otherwise hold the caller for the kernel's whole retry time.
  std::error_code connect(const inet_address_t& peer, std::chrono::microseconds connect_timeout);
};

// A datagram socket, optionally connected to one peer so that send and recv
// work on that peer alone.
class datagram_socket_t : public socket_t {
 public:
  std::error_code open();
  std::error_code connect(const inet_address_t& peer);
};

}  // namespace korvex_net
