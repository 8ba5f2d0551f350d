#pragma once

#include <string>

// The device and channel row of one channel. The port selects it for a read,
// for a command and for the members of a composite channel; the frames here,
// the port and its value rules read it by these aliases.
namespace channel_column {
inline constexpr char device_id[] = "device_id";
inline constexpr char device_type[] = "device_type";
inline constexpr char sid[] = "sid";
inline constexpr char device_poll_delay[] = "device_poll_delay";
inline constexpr char cname[] = "cname";
inline constexpr char repeat_on_error[] = "repeat_on_error";
inline constexpr char update_on_write[] = "update_on_write";
inline constexpr char device_topic[] = "device_topic";
inline constexpr char device_model[] = "device_model";
inline constexpr char device_extra[] = "device_extra";
inline constexpr char channel_id[] = "channel_id";
inline constexpr char channel_name[] = "channel_name";
inline constexpr char value_type[] = "value_type";
inline constexpr char reg_type[] = "reg_type";
inline constexpr char reg_addr[] = "reg_addr";
inline constexpr char word_order[] = "word_order";
inline constexpr char scale[] = "scale";
inline constexpr char correction[] = "correction";
inline constexpr char inverted[] = "inverted";
inline constexpr char unit[] = "unit";
inline constexpr char error_value[] = "error_value";
inline constexpr char min_value[] = "min_value";
inline constexpr char max_value[] = "max_value";
inline constexpr char debounce[] = "debounce";
inline constexpr char read_condition[] = "read_condition";
inline constexpr char write_condition[] = "write_condition";
inline constexpr char prefix[] = "prefix";
inline constexpr char read_function[] = "read_function";
inline constexpr char write_function[] = "write_function";
inline constexpr char pattern[] = "pattern";
inline constexpr char format[] = "format";
inline constexpr char channel_poll_delay[] = "channel_poll_delay";
}  // namespace channel_column

// "SELECT" and every column of the row, from the tables Devices and Channels;
// each query of the row adds its own FROM and WHERE. A function, so that the
// texts built from it never meet it unbuilt.
const std::string& channel_row_select();

// The size of a composite value type of one parameter set, by
// ":connection_id", ":cname" and ":value_type". A type is stored once per
// parameter set, under the parent it was first met in, so the lookup ignores
// the parent: a type met first inside another type is then still readable as
// a channel of its own. Ports prepare their class-size statement from it.
namespace class_size_column {
inline constexpr char bytes_num[] = "bytes_num";
inline constexpr char regs_num[] = "regs_num";
}  // namespace class_size_column
extern const std::string class_size_statement_text;

// The device's own text for a Modbus exception code, by ":connection_id",
// ":cname" and ":code".
inline constexpr char error_message_column[] = "message";
extern const std::string error_message_text;
