#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "net/loopback_peer.hpp"
#include "transport/connection_row.hpp"
#include "transport/tcp_connection.hpp"

using namespace std::chrono_literals;
using korvex_test::bytes_t;

namespace {

std::unique_ptr<tcp_connection_t> connect_to(uint16_t port, uint32_t rto = 2000, uint32_t sto = 2000) {
  korvex_test::connection_settings_t settings;
  settings.rto = rto;
  settings.sto = sto;
  settings.host_port = port;
  const korvex_test::connection_row_t row(settings);
  return std::make_unique<tcp_connection_t>(row.row());
}

bytes_t read_bytes(connection_t& connection, std::size_t size, long* result) {
  bytes_t buffer(size);
  *result = connection.read(buffer.data(), buffer.size());
  buffer.resize(*result > 0 ? static_cast<std::size_t>(*result) : 0);
  return buffer;
}

// Until the connection's own socket has bytes waiting: a late reply has
// then truly arrived.
void wait_until_waiting(tcp_connection_t& connection) {
  ASSERT_TRUE(korvex_test::wait_readable(connection.socket->handle()));
}

}  // namespace

TEST(tcp_connection, construction_reads_the_row_and_connects) {
  korvex_test::tcp_listener_t peer;
  const auto connection = connect_to(peer.port(), 300, 400);
  EXPECT_TRUE(connection->available);
  EXPECT_TRUE(connection->is_open());
  EXPECT_EQ(connection->name, "127.0.0.1:" + std::to_string(peer.port()));
  EXPECT_EQ(connection->rto, 300u);
  EXPECT_EQ(connection->sto, 400u);
  EXPECT_GT(connection->connection_id, 0);
  EXPECT_TRUE(connection->open()) << "open on an open connection is a no-op";
}

TEST(tcp_connection, host_that_does_not_resolve_throws) {
  korvex_test::connection_settings_t settings;
  settings.host = "";
  const korvex_test::connection_row_t row(settings);
  EXPECT_THROW(tcp_connection_t{row.row()}, std::system_error);
}

TEST(tcp_connection, reads_and_writes_bytes_exactly) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port(), 200);
  auto peer = listener.accept();

  const bytes_t request{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
  ASSERT_EQ(connection->write(request.data(), request.size()), static_cast<long>(request.size()));
  EXPECT_EQ(korvex_test::recv_exact(peer.get(), request.size()), request);

  struct case_t {
    const char* what;
    bytes_t sent;
    std::size_t asked;
    bytes_t expected;
  };
  const case_t cases[] = {
      {"exact count", {1, 2, 3, 4, 5, 6, 7}, 7, {1, 2, 3, 4, 5, 6, 7}},
      {"envelope then body of one reply", {0xA, 0xB, 0xC, 0xD}, 2, {0xA, 0xB}},
      {"the rest stays for the next read", {}, 2, {0xC, 0xD}},
      {"one byte more than waiting returns what came", {9, 9, 9}, 4, {9, 9, 9}},
      {"nothing at all", {}, 3, {}},
  };
  for (const auto& c : cases) {
    if (!c.sent.empty()) korvex_test::send_all(peer.get(), c.sent);
    long result = -2;
    EXPECT_EQ(read_bytes(*connection, c.asked, &result), c.expected) << c.what;
    EXPECT_EQ(result, static_cast<long>(c.expected.size())) << c.what;
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
      korvex_test::send_all(peer.get(), {piece, piece, piece});
      std::this_thread::sleep_for(20ms);
    }
  });
  long result = 0;
  const bytes_t reply = read_bytes(*connection, 9, &result);
  sender.join();
  EXPECT_EQ(result, 9);
  EXPECT_EQ(reply, (bytes_t{0, 0, 0, 1, 1, 1, 2, 2, 2}));
}

TEST(tcp_connection, zero_timeouts_do_not_mean_waiting_for_ever) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port(), 0, 0);
  auto peer = listener.accept();
  uint8_t byte = 0;
  // With "no timeout" this read would never return and the test would hang.
  EXPECT_EQ(connection->read(&byte, 1), 0);
  EXPECT_TRUE(connection->is_open());
}

TEST(tcp_connection, flush_drops_a_late_reply_and_the_tail_of_a_long_one) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port(), 50);
  auto peer = listener.accept();

  // The reply comes after the read gave up...
  uint8_t reply[4] = {};
  EXPECT_EQ(connection->read(reply, 4), 0);
  korvex_test::send_all(peer.get(), {0xDE, 0xAD, 0xBE, 0xEF});
  wait_until_waiting(*connection);
  // ...and must not be taken as the reply to the next request.
  connection->flush();
  EXPECT_TRUE(connection->is_open());
  korvex_test::send_all(peer.get(), {1, 2, 3, 4, 5, 6});
  long result = 0;
  EXPECT_EQ(read_bytes(*connection, 4, &result), (bytes_t{1, 2, 3, 4}));

  // The unread tail (5, 6) goes the same way.
  wait_until_waiting(*connection);
  connection->flush();
  korvex_test::send_all(peer.get(), {7, 8});
  EXPECT_EQ(read_bytes(*connection, 2, &result), (bytes_t{7, 8}));
}

TEST(tcp_connection, peer_close_closes_the_connection_and_open_connects_afresh) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port());
  auto peer = listener.accept();

  korvex_test::send_all(peer.get(), {1, 2});
  peer.reset();
  uint8_t buffer[4] = {};
  EXPECT_EQ(connection->read(buffer, 4), 2) << "what came before the close is still returned";
  EXPECT_FALSE(connection->is_open());
  EXPECT_EQ(connection->read(buffer, 4), -1);
  EXPECT_EQ(connection->write(buffer, 4), -1);

  ASSERT_TRUE(connection->open());
  peer = listener.accept();
  const bytes_t request{5, 6, 7};
  ASSERT_EQ(connection->write(request.data(), request.size()), 3);
  EXPECT_EQ(korvex_test::recv_exact(peer.get(), 3), request);
}

TEST(tcp_connection, flush_notices_a_peer_that_closed_while_idle) {
  korvex_test::tcp_listener_t listener;
  const auto connection = connect_to(listener.port());
  listener.accept().reset();
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
  EXPECT_EQ(korvex_test::recv_exact(accepted.get(), 1), bytes_t{1});

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
