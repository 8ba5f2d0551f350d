// TCP and UDP connections, built from their rows, against peers played by
// the test on the loopback interface.

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>

#include "support/log_capture.hpp"
#include "transport/connection_fixture.hpp"
#include "transport/tcp_connection.hpp"
#include "transport/udp_connection.hpp"

using namespace std::chrono_literals;
using korvex_test::bytes_t;
using korvex_test::connection_from;
using korvex_test::read_bytes;
using korvex_test::send_all;

namespace {

std::shared_ptr<tcp_connection_t> tcp_to(uint16_t port, uint32_t rto = 2000, uint32_t sto = 2000) {
  return connection_from<tcp_connection_t>({.rto = rto, .sto = sto, .host = "localhost", .host_port = port});
}

std::shared_ptr<udp_connection_t> udp_to(uint16_t port, uint32_t rto = 100) {
  return connection_from<udp_connection_t>({.type = "base.udp", .rto = rto, .host_port = port});
}

// A UDP port nobody answers on, held: connected to itself, the socket takes
// no other sender's datagram, so the kernel refuses them as for a port
// nobody has, while no parallel test can take the port.
korvex_test::owned_fd_t refusing_udp_port() {
  auto socket = korvex_test::loopback_socket(SOCK_DGRAM);
  sockaddr_in self{};
  socklen_t length = sizeof self;
  korvex_test::check(::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&self), &length) == 0, "getsockname");
  korvex_test::check(::connect(socket.get(), reinterpret_cast<const sockaddr*>(&self), length) == 0, "connect");
  return socket;
}

// What the peer sent has truly arrived once the connection's socket is readable.
void wait_for_arrival(connection_t& connection) {
  auto* tcp = dynamic_cast<tcp_connection_t*>(&connection);
  const int handle = tcp ? tcp->socket->handle() : dynamic_cast<udp_connection_t&>(connection).socket->handle();
  ASSERT_TRUE(korvex_test::wait_readable(handle));
}

}  // namespace

TEST(tcp_connection, reads_what_came_and_gathers_a_reply_sent_in_segments) {
  korvex_test::tcp_listener_t listener;
  const auto connection = tcp_to(listener.port(), 200);
  auto peer = listener.accept();
  EXPECT_EQ(connection->name, "127.0.0.1:" + std::to_string(listener.port())) << "named by the resolved address";
  const bytes_t request{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
  ASSERT_EQ(connection->write(request.data(), request.size()), long(request.size()));
  EXPECT_EQ(korvex_test::read_exact(peer.get(), request.size()), request);
  const struct {
    bytes_t sent;
    std::size_t asked;
    bytes_t expected;
  } cases[] = {{{0xA, 0xB, 0xC, 0xD}, 2, {0xA, 0xB}}, {{}, 2, {0xC, 0xD}}, {{9, 9, 9}, 4, {9, 9, 9}}, {{}, 3, {}}};
  for (const auto& c : cases) {
    if (!c.sent.empty()) {
      send_all(peer.get(), c.sent);
      wait_for_arrival(*connection);
    }
    EXPECT_EQ(read_bytes(*connection, c.asked), c.expected);
    EXPECT_TRUE(connection->is_open()) << "a timeout keeps the stream";
  }
  // As a gateway relaying a serial line sends it: in pieces.
  connection->rto = 5000;
  std::thread sender([&] {
    for (uint8_t piece = 0; piece < 3; ++piece, std::this_thread::sleep_for(20ms)) send_all(peer.get(), bytes_t(3, piece));
  });
  EXPECT_EQ(read_bytes(*connection, 9), (bytes_t{0, 0, 0, 1, 1, 1, 2, 2, 2}));
  sender.join();
}

// A timeout of 0 (taken as 1 ms) must not mean "wait for ever", and short
// ones must not be cut to no wait at all. A datagram that nobody took comes
// back as a refusal from the kernel, which must not end the stream.
TEST(network_connection, short_timeouts_wait_their_whole_length) {
  for (const uint32_t rto : {0u, 1u, 3u}) {
    korvex_test::tcp_listener_t listener;
    const auto nobody = refusing_udp_port();
    const std::shared_ptr<connection_t> connections[] = {tcp_to(listener.port(), rto, 0),
                                                         udp_to(korvex_test::local_port(nobody.get()), rto)};
    auto peer = listener.accept();
    const uint8_t request[] = {1, 2, 3};
    connections[1]->write(request, sizeof request);
    // Come back before the first read, or the refusal would end the timed one.
    wait_for_arrival(*connections[1]);
    for (const auto& connection : connections) {
      EXPECT_EQ(read_bytes(*connection, 1), bytes_t{}) << connection->name << ": the refusal is no reply";
      const auto started = std::chrono::steady_clock::now();
      EXPECT_EQ(read_bytes(*connection, 1), bytes_t{}) << connection->name << " " << rto;
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(std::max(rto, 1u)));
      EXPECT_TRUE(connection->is_open()) << connection->name;
    }
  }
}

TEST(tcp_connection, flush_drops_a_late_reply_and_the_tail_of_a_long_one) {
  korvex_test::tcp_listener_t listener;
  const auto connection = tcp_to(listener.port(), 50);
  auto peer = listener.accept();
  EXPECT_EQ(read_bytes(*connection, 4), bytes_t{});
  send_all(peer.get(), {0xDE, 0xAD, 0xBE, 0xEF});  // after the read gave up
  wait_for_arrival(*connection);
  connection->flush();
  send_all(peer.get(), {1, 2, 3, 4, 5, 6});
  wait_for_arrival(*connection);
  EXPECT_EQ(read_bytes(*connection, 4), (bytes_t{1, 2, 3, 4}));
  connection->flush();  // the unread 5, 6
  send_all(peer.get(), {7, 8});
  wait_for_arrival(*connection);
  EXPECT_EQ(read_bytes(*connection, 2), (bytes_t{7, 8}));
}

