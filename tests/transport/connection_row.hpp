#pragma once

// A Connections row in a real cache database, with the port's statement
// already stepped onto it: what the connection constructors read.

#include <memory>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "config/cache_database.hpp"
#include "support/temp_dir.hpp"

namespace korvex_test {

struct connection_settings_t {
  std::string type = "base.tcp";
  uint32_t rto = 500;
  uint32_t sto = 500;
  std::string host = "127.0.0.1";
  uint32_t host_port = 502;
  std::string rs_port;
  uint32_t baud_rate = 9600;
  int byte_size = 8;
  int parity = 0;
  int stop_bits = 1;
  int flow_control = 0;
};

class connection_row_t {
 public:
  explicit connection_row_t(const connection_settings_t& settings) {
    database = open_cache_database(folder.path() / "korvex.cache");
    create_cache_schema(*database);
    SQLite::Statement insert(*database,
                             "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect, RSPort,"
                             " RSBaudRate, RSByteSize, RSParity, RSStopBits, RSFlowControl, NetHost, NetPort)"
                             " VALUES ('test', :type, :rto, :sto, 60, 0, :rs_port, :baud_rate, :byte_size, :parity,"
                             " :stop_bits, :flow_control, :host, :host_port)");
    insert.bind(":type", settings.type);
    insert.bind(":rto", settings.rto);
    insert.bind(":sto", settings.sto);
    insert.bind(":rs_port", settings.rs_port);
    insert.bind(":baud_rate", settings.baud_rate);
    insert.bind(":byte_size", settings.byte_size);
    insert.bind(":parity", settings.parity);
    insert.bind(":stop_bits", settings.stop_bits);
    insert.bind(":flow_control", settings.flow_control);
    insert.bind(":host", settings.host);
    insert.bind(":host_port", settings.host_port);
    insert.exec();
    statement = std::make_shared<SQLite::Statement>(
        *database,
        "SELECT    ROWID AS connection_id, Name AS name, Type AS type, RTO AS rto, STO AS sto, PollInterval AS "
        "poll_interval, PollReconnect AS poll_reconnect,    RSPort AS rs_port, RSBaudRate AS baud_rate, RSByteSize AS "
        "byte_size, RSParity AS parity, RSStopBits AS stop_bits, RSFlowControl AS flow_control,    NetHost AS host, "
        "NetPort AS host_port  FROM Connections WHERE ROWID = :connection_id");
    statement->bind(":connection_id", database->getLastInsertRowid());
    statement->executeStep();
  }

  ~connection_row_t() { statement.reset(); }

  const SQLite::Statement& row() const { return *statement; }

 private:
  temp_dir_t folder;
  std::shared_ptr<SQLite::Database> database;
  std::shared_ptr<SQLite::Statement> statement;
};

}  // namespace korvex_test
