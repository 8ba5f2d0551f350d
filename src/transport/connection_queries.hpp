#pragma once

#include <string>

#include <SQLiteCpp/Statement.h>

class connection_t;

// The Connections row a connection is built from: the port selects it, the
// port and every connection kind read it by these aliases.
namespace connection_column {
inline constexpr char connection_id[] = "connection_id";
inline constexpr char name[] = "name";
inline constexpr char type[] = "type";
inline constexpr char rto[] = "rto";
inline constexpr char sto[] = "sto";
inline constexpr char poll_interval[] = "poll_interval";
inline constexpr char poll_reconnect[] = "poll_reconnect";
inline constexpr char rs_port[] = "rs_port";
inline constexpr char baud_rate[] = "baud_rate";
inline constexpr char byte_size[] = "byte_size";
inline constexpr char parity[] = "parity";
inline constexpr char stop_bits[] = "stop_bits";
inline constexpr char flow_control[] = "flow_control";
inline constexpr char host[] = "host";
inline constexpr char host_port[] = "host_port";
}  // namespace connection_column

// One connection's row, by ":connection_id".
extern const std::string connection_row_text;

// What every kind takes from the row: the connection id and the read and
// write timeouts.
void read_common_settings(connection_t& connection, const SQLite::Statement& row);