TEST(tcp_connection, a_peer_that_closes_is_noticed_and_open_connects_afresh) {
  korvex_test::tcp_listener_t listener;
  const auto connection = tcp_to(listener.port());
  auto peer = listener.accept();
  send_all(peer.get(), {1, 2});
  peer.reset();
  EXPECT_EQ(read_bytes(*connection, 4), (bytes_t{1, 2})) << "what came before the close is still returned";
  uint8_t buffer[16] = {};
  EXPECT_FALSE(connection->is_open());
  EXPECT_EQ(connection->read(buffer, 4), -1);
  EXPECT_EQ(connection->write(buffer, 4), -1);
  // Closed while the connection was idle: the flush before the next request sees it.
  ASSERT_TRUE(connection->open());
  listener.accept().reset();
  wait_for_arrival(*connection);
  connection->flush();
  EXPECT_FALSE(connection->is_open());
  // Gone before a request: the write fails, and the process lives on (no SIGPIPE).
  ASSERT_TRUE(connection->open());
  listener.accept().reset();
  // The first write may still go out: the peer's reset answers it.
  EXPECT_TRUE(korvex_test::wait_until([&] { return connection->write(buffer, sizeof buffer) == -1; }));
  ASSERT_TRUE(connection->open());
  peer = listener.accept();
  ASSERT_EQ(connection->write(buffer, 3), 3);
  EXPECT_EQ(korvex_test::read_exact(peer.get(), 3), bytes_t(3, 0));
}

TEST(tcp_connection, peer_that_was_down_is_polled_again_when_it_comes_back) {
  // Bound but not yet listening: down, while its port stays reserved.
  std::optional<korvex_test::tcp_listener_t> peer(std::in_place, false);
  const auto connection = tcp_to(peer->port());
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
  accepted.reset();  // down again, then back on the same port
  peer.emplace(false, peer->port());
  EXPECT_EQ(connection->read(&byte, 1), 0);
  EXPECT_FALSE(connection->is_open() || connection->open());
  peer->listen();
  EXPECT_TRUE(connection->open());
}

TEST(udp_connection, reads_one_datagram_in_pieces_and_nothing_old_after_a_flush_or_a_close) {
  korvex_test::udp_peer_t peer;
  const auto connection = udp_to(peer.port());
  const bytes_t request{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x11, 0x03, 0x00, 0x00, 0x00, 0x01};
  ASSERT_EQ(connection->write(request.data(), request.size()), long(request.size()));
  ASSERT_EQ(peer.receive(), request);  // the peer now knows where to answer
  EXPECT_EQ(connection->name, "127.0.0.1:" + std::to_string(peer.port()));
  const struct {
    bytes_t datagram;  // sent by the peer first, when not empty
    std::vector<std::size_t> reads;
    std::vector<bytes_t> expected;
    bool flush_first = false;
    bool reopen_first = false;
  } cases[] = {
      {{0, 1, 0, 0, 0, 5, 0x11, 0x03, 0x02, 0x12, 0x34}, {7, 4}, {{0, 1, 0, 0, 0, 5, 0x11}, {0x03, 0x02, 0x12, 0x34}}},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {7, 5}, {{1, 2, 3, 4, 5, 6, 7}, {8, 9}}},  // shorter than asked
      {{1, 2, 3, 4, 5, 6}, {2}, {{1, 2}}},                                    // 3..6 kept
      {{0xEE, 0xEE}, {7}, {{}}, true},  // a late reply, and the rest before it, go with the flush
      {{7, 8, 9, 10}, {3}, {{7, 8, 9}}},  // 10 kept
      {{}, {4}, {{}}, false, true},       // and gone with the socket it came on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.datagram));
    if (!c.datagram.empty()) {
      peer.reply(c.datagram);
      wait_for_arrival(*connection);
    }
    if (c.flush_first) connection->flush();
    if (c.reopen_first) {
      connection->close();
      ASSERT_TRUE(connection->open());
    }
    for (std::size_t i = 0; i < c.reads.size(); ++i) EXPECT_EQ(read_bytes(*connection, c.reads[i]), c.expected[i]);
  }
}

// Unknown kinds are refused by name. A host that does not resolve (yet)
// leaves the connection unavailable under its configured name, and the port
// resolves it again at each pass; the empty name fails inside the resolver
// without any lookup traffic.
TEST(make_connection, refuses_unknown_kinds_and_leaves_unresolved_hosts_unavailable) {
  for (const std::string type : {"base.can", "BASE.TCP"}) {
    try {
      connection_from({.type = type});
      ADD_FAILURE() << "accepted type '" << type << "'";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), type + " : неизвестный токен");
    }
  }
  for (const std::string type : {"base.tcp", "base.udp"}) {
    const auto connection = connection_from({.type = type, .host = ""});
    EXPECT_FALSE(connection->available || connection->open()) << type;
    EXPECT_EQ(connection->name, ":502") << type;
  }
}

// A peer that stays away fails every open of a pass alike: one line a pass.
TEST(make_connection, a_peer_that_stays_away_is_logged_once_a_pass) {
  // Held, not listening: a parallel test cannot start a server on it.
  const korvex_test::tcp_listener_t away(false);
  const auto connection = tcp_to(away.port(), 100, 100);
  korvex_test::log_capture_t log;
  spdlog::default_logger()->set_level(spdlog::level::info);
  for (int pass = 0; pass < 2; ++pass) {
    connection->begin_pass();
    for (int open = 0; open < 3; ++open) EXPECT_FALSE(connection->open());
  }
  EXPECT_EQ(log.lines().size(), 2u) << testing::PrintToString(log.lines());
}
