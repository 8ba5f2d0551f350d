#pragma once

#include <string>

// The port's queries of the cache. Those of the device and channel row
// select the columns that modbus/modbus_queries.hpp names; the others name
// their own columns here.

// The devices of a connection, by ":connection_id": device_id and cname of
// the device and channel row.
extern const std::string devices_text;

// The top-level register channels of a parameter set, by ":connection_id"
// and ":cname": channel_id of the device and channel row. The poll list, and
// the re-reads after a command to a device whose update-on-write is set.
extern const std::string class_channels_text;

// The device and channel row of a poll list entry, by ":connection_id",
// ":device_id" and ":channel_id".
extern const std::string channel_row_text;

// The device and channel row that a command topic names, by
// ":connection_id", ":device_topic" and ":channel_topic": only a subscribed
// leaf with registers of its own, so bit fields and members of composite
// types are never found for writing.
extern const std::string write_lookup_text;

// The device and channel rows of a composite channel's level, within
// ":connection_id", ":cname" and ":device_topic": at the top level the
// channel itself, by ":channel_name"; below it the members of a type, by
// ":parent".
const std::string& members_text(bool top_level);

// The bit fields of a register, by ":connection_id", ":cname" and ":parent".
namespace bit_field_column {
inline constexpr char name[] = "channel_name";
inline constexpr char offset[] = "offset";
inline constexpr char inverted[] = "inverted";
}  // namespace bit_field_column
extern const std::string bit_fields_text;

// The hold time of a debounce, by ":debounce_id".
inline constexpr char debounce_hold_column[] = "value";
extern const std::string debounce_hold_text;
