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

const std::vector<uint8_t> u16_123 = {0x00, 0x7B};
const std::vector<uint8_t> u16_10 = {0x00, 0x0A};
const std::vector<uint8_t> u16_4 = {0x00, 0x04};
const std::vector<uint8_t> i16_minus_5 = {0xFF, 0xFB};
const std::vector<uint8_t> float_21_5 = {0x41, 0xAC, 0x00, 0x00};
const std::vector<uint8_t> float_100 = {0x42, 0xC8, 0x00, 0x00};
const std::vector<uint8_t> float_100_5 = {0x42, 0xC9, 0x00, 0x00};
const std::vector<uint8_t> float_nan = {0x7F, 0xC0, 0x00, 0x00};

TEST(ValueRules, StepsGiveThePublishedText) {
  register_string_type("str8");
  const struct {
    const char* what;
    channel_settings_t settings;
    std::vector<uint8_t> data;
    const char* payload;
    const char* error_line;  // the one error line expected, or none
  } rows[] = {
      {"error value wins over scale", {.scale = 0.1, .error_value = "65535"}, {0xFF, 0xFF}, "r",
       "ch : получено ошибочное значение : 65535"},
      {"error value compares the text", {.error_value = "65535"}, {0xFF, 0xFE}, "65534", nullptr},
      {"scale and format", {.scale = 0.1}, u16_123, "12.30", nullptr},
      {"scale without a format string gives nothing", {.scale = 0.1, .format = std::nullopt}, u16_123, "", nullptr},
      {"integer without steps keeps its text", {}, u16_123, "123", nullptr},
      {"correction alone keeps an integer", {.correction = 5}, u16_10, "15", nullptr},
      {"correction of a negative reading", {.value_type = "i16", .correction = 3}, i16_minus_5, "-2", nullptr},
      {"negative correction", {.value_type = "i16", .correction = -10}, i16_minus_5, "-15", nullptr},
      {"correction of a scaled value uses its whole part", {.scale = 0.1, .correction = 1}, u16_123, "13.00",
       nullptr},
      {"limit equal passes", {.value_type = "float32", .min_value = 0, .max_value = 100}, float_100, "100.00",
       nullptr},
      {"above the limit", {.value_type = "float32", .min_value = 0, .max_value = 100}, float_100_5, "r",
       "ch : значение вне допустимого диапазона: 100.5"},
      {"below the limit", {.value_type = "i16", .min_value = 0}, i16_minus_5, "r",
       "ch : значение вне допустимого диапазона: -5"},
      {"nan passes the limits", {.value_type = "float32", .min_value = 0, .max_value = 100}, float_nan, "nan",
       nullptr},
      {"unit after format", {.value_type = "float32", .unit = "kWh"}, float_21_5, "21.50 kWh", nullptr},
      {"unit on an integer", {.unit = "rpm"}, u16_10, "10 rpm", nullptr},
      {"read condition", {.read_condition = "value*2", .format = "{:.3f}"}, u16_4, "8.000", nullptr},
      {"read condition sees the number", {.read_condition = "value>3?1:0", .format = "{}"}, u16_4, "1", nullptr},
      {"read condition on an empty text starts from 0", {.value_type = "i24", .read_condition = "value+7",
                                                          .format = "{}"}, {1, 2, 3}, "7", nullptr},
      {"script error", {.read_condition = "nothing_here*2"}, u16_4, "r", nullptr},
      {"script returning a word", {.read_condition = "'high'"}, u16_4, "r", nullptr},
      {"empty script", {.read_condition = ""}, u16_4, "r", nullptr},
      {"scale of a string", {.value_type = "str8", .scale = 2.0}, {'A', 'B', 0, 0, 0, 0, 0, 0}, "r", nullptr},
      {"limits of a type without a rule", {.value_type = "i24", .max_value = 5}, {1, 2, 3}, "r", nullptr},
      {"invalid format", {.value_type = "float32", .format = "{:q}"}, float_21_5, "r", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    value_channels_t channels;
    log_capture_t log;
    EXPECT_EQ(text_of(channels.decode(row.settings, row.data)), row.payload);
    const auto errors = log.errors();
    if (row.error_line != nullptr) {
      EXPECT_EQ(errors, std::vector<std::string>{row.error_line});
    } else if (std::string(row.payload) == "r") {
      // Refused by a step that cannot read its text: one line, naming the channel.
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_TRUE(errors[0].starts_with("ch : ошибка обработки значения : ")) << errors[0];
    } else {
      EXPECT_TRUE(errors.empty());
    }
  }
}

// Reads A, A, B, B within the hold time, then B after it: nothing, A,
// nothing, nothing, B.
TEST(ValueDebounce, AChangeIsPublishedOnlyAfterTheHoldTime) {
  value_channels_t channels;
  log_capture_t log;
  const auto id = channels.add_channel({.debounce_hold = 10}, "level");
  const std::vector<uint8_t> a = {0x00, 0x01};
  const std::vector<uint8_t> b = {0x00, 0x02};
  const struct {
    int64_t at;
    const std::vector<uint8_t>& data;
    const char* payload;
    const char* line;
    std::optional<std::string> stored;
    int64_t timer;
  } steps[] = {
      {1000, a, "", "level : контроль дребезга : нет значения", "1", 0},
      {1001, a, "1", "level : контроль дребезга : завершено", "1", 0},
      {1002, b, "", "level : контроль дребезга : начало", "1", 1002},
      {1005, b, "", "level : контроль дребезга : до завершения 7 сек.", "1", 1002},
      {1012, b, "2", "level : контроль дребезга : возвращено значение по истечению таймера : 2", "2", 0},
      // Back to the held value before the hold ends: the change is dropped and
      // the timer starts over at the next change.
      {1013, a, "", "level : контроль дребезга : начало", "2", 1013},
      {1014, b, "2", "level : контроль дребезга : завершено", "2", 0},
      {1030, a, "", "level : контроль дребезга : начало", "2", 1030},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.at);
    log.clear();
    channels.now = step.at;
    auto row = channels.row(id);
    EXPECT_EQ(text_of(decode_value(*row, step.data.data(), step.data.size(), *channels.context)), step.payload);
    EXPECT_EQ(log.lines(), std::vector<std::string>{step.line});
    EXPECT_EQ(channels.debounce_state(id), std::make_pair(step.stored, step.timer));
  }
}

