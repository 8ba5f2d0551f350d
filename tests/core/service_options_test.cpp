#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "core/logging_setup.hpp"
#include "core/service_options.hpp"
#include "mqtt/topics_table.hpp"
#include "support/temp_dir.hpp"

using korvex_test::temp_dir_t;

namespace {

service_options_t parse(std::vector<std::string> arguments, const std::filesystem::path& cache_path) {
  arguments.insert(arguments.begin(), "korvex");
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return parse_options(static_cast<int>(arguments.size()), argv.data(), cache_path);
}

}  // namespace

TEST(ServiceOptions, CommandLineAndFileDecideTheLevel) {
  const struct {
    std::vector<std::string> arguments;
    bool file_is_debug;
    spdlog::level::level_enum level;
    bool console;
  } cases[] = {
      {{}, false, spdlog::level::info, false},
      {{"-d"}, false, spdlog::level::debug, false},  // -d wins over the file
      {{}, true, spdlog::level::debug, false},
      {{"-v", "-d"}, false, spdlog::level::debug, true},
      {{"-x", "-d"}, false, spdlog::level::info, false},  // -d is taken as the argument of -x
      {{"-q", "-v"}, false, spdlog::level::info, true},   // an unknown letter is passed over
  };
  for (const auto& c : cases) {
    temp_dir_t folder;
    const auto cache_path = folder.write("state/korvex.cache", "stale");
    const auto config = folder.write(
        "korvex.json", std::string(R"({"log": {"max_size": 1, "is_debug": )") + (c.file_is_debug ? "true" : "false") +
                           R"(}, "ports": [{"connection": {"name": "spare", "type": "base.tcp", "enabled": false,
                           "tcp": {"url": "127.0.0.1", "port": 1502}}, "devices": [{"name": "m"}],
                           "parameters": [{"cname": "m", "config": {}}]}]})");
    auto arguments = c.arguments;
    arguments.insert(arguments.end(), {"-c", config.string(), "-l", (folder.path() / "log/korvex.log").string()});
    const auto options = parse(arguments, cache_path);
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    EXPECT_EQ(options.config_path, config);
    EXPECT_EQ(options.console, c.console);
    EXPECT_EQ(std::filesystem::exists(cache_path), c.arguments.empty() || c.arguments[0] != "-x");

    auto database = open_cache_database(folder.path() / "korvex.cache");
    const auto settings = load_configuration(options.config_path, database, options.is_debug, options.debug_fixed,
                                             build_topics_table);
    const auto previous = spdlog::default_logger();
    auto logger = set_up_logging(options.log_path, settings.max_size, settings.max_files, options.console,
                                 settings.is_debug);
    EXPECT_EQ(spdlog::get_level(), c.level);
    spdlog::debug("debug line");
    spdlog::info("info line");
    logger->flush();
    // The log folder did not exist.
    const auto log = korvex_test::read_file(options.log_path);
    EXPECT_NE(log.find("info line"), std::string::npos);
    EXPECT_EQ(log.find("debug line") != std::string::npos, c.level == spdlog::level::debug);
    spdlog::set_default_logger(previous);
    spdlog::drop("korvex");
  }
}

TEST(ServiceOptions, DefaultConfigAndLogSizeWithoutWrap) {
  temp_dir_t folder;
  const auto options = parse({}, folder.path() / "none.cache");
  EXPECT_EQ(options.config_path, "/etc/korvex.json");
  EXPECT_FALSE(options.is_debug || options.debug_fixed || options.console);
  EXPECT_EQ(log_size_bytes(4096), uint64_t{4096} * 1048576u) << "no 32-bit wrap to zero";
}
