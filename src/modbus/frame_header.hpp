#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/sync_queue.hpp"
#include "transport/connection.hpp"

// Bytes a line in the request and reply dumps of the log.
inline constexpr std::size_t hex_dump_line = 16;

// The transport envelope of one Modbus request and its reply. `build` wraps a
// PDU into the bytes for the wire; `check_response` reads the reply's
// envelope and leaves the rest of the reply, body_size() bytes, for the
// frame to read from the connection.
class modbus_frame_header_t {
 public:
  modbus_frame_header_t() = default;
  modbus_frame_header_t(const modbus_frame_header_t&) = delete;
  modbus_frame_header_t& operator=(const modbus_frame_header_t&) = delete;
  virtual ~modbus_frame_header_t() = default;

  virtual modbus_vector_t build(const modbus_vector_t& pdu, const std::string& name) = 0;
  // True when the reply to the request just built has begun: its envelope
  // is consumed and its body waits in the connection. `function` is the
  // request's function code and `expected` the size of a normal reply's PDU:
  // an RTU reply carries nothing else to tell it from noise. False, with the
  // reason logged, when no reply to this request came. `verbose` logs the
  // MBAP fields of the reply.
  virtual bool check_response(const std::shared_ptr<connection_t>& connection, const std::string& name, bool verbose,
                              uint8_t function, std::size_t expected) = 0;
  // The address byte that the reply CRC covers in front of the reply body.
  virtual uint8_t unit_id() = 0;
  // The MBAP length of the last request built; RTU has no length field.
  virtual uint16_t length() = 0;
  // The reply body ends in a CRC-16 of the address and the PDU.
  virtual bool has_crc() const { return false; }
  // After a true check_response: the bytes of the reply that follow its
  // envelope, CRC included. An exception reply is read by its own length,
  // with no wait for a normal reply's.
  std::size_t body_size() const { return reply_body_size; }

 protected:
  std::size_t reply_body_size = 0;
};

// Slave id, PDU, CRC-16 low byte first: serial lines and the Valtec variant.
// A reply carries nothing that ties it to its request, so the line is kept
// clean between transactions: bytes that cannot start the reply (noise, the
// rest of an earlier frame) are skipped, and after every transaction the
// line must fall silent before the next request may go out. A whole frame
// of the reply's shape with a good CRC is another device's answer, not
// noise: it fails the transaction. After a timeout the reply may still be
// on its way and would look exactly like the next channel's: it is waited
// out for one more read timeout.
class modbus_rtu_frame_header_t : public modbus_frame_header_t {
 public:
  explicit modbus_rtu_frame_header_t(uint8_t slave_id) : slave_id(slave_id) {}

  modbus_vector_t build(const modbus_vector_t& pdu, const std::string& name) override;
  bool check_response(const std::shared_ptr<connection_t>& connection, const std::string& name, bool verbose,
                      uint8_t function, std::size_t expected) override;
  uint8_t unit_id() override { return slave_id; }
  uint16_t length() override { return 0; }
  bool has_crc() const override { return true; }

 private:
  uint8_t slave_id;
};

// The MBAP envelope of Modbus TCP, used over both TCP and UDP. Each request
// carries its connection's next transaction id; a reply with the id of an
// earlier request that timed out is that request's late answer and is
// skipped, never taken as ours. A header whose protocol id is not 0 or whose
// length cannot be a reply's is no reply either. The reply's PDU is the
// length its header announces, so an exception reply ends the transaction
// at once.
class modbus_tcp_frame_header_t : public modbus_frame_header_t {
 public:
  modbus_tcp_frame_header_t(uint16_t tid, uint16_t pid, uint16_t len, uint8_t unit)
      : tid(tid), pid(pid), len(len), unit(unit) {}

  modbus_vector_t build(const modbus_vector_t& pdu, const std::string& name) override;
  bool check_response(const std::shared_ptr<connection_t>& connection, const std::string& name, bool verbose,
                      uint8_t function, std::size_t expected) override;
  uint8_t unit_id() override { return unit; }
  uint16_t length() override { return len; }

  static constexpr std::size_t envelope_size = 7;
  // Late replies and stray headers skipped in one transaction before it
  // gives up.
  static constexpr int max_stale_replies = 4;
  // Unit id and the largest PDU, 253 bytes.
  static constexpr uint16_t max_length = 254;

 private:
  uint16_t tid;
  uint16_t pid;
  uint16_t len;
  uint8_t unit;
};
