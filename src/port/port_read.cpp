#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "core/value_types.hpp"
#include "modbus/frame_factory.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/modbus_port.hpp"
#include "port/port_queries.hpp"

namespace column = channel_column;

const cache_row_t& modbus_port_t::channel_row(const poll_entry_t& entry) {
  if (const auto kept = channel_rows.find(entry); kept != channel_rows.end()) return kept->second;
  if (!channel_row_statement) {
    channel_row_statement = std::make_shared<SQLite::Statement>(*database, channel_row_text);
    channel_row_columns = std::make_shared<const cache_columns_t>(*channel_row_statement);
  }
  auto& row = *channel_row_statement;
  statement_reset_guard_t reset(row);
  fresh_statement(row);
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

  const std::string& channel_name = row.getColumn(column::channel_name).getString();
  const std::string& value_type = row.getColumn(column::value_type).getString();
  const std::string& cname = row.getColumn(column::cname).getString();
  const std::string& word_order = row.getColumn(column::word_order).getString();
  const std::string& device_topic = row.getColumn(column::device_topic).getString();
  const std::string log_name = channel_log_name(device_topic, channel_name);
  names = {log_name, device_topic, channel_name};

  modbus_vector_t data;
  attempt(log_name, row, "повторное чтение", [&] {
    data = read_channel_registers(connection, database, row, class_size_statement, log_name);
    return !data.empty();
  });
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
