#include "support/modbus_slave.hpp"

#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace korvex_test {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// A libmodbus master on the other side of the slave.
class client_t {
 public:
  client_t(const modbus_slave_t& slave, modbus_transport_t transport, int slave_id,
           std::chrono::milliseconds timeout = 2000ms) {
    context = transport == modbus_transport_t::tcp ? modbus_new_tcp(slave.host().c_str(), slave.port())
                                                   : modbus_new_rtu(slave.device_path().c_str(), 9600, 'N', 8, 1);
    if (context == nullptr) throw std::runtime_error("cannot create the client");
    modbus_set_slave(context, slave_id);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    modbus_set_response_timeout(context, static_cast<uint32_t>(micros / 1000000), static_cast<uint32_t>(micros % 1000000));
    if (modbus_connect(context) != 0) {
      modbus_free(context);
      throw std::runtime_error(std::string("cannot connect: ") + modbus_strerror(errno));
    }
  }
  ~client_t() {
    modbus_close(context);
    modbus_free(context);
  }
  client_t(const client_t&) = delete;
  client_t& operator=(const client_t&) = delete;

  // Reads `count` holding registers; returns the values or the errno.
  std::pair<std::vector<uint16_t>, int> read_holding(int address, int count) {
    std::vector<uint16_t> values(static_cast<size_t>(count));
    if (modbus_read_registers(context, address, count, values.data()) != count) return {{}, errno};
    return {values, 0};
  }

  modbus_t* context;
};

std::string name_of(const testing::TestParamInfo<modbus_transport_t>& info) {
  return info.param == modbus_transport_t::tcp ? "Tcp" : "Rtu";
}

class ModbusSlaveFixture : public testing::TestWithParam<modbus_transport_t> {};

INSTANTIATE_TEST_SUITE_P(Transports, ModbusSlaveFixture,
                         testing::Values(modbus_transport_t::tcp, modbus_transport_t::rtu), name_of);

TEST_P(ModbusSlaveFixture, ReadsReturnTheMapAndWritesLandInIt) {
  modbus_slave_t slave(GetParam(), {.slave_id = 7});
  slave.set_coil(3, true);
  slave.set_discrete_input(5, true);
  slave.set_holding_registers(10, {0x1234, 0xABCD});
  slave.set_input_registers(20, {0xFFFF, 0x8000});
  client_t client(slave, GetParam(), 7);

  uint8_t bits[3] = {};
  ASSERT_EQ(modbus_read_bits(client.context, 2, 3, bits), 3) << modbus_strerror(errno);
  EXPECT_EQ(std::vector<int>(bits, bits + 3), (std::vector<int>{0, 1, 0}));
  ASSERT_EQ(modbus_read_input_bits(client.context, 4, 2, bits), 2) << modbus_strerror(errno);
  EXPECT_EQ(std::vector<int>(bits, bits + 2), (std::vector<int>{0, 1}));
  EXPECT_EQ(client.read_holding(10, 2).first, (std::vector<uint16_t>{0x1234, 0xABCD}));
  uint16_t registers[2] = {};
  ASSERT_EQ(modbus_read_input_registers(client.context, 20, 2, registers), 2) << modbus_strerror(errno);
  EXPECT_EQ(std::vector<uint16_t>(registers, registers + 2), (std::vector<uint16_t>{0xFFFF, 0x8000}));

  const uint8_t coils[3] = {1, 0, 1};
  ASSERT_EQ(modbus_write_bits(client.context, 100, 3, coils), 3);
  const uint16_t values[2] = {7, 0x7FFF};
  ASSERT_EQ(modbus_write_registers(client.context, 200, 2, values), 2);
  EXPECT_TRUE(slave.coil(100));
  EXPECT_FALSE(slave.coil(101));
  EXPECT_TRUE(slave.coil(102));
  EXPECT_EQ(slave.holding_registers(200, 2), (std::vector<uint16_t>{7, 0x7FFF}));

  // Outside the map libmodbus itself answers with an exception.
  EXPECT_EQ(client.read_holding(999, 2).second, EMBXILADD);
  EXPECT_THROW(slave.set_holding_registers(999, {1, 2}), std::out_of_range);

  // The requests are recorded as they came over the wire: function code
  // after the MBAP header or after the slave id.
  const auto requests = slave.requests();
  ASSERT_EQ(requests.size(), 7u);
  const size_t function_at = GetParam() == modbus_transport_t::tcp ? 7 : 1;
  EXPECT_EQ(requests[0][function_at], 0x01);
  EXPECT_EQ(requests[5][function_at], 0x10);
}

TEST_P(ModbusSlaveFixture, OtherSlaveIdsGetNoAnswerAndDoNotDisturbTheNext) {
  modbus_slave_t slave(GetParam(), {.slave_id = 3});
  slave.set_holding_registers(0, {42});
  {
    client_t stranger(slave, GetParam(), 4, 300ms);
    EXPECT_EQ(stranger.read_holding(0, 1).second, ETIMEDOUT);
  }
  client_t client(slave, GetParam(), 3);
  EXPECT_EQ(client.read_holding(0, 1).first, std::vector<uint16_t>{42});
  slave.set_slave_id(4);
  modbus_set_slave(client.context, 4);
  EXPECT_EQ(client.read_holding(0, 1).first, std::vector<uint16_t>{42});
  EXPECT_EQ(slave.requests().size(), 2u);
}

struct fault_case_t {
  const char* name;
  modbus_faults_t faults;
  int expected_errno;  // 0: the read succeeds
  bool rtu_only = false;
};

