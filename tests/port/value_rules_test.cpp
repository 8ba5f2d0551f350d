#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.hpp"
#include "value_channels.hpp"

namespace {

using korvex_test::log_capture_t;
using korvex_test::text_of;
using korvex_test::value_channels_t;

const std::vector<uint8_t> u16_4 = {0x00, 0x04};

// The one debounce state the port holds: stored value and timer.
std::pair<std::optional<std::string>, int64_t> only_state(const value_channels_t& channels) {
  const auto& states = channels.debounces();
  if (states.size() != 1) return {"states: " + std::to_string(states.size()), -1};
  return {states.begin()->second.current, states.begin()->second.timer};
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
    EXPECT_EQ(text_of(decode_value(*row, step.data.data(), step.data.size(), "level", channels.context())),
              step.payload);
    EXPECT_EQ(log.lines(), std::vector<std::string>{step.line});
    EXPECT_EQ(only_state(channels), std::make_pair(step.stored, step.timer));
  }
}

TEST(ValueDebounce, AMissingStateRowSuppressesWithoutAState) {
  value_channels_t channels;
  EXPECT_TRUE(channels.context().debounce({1, 1, "gone"}, 4242, "gone", "1"));
  EXPECT_TRUE(channels.debounces().empty());
  // The statement was left reset, so the next use works at once.
  const auto id = channels.add_channel({.debounce_hold = 1});
  auto row = channels.row(id);
  EXPECT_TRUE(channels.context().debounce({1, id, "ch"}, row->getColumn("debounce").getInt64(), "ch", "5"));
  EXPECT_EQ(only_state(channels).first, "5");
}

// The debounce runs before the limits: a value it lets through may still be
// refused, and its state is already stored by then.
TEST(ValueDebounce, RunsAfterTheReadConditionAndBeforeTheLimits) {
  value_channels_t channels;
  const auto id = channels.add_channel({.max_value = 10, .debounce_hold = 0, .read_condition = "value*3"});
  for (int pass = 0; pass < 2; ++pass) {
    auto row = channels.row(id);
    const auto payload = text_of(decode_value(*row, u16_4.data(), u16_4.size(), "ch", channels.context()));
    EXPECT_EQ(payload, pass == 0 ? "" : "r");
  }
  EXPECT_EQ(only_state(channels).first, "12.000000");
}

}  // namespace
