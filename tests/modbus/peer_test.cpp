// Frames over the real connections against real slaves: libmodbus over a
// pseudo-terminal (RTU) and over TCP (MBAP), pymodbus over UDP (MBAP), and
// a device played by the test on a pseudo-terminal where no library speaks
// the frames (late replies, Valtec).

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "channel_rows.hpp"
#include "support/log_capture.hpp"
#include "modbus/crc16.hpp"
#include "support/modbus_slave.hpp"
#include "support/process.hpp"
#include "support/pty_pair.hpp"
#include "transport/make_connection.hpp"

namespace {

using bytes = modbus_vector_t;
using korvex_test::log_capture_t;
using korvex_test::modbus_faults_t;
using korvex_test::modbus_slave_t;
using korvex_test::modbus_transport_t;
using namespace std::chrono_literals;

// Channel rows of one device over a real connection of the given kind.
struct peer_t : korvex_test::channel_rows_t {
  korvex_test::device_settings_t device;

  peer_t(const std::string& connection_type, korvex_test::device_settings_t device, const std::string& host,
         int port, const std::string& rs_port, int rto = 300, int baud_rate = 115200)
      : device(std::move(device)) {
    SQLite::Statement row(*database,
                          "SELECT ? AS connection_id, 'test' AS name, ? AS type, ? AS rto, 300 AS sto, ? AS "
                          "rs_port, ? AS baud_rate, 8 AS byte_size, 0 AS parity, 1 AS stop_bits, 0 AS "
                          "flow_control, ? AS host, ? AS host_port");
    SQLite::bind(row, connection_id, connection_type, rto, rs_port, baud_rate, host, port);
    row.executeStep();
    connection = make_connection(row);
  }

  std::shared_ptr<SQLite::Statement> channel(const std::string& value_type, const std::string& reg_type,
                                             int address, std::optional<int> write_function = std::nullopt) {
    return row(device, {.value_type = value_type, .reg_type = reg_type, .reg_addr = address,
                        .write_function = write_function});
  }
  using channel_rows_t::read;
  bytes read(const std::string& value_type, const std::string& reg_type, int address) {
    return read(channel(value_type, reg_type, address));
  }
};

// 64 of each kind: the exception checks read beyond them.
korvex_test::modbus_slave_options_t small_map(int slave_id) {
  return {.slave_id = slave_id, .coils = 64, .discrete_inputs = 64, .holding_registers = 64, .input_registers = 64};
}

// Every value width and the coils, written and read back through the frames.
void round_trips(peer_t& peer) {
  const struct {
    const char* value_type;
    const char* reg_type;
    int address;
    bytes data;
    std::optional<int> write_function;
    bytes read_back;
  } rows[] = {
      {"u16", "holding", 0, {0x12, 0x34}, {}, {0x12, 0x34}},
      {"i16", "holding", 1, {0xFF, 0xFE}, 16, {0xFF, 0xFE}},
      {"u32", "holding", 2, {0x01, 0x02, 0x03, 0x04}, {}, {0x01, 0x02, 0x03, 0x04}},
      {"float32", "holding", 4, {0x3F, 0xC0, 0x00, 0x00}, 16, {0x3F, 0xC0, 0x00, 0x00}},
      {"u64", "holding", 6, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"u8", "holding", 10, {0x00, 0xAB}, {}, {0xAB}},
      {"bit", "coil", 3, {0xFF, 0x00}, {}, {0x01}},
      {"bit", "coil", 3, {0x00, 0x00}, {}, {0x00}},
      {"bit", "coil", 4, {0xFF, 0x00}, 15, {0x01}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.value_type) + " at " + std::to_string(row.address));
    EXPECT_TRUE(peer.write(peer.channel(row.value_type, row.reg_type, row.address, row.write_function), row.data));
    EXPECT_EQ(peer.read(row.value_type, row.reg_type, row.address), row.read_back);
  }
}

