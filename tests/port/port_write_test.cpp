#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/payload_text.hpp"
#include "port/modbus_port.hpp"
#include "port_access.hpp"
#include "port_rig.hpp"
#include "support/modbus_slave.hpp"

using namespace port_test;

namespace {

using messages_t = std::vector<std::pair<std::string, std::string>>;

// "sp" is writable and comes first; c0..c(n-1) follow it in row order, then
// the extra channels.
std::string write_config(const modbus_slave_t& slave, int other_channels, bool update_on_write, int repeat,
                         int channel_delay = 0, const std::string& extra_channels = "") {
  std::string channels = fmt::format(
      R"({{"name": "sp", "value_type": "u16", "reg_type": "holding", "reg_addr": 20, "read_only": false,
           "poll_delay": {}}})",
      channel_delay);
  // Register 20 is sp's alone: a request for it is always sp's.
  for (int i = 0; i < other_channels; ++i) {
    channels += fmt::format(R"(, {{"name": "c{}", "value_type": "u16", "reg_type": "holding", "reg_addr": {}}})", i,
                            i < 20 ? i : i + 1);
  }
  channels += extra_channels;
  return fill(R"({
    "ports": [{
      "connection": {"name": "line", "type": "base.tcp", "rto": 300, "sto": 300, "poll_interval": 5,
                     "tcp": {"url": "127.0.0.1", "port": @PORT@}},
      "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c", "repeat_on_error": @REPEAT@,
                   "update_on_write": @UOW@}],
      "parameters": [{"cname": "c", "config": {"channels": [@CHANNELS@]}}]
    }]
  })",
              {{"PORT", std::to_string(slave.port())},
               {"REPEAT", std::to_string(repeat)},
               {"UOW", update_on_write ? "true" : "false"},
               {"CHANNELS", channels}});
}

const std::string sp_command = "/devices/c_1/controls/sp/on";
const std::string sp_topic = "/devices/c_1/controls/sp";

std::string channel_topic(int i) { return fmt::format("/devices/c_1/controls/c{}", i); }

// The messages published after the first `skip` ones.
messages_t after(const messages_t& all, std::size_t skip) {
  return messages_t(all.begin() + static_cast<std::ptrdiff_t>(std::min(skip, all.size())), all.end());
}

}  // namespace

