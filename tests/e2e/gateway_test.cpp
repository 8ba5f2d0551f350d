// The korvex binary as a whole: a Modbus TCP slave on one side, mosquitto on
// the other, and the values, errors and commands that flow between them.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/broker.hpp"
#include "support/log_capture.hpp"
#include "support/modbus_slave.hpp"
#include "support/net.hpp"
#include "support/process.hpp"
#include "support/service_process.hpp"
#include "support/tcp_relay.hpp"
#include "support/temp_dir.hpp"

using namespace std::chrono_literals;
using korvex_test::broker_t;
using korvex_test::modbus_slave_t;
using korvex_test::service_process_t;
using korvex_test::temp_dir_t;
using korvex_test::wait_until;
using std::filesystem::path;

namespace {

constexpr auto deadline = 20s;

// boiler_1 lives on the slave; dead_9 on a TCP port where nobody listens.
// The long interval makes any value after the first pass a re-read.
std::string gateway_config(int broker_port, int slave_port, int dead_port, int poll_interval = 600) {
  return R"({"mqtt": {"url": "127.0.0.1", "port": )" + std::to_string(broker_port) + R"(, "keep_alive": 60},
  "log": {"max_size": 1, "max_files": 2},
  "ports": [
    {"connection": {"name": "plant", "type": "base.tcp", "rto": 300, "sto": 300, "poll_interval": )" + std::to_string(poll_interval) + R"(,
                    "tcp": {"url": "127.0.0.1", "port": )" + std::to_string(slave_port) + R"(}},
     "devices": [{"name": "boiler", "type": "mb-tcp", "sid": 1, "cname": "boiler"}],
     "parameters": [{"cname": "boiler", "config": {"channels": [
       {"name": "temperature", "value_type": "u16", "reg_type": "holding", "reg_addr": 0,
        "scale": 0.1, "format": "{:.1f}"},
       {"name": "setpoint", "value_type": "u16", "reg_type": "holding", "reg_addr": 1, "read_only": false},
       {"name": "state", "value_type": "u16", "reg_type": "holding", "reg_addr": 2,
        "bh_list": [{"name": "pump", "offset": 0}, {"name": "alarm", "offset": 1}]}]}}]},
    {"connection": {"name": "far", "type": "base.tcp", "rto": 200, "sto": 200, "poll_interval": 600,
                    "tcp": {"url": "127.0.0.1", "port": )" + std::to_string(dead_port) + R"(}},
     "devices": [{"name": "dead", "type": "mb-tcp", "sid": 9, "cname": "meter"}],
     "parameters": [{"cname": "meter", "config": {"channels": [
       {"name": "energy", "value_type": "u32", "reg_type": "input", "reg_addr": 0}]}}]}
  ]})";
}

// The retained messages the broker holds under /devices/#, by topic.
std::map<std::string, std::string> retained_values(const broker_t& broker, std::size_t count) {
  std::map<std::string, std::string> values;
  for (const auto& message : broker.collect("/devices/#", count, 3s)) {
    if (message.retained) values[message.topic] = message.payload;
  }
  return values;
}

const std::string closing_line = "Универсальный драйвер устройств MODBUS версии 1.0.11 : работа завершена";

}  // namespace

