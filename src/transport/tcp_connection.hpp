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
// leave the connection closed, so the next open() connects anew.
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
  // Moves up to `size` bytes received ahead into the buffer.
  std::size_t take_ahead(uint8_t* buffer, std::size_t size);
  // One receive without waiting, with the bytes received ahead all taken.
  // A short read takes whatever is there, up to a whole reply, and keeps
  // what lies beyond `size` for the next read: the header and the body of a
  // reply then cost one system call. Returns what recv returns.
  long receive(uint8_t* buffer, std::size_t size);

  // A request went out and nothing was read since.
  bool reply_due = false;
  // Received beyond what the last read asked for: handed out first by the
  // next read, dropped by flush_input and by a close like any unread input.
  std::array<uint8_t, 260> ahead{};
  std::size_t ahead_from = 0;
  std::size_t ahead_to = 0;
};
