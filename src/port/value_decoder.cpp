#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

#include <SQLiteCpp/Column.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "core/constants.hpp"
#include "core/value_types.hpp"
#include "port/value_codec.hpp"
#include "port/value_rules.hpp"
#include "port/word_order.hpp"

namespace {

const modbus_vector_t failed_read{'r'};

// The type rules below read a fixed number of bytes; data shorter than that
// came from a read of another size, and reading on would leave the buffer.
void require_bytes(std::size_t needed, std::size_t size) {
  if (size < needed) {
    throw std::runtime_error(fmt::format("недостаточно данных : {} байт из {}", size, needed));
  }
}

// One byte is one register's worth for "i8"/"u8", so the mid orders, which
// swap bytes inside registers, mean nothing for it either.
void refuse_mid_order(unsigned order) {
  if (order == word_order_mid_big_endian || order == word_order_mid_little_endian) {
    throw std::runtime_error("Недопустимый порядок байт");
  }
}

std::string local_time_text(int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm calendar{};
  if (static_cast<int64_t>(time) != seconds || localtime_r(&time, &calendar) == nullptr) {
    throw std::runtime_error(fmt::format("время вне допустимого диапазона : {}", seconds));
  }
  char buffer[32];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%F %T", &calendar);
  if (length == 0) {
    throw std::runtime_error(fmt::format("время вне допустимого диапазона : {}", seconds));
  }
  return std::string(buffer, length);
}

// Fixed point: an integer byte and a fraction byte in 1/256ths. The fraction
// is printed with its four digits, so 0x01 (0.0039) is not mistaken for .39.
std::string fixed_point_text(const uint8_t* data, unsigned order) {
  const uint8_t integer = order == word_order_big_endian ? data[0] : data[1];
  const uint8_t fraction_byte = order == word_order_big_endian ? data[1] : data[0];
  const auto fraction = static_cast<unsigned>(static_cast<float>(fraction_byte) * 39.0625f);
  return fmt::format("{}.{:04}", integer, fraction);
}

}  // namespace

std::string value_text(const cache_row_t& row, const uint8_t* data, std::size_t size) {
  const std::string type = row.getColumn("value_type").getString();
  const auto order = static_cast<unsigned>(find_token(word_orders, row.getColumn("word_order").getString()));
  const bool inverted = row.getColumn("inverted").getUInt() != 0;

  if (type == "bit") {
    require_bytes(1, size);
    return (data[0] != 0) != inverted ? "1" : "0";
  }
  if (type == "i8" || type == "u8") {
    require_bytes(1, size);
    refuse_mid_order(order);
    return type == "i8" ? fmt::format("{}", static_cast<int8_t>(data[0])) : fmt::format("{}", data[0]);
  }
  if (type == "i16" || type == "u16") {
    require_bytes(2, size);
    return type == "i16" ? fmt::format("{}", apply_word_order_i16(data, order))
                         : fmt::format("{}", apply_word_order_u16(data, order));
  }
  if (type == "i32" || type == "u32") {
    require_bytes(4, size);
    return type == "i32" ? fmt::format("{}", apply_word_order_i32(data, order))
                         : fmt::format("{}", apply_word_order_u32(data, order));
  }
  if (type == "i64" || type == "u64") {
    require_bytes(8, size);
    return type == "i64" ? fmt::format("{}", apply_word_order_i64(data, order))
                         : fmt::format("{}", apply_word_order_u64(data, order));
  }
  if (type == "float16") {
    require_bytes(2, size);
    return fmt::format("{}", half_to_float(apply_word_order_i16(data, order)));
  }
  if (type == "float32") {
    require_bytes(4, size);
    return fmt::format("{}", apply_word_order_float(data, order));
  }
  if (type == "float64") {
    require_bytes(8, size);
    return fmt::format("{}", apply_word_order_double(data, order));
  }
  if (type == "fixi16" || type == "fixu16") {
    require_bytes(2, size);
    return fixed_point_text(data, order);
  }
  if (type == "utc4") {
    require_bytes(4, size);
    return local_time_text(apply_word_order_i32(data, order));
  }
  if (type == "utc8") {
    require_bytes(8, size);
    return local_time_text(apply_word_order_i64(data, order));
  }
  if (type.starts_with("str")) {
    const auto found = value_types.find(type);
    const std::size_t bytes = found ? found->bytes_num : 0;
    require_bytes(bytes, size);
    return std::string(reinterpret_cast<const char*>(data), bytes);
  }
  // The other sized types ("i24", "bcd16", ...) have no decoding rule.
  return {};
}

modbus_vector_t decode_value(const cache_row_t& row, const uint8_t* data, std::size_t size,
                             value_context_t& context) {
  if (data == nullptr) return failed_read;

  std::string channel_name;
  try {
    channel_name = row.getColumn("channel_name").getString();
    return apply_value_rules(row, value_text(row, data, size), context);
  } catch (const std::exception& error) {
    // One channel's bad value or configuration must not end its poll pass:
    // the channel is reported failed and the reason logged.
    spdlog::error("{} : ошибка обработки значения : {}", channel_name, error.what());
    return failed_read;
  }
}