// Commands handled one after the other while no pass runs: what is written,
// what is read again, and how failures leave the worker running.
TEST(PortWrite, CommandsAreWrittenAndReadBack) {
  const struct {
    const char* name;
    bool update_on_write;
    int repeat;
    int channel_delay;
    modbus_faults_t faults;
    std::string topic;
    std::string payload;
    uint16_t register_value;  // sp's register afterwards
    messages_t rereads;
    std::vector<std::string> lines;
  } cases[] = {
      {"written channel read back", false, 1, 0, {}, sp_command, "42", 42, {{sp_topic, "42"}},
       {"/devices/c_1/controls/sp/on : установка значения", "/devices/c_1/controls/sp/on : установка значения",
        "1::c_1::sp : 42 : установка значения : успешно"}},
      {"whole device read back", true, 1, 0, {}, sp_command, "43", 43,
       {{sp_topic, "43"}, {channel_topic(0), "100"}, {channel_topic(1), "101"}},
       {"1::c_1::sp : 43 : установка значения : успешно"}},
      {"delay before the attempt", false, 1, 40, {}, sp_command, "44", 44, {{sp_topic, "44"}},
       // the write and the re-read, of this command and of the one behind it
       {"1::c_1::sp : задержка : 40 мсек", "1::c_1::sp : задержка : 40 мсек", "1::c_1::sp : задержка : 40 мсек",
        "1::c_1::sp : задержка : 40 мсек"}},
      {"unknown channel", false, 1, 0, {}, "/devices/c_1/controls/nope/on", "1", 0, {},
       {"Параметр для записи : nope : не найден"}},
      {"not a command topic", false, 1, 0, {}, "/devices/c_1/controls/sp", "1", 0, {},
       {"Параметр для записи :  : не найден"}},
      {"device never confirms", false, 3, 0, {.no_reply = true, .remaining = 3}, sp_command, "45", 0, {},
       {"1::c_1::sp : повторная запись : 2 попытка", "1::c_1::sp : повторная запись : 3 попытка",
        "1::c_1::sp : 45 : установка значения : ошибка"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    modbus_slave_t slave(modbus_transport_t::tcp);
    slave.set_holding_registers(0, {100, 101});
    log_capture_t log;
    port_rig_t rig(write_config(slave, 2, c.update_on_write, c.repeat, c.channel_delay));
    handed_clock_t clock;
    auto port = rig.make_port(1, clock.clock());
    running_port_t running(*port);
    ASSERT_TRUE(clock.wait_for_waits(1));
    const auto pass = rig.published.received().size();
    ASSERT_EQ(pass, 3u);
    slave.set_faults(c.faults);
    log.clear();
    rig.command(c.topic, c.payload);
    // A good command behind it shows the worker went on, and marks the end.
    rig.command(sp_command, "9");
    ASSERT_TRUE(wait_until([&] { return log.count("1::c_1::sp : 9 : установка значения : успешно") == 1; }));
    // The last re-read is published after its own lines are logged.
    ASSERT_TRUE(rig.published.wait_for(pass + c.rereads.size() + (c.update_on_write ? 3 : 1)));
    for (const auto& line : c.lines) {
      EXPECT_EQ(log.count(line), std::count(c.lines.begin(), c.lines.end(), line)) << line;
    }
    auto expected = c.rereads;
    expected.emplace_back(sp_topic, "9");
    if (c.update_on_write) {
      expected.emplace_back(channel_topic(0), "100");
      expected.emplace_back(channel_topic(1), "101");
    }
    EXPECT_EQ(after(rig.published.received(), pass), expected);
    EXPECT_EQ(slave.holding_registers(20, 1), std::vector<uint16_t>{9});
    if (c.register_value != 0) {
      EXPECT_EQ(log.count(fmt::format("{} : {}", sp_topic, c.register_value)), 1);
    }
  }
}

// A device may act on a write and close the connection instead of replying:
// a coil pulse or a counter run twice is not a failed write mended, so the
// request goes out once per attempt. A connection the device closed while
// idle is found closed before the request goes out: that write is sent on
// a fresh connection, once, and is no failed read.
TEST(PortWrite, WriteRequestGoesOncePerAttempt) {
  const struct {
    const char* name;
    int repeat;
    std::chrono::milliseconds idle_close;
    modbus_faults_t faults;
    std::size_t writes;
    const char* result;
    int read_errors;  // one for each reply that never came
  } cases[] = {
      {"acted on and closed, one attempt", 1, 0ms, {.close_after_bytes = 0}, 1, "ошибка", 1},
      {"acted on and closed, three attempts", 3, 0ms, {.close_after_bytes = 0}, 3, "ошибка", 3},
      {"closed while idle before the command", 1, 200ms, {}, 1, "успешно", 0},
  };
  const auto is_write = [](const korvex_test::bytes_t& frame) { return frame[7] == 6; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    modbus_slave_t slave(modbus_transport_t::tcp, {.idle_close = c.idle_close});
    log_capture_t log;
    port_rig_t rig(write_config(slave, 0, false, c.repeat));
    handed_clock_t clock;
    auto port = rig.make_port(1, clock.clock());
    running_port_t running(*port);
    ASSERT_TRUE(clock.wait_for_waits(1));
    if (c.idle_close.count() > 0) {
      // Every connection the slave took is closed, the port's last one too:
      // one closed before the pass (a port slow to start) would not do.
      ASSERT_TRUE(wait_until([&] {
        const int closed = slave.idle_closed_connections();
        return closed > 0 && closed == slave.accepted_connections();
      }));
    }
    slave.set_faults(c.faults);
    log.clear();
    rig.command(sp_command, "42");
    ASSERT_TRUE(wait_until(
        [&] { return log.count(fmt::format("1::c_1::sp : 42 : установка значения : {}", c.result)) == 1; }));
    const auto requests = slave.requests();
    EXPECT_EQ(static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), is_write)), c.writes);
    EXPECT_EQ(slave.holding_registers(20, 1), std::vector<uint16_t>{42}) << "the device acted on it";
    EXPECT_EQ(count_lines_starting(log, "127.0.0.1:" + std::to_string(slave.port()) + " : ошибка чтения"),
              c.read_errors);
  }
}

