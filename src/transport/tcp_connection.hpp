#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "net/socket.hpp"
#include "transport/network_connection.hpp"

// Modbus TCP peer over a stream socket. Each open() connects a fresh socket;
// a failed connect, a peer that closed its side and a broken stream all
// leave the connection closed, so the next open() connects anew. How the
// peer went is kept in peer_closed() for the frames.
class tcp_connection_t : public network_connection_t {
 public:
  // Reads connection_id, rto, sto, host and host_port from the Connections
  // row the statement stands on, then resolves the host and makes the first
  // connect. A host that does not resolve (at boot, before the name service
  // is up) leaves the connection unavailable, not an error.
  explicit tcp_connection_t(const SQLite::Statement& row);
  ~tcp_connection_t() override;

  bool is_open() override;
  bool open() override;
  void close() override;
  // Gathers up to size bytes until the read timeout runs out: a reply may
  // arrive in several segments. A short count means the timeout ran out or
  // the stream ended.
  long read(uint8_t* buffer, std::size_t size) override;
  long write(const uint8_t* data, std::size_t size) override;
  // Drops whatever is already waiting (a late reply, or the unread tail of a
  // longer one), so it is never taken as the reply to the next request.
  void flush_input() override;
  void set_timeouts() override;
  long read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) override;

  std::unique_ptr<korvex_net::tcp_connector_t> socket;

 private:
  void close_socket();
  // The peer ended the stream or reset it: closed, and noted for the frames.
  void peer_gone(peer_close_t how);
  // One receive without waiting, with the bytes read ahead all taken. A
  // short read takes whatever is there, up to a whole reply, and keeps what
  // lies beyond `size` as read ahead: the header and the body of a reply
  // then cost one system call. Returns what recv returns.
  long receive(uint8_t* buffer, std::size_t size);

  // A request went out and nothing was read since.
  bool reply_due = false;
  // A byte has come since the last write: a stream that ends now ends in
  // the middle of a reply.
  bool reply_begun = false;
};
