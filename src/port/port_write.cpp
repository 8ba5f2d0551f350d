#include <chrono>
#include <vector>

#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "core/command_topic.hpp"
#include "core/payload_text.hpp"
#include "modbus/frame_factory.hpp"
#include "port/modbus_port.hpp"

extern const char* const class_channels_text;

namespace {

const std::string write_lookup_text =
    "SELECT    Topics.DeviceID AS device_id, Topics.ChannelID AS channel_id, Devices.CName AS cname, Devices.Type AS "
    "device_type, Devices.SID AS sid, Devices.PollDelay AS device_poll_delay,    Devices.RepeatOnError AS "
    "repeat_on_error, Devices.UpdateOnWrite AS update_on_write, Devices.Model AS device_model, Devices.Extra AS "
    "device_extra, Parent AS parent, Channels.Name AS channel_name,    ValueType AS value_type, RegType AS reg_type, "
    "RegAddr AS reg_addr, WordOrder AS word_order, Inverted AS inverted, ReadCondition AS read_condition, "
    "WriteCondition AS write_condition,    ReadFunction AS read_function, WriteFunction AS write_function, "
    "Channels.PollDelay AS channel_poll_delay"
    "  "
    "FROM Channels    LEFT JOIN Topics  ON Channels.ROWID = Topics.ChannelID AND Channels.ConnectionID = "
    "Topics.ConnectionID    LEFT JOIN Devices ON Devices.ROWID = Topics.DeviceID AND Devices.ConnectionID = "
    "Topics.ConnectionID AND Devices.CName = Channels.CName  WHERE Topics.ConnectionID = :connection_id AND "
    "Topics.DeviceTopic = :device_topic AND Topics.ChannelTopic = :channel_topic AND Topics.Subscribe = 1 AND"
    "\tChannels.RegType IS NOT NULL";


}  // namespace

void modbus_port_t::inbound_worker() {
  spdlog::info("Очередь входящих сообщений ({}) : запуск", connection_id);
  while (!stop) {
    mqtt_message_t message;
    {
      std::unique_lock lock(inbound_mutex);
      bool popped = inbound->pop(message);
      while (!popped && !stop) {
        inbound_cv.wait(lock);
        popped = inbound->pop(message);
      }
      if (!popped) break;
    }
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
  const auto [device_topic, channel_topic] = parse_command_topic(topic);

  auto row = std::make_shared<SQLite::Statement>(*database, write_lookup_text);
  statement_reset_guard_t reset(*row);
  row->bind(":connection_id", connection_id);
  row->bind(":device_topic", device_topic);
  row->bind(":channel_topic", channel_topic);
  if (!row->executeStep()) {
    spdlog::error("Параметр для записи : {} : не найден", channel_topic);
    return;
  }

  const int64_t device_id = row->getColumn("device_id").getInt64();
  const int64_t channel_id = row->getColumn("channel_id").getInt64();
  const std::string channel_name = row->getColumn("channel_name").getString();
  const std::string cname = row->getColumn("cname").getString();
  const auto delay_column = row->getColumn("channel_poll_delay");
  const uint32_t delay = delay_column.isNull() ? row->getColumn("device_poll_delay").getUInt() : delay_column.getUInt();
  log_name = fmt::format("{}::{}::{}", connection_id, device_topic, channel_name);

  const modbus_vector_t data = encode_value(*row, payload);
  const bool update_on_write = row->getColumn("update_on_write").getUInt() != 0;
  const uint32_t attempts = row->getColumn("repeat_on_error").getUInt();
  spdlog::info("{} : установка значения", topic);
  const std::string payload_text = loggable_payload(std::string(payload.begin(), payload.end()));

  bool written = false;
  if (!data.empty()) {
    std::lock_guard transaction(transaction_mutex);
    connection->open();
    // As for reads, a stop ends the attempts at once; the command is then
    // reported as not written.
    for (uint32_t attempt = 1; attempt <= attempts && !stop; ++attempt) {
      if (delay > 0) {
        spdlog::info("{} : задержка : {} мсек", log_name, delay);
        if (!pause(std::chrono::milliseconds(delay))) break;
      }
      written = write_channel_registers(connection, database, *row, data, log_name);
      if (written) break;
      if (attempt < attempts && !stop) spdlog::info("{} : повторная запись : {} попытка", log_name, attempt + 1);
    }
  }
  // The row is done with: release its read of the cache before the re-reads.
  row->reset();
  spdlog::info("{} : {} : установка значения : {}", log_name, payload_text, written ? "успешно" : "ошибка");

  if (written) {
    std::vector<poll_entry_t> rereads{{device_id, channel_id}};
    if (update_on_write) {
      SQLite::Statement channels(*database, class_channels_text);
      channels.bind(":connection_id", connection_id);
      channels.bind(":cname", cname);
      while (channels.executeStep()) {
        const int64_t other = channels.getColumn("channel_id").getInt64();
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
