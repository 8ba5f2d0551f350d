#pragma once

#include <filesystem>

#include "core/constants.hpp"

// What the command line says; nothing else of the configuration comes from it.
struct service_options_t {
  std::filesystem::path config_path = config_directory / config_file_name;
  std::filesystem::path log_path = log_directory / log_file_name;
  bool console = false;      // -v
  bool is_debug = false;     // -d
  bool debug_fixed = false;  // -d: the file's "is_debug" is then not read
};

// Reads the options "c:l:x:dv". -x removes the cache database at once (its
// argument is required but unused); unknown letters are left to getopt's
// own diagnostic and otherwise ignored.
service_options_t parse_options(int argc, char* argv[], const std::filesystem::path& cache_path);
