#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "port/modbus_port.hpp"
#include "port_rig.hpp"
#include "support/modbus_slave.hpp"
#include "support/net.hpp"

using namespace port_test;

namespace {

const char* const temp_channel = R"({"name": "temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 0})";
const std::string temp_topic = "/devices/c_1/controls/temp";

// One serial line with one RTU device ("c_1", slave id 1) and its one channel.
std::string rs_config(const std::string& line) {
  return fill(R"({
    "ports": [{
      "connection": {"name": "rs", "type": "base.rs", "rto": 300, "sto": 300, "poll_interval": 5,
                     "rs": {"com_port": "@LINE@", "baud_rate": 9600, "com_options": "8N1"}},
      "devices": [{"name": "dev", "type": "mb-rtu", "sid": 1, "cname": "c"}],
      "parameters": [{"cname": "c", "config": {"channels": [@CHANNEL@]}}]
    }]
  })",
              {{"LINE", line}, {"CHANNEL", temp_channel}});
}

}  // namespace

// Plain values, bit fields and composite members of one pass, each on its
// own topic, retained with QoS 0.
TEST(PortPoll, OnePassPublishesPlainBitFieldAndCompositeChannels) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {215, 0xFFFE, 0x0001, 0x8000, 0x0000, 0x0000, 7, 0x3FC0, 0x0000, 0, 0x0909});
  const std::string channels = R"(
    {"name": "temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 0, "scale": 0.1},
    {"name": "neg", "value_type": "i16", "reg_type": "holding", "reg_addr": 1},
    {"name": "status", "value_type": "u16", "reg_type": "holding", "reg_addr": 2,
     "bh_list": [{"name": "ready", "offset": 0}, {"name": "fault", "offset": 15, "inverted": true},
                 {"name": "flip", "offset": 0, "inverted": true}, {"name": "same", "offset": 0},
                 {"name": "far", "offset": 64}]},
    {"name": "wide", "value_type": "u48", "reg_type": "holding", "reg_addr": 3,
     "bh_list": [{"name": "top", "offset": 47}, {"name": "low", "offset": 0}]},
    {"name": "m", "value_type": "pair", "reg_type": "holding", "reg_addr": 6},
    {"name": "small", "value_type": "u8", "reg_type": "holding", "reg_addr": 10,
     "bh_list": [{"name": "x", "offset": 0}]})";
  const std::string classes = R"({"value_type": "pair", "length": 6, "channels": [
      {"name": "a", "value_type": "u16", "offset": 0},
      {"name": "b", "value_type": "float32", "offset": 2, "prefix": false},
      {"name": "beyond", "value_type": "u16", "offset": 8}]})";
  log_capture_t log;
  port_rig_t rig(tcp_config(slave, channels, classes));
  ASSERT_TRUE(rig.connected);
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"/devices/c_1/controls/temp", "21.50"},
      {"/devices/c_1/controls/neg", "-2"},
      {"/devices/c_1/controls/status_ready", "1"},
      {"/devices/c_1/controls/status_fault", "1"},
      {"/devices/c_1/controls/status_flip", "0"},
      {"/devices/c_1/controls/status_same", "1"},  // the register's own bit, not the flipped one
      {"/devices/c_1/controls/status_far/meta/error", "r"},
      {"/devices/c_1/controls/wide_top", "1"},
      {"/devices/c_1/controls/wide_low", "0"},
      {"/devices/c_1/controls/m_a", "7"},
      {"/devices/c_1/controls/m", "1.50"},
      {"/devices/c_1/controls/m_beyond/meta/error", "r"},  // lies beyond the 6 bytes read
      {"/devices/c_1/controls/small", "9"},
  };
  EXPECT_EQ(rig.published.received(), expected);
  for (const auto& [qos, retain] : rig.published.qos_and_retain()) {
    EXPECT_EQ(qos, 0);
    EXPECT_TRUE(retain);
  }
  EXPECT_EQ(log.count("Порт 1 : line : начало опроса : 6 параметров"), 1);
  EXPECT_EQ(log.count("/devices/c_1/controls/temp : 21.50"), 1);
  EXPECT_EQ(log.count("1::c_1::status_far : недопустимый номер бита : 64"), 1);
  EXPECT_EQ(log.count("Порт 1 : line : таймаут : 5 сек."), 1);
}

