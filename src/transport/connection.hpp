#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The byte stream a port talks Modbus over. Kinds report failure by result,
// never by exception: open() gives false, read() and write() give -1 when
// nothing was done, or a short count. Each kind logs with `name` first.
// A connection has no lock: the port runs one transaction at a time on it.
class connection_t {
 public:
  connection_t() = default;
  connection_t(const connection_t&) = delete;
  connection_t& operator=(const connection_t&) = delete;

  virtual void init() {}
  virtual ~connection_t() = default;
  virtual bool is_open() = 0;
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual long read(uint8_t* buffer, std::size_t size) = 0;
  virtual long write(const uint8_t* data, std::size_t size) = 0;
  virtual void flush_input() {}
  virtual void flush_output() {}
  virtual void flush() {
    flush_output();
    flush_input();
  }
  virtual void set_timeouts() = 0;

  // MBAP transaction ids of this connection's requests: 1 for the first,
  // then one more each time. A reply carries its request's id back, so a
  // reply that arrives too late for its own request is recognised when it
  // lands in the next one.
  uint16_t next_transaction_id() { return ++last_transaction_id; }

  uint32_t rto = 0;            // read (reply) timeout, ms
  uint32_t sto = 0;            // write (send) timeout, ms
  int64_t connection_id = 0;   // ROWID of the Connections row
  std::string name;            // log prefix
  bool available = false;      // the kind's resource exists

 private:
  uint16_t last_transaction_id = 0;
};
