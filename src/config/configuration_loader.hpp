#pragma once

#include <filesystem>
#include <memory>

#include <SQLiteCpp/Database.h>

#include "config/json_access.hpp"
#include "config/service_settings.hpp"

// Waits for the configuration file, rebuilds the cache database from it and
// returns the log and broker settings. is_debug is the starting debug flag;
// with debug_fixed set the file's "is_debug" is not read. Every failure is
// thrown as "<path> : ошибка конфигурации : <reason>".
service_settings_t load_configuration(const std::filesystem::path& config_path,
                                      std::shared_ptr<SQLite::Database> database, bool is_debug, bool debug_fixed);

// Creates the schema on an empty database and stores every port, device and
// parameter set of the parsed configuration, then the Topics table.
void build_cache_database(std::shared_ptr<SQLite::Database> database, const json& config);
