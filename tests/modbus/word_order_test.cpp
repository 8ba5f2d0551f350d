#include "port/word_order.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/constants.hpp"
#include "modbus/big_endian.hpp"

namespace {

// What the encoder does: lay the number out big-endian, read that run back
// by the word order, and send the result big-endian. Decoding that must give
// the number back.
template <typename T>
void expect_round_trip(T value, unsigned order, T (*rule)(const uint8_t*, unsigned)) {
  modbus_vector_t scratch;
  append_big_endian<T>(scratch, value);
  modbus_vector_t wire;
  append_big_endian<T>(wire, rule(scratch.data(), order));
  EXPECT_EQ(rule(wire.data(), order), value) << order;
}

TEST(WordOrder, EveryTypeInEveryOrderDecodesAndRoundTrips) {
  const uint8_t run[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  // The received bytes 01 02 ... read in each order, most significant first.
  const struct {
    const char* token;
    bool accepts_16;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
  } rows[] = {
      {"big_endian", true, 0x0102, 0x01020304, 0x0102030405060708},
      {"little_endian", true, 0x0201, 0x04030201, 0x0807060504030201},
      {"mid_big_endian", false, 0, 0x02010403, 0x0201040306050807},
      {"mid_little_endian", false, 0, 0x03040102, 0x0708050603040102},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.token);
    const auto order = static_cast<unsigned>(find_token(word_orders, row.token));
    if (row.accepts_16) {
      EXPECT_EQ(apply_word_order_u16(run, order), row.u16);
      EXPECT_EQ(apply_word_order_i16(run, order), static_cast<int16_t>(row.u16));
      expect_round_trip<uint16_t>(0xBEEF, order, apply_word_order_u16);
      expect_round_trip<int16_t>(-2, order, apply_word_order_i16);
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

    expect_round_trip<uint32_t>(305419896, order, apply_word_order_u32);
    expect_round_trip<int32_t>(-123456789, order, apply_word_order_i32);
    expect_round_trip<float>(-1.5e-3f, order, apply_word_order_float);
    expect_round_trip<uint64_t>(0xFEDCBA9876543210, order, apply_word_order_u64);
    expect_round_trip<int64_t>(-1234567890123, order, apply_word_order_i64);
    expect_round_trip<double>(6.02214076e23, order, apply_word_order_double);
  }
}

TEST(HalfToFloat, ExactForNormalsSubnormalsZerosInfinitiesAndNan) {
  const struct {
    int32_t half;
    float expected;
  } rows[] = {
      {0x3C00, 1.0f},
      {-16384, -2.0f},  // 0xC000 sign-extended, as the 16-bit signed rule gives it
      {0x0001, std::ldexp(1.0f, -24)},
      {0x0400, std::ldexp(1.0f, -14)},
      {0x7BFF, 65504.0f},
      {0xFC00, -std::numeric_limits<float>::infinity()},
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
