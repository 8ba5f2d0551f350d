#include "mqtt/modbus_client.hpp"

#include <algorithm>
#include <exception>

#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "core/exec_command.hpp"
#include "port/modbus_port.hpp"

namespace {

constexpr std::size_t client_id_length = 23;
const char* const client_name = "korvex";

}  // namespace

std::string make_client_id(const std::string& uuid_text) {
  std::string suffix = "#" + uuid_text;
  suffix.erase(std::remove(suffix.begin(), suffix.end(), '-'), suffix.end());
  return (client_name + suffix).substr(0, client_id_length);
}

modbus_client_t::modbus_client_t(bool clean_session, const std::filesystem::path& cache_path)
    : modbus_client_t(make_client_id(exec_command("cat /proc/sys/kernel/random/uuid")), clean_session, cache_path) {}

modbus_client_t::modbus_client_t(const std::string& client_id, bool clean_session,
                                 const std::filesystem::path& cache_path)
    : mosqpp::mosquittopp(client_id.c_str(), clean_session),
      id(client_id),
      outgoing(std::make_shared<message_queue_t>()) {
  // On a fresh machine the state folder does not exist yet, and SQLite
  // does not create folders.
  if (cache_path.has_parent_path()) std::filesystem::create_directories(cache_path.parent_path());
  database = open_cache_database(cache_path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
}

modbus_client_t::~modbus_client_t() {
  // Stop first, so that a loss racing the shutdown asks for no reconnection.
  stop = true;
  // The network loop ends only after a disconnect request; without one
  // loop_stop would wait for ever.
  disconnect();
  loop_stop(false);
  request_stop();
  running_ports.close_and_stop_all();
  if (port_pool) port_pool->wait();
  spdlog::info("Работа клиента завершена");
  // The pool joins its idle threads here; the queues, the database and the
  // statement go with the members, the statement before its database.
  port_pool.reset();
  inbound_queues.clear();
  topic_statement.reset();
}

int modbus_client_t::connect(const char* host, int port, int keep_alive) {
  // Qualified: this class's own connect hides the library's.
  if (mosqpp::mosquittopp::connect(host, port, keep_alive) != MOSQ_ERR_SUCCESS) {
    spdlog::error("Ошибка подключения к брокеру Mosquitto");
  }
  return loop_start();
}

void modbus_client_t::request_stop() {
  stop = true;
  // A pop blocked on an empty queue is woken only by the queue itself.
  outgoing->stop();
  std::lock_guard lock(publish_mutex);
  publish_cv.notify_all();
}

void modbus_client_t::start() {
  const auto connection_count = database->execAndGet("SELECT COUNT(ROWID) FROM Connections").getUInt();
  if (connection_count == 0) {
    spdlog::error("Нет ни одного запущенного порта! Режим ожидания...");
    return;
  }
  topic_statement = std::make_shared<SQLite::Statement>(
      *database,
      "SELECT ConnectionID AS connection_id FROM Topics  WHERE DeviceTopic = :device_topic AND ChannelTopic = "
      ":channel_topic AND Subscribe = 1");
  port_pool = std::make_unique<worker_pool_t>(connection_count);
  {
    SQLite::Statement connections(*database, "SELECT ROWID AS connection_id FROM Connections");
    while (connections.executeStep()) {
      inbound_queues.emplace(connections.getColumn("connection_id").getInt64(), std::make_shared<message_queue_t>());
    }
  }
  // Every queue exists before the first port task can look for its own.
  for (const auto& [connection_id, queue] : inbound_queues) {
    port_pool->detach_task([this, connection_id = connection_id] { serve_connection(connection_id); });
  }
  publish_loop();
}

void modbus_client_t::serve_connection(int64_t connection_id) {
  // Each port task stands alone: a failure of one port must neither end the
  // process nor touch the other ports or the publish loop.
  try {
    auto inbound = inbound_queues.at(connection_id);
    auto outgoing_copy = outgoing;
    port_options_t options;
    options.cache_path = database->getFilename();
    modbus_port_t port(this, connection_id, inbound, outgoing_copy, std::move(options));
    // The registration leaves before the port is destroyed, so the shutdown
    // never reaches a port that is going away.
    port_registration_t registration(running_ports, connection_id, [&port] { port.request_stop(); });
    if (registration.admitted()) port.start();
  } catch (const std::exception& error) {
    spdlog::error("{}", error.what());
  }
}

void modbus_client_t::publish_loop() {
  spdlog::info("Очередь исходящих сообщений : запуск");
  while (!stop) {
    mqtt_message_t message;
    {
      std::unique_lock lock(publish_mutex);
      bool popped = outgoing->pop(message);
      while (!popped) {
        if (stop) break;
        publish_cv.wait(lock);
        popped = outgoing->pop(message);
      }
      if (!popped) break;
    }
    if (stop) break;
    const auto& [message_id, topic, payload, qos, retain] = message;
    (void)message_id;
    publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
  }
  spdlog::info("Очередь исходящих сообщений : завершено");
}

void modbus_client_t::on_connect(int rc) {
  spdlog::info("Брокер : подключение : {} ({})", mosqpp::strerror(rc), rc);
  if (rc != 0) return;
  connected = true;
}

void modbus_client_t::on_connect_with_flags(int rc, int flags) {
  spdlog::trace("{}: {} | {}", "on_connect_with_flags", mosqpp::strerror(rc), flags);
}

void modbus_client_t::on_disconnect(int rc) {
  spdlog::warn("Брокер : {} ({})", mosqpp::strerror(rc), rc);
  if (rc == 0 || stop) return;
  connected = false;
  const int reconnect_rc = reconnect_async();
  spdlog::warn("Брокер : запрос на переподключение : {} ({})", mosqpp::strerror(reconnect_rc), reconnect_rc);
}

void modbus_client_t::on_publish(int mid) { spdlog::trace("{}: {}", "on_publish", mid); }

void modbus_client_t::on_subscribe(int mid, int qos_count, const int* granted_qos) {
  spdlog::trace("{}: {} {} {}", "on_subscribe", mid, qos_count, qos_count > 0 ? granted_qos[0] : -1);
}

void modbus_client_t::on_unsubscribe(int mid) { spdlog::trace("{}: {}", "on_unsubscribe", mid); }

void modbus_client_t::on_log(int level, const char* text) {
  spdlog::trace("{}: {} | {}", "on_log", level, text != nullptr ? text : "");
}

void modbus_client_t::on_error() { spdlog::trace("{}", "on_error"); }
