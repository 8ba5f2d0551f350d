#pragma once

// A port on the real road: a cache database loaded from a JSON configuration
// by the real loader, a real broker client (connected to a real mosquitto
// when the test wants the broker up), the port's inbound queue, a broker link
// that takes what the port pushes onto its outgoing queue, and a clock the test hands in so
// interval waits are counted instead of slept.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <mosquittopp.h>

#include "config/configuration_loader.hpp"
#include "mqtt/modbus_client.hpp"
#include "mqtt/topics_table.hpp"
#include "port/modbus_port.hpp"
#include "support/mosquitto_library.hpp"
#include "support/broker.hpp"
#include "support/log_capture.hpp"
#include "support/modbus_slave.hpp"
#include "support/temp_dir.hpp"

namespace port_test {

using namespace std::chrono_literals;

// Replaces every "@NAME@" of the text.
inline std::string fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, value] : values) {
    const std::string key = "@" + name + "@";
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
      text.replace(at, key.size(), value);
    }
  }
  return text;
}

// Each interval wait is recorded and then held until the test allows one more
// pass or the port stops. Steady-clock readings come from a script, so a pass
// "takes" as long as the test says.
class handed_clock_t {
 public:
  port_clock_t clock() {
    port_clock_t clock = port_clock_t::system();
    clock.steady_seconds = [this] {
      std::lock_guard lock(mutex);
      if (readings.empty()) return last_reading;
      last_reading = readings.front();
      readings.pop_front();
      return last_reading;
    };
    clock.wall_seconds = [] { return int64_t{1'700'000'000}; };
    clock.interval_wait = [this](std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                                 std::chrono::seconds wait, const std::function<bool()>& stopped) {
      {
        std::lock_guard guard(mutex);
        waits.push_back(wait.count());
      }
      while (!stopped()) {
        {
          std::lock_guard guard(mutex);
          if (permits > 0) {
            --permits;
            return;
          }
        }
        cv.wait_for(lock, 10ms);
      }
    };
    return clock;
  }

  // Two readings per pass: its start and its end.
  void script_passes(const std::vector<std::pair<int64_t, int64_t>>& passes) {
    std::lock_guard lock(mutex);
    for (const auto& [begin, end] : passes) {
      readings.push_back(begin);
      readings.push_back(end);
    }
  }
  void allow_passes(int count) {
    std::lock_guard lock(mutex);
    permits += count;
  }
  std::vector<long> recorded_waits() {
    std::lock_guard lock(mutex);
    return waits;
  }
  // Waits until the port has reached its interval wait `count` times.
  bool wait_for_waits(std::size_t count) {
    return korvex_test::wait_until([&] { return recorded_waits().size() >= count; });
  }

 private:
  std::mutex mutex;
  std::deque<int64_t> readings;
  int64_t last_reading = 0;
  std::vector<long> waits;
  int permits = 0;
};

// Stands for the broker client on the port's side: says the broker is
// connected when the test does, and takes what the port pushed onto its
// outgoing queue, in order. The empty messages that clear a channel's error
// topic are left out unless asked for.
class published_values_t : public broker_link_t {
 public:
  bool is_connected() const override { return connected; }
  uint64_t connection_number() const override { return connection; }

  std::vector<std::pair<std::string, std::string>> received(bool with_error_clears = false) {
    std::lock_guard lock(mutex);
    take_pushed();
    if (with_error_clears) return messages;
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& message : messages) {
      if (!message.second.empty()) values.push_back(message);
    }
    return values;
  }
  std::vector<std::pair<int32_t, bool>> qos_and_retain() {
    std::lock_guard lock(mutex);
    take_pushed();
    return flags;
  }
  bool wait_for(std::size_t count, std::chrono::milliseconds deadline = 15s) {
    return korvex_test::wait_until([&] { return received().size() >= count; }, deadline);
  }

  std::atomic<bool> connected{false};
  std::atomic<uint64_t> connection{1};
  std::shared_ptr<port_queue_t> outgoing = std::make_shared<port_queue_t>();

 private:
  // Pops everything pushed so far: a marker pushed now comes out after it.
  // A port pushes message id 0 only.
  void take_pushed() {
    constexpr int32_t marker_id = -1;
    outgoing->push(mqtt_message_t{marker_id, "", {}, 0, false});
    for (mqtt_message_t message; outgoing->pop(message) && std::get<0>(message) != marker_id;) {
      const auto& payload = std::get<2>(message);
      messages.emplace_back(std::get<1>(message), std::string(payload.begin(), payload.end()));
      flags.emplace_back(std::get<3>(message), std::get<4>(message));
    }
  }

  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> messages;
  std::vector<std::pair<int32_t, bool>> flags;
};

using korvex_test::log_capture_t;
using korvex_test::modbus_faults_t;
using korvex_test::modbus_slave_t;
using korvex_test::modbus_transport_t;
using korvex_test::mosquitto_library_t;
using korvex_test::wait_until;

// Each test program of the port includes this header once.
inline const auto* const mosquitto_library = ::testing::AddGlobalTestEnvironment(new mosquitto_library_t);

// The cache database, the client and the port's queues for one configuration.
struct port_rig_t {
  explicit port_rig_t(const std::string& config_text, bool broker_up = true) {
    const auto config_path = folder.write("korvex.json", config_text);
    client = std::make_unique<modbus_client_t>(true, folder.path() / "korvex.cache");
    load_configuration(config_path, client->database_handle(), false, true, build_topics_table);
    if (broker_up) {
      broker = std::make_unique<korvex_test::broker_t>();
      client->connect("127.0.0.1", broker->port(), 60);
      connected = korvex_test::wait_until([&] { return client->is_connected(); });
    }
    published.connected = connected;
  }

