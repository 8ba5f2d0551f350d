#pragma once

#include <cstddef>
#include <string>

// The two names a command topic "/devices/{device}/controls/{channel}/on"
// carries. Both are empty when the topic does not end in an "on" segment or
// has fewer than four segments; the other segments are not compared.
struct command_topic_t {
  std::string device_topic;
  std::string channel_topic;
};

command_topic_t parse_command_topic(const std::string& topic);

// The Russian word for a count of topics: "топик", "топика" or "топиков".
const char* topic_count_word(std::size_t count);