// The read attempts of a channel, its delay, and the failure marker of a
// device that does not answer.
TEST(PortPoll, RepeatsDelaysAndDeadDevices) {
  const struct {
    const char* name;
    std::string repeat;
    std::string channel_delay;  // "" for none: the device's delay counts
    modbus_faults_t faults;
    std::size_t requests;
    std::string payload;
    std::vector<std::string> lines;
  } cases[] = {
      {"three attempts, no answer", "3", "", {.no_reply = true}, 3, "r",
       {"1::c_1::temp : повторное чтение : 2 попытка", "1::c_1::temp : повторное чтение : 3 попытка"}},
      {"no attempt at all", "0", "", {}, 0, "r", {}},
      {"second attempt answers", "3", "", {.no_reply = true, .remaining = 1}, 2, "513",
       {"1::c_1::temp : повторное чтение : 2 попытка"}},
      {"channel delay before each attempt", "2", "50", {.no_reply = true}, 2, "r",
       {"1::c_1::temp : задержка : 50 мсек", "1::c_1::temp : задержка : 50 мсек",
        "1::c_1::temp : повторное чтение : 2 попытка"}},
      {"device delay when the channel has none", "1", "", {}, 1, "513", {"1::c_1::temp : задержка : 30 мсек"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    modbus_slave_t slave(modbus_transport_t::tcp);
    slave.set_holding_registers(0, {513});
    slave.set_faults(c.faults);
    std::string channel = R"({"name": "temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 0)";
    if (!c.channel_delay.empty()) channel += R"(, "poll_delay": )" + c.channel_delay;
    channel += "}";
    log_capture_t log;
    port_rig_t rig(tcp_config(slave, channel, "", c.repeat, c.channel_delay.empty() ? "30" : "500"));
    handed_clock_t clock;
    auto port = rig.make_port(1, clock.clock());
    running_port_t running(*port);
    ASSERT_TRUE(clock.wait_for_waits(1));
    // A request left unanswered ends its attempt by the port's timeout, not
    // by anything the slave did: it may take it in later still.
    ASSERT_TRUE(wait_until([&] { return slave.request_count() >= c.requests; }));
    EXPECT_EQ(slave.requests().size(), c.requests);
    const auto topic = c.payload == "r" ? temp_topic + "/meta/error" : temp_topic;
    EXPECT_EQ(rig.published.received(), (std::vector<std::pair<std::string, std::string>>{{topic, c.payload}}));
    // A line listed twice is expected twice.
    for (const auto& line : c.lines) {
      EXPECT_EQ(log.count(line), std::count(c.lines.begin(), c.lines.end(), line)) << line;
    }
    if (c.repeat != "3") {
      EXPECT_EQ(count_lines_starting(log, "1::c_1::temp : повторное чтение : 3"), 0);
    }
  }
}

// The wait after a pass is the rest of the interval, on the handed clock.
TEST(PortPoll, IntervalWaitIsTheRestOfTheInterval) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  log_capture_t log;
  port_rig_t rig(tcp_config(slave, temp_channel));
  handed_clock_t clock;
  clock.script_passes({{100, 100}, {200, 207}, {300, 310}});
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  clock.allow_passes(2);
  ASSERT_TRUE(clock.wait_for_waits(3));
  EXPECT_EQ(clock.recorded_waits(), (std::vector<long>{5, 3, 5}));
  EXPECT_EQ(log.count("Порт 1 : line : опрос завершен : 7 сек."), 1);
  EXPECT_EQ(log.count("Порт 1 : line : таймаут : 3 сек."), 1);
  EXPECT_TRUE(running.stop(5s));
}

