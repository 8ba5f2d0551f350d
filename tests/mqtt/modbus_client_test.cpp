#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <mosquittopp.h>

#include "config/cache_database.hpp"
#include "support/log_capture.hpp"
#include "mqtt/modbus_client.hpp"
#include "support/broker.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::mqtt_subscriber_t;
using korvex_test::received_message_t;
using korvex_test::log_capture_t;
using korvex_test::temp_dir_t;
using korvex_test::wait_until;

namespace {

class mosquitto_library_t : public ::testing::Environment {
 public:
  void SetUp() override { mosqpp::lib_init(); }
  void TearDown() override { mosqpp::lib_cleanup(); }
};
const auto* const mosquitto_library = ::testing::AddGlobalTestEnvironment(new mosquitto_library_t);

const char* const topics_table =
    "CREATE TABLE Topics (  ConnectionID  INTEGER REFERENCES Connections (ROWID) NOT NULL,  DeviceID      INTEGER "
    "REFERENCES Devices (ROWID) NOT NULL,  ChannelID     INTEGER REFERENCES Channels (ROWID) NOT NULL,  DeviceTopic   "
    "TEXT REFERENCES Devices (Control) NOT NULL,  ChannelTopic  TEXT NOT NULL,  Subscribe     INTEGER(1) NOT NULL);";

// A cache database as the loader leaves it, with the given number of
// connections and no devices.
void fill_cache(modbus_client_t& client, int connections) {
  auto database = client.database_handle();
  create_cache_schema(*database);
  database->exec(topics_table);
  for (int i = 0; i < connections; ++i) {
    database->exec(
        "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect) "
        "VALUES ('line', 'base.tcp', 500, 500, 60, 0)");
  }
}

mqtt_message_t retained(const std::string& topic, const std::string& payload) {
  return {0, topic, modbus_vector_t(payload.begin(), payload.end()), 0, true};
}

// What the broker keeps retained under the filter, as "topic payload" lines.
std::set<std::string> retained_lines(const broker_t& broker, const std::string& filter, size_t count) {
  std::set<std::string> lines;
  for (const auto& message : broker.collect(filter, count, 5s)) {
    if (message.retained) lines.insert(message.topic + " " + message.payload);
  }
  return lines;
}

}  // namespace

TEST(ClientId, NameHashAndUuidDigitsCutTo23) {
  const struct {
    std::string uuid_output;
    std::string id;
  } cases[] = {
      {"1b4e28ba-2fa1-11d2-883f-0016d3cca427\n", "korvex#1b4e28ba2fa111d2"},
      {"", "korvex#"},
      {"ab-cd\n", "korvex#abcd\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(make_client_id(c.uuid_output), c.id) << c.uuid_output;

  temp_dir_t folder;
  modbus_client_t client(true, folder.path() / "state" / "korvex.cache");
  EXPECT_TRUE(std::regex_match(client.client_id(), std::regex("korvex#[0-9a-f]{16}"))) << client.client_id();
  EXPECT_TRUE(std::filesystem::exists(folder.path() / "state" / "korvex.cache"))
      << "the missing state folder is created";
}

TEST(BrokerClient, ConnectsAndSetsConnected) {
  broker_t broker;
  temp_dir_t folder;
  log_capture_t log;
  auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
  EXPECT_EQ(client->connect("127.0.0.1", broker.port(), 60), MOSQ_ERR_SUCCESS);
  ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
  EXPECT_EQ(log.count("Брокер : подключение : No error. (0)"), 1);

  const auto started = std::chrono::steady_clock::now();
  client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << "teardown of a connected client";
  EXPECT_EQ(log.count("Работа клиента завершена"), 1);
  EXPECT_EQ(log.count("Брокер : запрос на переподключение : No error. (0)"), 0)
      << "the requested disconnect asks for no reconnection";
}

TEST(BrokerClient, BrokerDownAtStartIsReachedLater) {
  broker_t broker;
  broker.kill();
  temp_dir_t folder;
  log_capture_t log;
  auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
  EXPECT_EQ(client->connect("127.0.0.1", broker.port(), 60), MOSQ_ERR_SUCCESS) << "the network thread starts";
  EXPECT_EQ(log.count("Ошибка подключения к брокеру Mosquitto"), 1);
  EXPECT_FALSE(client->is_connected());
  broker.restart();
  EXPECT_TRUE(wait_until([&] { return client->is_connected(); }));
}

TEST(BrokerClient, ReconnectsAfterBrokerLoss) {
  broker_t broker;
  temp_dir_t folder;
  log_capture_t log;
  auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
  client->connect("127.0.0.1", broker.port(), 60);
  ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));

  broker.kill();
  ASSERT_TRUE(wait_until([&] { return !client->is_connected(); }));
  const auto lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("Брокер : запрос на переподключение : ", 0) == 0;
  }));

  broker.restart();
  EXPECT_TRUE(wait_until([&] { return client->is_connected(); }, 10s)) << "reconnected within a few seconds";
}