// An exception reply ends its transaction as soon as it is complete: no
// wait for the normal reply's length, nothing logged as a failed read.
void exception_messages(peer_t& peer, std::chrono::milliseconds read_timeout) {
  log_capture_t log;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(peer.read("u16", "holding", 200).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, read_timeout / 2);
  peer.exec("INSERT INTO Errors (ConnectionID, CName, Code, Message) VALUES ({}, 'meter', 2, 'Нет такого регистра')");
  EXPECT_FALSE(peer.write(peer.channel("u32", "holding", 300), {1, 2, 3, 4}));
  const auto errors = log.errors();
  const std::string prefix = peer.device.type == "mb-rtu" ? "RTU : 1::dev::value" : "TCP : 1::dev::value";
  for (const char* text : {"Адрес данных, указанный в запросе, недоступен", "Нет такого регистра"}) {
    EXPECT_NE(std::find(errors.begin(), errors.end(), prefix + " : ошибка (2) : " + text + " "), errors.end());
  }
  EXPECT_EQ(errors.size(), 4u) << testing::PrintToString(errors);
}

TEST(RtuPeer, LibmodbusSlaveOverPty) {
  modbus_slave_t slave(modbus_transport_t::rtu, small_map(5));
  peer_t peer("base.rs", {.type = "mb-rtu", .sid = 5}, "", 0, slave.device_path(), 2000);
  ASSERT_TRUE(peer.connection->is_open());
  round_trips(peer);
  EXPECT_EQ(slave.holding_registers(0, 10),
            (std::vector<uint16_t>{0x1234, 0xFFFE, 0x0102, 0x0304, 0x3FC0, 0, 0x0102, 0x0304, 0x0506, 0x0708}));
  EXPECT_TRUE(slave.coil(4));
  slave.set_input_registers(20, {0xDEAD, 0xBEEF});
  EXPECT_EQ(peer.read("u32", "input", 20), (bytes{0xDE, 0xAD, 0xBE, 0xEF}));
  slave.set_holding_registers(30, {0x4142, 0x4300});
  EXPECT_EQ(peer.read("str3", "holding", 30), (bytes{'A', 'B', 'C'}));
  exception_messages(peer, 2000ms);
}

TEST(MbapPeer, LibmodbusSlaveOverTcp) {
  modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
  peer_t peer("base.tcp", {.type = "mb-tcp"}, "127.0.0.1", slave.port(), "", 2000);
  ASSERT_TRUE(peer.connection->is_open());
  round_trips(peer);
  EXPECT_EQ(slave.holding_registers(0, 4), (std::vector<uint16_t>{0x1234, 0xFFFE, 0x0102, 0x0304}));
  slave.set_holding_registers(31, {0x4142, 0x4344, 0x4500});
  // An odd string ends inside its last register: the reply still carries it
  // whole, and nothing is left behind on the stream for the next read.
  EXPECT_EQ(peer.read("str5", "holding", 31), (bytes{'A', 'B', 'C', 'D', 'E'}));
  EXPECT_EQ(peer.read("u16", "holding", 31), (bytes{0x41, 0x42}));
  exception_messages(peer, 2000ms);
}

// Neither the unread tail of a longer reply nor a reply that came too late
// for its request is taken for the next request's reply.
TEST(MbapPeer, StaleBytesAreNotTakenForTheNextReply) {
  modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
  peer_t peer("base.tcp", {.type = "mb-tcp"}, "127.0.0.1", slave.port(), "");
  slave.set_holding_registers(0, {0x1111, 0x2222, 0x3333});

  slave.set_faults({.trailing_bytes = {0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x99, 0x99},
                    .remaining = 1});
  EXPECT_EQ(peer.read("u16", "holding", 0), (bytes{0x11, 0x11}));
  EXPECT_EQ(peer.read("u16", "holding", 2), (bytes{0x33, 0x33}));

  // The reply is held back past the timeout and only goes out once the next
  // request has been sent, in front of that request's own reply.
  slave.set_faults({.late_reply = true, .remaining = 1});
  EXPECT_TRUE(peer.read("u16", "holding", 0).empty());
  log_capture_t log;
  EXPECT_EQ(peer.read("u16", "holding", 1), (bytes{0x22, 0x22}));
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("ответ отброшен") != std::string::npos; }),
            1);
  EXPECT_EQ(peer.read("u16", "holding", 0), (bytes{0x11, 0x11}));
}

