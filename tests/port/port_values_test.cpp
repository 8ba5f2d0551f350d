// Values on the real road: a JSON configuration through the loader, a port
// reading a libmodbus slave, and what the port hands to the broker.

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "port/modbus_port.hpp"
#include "port_rig.hpp"
#include "support/modbus_slave.hpp"

using namespace port_test;

namespace {

using messages_t = std::vector<std::pair<std::string, std::string>>;

// A port over the configuration, run pass by pass on a handed clock.
struct polled_port_t {
  explicit polled_port_t(const std::string& config, int passes = 0) : rig(config) {
    if (passes > 0) start(passes);
  }
  void start(int passes) {
    port = rig.make_port(1, clock.clock());
    running = std::make_unique<running_port_t>(*port);
    EXPECT_TRUE(clock.wait_for_waits(1));
    more_passes(passes - 1);
  }
  void more_passes(int count) {
    const auto done = clock.recorded_waits().size();
    clock.allow_passes(count);
    EXPECT_TRUE(clock.wait_for_waits(done + static_cast<std::size_t>(count)));
  }
  port_rig_t rig;
  handed_clock_t clock;
  std::unique_ptr<modbus_port_t> port;
  std::unique_ptr<running_port_t> running;
};

// One channel per row, each on four registers of its own from address 0.
// A row's channel is named c<row>; `extra` adds keys to it, `suffix` to its
// topic. Every row publishes exactly one message; "r" means its error topic
// and an error line naming the channel.
struct value_row_t {
  const char* type;
  std::vector<uint16_t> registers;
  const char* expected;
  std::string extra = "";
  std::string suffix = "";
};

void expect_one_pass(const std::vector<value_row_t>& rows) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  std::string channels;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    slave.set_holding_registers(static_cast<int>(4 * i), rows[i].registers);
    channels += fmt::format(R"({}{{"name": "c{}", "value_type": "{}", "reg_type": "holding", "reg_addr": {}{}}})",
                            i == 0 ? "" : ",", i, rows[i].type, 4 * i, rows[i].extra);
  }
  log_capture_t log;
  polled_port_t polled(tcp_config(slave, channels), 1);
  const auto published = polled.rig.published.received();
  ASSERT_EQ(published.size(), rows.size());
  const auto errors = log.errors();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& row = rows[i];
    SCOPED_TRACE(fmt::format("c{}: {}{}", i, row.type, row.extra));
    const bool refused = std::string(row.expected) == "r";
    const auto topic = fmt::format("/devices/c_1/controls/c{}{}{}", i, row.suffix, refused ? "/meta/error" : "");
    EXPECT_EQ(published[i], std::make_pair(topic, std::string(row.expected)));
    const auto names_channel = [&](const std::string& line) {
      return line.find(fmt::format("c{} : ", i)) != std::string::npos;
    };
    EXPECT_EQ(std::any_of(errors.begin(), errors.end(), names_channel), refused);
  }
}

}  // namespace

