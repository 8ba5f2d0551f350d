#include <gtest/gtest.h>

#include <string>

#include "core/command_topic.hpp"

TEST(CommandTopic, DeviceAndChannelPartsOrIgnored) {
  const struct {
    std::string topic;
    std::string device;
    std::string channel;
  } cases[] = {
      {"/devices/boiler_1/controls/setpoint/on", "boiler_1", "setpoint"},
      {"devices/boiler_1/controls/setpoint/on", "boiler_1", "setpoint"},
      {"a/boiler_1/b/setpoint/on", "boiler_1", "setpoint"},
      {"boiler_1/x/setpoint/on", "boiler_1", "setpoint"},
      {"/devices/boiler_1/controls/setpoint/on/", "", ""},
      {"/devices/boiler_1/controls/setpoint", "", ""},
      {"/devices/boiler_1/controls/setpoint/On", "", ""},
      {"x/setpoint/on", "", ""},
      {"", "", ""},
      {"/devices/boiler_1/controls//on", "boiler_1", ""},
  };
  for (const auto& c : cases) {
    const auto parts = parse_command_topic(c.topic);
    EXPECT_EQ(parts.device_topic, c.device) << c.topic;
    EXPECT_EQ(parts.channel_topic, c.channel) << c.topic;
  }
}

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

