#include <gtest/gtest.h>

#include <string>

#include "core/command_topic.hpp"
#include "core/plural_form.hpp"

TEST(PluralForm, FollowsTheLastTwoDigits) {
  const struct {
    std::size_t count;
    std::string word;
  } cases[] = {{1, "топик"},    {21, "топик"},    {101, "топик"},   {2, "топика"},   {3, "топика"},
               {4, "топика"},   {22, "топика"},   {104, "топика"},  {5, "топиков"},  {11, "топиков"},
               {12, "топиков"}, {14, "топиков"},  {19, "топиков"},  {111, "топиков"}, {20, "топиков"},
               {100, "топиков"}, {1011, "топиков"}};
  for (const auto& c : cases) EXPECT_EQ(plural_form(c.count, "топик", "топика", "топиков"), c.word) << c.count;
}
