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
  void SetUp() override { register_string_type("str8"); }
  value_channels_t channels;
};

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
    EXPECT_EQ(text_of(decode_value(*row, nullptr, 0, "ch", channels.context())), "r");
  }
  EXPECT_TRUE(channels.debounces().empty()) << "the debounce never saw them";
}

// Data shorter than the value type is a failed read, never read past (the
// address sanitizer build would report a read beyond the buffer).
TEST_F(ValueDecoding, DataShorterThanTheTypeIsRefused) {
  const struct {
    const char* type;
    std::size_t bytes;
  } rows[] = {
      {"bit", 0}, {"u8", 0}, {"u16", 1}, {"fixu16", 1}, {"float16", 1}, {"u32", 3}, {"utc4", 2},
      {"float32", 2}, {"i64", 7}, {"float64", 4}, {"utc8", 6}, {"str8", 7}, {"u24", 2}, {"bcd56", 6},
  };
  log_capture_t log;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    log.clear();
    // Exactly the bytes the row says, on the heap, so nothing follows them.
    auto data = std::make_unique<uint8_t[]>(row.bytes + 1);
    const auto id = channels.add_channel({.value_type = row.type}, "short");
    auto statement = channels.row(id);
    EXPECT_EQ(text_of(decode_value(*statement, data.get(), row.bytes, "short", channels.context())), "r");
    ASSERT_EQ(log.errors().size(), 1u);
    EXPECT_TRUE(log.errors()[0].starts_with("short : ошибка обработки значения : недостаточно данных"))
        << log.errors()[0];
  }
}

}  // namespace
