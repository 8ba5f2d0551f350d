// Frames over the real connections against real slaves: libmodbus over a
// pseudo-terminal (RTU) and over TCP (MBAP), pymodbus over UDP (MBAP), and
// a device played by the test on a pseudo-terminal where no library speaks
// the frames (late replies, Valtec).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "channel_rows.hpp"
#include "support/log_capture.hpp"
#include "modbus/crc16.hpp"
#include "modbus/frame_factory.hpp"
#include "support/modbus_slave.hpp"
#include "support/pty_pair.hpp"
#include "transport/make_connection.hpp"

namespace {

using bytes = modbus_vector_t;
using korvex_test::channel_rows_t;
using korvex_test::modbus_slave_t;
using korvex_test::modbus_transport_t;
using korvex_test::log_capture_t;

constexpr auto generous = std::chrono::seconds(10);

struct peer_fixture_t {
  channel_rows_t rows;
  std::shared_ptr<connection_t> connection;
  std::string device_type;
  int sid;

  peer_fixture_t(const std::string& connection_type, const std::string& device_type, int sid,
                 const std::string& host, int port, const std::string& rs_port)
      : device_type(device_type), sid(sid) {
    SQLite::Statement update(*rows.database,
                             "UPDATE Connections SET Type = :type, RTO = 300, STO = 300, NetHost = :host, NetPort = "
                             ":port, RSPort = :rs_port, RSBaudRate = 115200, RSByteSize = 8, RSParity = 0, RSStopBits "
                             "= 1, RSFlowControl = 0 WHERE ROWID = :id");
    update.bind(":type", connection_type);
    update.bind(":host", host);
    update.bind(":port", port);
    update.bind(":rs_port", rs_port);
    update.bind(":id", rows.connection_id);
    update.exec();
    SQLite::Statement row(*rows.database,
                          "SELECT    ROWID AS connection_id, Name AS name, Type AS type, RTO AS rto, STO AS sto, "
                          "PollInterval AS poll_interval, PollReconnect AS poll_reconnect,    RSPort AS rs_port, "
                          "RSBaudRate AS baud_rate, RSByteSize AS byte_size, RSParity AS parity, RSStopBits AS "
                          "stop_bits, RSFlowControl AS flow_control,    NetHost AS host, NetPort AS host_port  FROM "
                          "Connections WHERE ROWID = :connection_id");
    row.bind(":connection_id", rows.connection_id);
    row.executeStep();
    connection = make_connection(row);
  }

  ~peer_fixture_t() { connection.reset(); }

  std::shared_ptr<SQLite::Statement> channel(const std::string& value_type, const std::string& reg_type, int address,
                                             std::optional<int> write_function = std::nullopt,
                                             const std::string& cname = "meter") {
    const auto device_id = rows.add_device({.type = device_type, .sid = sid, .cname = cname});
    const auto channel_id = rows.add_channel(
        cname, {.value_type = value_type, .reg_type = reg_type, .reg_addr = address, .write_function = write_function});
    return rows.row(device_id, channel_id);
  }

  bytes read(const std::string& value_type, const std::string& reg_type, int address) {
    return read_channel_registers(connection, rows.database, channel(value_type, reg_type, address),
                                  rows.class_size_statement(class_size_statement_text), "1::dev::value");
  }
  bool write(const std::string& value_type, const std::string& reg_type, int address, const bytes& data,
             std::optional<int> write_function = std::nullopt) {
    return write_channel_registers(connection, rows.database,
                                   channel(value_type, reg_type, address, write_function), data, "1::dev::value");
  }
};

// 64 of each kind: the exception checks read beyond them.
korvex_test::modbus_slave_options_t small_map(int slave_id) {
  return {.slave_id = slave_id, .coils = 64, .discrete_inputs = 64, .holding_registers = 64, .input_registers = 64};
}

// Every value width and the coils, written and read back through the frames.
void round_trips(peer_fixture_t& peer) {
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
    EXPECT_TRUE(peer.write(row.value_type, row.reg_type, row.address, row.data, row.write_function));
    EXPECT_EQ(peer.read(row.value_type, row.reg_type, row.address), row.read_back);
  }
}

