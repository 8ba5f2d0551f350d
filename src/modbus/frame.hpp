#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <SQLiteCpp/Database.h>

#include "core/sync_queue.hpp"
#include "core/value_types.hpp"
#include "modbus/frame_header.hpp"
#include "transport/connection.hpp"

// Texts of the standard Modbus exception codes 0 to 11, used when the
// device's parameter set gives none of its own. Code 9 has no text.
extern const std::array<const char*, 12> exception_messages;
std::string builtin_exception_message(uint8_t code);

// Functions 3 and 4, which read 16-bit registers (holding and input).
bool reads_registers(uint8_t function);

// What a read reply carries after its envelope, function code and (Valtec)
// serial number: a byte count and `data_size` data bytes.
struct read_reply_layout_t {
  uint16_t data_size;
  // The standard read functions without a pattern: the reply's size follows
  // from the register or coil count asked for, and its byte count must say so.
  bool counted;
};

// Functions 1 and 2 return one bit per coil rounded up to whole bytes, 3 and
// 4 two bytes per register. Other functions and pattern requests carry the
// value's own byte size.
read_reply_layout_t read_reply_layout(uint8_t function, value_size_t size, bool has_pattern);

// From a reply body that starts at its byte count: exactly the bytes the value
// needs, or nothing when the reply cannot hold the value. An 8-bit value read
// from a register is the register's low-order byte; longer values take the
// leading bytes.
std::optional<modbus_vector_t> take_value_bytes(const uint8_t* body, read_reply_layout_t layout,
                                                uint8_t function, value_size_t size);

// A write request's PDU and what its reply must be.
struct write_request_t {
  modbus_vector_t pdu;
  // Size of the reply PDU: the echo of the request, or function, address and
  // quantity for the multiple-write functions.
  std::size_t reply_size;
  // The reply that confirms the write, when the function defines it: the
  // echo of a single write, function, address and quantity of a multiple one.
  std::optional<modbus_vector_t> required_reply;
};

// Data longer than one register cannot travel in a single-register write, so
// function 6 becomes 16 (write multiple registers); channels configured with
// 15 or 16 get the standard multiple-write layout too. Any other function
// sends the address and the data as they are.
write_request_t make_write_request(uint8_t function, uint16_t address, const modbus_vector_t& data);

// One Modbus transaction for one device and channel. The factory builds a
// frame for exactly one read or write and destroys it right after.
class modbus_frame_t {
 public:
  modbus_frame_t(uint8_t read_function, uint8_t write_function, std::shared_ptr<connection_t> connection,
                 std::shared_ptr<SQLite::Database> database, std::unique_ptr<modbus_frame_header_t> header,
                 std::string name);
  modbus_frame_t(const modbus_frame_t&) = delete;
  modbus_frame_t& operator=(const modbus_frame_t&) = delete;
  virtual ~modbus_frame_t() = default;

  // The value's bytes, empty when the transaction failed.
  virtual modbus_vector_t read(const std::string& cname, uint16_t address, value_size_t size,
                               const modbus_vector_t& pattern) = 0;
  // True when the device confirmed the write.
  virtual bool write(const std::string& cname, uint16_t address, const modbus_vector_t& data) = 0;

  const std::string& frame_name() const { return name; }
  uint8_t read_function_code() const { return read_function; }
  uint8_t write_function_code() const { return write_function; }

 protected:
  // Sends a read request: function code, then address and count, or the
  // pattern's bytes in their place. True when the whole request was written.
  bool send_read_request(uint16_t address, uint16_t count, const modbus_vector_t& pattern);
  // Sends a write request's PDU after flushing the connection both ways.
  bool send_write_request(const modbus_vector_t& pdu);
  // One request, sent by `send`, and its reply's PDU: `expected` bytes that
  // answer `function`. A peer that closed the connection before the reply
  // began gets a read request once more on a fresh connection. A write
  // request that went out is never sent again here: the device may have
  // carried it out, and only the caller's attempts may repeat it.
  template <typename send_t>
  bool exchange(const std::string& cname, uint8_t function, const send_t& send, modbus_vector_t& pdu,
                std::size_t expected, bool resend_after_close);
  // Wraps and writes a request.
  bool send_request(const modbus_vector_t& pdu);
  // Reads the reply's PDU once its envelope checked out. An exception reply
  // is reported with its message from the cache database.
  bool receive_response(const std::string& cname, modbus_vector_t& pdu, uint8_t function, std::size_t expected);
  // Checks a write reply against the request and logs why it does not match.
  bool check_write_reply(const write_request_t& request, const modbus_vector_t& reply);
  // The value bytes of a read reply body (byte count onwards); logs a reply
  // that cannot hold the value.
  modbus_vector_t finish_read(const uint8_t* body, read_reply_layout_t layout, value_size_t size);
  std::string exception_message(const std::string& cname, uint8_t code);

  uint8_t read_function;
  uint8_t write_function;
  std::shared_ptr<connection_t> connection;
  std::shared_ptr<SQLite::Database> database;
  std::unique_ptr<modbus_frame_header_t> header;
  std::string name;
};

// The standard transaction, whose reply PDU is function, byte count, data;
// its header alone makes it RTU or MBAP.
class plain_modbus_frame_t : public modbus_frame_t {
 public:
  using modbus_frame_t::modbus_frame_t;
  modbus_vector_t read(const std::string& cname, uint16_t address, value_size_t size,
                       const modbus_vector_t& pattern) override;
  bool write(const std::string& cname, uint16_t address, const modbus_vector_t& data) override;
};

class modbus_rtu_frame_t : public plain_modbus_frame_t {
 public:
  using plain_modbus_frame_t::plain_modbus_frame_t;
};

class modbus_tcp_frame_t : public plain_modbus_frame_t {
 public:
  using plain_modbus_frame_t::plain_modbus_frame_t;
};

// The RTU frame with the device's serial number after the function code.
// These devices accept no writes.
class valtec_modbus_frame_t : public modbus_frame_t {
 public:
  valtec_modbus_frame_t(uint8_t read_function, uint8_t write_function, std::shared_ptr<connection_t> connection,
                        std::shared_ptr<SQLite::Database> database,
                        std::unique_ptr<modbus_frame_header_t> header, std::string name,
                        modbus_vector_t serial_number);
  modbus_vector_t read(const std::string& cname, uint16_t address, value_size_t size,
                       const modbus_vector_t& pattern) override;
  bool write(const std::string& cname, uint16_t address, const modbus_vector_t& data) override;

 private:
  modbus_vector_t serial_number;
};
