#include <exception>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "config/statement_use.hpp"
#include "core/plural_form.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/modbus_port.hpp"
#include "transport/connection_queries.hpp"

void modbus_port_t::start() {
  inbound_pool->detach_task([this] { inbound_worker(); });

  int32_t poll_interval = 0;
  {
    auto& row = *connection_statement;
    statement_reset_guard_t reset(row);
    fresh_statement(row);
    row.bind(":connection_id", connection_id);
    row.tryExecuteStep();
    poll_interval = static_cast<int32_t>(row.getColumn(connection_column::poll_interval).getInt64());
    poll_reconnect = row.getColumn(connection_column::poll_reconnect).getUInt() != 0;
    port_log_name = fmt::format("Порт {} : {}", connection_id, row.getColumn(connection_column::name).getString());
  }

  // Built once: a pass costs no query for its list.
  std::vector<poll_entry_t> channel_list;
  {
    auto& devices = *devices_statement;
    auto& channels = *channels_statement;
    statement_reset_guard_t reset_devices(devices);
    fresh_statement(devices);
    devices.bind(":connection_id", connection_id);
    channels.clearBindings();
    channels.bind(":connection_id", connection_id);
    while (devices.executeStep()) {
      const int64_t device_id = devices.getColumn(channel_column::device_id).getInt64();
      statement_reset_guard_t reset_channels(channels);
      channels.reset();
      channels.bind(":cname", devices.getColumn(channel_column::cname).getString());
      while (channels.executeStep()) {
        channel_list.emplace_back(device_id, channels.getColumn(channel_column::channel_id).getInt64());
      }
    }
  }

  keep_channel_rows(channel_list);

  while (!stop) {
    long elapsed = 0;
    bool read_nothing = true;
    bool broker_away = false;
    if (!prepare_connection()) {
      // A device that is away at start-up (an unplugged adapter) must not
      // end the port: the next pass tries to create the resource again.
      spdlog::warn("{} : соединение недоступно : опрос пропущен", port_log_name);
    } else if (broker.is_connected()) {
      for (const auto& entry : channel_list) poll_list->push_back(entry);
      const auto count = poll_list->size();
      spdlog::info("{} : начало опроса : {} {}", port_log_name, count, plural_form(count, "параметр", "параметра", "параметров"));
      auto pass = poll_pool->submit_task([this] { return poll_task(); });
      try {
        elapsed = pass.get();
      } catch (const std::exception& error) {
        spdlog::error("{} : ошибка : {}", port_log_name, error.what());
      }
      spdlog::info("{} : опрос завершен : {} сек.", port_log_name, elapsed);
      read_nothing = pass_answers == 0;
      if (poll_reconnect) close_connection();
    } else {
      spdlog::warn("{} : ожидание подключения к брокеру", port_log_name);
      broker_away = true;
    }
    // Without an interval a pass that reads nothing (a dead connection or
    // device, the broker away, no enabled channel) would be repeated, and
    // logged, without pause: a busy loop that rotates the log away within
    // seconds.
    interval_wait(read_nothing && poll_interval <= 0 ? 1 : poll_interval, elapsed, broker_away);
  }
}

void modbus_port_t::keep_channel_rows(const std::vector<poll_entry_t>& channel_list) {
  {
    // The first pass then costs what any other does.
    std::lock_guard transaction(transaction_mutex);
    for (const auto& entry : channel_list) {
      try {
        channel_row(entry);
      } catch (const std::exception&) {
        // Not kept: the entry's read reports it on every pass.
      }
    }
  }
  // The rows are kept; the pages read for them need not be.
  database->exec("PRAGMA shrink_memory");
}

void modbus_port_t::interval_wait(int32_t poll_interval, long elapsed, bool until_broker) {
  if (poll_interval <= 0) return;
  const long wait = poll_interval - elapsed % poll_interval;
  if (broker.is_connected()) spdlog::info("{} : таймаут : {} сек.", port_log_name, wait);
  std::unique_lock lock(interval_mutex);
  if (stop) return;
  // A pass skipped for the broker is made up as soon as the broker is
  // there: after a start or a restart, when the broker comes up a moment
  // after the gateway, the first values would otherwise wait a whole
  // interval, ten minutes with a long one.
  clock.interval_wait(interval_cv, lock, std::chrono::seconds(wait),
                      [this, until_broker] { return stop.load() || (until_broker && broker.is_connected()); });
}

