#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

#include "net/inet_address.hpp"
#include "net/socket.hpp"
#include "support/net.hpp"

using namespace std::chrono_literals;
using korvex_test::bytes_t;

TEST(inet_address, resolves_names_and_gives_the_text_form) {
  const struct {
    std::string host;
    uint16_t port;
    std::string text;
  } cases[] = {{"localhost", 1502, "127.0.0.1:1502"}, {"192.168.0.10", 65535, "192.168.0.10:65535"}};
  for (const auto& c : cases) {
    const korvex_net::inet_address_t address(c.host, c.port);
    EXPECT_EQ(address.to_string(), c.text) << c.host;
    EXPECT_EQ(address.port(), c.port);
  }
  // The empty name fails inside the resolver without any lookup traffic.
  EXPECT_THROW(korvex_net::inet_address_t("", 502), std::system_error);
}

TEST(tcp_connector, each_connect_makes_a_fresh_socket_and_a_refused_one_leaves_none) {
  korvex_test::tcp_listener_t down(false);
  korvex_net::tcp_connector_t connector;
  const korvex_net::inet_address_t peer("127.0.0.1", down.port());

  EXPECT_EQ(connector.connect(peer, 1s).value(), ECONNREFUSED);
  EXPECT_FALSE(connector.is_open());
  EXPECT_EQ(connector.handle(), -1);

  down.listen();
  ASSERT_FALSE(connector.connect(peer, 1s));
  auto accepted = down.accept();
  // A second connect replaces the stream: the peer sees the old one end.
  ASSERT_FALSE(connector.connect(peer, 1s));
  auto second = down.accept();
  uint8_t byte = 0;
  ASSERT_TRUE(korvex_test::wait_readable(accepted.get()));
  EXPECT_EQ(::recv(accepted.get(), &byte, 1, 0), 0);
  EXPECT_TRUE(connector.is_open());

  EXPECT_FALSE(connector.close());
  EXPECT_FALSE(connector.is_open());
  EXPECT_FALSE(connector.close()) << "closing a closed socket is no error";
}

TEST(tcp_connector, read_timeout_bounds_a_recv_and_a_vanished_peer_fails_send_without_sigpipe) {
  korvex_test::tcp_listener_t listener;
  korvex_net::tcp_connector_t connector;
  ASSERT_FALSE(connector.connect(korvex_net::inet_address_t("127.0.0.1", listener.port()), 1s));
  auto accepted = listener.accept();
  ASSERT_FALSE(connector.read_timeout(20ms));
  ASSERT_FALSE(connector.write_timeout(20ms));
  uint8_t byte = 0;
  EXPECT_EQ(connector.recv(&byte, 1), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  EXPECT_TRUE(connector.is_open());

  accepted.reset();  // the peer goes away
  const bytes_t request(16, 0x55);
  long result = 0;
  // The first send may still be taken by the kernel; a later one meets the
  // reset stream. The process must survive it.
  for (int attempt = 0; attempt < 100 && result >= 0; ++attempt) {
    result = connector.send(request.data(), request.size());
    if (result >= 0) korvex_test::wait_readable(connector.handle(), 100ms);
  }
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

TEST(datagram_socket, connected_socket_exchanges_with_its_peer) {
  korvex_test::udp_peer_t peer;
  korvex_net::datagram_socket_t socket;
  ASSERT_FALSE(socket.open());
  ASSERT_FALSE(socket.connect(korvex_net::inet_address_t("127.0.0.1", peer.port())));

  const bytes_t request{1, 2, 3};
  ASSERT_EQ(socket.send(request.data(), request.size()), 3);
  EXPECT_EQ(peer.receive(), request);
  peer.reply({9, 8, 7, 6});
  ASSERT_TRUE(socket.wait_readable(10s));
  bytes_t reply(16);
  EXPECT_EQ(socket.recv(reply.data(), reply.size()), 4);
  EXPECT_FALSE(socket.wait_readable(1ms));
}
