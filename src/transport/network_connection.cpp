#include "transport/network_connection.hpp"

#include <system_error>

#include <SQLiteCpp/Column.h>
#include <spdlog/spdlog.h>

#include "transport/connection_queries.hpp"

network_peer_t::network_peer_t(const SQLite::Statement& row)
    : host(row.getColumn(connection_column::host).getString()),
      port(static_cast<uint16_t>(row.getColumn(connection_column::host_port).getUInt())) {}

bool network_peer_t::resolve(std::string& name) {
  try {
    address = korvex_net::inet_address_t(host, port);
  } catch (const std::system_error& error) {
    spdlog::warn("{}:{} : адрес не найден : {}", host, port, error.code().message());
    address.reset();
  }
  name = address ? address->to_string() : fmt::format("{}:{}", host, port);
  return address.has_value();
}

network_connection_t::network_connection_t(const SQLite::Statement& row) : peer(row) {
  read_common_settings(*this, row);
  network_connection_t::init();
}

void network_connection_t::init() { available = peer.resolve(name); }