  std::unique_ptr<modbus_port_t> make_port(int64_t connection_id = 1, port_clock_t clock = port_clock_t::system()) {
    port_options_t options;
    options.cache_path = folder.path() / "korvex.cache";
    options.clock = std::move(clock);
    return std::make_unique<modbus_port_t>(published, connection_id, inbound, published.outgoing, std::move(options));
  }

  void command(const std::string& topic, const std::string& payload) {
    inbound->push(mqtt_message_t{0, topic, modbus_vector_t(payload.begin(), payload.end()), 0, false});
  }

  korvex_test::temp_dir_t folder;
  std::unique_ptr<korvex_test::broker_t> broker;
  std::unique_ptr<modbus_client_t> client;
  bool connected = false;
  std::shared_ptr<port_queue_t> inbound = std::make_shared<port_queue_t>();
  published_values_t published;
};

// Runs the port's poll loop on a thread of its own; stops and joins it when
// the object goes away.
class running_port_t {
 public:
  explicit running_port_t(modbus_port_t& port) : port(port) {
    finished = std::async(std::launch::async, [this] { this->port.start(); });
  }
  ~running_port_t() { stop(); }
  // Requests the stop; true when start returned within the deadline.
  bool stop(std::chrono::milliseconds deadline = 10s) {
    port.request_stop();
    if (!finished.valid()) return true;
    const bool done = finished.wait_for(deadline) == std::future_status::ready;
    if (done) finished.get();
    return done;
  }
  bool returned() { return finished.wait_for(0s) == std::future_status::ready; }

 private:
  modbus_port_t& port;
  std::future<void> finished;
};

// One TCP line with one device ("c_1") whose channels the test gives.
inline const char* const tcp_line = R"({
  "ports": [{
    "connection": {"name": "line", "type": "base.tcp", "rto": 300, "sto": 300, "poll_interval": 5,
                   "poll_reconnect": @RECONNECT@, "tcp": {"url": "127.0.0.1", "port": @PORT@}},
    "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c", "repeat_on_error": @REPEAT@,
                 "poll_delay": @DEVICE_DELAY@}],
    "parameters": [{"cname": "c", "config": {"channels": [@CHANNELS@], "classes": [@CLASSES@]}}]
  }]
})";

inline std::string tcp_config(const modbus_slave_t& slave, const std::string& channels,
                              const std::string& classes = "", const std::string& repeat = "1",
                              const std::string& device_delay = "0", const std::string& reconnect = "false") {
  return fill(tcp_line, {{"PORT", std::to_string(slave.port())},
                         {"CHANNELS", channels},
                         {"CLASSES", classes},
                         {"REPEAT", repeat},
                         {"DEVICE_DELAY", device_delay},
                         {"RECONNECT", reconnect}});
}

inline int count_lines_starting(const korvex_test::log_capture_t& log, const std::string& prefix) {
  int count = 0;
  for (const auto& line : log.lines()) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

}  // namespace port_test
