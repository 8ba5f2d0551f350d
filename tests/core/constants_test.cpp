#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/constants.hpp"
#include "core/value_types.hpp"

TEST(FindToken, ExactCaseSensitiveMatchOverEveryTable) {
  struct row_t {
    const token_table_t* table;
    std::string token;
    int code;  // -1: refused
  };
  const std::vector<row_t> rows = {
      {&device_types, "mb-rtu", 2},          {&device_types, "MB-RTU", -1},
      {&device_types, "mb-ascii", 3},        {&connection_types, "base.tcp", 2},
      {&connection_types, "base.tcp ", -1},  {&register_types, "input", 3},
      {&word_orders, "mid_little_endian", 3}, {&word_orders, "", -1},
  };
  for (const auto& row : rows) {
    if (row.code >= 0) {
      EXPECT_EQ(find_token(*row.table, row.token), row.code) << row.token;
    } else {
      try {
        find_token(*row.table, row.token);
        ADD_FAILURE() << "accepted " << row.token;
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), row.token + " : неизвестный токен");
      }
    }
  }
}

TEST(ValueTypes, RegisterStringTypeTable) {
  struct row_t {
    std::string name;
    int result;
    int bytes;  // expected size when result is 0
    int regs;
  };
  const std::vector<row_t> rows = {
      {"u16", 0, 2, 1},     {"float64", 0, 8, 4}, {"bcd40", 0, 5, 3},   {"str10", 0, 10, 5},
      {"str10", 0, 10, 5},  {"str7", 0, 7, 4},    {"str1", 0, 1, 1},    {"str254", 0, 254, 127},
      {"str300", 0, 44, 22}, {"str-5", 0, 251, 126}, {"str 12", 0, 12, 6}, {"str12abc", 0, 12, 6},
      {"str255", -1, 0, 0}, {"str0", -1, 0, 0},   {"str256", -1, 0, 0}, {"st", 1, 0, 0},
      {"", 1, 0, 0},        {"my_type", 1, 0, 0},
  };
  for (const auto& row : rows) {
    const auto before = value_types.size();
    EXPECT_EQ(register_string_type(row.name), row.result) << row.name;
    const auto size = value_types.find(row.name);
    if (row.result == 0) {
      ASSERT_TRUE(size.has_value()) << row.name;
      EXPECT_EQ(size->bytes_num, row.bytes) << row.name;
      EXPECT_EQ(size->regs_num, row.regs) << row.name;
    } else {
      EXPECT_FALSE(size.has_value()) << row.name;
      EXPECT_EQ(value_types.size(), before) << "registry changed by " << row.name;
    }
  }
}

TEST(ValueTypes, StringWithoutDigitsThrowsAndLeavesRegistry) {
  const auto before = value_types.size();
  EXPECT_THROW(register_string_type("str"), std::invalid_argument);
  EXPECT_THROW(register_string_type("strabc"), std::invalid_argument);
  EXPECT_THROW(register_string_type("str99999999999"), std::out_of_range);
  EXPECT_EQ(value_types.size(), before);
  EXPECT_FALSE(value_types.contains("str"));
}

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
