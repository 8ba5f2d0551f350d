#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/value_types.hpp"
#include "support/log_capture.hpp"
#include "value_channels.hpp"

namespace {

using korvex_test::channel_settings_t;
using korvex_test::log_capture_t;
using korvex_test::text_of;
using korvex_test::value_channels_t;

class ValueDecoding : public ::testing::Test {
 protected:
  void SetUp() override {
    // The time types print local time; pin it so the texts are fixed.
    setenv("TZ", "UTC", 1);
    tzset();
    register_string_type("str8");
  }
  value_channels_t channels;
};

// "{}" leaves the float texts as the type rule made them, which is what the
// type table below checks (the format step runs for every float type).
TEST_F(ValueDecoding, EveryTypeAndWordOrderGivesItsText) {
  const std::vector<uint8_t> run = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  const struct {
    const char* type;
    const char* order;
    std::vector<uint8_t> data;
    const char* expected;  // "r": refused
    bool inverted = false;
  } rows[] = {
      {"bit", "big_endian", {0x02}, "1"},
      {"bit", "big_endian", {0x02}, "0", true},
      {"bit", "big_endian", {0x00}, "1", true},
      {"bit", "little_endian", {0x00, 0x01}, "0"},  // only the first byte counts
      {"i8", "big_endian", {0xFF, 0x00}, "-1"},
      {"u8", "little_endian", {0xFF}, "255"},
      {"i8", "mid_big_endian", {0xFF}, "r"},
      {"u8", "mid_little_endian", {0xFF}, "r"},
      {"i16", "big_endian", {0xFF, 0xFE}, "-2"},
      {"i16", "little_endian", {0xFE, 0xFF}, "-2"},
      {"u16", "big_endian", run, "258"},
      {"u16", "little_endian", run, "513"},
      {"u16", "mid_big_endian", run, "r"},
      {"i16", "mid_little_endian", run, "r"},
      {"u32", "big_endian", {0x12, 0x34, 0x56, 0x78}, "305419896"},
      {"u32", "little_endian", {0x12, 0x34, 0x56, 0x78}, "2018915346"},
      {"u32", "mid_big_endian", {0x12, 0x34, 0x56, 0x78}, "873625686"},
      {"u32", "mid_little_endian", {0x12, 0x34, 0x56, 0x78}, "1450709556"},
      {"i32", "big_endian", {0xFF, 0xFF, 0xFF, 0xFE}, "-2"},
      {"i32", "mid_big_endian", {0xFF, 0xFF, 0xFE, 0xFF}, "-2"},
      {"u64", "big_endian", run, "72623859790382856"},
      {"u64", "little_endian", run, "578437695752307201"},
      {"u64", "mid_big_endian", run, "144401074084972551"},
      {"u64", "mid_little_endian", run, "506660481457717506"},
      {"i64", "little_endian", {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "-2"},
      {"float16", "big_endian", {0x3C, 0x00}, "1"},
      {"float16", "big_endian", {0x35, 0x55}, "0.33325195"},
      {"float16", "little_endian", {0x00, 0xC0}, "-2"},
      {"float16", "mid_big_endian", {0x3C, 0x00}, "r"},
      {"float32", "big_endian", {0x3F, 0xC0, 0x00, 0x00}, "1.5"},
      {"float32", "little_endian", {0x00, 0x00, 0xC0, 0x3F}, "1.5"},
      {"float32", "mid_big_endian", {0xC0, 0x3F, 0x00, 0x00}, "1.5"},
      {"float32", "mid_little_endian", {0x00, 0x00, 0x3F, 0xC0}, "1.5"},
      {"float64", "big_endian", {0x3F, 0xF8, 0, 0, 0, 0, 0, 0}, "1.5"},
      {"float64", "little_endian", {0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, "1.5"},
      {"fixu16", "big_endian", {0x12, 0x80}, "18.5000"},
      {"fixu16", "little_endian", {0x80, 0x12}, "18.5000"},
      {"fixi16", "big_endian", {0xFF, 0x80}, "255.5000"},
      // One 256th is 0.0039: the fraction keeps its leading zeros.
      {"fixu16", "big_endian", {0x12, 0x01}, "18.0039"},
      {"utc4", "big_endian", {0x00, 0x00, 0x00, 0x00}, "1970-01-01 00:00:00"},
      {"utc4", "big_endian", {0x65, 0x92, 0x00, 0x80}, "2024-01-01 00:00:00"},
      {"utc4", "little_endian", {0xFF, 0xFF, 0xFF, 0xFF}, "1969-12-31 23:59:59"},
      {"utc8", "big_endian", {0, 0, 0, 0, 0x65, 0x92, 0x00, 0x80}, "2024-01-01 00:00:00"},
      // Seconds far beyond any calendar year the local time can hold.
      {"utc8", "big_endian", {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "r"},
      {"i24", "big_endian", {0x01, 0x02, 0x03, 0x04}, ""},
      {"bcd16", "big_endian", {0x12, 0x34}, ""},
      {"some_word", "big_endian", {0x12, 0x34}, "r"},  // an unknown word order token
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.type) + " " + row.order);
    channel_settings_t settings{.value_type = row.type, .word_order = row.order, .inverted = row.inverted,
                                .format = "{}"};
    if (std::string(row.type) == "some_word") {
      settings.value_type = "u16";
      settings.word_order = "some_word";
    }
    EXPECT_EQ(text_of(channels.decode(settings, row.data)), row.expected);
  }
}

TEST_F(ValueDecoding, StringTypesKeepEveryByte) {
  const std::vector<uint8_t> data = {'A', 'B', 0, 0, 0, 0, 0, 0, 'Z'};
  const auto payload = channels.decode({.value_type = "str8"}, data);
  EXPECT_EQ(payload, modbus_vector_t(data.begin(), data.begin() + 8));
}

TEST_F(ValueDecoding, AFailedReadIsRWhateverTheChannel) {
  for (const char* type : {"u16", "str8", "float32", "bit", "i24"}) {
    SCOPED_TRACE(type);
    const auto id = channels.add_channel({.value_type = type, .scale = 2.0, .error_value = "0", .debounce_hold = 5});
    auto row = channels.row(id);
    EXPECT_EQ(text_of(decode_value(*row, nullptr, 0, *channels.context)), "r");
    EXPECT_EQ(channels.debounce_state(id).first, std::nullopt);  // the debounce never saw it
  }
}

// Data shorter than the value type is a failed read, never read past (the
// address sanitizer build would report a read beyond the buffer).
TEST_F(ValueDecoding, DataShorterThanTheTypeIsRefused) {
  const struct {
    const char* type;
    std::size_t bytes;
  } rows[] = {
      {"bit", 0}, {"u8", 0}, {"u16", 1}, {"fixu16", 1}, {"float16", 1}, {"u32", 3}, {"utc4", 2},
      {"float32", 2}, {"i64", 7}, {"float64", 4}, {"utc8", 6}, {"str8", 7},
  };
  log_capture_t log;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    log.clear();
    // Exactly the bytes the row says, on the heap, so nothing follows them.
    auto data = std::make_unique<uint8_t[]>(row.bytes + 1);
    const auto id = channels.add_channel({.value_type = row.type}, "short");
    auto statement = channels.row(id);
    EXPECT_EQ(text_of(decode_value(*statement, data.get(), row.bytes, *channels.context)), "r");
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_TRUE(log.errors()[0].starts_with("short : ошибка обработки значения : недостаточно данных"))
        << log.errors()[0];
  }
}

TEST_F(ValueDecoding, ARefusedWordOrderNamesTheChannelAndTheReason) {
  log_capture_t log;
  const auto id = channels.add_channel({.value_type = "i16", .word_order = "mid_big_endian"}, "pressure");
  auto row = channels.row(id);
  const uint8_t data[] = {0x00, 0x01};
  EXPECT_EQ(text_of(decode_value(*row, data, sizeof data, *channels.context)), "r");
  EXPECT_EQ(log.errors(),
            std::vector<std::string>{"pressure : ошибка обработки значения : Недопустимый порядок байт"});
}

}  // namespace
