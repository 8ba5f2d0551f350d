#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "support/modbus_slave.hpp"
#include "transport/connection_fixture.hpp"
#include "transport/tcp_connection.hpp"

using namespace std::chrono_literals;
using korvex_test::bytes_t;
using korvex_test::read_bytes;
using korvex_test::send_all;

namespace {

std::unique_ptr<tcp_connection_t> connect_to(uint16_t port, uint32_t rto = 2000, uint32_t sto = 2000) {
  return korvex_test::connection_from<tcp_connection_t>({.rto = rto, .sto = sto, .host_port = port});
}

// Until the connection's own socket has bytes (or the end of the stream)
// waiting: a late reply has then truly arrived.
void wait_until_waiting(tcp_connection_t& connection) {
  ASSERT_TRUE(korvex_test::wait_readable(connection.socket->handle()));
}

}  // namespace

TEST(tcp_connection, reads_and_writes_bytes_exactly) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port(), 200);
  auto peer = listener.accept();

  const bytes_t request{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
  ASSERT_EQ(connection->write(request.data(), request.size()), static_cast<long>(request.size()));
  EXPECT_EQ(korvex_test::read_exact(peer.get(), request.size()), request);

  const struct {
    const char* what;
    bytes_t sent;
    std::size_t asked;
    bytes_t expected;
  } cases[] = {
      {"envelope then body of one reply", {0xA, 0xB, 0xC, 0xD}, 2, {0xA, 0xB}},
      {"the rest stays for the next read", {}, 2, {0xC, 0xD}},
      {"one byte more than waiting returns what came", {9, 9, 9}, 4, {9, 9, 9}},
      {"nothing at all", {}, 3, {}},
  };
  for (const auto& c : cases) {
    if (!c.sent.empty()) send_all(peer.get(), c.sent);
    EXPECT_EQ(read_bytes(*connection, c.asked), c.expected) << c.what;
    EXPECT_TRUE(connection->is_open()) << c.what << ": a timeout keeps the stream";
  }
}

TEST(tcp_connection, gathers_a_reply_that_arrives_in_segments) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port(), 5000);
  auto peer = listener.accept();

  // The reply comes as a gateway relaying a serial line sends it: in pieces.
  std::thread sender([&] {
    for (uint8_t piece = 0; piece < 3; ++piece) {
      send_all(peer.get(), {piece, piece, piece});
      std::this_thread::sleep_for(20ms);
    }
  });
  const auto reply = read_bytes(*connection, 9);
  sender.join();
  EXPECT_EQ(reply, (bytes_t{0, 0, 0, 1, 1, 1, 2, 2, 2}));
}

// A timeout of 0 (taken as 1 ms) must not mean "wait for ever", and short
// ones must not be cut to no wait at all: a silent peer is waited for the
// whole timeout.
TEST(tcp_connection, short_timeouts_wait_their_whole_length) {
  for (const uint32_t rto : {0u, 1u, 3u}) {
    korvex_test::tcp_listener_t listener;
    const auto connection = connect_to(listener.port(), rto, 0);
    auto peer = listener.accept();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(read_bytes(*connection, 1), bytes_t{}) << rto;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(std::max(rto, 1u))) << rto;
    EXPECT_TRUE(connection->is_open());
  }
}

TEST(tcp_connection, flush_drops_a_late_reply_and_the_tail_of_a_long_one) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port(), 50);
  auto peer = listener.accept();

  // The reply comes after the read gave up...
  EXPECT_EQ(read_bytes(*connection, 4), bytes_t{});
  send_all(peer.get(), {0xDE, 0xAD, 0xBE, 0xEF});
  wait_until_waiting(*connection);
  // ...and must not be taken as the reply to the next request.
  connection->flush();
  EXPECT_TRUE(connection->is_open());
  send_all(peer.get(), {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(read_bytes(*connection, 4), (bytes_t{1, 2, 3, 4}));

  // The unread tail (5, 6) goes the same way.
  wait_until_waiting(*connection);
  connection->flush();
  send_all(peer.get(), {7, 8});
  EXPECT_EQ(read_bytes(*connection, 2), (bytes_t{7, 8}));
}

TEST(tcp_connection, a_peer_that_closes_is_noticed_by_read_or_flush_and_open_connects_afresh) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port());
  auto peer = listener.accept();

  send_all(peer.get(), {1, 2});
  peer.reset();
  EXPECT_EQ(read_bytes(*connection, 4), (bytes_t{1, 2})) << "what came before the close is still returned";
  EXPECT_FALSE(connection->is_open());
  uint8_t buffer[4] = {};
  EXPECT_EQ(connection->read(buffer, 4), -1);
  EXPECT_EQ(connection->write(buffer, 4), -1);

  ASSERT_TRUE(connection->open());
  peer = listener.accept();
  const bytes_t request{5, 6, 7};
  ASSERT_EQ(connection->write(request.data(), request.size()), 3);
  EXPECT_EQ(korvex_test::read_exact(peer.get(), 3), request);

  // Closed while the connection was idle: the flush before the next request sees it.
  peer.reset();
  wait_until_waiting(*connection);
  connection->flush();
  EXPECT_FALSE(connection->is_open());
  ASSERT_TRUE(connection->open());
  EXPECT_TRUE(connection->is_open());
}

