#pragma once

#include <string>

// The queries of the Topics table: its creation and building from the
// loaded rows, the subscriptions and the routing of commands. Their readers
// name the columns by these aliases.
namespace topics_column {
inline constexpr char connection_id[] = "connection_id";
inline constexpr char device_id[] = "device_id";
inline constexpr char channel_id[] = "channel_id";
inline constexpr char bit_field_id[] = "bitfield_id";
inline constexpr char device_topic[] = "device_topic";
inline constexpr char channel_topic[] = "channel_topic";
inline constexpr char cname[] = "cname";
inline constexpr char name[] = "name";
inline constexpr char value_type[] = "value_type";
inline constexpr char read_only[] = "read_only";
inline constexpr char prefix[] = "prefix";
inline constexpr char reg_type[] = "reg_type";
}  // namespace topics_column

// The table, as the cache database schema has it.
extern const char* const create_topics_text;
extern const char* const insert_topic_text;

// Every connection (connection_id), and how many there are.
extern const std::string connections_text;
extern const char* const connection_count_text;

// What the Topics table is built from. Devices of a connection by
// ":connection_id" (device_id, device_topic, cname); its top-level register
// channels by ":connection_id" and ":cname" (channel_id, name, value_type,
// read_only, prefix and reg_type, so that a writable leaf on registers that
// cannot be written is refused); the members of a composite type, by
// ":parent" besides (the same but reg_type); the bit fields of a channel, by
// ":parent" besides (bitfield_id, name, read_only).
extern const std::string topic_devices_text;
extern const std::string topic_channels_text;
extern const std::string topic_members_text;
extern const std::string topic_bit_fields_text;

// The topics to subscribe (device_topic, channel_topic), and the connection
// that serves a command topic's pair, by ":device_topic" and
// ":channel_topic" (connection_id).
extern const std::string subscriptions_text;
extern const std::string route_lookup_text;