TEST(ValueDebounce, AMissingStateRowSuppressesWithoutAWrite) {
  value_channels_t channels;
  EXPECT_TRUE(debounce(4242, "gone", "1", *channels.context));
  // The statements were left reset, so the next use works at once.
  const auto id = channels.add_channel({.debounce_hold = 1});
  auto row = channels.row(id);
  EXPECT_TRUE(debounce(row->getColumn("debounce").getInt64(), "ch", "5", *channels.context));
  EXPECT_EQ(channels.debounce_state(id).first, "5");
}

// The debounce runs before the limits: a value it lets through may still be
// refused, and its state is already stored by then.
TEST(ValueDebounce, RunsAfterTheReadConditionAndBeforeTheLimits) {
  value_channels_t channels;
  const auto id = channels.add_channel({.max_value = 10, .debounce_hold = 0, .read_condition = "value*3"});
  for (int pass = 0; pass < 2; ++pass) {
    auto row = channels.row(id);
    const auto payload = text_of(decode_value(*row, u16_4.data(), u16_4.size(), *channels.context));
    EXPECT_EQ(payload, pass == 0 ? "" : "r");
  }
  EXPECT_EQ(channels.debounce_state(id).first, "12.000000");
}

TEST(ValueDebounce, TheSystemClockCountsSecondsSinceTheEpoch) {
  const auto seconds = system_now_seconds();
  EXPECT_GT(seconds, 1'600'000'000);
  EXPECT_LT(seconds, 10'000'000'000);
}

}  // namespace
