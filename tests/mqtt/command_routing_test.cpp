// Command subscriptions and routing of the broker client, against a real
// mosquitto and a cache database built from a configuration.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <mosquitto.h>
#include <mosquittopp.h>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "mqtt/modbus_client.hpp"
#include "mqtt/topics_table.hpp"
#include "support/mosquitto_library.hpp"
#include "support/broker.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::log_capture_t;
using korvex_test::temp_dir_t;
using korvex_test::wait_until;

// Drives the first half of start (lookup, queues, routing) without running
// ports, and hands messages to the callback as the library would.
struct modbus_client_test_access_t {
  static std::size_t prepare_routing(modbus_client_t& client) { return client.prepare_routing(); }
  static std::shared_ptr<message_queue_t> inbound_queue(modbus_client_t& client, int64_t connection_id) {
    return client.inbound_queues.at(connection_id);
  }
  static std::size_t pending(modbus_client_t& client) {
    std::lock_guard lock(client.pending_mutex);
    return client.pending_commands.size();
  }
  static void deliver(modbus_client_t& client, const mosquitto_message& message) { client.on_message(&message); }
  static void serve_connection(modbus_client_t& client, int64_t connection_id) {
    client.serve_connection(connection_id);
  }
};
using client_access = modbus_client_test_access_t;

namespace {

using korvex_test::mosquitto_library_t;
const auto* const mosquitto_library = ::testing::AddGlobalTestEnvironment(new mosquitto_library_t);

// Connection 1 serves boiler_1 (setpoint writable, temp read-only, the
// writable bit pump of flags); connection 2 serves meter_2 (limit writable).
const json two_lines = json::parse(R"({"ports": [
  {"connection": {"name": "a", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 1}},
   "devices": [{"name": "b", "type": "mb-tcp", "sid": 1, "cname": "boiler"}],
   "parameters": [{"cname": "boiler", "config": {"channels": [
     {"name": "setpoint", "value_type": "u16", "reg_type": "holding", "reg_addr": 0, "read_only": false},
     {"name": "temp", "value_type": "u16", "reg_type": "input", "reg_addr": 0},
     {"name": "flags", "value_type": "u16", "reg_type": "holding", "reg_addr": 1, "read_only": false,
      "bh_list": [{"name": "pump", "offset": 0}]}]}}]},
  {"connection": {"name": "b", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 2}},
   "devices": [{"name": "m", "type": "mb-tcp", "sid": 2, "cname": "meter"}],
   "parameters": [{"cname": "meter", "config": {"channels": [
     {"name": "limit", "value_type": "u16", "reg_type": "holding", "reg_addr": 5, "read_only": false}]}}]}
]})");

const json read_only_line = json::parse(R"({"ports": [
  {"connection": {"name": "a", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 1}},
   "devices": [{"name": "b", "type": "mb-tcp", "sid": 1, "cname": "boiler"}],
   "parameters": [{"cname": "boiler", "config": {"channels": [
     {"name": "temp", "value_type": "u16", "reg_type": "input", "reg_addr": 0}]}}]}
]})");

struct client_rig_t {
  // A null configuration leaves the cache without a Topics table.
  explicit client_rig_t(const json* config) {
    if (config != nullptr) {
      build_cache_database(client->database_handle(), *config, build_topics_table);
    } else {
      create_cache_schema(*client->database_handle());
    }
  }
  void connect(const broker_t& broker) {
    EXPECT_EQ(client->connect("127.0.0.1", broker.port(), 60), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
  }
  std::shared_ptr<message_queue_t> queue(int64_t connection_id) {
    return client_access::inbound_queue(*client, connection_id);
  }

  temp_dir_t folder;
  std::unique_ptr<modbus_client_t> client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
};

// A routed command as "topic payload", with " (retained)" when so flagged.
std::string text_of(const mqtt_message_t& message) {
  const auto& [id, topic, payload, qos, retain] = message;
  (void)id;
  (void)qos;
  return topic + " " + std::string(payload.begin(), payload.end()) + (retain ? " (retained)" : "");
}

// Pops `count` commands, giving up after the timeout.
std::vector<std::string> take(message_queue_t& queue, std::size_t count, std::chrono::seconds timeout = 15s) {
  auto popping = std::async(std::launch::async, [&] {
    std::vector<std::string> taken;
    mqtt_message_t message;
    while (taken.size() < count && queue.pop(message)) taken.push_back(text_of(message));
    return taken;
  });
  if (popping.wait_for(timeout) != std::future_status::ready) queue.stop();
  return popping.get();
}

// Everything still in the queue; the queue is stopped afterwards.
std::vector<std::string> rest_of(message_queue_t& queue) {
  queue.stop();
  return take(queue, SIZE_MAX);
}

bool has_line_starting(const std::vector<std::string>& lines, const std::string& start) {
  for (const auto& line : lines) {
    if (line.rfind(start, 0) == 0) return true;
  }
  return false;
}

}  // namespace

