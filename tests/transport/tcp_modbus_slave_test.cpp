#include <gtest/gtest.h>

#include "transport/connection_row.hpp"
#include "transport/modbus_tcp_slave.hpp"
#include "transport/tcp_connection.hpp"

using korvex_test::bytes_t;

namespace {

std::unique_ptr<tcp_connection_t> connect_to(uint16_t port) {
  korvex_test::connection_settings_t settings;
  settings.host_port = port;
  settings.rto = 2000;
  const korvex_test::connection_row_t row(settings);
  return std::make_unique<tcp_connection_t>(row.row());
}

// Read holding registers 0x0010 and 0x0011 of unit 1, with the given TID.
bytes_t read_request(uint8_t tid) { return {0x00, tid, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02}; }

bool send(connection_t& connection, const bytes_t& request) {
  connection.flush();
  return connection.write(request.data(), request.size()) == static_cast<long>(request.size());
}

// Envelope and body in two reads, as the frames read a reply.
bytes_t receive(connection_t& connection, std::size_t body) {
  bytes_t reply(7 + body);
  if (connection.read(reply.data(), 7) != 7) return {};
  if (connection.read(reply.data() + 7, body) != static_cast<long>(body)) return {};
  return reply;
}

bytes_t expected_reply(uint8_t tid) {
  return {0x00, tid, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x12, 0x34, 0xAB, 0xCD};
}

}  // namespace

TEST(tcp_connection_with_modbus_slave, reads_registers_and_never_takes_a_stale_reply) {
  korvex_test::modbus_tcp_slave_t slave;
  slave.holding_registers()[0x10] = 0x1234;
  slave.holding_registers()[0x11] = 0xABCD;
  const auto connection = connect_to(slave.port());

  ASSERT_TRUE(send(*connection, read_request(1)));
  EXPECT_EQ(receive(*connection, 6), expected_reply(1));

  // A reply left unread (the poll of a channel that gave up on it)...
  ASSERT_TRUE(send(*connection, read_request(2)));
  ASSERT_TRUE(korvex_test::wait_readable(connection->socket->handle()));
  // ...is dropped by the flush in front of the next request.
  ASSERT_TRUE(send(*connection, read_request(3)));
  EXPECT_EQ(receive(*connection, 6), expected_reply(3));
}

TEST(tcp_connection_with_modbus_slave, reconnects_after_the_slave_dropped_it) {
  korvex_test::modbus_tcp_slave_t slave(1);  // one reply per client, then hang up
  slave.holding_registers()[0x10] = 0x1234;
  slave.holding_registers()[0x11] = 0xABCD;
  const auto connection = connect_to(slave.port());

  for (uint8_t tid = 1; tid <= 3; ++tid) {
    ASSERT_TRUE(connection->open()) << "poll " << int(tid);
    ASSERT_TRUE(send(*connection, read_request(tid))) << "poll " << int(tid);
    EXPECT_EQ(receive(*connection, 6), expected_reply(tid)) << "poll " << int(tid);
    // The hang-up is seen at the latest by the next flush or read.
    uint8_t byte = 0;
    EXPECT_EQ(connection->read(&byte, 1), 0);
    EXPECT_FALSE(connection->is_open());
  }
}