TEST(Gateway, PublishesValuesAndErrorsWritesCommandsAndStopsOnSigterm) {
  broker_t broker;
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, {215, 40, 0b01});
  temp_dir_t folder;
  const auto config = folder.write(
      "korvex.json", gateway_config(broker.port(), slave.port(), korvex_test::free_loopback_port()));
  service_process_t gateway(folder.path(), {"-c", config.string(), "-v"});

  const std::map<std::string, std::string> first_pass = {
      {"/devices/boiler_1/controls/temperature", "21.5"},
      {"/devices/boiler_1/controls/setpoint", "40"},
      {"/devices/boiler_1/controls/state_pump", "1"},
      {"/devices/boiler_1/controls/state_alarm", "0"},
      {"/devices/meter_9/controls/energy/meta/error", "r"},
  };
  std::map<std::string, std::string> values;
  EXPECT_TRUE(wait_until([&] { return (values = retained_values(broker, first_pass.size())) == first_pass; },
                         deadline))
      << testing::PrintToString(values) << "\n" << gateway.output_text();

  // The command is written to the slave and read back at once, long before
  // the next pass is due.
  korvex_test::mqtt_subscriber_t subscriber(broker, {"/devices/boiler_1/controls/setpoint"});
  ASSERT_TRUE(broker.wait_for_subscription("/devices/boiler_1/controls/setpoint/on")) << broker.log();
  broker.publish("/devices/boiler_1/controls/setpoint/on", "55");
  EXPECT_TRUE(wait_until([&] { return slave.holding_registers(1, 1) == std::vector<uint16_t>{55}; }, deadline));
  // The subscription first hands over the retained 40.
  EXPECT_TRUE(wait_until(
      [&] {
        const auto seen = subscriber.wait_for(1, 0ms);
        return !seen.empty() && seen.back().payload == "55";
      },
      deadline))
      << gateway.output_text();
  EXPECT_EQ(gateway.count("1::boiler_1::setpoint : 55 : установка значения : успешно"), 1) << gateway.output_text();

  gateway.send_signal(SIGTERM);
  EXPECT_EQ(gateway.wait_exit(deadline), 1);
  EXPECT_EQ(gateway.count("Termination request (15) : завершение работы"), 1);
  EXPECT_EQ(gateway.count("Работа клиента завершена"), 1);
  const auto messages = gateway.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), closing_line);
}

// The broker hands a retained command over right at the subscription, which
// may come before the gateway has its ports: it must reach the device.
TEST(Gateway, WritesACommandRetainedBeforeItStarted) {
  broker_t broker;
  broker.publish("/devices/boiler_1/controls/setpoint/on", "33", true);
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, {215, 40, 0});
  temp_dir_t folder;
  const auto config = folder.write(
      "korvex.json", gateway_config(broker.port(), slave.port(), korvex_test::free_loopback_port(), 1));
  service_process_t gateway(folder.path(), {"-c", config.string(), "-v"});
  EXPECT_TRUE(wait_until([&] { return slave.holding_registers(1, 1) == std::vector<uint16_t>{33}; }, deadline))
      << gateway.output_text();
  EXPECT_TRUE(gateway.wait_for("1::boiler_1::setpoint : 33 : установка значения : успешно", deadline)) << gateway.output_text();

  gateway.send_signal(SIGTERM);
  EXPECT_EQ(gateway.wait_exit(deadline), 1);
}

namespace {

// Another client that connects with the gateway's id takes its session over:
// the broker drops the gateway's connection and keeps running, its retained
// messages still in memory.
void take_session_over(broker_t& broker) {
  const std::string log = broker.log();
  const std::string marker = " as korvex#";
  const auto at = log.rfind(marker);
  ASSERT_NE(at, std::string::npos) << log;
  const auto id_at = at + marker.size() - std::string("korvex#").size();
  const std::string id = log.substr(id_at, log.find(' ', id_at) - id_at);
  korvex_test::run_process(broker.client("mosquitto_pub", {"-i", id, "-t", "/takeover", "-n"}), 10s);
}

}  // namespace

