#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
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

struct modbus_client_test_access_t {
  static std::shared_ptr<message_queue_t> outgoing(modbus_client_t& client) { return client.outgoing; }
  // Before start: the ports and the publish loop take the queue then.
  static void replace_outgoing(modbus_client_t& client, std::shared_ptr<message_queue_t> queue) {
    client.outgoing = std::move(queue);
  }
  static int64_t unwritten(modbus_client_t& client) { return client.unwritten; }
  static void set_unwritten(modbus_client_t& client, int64_t count) { client.unwritten = count; }
  // What the library's network thread calls once it wrote a message.
  static void report_written(modbus_client_t& client, int mid) { client.on_publish(mid); }
  static constexpr int64_t unwritten_limit = modbus_client_t::unwritten_limit;
};
using client_access = modbus_client_test_access_t;

namespace {

using korvex_test::mosquitto_library_t;
const auto* const mosquitto_library = ::testing::AddGlobalTestEnvironment(new mosquitto_library_t);

// A loop that misses its stop or its wake-up waits for ever; how soon one
// that gets it returns is up to the machine's scheduler.
constexpr auto stop_deadline = 15s;

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
  // start, and with it the publish loop, on a thread of its own.
  std::future<void> serve() {
    return std::async(std::launch::async, [this] { client->start(); });
  }
  std::shared_ptr<message_queue_t> outgoing() const { return client_access::outgoing(*client); }

  temp_dir_t folder;
  std::unique_ptr<modbus_client_t> client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
};

