#pragma once

#include <cstdint>
#include <string>

// The two names a command topic "/devices/{device}/controls/{channel}/on"
// carries. Both are empty when the topic does not end in an "on" segment or
// has fewer than four segments; the other segments are not compared.
struct command_topic_t {
  std::string device_topic;
  std::string channel_topic;
};

command_topic_t parse_command_topic(const std::string& topic);

// The Russian form of a noun after a count: `one` after 1, 21, 101...,
// `few` after 2-4, 22-24..., `many` after 0, 5-20, 25-30, 111...
const char* plural_form(uint64_t count, const char* one, const char* few, const char* many);
