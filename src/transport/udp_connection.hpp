#pragma once

#include <memory>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "core/sync_queue.hpp"
#include "net/socket.hpp"
#include "transport/network_connection.hpp"

// Modbus over UDP: one datagram socket connected to the peer. A reply is one
// datagram, but the frames read it in two calls (envelope, then body), so
// the part of a datagram that a read did not ask for is put back for the
// next read instead of being dropped by the kernel.
class udp_connection_t : public network_connection_t {
 public:
  // Reads connection_id, rto, sto, host and host_port from the Connections
  // row, resolves the host, creates the socket and connects it. A host that
  // does not resolve leaves the connection unavailable; a socket that cannot
  // be created leaves it closed, and the next open() tries again.
  explicit udp_connection_t(const SQLite::Statement& row);
  ~udp_connection_t() override;

  bool is_open() override;
  bool open() override;
  void close() override;
  // Serves the rest of the last datagram first; otherwise waits at most
  // the read timeout for the next datagram. 0 when nothing came.
  long read(uint8_t* buffer, std::size_t size) override;
  long write(const uint8_t* data, std::size_t size) override;
  // Drops the rest of the last datagram and every datagram already waiting: a late reply
  // must not be taken as the reply to the next request.
  void flush_input() override;
  // Datagram sockets get no socket timeouts: reads are bounded by their own
  // wait, and a send does not block on the peer.
  void set_timeouts() override;
  long read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) override;

  std::unique_ptr<korvex_net::datagram_socket_t> socket;

 private:
  bool connect_socket();
  void close_socket();

  modbus_vector_t datagram;  // receive buffer, sized for the largest datagram
};
