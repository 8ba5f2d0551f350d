#include <chrono>

#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "core/value_types.hpp"
#include "modbus/frame_factory.hpp"
#include "port/modbus_port.hpp"

namespace {

const char* const channel_row_text =
    "SELECT Devices.ROWID AS device_id, Devices.Name AS device_name, Devices.Type AS device_type, Devices.SID AS sid, "
    "Devices.PollDelay AS device_poll_delay, Devices.BatchPoll AS batch_poll, Devices.CName AS cname, "
    "Devices.CodePage AS codepage, Devices.RepeatOnError AS repeat_on_error, Devices.Topic AS device_topic, "
    "Devices.Model AS device_model, Devices.Extra AS device_extra, Channels.ROWID AS channel_id, "
    "Channels.Parent AS parent, Channels.Name AS channel_name, Channels.ValueType AS value_type, "
    "Channels.RegType AS reg_type, Channels.RegAddr AS reg_addr, Channels.WordOrder AS word_order, "
    "Channels.Scale AS scale, Channels.Correction AS correction, Channels.Inverted AS inverted, "
    "Channels.Unit AS unit, Channels.ErrorValue AS error_value, Channels.MinValue AS min_value, "
    "Channels.MaxValue AS max_value, Channels.Debounce AS debounce, Channels.ReadCondition AS read_condition, "
    "Channels.WriteCondition AS write_condition, Channels.ReadFunction AS read_function, "
    "Channels.WriteFunction AS write_function, Channels.Pattern AS pattern, Channels.Format AS format, "
    "Channels.PollDelay AS channel_poll_delay "
    "FROM Devices LEFT JOIN Channels ON Channels.CName = Devices.CName AND Channels.ConnectionID = "
    "Devices.ConnectionID WHERE Devices.ConnectionID = :connection_id AND Devices.ROWID = :device_id AND "
    "Channels.ROWID = :channel_id";

}  // namespace

const cache_row_t& modbus_port_t::channel_row(const poll_entry_t& entry) {
  if (const auto kept = channel_rows.find(entry); kept != channel_rows.end()) return kept->second;
  if (!channel_row_statement) {
    channel_row_statement = std::make_shared<SQLite::Statement>(*database, channel_row_text);
    channel_row_columns = std::make_shared<const cache_columns_t>(*channel_row_statement);
  }
  auto& row = *channel_row_statement;
  statement_reset_guard_t reset(row);
  row.reset();
  row.clearBindings();
  row.bind(":connection_id", connection_id);
  row.bind(":device_id", entry.first);
  row.bind(":channel_id", entry.second);
  row.tryExecuteStep();
  // A pair without a row throws here, as reading its first column would.
  return channel_rows.emplace(entry, cache_row_t(row, channel_row_columns)).first->second;
}

void modbus_port_t::read_channel(const poll_entry_t& entry, channel_names_t& names) {
  // Taken first: the kept rows and their statement serve the poll task and
  // the inbound worker's re-reads alike.
  std::lock_guard transaction(transaction_mutex);
  const cache_row_t& row = channel_row(entry);

  const std::string& channel_name = row.getColumn("channel_name").getString();
  const std::string& value_type = row.getColumn("value_type").getString();
  const auto& delay_column = row.getColumn("channel_poll_delay");
  const auto delay = static_cast<int32_t>(delay_column.isNull() ? row.getColumn("device_poll_delay").getUInt()
                                                                : delay_column.getUInt());
  const std::string& cname = row.getColumn("cname").getString();
  const std::string& word_order = row.getColumn("word_order").getString();
  const std::string& device_topic = row.getColumn("device_topic").getString();
  const std::string log_name = fmt::format("{}::{}::{}", connection_id, device_topic, channel_name);
  names = {log_name, device_topic, channel_name};
  const uint32_t attempts = row.getColumn("repeat_on_error").getUInt();

  modbus_vector_t data;
  // A stop ends the attempts at once: delays times attempts could outlast
  // any service manager's stop timeout.
  for (uint32_t attempt = 1; attempt <= attempts && !stop; ++attempt) {
    if (delay > 0) {
      spdlog::info("{} : задержка : {} мсек", log_name, delay);
      if (!pause(std::chrono::milliseconds(delay))) break;
    }
    data = read_channel_registers(connection, database, row, class_size_statement, log_name);
    if (!data.empty() || attempt == attempts) break;
    if (!stop) spdlog::info("{} : повторное чтение : {} попытка", log_name, attempt + 1);
  }
  // Cut short by the stop, an empty read says nothing about the device: no
  // failure marker for it.
  if (data.empty() && stop) return;
  names.answered = !data.empty();

  if (register_string_type(value_type) == 1) {
    publish_class(cname, "", device_topic, channel_name, data, 0);
    return;
  }
  const uint8_t* bytes = data.empty() ? nullptr : data.data();
  if (publish_bits(cname, word_order, value_type, device_topic, channel_name, channel_name, bytes, data.size())) {
    return;
  }
  publish(device_topic, channel_name, decode_value(row, bytes, data.size(), channel_name));
}
