#include <gtest/gtest.h>

#include <stdexcept>

#include "support/log_capture.hpp"
#include "support/pty_pair.hpp"
#include "transport/connection_fixture.hpp"
#include "transport/make_connection.hpp"
#include "transport/serial_connection.hpp"
#include "transport/tcp_connection.hpp"
#include "transport/udp_connection.hpp"

using korvex_test::connection_row_t;
using korvex_test::connection_settings_t;

TEST(make_connection, chooses_the_kind_by_the_row_type_and_names_it_by_its_settings) {
  korvex_test::pty_pair_t device;
  korvex_test::tcp_listener_t tcp_peer;
  korvex_test::udp_peer_t udp_peer;

  const auto serial = make_connection(connection_row_t({.type = "base.rs", .rs_port = device.path()}).row());
  const auto udp = make_connection(connection_row_t({.type = "base.udp", .host_port = udp_peer.port()}).row());
  const auto tcp =
      make_connection(connection_row_t({.type = "base.tcp", .rto = 300, .sto = 400, .host_port = tcp_peer.port()}).row());
  EXPECT_NE(dynamic_cast<serial_connection_t*>(serial.get()), nullptr);
  EXPECT_NE(dynamic_cast<udp_connection_t*>(udp.get()), nullptr);
  EXPECT_NE(dynamic_cast<tcp_connection_t*>(tcp.get()), nullptr);
  EXPECT_EQ(serial->name, device.path() + ":9600:8:0:1:0");
  EXPECT_EQ(udp->name, "127.0.0.1:" + std::to_string(udp_peer.port()));
  EXPECT_EQ(tcp->name, "127.0.0.1:" + std::to_string(tcp_peer.port()));
  EXPECT_EQ(tcp->rto, 300u);
  EXPECT_EQ(tcp->sto, 400u);
  for (const auto& connection : {serial, udp, tcp}) {
    EXPECT_GT(connection->connection_id, 0) << connection->name;
    EXPECT_TRUE(connection->available) << connection->name;
    EXPECT_TRUE(connection->is_open()) << connection->name;
    EXPECT_TRUE(connection->open()) << connection->name << ": open on an open connection is a no-op";
  }
}

TEST(make_connection, refuses_unknown_types_and_leaves_unresolved_hosts_unavailable) {
  for (const std::string type : {"base.can", "BASE.TCP"}) {
    try {
      make_connection(connection_row_t({.type = type}).row());
      ADD_FAILURE() << "accepted type '" << type << "'";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), type + " : неизвестный токен");
    }
  }
  // A host that does not resolve (yet) leaves the connection unavailable
  // under its configured name; the port resolves it again at each pass. The
  // empty name fails inside the resolver without any lookup traffic.
  for (const std::string type : {"base.tcp", "base.udp"}) {
    const auto connection = make_connection(connection_row_t({.type = type, .host = ""}).row());
    EXPECT_FALSE(connection->available) << type;
    EXPECT_FALSE(connection->open()) << type;
    EXPECT_EQ(connection->name, ":502") << type;
  }
}

// A peer that stays away fails every open of a pass alike: one line a pass.
TEST(make_connection, a_peer_that_stays_away_is_logged_once_a_pass) {
  auto device = std::make_unique<korvex_test::pty_pair_t>();
  const auto serial = make_connection(connection_row_t({.type = "base.rs", .rs_port = device->path()}).row());
  serial->close();
  device.reset();  // the adapter is gone, and its device node with it
  const auto tcp = make_connection(
      connection_row_t({.type = "base.tcp", .rto = 100, .sto = 100, .host_port = static_cast<uint32_t>(korvex_test::free_loopback_port())})
          .row());
  for (const auto& connection : {serial, tcp}) {
    korvex_test::log_capture_t log;
    spdlog::default_logger()->set_level(spdlog::level::info);
    for (int pass = 0; pass < 2; ++pass) {
      connection->begin_pass();
      for (int open = 0; open < 3; ++open) EXPECT_FALSE(connection->open()) << connection->name;
    }
    EXPECT_EQ(log.lines().size(), 2u) << testing::PrintToString(log.lines());
  }
}