// What each value type makes of the registers in each word order.
TEST(PortValues, TypesAndWordOrders) {
  // The time types print local time; pin it so the texts are fixed.
  setenv("TZ", "UTC", 1);
  tzset();
  const auto order = [](const char* name, std::string more = "") {
    return fmt::format(R"(, "word_order": "{}", "format": "{{}}"{})", name, more);
  };
  const auto big = order("big_endian");
  const auto little = order("little_endian");
  const auto mid_big = order("mid_big_endian");
  const auto mid_little = order("mid_little_endian");
  expect_one_pass({
      // A one-bit value is its whole register: FF 00 is what a "1" writes.
      {"bit", {0xFF00}, "1"},
      {"bit", {0x0001}, "1"},
      {"bit", {0x0000}, "1", order("big_endian", R"(, "inverted": true)")},
      {"bit", {0xFF00}, "0", order("big_endian", R"(, "inverted": true)")},
      {"i8", {0x00FF}, "-1", big},
      {"u8", {0x00FF}, "255", little},
      {"i8", {0x00FF}, "r", mid_big},
      {"i16", {0xFFFE}, "-2", big},
      {"i16", {0xFEFF}, "-2", little},
      {"u16", {0x0102}, "r", mid_big},
      {"u16", {0x0102}, "r", order("mid_big_endian", R"(, "bh_list": [{"name": "f", "offset": 0}])"), "_f"},
      {"u32", {0x1234, 0x5678}, "305419896", big},
      {"u32", {0x1234, 0x5678}, "2018915346", little},
      {"u32", {0x1234, 0x5678}, "873625686", mid_big},
      {"u32", {0x1234, 0x5678}, "1450709556", mid_little},
      {"i32", {0xFFFF, 0xFEFF}, "-2", mid_big},
      {"u64", {0x0102, 0x0304, 0x0506, 0x0708}, "72623859790382856", big},
      {"u64", {0x0102, 0x0304, 0x0506, 0x0708}, "144401074084972551", mid_big},
      {"u64", {0x0102, 0x0304, 0x0506, 0x0708}, "506660481457717506", mid_little},
      {"i64", {0xFEFF, 0xFFFF, 0xFFFF, 0xFFFF}, "-2", little},
      {"float16", {0x3555}, "0.33325195", big},
      {"float16", {0x00C0}, "-2", little},
      {"float16", {0x3C00}, "r", mid_big},
      {"float32", {0x0000, 0x3FC0}, "1.5", mid_little},
      {"float64", {0x0000, 0x0000, 0x0000, 0xF83F}, "1.5", little},
      {"fixu16", {0x1280}, "18.5000", big},
      {"fixi16", {0xFF80}, "255.5000", big},
      {"fixu16", {0x1201}, "18.0039", big},  // one 256th keeps its leading zeros
      {"fixu16", {0x8012}, "18.5000", mid_big},
      {"str2", {0x4142}, "AB", mid_little},
      {"utc4", {0x6592, 0x0080}, "2024-01-01 00:00:00", big},
      {"utc4", {0xFFFF, 0xFFFF}, "1969-12-31 23:59:59", little},
      {"utc8", {0x7FFF, 0xFFFF, 0xFFFF, 0xFFFF}, "r", big},  // beyond any calendar year
      {"i24", {0xFFFF, 0xFE00}, "-2", big},
      {"u24", {0x0102, 0x0300}, "197121", little},
      {"i24", {0xFFFF, 0xFE00}, "r", mid_big},
      {"u40", {0x0102, 0x0304, 0x0500}, "4328719365", big},
      {"i40", {0xFEFF, 0xFFFF, 0xFF00}, "-2", little},
      {"i48", {0xFEFF, 0xFFFF, 0xFFFF}, "-2", little},
      {"u48", {0x0000, 0x0001, 0x0000}, "65536", big},
      {"u48", {0x0000, 0x0001, 0x0000}, "r", mid_little},
      {"u56", {0x0100, 0x0000, 0x0000, 0x0000}, "281474976710656", big},
      {"i56", {0x8000, 0x0000, 0x0000, 0x0000}, "-36028797018963968", big},
      {"bcd8", {0x0042}, "42", big},
      {"bcd16", {0x3412}, "1234", little},
      {"bcd16", {0x1234}, "r", mid_big},
      {"bcd24", {0x0012, 0x3400}, "1234", big},
      {"bcd32", {0x3412, 0x7856}, "12345678", mid_big},
      {"bcd56", {0x5634, 0x1290, 0x7856, 0x3400}, "34567890123456", little},
      {"bcd64", {0x1234, 0x5678, 0x9012, 0x3456}, "1234567890123456", big},
      {"bcd16", {0x12A4}, "r", big},  // a nibble above 9
  });
}

