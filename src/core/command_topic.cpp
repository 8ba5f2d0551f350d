#include "core/command_topic.hpp"

#include <vector>

command_topic_t parse_command_topic(const std::string& topic) {
  // Empty segments count: "/devices/a/controls/b/on" is six segments, the
  // first of them empty, so a trailing "/" leaves an empty last segment.
  std::vector<std::string> segments;
  std::string::size_type start = 0;
  for (;;) {
    const auto slash = topic.find('/', start);
    segments.push_back(topic.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  const auto count = segments.size();
  if (count < 4 || segments.back() != "on") return {};
  return {segments[count - 4], segments[count - 2]};
}

const char* plural_form(uint64_t count, const char* one, const char* few, const char* many) {
  const auto last_two = count % 100;
  if (last_two >= 11 && last_two <= 19) return many;
  const auto last = count % 10;
  if (last == 1) return one;
  if (last >= 2 && last <= 4) return few;
  return many;
}