// The early command is retained on the broker before the client connects,
// so the broker hands it over right at the subscription, long before start.
// The broker keeps it across its restart and hands it over again then: it is
// queued again, since only the port knows whether it was written.
TEST(CommandRouting, BrokerCommandsReachTheirConnectionsQueueEarlyOnesIncluded) {
  broker_t broker({.keeps_retained = true});
  broker.publish("/devices/boiler_1/controls/setpoint/on", "21", true);
  log_capture_t log;
  client_rig_t rig(&two_lines);
  rig.connect(broker);
  const std::string subscribed = "Брокер : подписка на 3 топика : No error. (0)";
  EXPECT_EQ(log.count(subscribed), 1);
  ASSERT_TRUE(wait_until([&] { return client_access::pending(*rig.client) == 1; })) << "held until routing is ready";

  ASSERT_EQ(client_access::prepare_routing(*rig.client), 2u);
  auto boiler_line = rig.queue(1);
  auto meter_line = rig.queue(2);
  EXPECT_EQ(take(*boiler_line, 1), std::vector<std::string>{"/devices/boiler_1/controls/setpoint/on 21 (retained)"});

  // The client's line says only that the subscriptions were handed to the
  // library; a command the broker gets before them is dropped.
  for (const auto* topic : {"/devices/meter_2/controls/limit/on", "/devices/boiler_1/controls/flags_pump/on"}) {
    ASSERT_TRUE(broker.wait_for_subscription(topic)) << topic;
  }
  broker.publish("/devices/meter_2/controls/limit/on", "50");
  broker.publish("/devices/boiler_1/controls/temp/on", "7");  // read-only: never subscribed
  broker.publish("/devices/boiler_1/controls/flags_pump/on", "1");
  EXPECT_EQ(take(*meter_line, 1), std::vector<std::string>{"/devices/meter_2/controls/limit/on 50"});
  EXPECT_EQ(take(*boiler_line, 1), std::vector<std::string>{"/devices/boiler_1/controls/flags_pump/on 1"});

  // A clean session keeps no subscriptions: they are made again.
  broker.restart();
  ASSERT_TRUE(wait_until([&] { return log.count(subscribed) == 2 && rig.client->is_connected(); }));
  EXPECT_EQ(take(*boiler_line, 1), std::vector<std::string>{"/devices/boiler_1/controls/setpoint/on 21 (retained)"});
  broker.publish("/devices/boiler_1/controls/setpoint/on", "21");
  EXPECT_EQ(take(*boiler_line, 1), std::vector<std::string>{"/devices/boiler_1/controls/setpoint/on 21"});

  EXPECT_TRUE(rest_of(*boiler_line).empty());
  EXPECT_TRUE(rest_of(*meter_line).empty());
  EXPECT_TRUE(log.errors().empty());
}

