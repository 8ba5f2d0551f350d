#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// How a channel's register bytes make up a number. The codes are those of the
// `word_orders` token table; `find_token` (core/constants.hpp) turns a
// channel's token into its code.
//
// Every rule reads exactly the value's width (2, 4 or 8 bytes) from `bytes`,
// which point at the bytes in the order the device sent them, and every rule
// is its own inverse: applying it to its own big-endian output gives the
// original bytes back, which is how the encoder lays numbers out for writes.
enum word_order_t : unsigned {
  word_order_big_endian = 0,         // most significant byte first
  word_order_little_endian = 1,      // the whole byte run reversed
  word_order_mid_big_endian = 2,     // registers in order, bytes of each swapped
  word_order_mid_little_endian = 3,  // registers reversed, bytes of each in order
};

// 16-bit values have one register, so the mid orders mean nothing for them and
// are refused with "Недопустимый порядок байт".
uint16_t apply_word_order_u16(const uint8_t* bytes, unsigned order);
int16_t apply_word_order_i16(const uint8_t* bytes, unsigned order);

uint32_t apply_word_order_u32(const uint8_t* bytes, unsigned order);
int32_t apply_word_order_i32(const uint8_t* bytes, unsigned order);
float apply_word_order_float(const uint8_t* bytes, unsigned order);

uint64_t apply_word_order_u64(const uint8_t* bytes, unsigned order);

// The unsigned rule of a 2-, 4- or 8-byte value; nothing for another width,
// which has no rule of its own.
std::optional<uint64_t> apply_word_order_width(const uint8_t* bytes, std::size_t width, unsigned order);
int64_t apply_word_order_i64(const uint8_t* bytes, unsigned order);
double apply_word_order_double(const uint8_t* bytes, unsigned order);

// An IEEE 754 binary16 bit pattern as a float, exact for every input. Only the
// low 16 bits count, so a sign-extended 16-bit value and the plain pattern
// give the same result.
float half_to_float(int32_t half);
