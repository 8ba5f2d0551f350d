#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include <SQLiteCpp/Column.h>
#include <fmt/format.h>

#include "core/constants.hpp"
#include "core/payload_text.hpp"
#include "modbus/big_endian.hpp"
#include "port/half_float.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/value_codec.hpp"
#include "port/word_order.hpp"

namespace column = channel_column;

namespace {

// Every word-order rule is its own inverse: the number laid out most
// significant byte first and read back by the channel's rule gives the bytes
// that the decoder turns into the same number again.
void append_ordered_u16(modbus_vector_t& output, uint16_t value, unsigned order) {
  modbus_vector_t scratch;
  append_big_endian(scratch, value);
  append_big_endian(output, apply_word_order_u16(scratch.data(), order));
}

void append_ordered_u32(modbus_vector_t& output, uint32_t value, unsigned order) {
  modbus_vector_t scratch;
  append_big_endian(scratch, value);
  append_big_endian(output, apply_word_order_u32(scratch.data(), order));
}

void append_ordered_u64(modbus_vector_t& output, uint64_t value, unsigned order) {
  modbus_vector_t scratch;
  append_big_endian(scratch, value);
  append_big_endian(output, apply_word_order_u64(scratch.data(), order));
}

// A command text is written only when it is exactly a value of the channel's
// type. The standard conversions read a leading number and drop the rest, and
// cut what does not fit to its low bits, so "", "abc", "7abc", "0x10", "1e3",
// "4.5", "70000" and "-1" all once reached a u16 register as some other
// number than anybody sent.
std::string_view without_blanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1);
}

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A whole decimal number with an optional sign, in T's range.
template <typename T>
std::optional<T> whole_number(std::string_view text) {
  text = without_blanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (!all_digits(text)) return std::nullopt;
  uint64_t magnitude = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), magnitude).ec != std::errc{}) return std::nullopt;
  if (!negative) {
    if (magnitude > static_cast<uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
    return static_cast<T>(magnitude);
  }
  if (magnitude == 0) return T{0};
  if constexpr (std::is_unsigned_v<T>) {
    return std::nullopt;
  } else {
    // |min| is max + 1; the value is built without overflowing on min itself.
    if (magnitude - 1 > static_cast<uint64_t>(std::numeric_limits<T>::max())) return std::nullopt;
    return static_cast<T>(-static_cast<int64_t>(magnitude - 1) - 1);
  }
}

// Digits with an optional point and exponent: no "inf", "nan" or hexadecimal
// form, which the float conversions would take too.
bool is_decimal_text(std::string_view text) {
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  const auto exponent = text.find_first_of("eE");
  const auto mantissa = text.substr(0, exponent);
  const auto point = mantissa.find('.');
  const auto whole = mantissa.substr(0, point);
  const auto fraction = point == std::string_view::npos ? std::string_view{} : mantissa.substr(point + 1);
  if (whole.empty() && fraction.empty()) return false;
  if ((!whole.empty() && !all_digits(whole)) || (!fraction.empty() && !all_digits(fraction))) return false;
  if (exponent == std::string_view::npos) return true;
  auto power = text.substr(exponent + 1);
  if (!power.empty() && (power.front() == '-' || power.front() == '+')) power.remove_prefix(1);
  return all_digits(power);
}

// A decimal number that T holds as a finite value.
template <typename T>
std::optional<T> decimal_number(std::string_view text) {
  text = without_blanks(text);
  if (!is_decimal_text(text)) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);  // from_chars takes no plus sign
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<uint16_t> half_number(std::string_view text) {
  const auto value = decimal_number<float>(text);
  if (!value) return std::nullopt;
  const uint16_t half = float_to_half(*value);
  // Beyond the largest half the pattern is infinity.
  if ((half & 0x7C00) == 0x7C00) return std::nullopt;
  return half;
}

// A coil is written as 0xFF00 (on) or 0 (off).
std::optional<uint16_t> coil_state(std::string_view text, bool inverted) {
  text = without_blanks(text);
  if (text != "1" && text != "0") return std::nullopt;
  return (text == "1") != inverted ? 0xFF00 : 0;
}

// The register bytes for a text of the type, or nothing when the text is no
// value of it. Throws for a type or word order that cannot be written.
std::optional<modbus_vector_t> encode_text(const std::string& type, unsigned order, bool inverted,
                                           std::string_view text) {
  modbus_vector_t output;
  const auto put_u16 = [&](auto value) {
    if (value) append_ordered_u16(output, static_cast<uint16_t>(*value), order);
    return value.has_value();
  };
  const auto put_u32 = [&](auto value) {
    if (value) append_ordered_u32(output, std::bit_cast<uint32_t>(*value), order);
    return value.has_value();
  };
  const auto put_u64 = [&](auto value) {
    if (value) append_ordered_u64(output, std::bit_cast<uint64_t>(*value), order);
    return value.has_value();
  };
  bool valid = false;
  if (type == "bit") {
    const auto state = coil_state(text, inverted);
    if (state) append_big_endian(output, *state);
    valid = state.has_value();
  } else if (type == "i8") {
    valid = put_u16(whole_number<int8_t>(text));
  } else if (type == "u8") {
    valid = put_u16(whole_number<uint8_t>(text));
  } else if (type == "i16") {
    valid = put_u16(whole_number<int16_t>(text));
  } else if (type == "u16") {
    valid = put_u16(whole_number<uint16_t>(text));
  } else if (type == "i32") {
    valid = put_u32(whole_number<int32_t>(text));
  } else if (type == "u32") {
    valid = put_u32(whole_number<uint32_t>(text));
  } else if (type == "i64") {
    valid = put_u64(whole_number<int64_t>(text));
  } else if (type == "u64") {
    valid = put_u64(whole_number<uint64_t>(text));
  } else if (type == "float16") {
    valid = put_u16(half_number(text));
  } else if (type == "float32") {
    valid = put_u32(decimal_number<float>(text));
  } else if (type == "float64") {
    valid = put_u64(decimal_number<double>(text));
  } else {
    throw std::runtime_error("Недопустимый тип для записи");
  }
  if (!valid) return std::nullopt;
  return output;
}

}  // namespace

modbus_vector_t encode_value(const cache_row_t& row, const modbus_vector_t& payload, script_engine_t& scripts) {
  const std::string type = row.getColumn(column::value_type).getString();
  const auto order = static_cast<unsigned>(find_token(word_orders, row.getColumn(column::word_order).getString()));
  const bool inverted = row.getColumn(column::inverted).getUInt() != 0;
  const std::string text(payload.begin(), payload.end());

  const auto& condition = row.getColumn(column::write_condition);
  if (condition.isNull()) {
    auto output = encode_text(type, order, inverted, text);
    if (!output) throw std::runtime_error(fmt::format("{} : недопустимое значение для записи", loggable_payload(text)));
    return std::move(*output);
  }
  // The condition computes from a number; its result must be a value of the
  // type like any command text.
  const auto input = decimal_number<double>(text);
  if (!input) throw std::runtime_error(fmt::format("{} : недопустимое значение для записи", loggable_payload(text)));
  const std::string result = scripts.evaluate(*input, condition.getString());
  auto output = encode_text(type, order, inverted, result);
  if (!output) {
    throw std::runtime_error(fmt::format("{} : недопустимый результат условия записи : {}", loggable_payload(text),
                                         loggable_payload(result)));
  }
  return std::move(*output);
}