TEST(CommandRouting, MessagesRoutedByTheirTopicsOrIgnored) {
  client_rig_t rig(&two_lines);
  ASSERT_EQ(client_access::prepare_routing(*rig.client), 2u);
  const struct {
    std::string topic;
    int64_t connection_id;  // 0: ignored
  } cases[] = {
      {"/devices/boiler_1/controls/setpoint/on", 1},
      {"/devices/boiler_1/controls/flags_pump/on", 1},
      {"/devices/meter_2/controls/limit/on", 2},
      {"other/meter_2/prefix/limit/on", 0},
      {"devices/meter_2/controls/limit/on", 0},
      {"/devices/meter_2/controls/limit/On", 0},
      {"/devices/boiler_1/controls/setpoint/on/", 0},
      {"/devices/boiler_1/controls/setpoint", 0},
      {"/devices/boiler_1/controls/temp/on", 0},
      {"/devices/boiler_1/controls/flags/on", 0},
      {"/devices/boiler_2/controls/setpoint/on", 0},
      {"/devices/meter_2/controls/setpoint/on", 0},
      {"/devices/boiler_1/controls//on", 0},
      {"/devices//controls/setpoint/on", 0},
  };
  std::vector<std::string> expected[3];
  int mid = 0;
  for (const auto& c : cases) {
    // Appended rather than "p" + to_string(...): gcc 12 warns falsely
    // (-Wrestrict) about that form in an optimised build.
    std::string payload = "p";
    payload += std::to_string(++mid);
    mosquitto_message message{mid, const_cast<char*>(c.topic.c_str()), payload.data(),
                              static_cast<int>(payload.size()), 0, false};
    client_access::deliver(*rig.client, message);
    if (c.connection_id != 0) expected[c.connection_id].push_back(c.topic + " " + payload);
  }
  EXPECT_EQ(rest_of(*rig.queue(1)), expected[1]);
  EXPECT_EQ(rest_of(*rig.queue(2)), expected[2]);
}

TEST(CommandRouting, EveryFieldOfTheMessageIsKept) {
  client_rig_t rig(&two_lines);
  client_access::prepare_routing(*rig.client);
  std::string topic = "/devices/meter_2/controls/limit/on";
  mosquitto_message empty{41, topic.data(), nullptr, 0, 1, true};
  client_access::deliver(*rig.client, empty);
  const uint8_t bytes[] = {'4', 0, 0xff};
  mosquitto_message binary{42, topic.data(), const_cast<uint8_t*>(bytes), 3, 2, false};
  client_access::deliver(*rig.client, binary);
  auto queue = rig.queue(2);
  queue->stop();
  mqtt_message_t routed;
  ASSERT_TRUE(queue->pop(routed));
  EXPECT_EQ(routed, (mqtt_message_t{41, topic, {}, 1, true}));
  ASSERT_TRUE(queue->pop(routed));
  EXPECT_EQ(routed, (mqtt_message_t{42, topic, {'4', 0, 0xff}, 2, false}));
}

