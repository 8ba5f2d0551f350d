#pragma once

// Connections built the way the port builds them: from a Connections row in
// a real cache database, read through the port's statement.

#include <memory>
#include <optional>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/VariadicBind.h>

#include "config/cache_database.hpp"
#include "support/net.hpp"
#include "support/temp_dir.hpp"
#include "transport/connection.hpp"

namespace korvex_test {

struct connection_settings_t {
  std::string type = "base.tcp";
  uint32_t rto = 2000;
  uint32_t sto = 2000;
  std::string host = "127.0.0.1";
  uint32_t host_port = 502;
  std::string rs_port{};
  uint32_t baud_rate = 9600;
  int byte_size = 8;
  int parity = 0;
  int stop_bits = 1;
  int flow_control = 0;
};

// The row with the port's statement stepped onto it: what the connection
// constructors read.
class connection_row_t {
 public:
  explicit connection_row_t(const connection_settings_t& s) {
    database = open_cache_database(folder.path() / "korvex.cache");
    create_cache_schema(*database);
    SQLite::Statement insert(*database,
                             "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect, RSPort,"
                             " RSBaudRate, RSByteSize, RSParity, RSStopBits, RSFlowControl, NetHost, NetPort)"
                             " VALUES ('test', ?, ?, ?, 60, 0, ?, ?, ?, ?, ?, ?, ?, ?)");
    SQLite::bind(insert, s.type, s.rto, s.sto, s.rs_port, s.baud_rate, s.byte_size, s.parity, s.stop_bits,
                 s.flow_control, s.host, s.host_port);
    insert.exec();
    statement = std::make_unique<SQLite::Statement>(
        *database,
        "SELECT    ROWID AS connection_id, Name AS name, Type AS type, RTO AS rto, STO AS sto, PollInterval AS "
        "poll_interval, PollReconnect AS poll_reconnect,    RSPort AS rs_port, RSBaudRate AS baud_rate, RSByteSize AS "
        "byte_size, RSParity AS parity, RSStopBits AS stop_bits, RSFlowControl AS flow_control,    NetHost AS host, "
        "NetPort AS host_port  FROM Connections WHERE ROWID = :connection_id");
    statement->bind(":connection_id", database->getLastInsertRowid());
    statement->executeStep();
  }

  const SQLite::Statement& row() const { return *statement; }

 private:
  temp_dir_t folder;
  std::shared_ptr<SQLite::Database> database;
  std::unique_ptr<SQLite::Statement> statement;  // declared last: destroyed before its database
};

template <typename connection_kind_t>
std::unique_ptr<connection_kind_t> connection_from(const connection_settings_t& settings) {
  return std::make_unique<connection_kind_t>(connection_row_t(settings).row());
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
