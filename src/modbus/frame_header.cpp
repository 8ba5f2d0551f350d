#include "modbus/frame_header.hpp"

#include <array>

#include <spdlog/fmt/bin_to_hex.h>
#include <spdlog/spdlog.h>

#include "modbus/big_endian.hpp"
#include "modbus/crc16.hpp"

modbus_vector_t modbus_rtu_frame_header_t::build(const modbus_vector_t& pdu, const std::string& name) {
  modbus_vector_t output;
  output.reserve(pdu.size() + 3);
  output.push_back(slave_id);
  output.insert(output.end(), pdu.begin(), pdu.end());
  const uint16_t crc = modbus_crc16(output.data(), output.size());
  output.push_back(static_cast<uint8_t>(crc & 0xFF));
  output.push_back(static_cast<uint8_t>(crc >> 8));
  spdlog::debug("{} : запрос {:a}", name, spdlog::to_hex(output, hex_dump_line));
  return output;
}

bool modbus_rtu_frame_header_t::check_response(const std::shared_ptr<connection_t>& connection,
                                               const std::string& name, bool) {
  uint8_t address = 0;
  if (connection->read(&address, 1) != 1) return false;
  if (address != slave_id) {
    spdlog::error("{} : SlaveID не совпадает", name);
    return false;
  }
  return true;
}

modbus_vector_t modbus_tcp_frame_header_t::build(const modbus_vector_t& pdu, const std::string& name) {
  len = static_cast<uint16_t>(pdu.size() + 1);
  modbus_vector_t output;
  output.reserve(pdu.size() + envelope_size);
  append_big_endian<uint16_t>(output, tid);
  append_big_endian<uint16_t>(output, pid);
  append_big_endian<uint16_t>(output, len);
  output.push_back(unit);
  output.insert(output.end(), pdu.begin(), pdu.end());
  spdlog::debug("{} : запрос {:a}", name, spdlog::to_hex(output, hex_dump_line));
  return output;
}

bool modbus_tcp_frame_header_t::check_response(const std::shared_ptr<connection_t>& connection,
                                               const std::string& name, bool verbose) {
  std::array<uint8_t, envelope_size> envelope{};
  connection->await_reply(tid);
  for (int skipped = 0;; ++skipped) {
    if (connection->read(envelope.data(), envelope.size()) != static_cast<long>(envelope.size())) return false;
    const uint16_t reply_tid = static_cast<uint16_t>(envelope[0] << 8 | envelope[1]);
    if (reply_tid == tid || !connection->take_late_reply(reply_tid)) break;
    // A device that answered an earlier request after our timeout: its reply
    // now stands in front of ours with the same shape. Drop it whole (its
    // length field says how much follows the unit id) and read on.
    spdlog::warn("{} : TID {:04x} не совпадает с {:04x} : ответ отброшен", name, reply_tid, tid);
    const std::size_t rest = static_cast<std::size_t>(envelope[4] << 8 | envelope[5]);
    if (skipped + 1 >= max_stale_replies || rest == 0) return false;
    modbus_vector_t discarded(rest - 1);
    if (!discarded.empty() && connection->read(discarded.data(), discarded.size()) != static_cast<long>(discarded.size())) {
      return false;
    }
  }
  connection->reply_received(tid);
  if (envelope[6] != unit) {
    spdlog::error("{} : UnitID не совпадает", name);
    return false;
  }
  if (verbose) {
    spdlog::debug("{} : TID {:04x} : PID {:04x} : LEN {}", name, envelope[0] << 8 | envelope[1],
                  envelope[2] << 8 | envelope[3], envelope[4] << 8 | envelope[5]);
  }
  return true;
}