void exception_messages(peer_fixture_t& peer) {
  log_capture_t log;
  EXPECT_TRUE(peer.read("u16", "holding", 200).empty());
  peer.rows.exec(fmt::format(
      "INSERT INTO Errors (ConnectionID, CName, Code, Message) VALUES ({}, 'meter', 2, 'Нет такого регистра')",
      peer.rows.connection_id));
  EXPECT_FALSE(peer.write("u32", "holding", 300, {1, 2, 3, 4}));
  const auto errors = log.errors();
  const std::string prefix = peer.device_type == "mb-rtu" ? "RTU : 1::dev::value" : "TCP : 1::dev::value";
  EXPECT_NE(std::find(errors.begin(), errors.end(),
                      prefix + " : ошибка (2) : Адрес данных, указанный в запросе, недоступен "),
            errors.end());
  EXPECT_NE(std::find(errors.begin(), errors.end(), prefix + " : ошибка (2) : Нет такого регистра "), errors.end());
}

TEST(RtuPeer, LibmodbusSlaveOverPty) {
  modbus_slave_t slave(modbus_transport_t::rtu, small_map(5));
  peer_fixture_t peer("base.rs", "mb-rtu", 5, "", 0, slave.device_path());
  ASSERT_TRUE(peer.connection->is_open());
  round_trips(peer);
  EXPECT_EQ(slave.holding_registers(0, 10),
            (std::vector<uint16_t>{0x1234, 0xFFFE, 0x0102, 0x0304, 0x3FC0, 0, 0x0102, 0x0304, 0x0506, 0x0708}));
  EXPECT_TRUE(slave.coil(4));
  slave.set_input_registers(20, {0xDEAD, 0xBEEF});
  EXPECT_EQ(peer.read("u32", "input", 20), (bytes{0xDE, 0xAD, 0xBE, 0xEF}));
  slave.set_holding_registers(30, {0x4142, 0x4300});
  EXPECT_EQ(peer.read("str3", "holding", 30), (bytes{'A', 'B', 'C'}));
  exception_messages(peer);
}

TEST(MbapPeer, LibmodbusSlaveOverTcp) {
  modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
  peer_fixture_t peer("base.tcp", "mb-tcp", 1, "127.0.0.1", slave.port(), "");
  ASSERT_TRUE(peer.connection->is_open());
  round_trips(peer);
  EXPECT_EQ(slave.holding_registers(0, 4), (std::vector<uint16_t>{0x1234, 0xFFFE, 0x0102, 0x0304}));
  slave.set_holding_registers(31, {0x4142, 0x4344, 0x4500});
  // An odd string ends inside its last register: the reply still carries it
  // whole, and nothing is left behind on the stream for the next read.
  EXPECT_EQ(peer.read("str5", "holding", 31), (bytes{'A', 'B', 'C', 'D', 'E'}));
  EXPECT_EQ(peer.read("u16", "holding", 31), (bytes{0x41, 0x42}));
  exception_messages(peer);
}

TEST(MbapPeer, TheUnreadTailOfALongerReplyIsNotTakenForTheNextRead) {
  modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
  peer_fixture_t peer("base.tcp", "mb-tcp", 1, "127.0.0.1", slave.port(), "");
  slave.set_holding_registers(0, {0x1111, 0x2222, 0x3333});

  // A reply followed by bytes nobody asked for.
  slave.set_faults({.trailing_bytes = {0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x99, 0x99},
                    .remaining = 1});
  EXPECT_EQ(peer.read("u16", "holding", 0), (bytes{0x11, 0x11}));
  EXPECT_EQ(peer.read("u16", "holding", 2), (bytes{0x33, 0x33}));
}

TEST(MbapPeer, AReplyTooLateForItsRequestIsNotTakenForTheNext) {
  modbus_slave_t slave(modbus_transport_t::tcp, small_map(1));
  peer_fixture_t peer("base.tcp", "mb-tcp", 1, "127.0.0.1", slave.port(), "");
  slave.set_holding_registers(0, {0x1111, 0x2222});

  // The first reply is held back past the timeout and only goes out once the
  // next request has been sent, in front of that request's own reply.
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

// pymodbus over UDP, run by the test with the system's interpreter.
class udp_slave_process_t {
 public:
  udp_slave_process_t() {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const std::string script = std::string(KORVEX_TEST_DATA_DIR) + "/udp_slave.py";
    child = ::fork();
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(to_child[0], 0);
      ::dup2(from_child[1], 1);
      ::execl("/usr/bin/python3", "python3", script.c_str(), "0x0A0B", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    input = to_child[1];
    output = from_child[0];
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + generous;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{output, POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) continue;
      char buffer[64];
      const auto count = ::read(output, buffer, sizeof buffer);
      if (count <= 0) break;
      line.append(buffer, static_cast<std::size_t>(count));
    }
    bound_port = line.find('\n') == std::string::npos ? 0 : std::stoi(line);
  }

  ~udp_slave_process_t() {
    ::close(input);  // the slave ends when its input closes
    const auto deadline = std::chrono::steady_clock::now() + generous;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        break;
      }
      ::usleep(10000);
    }
    ::close(output);
  }

  int port() const { return bound_port; }

 private:
  pid_t child = -1;
  int input = -1;
  int output = -1;
  int bound_port = 0;
};

