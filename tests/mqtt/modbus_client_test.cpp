#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <mosquittopp.h>

#include "config/cache_database.hpp"
#include "support/mosquitto_library.hpp"
#include "support/log_capture.hpp"
#include "mqtt/modbus_client.hpp"
#include "mqtt/topics_table.hpp"
#include "support/broker.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::log_capture_t;
using korvex_test::temp_dir_t;
using korvex_test::wait_until;

namespace {

using korvex_test::mosquitto_library_t;
const auto* const mosquitto_library = ::testing::AddGlobalTestEnvironment(new mosquitto_library_t);

// A client whose cache database holds the given number of connections and
// no devices, as the loader leaves it.
struct client_rig_t {
  explicit client_rig_t(int connections) {
    auto database = client->database_handle();
    create_cache_schema(*database);
    for (int i = 0; i < connections; ++i) {
      database->exec(
          "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect) "
          "VALUES ('line', 'base.tcp', 500, 500, 60, 0)");
    }
    build_topics_table(database);
  }
  // Connects and waits for the broker's answer.
  void connect(const broker_t& broker) {
    EXPECT_EQ(client->connect("127.0.0.1", broker.port(), 60), MOSQ_ERR_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return client->is_connected(); }));
  }

  temp_dir_t folder;
  std::unique_ptr<modbus_client_t> client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
};

mqtt_message_t retained(const std::string& topic, const std::string& payload) {
  return {0, topic, modbus_vector_t(payload.begin(), payload.end()), 0, true};
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

// What ports hand over goes out retained and in order, while start keeps
// the calling thread between its two lines until the stop.
TEST(PublishValue, DeliversRetainedAndInOrderWhileStartWaits) {
  broker_t broker;
  log_capture_t log;
  client_rig_t rig(2);
  rig.connect(broker);
  auto serving = std::async(std::launch::async, [&] { rig.client->start(); });
  korvex_test::mqtt_subscriber_t subscriber(broker, {"order/#"});
  broker_link_t& link = *rig.client;
  constexpr int count = 60;
  std::vector<std::string> expected;
  // Two producers taking turns, as two ports would.
  for (int first : {0, 1}) {
    std::thread([&, first] {
      for (int i = first; i < count; i += 2) {
        link.publish_value(retained("order/" + std::to_string(i), "v" + std::to_string(i)));
      }
    }).join();
    for (int i = first; i < count; i += 2) expected.push_back("order/" + std::to_string(i) + " v" + std::to_string(i));
  }
  const auto lines_of = [](const std::vector<korvex_test::received_message_t>& messages) {
    std::vector<std::string> lines;
    for (const auto& message : messages) {
      lines.push_back(message.topic + " " + message.payload + (message.retained ? "" : " (not retained)"));
    }
    return lines;
  };
  EXPECT_EQ(lines_of(subscriber.wait_for(count, 15s)), expected);
  auto kept = lines_of(broker.collect("order/#", count, 5s));
  std::sort(kept.begin(), kept.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kept, expected) << "the broker keeps them retained";

  rig.client->request_stop();
  ASSERT_EQ(serving.wait_for(5s), std::future_status::ready);
  serving.get();
  rig.client.reset();
  EXPECT_EQ(log.count("Очередь исходящих сообщений : запуск"), 1);
  EXPECT_EQ(log.count("Очередь исходящих сообщений : завершено"), 1);
}

// Nothing a port hands over goes out once the client stops; before the stop
// it arrives retained.
TEST(PublishValue, NothingIsPublishedAfterTheStop) {
  broker_t broker;
  client_rig_t rig(1);
  rig.connect(broker);
  broker_link_t& link = *rig.client;
  link.publish_value(retained("early/one", "e"));
  const auto early = broker.collect("early/#", 1, 5s);
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0].payload, "e");
  rig.client->request_stop();
  link.publish_value(retained("late/one", "y"));
  EXPECT_TRUE(broker.collect("late/#", 1, 5s).empty());
}

namespace {

// Steady time that moves only by what the client waits, so a minute of
// outage passes at once. Waits beyond `allowed` are held until the test
// allows more or the client stops.
struct virtual_clock_t {
  port_clock_t clock() {
    port_clock_t clock = port_clock_t::system();
    clock.steady_seconds = [this] {
      std::lock_guard guard(mutex);
      return now;
    };
    clock.interval_wait = [this](std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                                 std::chrono::seconds wait, const std::function<bool()>& stopped) {
      {
        std::lock_guard guard(mutex);
        waits.push_back(wait.count());
        now += wait.count();
      }
      while (!stopped() && recorded().size() > allowed) cv.wait_for(lock, 10ms);
    };
    return clock;
  }
  std::vector<long> recorded() {
    std::lock_guard guard(mutex);
    return waits;
  }
  bool reached(std::size_t count) {
    return wait_until([&] { return recorded().size() >= count; }, 20s);
  }

  std::atomic<std::size_t> allowed{0};
  std::mutex mutex;
  int64_t now = 0;
  std::vector<long> waits;
};

}  // namespace

// Attempts against a broker that is down: a second apart for the first
// minute of the outage, then doubling up to half a minute; after the broker
// was reached again, a new loss starts at a second again.
TEST(BrokerConnection, RetriesEverySecondForAMinuteThenLessOften) {
  broker_t broker;
  broker.kill();
  virtual_clock_t clock;  // outlives the client's network thread
  client_rig_t rig(1);
  std::vector<long> schedule(60, 1);
  schedule.insert(schedule.end(), {2, 4, 8, 16, 30, 30});
  clock.allowed = schedule.size() - 1;
  rig.client->connect("127.0.0.1", broker.port(), 60, clock.clock());
  ASSERT_TRUE(clock.reached(schedule.size()));
  EXPECT_EQ(clock.recorded(), schedule);

  broker.restart();
  clock.allowed = schedule.size();
  ASSERT_TRUE(wait_until([&] { return rig.client->is_connected(); }, 10s));
  broker.kill();
  ASSERT_TRUE(clock.reached(schedule.size() + 1));
  EXPECT_EQ(clock.recorded().back(), 1);
}