TEST(BrokerClient, TeardownWithBrokerAwayDoesNotHang) {
  broker_t broker;
  temp_dir_t folder;
  auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
  client->connect("127.0.0.1", broker.port(), 60);
  ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
  broker.kill();
  ASSERT_TRUE(wait_until([&] { return !client->is_connected(); }));

  auto teardown = std::async(std::launch::async, [&] { client.reset(); });
  EXPECT_EQ(teardown.wait_for(5s), std::future_status::ready) << "the network thread ends without a broker";
}

TEST(BrokerClient, StandbyWithoutConnections) {
  temp_dir_t folder;
  log_capture_t log;
  modbus_client_t client(true, folder.path() / "korvex.cache");
  fill_cache(client, 0);
  client.start();  // returns at once
  EXPECT_EQ(log.count("Нет ни одного запущенного порта! Режим ожидания..."), 1);
  EXPECT_EQ(log.count("Очередь исходящих сообщений : запуск"), 0);
}

TEST(PublishLoop, DeliversQueuedMessagesRetainedAndInOrder) {
  broker_t broker;
  temp_dir_t folder;
  log_capture_t log;
  auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
  fill_cache(*client, 2);
  client->connect("127.0.0.1", broker.port(), 60);
  ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
  auto serving = std::async(std::launch::async, [&] { client->start(); });

  constexpr int count = 60;
  auto outgoing = client->outgoing_queue();
  mqtt_subscriber_t subscriber(broker, {"order/#"});

  // Two producers taking turns, as two ports would.
  std::thread first([&] {
    for (int i = 0; i < count; i += 2) outgoing->push(retained("order/" + std::to_string(i), "v" + std::to_string(i)));
  });
  first.join();
  std::thread second([&] {
    for (int i = 1; i < count; i += 2) outgoing->push(retained("order/" + std::to_string(i), "v" + std::to_string(i)));
  });
  second.join();

  std::vector<std::string> expected, seen;
  for (int i = 0; i < count; i += 2) expected.push_back("order/" + std::to_string(i) + " v" + std::to_string(i));
  for (int i = 1; i < count; i += 2) expected.push_back("order/" + std::to_string(i) + " v" + std::to_string(i));
  for (const auto& message : subscriber.wait_for(count, 15s)) {
    seen.push_back(message.topic + " " + message.payload);
    EXPECT_TRUE(message.retained) << message.topic;
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(retained_lines(broker, "order/#", count), std::set<std::string>(expected.begin(), expected.end()));

  client->request_stop();
  ASSERT_EQ(serving.wait_for(5s), std::future_status::ready);
  serving.get();
  client.reset();
  EXPECT_EQ(log.count("Очередь исходящих сообщений : запуск"), 1);
  EXPECT_EQ(log.count("Очередь исходящих сообщений : завершено"), 1);
}

TEST(PublishLoop, StopWakesLoopBlockedOnEmptyQueue) {
  // Broker away on purpose: neither the stop nor the teardown may depend on it.
  for (bool with_broker : {true, false}) {
    broker_t broker;
    if (!with_broker) broker.kill();
    temp_dir_t folder;
    auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
    fill_cache(*client, 3);
    client->connect("127.0.0.1", broker.port(), 60);
    std::atomic<bool> returned{false};
    std::thread serving([&] {
      client->start();
      returned = true;
    });
    // Let the loop reach its blocking pop; the stop must work either way.
    std::this_thread::sleep_for(100ms);
    const auto started = std::chrono::steady_clock::now();
    client->request_stop();
    EXPECT_TRUE(wait_until([&] { return returned.load(); }, 5s)) << "with_broker " << with_broker;
    serving.join();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "with_broker " << with_broker;
  }
}

TEST(PublishLoop, MessagePoppedAfterStopIsNotPublished) {
  broker_t broker;
  temp_dir_t folder;
  auto client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
  fill_cache(*client, 1);
  client->connect("127.0.0.1", broker.port(), 60);
  ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
  // Stopped before the loop runs: what is queued stays unpublished.
  client->outgoing_queue()->push(retained("late/one", "x"));
  client->request_stop();
  client->start();
  EXPECT_TRUE(retained_lines(broker, "late/#", 1).empty());
}

#if defined(__SANITIZE_THREAD__)
// libmosquitto takes its callback mutex and its outgoing-packet mutex in both
// orders: it calls on_publish while writing a packet, and the reconnection
// that on_disconnect asks for clears the packets while the callback mutex is
// held. In threaded mode both happen only on the library's own network thread
// (a publish from another thread merely queues the packet and wakes it), so
// the cycle cannot deadlock; only reports wholly inside the library are muted.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libmosquitto.so.1\n"; }
#endif