// A device that closes the connection before its reply began gets a read
// request once more on a fresh connection, never twice, and a write request
// not at all: it may have acted on it. One that closes in the middle of a
// reply fails that read only, and the next read connects at once.
TEST(MbapPeer, PeerThatClosesIsConnectedAgainOncePerRequest) {
  const struct {
    const char* what;
    modbus_faults_t faults;
    std::vector<bytes> reads;
    std::size_t requests;
    int connections;
  } rows[] = {
      {"closed instead of the reply once", {.close_after_bytes = 0, .remaining = 1}, {{0x0A, 0x0B}}, 2, 2},
      {"closed instead of every reply", {.close_after_bytes = 0}, {{}}, 2, 2},
      {"closed in the middle of the reply", {.close_after_bytes = 5, .remaining = 1}, {{}, {0x0A, 0x0B}}, 2, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
    slave.set_holding_registers(0, {0x0A0B});
    peer_t peer("base.tcp", {.type = "mb-tcp"}, "127.0.0.1", slave.port(), "");
    slave.set_faults(row.faults);
    for (const auto& value : row.reads) EXPECT_EQ(peer.read("u16", "holding", 0), value);
    EXPECT_EQ(slave.requests().size(), row.requests);
    EXPECT_EQ(slave.accepted_connections(), row.connections);
  }
  {
    modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
    peer_t peer("base.tcp", {.type = "mb-tcp"}, "127.0.0.1", slave.port(), "");
    slave.set_faults({.close_after_bytes = 0});
    EXPECT_FALSE(peer.write(peer.channel("u16", "holding", 0), {0x0C, 0x0D}));
    EXPECT_EQ(slave.requests().size(), 1u);
    EXPECT_EQ(slave.holding_registers(0, 1), std::vector<uint16_t>{0x0C0D});
  }

  // Gone for good: the one connect of the read fails, and the next read
  // tries none (a dead device costs a pass no more than a closed connection).
  auto slave = std::make_unique<modbus_slave_t>(modbus_transport_t::tcp, small_map(1));
  peer_t peer("base.tcp", {.type = "mb-tcp"}, "127.0.0.1", slave->port(), "");
  const std::string opened = peer.connection->name + " : открытo : ";
  const uint16_t device_port = static_cast<uint16_t>(slave->port());
  slave.reset();
  // Held, not listening: the device stays away, and no parallel test serves
  // on its port.
  const korvex_test::tcp_listener_t away(false, device_port);
  log_capture_t log;
  for (int read = 0; read < 2; ++read) EXPECT_TRUE(peer.read("u16", "holding", 0).empty());
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(opened); }),
            1);
}

TEST(MbapPeer, PymodbusSlaveOverUdp) {
  // The system's interpreter, which the Debian packages equip with pymodbus.
  const korvex_test::port_printing_peer_t slave(
      "pymodbus UDP server", {"/usr/bin/python3", std::string(KORVEX_TEST_DATA_DIR) + "/udp_slave.py", "0x0A0B"});
  // Nothing here waits a timeout out: a long one leaves the Python server
  // time on a busy machine.
  peer_t peer("base.udp", {.type = "mb-udp"}, "127.0.0.1", slave.port(), "", 2000);
  EXPECT_EQ(peer.read("u16", "holding", 0), (bytes{0x0A, 0x0B}));
  round_trips(peer);
  exception_messages(peer, 2000ms);
}

