#include <gtest/gtest.h>

#include <stdexcept>

#include "net/loopback_peer.hpp"
#include "transport/connection_row.hpp"
#include "transport/make_connection.hpp"
#include "transport/pty_pair.hpp"
#include "transport/serial_connection.hpp"
#include "transport/tcp_connection.hpp"
#include "transport/udp_connection.hpp"

TEST(make_connection, chooses_the_kind_by_the_row_type) {
  korvex_test::pty_pair_t device;
  korvex_test::tcp_listener_t tcp_peer;
  korvex_test::udp_peer_t udp_peer;

  korvex_test::connection_settings_t serial_row;
  serial_row.type = "base.rs";
  serial_row.rs_port = device.path();
  korvex_test::connection_settings_t udp_row;
  udp_row.type = "base.udp";
  udp_row.host_port = udp_peer.port();
  korvex_test::connection_settings_t tcp_row;
  tcp_row.type = "base.tcp";
  tcp_row.host_port = tcp_peer.port();

  const auto serial = make_connection(korvex_test::connection_row_t(serial_row).row());
  const auto udp = make_connection(korvex_test::connection_row_t(udp_row).row());
  const auto tcp = make_connection(korvex_test::connection_row_t(tcp_row).row());
  EXPECT_NE(dynamic_cast<serial_connection_t*>(serial.get()), nullptr);
  EXPECT_NE(dynamic_cast<udp_connection_t*>(udp.get()), nullptr);
  EXPECT_NE(dynamic_cast<tcp_connection_t*>(tcp.get()), nullptr);
  for (const auto& connection : {serial, udp, tcp}) {
    EXPECT_TRUE(connection->available) << connection->name;
    EXPECT_TRUE(connection->is_open()) << connection->name;
  }
}

TEST(make_connection, unknown_type_names_the_token) {
  for (const std::string type : {"base.can", "", "BASE.TCP"}) {
    korvex_test::connection_settings_t settings;
    settings.type = type;
    const korvex_test::connection_row_t row(settings);
    try {
      make_connection(row.row());
      ADD_FAILURE() << "accepted type '" << type << "'";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), type + " : неизвестный токен");
    }
  }
}