// The broker hands its stored command over at every subscription, after a
// restart or after a dropped connection alike. One that could not be written
// (the device was away) is written when the broker hands it over again; one
// that was written is not written again, where it would undo what changed the
// register since: a live command, published without retain so the broker
// still holds the older one, or the device's own change.
TEST(Gateway, RetainedCommandIsWrittenOnceWhenTheBrokerHandsItOverAgain) {
  const struct {
    const char* name;
    void (*hand_over_again)(broker_t&);
  } cases[] = {
      {"broker restart", [](broker_t& broker) { broker.restart(); }},
      {"dropped connection", take_session_over},
  };
  const std::string command = "/devices/boiler_1/controls/setpoint/on";
  const std::string subscribed = "Брокер : подписка на 1 топик : No error. (0)";
  const std::string skipped = "Брокер : " + command + " : сохранённая команда уже выполнена";
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    broker_t broker({.keeps_retained = true});
    broker.publish(command, "26", true);
    modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
    slave.set_holding_registers(0, {215, 40, 0});
    slave.set_faults({.no_reply = true});
    temp_dir_t folder;
    const auto config = folder.write(
        "korvex.json", gateway_config(broker.port(), slave.port(), korvex_test::free_loopback_port()));
    service_process_t gateway(folder.path(), {"-c", config.string(), "-v", "-d"});
    ASSERT_TRUE(gateway.wait_for("1::boiler_1::setpoint : 26 : установка значения : ошибка", deadline))
        << gateway.output_text();
    slave.set_faults({});
    test_case.hand_over_again(broker);
    EXPECT_TRUE(wait_until([&] { return slave.holding_registers(1, 1) == std::vector<uint16_t>{26}; }, deadline))
        << gateway.output_text();

    broker.publish(command, "30");
    ASSERT_TRUE(gateway.wait_for("1::boiler_1::setpoint : 30 : установка значения : успешно", deadline))
        << gateway.output_text();
    test_case.hand_over_again(broker);
    ASSERT_TRUE(gateway.wait_for(subscribed, deadline, 3)) << gateway.output_text();
    EXPECT_TRUE(gateway.wait_for(skipped, deadline)) << gateway.output_text();
    EXPECT_EQ(slave.holding_registers(1, 1), std::vector<uint16_t>{30});
    EXPECT_EQ(gateway.count("1::boiler_1::setpoint : 26 : установка значения : успешно"), 1) << gateway.output_text();

    // Published while the gateway is subscribed, so it comes as a live
    // command, and the broker keeps it.
    broker.publish(command, "70", true);
    ASSERT_TRUE(gateway.wait_for("1::boiler_1::setpoint : 70 : установка значения : успешно", deadline))
        << gateway.output_text();
    slave.set_holding_registers(1, {12});
    test_case.hand_over_again(broker);
    ASSERT_TRUE(gateway.wait_for(subscribed, deadline, 4)) << gateway.output_text();
    EXPECT_TRUE(gateway.wait_for(skipped, deadline, 2)) << gateway.output_text();
    EXPECT_EQ(slave.holding_registers(1, 1), std::vector<uint16_t>{12});
    EXPECT_EQ(gateway.count("1::boiler_1::setpoint : 70 : установка значения : успешно"), 1) << gateway.output_text();
  }
}

