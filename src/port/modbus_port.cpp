#include "port/modbus_port.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/statement_use.hpp"
#include "modbus/modbus_queries.hpp"
#include "port/port_queries.hpp"
#include "transport/connection_queries.hpp"
#include "transport/make_connection.hpp"

port_clock_t port_clock_t::system() {
  port_clock_t clock;
  clock.steady_seconds = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  clock.wall_seconds = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  clock.interval_wait = [](std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::chrono::seconds wait,
                           const std::function<bool()>& stopped) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!stopped()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return;
      cv.wait_until(lock, std::min(deadline, now + std::chrono::seconds(1)));
    }
  };
  clock.delay_wait = [](std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                        std::chrono::milliseconds wait, const std::function<bool()>& stopped) {
    cv.wait_until(lock, std::chrono::steady_clock::now() + wait, stopped);
  };
  return clock;
}

modbus_port_t::modbus_port_t(broker_link_t& broker, int64_t connection_id,
                             const std::shared_ptr<port_queue_t>& inbound,
                             const std::shared_ptr<port_queue_t>& outgoing, port_options_t options)
    : connection_id(connection_id),
      clock(std::move(options.clock)),
      inbound(inbound),
      outgoing(outgoing),
      broker(broker) {
  // The cache was built at start-up: a missing file is an error, not a new
  // empty database.
  database = open_cache_database(options.cache_path, SQLite::OPEN_READWRITE);
  connection_statement = std::make_shared<SQLite::Statement>(*database, connection_row_text);
  devices_statement = std::make_shared<SQLite::Statement>(*database, devices_text);
  channels_statement = std::make_shared<SQLite::Statement>(*database, class_channels_text);
  class_size_statement = std::make_shared<SQLite::Statement>(*database, class_size_statement_text);
  debounce_hold_statement = std::make_shared<SQLite::Statement>(*database, debounce_hold_text);

  std::string row_name;
  {
    auto& row = *connection_statement;
    statement_reset_guard_t reset(row);
    row.bind(":connection_id", connection_id);
    row.tryExecuteStep();
    connection = make_connection(row);
    row_name = row.getColumn(connection_column::name).getString();
  }

  js_heap = std::make_unique<script_engine_t>();
  values = std::make_unique<value_context_t>(value_context_t{
      *js_heap, [this](const debounce_key_t& key, int64_t debounce_id, const std::string& log_name,
                       const std::string& value) { return debounce(key, debounce_id, log_name, value); }});
  // Each pool runs one task at a time (the inbound worker for the port's
  // life, one poll task per pass): threads beyond the first only cost
  // memory, a stack each, on every port.
  inbound_pool = std::make_unique<worker_pool_t>(1);
  poll_list = std::make_shared<poll_list_t>();
  poll_pool = std::make_unique<worker_pool_t>(1);
  spdlog::info("Порт : {} : {} : создан", row_name, connection->name);
}

modbus_port_t::~modbus_port_t() {
  request_stop();
  inbound_pool->wait();
  poll_pool->wait();
  poll_pool.reset();
  inbound_pool.reset();
}

void modbus_port_t::request_stop() {
  stop = true;
  {
    std::lock_guard lock(interval_mutex);
    interval_cv.notify_all();
  }
  // The queue stays with the client; stopping it only releases the worker's
  // pop.
  inbound->stop();
  std::lock_guard lock(inbound_mutex);
  inbound_cv.notify_all();
}

modbus_vector_t modbus_port_t::decode_value(const cache_row_t& row, const uint8_t* data, std::size_t size,
                                            const std::string& channel_topic) {
  return ::decode_value(row, data, size, channel_topic, *values);
}

modbus_vector_t modbus_port_t::encode_value(const cache_row_t& row, const modbus_vector_t& payload) {
  return ::encode_value(row, payload, *js_heap);
}
