#include "value_channels.hpp"

#include <stdexcept>

#include <SQLiteCpp/Column.h>

#include "config/cache_database.hpp"
#include "port_access.hpp"


namespace korvex_test {

namespace {

const char* const channel_query =
    "SELECT Devices.ROWID AS device_id, Devices.Name AS device_name, Devices.Type AS device_type,"
    " Devices.SID AS sid, Devices.PollDelay AS device_poll_delay, Devices.BatchPoll AS batch_poll,"
    " Devices.CName AS cname, Devices.CodePage AS codepage, Devices.RepeatOnError AS repeat_on_error,"
    " Devices.Topic AS device_topic, Devices.Model AS device_model, Devices.Extra AS device_extra,"
    " Channels.ROWID AS channel_id, Channels.Parent AS parent, Channels.Name AS channel_name,"
    " Channels.ValueType AS value_type, Channels.RegType AS reg_type, Channels.RegAddr AS reg_addr,"
    " Channels.WordOrder AS word_order, Channels.Scale AS scale, Channels.Correction AS correction,"
    " Channels.Inverted AS inverted, Channels.Unit AS unit, Channels.ErrorValue AS error_value,"
    " Channels.MinValue AS min_value, Channels.MaxValue AS max_value, Channels.Debounce AS debounce,"
    " Channels.ReadCondition AS read_condition, Channels.WriteCondition AS write_condition,"
    " Channels.ReadFunction AS read_function, Channels.WriteFunction AS write_function,"
    " Channels.Pattern AS pattern, Channels.Format AS format, Channels.PollDelay AS channel_poll_delay"
    " FROM Devices LEFT JOIN Channels ON Channels.CName = Devices.CName AND Channels.ConnectionID = Devices.ConnectionID"
    " WHERE Devices.ConnectionID = :connection_id AND Channels.ROWID = :channel_id";

template <typename T>
void bind_optional(SQLite::Statement& statement, const char* name, const std::optional<T>& value) {
  if (value) {
    statement.bind(name, *value);
  } else {
    statement.bind(name);
  }
}

}  // namespace

value_channels_t::value_channels_t() {
  database = open_cache_database(folder.path() / "korvex.cache");
  create_cache_schema(*database);
  database->exec(
      "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect, NetHost, NetPort)"
      " VALUES ('line', 'base.tcp', 500, 500, 60, 0, '127.0.0.1', 502)");
  connection_id = database->getLastInsertRowid();
  SQLite::Statement device(*database,
                           "INSERT INTO Devices (ConnectionID, Name, Type, SID, PollDelay, BatchPoll, CName, CodePage,"
                           " RepeatOnError, UpdateOnWrite, Topic) VALUES (:connection_id, 'meter', 'mb-tcp', 1, 0, 0,"
                           " 'meter_set', 'UTF-8', 1, 0, 'meter_1')");
  device.bind(":connection_id", connection_id);
  device.exec();

  port_options_t options;
  options.cache_path = folder.path() / "korvex.cache";
  options.clock.wall_seconds = [this] { return now; };
  broker_link_t& broker = *this;
  port = std::make_unique<modbus_port_t>(broker, connection_id, std::make_shared<port_queue_t>(),
                                         std::make_shared<port_queue_t>(), std::move(options));
}

value_channels_t::~value_channels_t() = default;

value_context_t& value_channels_t::context() { return modbus_port_test_access_t::values(*port); }

const std::map<debounce_key_t, debounce_state_t>& value_channels_t::debounces() const {
  return modbus_port_test_access_t::debounces(*port);
}

int64_t value_channels_t::add_channel(const channel_settings_t& settings, const std::string& name) {
  std::optional<int64_t> debounce_id;
  if (settings.debounce_hold) {
    SQLite::Statement insert(*database, "INSERT INTO Debounces (Value, Timer) VALUES (:value, 0)");
    insert.bind(":value", *settings.debounce_hold);
    insert.exec();
    debounce_id = database->getLastInsertRowid();
  }
  SQLite::Statement insert(
      *database,
      "INSERT INTO Channels (ConnectionID, CName, Name, ValueType, RegType, RegAddr, WordOrder, ReadOnly, Scale,"
      " Correction, Inverted, Unit, ErrorValue, MinValue, MaxValue, Debounce, ReadCondition, WriteCondition, Format)"
      " VALUES (:connection_id, 'meter_set', :name, :value_type, 'holding', 0, :word_order, 0, :scale, :correction,"
      " :inverted, :unit, :error_value, :min_value, :max_value, :debounce, :read_condition, :write_condition, :format)");
  insert.bind(":connection_id", connection_id);
  insert.bind(":name", name);
  insert.bind(":value_type", settings.value_type);
  insert.bind(":word_order", settings.word_order);
  insert.bind(":inverted", settings.inverted ? 1 : 0);
  bind_optional(insert, ":scale", settings.scale);
  bind_optional(insert, ":correction", settings.correction);
  bind_optional(insert, ":unit", settings.unit);
  bind_optional(insert, ":error_value", settings.error_value);
  bind_optional(insert, ":min_value", settings.min_value);
  bind_optional(insert, ":max_value", settings.max_value);
  bind_optional(insert, ":debounce", debounce_id);
  bind_optional(insert, ":read_condition", settings.read_condition);
  bind_optional(insert, ":write_condition", settings.write_condition);
  bind_optional(insert, ":format", settings.format);
  insert.exec();
  return database->getLastInsertRowid();
}

std::unique_ptr<SQLite::Statement> value_channels_t::row(int64_t channel_id) {
  auto statement = std::make_unique<SQLite::Statement>(*database, channel_query);
  statement->bind(":connection_id", connection_id);
  statement->bind(":channel_id", channel_id);
  if (!statement->executeStep()) throw std::runtime_error("no channel row");
  return statement;
}

modbus_vector_t value_channels_t::decode(const channel_settings_t& settings, const std::vector<uint8_t>& data) {
  auto statement = row(add_channel(settings));
  return decode_value(*statement, data.data(), data.size(), "ch", context());
}

modbus_vector_t value_channels_t::encode(const channel_settings_t& settings, const std::string& text) {
  auto statement = row(add_channel(settings));
  return encode_value(*statement, modbus_vector_t(text.begin(), text.end()), context().scripts);
}

std::string text_of(const modbus_vector_t& payload) { return std::string(payload.begin(), payload.end()); }

}  // namespace korvex_test
