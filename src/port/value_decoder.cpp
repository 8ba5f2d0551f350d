#include <bit>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>

#include <SQLiteCpp/Column.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "core/constants.hpp"
#include "core/value_types.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/value_codec.hpp"
#include "port/value_rules.hpp"
#include "port/word_order.hpp"

namespace column = channel_column;

namespace {

const modbus_vector_t failed_read{'r'};

// The type rules below read a fixed number of bytes; data shorter than that
// came from a read of another size, and reading on would leave the buffer.
void require_bytes(std::size_t needed, std::size_t size) {
  if (size < needed) {
    throw std::runtime_error(fmt::format("недостаточно данных : {} байт из {}", size, needed));
  }
}

// The mid orders swap the bytes of whole registers: values of 1, 3, 5, 6 and
// 7 bytes have no rule for them.
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
decoded_value_t fixed_point(const uint8_t* data, unsigned order) {
  const uint8_t integer = order == word_order_big_endian ? data[0] : data[1];
  const uint8_t fraction_byte = order == word_order_big_endian ? data[1] : data[0];
  const auto fraction = static_cast<unsigned>(static_cast<float>(fraction_byte) * 39.0625f);
  return {fmt::format("{}.{:04}", integer, fraction), static_cast<uint64_t>(integer << 8 | fraction_byte)};
}

// The value's `count` bytes as one unsigned number, most significant first
// by the word order. Widths of 2, 4 and 8 bytes take the rules of every other
// type of their width; the widths between know only the two plain orders.
uint64_t ordered_bits(const uint8_t* data, std::size_t count, unsigned order) {
  if (const auto bits = apply_word_order_width(data, count, order)) return *bits;
  refuse_mid_order(order);
  uint64_t bits = 0;
  for (std::size_t place = 0; place < count; ++place) {
    bits = bits << 8 | data[order == word_order_little_endian ? count - 1 - place : place];
  }
  return bits;
}

int64_t sign_extended(uint64_t bits, std::size_t count) {
  const auto unused = static_cast<unsigned>(64 - 8 * count);
  return static_cast<int64_t>(bits << unused) >> unused;
}

// The decimal number the nibbles spell, most significant first.
std::string bcd_text(uint64_t bits, std::size_t count) {
  uint64_t number = 0;
  for (int shift = static_cast<int>(8 * count) - 4; shift >= 0; shift -= 4) {
    const auto digit = static_cast<unsigned>((bits >> shift) & 0xFu);
    if (digit > 9) {
      throw std::runtime_error(
          fmt::format("недопустимое двоично-десятичное значение : {:0{}X}", bits, static_cast<int>(2 * count)));
    }
    number = number * 10 + digit;
  }
  return fmt::format("{}", number);
}

// "i8" to "i64" and "u8" to "u64"; not "utc4".
bool is_integer_type(const std::string& type) {
  return type.size() > 1 && (type[0] == 'i' || type[0] == 'u') && type[1] >= '0' && type[1] <= '9';
}

std::size_t type_bytes(const std::string& type) {
  const auto found = value_types.find(type);
  return found ? found->bytes_num : 0;
}

// The value of the register bytes by the row's value type, word order and
// inverted flag. Throws when the data is shorter than the type, on a refused
// word order or unknown token, on a BCD nibble above 9 and on a time the
// local calendar cannot show.
decoded_value_t value_text(const cache_row_t& row, const uint8_t* data, std::size_t size) {
  const std::string type = row.getColumn(column::value_type).getString();
  const auto order = static_cast<unsigned>(find_token(word_orders, row.getColumn(column::word_order).getString()));
  const bool inverted = row.getColumn(column::inverted).getUInt() != 0;
  const std::size_t bytes = type_bytes(type);

  if (type == "bit") {
    require_bytes(1, size);
    return {(data[0] != 0) != inverted ? "1" : "0", std::nullopt};
  }
  if (is_integer_type(type) && bytes > 0) {
    require_bytes(bytes, size);
    const uint64_t bits = ordered_bits(data, bytes, order);
    return {type[0] == 'i' ? fmt::format("{}", sign_extended(bits, bytes)) : fmt::format("{}", bits), bits};
  }
  if (type.starts_with("bcd") && bytes > 0) {
    require_bytes(bytes, size);
    const uint64_t bits = ordered_bits(data, bytes, order);
    return {bcd_text(bits, bytes), bits};
  }
  if (type == "float16") {
    require_bytes(2, size);
    const uint16_t bits = apply_word_order_u16(data, order);
    return {fmt::format("{}", half_to_float(static_cast<int16_t>(bits))), bits};
  }
  if (type == "float32") {
    require_bytes(4, size);
    const uint32_t bits = apply_word_order_u32(data, order);
    return {fmt::format("{}", std::bit_cast<float>(bits)), bits};
  }
  if (type == "float64") {
    require_bytes(8, size);
    const uint64_t bits = apply_word_order_u64(data, order);
    return {fmt::format("{}", std::bit_cast<double>(bits)), bits};
  }
  if (type == "fixi16" || type == "fixu16") {
    require_bytes(2, size);
    return fixed_point(data, order);
  }
  if (type == "utc4") {
    require_bytes(4, size);
    const uint32_t bits = apply_word_order_u32(data, order);
    return {local_time_text(static_cast<int32_t>(bits)), bits};
  }
  if (type == "utc8") {
    require_bytes(8, size);
    const uint64_t bits = apply_word_order_u64(data, order);
    return {local_time_text(static_cast<int64_t>(bits)), bits};
  }
  if (type.starts_with("str")) {
    require_bytes(bytes, size);
    return {std::string(reinterpret_cast<const char*>(data), bytes), std::nullopt};
  }
  // A composite type's name: its members are decoded, never the whole.
  return {};
}

}  // namespace

modbus_vector_t decode_value(const cache_row_t& row, const uint8_t* data, std::size_t size,
                             const std::string& channel_topic, value_context_t& context) {
  if (data == nullptr) return failed_read;

  std::string channel_name;
  try {
    channel_name = row.getColumn(column::channel_name).getString();
    return apply_value_rules(row, value_text(row, data, size), channel_topic, context);
  } catch (const std::exception& error) {
    // One channel's bad value or configuration must not end its poll pass:
    // the channel is reported failed and the reason logged.
    spdlog::error("{} : ошибка обработки значения : {}", channel_name, error.what());
    return failed_read;
  }
}
