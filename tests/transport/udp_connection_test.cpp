#include <gtest/gtest.h>

#include "transport/connection_fixture.hpp"
#include "transport/udp_connection.hpp"

using korvex_test::bytes_t;
using korvex_test::read_bytes;

namespace {

std::unique_ptr<udp_connection_t> connect_to(uint16_t port, uint32_t rto = 100) {
  return korvex_test::connection_from<udp_connection_t>({.type = "base.udp", .rto = rto, .host_port = port});
}

// Sends a request so the peer learns where to answer.
void hello(udp_connection_t& connection, korvex_test::udp_peer_t& peer) {
  const bytes_t request{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x11, 0x03, 0x00, 0x00, 0x00, 0x01};
  ASSERT_EQ(connection.write(request.data(), request.size()), static_cast<long>(request.size()));
  ASSERT_EQ(peer.receive(), request);
}

}  // namespace

TEST(udp_connection, reads_of_one_datagram_in_pieces) {
  korvex_test::udp_peer_t peer;
  const auto connection = connect_to(peer.port());
  hello(*connection, peer);

  const struct {
    const char* what;
    bytes_t datagram;  // sent by the peer before the reads, when not empty
    std::vector<std::size_t> reads;
    std::vector<bytes_t> expected;
  } cases[] = {
      {"envelope, then body of the same datagram",
       {0, 1, 0, 0, 0, 5, 0x11, 0x03, 0x02, 0x12, 0x34},
       {7, 4},
       {{0, 1, 0, 0, 0, 5, 0x11}, {0x03, 0x02, 0x12, 0x34}}},
      {"body shorter than asked", {1, 2, 3, 4, 5, 6, 7, 8, 9}, {7, 5}, {{1, 2, 3, 4, 5, 6, 7}, {8, 9}}},
      {"silence ends within the read timeout", {}, {7}, {{}}},
  };
  for (const auto& c : cases) {
    if (!c.datagram.empty()) peer.reply(c.datagram);
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      EXPECT_EQ(read_bytes(*connection, c.reads[i]), c.expected[i]) << c.what << ", read " << i;
    }
  }
}

TEST(udp_connection, flush_and_reopen_leave_nothing_old_to_read) {
  korvex_test::udp_peer_t peer;
  const auto connection = connect_to(peer.port());
  hello(*connection, peer);

  peer.reply({1, 2, 3, 4, 5, 6});
  EXPECT_EQ(read_bytes(*connection, 2), (bytes_t{1, 2}));  // 3..6 kept
  peer.reply({0xEE, 0xEE});                                  // a late reply
  ASSERT_TRUE(korvex_test::wait_readable(connection->socket->handle()));
  connection->flush();
  EXPECT_EQ(read_bytes(*connection, 7), bytes_t{}) << "nothing old survives the flush";
  peer.reply({7, 8, 9, 10});
  EXPECT_EQ(read_bytes(*connection, 3), (bytes_t{7, 8, 9}));  // 10 kept

  connection->close();
  EXPECT_FALSE(connection->is_open());
  uint8_t byte = 0;
  EXPECT_EQ(connection->read(&byte, 1), -1);
  EXPECT_EQ(connection->write(&byte, 1), -1);
  ASSERT_TRUE(connection->open());
  EXPECT_EQ(read_bytes(*connection, 3), bytes_t{}) << "the rest of the old datagram went with the socket";
  hello(*connection, peer);
  peer.reply({5, 6});
  EXPECT_EQ(read_bytes(*connection, 2), (bytes_t{5, 6}));
}

TEST(udp_connection, short_timeouts_wait_their_whole_length) {
  korvex_test::udp_peer_t peer;
  for (const uint32_t rto : {1u, 3u}) {
    const auto connection = connect_to(peer.port(), rto);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(read_bytes(*connection, 7), bytes_t{}) << rto;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(rto)) << rto;
  }
}

TEST(udp_connection, peer_that_is_not_there_gives_empty_reads) {
  uint16_t port = 0;
  { port = korvex_test::udp_peer_t().port(); }  // nobody listens there now
  const auto connection = connect_to(port, 50);
  const bytes_t request{1, 2, 3};
  connection->write(request.data(), request.size());
  // The refusal the kernel reports for the first datagram must not end the stream.
  EXPECT_EQ(read_bytes(*connection, 8), bytes_t{});
  EXPECT_EQ(read_bytes(*connection, 8), bytes_t{});
  EXPECT_TRUE(connection->is_open());
  connection->flush();
}
