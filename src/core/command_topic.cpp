#include "core/command_topic.hpp"

#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "core/constants.hpp"

command_topic_t parse_command_topic(const std::string& topic) {
  std::vector<std::string> segments;
  std::string::size_type start = 0;
  for (;;) {
    const auto slash = topic.find('/', start);
    segments.push_back(topic.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  // "/devices/{}/controls/{}/on" splits into six segments, the first empty.
  if (segments.size() != 6 || segments[2].empty() || segments[4].empty()) return {};
  if (fmt::format(fmt::runtime(command_topic_format), segments[2], segments[4]) != topic) return {};
  return {segments[2], segments[4]};
}

bool is_commandable_name(const std::string& name) { return name.find('/') == std::string::npos; }

void require_topic_name(const std::string& name) {
  if (name.find_first_of("+#") != std::string::npos) {
    throw std::runtime_error(
        fmt::format("Недопустимое имя ({}) : символы '+' и '#' в именах топиков MQTT запрещены", name));
  }
}
