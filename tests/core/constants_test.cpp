#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/constants.hpp"
#include "core/value_types.hpp"

TEST(FindToken, ExactCaseSensitiveMatchOverEveryTable) {
  const struct {
    const token_table_t* table;
    std::string token;
    int code;  // -1: refused
  } rows[] = {
      {&device_types, "mb-rtu", 2},          {&device_types, "MB-RTU", -1},     {&connection_types, "base.tcp", 2},
      {&connection_types, "base.tcp ", -1},  {&register_types, "input", 3},     {&word_orders, "mid_little_endian", 3},
      {&word_orders, "", -1},
  };
  for (const auto& row : rows) {
    if (row.code >= 0) {
      EXPECT_EQ(find_token(*row.table, row.token), row.code) << row.token;
      continue;
    }
    try {
      find_token(*row.table, row.token);
      ADD_FAILURE() << "accepted " << row.token;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), row.token + " : неизвестный токен");
    }
  }
}

TEST(ValueTypes, RegisterStringTypeTable) {
  enum { refused = -1, added = 0, not_a_value_type = 1, no_digits = 2, out_of_int = 3 };
  const struct {
    std::string name;
    int result;
    int bytes = 0;  // expected sizes when added
    int regs = 0;
  } rows[] = {
      {"u16", added, 2, 1},      {"float64", added, 8, 4},    {"bcd40", added, 5, 3},
      {"str10", added, 10, 5},   {"str10", added, 10, 5},     {"str7", added, 7, 4},
      {"str1", added, 1, 1},     {"str254", added, 254, 127}, {"str300", added, 44, 22},
      {"str-5", added, 251, 126}, {"str 12", added, 12, 6},   {"str12abc", added, 12, 6},
      {"str255", refused},       {"str0", refused},           {"str256", refused},
      {"st", not_a_value_type},  {"", not_a_value_type},      {"my_type", not_a_value_type},
      {"str", no_digits},        {"strabc", no_digits},       {"str99999999999", out_of_int},
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
    if (row.result == added) {
      ASSERT_TRUE(size.has_value());
      EXPECT_EQ(size->bytes_num, row.bytes);
      EXPECT_EQ(size->regs_num, row.regs);
    } else {
      EXPECT_FALSE(size.has_value());
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
