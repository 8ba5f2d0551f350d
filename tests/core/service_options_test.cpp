#include <gtest/gtest.h>

#include "core/logging_setup.hpp"
#include "core/service_options.hpp"
#include "support/temp_dir.hpp"

// The letters "c:l:x:dv": -x removes the cache at once, -d fixes the debug
// level whatever the file says.
TEST(ServiceOptions, LettersAndWhatTheyLeaveOut) {
  const struct {
    std::vector<std::string> arguments;
    bool console, debug, cache_kept;
  } cases[] = {
      {{}, false, false, true},
      {{"-d"}, false, true, true},
      {{"-v", "-d"}, true, true, true},
      {{"-x", "-d"}, false, false, false},  // -d is taken as the argument of -x
      {{"-q", "-v"}, true, false, true},    // an unknown letter is passed over
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    korvex_test::temp_dir_t folder;
    const auto cache = folder.write("korvex.cache", "stale");
    std::vector<std::string> arguments{"korvex", "-c", "/k.json", "-l", "/l/k.log"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    const auto options = parse_options(static_cast<int>(argv.size()), argv.data(), cache);
    EXPECT_EQ(options.config_path.string() + options.log_path.string(), "/k.json/l/k.log");
    EXPECT_EQ(options.console, c.console);
    EXPECT_EQ(options.is_debug && options.debug_fixed, c.debug);
    EXPECT_EQ(std::filesystem::exists(cache), c.cache_kept);
  }
  char name[] = "korvex";
  char* bare[] = {name, nullptr};
  const auto defaults = parse_options(1, bare, "/nonexistent");
  EXPECT_EQ(defaults.config_path.string() + " " + defaults.log_path.string(), "/etc/korvex.json /var/log/korvex/korvex.log");
  EXPECT_EQ(log_size_bytes(4096), uint64_t{4096} * 1048576u) << "no 32-bit wrap to zero";
}