// The test plays an RTU device on a pseudo-terminal; its frames get their CRC.
struct pty_device_t : korvex_test::pty_pair_t {
  void send(bytes frame, bool crc = true) {
    if (crc) {
      const uint16_t value = modbus_crc16(frame.data(), frame.size());
      frame.push_back(static_cast<uint8_t>(value));
      frame.push_back(static_cast<uint8_t>(value >> 8));
    }
    pty_pair_t::send(frame);
  }
};

// A reply that comes after its read gave up is waited out, not taken for
// the next channel's: on a serial line nothing tells the two apart. The
// device applied the late write all the same.
TEST(RtuPeer, LateReplyIsWaitedOutNotTakenForTheNextChannel) {
  // Declared before the slave, whose thread uses them until it is joined.
  log_capture_t log;
  int late_replies = 0;
  modbus_slave_t slave(modbus_transport_t::rtu, small_map(5));
  // The wait-out lasts as long as the timeout: a second leaves the slave's
  // thread time to send the late reply inside it.
  peer_t peer("base.rs", {.type = "mb-rtu", .sid = 5}, "", 0, slave.device_path(), 1000);
  slave.set_holding_registers(0, {0x1111, 0x2222});
  // The reply goes out once the transaction has given up on it.
  const auto after_the_timeout = [&](const korvex_test::bytes_t&) {
    const int given_up = ++late_replies;
    korvex_test::wait_until([&] { return log.count("RTU : 1::dev::value : ответ не получен") >= given_up; });
  };
  slave.set_faults({.before_reply = after_the_timeout, .remaining = 1});
  EXPECT_TRUE(peer.read("u16", "holding", 0).empty());
  EXPECT_EQ(peer.read("u16", "holding", 1), (bytes{0x22, 0x22}));

  slave.set_faults({.before_reply = after_the_timeout, .remaining = 1});
  EXPECT_FALSE(peer.write(peer.channel("u16", "holding", 2), {0x33, 0x33}));
  EXPECT_TRUE(peer.write(peer.channel("u16", "holding", 3), {0x44, 0x44}));
  EXPECT_EQ(slave.holding_registers(2, 2), (std::vector<uint16_t>{0x3333, 0x4444}));
}

// Noise on the line, here between a request and its reply, costs no channel:
// bytes that cannot start the reply are skipped.
TEST(RtuPeer, NoiseBeforeTheReplyIsSkipped) {
  pty_device_t device;
  // The reply comes after the test thread's pause: a long timeout leaves it
  // time on a busy machine, and costs nothing when the reply is there.
  peer_t peer("base.rs", {.type = "mb-rtu", .sid = 5}, "", 0, device.path(), 2000);
  const auto row = peer.channel("u16", "holding", 2);
  for (const std::size_t noise : {1, 7, 16}) {
    SCOPED_TRACE(noise);
    auto next = std::async(std::launch::async, [&] { return peer.read(row); });
    EXPECT_EQ(device.receive(8), (bytes{5, 0x03, 0, 2, 0, 1, 0x24, 0x4E}));
    std::this_thread::sleep_for(50ms);
    bytes junk(noise);
    for (std::size_t at = 0; at < noise; ++at) junk[at] = static_cast<uint8_t>(0xA0 + at);
    device.send(junk, false);
    device.send({5, 0x03, 2, 0x22, 0x22});
    EXPECT_EQ(next.get(), (bytes{0x22, 0x22}));
  }
}

