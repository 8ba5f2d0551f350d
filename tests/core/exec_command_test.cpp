#include <gtest/gtest.h>

#include <string>

#include "core/exec_command.hpp"

TEST(ExecCommand, ReturnsStandardOutputExactly) {
  const std::string long_line(150, 'x');
  const std::pair<std::string, std::string> rows[] = {
      {"true", ""},
      {"printf 'a\\nb\\n\\nc'", "a\nb\n\nc"},
      {"printf '" + long_line + "\\n'", long_line + "\n"},
      {"echo out; echo err 1>&2", "out\n"},
      {"/nonexistent/command 2>/dev/null", ""},
      {"printf 'ab\\0cd\\nef\\n'", "ab" "ef\n"},  // a NUL ends its piece; reading goes on with the next line
      {"exec 1>&-; sleep 0", ""},                  // a closed output is the end of the stream: no spinning
  };
  for (const auto& [command, output] : rows) EXPECT_EQ(exec_command(command), output) << command;
}
