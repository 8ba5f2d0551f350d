#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/plural_form.hpp"
#include "core/value_types.hpp"

// 0: a known value type afterwards, with its sizes; 1: not a value-type name
// (a composite type); -1: a string of an unusable size. Nothing else is
// added, and a lookup never adds.
TEST(ValueTypes, StringTypesAreAddedOnFirstUseAndNothingElse) {
  enum { no_digits = 2, out_of_int = 3 };
  const struct {
    std::string name;
    int result, bytes = 0, regs = 0;
  } rows[] = {
      {"u16", 0, 2, 1},       {"float64", 0, 8, 4},     {"bcd40", 0, 5, 3},      {"str10", 0, 10, 5},
      {"str10", 0, 10, 5},    {"str7", 0, 7, 4},        {"str1", 0, 1, 1},       {"str254", 0, 254, 127},
      {"str300", 0, 44, 22},  {"str-5", 0, 251, 126},   {"str 12", 0, 12, 6},    {"str12abc", 0, 12, 6},
      {"str255", -1},         {"str0", -1},             {"str256", -1},          {"st", 1},
      {"", 1},                {"my_type", 1},           {"str", no_digits},      {"strabc", no_digits},
      {"str99999999999", out_of_int},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.result == no_digits) {
      EXPECT_THROW(register_string_type(row.name), std::invalid_argument);
    } else if (row.result == out_of_int) {
      EXPECT_THROW(register_string_type(row.name), std::out_of_range);
    } else {
      EXPECT_EQ(register_string_type(row.name), row.result);
    }
    const auto size = value_types.find(row.name);
    EXPECT_EQ(size.has_value(), row.result == 0);
    if (size) {
      EXPECT_EQ(size->bytes_num * 1000 + size->regs_num, row.bytes * 1000 + row.regs);
    } else {
      EXPECT_FALSE(value_types.contains(row.name)) << "the first lookup added it";
    }
  }
}

// Port threads look types up while the loader adds strings.
TEST(ValueTypes, ConcurrentRegistrationAndLookup) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int n = 1; n < 200; ++n) {
        const auto name = "str" + std::to_string(n) + (t % 2 ? "" : "x");
        EXPECT_EQ(register_string_type(name), 0);
        EXPECT_TRUE(value_types.find(name).has_value());
        EXPECT_FALSE(value_types.find("nope" + std::to_string(n)).has_value());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(value_types.find("str199x")->bytes_num, 199);
}

TEST(PluralForm, FollowsTheLastTwoDigits) {
  const std::pair<uint64_t, std::string> cases[] = {{1, "топик"},    {21, "топик"},    {101, "топик"},  {2, "топика"},
                                                    {4, "топика"},   {22, "топика"},   {104, "топика"}, {0, "топиков"},
                                                    {5, "топиков"},  {11, "топиков"},  {14, "топиков"}, {111, "топиков"},
                                                    {20, "топиков"}, {1011, "топиков"}};
  for (const auto& [count, word] : cases) EXPECT_EQ(plural_form(count, "топик", "топика", "топиков"), word) << count;
}
