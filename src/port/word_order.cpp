#include "port/word_order.hpp"

#include <bit>
#include <stdexcept>

namespace {

// Position in the received run of the byte that ends up at each place of the
// value, most significant first. A code outside the table reads as
// big-endian; the callers only pass codes that `find_token` produced.
constexpr unsigned order_count = 4;

constexpr uint8_t order_32[order_count][4] = {
    {0, 1, 2, 3},  // big_endian
    {3, 2, 1, 0},  // little_endian
    {1, 0, 3, 2},  // mid_big_endian
    {2, 3, 0, 1},  // mid_little_endian
};

constexpr uint8_t order_64[order_count][8] = {
    {0, 1, 2, 3, 4, 5, 6, 7},
    {7, 6, 5, 4, 3, 2, 1, 0},
    {1, 0, 3, 2, 5, 4, 7, 6},
    {6, 7, 4, 5, 2, 3, 0, 1},
};

template <typename T, std::size_t N>
T assemble(const uint8_t* bytes, const uint8_t (&positions)[N]) {
  static_assert(sizeof(T) == N);
  T value = 0;
  for (std::size_t place = 0; place < N; ++place) {
    value = static_cast<T>((value << 8) | bytes[positions[place]]);
  }
  return value;
}

unsigned checked(unsigned order) { return order < order_count ? order : word_order_big_endian; }

}  // namespace

uint16_t apply_word_order_u16(const uint8_t* bytes, unsigned order) {
  switch (order) {
    case word_order_mid_big_endian:
    case word_order_mid_little_endian:
      throw std::runtime_error("Недопустимый порядок байт");
    case word_order_little_endian:
      return static_cast<uint16_t>(bytes[1] << 8 | bytes[0]);
    default:
      return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
  }
}

int16_t apply_word_order_i16(const uint8_t* bytes, unsigned order) {
  return static_cast<int16_t>(apply_word_order_u16(bytes, order));
}

uint32_t apply_word_order_u32(const uint8_t* bytes, unsigned order) {
  return assemble<uint32_t>(bytes, order_32[checked(order)]);
}

int32_t apply_word_order_i32(const uint8_t* bytes, unsigned order) {
  return static_cast<int32_t>(apply_word_order_u32(bytes, order));
}

float apply_word_order_float(const uint8_t* bytes, unsigned order) {
  return std::bit_cast<float>(apply_word_order_u32(bytes, order));
}

uint64_t apply_word_order_u64(const uint8_t* bytes, unsigned order) {
  return assemble<uint64_t>(bytes, order_64[checked(order)]);
}

std::optional<uint64_t> apply_word_order_width(const uint8_t* bytes, std::size_t width, unsigned order) {
  switch (width) {
    case 2:
      return apply_word_order_u16(bytes, order);
    case 4:
      return apply_word_order_u32(bytes, order);
    case 8:
      return apply_word_order_u64(bytes, order);
    default:
      return std::nullopt;
  }
}

int64_t apply_word_order_i64(const uint8_t* bytes, unsigned order) {
  return static_cast<int64_t>(apply_word_order_u64(bytes, order));
}

double apply_word_order_double(const uint8_t* bytes, unsigned order) {
  return std::bit_cast<double>(apply_word_order_u64(bytes, order));
}

float half_to_float(int32_t half) {
  const auto pattern = static_cast<uint32_t>(half);
  const uint32_t sign = (pattern >> 15 & 1u) << 31;
  uint32_t exponent = pattern >> 10 & 0x1Fu;
  uint32_t fraction = pattern & 0x3FFu;

  uint32_t bits;
  if (exponent == 0 && fraction == 0) {
    bits = sign;
  } else if (exponent == 0) {
    // Subnormal half: normalise, every half subnormal is a normal float.
    unsigned shifts = 0;
    while ((fraction & 0x400u) == 0) {
      fraction <<= 1;
      ++shifts;
    }
    bits = sign | (113u - shifts) << 23 | (fraction & 0x3FFu) << 13;
  } else if (exponent == 31) {
    bits = sign | 0xFFu << 23 | fraction << 13;
  } else {
    bits = sign | (exponent + 112u) << 23 | fraction << 13;
  }
  return std::bit_cast<float>(bits);
}
