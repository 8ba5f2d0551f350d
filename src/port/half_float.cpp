#include "port/half_float.hpp"

#include <bit>

uint16_t float_to_half(float value) {
  const auto bits = std::bit_cast<uint32_t>(value);
  const auto sign = static_cast<uint16_t>(bits >> 16 & 0x8000u);
  const uint32_t exponent = bits >> 23 & 0xFFu;
  const uint32_t fraction = bits & 0x7FFFFFu;

  if (exponent == 0xFF) {
    // Infinity keeps a zero fraction; a NaN keeps its top fraction bits and
    // the quiet bit, so it never turns into infinity.
    return static_cast<uint16_t>(sign | 0x7C00u | (fraction != 0 ? 0x200u | fraction >> 13 : 0u));
  }

  // Rounds `magnitude` shifted right by `shift` to nearest, ties to even. A
  // carry out of the fraction moves into the exponent, which is exactly the
  // next representable value (up to infinity).
  const auto round_shift = [](uint32_t magnitude, unsigned shift) {
    const uint32_t kept = magnitude >> shift;
    const uint32_t rest = magnitude & ((1u << shift) - 1u);
    const uint32_t halfway = 1u << (shift - 1);
    return rest > halfway || (rest == halfway && (kept & 1u) != 0) ? kept + 1u : kept;
  };

  const int half_exponent = static_cast<int>(exponent) - 112;
  if (half_exponent >= 31) return static_cast<uint16_t>(sign | 0x7C00u);
  if (half_exponent > 0) {
    const uint32_t normal = static_cast<uint32_t>(half_exponent) << 23 | fraction;
    return static_cast<uint16_t>(sign | round_shift(normal, 13));
  }
  // Subnormal half: the value in units of 2^-24 is the full significand
  // shifted right by 126 - exponent; beyond 24 places it rounds to zero.
  const unsigned shift = 126u - exponent;
  if (shift > 24) return sign;
  return static_cast<uint16_t>(sign | round_shift(fraction | 0x800000u, shift));
}