// A write during a pass puts the written channel, and with update-on-write
// the device's other channels in row order, at the front of the pass.
TEST(PortWrite, RereadsJumpTheRunningPass) {
  constexpr int others = 10;
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_faults({.reply_delay = 100ms});
  log_capture_t log;
  port_rig_t rig(write_config(slave, others, true, 1));
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(rig.published.wait_for(1));
  rig.command(sp_command, "42");
  ASSERT_TRUE(clock.wait_for_waits(1));
  const auto published = rig.published.received();
  ASSERT_EQ(published.size(), 2u * (others + 1)) << "the pass's channels and as many re-reads";
  const auto written = std::find(published.begin(), published.end(), std::make_pair(sp_topic, std::string("42")));
  ASSERT_NE(written, published.end());
  ASSERT_LE(written + others + 1, published.end());
  // One block, in row order, the written channel first ...
  messages_t expected{{sp_topic, "42"}};
  for (int i = 0; i < others; ++i) expected.emplace_back(channel_topic(i), "0");
  EXPECT_EQ(messages_t(written, written + others + 1), expected);
  // ... taken before the rest of the pass: behind the whole pass it would
  // start only after all of the pass's channels.
  EXPECT_LT(written - published.begin(), others + 1);
  EXPECT_EQ(log.count("1::c_1::sp : 42 : установка значения : успешно"), 1);
}

// The transaction mutex is not fair: the poll task, which takes it again
// right after each channel, could keep a command waiting channel after
// channel. Each command here comes while a read of a pass is on the line; its
// write must be the next request the device sees.
TEST(PortWrite, CommandGoesRightAfterTheReadInProgress) {
  constexpr int commands = 10;
  // A command waits for the line three times (its write, the opening and the
  // queueing of its re-read), and each wait lets one held read through: the
  // pass must not run out before the last command has had its read.
  constexpr int others = 3 * commands + 10;
  // Single writes, and reads of sp (address 20).
  const auto is_write = [](const korvex_test::bytes_t& frame) { return frame[7] == 6; };
  const auto reads_sp = [](const korvex_test::bytes_t& frame) { return frame[7] == 3 && frame[9] == 20; };
  // Declared before the slave, whose thread uses them until it is joined.
  std::atomic<bool> holding = false;
  std::atomic<bool> checked = false;
  modbus_slave_t slave(modbus_transport_t::tcp);
  log_capture_t log;
  port_rig_t rig(write_config(slave, others, false, 1));
  // A held reply must never time out.
  rig.client->database_handle()->exec("UPDATE Connections SET RTO = 20000");
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  // Every read of a channel other than sp is held at the device until a
  // command waits for the line, so the pass moves on only for commands and
  // a command always finds a read on the line. The re-reads of sp, which
  // the command's own worker may do, are never held.
  slave.set_faults({.before_reply = [&](const korvex_test::bytes_t& frame) {
    if (is_write(frame) || reads_sp(frame)) return;
    holding = true;
    wait_until([&] { return checked || modbus_port_test_access_t::commands_waiting(*port) > 0; });
    holding = false;
  }});
  running_port_t running(*port);
  // Whatever ends the test lets the held read go first, so the port can stop.
  struct release_t {
    std::atomic<bool>& checked;
    ~release_t() { checked = true; }
  } release{checked};
  // Behind each command goes one for no channel, which touches no line: once
  // it is logged the worker is done with the command before, and nothing
  // waits for the line until the next command comes.
  const std::string done_line = "Параметр для записи : nope : не найден";
  for (int command = 1; command <= commands; ++command) {
    ASSERT_TRUE(wait_until([&] { return log.count(done_line) == command - 1 && holding; }));
    // The slave is held inside the read: it has taken no request since.
    const auto on_the_line = slave.requests().size();
    rig.command(sp_command, std::to_string(command));
    rig.command("/devices/c_1/controls/nope/on", "0");
    std::vector<korvex_test::bytes_t> requests;
    ASSERT_TRUE(wait_until([&] {
      requests = slave.requests();
      return std::find_if(requests.begin() + on_the_line, requests.end(), is_write) != requests.end();
    }));
    const auto write = std::find_if(requests.begin() + on_the_line, requests.end(), is_write);
    EXPECT_EQ(static_cast<std::size_t>(write - requests.begin()), on_the_line) << "command " << command;
  }
  EXPECT_TRUE(clock.recorded_waits().empty()) << "every command came during the one pass";
}

