#pragma once

#include <functional>
#include <memory>
#include <string>

#include <SQLiteCpp/Column.h>
#include <SQLiteCpp/Statement.h>

#include "serial/serial.h"
#include "transport/connection.hpp"

// Modbus RTU over a serial line. The line reopens itself: read, write and
// flush open a closed port first, and a port whose read or write failed is
// closed, so an adapter that was unplugged and plugged back is used again.
class serial_connection_t : public connection_t {
 public:
  // Reads connection_id, rto, sto and the rs_ columns of the Connections row
  // the statement stands on, then creates and opens the port. A port that
  // cannot be opened is logged, not thrown.
  explicit serial_connection_t(const SQLite::Statement& row);
  ~serial_connection_t() override;

  void init() override;
  bool is_open() override;
  bool open() override;
  void close() override;
  long read(uint8_t* buffer, std::size_t size) override;
  long write(const uint8_t* data, std::size_t size) override;
  void flush_input() override;
  void flush_output() override;
  // Waits until written output has left, then discards unread input (a late
  // reply must not be taken as the reply to the next request).
  void flush() override;
  void set_timeouts() override;
  long read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) override;
  // Four character times, and never below the network default: a USB
  // adapter hands bytes over in bursts.
  std::chrono::microseconds silence_guard() const override;

  int32_t flowcontrol = 0;
  int32_t stopbits = 0;
  int32_t parity = 0;
  int32_t bytesize = 0;
  serial::Timeout timeout;
  uint32_t baudrate = 0;
  std::string port;
  std::unique_ptr<serial::Serial> serial;

 private:
  void close_port();
  // After a failed read or write: the descriptor may belong to a device that
  // is gone, so it is dropped and the next call opens the path anew.
  void drop_after_failure();
  // One read or write of the line, logged as `done` with its count; on a
  // failure, logged as `failed`, the line is dropped and the result is -1.
  long transfer(const char* done, const char* failed, const std::function<std::size_t()>& call);
  // Empties the receive ("приема") or transmit ("передачи") buffer; a
  // failure is only logged.
  void flush_buffer(void (serial::Serial::*flush)(), const char* buffer);
};