// Subscription and routing run in library callbacks: a database failure is
// logged there and never thrown into the library.
TEST(CommandRouting, SubscriptionLineOrDatabaseFailureLogged) {
  broker_t broker;
  const struct {
    const char* name;
    const json* config;
    std::string info_line;      // empty: no subscription line
    std::string error_start;    // empty: no error line
  } cases[] = {
      {"writable channels", &two_lines, "Брокер : подписка на 3 топика : No error. (0)", ""},
      {"only read-only channels", &read_only_line, "", ""},
      {"no Topics table", nullptr, "", "Брокер : подписка : no such table: Topics"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_capture_t log;
    client_rig_t rig(c.config);
    rig.connect(broker);
    EXPECT_EQ(has_line_starting(log.lines(), "Брокер : подписка на "), !c.info_line.empty());
    if (!c.info_line.empty()) {
      EXPECT_EQ(log.count(c.info_line), 1);
    }
    EXPECT_EQ(has_line_starting(log.errors(), c.error_start), !c.error_start.empty());
    if (c.error_start.empty()) {
      EXPECT_TRUE(log.errors().empty());
    }
  }
}

TEST(CommandRouting, LookupFailureIsLoggedAndTheCommandDropped) {
  log_capture_t log;
  client_rig_t rig(&two_lines);
  client_access::prepare_routing(*rig.client);
  rig.client->database_handle()->exec("DROP TABLE Topics");
  std::string topic = "/devices/boiler_1/controls/setpoint/on";
  std::string payload = "1";
  mosquitto_message message{1, topic.data(), payload.data(), 1, 0, false};
  EXPECT_NO_THROW(client_access::deliver(*rig.client, message));
  EXPECT_TRUE(has_line_starting(log.errors(), "Брокер : " + topic + " : ")) << testing::PrintToString(log.lines());
  EXPECT_TRUE(rest_of(*rig.queue(1)).empty());
}

// A '/' in a name makes its command topic ambiguous: the value is published,
// but no command is taken for it, and a command never reaches another
// channel whose names the topic happens to contain.
TEST(CommandRouting, NamesWithASlashAreNeverCommanded) {
  const json config = json::parse(R"({"ports": [
    {"connection": {"name": "a", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 1}},
     "devices": [{"name": "d", "type": "mb-tcp", "sid": 1, "cname": "dev"},
                 {"name": "w", "type": "mb-tcp", "sid": 1, "cname": "wd"}],
     "parameters": [
       {"cname": "dev", "config": {"channels": [
         {"name": "temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 9, "read_only": false}]}},
       {"cname": "wd", "config": {"channels": [
         {"name": "dev_1/controls/temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 4, "read_only": false},
         {"name": "e/f", "value_type": "u16", "reg_type": "holding", "reg_addr": 5, "read_only": false}]}}]}]})");
  broker_t broker;
  log_capture_t log;
  client_rig_t rig(&config);
  rig.connect(broker);
  std::string wrong_device = "/devices/wd_1/controls/dev_1/controls/temp/on";
  const auto refused = [](const std::string& topic) {
    return "Брокер : " + topic + " : подписка невозможна : символ '/' в имени устройства или канала";
  };
  EXPECT_EQ(log.count("Брокер : подписка на 1 топик : No error. (0)"), 1);
  EXPECT_EQ(log.errors(), (std::vector{refused(wrong_device), refused("/devices/wd_1/controls/e/f/on")}));
  ASSERT_EQ(client_access::prepare_routing(*rig.client), 1u);
  auto line = rig.queue(1);
  ASSERT_TRUE(broker.wait_for_subscription("/devices/dev_1/controls/temp/on"));
  broker.publish(wrong_device, "77");
  broker.publish("/devices/wd_1/controls/e/f/on", "78");
  broker.publish("/devices/dev_1/controls/temp/on", "79");
  EXPECT_EQ(take(*line, 1), std::vector<std::string>{"/devices/dev_1/controls/temp/on 79"});
  // Even when delivered, the topic names no channel.
  std::string payload = "80";
  client_access::deliver(*rig.client, mosquitto_message{1, wrong_device.data(), payload.data(), 2, 0, false});
  EXPECT_TRUE(rest_of(*line).empty());
}

// What the client refuses to queue, each with its error line: a payload no
// value can be, a command beyond the port's bound, and a command for a port
// whose task has ended.
TEST(CommandRouting, CommandsThatMustNotBeQueued) {
  log_capture_t log;
  client_rig_t rig(&two_lines);
  ASSERT_EQ(client_access::prepare_routing(*rig.client), 2u);
  std::string boiler = "/devices/boiler_1/controls/setpoint/on";
  std::string meter = "/devices/meter_2/controls/limit/on";
  const auto deliver = [&](std::string& topic, std::string payload) {
    client_access::deliver(*rig.client, mosquitto_message{0, topic.data(), payload.data(),
                                                          static_cast<int>(payload.size()), 0, false});
  };
  deliver(boiler, std::string(256, '1'));
  deliver(boiler, std::string(257, '1'));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"Брокер : " + boiler + " : команда отклонена : 257 байт, допустимо не более 256"});
  for (int i = 0; i < 9'999; ++i) deliver(boiler, "1");
  deliver(boiler, "2");
  EXPECT_EQ(log.count("Брокер : " + boiler + " : команда отклонена : очередь порта 1 переполнена"), 1);

  // The port of the meter fails at construction: its row is gone.
  rig.client->database_handle()->exec("DELETE FROM Connections WHERE ROWID = 2");
  deliver(meter, "7");
  client_access::serve_connection(*rig.client, 2);
  EXPECT_EQ(log.count("Очередь входящих сообщений (2) : не выполнено команд : 1"), 1);
  deliver(meter, "8");
  EXPECT_EQ(log.count("Брокер : " + meter + " : команда отклонена : порт 2 не работает"), 1);
}