// An outgoing queue that tells how many threads wait inside its pop.
struct observed_queue_t : message_queue_t {
  using message_queue_t::message_queue_t;
  int32_t waiting() {
    std::lock_guard lock(mutex);
    return waiters;
  }
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

// Two ports pushing at once: each one's values reach the broker in its own
// order, retained, and an empty payload goes out with length 0, which clears
// what the broker kept. The stop ends the loop while its pop waits on an
// empty queue, and nothing pushed after it is published.
TEST(PublishLoop, PushOrderEmptyPayloadAndStopWhileWaiting) {
  broker_t broker;
  log_capture_t log;
  client_rig_t rig(2);
  rig.connect(broker);
  auto serving = rig.serve();
  korvex_test::mqtt_subscriber_t subscriber(broker, {"order/#"});
  const auto outgoing = rig.outgoing();
  constexpr int count = 300;
  std::vector<std::thread> ports;
  for (const std::string port : {"a", "b"}) {
    ports.emplace_back([&, port] {
      for (int i = 0; i < count; ++i) outgoing->push(retained("order/" + port, std::to_string(i)));
      outgoing->push(retained("order/" + port, ""));
    });
  }
  for (auto& port : ports) port.join();
  std::map<std::string, std::vector<std::string>> seen;
  for (const auto& message : subscriber.wait_for(2 * (count + 1), 15s)) {
    seen[message.topic].push_back(message.payload + (message.retained ? "" : " (not retained)"));
  }
  std::vector<std::string> expected;
  for (int i = 0; i < count; ++i) expected.push_back(std::to_string(i));
  expected.push_back("");
  EXPECT_EQ(seen["order/a"], expected);
  EXPECT_EQ(seen["order/b"], expected);
  EXPECT_TRUE(broker.collect("order/#", 1, 1s).empty()) << "the empty retained messages cleared both topics";

  // From another thread, as the signal thread asks for it.
  auto stopping = std::async(std::launch::async, [&] { rig.client->request_stop(); });
  const bool returned = serving.wait_for(stop_deadline) == std::future_status::ready;
  EXPECT_TRUE(returned) << "start returns while the loop's pop waits on an empty queue";
  // Otherwise the pop would wait for ever; a message lets it see the stop.
  if (!returned) outgoing->push(retained("order/late", "x"));
  stopping.get();
  serving.get();
  outgoing->push(retained("late/one", "y"));
  rig.client.reset();
  EXPECT_TRUE(broker.collect("late/#", 1, 2s).empty());
  EXPECT_EQ(log.count("Очередь исходящих сообщений : запуск"), 1);
  EXPECT_EQ(log.count("Очередь исходящих сообщений : завершено"), 1);
}

// A broker that stops reading keeps its socket open. The library is handed
// no more than its bound of unwritten values and the rest waits in the
// queue; the stop still ends the loop at once, and what the loop had not
// taken is never published.
TEST(PublishLoop, StalledBrokerLeavesTheBacklogInTheQueue) {
  broker_t broker;
  client_rig_t rig(1);
  rig.connect(broker);
  auto serving = rig.serve();
  const auto outgoing = rig.outgoing();
  ASSERT_EQ(kill(broker.pid(), SIGSTOP), 0);
  // Large enough that the socket buffers take only a few hundred of them.
  const std::string payload(16 * 1024, 'p');
  constexpr int count = 2000;
  for (int i = 0; i < count; ++i) outgoing->push(retained("bulk/" + std::to_string(i), payload));
  const auto unwritten = [&] { return client_access::unwritten(*rig.client); };
  EXPECT_TRUE(wait_until([&] { return unwritten() == client_access::unwritten_limit; }));
  EXPECT_FALSE(wait_until([&] { return unwritten() > client_access::unwritten_limit; }, 500ms));
  rig.client->request_stop();
  EXPECT_EQ(serving.wait_for(stop_deadline), std::future_status::ready);
  // The stopped queue still hands out its backlog: a message popped after the
  // stop must be dropped, not handed to the library.
  EXPECT_EQ(unwritten(), client_access::unwritten_limit);
  kill(broker.pid(), SIGCONT);
  rig.client.reset();
  const auto kept = broker.collect("bulk/#", count, 2s);
  EXPECT_LT(kept.size(), static_cast<std::size_t>(count) - 100);
  EXPECT_TRUE(std::none_of(kept.begin(), kept.end(), [](const auto& message) { return message.topic == "bulk/1999"; }));
}

// The library's network thread wakes a publish loop that waits for room in
// the library. It must never be held in turn until the next value comes: no
// keep-alive, command or write would get through meanwhile. The wake comes
// while the loop waits on an empty queue, with the library at its bound.
TEST(PublishLoop, WakeFromTheNetworkThreadNeverWaitsForAValue) {
  client_rig_t rig(1);
  const auto queue = std::make_shared<observed_queue_t>();
  client_access::replace_outgoing(*rig.client, queue);
  auto serving = rig.serve();
  // The waiter count goes up under the lock that the pop's wait releases.
  ASSERT_TRUE(wait_until([&] { return queue->waiting() == 1; }));
  client_access::set_unwritten(*rig.client, client_access::unwritten_limit);
  auto wake = std::async(std::launch::async, [&] { client_access::report_written(*rig.client, 1); });
  const bool returned = wake.wait_for(stop_deadline) == std::future_status::ready;
  EXPECT_TRUE(returned) << "the wake waited for a value";
  if (!returned) queue->push(retained("release/wake", "x"));
  wake.get();
  EXPECT_EQ(client_access::unwritten(*rig.client), client_access::unwritten_limit - 1);
  rig.client->request_stop();
  EXPECT_EQ(serving.wait_for(stop_deadline), std::future_status::ready);
}

// A broker that stops reading until the keep-alive runs out: the library
// holds its bound of unwritten values when the connection is lost, drops
// them when it connects again and never reports them written. The loop must
// not go on waiting for that room: values flow again once the broker is back.
TEST(PublishLoop, ValuesFlowAgainAfterAStallEndsInAKeepAliveLoss) {
  broker_t broker;
  client_rig_t rig(1);
  // The shortest keep-alive the library takes: the loss comes some seconds
  // into the stall.
  EXPECT_EQ(rig.client->connect("127.0.0.1", broker.port(), 5), MOSQ_ERR_SUCCESS);
  ASSERT_TRUE(wait_until([&] { return rig.client->is_connected(); }));
  auto serving = rig.serve();
  // Whatever ends the test stops the loop first: a failed assertion would
  // otherwise leave it waiting for room, and the test held until it is
  // killed, its failure unsaid.
  const struct stop_at_end_t {
    modbus_client_t& client;
    ~stop_at_end_t() { client.request_stop(); }
  } stop_at_end{*rig.client};
  const auto outgoing = rig.outgoing();
  ASSERT_EQ(kill(broker.pid(), SIGSTOP), 0);
  // Large enough that the socket buffers take only a few hundred of them.
  const std::string payload(16 * 1024, 'p');
  for (int i = 0; i < 2000; ++i) outgoing->push(retained("bulk/" + std::to_string(i), payload));
  EXPECT_TRUE(wait_until([&] { return client_access::unwritten(*rig.client) == client_access::unwritten_limit; }));
  const bool lost = wait_until([&] { return !rig.client->is_connected(); }, 30s);
  // "T" while the broker is stopped, read before it goes on.
  const std::string broker_stat = korvex_test::read_file("/proc/" + std::to_string(broker.pid()) + "/stat");
  const std::string broker_state = broker_stat.substr(broker_stat.rfind(") ") + 2, 1);
  ASSERT_EQ(kill(broker.pid(), SIGCONT), 0);
  ASSERT_TRUE(lost) << "the keep-alive ran out; still connected, " << client_access::unwritten(*rig.client)
                    << " unwritten, broker in state " << broker_state;
  ASSERT_TRUE(wait_until([&] { return rig.client->is_connected(); }, 30s));
  korvex_test::mqtt_subscriber_t subscriber(broker, {"after/#"});
  outgoing->push(retained("after/value", "2"));
  const auto seen = subscriber.wait_for(1, 30s);
  EXPECT_TRUE(seen.size() == 1 && seen[0].payload == "2");
  rig.client->request_stop();
  EXPECT_EQ(serving.wait_for(stop_deadline), std::future_status::ready);
}