// The steps after decoding: error value, read condition, scale, limits,
// correction, format and unit.
TEST(PortValues, PostProcessingSteps) {
  expect_one_pass({
      {"u16", {0xFFFF}, "r", R"(, "scale": 0.1, "error_value": "FFFF")"},
      // The error value is the register's bits, whatever the type's sign.
      {"i16", {0x8000}, "r", R"(, "scale": 0.1, "error_value": "8000")"},
      {"i32", {0xFFFF, 0xFFFF}, "r", R"(, "error_value": "FFFFFFFF")"},
      {"float32", {0x7FC0, 0x0000}, "r", R"(, "error_value": "7FC00000")"},
      {"i16", {0x8001}, "-32767", R"(, "error_value": "8000")"},
      {"u16", {123}, "12.30", R"(, "scale": 0.1)"},
      {"u16", {10}, "15", R"(, "correction": 5)"},
      {"i16", {0xFFFB}, "-2", R"(, "correction": 3)"},
      {"i16", {0xFFFB}, "-15", R"(, "correction": -10)"},
      // The correction keeps the fraction and sign of what it corrects.
      {"u16", {123}, "17.30", R"(, "scale": 0.1, "correction": 5)"},
      {"float32", {0x41AC, 0x0000}, "22.50", R"(, "correction": 1)"},
      {"float32", {0xBF00, 0x0000}, "0.50", R"(, "correction": 1)"},
      {"float32", {0x42C8, 0x0000}, "100.00", R"(, "min": 0, "max": 100)"},
      {"float32", {0x42C9, 0x0000}, "r", R"(, "min": 0, "max": 100)"},
      {"i16", {0xFFFB}, "r", R"(, "min": 0)"},
      {"float32", {0x7FC0, 0x0000}, "nan", R"(, "min": 0, "max": 100)"},
      {"float32", {0x41AC, 0x0000}, "21.50 kWh", R"(, "unit": "kWh")"},
      {"u16", {10}, "10 rpm", R"(, "unit": "rpm")"},
      {"u16", {4}, "8.000", R"(, "converter_read": "value * 2", "format": "{:.3f}")"},
      {"u16", {4}, "1", R"(, "converter_read": "value > 3 ? 1 : 0", "format": "{}")"},
      {"u16", {4}, "r", R"(, "converter_read": "nothing_here * 2")"},
      {"u16", {4}, "r", R"(, "converter_read": "'high'")"},
      {"str2", {0x4142}, "r", R"(, "scale": 2)"},
      {"float32", {0x41AC, 0x0000}, "r", R"(, "format": "{:q}")"},
  });
}

// Members of nested composite types publish under the names of the Topics
// table, one set per channel, and a debounced member holds its own state.
TEST(PortValues, NestedMembersPublishUnderTheirTopicsTableNames) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {11, 12, 0, 0, 21, 22});
  const std::string classes = R"(
    {"value_type": "outer", "length": 4, "channels": [{"name": "m", "value_type": "inner", "offset": 0}]},
    {"value_type": "inner", "length": 4, "channels": [
      {"name": "x", "value_type": "u16", "offset": 0},
      {"name": "y", "value_type": "u16", "offset": 2, "prefix": false, "debounce": 10}]})";
  polled_port_t polled(tcp_config(slave,
                                  R"({"name": "k1", "value_type": "outer", "reg_type": "holding", "reg_addr": 0},
                                     {"name": "k2", "value_type": "outer", "reg_type": "holding", "reg_addr": 4})",
                                  classes),
                       2);
  SQLite::Statement topics(*polled.rig.client->database_handle(), "SELECT ChannelTopic FROM Topics ORDER BY ROWID");
  std::vector<std::string> table;
  while (topics.executeStep()) table.push_back("/devices/c_1/controls/" + topics.getColumn(0).getString());
  ASSERT_EQ(table.size(), 4u);
  // The debounced y is held back in the first pass and let through in the second.
  EXPECT_EQ(polled.rig.published.received(),
            (messages_t{{table[0], "11"}, {table[2], "21"}, {table[0], "11"}, {table[1], "12"}, {table[2], "21"},
                        {table[3], "22"}}));
  EXPECT_EQ(table, (std::vector<std::string>{"/devices/c_1/controls/k1_m_x", "/devices/c_1/controls/k1_m",
                                             "/devices/c_1/controls/k2_m_x", "/devices/c_1/controls/k2_m"}));
}

