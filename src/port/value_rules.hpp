#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "core/sync_queue.hpp"
#include "port/value_codec.hpp"

// The second half of decoding, after the register bytes became a value.

// A decoded value: its text, and for every type of a fixed width but "bit"
// the register's bits as an unsigned number of the type's size, which is what
// a channel's error value names.
struct decoded_value_t {
  std::string text;
  std::optional<uint64_t> bits;
};

// The channel's processing steps on a decoded value: error value, read
// condition, debounce, scale, limits, correction, format and unit. Throws
// when a numeric step meets a text that is not a number or the format is
// invalid.
modbus_vector_t apply_value_rules(const cache_row_t& row, decoded_value_t value, const std::string& channel_topic,
                                  value_context_t& context);
