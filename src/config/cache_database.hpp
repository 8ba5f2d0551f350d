#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

// Several threads open their own handle on the one cache file. Without a busy
// timeout a write that meets another handle's lock fails at once with
// "database is locked" and the update is lost, so every handle waits a while.
inline constexpr int cache_busy_timeout_ms = 5000;

// Before any handle is opened: no handle reserves page-cache memory up front.
// Every port opens one, and after loading its channels' rows it reads almost
// nothing, so the pages SQLite would set aside for each (about 87 KB) sat
// unused.
void configure_cache_library();

std::shared_ptr<SQLite::Database> open_cache_database(
    const std::filesystem::path& path, int flags = SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);

// The pragmas and the seven tables with their indexes, in their fixed order.
// Topics is created later, by the Topics builder.
void create_cache_schema(SQLite::Database& database);

// Slots of the loader's statements, in the order they are prepared.
enum config_statement_t : std::size_t {
  count_global_type,
  count_user_type,
  insert_error,
  insert_global_type,
  insert_user_type,
  insert_debounce,
  insert_bit_field,
  insert_channel,
  insert_device,
  insert_connection,
  select_devices,
  select_device_by_topic,
  config_statement_count
};

extern const std::array<std::string, config_statement_count> config_statement_texts;

// The column that readers of `select_devices` name.
inline constexpr char device_cname_column[] = "cname";

// The serial line or the network peer of a connection, set on its row after
// the insert; prepared for each call.
extern const char* const serial_line_update_text;
extern const char* const network_peer_update_text;

// Used by the loader only, on the main thread, before any port exists.
extern std::array<std::shared_ptr<SQLite::Statement>, config_statement_count> config_statements;

void prepare_config_statements(SQLite::Database& database);
void release_config_statements();

// The statement in a slot, ready for use: reset and cleared of its bindings.
SQLite::Statement& fresh_config_statement(config_statement_t slot);