// Which command the broker hands over again at a restart or a reconnection is
// written, and which is skipped, after what the topic saw before. A
// handed-over command is owed to the device until it is written or another
// command is; a live command is always written.
TEST(Gateway, HandedOverCommandIsWrittenOnlyWhileNothingWasWrittenSince) {
  // path_cut_retained: the gateway's path to the broker is cut while the
  // broker stays up, a retained command is published meanwhile, and the
  // broker hands it over once the path is back.
  enum class act_t { device_answers, live, live_retained, panel, broker_restart, path_cut_retained };
  struct step_t {
    act_t act;
    uint16_t value = 0;
  };
  const struct {
    const char* name;
    // Stored at the broker before the gateway starts, with the device silent
    // so that its first write fails; or none.
    std::optional<uint16_t> retained_at_start;
    std::vector<step_t> steps;
    uint16_t setpoint_at_end;
    std::map<uint16_t, int> writes;  // successful writes by value
  } cases[] = {
      {"failed handover, then a live command: the device keeps it, at every handover after",
       26,
       {{act_t::device_answers}, {act_t::live, 30}, {act_t::broker_restart}, {act_t::broker_restart}},
       30,
       {{26, 0}, {30, 1}}},
      {"failed handover with nothing after: written at the next, then not again",
       44,
       {{act_t::device_answers}, {act_t::broker_restart}, {act_t::panel, 12}, {act_t::broker_restart}},
       12,
       {{44, 1}}},
      {"handover skipped as the last written is still the last handover",
       std::nullopt,
       {{act_t::live_retained, 26}, {act_t::broker_restart}, {act_t::live, 30}, {act_t::broker_restart}},
       30,
       {{26, 1}, {30, 1}}},
      {"the same live command twice, the panel between",
       std::nullopt,
       {{act_t::live, 26}, {act_t::panel, 22}, {act_t::live, 26}},
       26,
       {{26, 2}}},
      {"a command retained while the path was cut is a new handover: written despite the live one before",
       std::nullopt,
       {{act_t::live, 30}, {act_t::path_cut_retained, 50}},
       50,
       {{30, 1}, {50, 1}}},
  };
  const std::string command = "/devices/boiler_1/controls/setpoint/on";
  const std::string subscribed = "Брокер : подписка на 1 топик : No error. (0)";
  const std::string skipped = "Брокер : " + command + " : сохранённая команда уже выполнена";
  const std::string result_prefix = "1::boiler_1::setpoint : ";
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    broker_t broker({.keeps_retained = true});
    korvex_test::tcp_relay_t path(broker.port());
    modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
    slave.set_holding_registers(0, {215, 40, 0});
    if (test_case.retained_at_start) {
      broker.publish(command, std::to_string(*test_case.retained_at_start), true);
      slave.set_faults({.no_reply = true});
    }
    temp_dir_t folder;
    const auto config = folder.write(
        "korvex.json", gateway_config(path.port(), slave.port(), korvex_test::free_loopback_port()));
    service_process_t gateway(folder.path(), {"-c", config.string(), "-v", "-d"});

    // Every command handed to the port ends in a result line or a skip line.
    const auto handled = [&] {
      int lines = 0;
      for (const auto& line : gateway.messages()) {
        if (line == skipped ||
            (line.starts_with(result_prefix) && line.find(" : установка значения : ") != std::string::npos)) {
          ++lines;
        }
      }
      return lines;
    };
    // The gateway's only warning about the broker is the line of a lost
    // connection, whatever the loss was.
    const auto losses = [&] {
      std::istringstream lines(gateway.output_text());
      int count = 0;
      for (std::string line; std::getline(lines, line);) count += line.find("[warning] Брокер : ") != std::string::npos;
      return count;
    };
    int subscriptions = 1;
    // The gateway logs its subscription when it asks for it; a command
    // published before the broker has it is dropped. The broker's own record
    // is counted since its last start.
    int broker_subscriptions = 1;
    int commands = test_case.retained_at_start ? 1 : 0;
    const auto settle = [&] {
      return gateway.wait_for(subscribed, deadline, subscriptions) &&
             broker.wait_for_subscription(command, broker_subscriptions, deadline) &&
             wait_until([&] { return handled() == commands; }, deadline);
    };
    ASSERT_TRUE(settle()) << gateway.output_text();
    for (const auto& [act, value] : test_case.steps) {
      switch (act) {
        case act_t::device_answers: slave.set_faults({}); break;
        case act_t::live: broker.publish(command, std::to_string(value)); ++commands; break;
        // The broker keeps it, but the gateway, subscribed, gets it live.
        case act_t::live_retained: broker.publish(command, std::to_string(value), true); ++commands; break;
        case act_t::panel: slave.set_holding_registers(1, {value}); break;
        case act_t::broker_restart:
          broker.restart();
          ++subscriptions;
          broker_subscriptions = 1;
          ++commands;
          break;
        case act_t::path_cut_retained: {
          const int lost = losses();
          path.cut();
          ASSERT_TRUE(wait_until([&] { return losses() > lost; }, deadline)) << gateway.output_text();
          // At QoS 1 the publisher returns once the broker has stored it.
          broker.publish(command, std::to_string(value), true, 1);
          path.restore();
          ++subscriptions;
          ++broker_subscriptions;
          ++commands;
          break;
        }
      }
      ASSERT_TRUE(settle()) << gateway.output_text();
    }
    EXPECT_EQ(slave.holding_registers(1, 1), std::vector<uint16_t>{test_case.setpoint_at_end}) << gateway.output_text();
    for (const auto& [value, writes] : test_case.writes) {
      EXPECT_EQ(gateway.count(result_prefix + std::to_string(value) + " : установка значения : успешно"), writes)
          << value;
    }
  }
}

// Commands for a device that never answers drain one per read timeout. A
// flood of large ones once grew the gateway until the kernel killed it:
// payloads that no value can be are refused before they are copied. Memory is
// read from /proc, with a generous bound: kept, the flood would add 100 MiB.
TEST(Gateway, CommandFloodKeepsMemoryBounded) {
  // Freed payloads would otherwise stay in AddressSanitizer's quarantine and
  // count as the gateway's memory.
  const char* const options = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(options != nullptr ? options : "") + ":quarantine_size_mb=0").c_str(), 1);
  broker_t broker;
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_faults({.no_reply = true});
  temp_dir_t folder;
  const auto config = folder.write(
      "korvex.json", gateway_config(broker.port(), slave.port(), korvex_test::free_loopback_port()));
  service_process_t gateway(folder.path(), {"-c", config.string(), "-v"});
  const std::string command = "/devices/boiler_1/controls/setpoint/on";
  // The gateway's own subscribe line comes before the broker has it; a
  // command published in between would be dropped.
  ASSERT_TRUE(broker.wait_for_subscription(command)) << gateway.output_text();
  const auto peak_kib = [&] {
    std::istringstream status(korvex_test::read_file("/proc/" + std::to_string(gateway.pid()) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
    }
    return -1L;
  };
  const long peak_before = peak_kib();
  ASSERT_GT(peak_before, 0);
  broker.flood(command, std::string(1 << 20, '7'), 100);
  EXPECT_TRUE(gateway.wait_for("Брокер : " + command + " : команда отклонена : 1048576 байт, допустимо не более 256",
                               deadline, 100));
  EXPECT_LT(peak_kib() - peak_before, 64 * 1024);
}

