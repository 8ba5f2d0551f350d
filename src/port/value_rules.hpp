#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "core/sync_queue.hpp"
#include "port/value_codec.hpp"

// The two halves of decoding, shared by the decoder's entry point only.

// A decoded value: its text, and for every type of a fixed width but "bit"
// the register's bits as an unsigned number of the type's size, which is what
// a channel's error value names.
struct decoded_value_t {
  std::string text;
  std::optional<uint64_t> bits;
};

// The value of the register bytes by the row's value type, word order and
// inverted flag. Throws when the data is shorter than the type, on a refused
// word order or unknown token, on a BCD nibble above 9 and on a time the
// local calendar cannot show.
decoded_value_t value_text(const cache_row_t& row, const uint8_t* data, std::size_t size);

// The channel's processing steps on a decoded value: error value, read
// condition, debounce, scale, limits, correction, format and unit. Throws
// when a numeric step meets a text that is not a number or the format is
// invalid.
modbus_vector_t apply_value_rules(const cache_row_t& row, decoded_value_t value, const std::string& channel_topic,
                                  value_context_t& context);
