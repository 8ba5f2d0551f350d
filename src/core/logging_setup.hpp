#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include <spdlog/logger.h>

// The log file limit in bytes. Computed in 64 bits: in 32 bits a limit of
// 4096 MiB would wrap to zero, which the rotating sink refuses.
uint64_t log_size_bytes(uint32_t max_size_mib);

// Builds the "korvex" logger over the rotating file (rotated once now) and,
// with console set, the coloured standard output; registers it as the
// default logger at info level, or debug with is_debug, flushed every second.
// The log folder is created when missing.
std::shared_ptr<spdlog::logger> set_up_logging(const std::filesystem::path& log_path, uint32_t max_size_mib,
                                               uint32_t max_files, bool console, bool is_debug);
