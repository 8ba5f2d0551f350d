#include <gtest/gtest.h>

#include <string>

#include "core/exec_command.hpp"

TEST(ExecCommand, ReturnsStandardOutputExactly) {
  const std::string long_line(150, 'x');
  const struct {
    std::string command;
    std::string expected;
  } rows[] = {
      {"true", ""},
      {"printf 'a\\nb\\n\\nc'", "a\nb\n\nc"},
      {"printf '" + long_line + "\\n'", long_line + "\n"},
      {"echo out; echo err 1>&2", "out\n"},
      {"/nonexistent/command 2>/dev/null", ""},
      // a NUL ends the piece that holds it; reading goes on with the next line
      {"printf 'ab\\0cd\\nef\\n'", "ab" "ef\n"},
      // a closed standard output reports end of stream at once: no spinning
      {"exec 1>&-; sleep 0", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(exec_command(row.command), row.expected) << row.command;
}
