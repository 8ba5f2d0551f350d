#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "core/sync_queue.hpp"

// Modbus carries every multi-byte field most significant byte first. This
// appends a number in that order, whatever the host's byte order; floating
// values go out as their IEEE 754 bit pattern.
template <typename T>
void append_big_endian(modbus_vector_t& output, T value) {
  static_assert(std::is_arithmetic_v<T>, "only numbers have a wire form");
  static_assert(std::numeric_limits<T>::is_iec559 || std::is_integral_v<T>);
  using bits_t = std::conditional_t<
      sizeof(T) == 1, uint8_t,
      std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
  static_assert(sizeof(bits_t) == sizeof(T));
  const auto bits = std::bit_cast<bits_t>(value);
  output.reserve(output.size() + sizeof(T));
  for (int shift = static_cast<int>(sizeof(T) * 8) - 8; shift >= 0; shift -= 8) {
    output.push_back(static_cast<uint8_t>(bits >> shift));
  }
}