TEST_P(ModbusSlaveFixture, EachFaultDoesWhatItSays) {
  const std::vector<fault_case_t> cases = {
      {"no reply", {.no_reply = true}, ETIMEDOUT},
      {"busy exception", {.exception_code = MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY}, EMBXSBUSY},
      {"delay within the timeout", {.reply_delay = 150ms}, 0},
      {"corrupted crc", {.corrupt_crc = true}, EMBBADCRC, true},
  };
  for (const auto& test : cases) {
    if (test.rtu_only && GetParam() != modbus_transport_t::rtu) continue;
    SCOPED_TRACE(test.name);
    modbus_slave_t slave(GetParam());
    slave.set_holding_registers(0, {11, 22});
    slave.set_faults(test.faults);
    client_t client(slave, GetParam(), 1, 800ms);
    const auto started = clock_type::now();
    const auto [values, error] = client.read_holding(0, 2);
    EXPECT_EQ(error, test.expected_errno) << modbus_strerror(error);
    if (test.expected_errno == 0) {
      EXPECT_EQ(values, (std::vector<uint16_t>{11, 22}));
      EXPECT_GE(clock_type::now() - started, test.faults.reply_delay);
    }
  }
}

TEST_P(ModbusSlaveFixture, FaultsEndAfterTheirCount) {
  modbus_slave_t slave(GetParam());
  slave.set_holding_registers(0, {5});
  slave.set_faults({.no_reply = true, .remaining = 2});
  client_t client(slave, GetParam(), 1, 500ms);
  EXPECT_EQ(client.read_holding(0, 1).second, ETIMEDOUT);
  EXPECT_EQ(client.read_holding(0, 1).second, ETIMEDOUT);
  EXPECT_EQ(client.read_holding(0, 1).first, std::vector<uint16_t>{5});
}

TEST_P(ModbusSlaveFixture, TrailingBytesFollowAWholeReply) {
  modbus_slave_t slave(GetParam());
  slave.set_holding_registers(0, {0x0102});
  slave.set_faults({.trailing_bytes = {0xDE, 0xAD, 0xBE}});
  client_t client(slave, GetParam(), 1);
  // libmodbus reads exactly one reply; the extra bytes wait behind it.
  EXPECT_EQ(client.read_holding(0, 1).first, std::vector<uint16_t>{0x0102});
  pollfd ready{modbus_get_socket(client.context), POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 5000), 1);
  uint8_t extra[16];
  const ssize_t got = read(ready.fd, extra, sizeof extra);
  EXPECT_EQ(std::vector<uint8_t>(extra, extra + std::max<ssize_t>(got, 0)), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE}));
}

TEST_P(ModbusSlaveFixture, LateReplyLandsInTheNextTransaction) {
  modbus_slave_t slave(GetParam());
  slave.set_holding_registers(0, {1, 2});
  slave.set_holding_registers(10, {3, 4});
  slave.set_faults({.late_reply = true, .remaining = 1});
  client_t client(slave, GetParam(), 1, 500ms);
  EXPECT_EQ(client.read_holding(0, 2).second, ETIMEDOUT);
  const auto [values, error] = client.read_holding(10, 2);
  if (GetParam() == modbus_transport_t::rtu) {
    // Nothing in an RTU frame ties a reply to its request: the stale values
    // look valid. This is what a gateway must guard against.
    EXPECT_EQ(error, 0);
    EXPECT_EQ(values, (std::vector<uint16_t>{1, 2}));
  } else {
    EXPECT_EQ(error, EMBBADDATA) << "the transaction id gives the stale reply away";
  }
}

TEST_P(ModbusSlaveFixture, StopsPromptlyWhileHoldingAReply) {
  auto slave = std::make_unique<modbus_slave_t>(GetParam());
  slave->set_faults({.reply_delay = 60s});
  client_t client(*slave, GetParam(), 1, 100ms);
  EXPECT_EQ(client.read_holding(0, 1).second, ETIMEDOUT);
  ASSERT_TRUE(slave->wait_for_requests(1, 5s));
  const auto started = clock_type::now();
  slave.reset();
  EXPECT_LT(clock_type::now() - started, 5s);
}

TEST_P(ModbusSlaveFixture, MapChangesAreAtomicForAConcurrentReader) {
  modbus_slave_t slave(GetParam());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint16_t value = 0; !done; ++value) slave.set_holding_registers(0, {value, value});
  });
  client_t client(slave, GetParam(), 1);
  for (int i = 0; i < 200; ++i) {
    const auto [values, error] = client.read_holding(0, 2);
    ASSERT_EQ(error, 0) << modbus_strerror(error);
    ASSERT_EQ(values[0], values[1]);
  }
  done = true;
  writer.join();
}

TEST(ModbusSlaveTcp, ServesClientsAtOnceAndCanHangUpOnEachAfterItsReplies) {
  modbus_slave_t slave(modbus_transport_t::tcp);
  slave.set_holding_registers(0, {9});
  client_t first(slave, modbus_transport_t::tcp, 1);
  EXPECT_EQ(first.read_holding(0, 1).first, std::vector<uint16_t>{9});
  slave.set_faults({.hang_up_after_replies = 1});
  for (int round = 0; round < 2; ++round) {
    client_t client(slave, modbus_transport_t::tcp, 1);
    EXPECT_EQ(client.read_holding(0, 1).first, std::vector<uint16_t>{9});
    EXPECT_NE(client.read_holding(0, 1).second, 0) << "the second request finds the connection gone";
  }
  slave.set_faults({});
  EXPECT_EQ(first.read_holding(0, 1).first, std::vector<uint16_t>{9}) << "the others' hang-ups left it alone";
}

}  // namespace
}  // namespace korvex_test
