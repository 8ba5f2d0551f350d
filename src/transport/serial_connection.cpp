#include "transport/serial_connection.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "transport/connection_queries.hpp"

namespace column = connection_column;

serial_connection_t::serial_connection_t(const SQLite::Statement& row) {
  read_common_settings(*this, row);
  port = row.getColumn(column::rs_port).getString();
  baudrate = row.getColumn(column::baud_rate).getUInt();
  bytesize = static_cast<int32_t>(row.getColumn(column::byte_size).getUInt());
  parity = static_cast<int32_t>(row.getColumn(column::parity).getUInt());
  stopbits = static_cast<int32_t>(row.getColumn(column::stop_bits).getUInt());
  flowcontrol = static_cast<int32_t>(row.getColumn(column::flow_control).getUInt());
  timeout = serial::Timeout{0, rto, 0, sto, 0};
  // The settings are part of the name: the same device with other settings
  // is another connection in the log.
  name = fmt::format("{}:{}:{}:{}:{}:{}", port, baudrate, bytesize, parity, stopbits, flowcontrol);
  serial_connection_t::init();
  serial_connection_t::open();
}

serial_connection_t::~serial_connection_t() { close_port(); }

void serial_connection_t::init() {
  try {
    serial = std::make_unique<serial::Serial>(port, baudrate, timeout, static_cast<serial::bytesize_t>(bytesize),
                                              static_cast<serial::parity_t>(parity),
                                              static_cast<serial::stopbits_t>(stopbits),
                                              static_cast<serial::flowcontrol_t>(flowcontrol));
  } catch (const std::exception&) {
    spdlog::error("{} : порт недоступен", name);
  }
  available = serial != nullptr;
  if (available) spdlog::info("{} : порт доступен", name);
}

bool serial_connection_t::is_open() { return serial && serial->isOpen(); }

bool serial_connection_t::open() {
  try {
    if (available) {
      if (is_open()) return true;
      serial->open();
      spdlog::info("{} : открыто", name);
      set_timeouts();
    }
    if (is_open()) {
      open_succeeded();
      return true;
    }
    spdlog::log(open_failure_level(spdlog::level::err), "{} : ошибка открытия порта", name);
    return false;
  } catch (const std::exception& error) {
    spdlog::log(open_failure_level(spdlog::level::info), "{} : ошибка : {}", name, error.what());
    return false;
  }
}

void serial_connection_t::close() { close_port(); }

void serial_connection_t::close_port() {
  drop_read_ahead();
  if (!available || !is_open()) return;
  try {
    serial->close();
    spdlog::info("{} : порт закрыт", name);
  } catch (const std::exception& error) {
    spdlog::info("{} : ошибка : {}", name, error.what());
  }
}

void serial_connection_t::drop_after_failure() { close_port(); }

long serial_connection_t::read(uint8_t* buffer, std::size_t size) {
  return transfer("принято", "ошибка чтения", [&] {
    const std::size_t ahead = take_read_ahead(buffer, size);
    return ahead == size ? ahead : ahead + serial->read(buffer + ahead, size - ahead);
  });
}

long serial_connection_t::write(const uint8_t* data, std::size_t size) {
  return transfer("отправлено", "ошибка записи", [&] { return serial->write(data, size); });
}

long serial_connection_t::transfer(const char* done, const char* failed, const std::function<std::size_t()>& call) {
  if (!open()) return -1;
  try {
    const std::size_t count = call();
    spdlog::debug("{} : {} : {}", name, done, count);
    return static_cast<long>(count);
  } catch (const std::exception& error) {
    spdlog::error("{} : {} : {}", name, failed, error.what());
  }
  drop_after_failure();
  return -1;
}

void serial_connection_t::flush_input() {
  drop_read_ahead();
  flush_buffer(&serial::Serial::flushInput, "приема");
}

void serial_connection_t::flush_output() { flush_buffer(&serial::Serial::flushOutput, "передачи"); }

void serial_connection_t::flush_buffer(void (serial::Serial::*flush)(), const char* buffer) {
  if (!serial) return;
  try {
    (serial.get()->*flush)();
    spdlog::debug("{} : буфер {} : сброшен", name, buffer);
  } catch (const std::exception& error) {
    spdlog::error("{} : ошибка сброса буфера {} : {}", name, buffer, error.what());
  }
}

void serial_connection_t::flush() {
  // Called before every request, also on a port that the poll cycle closed:
  // it opens the port as read and write do, and a failure here is left for
  // the request itself to report, not thrown out of the transaction.
  if (!serial || !open()) return;
  try {
    serial->flush();
  } catch (const std::exception& error) {
    spdlog::error("{} : ошибка сброса буфера передачи : {}", name, error.what());
    drop_after_failure();
    return;
  }
  flush_input();
}

void serial_connection_t::set_timeouts() {
  if (!serial) return;
  serial->setTimeout(serial::Timeout{0, rto, 0, sto, 0});
  spdlog::info("{} : таймауты установлены", name);
}

long serial_connection_t::read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  if (!open()) return -1;
  if (has_read_ahead()) return static_cast<long>(take_read_ahead(buffer, size));
  try {
    std::size_t waiting = serial->available();
    if (waiting == 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return 0;
      // The port waits by its read timeout: lent for this one wait.
      serial->setTimeout(serial::Timeout{0, static_cast<uint32_t>(left.count()), 0, sto, 0});
      bool readable = false;
      try {
        readable = serial->waitReadable();
      } catch (...) {
        serial->setTimeout(timeout);
        throw;
      }
      serial->setTimeout(timeout);
      if (!readable) return 0;
      waiting = serial->available();
      if (waiting == 0) throw std::runtime_error("device reports readiness to read but returned no data (device disconnected?)");
    }
    const std::size_t count = serial->read(buffer, std::min(size, waiting));
    spdlog::debug("{} : принято : {}", name, count);
    return static_cast<long>(count);
  } catch (const std::exception& error) {
    spdlog::error("{} : ошибка чтения : {}", name, error.what());
  }
  drop_after_failure();
  return -1;
}

std::chrono::microseconds serial_connection_t::silence_guard() const {
  if (baudrate == 0) return connection_t::silence_guard();
  // Start bit, data bits, parity bit, stop bits (code 3 is one and a half).
  const double bits = 1 + bytesize + (parity != 0 ? 1 : 0) + (stopbits == 3 ? 1.5 : stopbits);
  const auto four_characters = std::chrono::microseconds(static_cast<int64_t>(std::ceil(4 * bits * 1e6 / baudrate)));
  return std::max(four_characters, connection_t::silence_guard());
}
