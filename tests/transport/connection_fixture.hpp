#pragma once

// Connections built as the port builds them: by make_connection, from a
// Connections row read by its column names.

#include <memory>
#include <optional>
#include <string>

#include <SQLiteCpp/SQLiteCpp.h>
#include <SQLiteCpp/VariadicBind.h>

#include "support/net.hpp"
#include "transport/make_connection.hpp"

namespace korvex_test {

struct connection_settings_t {
  std::string type = "base.tcp";
  uint32_t rto = 2000;
  uint32_t sto = 2000;
  std::string host = "127.0.0.1";
  uint32_t host_port = 502;
  std::string rs_port{};
};

// Empty when the row makes a connection of another kind.
template <typename kind_t = connection_t>
std::shared_ptr<kind_t> connection_from(const connection_settings_t& s) {
  SQLite::Database database(":memory:");
  SQLite::Statement row(database,
                        "SELECT 1 AS connection_id, 'line' AS name, ? AS type, ? AS rto, ? AS sto, 60 AS poll_interval,"
                        " 0 AS poll_reconnect, ? AS rs_port, 9600 AS baud_rate, 8 AS byte_size, 0 AS parity,"
                        " 1 AS stop_bits, 0 AS flow_control, ? AS host, ? AS host_port");
  SQLite::bind(row, s.type, s.rto, s.sto, s.rs_port, s.host, s.host_port);
  row.executeStep();
  return std::dynamic_pointer_cast<kind_t>(make_connection(row));
}

// What one read returned; nullopt for a failed read (-1).
inline std::optional<bytes_t> read_bytes(connection_t& connection, std::size_t size) {
  bytes_t buffer(size);
  const long result = connection.read(buffer.data(), buffer.size());
  if (result < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(result));
  return buffer;
}

}  // namespace korvex_test