TEST(MbapPeer, PymodbusSlaveOverUdp) {
  udp_slave_process_t slave;
  ASSERT_NE(slave.port(), 0) << "the UDP slave did not start";
  peer_fixture_t peer("base.udp", "mb-udp", 1, "127.0.0.1", slave.port(), "");
  EXPECT_EQ(peer.read("u16", "holding", 0), (bytes{0x0A, 0x0B}));
  round_trips(peer);
  exception_messages(peer);
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

TEST(RtuPeer, LateReplyIsNotTakenForTheNextChannel) {
  pty_device_t device;
  peer_fixture_t peer("base.rs", "mb-rtu", 5, "", 0, device.path());
  const auto first = peer.channel("u16", "holding", 1);
  const auto second = peer.channel("u16", "holding", 2);
  auto read = [&](const std::shared_ptr<SQLite::Statement>& row) {
    return std::async(std::launch::async, [&, row] {
      return read_channel_registers(peer.connection, peer.rows.database, row,
                                    peer.rows.class_size_statement(class_size_statement_text), "1::dev::value");
    });
  };

  auto late = read(first);
  device.receive(8);  // the device is too slow: the read times out
  EXPECT_TRUE(late.get().empty());
  device.send({5, 0x03, 2, 0x11, 0x11});  // its reply arrives after all

  auto next = read(second);
  EXPECT_EQ(device.receive(8), (bytes{5, 0x03, 0, 2, 0, 1, 0x24, 0x4E}));
  device.send({5, 0x03, 2, 0x22, 0x22});
  EXPECT_EQ(next.get(), (bytes{0x22, 0x22}));
}

TEST(RtuPeer, ValtecFramesAndMalformedReplies) {
  pty_device_t device;
  peer_fixture_t peer("base.rs", "mb-rtu", 9, "", 0, device.path());
  const auto device_id = peer.rows.add_device(
      {.type = "mb-rtu", .sid = 9, .cname = "heat", .model = "valtec", .extra = bytes{0x01, 0x02, 0x03, 0x04}});
  const auto channel_id = peer.rows.add_channel("heat", {.value_type = "u32", .reg_addr = 0x10, .read_function = 0x41});
  const auto row = peer.rows.row(device_id, channel_id);
  auto read = [&] {
    return std::async(std::launch::async, [&] {
      return read_channel_registers(peer.connection, peer.rows.database, row,
                                    peer.rows.class_size_statement(class_size_statement_text), "1::heat::value");
    });
  };

  const struct {
    const char* what;
    bytes reply;
    bool crc;
    bytes value;
  } rows[] = {
      {"good", {9, 0x41, 1, 2, 3, 4, 4, 0xCA, 0xFE, 0xBA, 0xBE}, true, {0xCA, 0xFE, 0xBA, 0xBE}},
      {"another meter", {9, 0x41, 1, 2, 3, 5, 4, 0xCA, 0xFE, 0xBA, 0xBE}, true, {}},
      {"bad crc", {9, 0x41, 1, 2, 3, 4, 4, 0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00}, false, {}},
      {"cut short", {9, 0x41, 1, 2, 3, 4, 4, 0xCA, 0xFE}, true, {}},
      {"exception", {9, 0xC1, 0x04}, true, {}},
  };
  for (const auto& entry : rows) {
    SCOPED_TRACE(entry.what);
    auto result = read();
    const bytes request = device.receive(12);
    EXPECT_EQ(bytes(request.begin(), request.end() - 2), (bytes{9, 0x41, 1, 2, 3, 4, 0x00, 0x10, 0x00, 0x02}));
    device.send(entry.reply, entry.crc);
    EXPECT_EQ(result.get(), entry.value);
  }
  EXPECT_FALSE(write_channel_registers(peer.connection, peer.rows.database, row, {0, 1}, "1::heat::value"));
}

}  // namespace
