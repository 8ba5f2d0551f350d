#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <mosquittopp.h>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include "core/constants.hpp"
#include "core/sync_queue.hpp"
#include "core/worker_pool.hpp"
#include "mqtt/port_registry.hpp"
#include "port/broker_link.hpp"

using message_queue_t = sync_queue_t<mqtt_message_t>;

// "korvex#" followed by the uuid's text without its dashes, cut to the 23
// characters that an MQTT 3.1 client id may have.
std::string make_client_id(const std::string& uuid_text);

// The process's one broker client. It owns the cache database handle that
// the loader fills, the outgoing queue that every port pushes into, one
// inbound queue per connection and the pool whose threads run the ports; to
// each port it is the broker link.
class modbus_client_t : private mosqpp::mosquittopp, public broker_link_t {
 public:
  explicit modbus_client_t(bool clean_session,
                           const std::filesystem::path& cache_path = state_directory / cache_file_name);
  ~modbus_client_t() override;
  modbus_client_t(const modbus_client_t&) = delete;
  modbus_client_t& operator=(const modbus_client_t&) = delete;

  // Connects and starts the library's network thread in any case: after a
  // failed first connect the library keeps trying there, once a second.
  int connect(const char* host, int port, int keep_alive);

  // What ends the service when the library's network loop gives up for good
  // (a peer on the broker's address that speaks no MQTT): nothing would
  // connect again, so only a restart by the service manager helps. It runs
  // on the library's thread, which the shutdown joins: it may only ask for
  // the stop. Set before connect.
  void on_broker_given_up(std::function<void()> request_service_stop) {
    broker_given_up = std::move(request_service_stop);
  }

  // Standby when there is no connection; otherwise builds the port workers
  // and runs the publish loop on the calling thread until the client stops.
  void start();

  // Makes a running start return, from any thread. The client stays usable
  // for its destructor, which finishes the shutdown.
  void request_stop();

  bool is_connected() const override { return connected.load(); }
  uint64_t connection_number() const override { return connection_count.load(); }

  std::shared_ptr<SQLite::Database> database_handle() const { return database; }
  const std::string& client_id() const { return id; }

 private:
  modbus_client_t(const std::string& client_id, bool clean_session, const std::filesystem::path& cache_path);

  // The only place that hands values to the broker library: one message
  // per turn from the outgoing queue, in push order, until the stop. Each
  // is counted as unwritten until on_publish reports it written.
  void publish_loop();
  // One error line for the values the outgoing queue dropped; with
  // `only_when_drained`, only once the loop has caught up.
  void report_dropped(bool only_when_drained);
  // Releases a publish loop that waits for the library to write.
  void wake_publish_loop();
  void serve_connection(int64_t connection_id);
  // TCP_NODELAY on the library's socket of the current connection.
  void disable_nagle();

  // Subscribes to the command topic of every writable channel; run at
  // every successful connect, since a clean session keeps none.
  void subscribe_topics();
  // Standby (0) or the connection count, with the connection lookup and one
  // inbound queue per connection ready and routing open.
  std::size_t prepare_routing();
  // Routing becomes possible once start has the lookup and the queues;
  // commands that came before are routed then, in their order.
  void open_routing();
  // Pushes one command onto the inbound queue of the connection that
  // serves its channel; a command that matches none is dropped, one that
  // cannot be queued is refused with an error line.
  void route_command(const std::string& device_topic, const std::string& channel_topic, mqtt_message_t&& command);
  // Ends a port's inbound queue once its task is over: later commands are
  // refused, and those still waiting are dropped with an error line.
  void close_inbound_queue(int64_t connection_id);

  void on_connect(int rc) override;
  void on_connect_with_flags(int rc, int flags) override;
  void on_disconnect(int rc) override;
  void on_publish(int mid) override;
  void on_subscribe(int mid, int qos_count, const int* granted_qos) override;
  void on_unsubscribe(int mid) override;
  void on_log(int level, const char* text) override;
  void on_error() override;
  void on_message(const struct mosquitto_message* message) override;

  // Lets the routing tests drive start's preparation without running ports.
  friend struct modbus_client_test_access_t;

  // Values waiting for the publish loop. A broker that stops reading keeps
  // its socket open and is noticed only when the keep-alive runs out; until
  // then every port goes on polling. Past this bound the oldest value goes
  // for each new one: what is dropped is the stalest, and the newest values
  // still get through.
  static constexpr std::size_t outgoing_capacity = 10'000;
  // Values handed to the library and not yet written to its socket. With
  // the broker stalled the library would queue every one of them; held at
  // this bound, the backlog stays in the bounded outgoing queue instead.
  static constexpr int64_t unwritten_limit = 1'000;

  std::string id;
  std::shared_ptr<SQLite::Statement> topic_statement;
  std::shared_ptr<SQLite::Database> database;
  std::atomic<bool> connected{false};
  // Connections the broker accepted so far.
  std::atomic<uint64_t> connection_count{0};
  std::function<void()> broker_given_up;
  std::unique_ptr<worker_pool_t> port_pool;
  std::shared_ptr<message_queue_t> outgoing;
  std::map<int64_t, std::shared_ptr<message_queue_t>> inbound_queues;
  std::atomic<bool> stop{false};
  // The publish loop's own lock and wait: held while the loop waits for the
  // library to make room or, with the queue stopped, for the stop flag;
  // never while it waits for a message, since the library's callbacks take
  // it to end the first wait.
  std::mutex publish_mutex;
  std::condition_variable publish_cv;
  // Messages handed to the library and not yet written to the socket. The
  // library reports each written message through on_publish and discards
  // the unwritten ones when the connection is lost, so a broker that stops
  // reading holds at most its bound here and the rest waits in `outgoing`.
  std::atomic<int64_t> unwritten{0};
  // The broker delivers retained commands as soon as it has the
  // subscriptions, and the network thread runs from connect on, so commands
  // can arrive before start has the lookup and the queues. They wait here
  // instead of being lost. routing_ready is set (release) once start has
  // routed them; from then on only the network thread uses topic_statement.
  std::atomic<bool> routing_ready{false};
  std::mutex pending_mutex;
  std::vector<mqtt_message_t> pending_commands;
  // Declared last: ports are stopped through it before the members above go.
  port_registry_t running_ports;
};
