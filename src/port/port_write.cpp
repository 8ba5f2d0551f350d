#include <vector>

#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "core/command_topic.hpp"
#include "core/payload_text.hpp"
#include "modbus/frame_factory.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/modbus_port.hpp"
#include "port/port_queries.hpp"

namespace column = channel_column;

void modbus_port_t::inbound_worker() {
  spdlog::info("Очередь входящих сообщений ({}) : запуск", connection_id);
  while (!stop) {
    mqtt_message_t message;
    if (!pop_unless_stopped(*inbound, message, inbound_cv, inbound_mutex, stop)) break;
    if (stop) break;
    // One command that fails must not end the worker: the next one is
    // handled as usual, and nothing is read again for this one.
    std::string log_name;
    try {
      write_channel(message, log_name);
    } catch (const std::exception& error) {
      spdlog::error("{} : ошибка : {}", log_name.empty() ? std::get<1>(message) : log_name, error.what());
    }
  }
  spdlog::info("Очередь входящих сообщений ({}) : остановлено", connection_id);
}

void modbus_port_t::write_channel(const mqtt_message_t& message, std::string& log_name) {
  const auto& [message_id, topic, payload, qos, retain] = message;
  // The retain flag comes only with what the broker hands over from its
  // store, at every resubscription. What it holds is the command it last
  // handed over, or a live one that was published retained; a live command
  // published without retain leaves the older one there. Written again,
  // either would undo what changed the register since: so it is skipped
  // when it is what was last written, or when a command was written since
  // it was first handed over. One that failed with nothing written after it
  // is still owed to the device.
  if (retain) {
    command_record_t& record = command_records[topic];
    // Handed over again, the same command keeps what was written since its
    // first handover.
    if (record.last_handed_over != payload) {
      record.last_handed_over = payload;
      record.written_since_handover = false;
    }
    if (record.last_written == payload || record.written_since_handover) {
      spdlog::debug("Брокер : {} : сохранённая команда уже выполнена", topic);
      return;
    }
  }
  const auto [device_topic, channel_topic] = parse_command_topic(topic);

  std::optional<cache_row_t> found;
  {
    // The row is copied out at once: no read of the cache stays open across
    // the write and the re-reads.
    SQLite::Statement lookup(*database, write_lookup_text);
    statement_reset_guard_t reset(lookup);
    lookup.bind(":connection_id", connection_id);
    lookup.bind(":device_topic", device_topic);
    lookup.bind(":channel_topic", channel_topic);
    if (lookup.executeStep()) found.emplace(lookup);
  }
  if (!found) {
    spdlog::error("Параметр для записи : {} : не найден", channel_topic);
    return;
  }
  const cache_row_t& row = *found;

  const int64_t device_id = row.getColumn(column::device_id).getInt64();
  const int64_t channel_id = row.getColumn(column::channel_id).getInt64();
  log_name = channel_log_name(device_topic, row.getColumn(column::channel_name).getString());

  const modbus_vector_t data = encode_value(row, payload);
  spdlog::info("{} : установка значения", topic);
  const std::string payload_text = loggable_payload(std::string(payload.begin(), payload.end()));

  bool written = false;
  if (!data.empty()) {
    const auto transaction = lock_for_command();
    connection->open();
    // As for reads, a stop ends the attempts at once; the command is then
    // reported as not written.
    written = attempt(log_name, row, "повторная запись",
                      [&] { return write_channel_registers(connection, database, row, data, log_name); });
  }
  spdlog::info("{} : {} : установка значения : {}", log_name, payload_text, written ? "успешно" : "ошибка");

  if (written) {
    // Only once it is written: a command that failed is tried again when
    // the broker hands it over again.
    command_record_t& record = command_records[topic];
    record.last_written = payload;
    record.written_since_handover = true;
    std::vector<poll_entry_t> rereads{{device_id, channel_id}};
    if (row.getColumn(column::update_on_write).getUInt() != 0) {
      SQLite::Statement channels(*database, class_channels_text);
      channels.bind(":connection_id", connection_id);
      channels.bind(":cname", row.getColumn(column::cname).getString());
      while (channels.executeStep()) {
        const int64_t other = channels.getColumn(column::channel_id).getInt64();
        if (other != channel_id) rereads.emplace_back(device_id, other);
      }
    }
    // A connection closed after the last pass is opened for the re-reads
    // too.
    open_connection();
    schedule_reads(rereads);
  }
  if (poll_reconnect) close_connection_if_idle();
}
