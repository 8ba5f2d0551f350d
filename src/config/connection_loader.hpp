#pragma once

#include <cstdint>
#include <memory>

#include <SQLiteCpp/Database.h>

#include "config/json_access.hpp"

// Stores one port's "connection" object as a Connections row, with either its
// serial line settings or its network peer. Returns the new row id, or -1
// when the connection is disabled. Refusals are thrown.
int64_t load_connection(const std::shared_ptr<SQLite::Database>& database, const json& connection);