// Two devices of one parameter set each hold their own debounce state, and
// it moves on while another port has the cache open for reading.
TEST(PortValues, DebounceIsKeptPerDevice) {
  modbus_slave_t slave(modbus_transport_t::tcp, {.any_unit = true});
  slave.set_holding_registers(0, {7});
  auto config = tcp_config(
      slave, R"({"name": "temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 0, "debounce": 10})");
  const std::string one_device = R"("sid": 1, "cname": "c",)";
  config.replace(config.find(one_device), one_device.size(),
                 R"("sid": 1, "cname": "c"}, {"name": "dev", "type": "mb-tcp", "sid": 2, "cname": "c",)");
  polled_port_t polled(config);
  SQLite::Database other_port((polled.rig.folder.path() / "korvex.cache").string(), SQLite::OPEN_READONLY);
  SQLite::Statement reading(other_port, "SELECT ROWID FROM Channels");
  ASSERT_TRUE(reading.executeStep());
  polled.start(1);
  EXPECT_TRUE(polled.rig.published.received().empty()) << "each device's first value is only stored";
  polled.more_passes(1);
  EXPECT_EQ(polled.rig.published.received(),
            (messages_t{{"/devices/c_1/controls/temp", "7"}, {"/devices/c_2/controls/temp", "7"}}));
  reading.reset();
}

// The first value after start, and the first after a failed read, clear the
// error topic once: plain channels, bit fields and composite members alike,
// whether they failed before they were ever good or after.
TEST(PortValues, FirstGoodValueClearsTheErrorTopic) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {5, 1, 6, 8});
  polled_port_t polled(tcp_config(slave, R"(
      {"name": "temp", "value_type": "u16", "reg_type": "holding", "reg_addr": 0},
      {"name": "status", "value_type": "u16", "reg_type": "holding", "reg_addr": 1,
       "bh_list": [{"name": "ready", "offset": 0}]},
      {"name": "m", "value_type": "pair", "reg_type": "holding", "reg_addr": 2},
      {"name": "fresh", "value_type": "u16", "reg_type": "holding", "reg_addr": 3})",
                                  R"({"value_type": "pair", "length": 2, "channels": [
                                      {"name": "a", "value_type": "u16", "offset": 0}]})"));
  const std::string base = "/devices/c_1/controls/";
  const messages_t values = {
      {base + "temp", "5"}, {base + "status_ready", "1"}, {base + "m_a", "6"}, {base + "fresh", "8"}};
  const auto error = [&](std::size_t i, const char* payload) {
    return std::make_pair(values[i].first + "/meta/error", std::string(payload));
  };
  // Each pass: the requests left unanswered from its start, and what it publishes.
  const std::vector<std::pair<int, messages_t>> passes = {
      {3, {error(0, "r"), error(1, "r"), error(2, "r"), values[3], error(3, "")}},
      {0, {values[0], error(0, ""), values[1], error(1, ""), values[2], error(2, ""), values[3]}},
      // Every one fails after it was good, and clears again on its next good value.
      {4, {error(0, "r"), error(1, "r"), error(2, "r"), error(3, "r")}},
      {0, {values[0], error(0, ""), values[1], error(1, ""), values[2], error(2, ""), values[3], error(3, "")}},
      {0, values},
  };
  std::size_t published = 0;
  for (std::size_t pass = 0; pass < passes.size(); ++pass) {
    SCOPED_TRACE(pass);
    if (passes[pass].first > 0) slave.set_faults({.no_reply = true, .remaining = passes[pass].first});
    pass == 0 ? polled.start(1) : polled.more_passes(1);
    const auto received = polled.rig.published.received(true);
    EXPECT_EQ(messages_t(received.begin() + static_cast<std::ptrdiff_t>(published), received.end()),
              passes[pass].second);
    published = received.size();
  }
}