// While the broker is away the port reads nothing and only warns, without
// the timeout line; without a poll interval a skipped pass still pauses a
// second before the next one instead of spinning on the warning. The broker's
// arrival ends the wait: the next pass does not wait out the interval.
TEST(PortPoll, BrokerAwaySkipsWholePasses) {
  const struct {
    int poll_interval;
    std::vector<long> waits;
  } cases[] = {{5, {5, 5}}, {0, {1, 1}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.poll_interval);
    modbus_slave_t slave(modbus_transport_t::tcp);
    log_capture_t log;
    port_rig_t rig(tcp_config(slave, temp_channel), false);
    rig.client->database_handle()->exec(fmt::format("UPDATE Connections SET PollInterval = {}", c.poll_interval));
    handed_clock_t clock;
    auto port = rig.make_port(1, clock.clock());
    running_port_t running(*port);
    ASSERT_TRUE(clock.wait_for_waits(1));
    clock.allow_passes(1);
    ASSERT_TRUE(clock.wait_for_waits(2));
    EXPECT_EQ(log.count("Порт 1 : line : ожидание подключения к брокеру"), 2);
    EXPECT_EQ(count_lines_starting(log, "Порт 1 : line : таймаут"), 0);
    EXPECT_EQ(clock.recorded_waits(), c.waits);
    EXPECT_TRUE(slave.requests().empty());
    EXPECT_TRUE(rig.published.received().empty());
    // No more permits: only the broker's arrival can end this wait.
    rig.published.connected = true;
    EXPECT_TRUE(rig.published.wait_for(1, 5s));
    EXPECT_EQ(log.count("Порт 1 : line : ожидание подключения к брокеру"), 2);
    EXPECT_TRUE(running.stop(5s));
  }
}

// A channel that throws is reported on its own error topic; the pass goes on
// with the next channel and the next pass runs as usual.
TEST(PortPoll, ChannelThatThrowsDoesNotEndThePass) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {11, 22});
  log_capture_t log;
  port_rig_t rig(tcp_config(slave, R"({"name": "bad", "value_type": "u16", "reg_type": "holding", "reg_addr": 0},
      {"name": "good", "value_type": "u16", "reg_type": "holding", "reg_addr": 1})"));
  // A word order no table knows, as an inconsistent cache would hold it.
  rig.client->database_handle()->exec("UPDATE Channels SET WordOrder = 'sideways' WHERE Name = 'bad'");
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  clock.allow_passes(1);
  ASSERT_TRUE(clock.wait_for_waits(2));
  const std::pair<std::string, std::string> bad{"/devices/c_1/controls/bad/meta/error", "r"};
  const std::pair<std::string, std::string> good{"/devices/c_1/controls/good", "22"};
  EXPECT_EQ(rig.published.received(), (std::vector<std::pair<std::string, std::string>>{bad, good, bad, good}));
  EXPECT_EQ(log.count("1::c_1::bad : ошибка : sideways : неизвестный токен"), 2);
}

// With poll_reconnect the connection is closed after each pass and opened
// again before the next, so every pass reads.
TEST(PortPoll, PollReconnectReopensBeforeEachPass) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {5});
  log_capture_t log;
  port_rig_t rig(tcp_config(slave, temp_channel, "", "1", "0", "true"));
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  clock.allow_passes(2);
  ASSERT_TRUE(clock.wait_for_waits(3));
  EXPECT_EQ(rig.published.received(),
            (std::vector<std::pair<std::string, std::string>>(3, {temp_topic, "5"})));
  EXPECT_EQ(count_lines_starting(log, "127.0.0.1:" + std::to_string(slave.port()) + " : закрытие"), 3);
}