// With poll_reconnect, a command that ends between the head of a pass (which
// opened the connection) and the start of its poll task closes the
// connection; the pass must still read over an open one.
TEST(PortWrite, CommandClosingBeforeThePassTaskKeepsThePassReading) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {100});
  log_capture_t log;
  port_rig_t rig(write_config(slave, 1, false, 1));
  rig.client->database_handle()->exec("UPDATE Connections SET PollReconnect = 1");
  handed_clock_t clock;
  auto port_clock = clock.clock();
  // The second pass's task is held at its first clock reading, after the
  // head of the pass has opened the connection.
  std::mutex hold_mutex;
  std::condition_variable hold_changed;
  int readings = 0;
  bool held = false;
  bool released = false;
  port_clock.steady_seconds = [&] {
    std::unique_lock lock(hold_mutex);
    if (++readings == 3) {
      held = true;
      hold_changed.notify_all();
      hold_changed.wait(lock, [&] { return released; });
    }
    return int64_t{0};
  };
  const auto release = [&] {
    std::lock_guard lock(hold_mutex);
    released = true;
    hold_changed.notify_all();
  };
  auto port = rig.make_port(1, port_clock);
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  const std::string closing = "127.0.0.1:" + std::to_string(slave.port()) + " : закрытие";
  ASSERT_EQ(count_lines_starting(log, closing), 1) << "closed after the first pass";
  clock.allow_passes(1);
  {
    std::unique_lock lock(hold_mutex);
    const bool reached = hold_changed.wait_for(lock, 15s, [&] { return held; });
    if (!reached) {
      lock.unlock();
      release();
      FAIL() << "the second pass did not start";
    }
  }
  const auto before = rig.published.received().size();
  rig.command(sp_command, "7");
  const bool written = wait_until([&] {
    return log.count("1::c_1::sp : 7 : установка значения : успешно") == 1 && count_lines_starting(log, closing) == 2;
  });
  release();
  ASSERT_TRUE(written);
  ASSERT_TRUE(clock.wait_for_waits(2));
  // The re-read of the command, then the second pass: sp and c0.
  EXPECT_EQ(after(rig.published.received(), before),
            (messages_t{{sp_topic, "7"}, {sp_topic, "7"}, {channel_topic(0), "100"}}));
}