// At 300 baud four characters last about 133 ms: a copy of the reply that
// comes 10 ms after it (an echo, a repeater) still falls in its transaction's
// silence and is dropped there, instead of answering the next channel. The
// copy is timed from before the reply went out to after it went out itself:
// a round in which the test thread was held up for half the guard proves
// nothing either way, and is run again.
TEST(RtuPeer, TailInsideTheGuardTimeIsNotTakenForTheNextReply) {
  for (int round = 1;; ++round) {
    pty_device_t device;
    peer_t peer("base.rs", {.type = "mb-rtu", .sid = 5}, "", 0, device.path(), 2000, 300);
    const auto guard = peer.connection->silence_guard();
    ASSERT_GE(guard, 130ms);
    const auto first = peer.channel("u16", "holding", 0);
    const auto second = peer.channel("u16", "holding", 1);
    auto values = std::async(std::launch::async, [&] {
      auto value = peer.read(first);
      return std::pair(value, peer.read(second));
    });
    EXPECT_EQ(device.receive(8), (bytes{5, 0x03, 0, 0, 0, 1, 0x85, 0x8E}));
    const auto reply_sent = std::chrono::steady_clock::now();
    device.send({5, 0x03, 2, 0x11, 0x11});
    // Paces the echo only, at the least 10 ms behind: whether the round
    // counts rests on the gap measured around it.
    std::this_thread::sleep_for(10ms);
    device.send({5, 0x03, 2, 0x11, 0x11});
    const auto copy_sent = std::chrono::steady_clock::now() - reply_sent;
    EXPECT_EQ(device.receive(8), (bytes{5, 0x03, 0, 1, 0, 1, 0xD4, 0x4E}));
    device.send({5, 0x03, 2, 0x22, 0x22});
    const auto read = values.get();
    if (copy_sent < guard / 2) {
      EXPECT_EQ(read, std::pair(bytes{0x11, 0x11}, bytes{0x22, 0x22}));
      break;
    }
    ASSERT_LT(round, 10) << "the copy never went out within half the guard time";
  }
}

TEST(RtuPeer, ValtecFramesAndMalformedReplies) {
  pty_device_t device;
  peer_t peer("base.rs", {}, "", 0, device.path());
  const auto row = peer.row({.type = "mb-rtu", .sid = 9, .cname = "heat", .model = "valtec",
                             .extra = bytes{1, 2, 3, 4}},
                            {.value_type = "u32", .reg_addr = 0x10, .read_function = 0x41});
  const struct {
    const char* what;
    bytes reply;
    bool crc;
    bytes value;
    std::vector<std::string> errors;
  } rows[] = {
      {"good", {9, 0x41, 1, 2, 3, 4, 4, 0xCA, 0xFE, 0xBA, 0xBE}, true, {0xCA, 0xFE, 0xBA, 0xBE}, {}},
      {"another meter", {9, 0x41, 1, 2, 3, 5, 4, 0xCA, 0xFE, 0xBA, 0xBE}, true, {},
       {"VALTEC : 1::heat::value : не совпадают серийные номера"}},
      {"bad crc", {9, 0x41, 1, 2, 3, 4, 4, 0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00}, false, {}, {}},
      {"cut short", {9, 0x41, 1, 2, 3, 4, 4, 0xCA, 0xFE}, true, {}, {}},
      {"exception", {9, 0xC1, 0x04}, true, {}, {}},
  };
  // These meters take no writes, and nothing goes out: the first read below
  // would meet it in front of its own request.
  EXPECT_FALSE(peer.write(row, {0, 1}, "1::heat::value"));
  for (const auto& entry : rows) {
    SCOPED_TRACE(entry.what);
    log_capture_t log;
    auto result = std::async(std::launch::async, [&] { return peer.read(row, "1::heat::value"); });
    const bytes request = device.receive(12);
    EXPECT_EQ(bytes(request.begin(), request.end() - 2), (bytes{9, 0x41, 1, 2, 3, 4, 0x00, 0x10, 0x00, 0x02}));
    device.send(entry.reply, entry.crc);
    EXPECT_EQ(result.get(), entry.value);
    if (!entry.errors.empty()) {
      EXPECT_EQ(log.errors(), entry.errors);
    }
  }
}

}  // namespace
