#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <SQLiteCpp/Database.h>

#include "config/json_access.hpp"

// Stores a channel list as Channels rows, with the value types it uses,
// its debounce rows and its bit fields. parent is empty for a parameter
// set's own channels and the type's name for the members of a composite type.
//
// Whether a writable channel, bit field or member sits on registers that can
// be written, and whether a composite type contains itself, is decided where
// every leaf is met with its channel: by the Topics table built at the end of
// the load. A type's members may come from another block of the same
// parameter set, and one type serves channels of several register kinds.
void load_channels(const std::shared_ptr<SQLite::Database>& database, const int64_t& connection_id,
                   const json& channels, const json& classes, const std::string& cname, const std::string& parent);

// Stores the bit fields of one channel.
void load_bit_fields(const int64_t& connection_id, const json& bit_fields, const std::string& cname,
                     const std::string& channel_name, const std::string& word_order, bool read_only);

// Stores the definition of one composite type from the block's "classes",
// the first time a channel of this connection and cname uses it. Its row is
// written before its members, so a type met again inside itself is found
// stored and the recursion ends there.
void load_classes(const std::shared_ptr<SQLite::Database>& database, const json& classes,
                  const int64_t& connection_id, const std::string& cname, const std::string& parent,
                  const std::string& type_name);
