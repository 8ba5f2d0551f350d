#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include <SQLiteCpp/Database.h>

#include "config/json_access.hpp"
#include "config/service_settings.hpp"

// The last step of every load, inside its transaction: the Topics table,
// built from the stored rows by the broker side, which reads it. What it
// throws fails the load like any refusal of the loader.
using build_topics_t = std::function<void(const std::shared_ptr<SQLite::Database>&)>;

// Waits for the configuration file, rebuilds the cache database from it and
// returns the log and broker settings. is_debug is the starting debug flag;
// with debug_fixed set the file's "is_debug" is not read. Every failure is
// thrown as "<path> : ошибка конфигурации : <reason>".
service_settings_t load_configuration(const std::filesystem::path& config_path,
                                      std::shared_ptr<SQLite::Database> database, bool is_debug, bool debug_fixed,
                                      const build_topics_t& build_topics);

// Creates the schema on an empty database and stores every port, device and
// parameter set of the parsed configuration, then the Topics table.
void build_cache_database(std::shared_ptr<SQLite::Database> database, const json& config,
                          const build_topics_t& build_topics);