bool modbus_port_t::pause(std::chrono::milliseconds delay) {
  std::unique_lock lock(interval_mutex);
  if (!stop) clock.delay_wait(interval_cv, lock, delay, [this] { return stop.load(); });
  return !stop;
}

long modbus_port_t::poll_task() {
  const int64_t started = clock.steady_seconds();
  struct running_guard_t {
    std::atomic<bool>& running;
    ~running_guard_t() { running = false; }
  } running_guard{poll_running};
  {
    // Marked running in one step with the write path's closing check
    // (close_connection_if_idle): a command that ended between the head of
    // the pass and this point may have closed the connection the pass
    // opened, and a network connection does not reopen by itself.
    std::lock_guard transaction(transaction_mutex);
    poll_running = true;
    if (connection->available && !connection->is_open()) connection->open();
  }
  pass_answers = 0;
  poll_entry_t entry;
  for (;;) {
    // Before the next entry is taken: the re-reads a command puts at the
    // front of the list then come before it.
    yield_to_commands();
    if (!poll_list->pop_front(entry) || stop) break;
    if (read_channel_safely(entry)) ++pass_answers;
  }
  return static_cast<long>(clock.steady_seconds() - started);
}

std::unique_lock<std::mutex> modbus_port_t::lock_for_command() {
  ++commands_waiting;
  std::unique_lock lock(transaction_mutex);
  --commands_waiting;
  return lock;
}

void modbus_port_t::yield_to_commands() {
  while (commands_waiting.load() > 0 && !stop) std::this_thread::yield();
}

bool modbus_port_t::read_channel_safely(const poll_entry_t& entry) {
  channel_names_t names;
  try {
    read_channel(entry, names);
    return names.answered;
  } catch (const std::exception& error) {
    const auto& [device_id, channel_id] = entry;
    const std::string log_name = names.log_name.empty()
                                     ? channel_log_name(std::to_string(device_id), std::to_string(channel_id))
                                     : names.log_name;
    spdlog::error("{} : ошибка : {}", log_name, error.what());
    if (names.log_name.empty()) return false;  // no row, so no topic to report on
    try {
      publish(names.device_topic, names.channel_name, modbus_vector_t{'r'});
    } catch (const std::exception& publish_error) {
      spdlog::error("{} : ошибка : {}", log_name, publish_error.what());
    }
  }
  return false;
}

void modbus_port_t::schedule_reads(const std::vector<poll_entry_t>& entries) {
  if (!poll_running) {
    for (const auto& entry : entries) read_channel_safely(entry);
    return;
  }
  // All in one step, after the poll task's current transaction: it reads
  // them next, in their order (the written channel first).
  const auto transaction = lock_for_command();
  poll_list->push_front(entries);
}

bool modbus_port_t::prepare_connection() {
  std::lock_guard transaction(transaction_mutex);
  connection->begin_pass();
  if (!connection->available) connection->init();
  if (!connection->available) return false;
  // A connection closed after the last pass (poll_reconnect) is opened
  // again here; network kinds do not reopen by themselves.
  if (!connection->is_open()) connection->open();
  return true;
}

void modbus_port_t::close_connection() {
  // The inbound worker may be in a transaction on the same connection.
  std::lock_guard transaction(transaction_mutex);
  connection->close();
}

void modbus_port_t::close_connection_if_idle() {
  // Checked under the transaction mutex, where the poll task marks itself
  // running: a pass that has begun keeps its connection.
  const auto transaction = lock_for_command();
  if (!poll_running) connection->close();
}

void modbus_port_t::open_connection() {
  const auto transaction = lock_for_command();
  if (connection->available && !connection->is_open()) connection->open();
}
