#include "mqtt/modbus_client.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>

#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/statement_use.hpp"
#include "core/exec_command.hpp"
#include "core/command_topic.hpp"
#include "core/plural_form.hpp"
#include "mqtt/topics_queries.hpp"
#include "port/modbus_port.hpp"

namespace {

constexpr std::size_t client_id_length = 23;
const char* const client_name = "korvex";
// Longer than the text of any value a channel can take: refused before the
// payload is copied, so large messages cannot pile up in memory.
constexpr int max_command_payload = 256;
// Commands that may wait for one port. A port whose device never answers
// drains one command per read timeout; beyond this the newest are refused.
// It holds a burst of ten thousand commands however slowly they drain.
constexpr std::size_t inbound_queue_capacity = 10'000;

// The results after which the library's network loop returns and its thread
// ends instead of connecting again: a peer that answers with something that
// is no MQTT, or a failure of the library itself.
bool ends_network_loop(int rc) {
  switch (rc) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
      return true;
    default:
      return false;
  }
}

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
      outgoing(std::make_shared<message_queue_t>(outgoing_capacity)) {
  // On a fresh machine the state folder does not exist yet, and SQLite
  // does not create folders.
  if (cache_path.has_parent_path()) std::filesystem::create_directories(cache_path.parent_path());
  database = open_cache_database(cache_path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
}

modbus_client_t::~modbus_client_t() {
  // The library's network loop ends only once a disconnect was asked for;
  // without one loop_stop would wait for ever. A connect that the loop is
  // blocked in (a broker host that drops every attempt) still holds it: the
  // shutdown's deadline bounds that.
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
  // Started in either case: the library's loop then connects, and connects
  // again after every loss, a second after each failed attempt.
  return loop_start();
}

void modbus_client_t::disable_nagle() {
  // A re-read after a command is one small publish: held back by Nagle's
  // algorithm for the broker's delayed acknowledgement, it reached the
  // subscribers tens of milliseconds late. This library version refuses the
  // option through the wrapper (opts_set knows only the old options) and
  // the wrapper hides the C handle, so it goes on the library's socket each
  // time a connection comes up.
  const int one = 1;
  if (const int fd = socket(); fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void modbus_client_t::request_stop() {
  stop = true;
  // The loop may wait for a message on the queue, which only the queue
  // itself can end, or on publish_cv.
  outgoing->stop();
  wake_publish_loop();
}

void modbus_client_t::wake_publish_loop() {
  std::lock_guard lock(publish_mutex);
  publish_cv.notify_all();
}

void modbus_client_t::start() {
  const auto connection_count = prepare_routing();
  if (connection_count == 0) return;
  port_pool = std::make_unique<worker_pool_t>(connection_count);
  // Every queue exists before the first port task can look for its own.
  for (const auto& [connection_id, queue] : inbound_queues) {
    port_pool->detach_task([this, connection_id = connection_id] { serve_connection(connection_id); });
  }
  publish_loop();
}

void modbus_client_t::publish_loop() {
  spdlog::info("Очередь исходящих сообщений : запуск");
  while (!stop) {
    mqtt_message_t message;
    {
      // Room in the library comes first.
      std::unique_lock lock(publish_mutex);
      publish_cv.wait(lock, [this] { return stop || unwritten < unwritten_limit; });
    }
    // Without the lock: the wait for a message lasts up to a poll interval,
    // and a library callback that wakes the wait above would hold the
    // library's network thread (keep-alive, commands, writes) that long.
    if (!pop_unless_stopped(*outgoing, message, publish_cv, publish_mutex, stop)) break;
    // Popped after the stop: dropped.
    if (stop) break;
    report_dropped(true);
    const auto& [message_id, topic, payload, qos, retain] = message;
    (void)message_id;
    // Counted before the call: the network thread may write the message
    // and report it before publish returns.
    ++unwritten;
    // Refused (no connection, too large): not counted and not repeated.
    if (publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain) !=
        MOSQ_ERR_SUCCESS) {
      --unwritten;
    }
  }
  report_dropped(false);
  spdlog::info("Очередь исходящих сообщений : завершено");
}

void modbus_client_t::report_dropped(bool only_when_drained) {
  if (!outgoing->has_dropped()) return;
  if (const auto dropped = outgoing->take_dropped(only_when_drained); dropped > 0) {
    spdlog::error("Очередь исходящих сообщений : отброшено сообщений : {}", dropped);
  }
}

std::size_t modbus_client_t::prepare_routing() {
  const auto connection_count = database->execAndGet(connection_count_text).getUInt();
  if (connection_count == 0) {
    spdlog::error("Нет ни одного запущенного порта! Режим ожидания...");
    // Nothing is subscribed without connections; release what may wait.
    open_routing();
    return 0;
  }
  topic_statement = std::make_shared<SQLite::Statement>(*database, route_lookup_text);
  {
    SQLite::Statement connections(*database, connections_text);
    while (connections.executeStep()) {
      inbound_queues.emplace(connections.getColumn(topics_column::connection_id).getInt64(),
                             std::make_shared<message_queue_t>(inbound_queue_capacity));
    }
  }
  open_routing();
  return connection_count;
}

void modbus_client_t::serve_connection(int64_t connection_id) {
  // Each port task stands alone: a failure of one port must neither end the
  // process nor touch the other ports or the main thread.
  try {
    auto inbound = inbound_queues.at(connection_id);
    auto port_outgoing = outgoing;
    port_options_t options;
    options.cache_path = database->getFilename();
    modbus_port_t port(*this, connection_id, inbound, port_outgoing, std::move(options));
    // The registration leaves before the port is destroyed, so the shutdown
    // never reaches a port that is going away.
    port_registration_t registration(running_ports, connection_id, [&port] { port.request_stop(); });
    if (registration.admitted()) port.start();
  } catch (const std::exception& error) {
    spdlog::error("{}", error.what());
  }
  close_inbound_queue(connection_id);
}

void modbus_client_t::close_inbound_queue(int64_t connection_id) {
  auto& queue = *inbound_queues.at(connection_id);
  queue.stop();
  std::size_t dropped = 0;
  for (mqtt_message_t command; queue.pop(command);) ++dropped;
  if (dropped > 0) {
    spdlog::error("Очередь входящих сообщений ({}) : не выполнено команд : {}", connection_id, dropped);
  }
}

void modbus_client_t::on_connect(int rc) {
  spdlog::info("Брокер : подключение : {} ({})", mosqpp::strerror(rc), rc);
  if (rc != 0) return;
  ++connection_count;
  disable_nagle();
  subscribe_topics();
  connected = true;
}

void modbus_client_t::on_connect_with_flags(int rc, int flags) {
  spdlog::trace("{}: {} | {}", "on_connect_with_flags", mosqpp::strerror(rc), flags);
}

void modbus_client_t::on_disconnect(int rc) {
  spdlog::warn("Брокер : {} ({})", mosqpp::strerror(rc), rc);
  // The library drops what it has not written when it connects again, and
  // never reports it.
  if (unwritten.exchange(0) >= unwritten_limit) wake_publish_loop();
  if (rc == 0 || stop) return;
  // No reconnection is asked for here: the library's loop reconnects by
  // itself, and a second request opened a connection beside its own, which
  // it closed again a second later.
  connected = false;
  if (ends_network_loop(rc)) {
    spdlog::error("Брокер : {} ({}) : подключение больше не восстанавливается : перезапуск драйвера",
                  mosqpp::strerror(rc), rc);
    if (broker_given_up) broker_given_up();
  }
}

void modbus_client_t::on_publish(int mid) {
  spdlog::trace("{}: {}", "on_publish", mid);
  // Called once a message was written to the socket, also for QoS 0. Only
  // the step down from the bound can release the loop; the loop never holds
  // the lock while it waits for a message, so taking it never waits long.
  if (unwritten.fetch_sub(1) == unwritten_limit) wake_publish_loop();
}

void modbus_client_t::on_subscribe(int mid, int qos_count, const int* granted_qos) {
  spdlog::trace("{}: {} {} {}", "on_subscribe", mid, qos_count, qos_count > 0 ? granted_qos[0] : -1);
}

void modbus_client_t::on_unsubscribe(int mid) { spdlog::trace("{}: {}", "on_unsubscribe", mid); }

void modbus_client_t::on_log(int level, const char* text) {
  spdlog::trace("{}: {} | {}", "on_log", level, text != nullptr ? text : "");
}

void modbus_client_t::on_error() { spdlog::trace("{}", "on_error"); }

void modbus_client_t::subscribe_topics() {
  // An exception must not leave a library callback; a failed subscription
  // is retried at the next connect.
  try {
    std::vector<std::pair<std::string, bool>> topics;  // command topic, commandable
    {
      SQLite::Statement rows(*database, subscriptions_text);
      while (rows.executeStep()) {
        const auto device_topic = rows.getColumn(topics_column::device_topic).getString();
        const auto channel_topic = rows.getColumn(topics_column::channel_topic).getString();
        topics.emplace_back(fmt::format(fmt::runtime(command_topic_format), device_topic, channel_topic),
                            is_commandable_name(device_topic) && is_commandable_name(channel_topic));
      }
    }
    if (topics.empty()) return;
    // One request per topic: this library version has no request for many.
    // The line counts what was subscribed and reports the first refusal, or
    // success when there was none; every topic left out has its own line.
    int result = MOSQ_ERR_SUCCESS;
    std::size_t subscribed = 0;
    for (const auto& [topic, commandable] : topics) {
      if (!commandable) {
        spdlog::error("Брокер : {} : подписка невозможна : символ '/' в имени устройства или канала", topic);
        continue;
      }
      const int topic_result = subscribe(nullptr, topic.c_str(), 0);
      if (topic_result == MOSQ_ERR_SUCCESS) {
        ++subscribed;
      } else {
        spdlog::error("Брокер : {} : ошибка подписки : {} ({})", topic, mosqpp::strerror(topic_result), topic_result);
        if (result == MOSQ_ERR_SUCCESS) result = topic_result;
      }
    }
    spdlog::info("Брокер : подписка на {} {} : {} ({})", subscribed, plural_form(subscribed, "топик", "топика", "топиков"),
                 mosqpp::strerror(result), result);
  } catch (const std::exception& error) {
    spdlog::error("Брокер : подписка : {}", error.what());
  }
}

void modbus_client_t::on_message(const struct mosquitto_message* message) {
  const std::string topic = message->topic != nullptr ? message->topic : "";
  const auto [device_topic, channel_topic] = parse_command_topic(topic);
  if (device_topic.empty() || channel_topic.empty()) return;
  if (message->payloadlen > max_command_payload) {
    spdlog::error("Брокер : {} : команда отклонена : {} байт, допустимо не более {}", topic, message->payloadlen,
                  max_command_payload);
    return;
  }
  const auto* bytes = static_cast<const uint8_t*>(message->payload);
  mqtt_message_t command{message->mid, topic,
                         bytes != nullptr ? modbus_vector_t(bytes, bytes + message->payloadlen) : modbus_vector_t{},
                         message->qos, message->retain};
  if (!routing_ready.load(std::memory_order_acquire)) {
    std::lock_guard lock(pending_mutex);
    // Checked again under the lock: open_routing sets the flag under it.
    if (!routing_ready.load(std::memory_order_relaxed)) {
      if (pending_commands.size() >= inbound_queue_capacity) {
        spdlog::error("Брокер : {} : команда отклонена : очередь ожидания переполнена", topic);
      } else {
        pending_commands.push_back(std::move(command));
      }
      return;
    }
  }
  route_command(device_topic, channel_topic, std::move(command));
}

void modbus_client_t::open_routing() {
  // Batches are routed outside the lock so the network thread is never held
  // up; whatever it adds meanwhile is taken by the next turn, so commands
  // keep their order and the flag is set only with the list empty.
  for (;;) {
    std::vector<mqtt_message_t> batch;
    {
      std::lock_guard lock(pending_mutex);
      if (pending_commands.empty()) {
        routing_ready.store(true, std::memory_order_release);
        return;
      }
      batch.swap(pending_commands);
    }
    for (auto& command : batch) {
      const auto [device_topic, channel_topic] = parse_command_topic(std::get<1>(command));
      route_command(device_topic, channel_topic, std::move(command));
    }
  }
}

void modbus_client_t::route_command(const std::string& device_topic, const std::string& channel_topic,
                                    mqtt_message_t&& command) {
  // Standby: no lookup, nothing to route to.
  if (!topic_statement) return;
  try {
    int64_t connection_id = 0;
    {
      statement_reset_guard_t guard(*topic_statement);
      fresh_statement(*topic_statement);
      topic_statement->bind(":device_topic", device_topic);
      topic_statement->bind(":channel_topic", channel_topic);
      if (!topic_statement->executeStep()) return;
      connection_id = topic_statement->getColumn(topics_column::connection_id).getInt64();
    }
    const auto queue = inbound_queues.find(connection_id);
    if (queue == inbound_queues.end()) return;
    // Retained ones too, at every resubscription: the port knows whether
    // one was written already; one that failed is tried again this way.
    const std::string topic = std::get<1>(command);
    switch (queue->second->try_push(std::move(command))) {
      case push_result_t::pushed:
        break;
      case push_result_t::full:
        spdlog::error("Брокер : {} : команда отклонена : очередь порта {} переполнена", topic, connection_id);
        break;
      case push_result_t::stopped:
        spdlog::error("Брокер : {} : команда отклонена : порт {} не работает", topic, connection_id);
        break;
    }
  } catch (const std::exception& error) {
    // Must not leave the library callback; the command is dropped.
    spdlog::error("Брокер : {} : {}", std::get<1>(command), error.what());
  }
}