// Many devices close a connection left idle between passes, some with a
// reset rather than an orderly end, and some close one in the middle of a
// reply: the port connects again at once, so every read of every pass gives
// a value, and a reply cut short costs its own channel only. Only the cut
// reply is logged as a failed read.
TEST(PortPoll, PeerThatClosesConnectionsCostsNoPass) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"/devices/c_1/controls/a", "10"}, {"/devices/c_1/controls/b", "20"}, {"/devices/c_1/controls/c", "30"}};
  const struct {
    const char* what;
    modbus_faults_t faults;
    std::vector<std::pair<std::string, std::string>> published;
    int read_errors;
    int connects;
  } passes[] = {
      {"connected at start", {}, values, 0, 1},
      {"closed while idle", {}, values, 0, 1},
      {"closed in the middle of the first reply", {.close_after_bytes = 9, .remaining = 1},
       {{"/devices/c_1/controls/a/meta/error", "r"}, values[1], values[2]}, 1, 2},
      {"closed while idle again", {}, values, 0, 1},
  };
  for (const bool idle_close_resets : {false, true}) {
    SCOPED_TRACE(idle_close_resets ? "idle connections reset" : "idle connections ended in order");
    modbus_slave_t slave(modbus_transport_t::tcp, {.idle_close = 300ms, .idle_close_resets = idle_close_resets});
    log_capture_t log;
    slave.set_holding_registers(0, {10, 20, 30});
    port_rig_t rig(tcp_config(slave, R"({"name": "a", "value_type": "u16", "reg_type": "holding", "reg_addr": 0},
        {"name": "b", "value_type": "u16", "reg_type": "holding", "reg_addr": 1},
        {"name": "c", "value_type": "u16", "reg_type": "holding", "reg_addr": 2})"));
    const std::string line_name = "127.0.0.1:" + std::to_string(slave.port());
    handed_clock_t clock;
    auto port = rig.make_port(1, clock.clock());
    running_port_t running(*port);
    std::vector<std::pair<std::string, std::string>> published;
    for (std::size_t pass = 0; pass < std::size(passes); ++pass) {
      SCOPED_TRACE(passes[pass].what);
      if (pass > 0) {
        // Real time: the slave closes the connection the last pass left idle.
        const int closed = slave.idle_closed_connections();
        ASSERT_TRUE(wait_until([&] { return slave.idle_closed_connections() > closed; }));
        slave.set_faults(passes[pass].faults);
        log.clear();
        clock.allow_passes(1);
      }
      ASSERT_TRUE(clock.wait_for_waits(pass + 1));
      published.insert(published.end(), passes[pass].published.begin(), passes[pass].published.end());
      EXPECT_EQ(rig.published.received(), published);
      EXPECT_EQ(slave.requests().size(), 3 * (pass + 1)) << "no request was sent twice";
      EXPECT_EQ(count_lines_starting(log, line_name + " : ошибка чтения"), passes[pass].read_errors);
      EXPECT_EQ(count_lines_starting(log, line_name + " : открытo"), passes[pass].connects);
    }
  }
}

// A well-formed reply from another slave on the line is no noise and never
// a value: the read fails and the channel reports it.
TEST(PortPoll, ReplyFromAnotherSlaveIsAFailedRead) {
  modbus_slave_t slave(modbus_transport_t::rtu);
  slave.set_holding_registers(0, {77});
  slave.set_faults({.reply_address = 2});
  log_capture_t log;
  port_rig_t rig(rs_config(slave.device_path()));
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  EXPECT_EQ(rig.published.received(),
            (std::vector<std::pair<std::string, std::string>>{{temp_topic + "/meta/error", "r"}}));
  EXPECT_EQ(log.count("RTU : 1::c_1::temp : SlaveID не совпадает"), 1);
  EXPECT_EQ(slave.requests().size(), 1u);
}

// A serial adapter missing at start-up does not end the port: each pass
// tries to open the line again, and once it is there the values come.
TEST(PortPoll, SerialLineMissingAtStartIsPolledOnceItAppears) {
  modbus_slave_t slave(modbus_transport_t::rtu);
  slave.set_holding_registers(0, {77});
  log_capture_t log;
  korvex_test::temp_dir_t devices;
  const auto line_path = devices.path() / "ttyUSB0";
  port_rig_t rig(rs_config(line_path.string()));
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  EXPECT_EQ(log.count("Порт 1 : rs : соединение недоступно : опрос пропущен"), 1);
  EXPECT_FALSE(running.returned());
  std::filesystem::create_symlink(slave.device_path(), line_path);
  clock.allow_passes(1);
  ASSERT_TRUE(clock.wait_for_waits(2));
  EXPECT_EQ(rig.published.received(), (std::vector<std::pair<std::string, std::string>>{{temp_topic, "77"}}));
}