TEST(tcp_connection, peer_that_was_down_is_polled_again_when_it_comes_back) {
  // Bound but not yet listening: down, while its port stays reserved.
  std::optional<korvex_test::tcp_listener_t> peer(std::in_place, false);
  const uint16_t port = peer->port();
  const auto connection = connect_to(port);
  EXPECT_TRUE(connection->available);
  EXPECT_FALSE(connection->is_open()) << "a refused connect leaves no half-made stream";
  uint8_t byte = 1;
  EXPECT_EQ(connection->write(&byte, 1), -1);
  EXPECT_FALSE(connection->open());

  peer->listen();
  ASSERT_TRUE(connection->open());
  auto accepted = peer->accept();
  ASSERT_EQ(connection->write(&byte, 1), 1);
  EXPECT_EQ(korvex_test::read_exact(accepted.get(), 1), bytes_t{1});

  // Down again, then back on the same port.
  accepted.reset();
  peer.reset();
  peer.emplace(false, port);
  EXPECT_EQ(connection->read(&byte, 1), 0);
  EXPECT_FALSE(connection->is_open());
  EXPECT_FALSE(connection->open());
  peer->listen();
  EXPECT_TRUE(connection->open());
}

// Against a real libmodbus slave: registers 0x10 and 0x11 of unit 1.
namespace {

bytes_t read_request(uint8_t tid) { return {0x00, tid, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02}; }
bytes_t expected_reply(uint8_t tid) { return {0x00, tid, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x12, 0x34, 0xAB, 0xCD}; }

bool send_request(connection_t& connection, uint8_t tid) {
  connection.flush();
  const bytes_t request = read_request(tid);
  return connection.write(request.data(), request.size()) == static_cast<long>(request.size());
}

// Envelope and body in two reads, as the frames read a reply.
std::optional<bytes_t> receive_reply(connection_t& connection) {
  const auto envelope = read_bytes(connection, 7);
  const auto body = read_bytes(connection, 6);
  if (!envelope || !body) return std::nullopt;
  bytes_t reply = *envelope;
  reply.insert(reply.end(), body->begin(), body->end());
  return reply;
}

}  // namespace

TEST(tcp_connection_with_modbus_slave, reads_registers_and_never_takes_a_stale_reply) {
  korvex_test::modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0x10, {0x1234, 0xABCD});
  const auto connection = connect_to(static_cast<uint16_t>(slave.port()));

  ASSERT_TRUE(send_request(*connection, 1));
  EXPECT_EQ(receive_reply(*connection), expected_reply(1));

  // A reply left unread (the poll of a channel that gave up on it)...
  ASSERT_TRUE(send_request(*connection, 2));
  wait_until_waiting(*connection);
  // ...is dropped by the flush in front of the next request.
  ASSERT_TRUE(send_request(*connection, 3));
  EXPECT_EQ(receive_reply(*connection), expected_reply(3));
}

TEST(tcp_connection_with_modbus_slave, reconnects_after_the_slave_dropped_it) {
  korvex_test::modbus_slave_t slave(korvex_test::modbus_transport_t::tcp);
  slave.set_holding_registers(0x10, {0x1234, 0xABCD});
  slave.set_faults({.hang_up_after_replies = 1});
  const auto connection = connect_to(static_cast<uint16_t>(slave.port()));

  for (uint8_t tid = 1; tid <= 3; ++tid) {
    SCOPED_TRACE(testing::Message() << "poll " << int(tid));
    ASSERT_TRUE(connection->open());
    ASSERT_TRUE(send_request(*connection, tid));
    EXPECT_EQ(receive_reply(*connection), expected_reply(tid));
    // The hang-up is seen at the latest by the next flush or read.
    EXPECT_EQ(read_bytes(*connection, 1), bytes_t{});
    EXPECT_FALSE(connection->is_open());
  }
}
