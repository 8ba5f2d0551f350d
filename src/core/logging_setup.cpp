#include "core/logging_setup.hpp"

#include <chrono>
#include <vector>

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

uint64_t log_size_bytes(uint32_t max_size_mib) { return uint64_t{max_size_mib} * 1048576u; }

std::shared_ptr<spdlog::logger> set_up_logging(const std::filesystem::path& log_path, uint32_t max_size_mib,
                                               uint32_t max_files, bool console, bool is_debug) {
  if (log_path.has_parent_path()) std::filesystem::create_directories(log_path.parent_path());
  std::vector<spdlog::sink_ptr> sinks;
  sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink<std::mutex>>(
      log_path.string(), static_cast<std::size_t>(log_size_bytes(max_size_mib)), max_files, true));
  if (console) {
    sinks.push_back(std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic));
  }
  auto logger = std::make_shared<spdlog::logger>("korvex", sinks.begin(), sinks.end());
  spdlog::register_logger(logger);
  spdlog::set_default_logger(logger);
  spdlog::set_level(is_debug ? spdlog::level::debug : spdlog::level::info);
  spdlog::flush_every(std::chrono::seconds(1));
  return logger;
}
