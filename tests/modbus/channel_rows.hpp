#pragma once

// A real cache database holding one connection with devices and channels,
// and the joined device-and-channel row that the channel transactions read.

#include <memory>
#include <optional>
#include <string>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "config/cache_database.hpp"
#include "core/sync_queue.hpp"
#include "support/temp_dir.hpp"

namespace korvex_test {

struct device_settings_t {
  std::string type = "mb-tcp";
  int sid = 1;
  std::string cname = "meter";
  std::optional<std::string> model;
  std::optional<modbus_vector_t> extra;
};

struct channel_settings_t {
  std::string name = "value";
  std::string value_type = "u16";
  std::string reg_type = "holding";
  int reg_addr = 0;
  std::optional<int> read_function;
  std::optional<int> write_function;
  std::optional<modbus_vector_t> pattern;
};

class channel_rows_t {
 public:
  channel_rows_t() {
    database = open_cache_database(folder.path() / "korvex.cache");
    create_cache_schema(*database);
    database->exec(
        "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect) "
        "VALUES ('test', 'base.tcp', 300, 300, 60, 0)");
    connection_id = database->getLastInsertRowid();
  }

  ~channel_rows_t() {
    // Statements before their database.
    rows.clear();
  }

  int64_t add_device(const device_settings_t& device) {
    SQLite::Statement insert(*database,
                             "INSERT INTO Devices (ConnectionID, Name, Type, SID, PollDelay, BatchPoll, CName, "
                             "CodePage, RepeatOnError, UpdateOnWrite, Topic, Model, Extra) VALUES (:connection_id, "
                             "'dev', :type, :sid, 0, 0, :cname, 'UTF-8', 1, 0, 'dev', :model, :extra)");
    insert.bind(":connection_id", connection_id);
    insert.bind(":type", device.type);
    insert.bind(":sid", device.sid);
    insert.bind(":cname", device.cname);
    if (device.model) insert.bind(":model", *device.model);
    if (device.extra) insert.bind(":extra", device.extra->data(), static_cast<int>(device.extra->size()));
    insert.exec();
    return database->getLastInsertRowid();
  }

  int64_t add_channel(const std::string& cname, const channel_settings_t& channel) {
    SQLite::Statement insert(*database,
                             "INSERT INTO Channels (ConnectionID, CName, Name, ValueType, RegType, RegAddr, WordOrder, "
                             "ReadOnly, Inverted, ReadFunction, WriteFunction, Pattern) VALUES (:connection_id, "
                             ":cname, :name, :value_type, :reg_type, :reg_addr, 'big_endian', 0, 0, :read_function, "
                             ":write_function, :pattern)");
    insert.bind(":connection_id", connection_id);
    insert.bind(":cname", cname);
    insert.bind(":name", channel.name);
    insert.bind(":value_type", channel.value_type);
    insert.bind(":reg_type", channel.reg_type);
    insert.bind(":reg_addr", channel.reg_addr);
    if (channel.read_function) insert.bind(":read_function", *channel.read_function);
    if (channel.write_function) insert.bind(":write_function", *channel.write_function);
    if (channel.pattern) insert.bind(":pattern", channel.pattern->data(), static_cast<int>(channel.pattern->size()));
    insert.exec();
    return database->getLastInsertRowid();
  }

  void exec(const std::string& sql) { database->exec(sql); }

  // The device-and-channel row, stepped onto its one result.
  std::shared_ptr<SQLite::Statement> row(int64_t device_id, int64_t channel_id) {
    auto statement = std::make_shared<SQLite::Statement>(
        *database,
        "SELECT Devices.ROWID AS device_id, Devices.Name AS device_name, Devices.Type AS device_type, Devices.SID AS "
        "sid, Devices.CName AS cname, Devices.Topic AS device_topic, Devices.Model AS device_model, Devices.Extra AS "
        "device_extra, Channels.ROWID AS channel_id, Channels.Name AS channel_name, Channels.ValueType AS value_type, "
        "Channels.RegType AS reg_type, Channels.RegAddr AS reg_addr, Channels.ReadFunction AS read_function, "
        "Channels.WriteFunction AS write_function, Channels.Pattern AS pattern FROM Devices LEFT JOIN Channels ON "
        "Channels.CName = Devices.CName AND Channels.ConnectionID = Devices.ConnectionID WHERE Devices.ConnectionID "
        "= :connection_id AND Devices.ROWID = :device_id AND Channels.ROWID = :channel_id");
    statement->bind(":connection_id", connection_id);
    statement->bind(":device_id", device_id);
    statement->bind(":channel_id", channel_id);
    statement->tryExecuteStep();
    rows.push_back(statement);
    return statement;
  }

  std::shared_ptr<SQLite::Statement> class_size_statement(const char* text) {
    auto statement = std::make_shared<SQLite::Statement>(*database, text);
    rows.push_back(statement);
    return statement;
  }

  temp_dir_t folder;
  std::shared_ptr<SQLite::Database> database;
  int64_t connection_id = 0;

 private:
  std::vector<std::shared_ptr<SQLite::Statement>> rows;
};

}  // namespace korvex_test
