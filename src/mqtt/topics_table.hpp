#pragma once

#include <memory>

#include <SQLiteCpp/Database.h>

// Builds the Topics table from the Connections, Devices and Channels rows of
// a freshly loaded cache database: one row for every leaf that carries a
// value (a plain channel, each bit field of a channel that has them, each
// leaf member of a composite channel), with Subscribe set for writable leaves.
void build_topics_table(const std::shared_ptr<SQLite::Database>& database);
