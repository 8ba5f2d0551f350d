#pragma once

#include <string>

// The two names a command topic "/devices/{device}/controls/{channel}/on"
// carries. Both are empty unless the topic is exactly that form: a name with
// a '/' would make a split ambiguous, and a loose split once sent a command
// for one device's channel to another device.
struct command_topic_t {
  std::string device_topic;
  std::string channel_topic;
};

command_topic_t parse_command_topic(const std::string& topic);

// A device or channel topic that a command topic can carry: with a '/' in it
// the command topic could not be split back into the same two names.
bool is_commandable_name(const std::string& name);

// Throws when the name holds '+' or '#': as a topic level they are wildcards,
// so a value under such a name cannot be published and a subscription with it
// would take in other channels' commands.
void require_topic_name(const std::string& name);
