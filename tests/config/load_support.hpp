#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <SQLiteCpp/Database.h>
#include <nlohmann/json.hpp>

#include "config/service_settings.hpp"
#include "support/temp_dir.hpp"

namespace korvex_test {

// A configuration loaded into a fresh cache database in a temporary folder.
struct loaded_config_t {
  temp_dir_t dir;
  std::filesystem::path config_path;
  std::shared_ptr<SQLite::Database> database;
  service_settings_t settings;
};

// "@DATA@" in a configuration text stands for the test data folder, so that
// templates are named by absolute paths and nothing under /usr/share is needed.
std::string with_data_dir(std::string text);

// Writes the text as the configuration file and loads it; throws what the
// loader throws.
std::unique_ptr<loaded_config_t> load_config_text(const std::string& text, bool is_debug = false,
                                                  bool debug_fixed = false);

// Every row of a table in row id order, each an array of its columns in
// declared order: NULL as null, blobs as "blob:" and lower-case hex.
nlohmann::json dump_table(SQLite::Database& database, const std::string& table);

// The default code page as the loader derives it from the system locale.
std::string system_charset_for_test();

}  // namespace korvex_test