// Only a value of the channel's type reaches the device: anything else is
// refused with a line naming the channel and the payload, and nothing is
// written or read back. The standard conversions once wrote 0, 7, 1, 4,
// 4464 or 65535 for the refused texts of u16, and 0 for every bad input of
// a write condition.
TEST(PortWrite, OnlyValuesOfTheChannelsTypeAreWritten) {
  const std::string channels = R"(,
    {"name": "u16", "value_type": "u16", "reg_type": "holding", "reg_addr": 0, "read_only": false},
    {"name": "i16", "value_type": "i16", "reg_type": "holding", "reg_addr": 1, "read_only": false},
    {"name": "u32", "value_type": "u32", "reg_type": "holding", "reg_addr": 2, "read_only": false},
    {"name": "i8", "value_type": "i8", "reg_type": "holding", "reg_addr": 4, "read_only": false},
    {"name": "f16", "value_type": "float16", "reg_type": "holding", "reg_addr": 5, "read_only": false},
    {"name": "f32", "value_type": "float32", "reg_type": "holding", "reg_addr": 6, "read_only": false},
    {"name": "cond", "value_type": "u16", "reg_type": "holding", "reg_addr": 8, "read_only": false,
     "converter_write": "value*10"},
    {"name": "coil", "value_type": "bit", "reg_type": "coil", "reg_addr": 0, "read_only": false})";
  const std::map<std::string, std::pair<int, int>> registers = {
      {"u16", {0, 1}}, {"i16", {1, 1}}, {"u32", {2, 2}}, {"i8", {4, 1}}, {"f16", {5, 1}}, {"f32", {6, 2}},
      {"cond", {8, 1}}};
  const auto refused = [](const std::string& payload) { return payload + " : недопустимое значение для записи"; };
  const struct {
    std::string channel;
    std::string payload;
    std::vector<uint16_t> written;  // empty: refused
    std::string refusal{};
  } rows[] = {
      {"u16", " 42\t", {42}}, {"u16", "65535", {65535}}, {"u16", std::string(49, ' ') + "42" + std::string(49, ' '), {42}},
      {"u16", "abc", {}, refused("abc")}, {"u16", "", {}, refused("")}, {"u16", "7abc", {}, refused("7abc")},
      {"u16", "0x10", {}, refused("0x10")}, {"u16", "1e3", {}, refused("1e3")}, {"u16", "4.5", {}, refused("4.5")},
      {"u16", "70000", {}, refused("70000")}, {"u16", "-1", {}, refused("-1")},
      {"u16", std::string(100, '9'), {}, refused(std::string(64, '9') + "... (100 байт)")},
      {"u16", std::string(63, '9') + "жж", {}, refused(std::string(63, '9') + "... (67 байт)")},  // no letter cut in two
      {"u16", "1\n[info] forged\x7f", {}, refused("1\\x0a[info] forged\\x7f")},
      {"i16", "-32768", {0x8000}}, {"i16", "32768", {}, refused("32768")}, {"i8", "-1", {0xFFFF}},
      {"i8", "128", {}, refused("128")}, {"u32", "4294967295", {0xFFFF, 0xFFFF}},
      {"u32", "4294967296", {}, refused("4294967296")}, {"f16", "1.5", {0x3E00}}, {"f16", "70000", {}, refused("70000")},
      {"f32", "1e3", {0x447A, 0}}, {"f32", "inf", {}, refused("inf")}, {"f32", "nan", {}, refused("nan")},
      {"f32", "1e39", {}, refused("1e39")}, {"coil", "1", {1}}, {"coil", "2", {}, refused("2")},
      {"coil", "", {}, refused("")}, {"cond", "2.5", {25}}, {"cond", "abc", {}, refused("abc")},
      {"cond", "", {}, refused("")}, {"cond", "\x01\x02", {}, refused("\\x01\\x02")},
      {"cond", "value=7", {}, refused("value=7")},
      {"cond", "7000", {}, "7000 : недопустимый результат условия записи : 70000"},
  };
  modbus_slave_t slave(modbus_transport_t::tcp);
  log_capture_t log;
  port_rig_t rig(write_config(slave, 0, false, 1, 0, channels));
  handed_clock_t clock;
  auto port = rig.make_port(1, clock.clock());
  running_port_t running(*port);
  ASSERT_TRUE(clock.wait_for_waits(1));
  const auto device_value = [&](const std::string& channel) {
    if (channel == "coil") return std::vector<uint16_t>{slave.coil(0)};
    const auto [address, count] = registers.at(channel);
    return slave.holding_registers(address, count);
  };
  int marker = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.channel + " " + row.payload);
    slave.set_holding_registers(0, std::vector<uint16_t>(9, 0xAAAA));
    slave.set_coil(0, false);
    const auto before = device_value(row.channel);
    const auto published = rig.published.received().size();
    log.clear();
    rig.command("/devices/c_1/controls/" + row.channel + "/on", row.payload);
    // The worker takes commands in order: the marker behind it is written last.
    rig.command(sp_command, std::to_string(++marker));
    ASSERT_TRUE(wait_until(
        [&] { return log.count(fmt::format("1::c_1::sp : {} : установка значения : успешно", marker)) == 1; }));
    EXPECT_EQ(device_value(row.channel), row.written.empty() ? before : row.written);
    const std::string name = "1::c_1::" + row.channel + " : ";
    const auto all = log.lines();
    std::vector<std::string> lines;
    std::copy_if(all.begin(), all.end(), std::back_inserter(lines),
                 [&](const std::string& line) { return line.starts_with(name); });
    EXPECT_EQ(lines, std::vector<std::string>{name + (row.written.empty() ? "ошибка : " + row.refusal
                                                                          : loggable_payload(row.payload) +
                                                                                " : установка значения : успешно")});
    // The re-reads: of the channel when it was written, then of the marker.
    std::vector<std::string> expected_topics{sp_topic};
    if (!row.written.empty()) expected_topics.insert(expected_topics.begin(), "/devices/c_1/controls/" + row.channel);
    ASSERT_TRUE(rig.published.wait_for(published + expected_topics.size()));
    std::vector<std::string> reread_topics;
    for (const auto& [topic, value] : after(rig.published.received(), published)) reread_topics.push_back(topic);
    EXPECT_EQ(reread_topics, expected_topics);
  }
}
