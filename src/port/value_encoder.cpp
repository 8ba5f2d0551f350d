#include <bit>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

#include <SQLiteCpp/Column.h>
#include <fmt/format.h>

#include "core/constants.hpp"
#include "modbus/big_endian.hpp"
#include "port/half_float.hpp"
#include "port/value_codec.hpp"
#include "port/word_order.hpp"

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

// The 32-bit types take what a 32-bit long takes: a number beyond the
// register pair's range is refused rather than cut to its low bits.
int32_t parse_i32(const std::string& text) {
  const long value = std::stol(text);
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw std::out_of_range("stol");
  }
  return static_cast<int32_t>(value);
}

uint32_t parse_u32(const std::string& text) {
  const unsigned long value = std::stoul(text);
  if (value > std::numeric_limits<uint32_t>::max()) throw std::out_of_range("stoul");
  return static_cast<uint32_t>(value);
}

// A coil is written as 0xFF00 (on) or 0 (off); any other text is no state of
// a coil, with or without inversion.
uint16_t coil_state(const std::string& text, bool inverted) {
  if (text != "1" && text != "0") {
    throw std::runtime_error(fmt::format("{} : недопустимое значение для записи", text));
  }
  return (text == "1") != inverted ? 0xFF00 : 0;
}

}  // namespace

modbus_vector_t encode_value(const cache_row_t& row, const modbus_vector_t& payload, script_engine_t& scripts) {
  const std::string type = row.getColumn("value_type").getString();
  const auto order = static_cast<unsigned>(find_token(word_orders, row.getColumn("word_order").getString()));
  const bool inverted = row.getColumn("inverted").getUInt() != 0;

  std::string text(payload.begin(), payload.end());
  const auto& condition = row.getColumn("write_condition");
  if (!condition.isNull()) {
    text = scripts.evaluate(std::strtod(text.c_str(), nullptr), condition.getString());
  }

  modbus_vector_t output;
  if (type == "bit") {
    append_big_endian(output, coil_state(text, inverted));
  } else if (type == "i8" || type == "i16") {
    append_ordered_u16(output, static_cast<uint16_t>(std::stol(text)), order);
  } else if (type == "u8" || type == "u16") {
    append_ordered_u16(output, static_cast<uint16_t>(std::stoul(text)), order);
  } else if (type == "i32") {
    append_ordered_u32(output, static_cast<uint32_t>(parse_i32(text)), order);
  } else if (type == "u32") {
    append_ordered_u32(output, parse_u32(text), order);
  } else if (type == "i64") {
    append_ordered_u64(output, static_cast<uint64_t>(std::stoll(text)), order);
  } else if (type == "u64") {
    append_ordered_u64(output, std::stoull(text), order);
  } else if (type == "float16") {
    append_ordered_u16(output, float_to_half(std::stof(text)), order);
  } else if (type == "float32") {
    append_ordered_u32(output, std::bit_cast<uint32_t>(std::stof(text)), order);
  } else if (type == "float64") {
    append_ordered_u64(output, std::bit_cast<uint64_t>(std::stod(text)), order);
  } else {
    throw std::runtime_error("Недопустимый тип для записи");
  }
  return output;
}
