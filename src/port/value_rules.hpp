#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "core/sync_queue.hpp"
#include "port/value_codec.hpp"

// The two halves of decoding, shared by the decoder's entry point only.

// The value text of the register bytes by the row's value type, word order and
// inverted flag. Throws when the data is shorter than the type, on a refused
// word order or unknown token, and on a time the local calendar cannot show.
std::string value_text(const cache_row_t& row, const uint8_t* data, std::size_t size);

// The channel's processing steps on a value text: error value, read
// condition, debounce, scale, limits, correction, format and unit. Throws when
// a numeric step meets a text that is not a number or the format is invalid.
modbus_vector_t apply_value_rules(const cache_row_t& row, std::string text, value_context_t& context);
