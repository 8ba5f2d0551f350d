#pragma once

// A real cache database holding one connection with devices and channels, the
// joined device-and-channel row that the channel transactions read, and the
// connection those transactions go over.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/VariadicBind.h>
#include <fmt/format.h>

#include "config/cache_database.hpp"
#include "core/sync_queue.hpp"
#include "modbus/frame_factory.hpp"
#include "modbus/modbus_queries.hpp"
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
    statements.clear();  // statements before their database
    connection.reset();
  }

  // Stores a device and one channel of its cname; returns their joined row,
  // stepped onto its one result.
  std::shared_ptr<SQLite::Statement> row(const device_settings_t& device, const channel_settings_t& channel) {
    SQLite::Statement add_device(*database,
                                 "INSERT INTO Devices (ConnectionID, Name, Type, SID, PollDelay, BatchPoll, CName, "
                                 "CodePage, RepeatOnError, UpdateOnWrite, Topic, Model, Extra) VALUES (?, 'dev', ?, "
                                 "?, 0, 0, ?, 'UTF-8', 1, 0, 'dev', ?, ?)");
    SQLite::bind(add_device, connection_id, device.type, device.sid, device.cname);
    if (device.model) add_device.bind(5, *device.model);
    if (device.extra) add_device.bind(6, device.extra->data(), static_cast<int>(device.extra->size()));
    add_device.exec();
    const auto device_id = database->getLastInsertRowid();

    SQLite::Statement add_channel(*database,
                                  "INSERT INTO Channels (ConnectionID, CName, Name, ValueType, RegType, RegAddr, "
                                  "WordOrder, ReadOnly, Inverted, ReadFunction, WriteFunction, Pattern) VALUES (?, ?, "
                                  "'value', ?, ?, ?, 'big_endian', 0, 0, ?, ?, ?)");
    SQLite::bind(add_channel, connection_id, device.cname, channel.value_type, channel.reg_type, channel.reg_addr);
    if (channel.read_function) add_channel.bind(6, *channel.read_function);
    if (channel.write_function) add_channel.bind(7, *channel.write_function);
    if (channel.pattern) add_channel.bind(8, channel.pattern->data(), static_cast<int>(channel.pattern->size()));
    add_channel.exec();

    // The columns the channel transactions read, by the names they read.
    auto joined = statement(
        "SELECT Devices.Type AS device_type, Devices.SID AS sid, Devices.CName AS cname, Devices.Model AS "
        "device_model, Devices.Extra AS device_extra, Channels.ValueType AS value_type, Channels.RegType AS reg_type, "
        "Channels.RegAddr AS reg_addr, Channels.ReadFunction AS read_function, Channels.WriteFunction AS "
        "write_function, Channels.Pattern AS pattern FROM Devices, Channels WHERE Devices.ConnectionID = ? AND "
        "Devices.ROWID = ? AND Channels.ROWID = ?");
    SQLite::bind(*joined, connection_id, device_id, database->getLastInsertRowid());
    joined->tryExecuteStep();
    return joined;
  }

  modbus_vector_t read(const std::shared_ptr<SQLite::Statement>& row, const std::string& log_name = "1::dev::value") {
    return read_channel_registers(connection, database, *row, statement(class_size_statement_text.c_str()), log_name);
  }
  bool write(const std::shared_ptr<SQLite::Statement>& row, const modbus_vector_t& data,
             const std::string& log_name = "1::dev::value") {
    return write_channel_registers(connection, database, *row, data, log_name);
  }

  // Adds rows of this connection: "{}" in the text stands for its id.
  void exec(const std::string& sql) { database->exec(fmt::format(fmt::runtime(sql), connection_id)); }

  temp_dir_t folder;
  std::shared_ptr<SQLite::Database> database;
  int64_t connection_id = 0;
  std::shared_ptr<connection_t> connection;

 private:
  std::shared_ptr<SQLite::Statement> statement(const char* text) {
    return statements.emplace_back(std::make_shared<SQLite::Statement>(*database, text));
  }

  std::vector<std::shared_ptr<SQLite::Statement>> statements;
};

}  // namespace korvex_test
