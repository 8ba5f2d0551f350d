#include "port/word_order.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/constants.hpp"
#include "modbus/big_endian.hpp"

namespace {

const uint8_t run[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

struct order_row_t {
  const char* token;
  bool accepts_16;
  uint16_t u16;
  uint32_t u32;
  uint64_t u64;
};

// The received bytes 01 02 ... read in each order, most significant first.
const order_row_t order_rows[] = {
    {"big_endian", true, 0x0102, 0x01020304, 0x0102030405060708},
    {"little_endian", true, 0x0201, 0x04030201, 0x0807060504030201},
    {"mid_big_endian", false, 0, 0x02010403, 0x0201040306050807},
    {"mid_little_endian", false, 0, 0x03040102, 0x0708050603040102},
};

// What the encoder does: lay the number out big-endian, read that run back
// by the word order, and send the result big-endian.
template <typename T, typename R>
modbus_vector_t encode(T value, unsigned order, R (*rule)(const uint8_t*, unsigned)) {
  modbus_vector_t scratch;
  append_big_endian<T>(scratch, value);
  modbus_vector_t wire;
  append_big_endian<T>(wire, static_cast<T>(rule(scratch.data(), order)));
  return wire;
}

TEST(WordOrder, EveryTypeInEveryOrderDecodesAndRoundTrips) {
  for (const auto& row : order_rows) {
    SCOPED_TRACE(row.token);
    const auto order = static_cast<unsigned>(find_token(word_orders, row.token));

    if (row.accepts_16) {
      EXPECT_EQ(apply_word_order_u16(run, order), row.u16);
      EXPECT_EQ(apply_word_order_i16(run, order), static_cast<int16_t>(row.u16));
      const uint16_t u16 = 0xBEEF;
      EXPECT_EQ(apply_word_order_u16(encode(u16, order, apply_word_order_u16).data(), order), u16);
      const int16_t i16 = -2;
      EXPECT_EQ(apply_word_order_i16(encode(i16, order, apply_word_order_i16).data(), order), i16);
    } else {
      EXPECT_THROW(apply_word_order_u16(run, order), std::runtime_error);
      EXPECT_THROW(apply_word_order_i16(run, order), std::runtime_error);
    }

    EXPECT_EQ(apply_word_order_u32(run, order), row.u32);
    EXPECT_EQ(apply_word_order_i32(run, order), static_cast<int32_t>(row.u32));
    EXPECT_EQ(std::bit_cast<uint32_t>(apply_word_order_float(run, order)), row.u32);
    EXPECT_EQ(apply_word_order_u64(run, order), row.u64);
    EXPECT_EQ(apply_word_order_i64(run, order), static_cast<int64_t>(row.u64));
    EXPECT_EQ(std::bit_cast<uint64_t>(apply_word_order_double(run, order)), row.u64);

    const uint32_t u32 = 305419896;
    EXPECT_EQ(apply_word_order_u32(encode(u32, order, apply_word_order_u32).data(), order), u32);
    const int32_t i32 = -123456789;
    EXPECT_EQ(apply_word_order_i32(encode(i32, order, apply_word_order_i32).data(), order), i32);
    const float f32 = -1.5e-3f;
    EXPECT_EQ(apply_word_order_float(encode(f32, order, apply_word_order_float).data(), order), f32);
    const uint64_t u64 = 0xFEDCBA9876543210;
    EXPECT_EQ(apply_word_order_u64(encode(u64, order, apply_word_order_u64).data(), order), u64);
    const int64_t i64 = -1234567890123;
    EXPECT_EQ(apply_word_order_i64(encode(i64, order, apply_word_order_i64).data(), order), i64);
    const double f64 = 6.02214076e23;
    EXPECT_EQ(apply_word_order_double(encode(f64, order, apply_word_order_double).data(), order), f64);
  }
}

TEST(WordOrder, EncoderLayoutOfA32BitValueMatchesTheDeviceOrder) {
  const struct {
    unsigned order;
    modbus_vector_t wire;
  } rows[] = {
      {0, {0x12, 0x34, 0x56, 0x78}},
      {1, {0x78, 0x56, 0x34, 0x12}},
      {2, {0x34, 0x12, 0x78, 0x56}},
      {3, {0x56, 0x78, 0x12, 0x34}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(encode<uint32_t>(0x12345678, row.order, apply_word_order_u32), row.wire) << row.order;
  }
}

TEST(WordOrder, UnknownTokenIsRefused) {
  try {
    find_token(word_orders, "big-endian");
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "big-endian : неизвестный токен");
  }
}

TEST(HalfToFloat, ExactForNormalsSubnormalsZerosInfinitiesAndNan) {
  const struct {
    int32_t half;
    float expected;
  } rows[] = {
      {0x3C00, 1.0f},
      {0xC000, -2.0f},
      {-16384, -2.0f},  // 0xC000 sign-extended, as the 16-bit signed rule gives it
      {0x0001, std::ldexp(1.0f, -24)},
      {0x03FF, std::ldexp(1023.0f, -24)},
      {0x0400, std::ldexp(1.0f, -14)},
      {0x7BFF, 65504.0f},
      {0x3555, 0.33325195f},
      {0x7C00, std::numeric_limits<float>::infinity()},
      {0xFC00, -std::numeric_limits<float>::infinity()},
      {0x0000, 0.0f},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(half_to_float(row.half), row.expected) << std::hex << row.half;
  }
  EXPECT_TRUE(std::signbit(half_to_float(0x8000)));
  EXPECT_EQ(half_to_float(0x8000), 0.0f);
  const float nan = half_to_float(0x7E01);
  ASSERT_TRUE(std::isnan(nan));
  EXPECT_EQ(std::bit_cast<uint32_t>(nan), 0x7FC02000u);  // the fraction bits are kept
}

}  // namespace
