#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/sync_queue.hpp"
#include "transport/connection.hpp"

// Bytes a line in the request and reply dumps of the log.
inline constexpr std::size_t hex_dump_line = 16;

// The transport envelope of one Modbus request and its reply. `build` wraps a
// PDU into the bytes for the wire; `check_response` reads the reply's envelope
// from the connection and leaves the rest of the reply waiting there.
class modbus_frame_header_t {
 public:
  modbus_frame_header_t() = default;
  modbus_frame_header_t(const modbus_frame_header_t&) = delete;
  modbus_frame_header_t& operator=(const modbus_frame_header_t&) = delete;
  virtual ~modbus_frame_header_t() = default;

  virtual modbus_vector_t build(const modbus_vector_t& pdu, const std::string& name) = 0;
  virtual bool check_response(const std::shared_ptr<connection_t>& connection, const std::string& name,
                              bool verbose) = 0;
  // The address byte that the reply CRC covers in front of the reply body.
  virtual uint8_t unit_id() = 0;
  // The MBAP length of the last request built; RTU has no length field.
  virtual uint16_t length() = 0;
};

// Slave id, PDU, CRC-16 low byte first: serial lines and the Valtec variant.
class modbus_rtu_frame_header_t : public modbus_frame_header_t {
 public:
  explicit modbus_rtu_frame_header_t(uint8_t slave_id) : slave_id(slave_id) {}

  modbus_vector_t build(const modbus_vector_t& pdu, const std::string& name) override;
  bool check_response(const std::shared_ptr<connection_t>& connection, const std::string& name,
                      bool verbose) override;
  uint8_t unit_id() override { return slave_id; }
  uint16_t length() override { return 0; }

 private:
  uint8_t slave_id;
};

// The MBAP envelope of Modbus TCP, used over both TCP and UDP. Each request
// carries its connection's next transaction id; a reply with the id of an
// earlier request that timed out is that request's late answer and is
// skipped, never taken as ours.
class modbus_tcp_frame_header_t : public modbus_frame_header_t {
 public:
  modbus_tcp_frame_header_t(uint16_t tid, uint16_t pid, uint16_t len, uint8_t unit)
      : tid(tid), pid(pid), len(len), unit(unit) {}

  modbus_vector_t build(const modbus_vector_t& pdu, const std::string& name) override;
  bool check_response(const std::shared_ptr<connection_t>& connection, const std::string& name,
                      bool verbose) override;
  uint8_t unit_id() override { return unit; }
  uint16_t length() override { return len; }

  static constexpr std::size_t envelope_size = 7;
  // Late replies skipped in one transaction before it gives up.
  static constexpr int max_stale_replies = 4;

 private:
  uint16_t tid;
  uint16_t pid;
  uint16_t len;
  uint8_t unit;
};