// A broker that keeps retained messages (as Debian's does) holds every
// channel's "r" while a device is away. The device answers again and the
// broker stops right after the first channel's error topic was cleared: the
// other clears are lost with the connection. Once the broker is back, the
// first values clear every error topic again, so no "r" outlives the failure.
TEST(Gateway, ErrorTopicsAreClearedAgainOnEveryNewBrokerConnection) {
  constexpr int channel_count = 10;
  broker_t broker({.keeps_retained = true});
  std::string channels;
  for (int i = 0; i < channel_count; ++i) {
    channels += std::string(i > 0 ? "," : "") + R"({"name": "c)" + std::to_string(i) +
                R"(", "value_type": "u16", "reg_type": "holding", "reg_addr": )" + std::to_string(i) + "}";
  }
  const std::string error_filter = "/devices/dev_1/controls/+/meta/error";
  const auto kept_errors = [&] { return broker.collect(error_filter, channel_count, 1s).size(); };
  // What the slave's reply hook uses is declared before the slave.
  std::optional<korvex_test::mqtt_subscriber_t> errors;
  std::atomic<int> answered{0};
  std::atomic<bool> broker_stopped{false};
  modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0, std::vector<uint16_t>(channel_count, 5));
  slave.set_faults({.no_reply = true});
  temp_dir_t folder;
  const auto config = folder.write("korvex.json", R"({"mqtt": {"url": "127.0.0.1", "port": )" +
                                                      std::to_string(broker.port()) + R"(, "keep_alive": 60},
      "ports": [{"connection": {"name": "line", "type": "base.tcp", "rto": 200, "sto": 200, "poll_interval": 1,
                 "tcp": {"url": "127.0.0.1", "port": )" + std::to_string(slave.port()) + R"(}},
      "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "dev"}],
      "parameters": [{"cname": "dev", "config": {"channels": [)" + channels + "]}}]}]}");
  service_process_t gateway(folder.path(), {"-c", config.string(), "-v"});
  ASSERT_TRUE(wait_until([&] { return kept_errors() == channel_count; }, deadline)) << gateway.output_text();

  errors.emplace(broker, std::vector<std::string>{error_filter});
  // The second answered read waits until the first clear has reached the
  // broker, then stops it: the values and clears of this pass that follow
  // go nowhere.
  slave.set_faults({.before_reply = [&](const korvex_test::bytes_t&) {
    if (++answered != 2) return;
    wait_until([&] {
      const auto seen = errors->wait_for(SIZE_MAX, 0ms);
      return std::any_of(seen.begin(), seen.end(), [](const auto& message) { return message.payload.empty(); });
    }, deadline);
    broker.stop();
    broker_stopped = true;
  }});
  ASSERT_TRUE(wait_until([&] { return broker_stopped.load(); }, deadline)) << gateway.output_text();
  ASSERT_TRUE(gateway.wait_for("Порт 1 : line : ожидание подключения к брокеру", deadline)) << gateway.output_text();
  slave.set_faults({});
  // Time for the gateway to drop what that pass queued for the lost
  // connection. Cut short, the old clears would reach the new broker and the
  // test would pass without the clears being repeated; it cannot fail a
  // gateway that repeats them.
  std::this_thread::sleep_for(2s);
  broker.start();
  EXPECT_TRUE(wait_until([&] { return kept_errors() == 0; }, deadline)) << gateway.output_text();

  gateway.send_signal(SIGTERM);
  EXPECT_EQ(gateway.wait_exit(deadline), 1);
}
