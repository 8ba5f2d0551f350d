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

bool modbus_rtu_frame_header_t::read_reply(const std::shared_ptr<connection_t>& connection,
                                           const std::string& name, uint8_t function, std::size_t expected,
                                           modbus_vector_t& pdu) {
  const auto deadline = steady_clock::now() + effective_timeout(connection->rto);
  const uint8_t exception_function = function | 0x80;
  modbus_vector_t window;
  std::size_t skipped = 0;
  bool answered = false;
  bool timed_out = false;
  while (!answered) {
    if (!fill(*connection, window, 2, deadline)) {
      timed_out = true;
      break;
    }
    if (window[0] == slave_id && (window[1] == function || window[1] == exception_function)) {
      // An exception reply is slave id, function, code and CRC.
      const bool exception = window[1] != function;
      const std::size_t size = exception ? 5 : expected + 3;
      if (!fill(*connection, window, size, deadline)) {
        timed_out = true;
        break;
      }
      answered = take_reply(window, size, exception, name, pdu);
      break;
    }
    // Cannot be the start of our reply: noise, the rest of an earlier frame
    // or another device's answer.
    window.erase(window.begin());
    ++skipped;
    if (steady_clock::now() >= deadline) {
      timed_out = true;
      break;
    }
  }
  if (skipped > 0) spdlog::warn("{} : отброшено байт до ответа : {}", name, skipped);
  if (timed_out && window.empty()) spdlog::error("{} : ответ не получен", name);
  if (timed_out && !window.empty()) spdlog::error("{} : операция не выполнена", name);

  // A reply that came too late for its request looks exactly like the next
  // one's, so it is waited out; otherwise the line need only fall silent.
  const auto guard = connection->silence_guard();
  const std::size_t dropped = wait_for_silence(
      *connection, timed_out ? std::chrono::microseconds(effective_timeout(connection->rto)) : guard);
  if (dropped > 0 && timed_out) spdlog::warn("{} : поздний ответ отброшен : {} байт", name, dropped);
  if (dropped > 0 && !timed_out) spdlog::warn("{} : отброшено байт после ответа : {}", name, dropped);
  return answered;
}

bool modbus_rtu_frame_header_t::take_reply(const modbus_vector_t& window, std::size_t size, bool exception,
                                           const std::string& name, modbus_vector_t& pdu) {
  pdu.assign(window.begin() + 1, window.begin() + static_cast<std::ptrdiff_t>(size) - 2);
  // An exception reply's CRC is not compared: it fails the transaction
  // either way.
  if (exception) return true;
  const uint16_t received_crc = static_cast<uint16_t>(window[size - 2] | window[size - 1] << 8);
  const uint16_t computed_crc = modbus_crc16(window.data(), size - 2);
  if (computed_crc == received_crc) return true;
  pdu.clear();
  spdlog::error("{} : ошибка контрольной суммы : [{:04x} : {:04x}]", name, computed_crc, received_crc);
  spdlog::error("{} : операция не выполнена", name);
  return false;
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

bool modbus_tcp_frame_header_t::read_reply(const std::shared_ptr<connection_t>& connection,
                                           const std::string& name, uint8_t, std::size_t, modbus_vector_t& pdu) {
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
    // Exactly what the length field announces: an exception reply is
    // complete after two bytes, with no wait for more.
    pdu.assign(reply_len - 1u, 0);
    if (connection->read(pdu.data(), pdu.size()) != static_cast<long>(pdu.size())) {
      spdlog::error("{} : операция не выполнена", name);
      return false;
    }
    return true;
  }
}