// The client runs one port per connection: each port's values reach a
// subscriber through the outgoing queue and the publish loop in the order
// the port pushed them, retained, with the failure marker of a dead device;
// the first value clears an error left retained by an earlier run, and the
// client's shutdown stops the ports it runs.
TEST(PortService, ClientRunsAPortPerConnection) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {215, 7, 8});
  // Held, not listening: a parallel test cannot start a server on it.
  const korvex_test::tcp_listener_t dead(false);
  const int dead_port = dead.port();
  log_capture_t log;
  port_rig_t rig(fill(R"({
    "ports": [
      {"connection": {"name": "live", "type": "base.tcp", "rto": 300, "sto": 300, "poll_interval": 3600,
                      "tcp": {"url": "127.0.0.1", "port": @PORT@}},
       "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c"}],
       "parameters": [{"cname": "c", "config": {"channels": [@CHANNEL@, @MORE@]}}]},
      {"connection": {"name": "dead", "type": "base.tcp", "rto": 300, "sto": 300, "poll_interval": 3600,
                      "tcp": {"url": "127.0.0.1", "port": @DEAD@}},
       "devices": [{"name": "dev", "type": "mb-tcp", "sid": 2, "cname": "d"}],
       "parameters": [{"cname": "d", "config": {"channels": [@CHANNEL@]}}]}
    ]
  })",
                      {{"PORT", std::to_string(slave.port())},
                       {"DEAD", std::to_string(dead_port)},
                       {"CHANNEL", temp_channel},
                       {"MORE", R"({"name": "a", "value_type": "u16", "reg_type": "holding", "reg_addr": 1},
                                   {"name": "b", "value_type": "u16", "reg_type": "holding", "reg_addr": 2})"}}));
  ASSERT_TRUE(rig.connected);
  rig.broker->publish(temp_topic + "/meta/error", "r", true);
  korvex_test::mqtt_subscriber_t errors(*rig.broker, {temp_topic + "/meta/error"});
  korvex_test::mqtt_subscriber_t live_values(*rig.broker, {"/devices/c_1/controls/+"});
  korvex_test::mqtt_subscriber_t error_topics(*rig.broker, {"/devices/+/controls/+/meta/error"});
  auto serving = std::async(std::launch::async, [&] { rig.client->start(); });
  const auto cleared = errors.wait_for(2, 15s);
  EXPECT_TRUE(cleared.size() == 2 && cleared[1].payload.empty()) << "the earlier run's r, then its clear";
  std::vector<std::string> live_order;
  for (const auto& message : live_values.wait_for(3, 15s)) live_order.push_back(message.topic + " " + message.payload);
  EXPECT_EQ(live_order, (std::vector<std::string>{temp_topic + " 215", "/devices/c_1/controls/a 7",
                                                  "/devices/c_1/controls/b 8"}));
  // The earlier run's r, the clears after the first values of temp, a and
  // b, and the dead device's r: once they are in, the broker holds each
  // topic's last state and nothing more is on its way.
  std::vector<std::string> error_order;
  for (const auto& message : error_topics.wait_for(5, 15s)) error_order.push_back(message.topic + " " + message.payload);
  std::sort(error_order.begin(), error_order.end());
  EXPECT_EQ(error_order, (std::vector<std::string>{"/devices/c_1/controls/a/meta/error ",
                                                   "/devices/c_1/controls/b/meta/error ", temp_topic + "/meta/error ",
                                                   temp_topic + "/meta/error r",
                                                   "/devices/d_2/controls/temp/meta/error r"}));
  auto kept = rig.broker->collect("/devices/#", 4, 15s);
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.topic < b.topic; });
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(kept[2].topic, temp_topic);
  EXPECT_EQ(kept[2].payload, "215");
  EXPECT_EQ(kept[3].topic, "/devices/d_2/controls/temp/meta/error");
  EXPECT_EQ(kept[3].payload, "r");
  for (const auto& message : kept) EXPECT_TRUE(message.retained) << message.topic;

  rig.client->request_stop();
  ASSERT_EQ(serving.wait_for(5s), std::future_status::ready);
  serving.get();
  const auto asked = std::chrono::steady_clock::now();
  rig.client.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 60s) << "the ports left their hour-long waits at once";
  EXPECT_EQ(log.count("Очередь входящих сообщений (1) : остановлено"), 1);
  EXPECT_EQ(log.count("Очередь входящих сообщений (2) : остановлено"), 1);
}
