#include "modbus/frame_header.hpp"

#include <algorithm>
#include <array>
#include <chrono>

#include <spdlog/fmt/bin_to_hex.h>
#include <spdlog/spdlog.h>

#include "modbus/big_endian.hpp"
#include "modbus/crc16.hpp"
#include "transport/timeouts.hpp"

namespace {

using steady_clock = std::chrono::steady_clock;

// Tops `window` up to `size` bytes from the line; false when the deadline
// passed first or the line failed.
bool fill(connection_t& connection, modbus_vector_t& window, std::size_t size, steady_clock::time_point deadline) {
  uint8_t chunk[256];
  while (window.size() < size) {
    const long count = connection.read_some(chunk, std::min(sizeof chunk, size - window.size()), deadline);
    if (count <= 0) return false;
    window.insert(window.end(), chunk, chunk + count);
  }
  return true;
}

// Drops input until the line has been silent for its guard time, waiting
// at most `first_wait` for the first byte. Bounded, so that a line that
// never stops chattering still lets its port go on.
std::size_t wait_for_silence(connection_t& connection, std::chrono::microseconds first_wait) {
  const auto guard = connection.silence_guard();
  const auto give_up = steady_clock::now() + first_wait + effective_timeout(connection.rto);
  auto silent_until = steady_clock::now() + first_wait;
  std::size_t dropped = 0;
  uint8_t scrap[256];
  while (steady_clock::now() < give_up) {
    const long count = connection.read_some(scrap, sizeof scrap, std::min(silent_until, give_up));
    if (count <= 0) break;
    dropped += static_cast<std::size_t>(count);
    silent_until = steady_clock::now() + guard;
  }
  return dropped;
}

uint16_t big_endian_at(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

}  // namespace

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
                                               const std::string& name, bool, uint8_t function,
                                               std::size_t expected) {
  const auto deadline = steady_clock::now() + effective_timeout(connection->rto);
  const uint8_t exception_function = function | 0x80;
  enum class found_t { nothing, reply, other_slave } found = found_t::nothing;
  modbus_vector_t window;
  std::size_t size = 0;
  std::size_t skipped = 0;
  while (fill(*connection, window, 2, deadline)) {
    if (window[1] == function || window[1] == exception_function) {
      // An exception reply is slave id, function, code and CRC.
      size = window[1] == function ? expected + 3 : 5;
      const bool filled = fill(*connection, window, size, deadline);
      if (window[0] == slave_id) {
        if (filled) found = found_t::reply;
        break;
      }
      if (filled && modbus_crc16(window.data(), size - 2) ==
                        static_cast<uint16_t>(window[size - 2] | window[size - 1] << 8)) {
        found = found_t::other_slave;
        break;
      }
    }
    // Cannot be the start of a frame: noise or the rest of an earlier one.
    window.erase(window.begin());
    ++skipped;
    if (steady_clock::now() >= deadline) break;
  }
  if (skipped > 0) spdlog::warn("{} : отброшено байт до ответа : {}", name, skipped);
  const bool timed_out = found == found_t::nothing;
  if (found == found_t::other_slave) spdlog::error("{} : SlaveID не совпадает", name);
  if (timed_out && window.empty()) spdlog::error("{} : ответ не получен", name);
  if (timed_out && !window.empty()) spdlog::error("{} : операция не выполнена", name);

  // A reply that came too late for its request looks exactly like the next
  // one's, so it is waited out; otherwise the line need only fall silent.
  const auto guard = connection->silence_guard();
  const std::size_t dropped = wait_for_silence(
      *connection, timed_out ? std::chrono::microseconds(effective_timeout(connection->rto)) : guard);
  if (dropped > 0 && timed_out) spdlog::warn("{} : поздний ответ отброшен : {} байт", name, dropped);
  if (dropped > 0 && !timed_out) spdlog::warn("{} : отброшено байт после ответа : {}", name, dropped);
  if (found != found_t::reply) return false;
  // Only the slave id is the envelope: the rest is the frame's to read.
  reply_body_size = size - 1;
  connection->put_back(window.data() + 1, reply_body_size);
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
                                               const std::string& name, bool verbose, uint8_t, std::size_t) {
  std::array<uint8_t, envelope_size> envelope{};
  connection->await_reply(tid);
  for (int skipped = 0;; ++skipped) {
    if (skipped >= max_stale_replies) {
      spdlog::error("{} : ответ не получен", name);
      return false;
    }
    if (connection->read(envelope.data(), envelope.size()) != static_cast<long>(envelope.size())) {
      spdlog::error("{} : ответ не получен", name);
      return false;
    }
    const uint16_t reply_tid = big_endian_at(&envelope[0]);
    const uint16_t reply_pid = big_endian_at(&envelope[2]);
    const uint16_t reply_len = big_endian_at(&envelope[4]);
    if (reply_pid != 0 || reply_len < 2 || reply_len > max_length) {
      // No reply has such a header: taking it for one would read the next
      // bytes, perhaps the real reply's header, as the value.
      spdlog::warn("{} : заголовок TID {:04x} : PID {:04x} : LEN {} : отброшен", name, reply_tid, reply_pid,
                   reply_len);
      continue;
    }
    if (reply_tid != tid && connection->take_late_reply(reply_tid)) {
      // A device that answered an earlier request after our timeout: its
      // reply now stands in front of ours with the same shape. Drop it whole
      // (its length field says how much follows the unit id) and read on.
      spdlog::warn("{} : TID {:04x} не совпадает с {:04x} : ответ отброшен", name, reply_tid, tid);
      modbus_vector_t discarded(reply_len - 1u);
      if (connection->read(discarded.data(), discarded.size()) != static_cast<long>(discarded.size())) {
        spdlog::error("{} : ответ не получен", name);
        return false;
      }
      continue;
    }
    connection->reply_received(tid);
    if (envelope[6] != unit) {
      spdlog::error("{} : UnitID не совпадает", name);
      return false;
    }
    if (verbose) spdlog::debug("{} : TID {:04x} : PID {:04x} : LEN {}", name, reply_tid, reply_pid, reply_len);
    reply_body_size = reply_len - 1u;
    return true;
  }
}
