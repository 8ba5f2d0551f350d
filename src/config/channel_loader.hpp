#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>

#include "config/json_access.hpp"

// Names of the composite types whose members are being loaded, outermost
// first. A type met again inside its own chain contains itself.
using type_chain_t = std::vector<std::string>;

// Stores a channel list as Channels rows, with the value types it uses,
// its debounce rows and its bit fields. parent is empty for a parameter
// set's own channels and the type's name for the members of a composite type.
void load_channels(const std::shared_ptr<SQLite::Database>& database, const int64_t& connection_id,
                   const json& channels, const json& classes, const std::string& cname, const std::string& parent,
                   const type_chain_t& enclosing_types = {});

// Stores the bit fields of one channel. A channel on registers that cannot be
// written (status, input) passes registers_writable = false.
void load_bit_fields(const int64_t& connection_id, const json& bit_fields, const std::string& cname,
                     const std::string& channel_name, const std::string& word_order, bool read_only,
                     bool registers_writable = true);

// Stores the definition of one composite type from the block's "classes",
// the first time a channel of this connection and cname uses it.
void load_classes(const std::shared_ptr<SQLite::Database>& database, const json& classes,
                  const int64_t& connection_id, const std::string& cname, const std::string& parent,
                  const std::string& type_name, const type_chain_t& enclosing_types = {});
