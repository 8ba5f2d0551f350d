#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <SQLiteCpp/Statement.h>

#include "net/inet_address.hpp"
#include "transport/connection.hpp"

// The peer of a TCP or UDP connection: the host and port of its Connections
// row, and their address once resolved.
struct network_peer_t {
  explicit network_peer_t(const SQLite::Statement& row);

  // Resolves without throwing: a name that does not resolve yet (at boot,
  // before the name service is up) is logged with "host:port" first and
  // leaves no address; the connection stays unavailable and the port asks
  // again at its next pass. True once resolved. `name` becomes the address
  // text, or "host:port" while there is none.
  bool resolve(std::string& name);

  std::string host;
  uint16_t port = 0;
  std::optional<korvex_net::inet_address_t> address;
};

// What TCP and UDP connections share: the settings and the peer of their
// row, resolved at construction and again, while it does not resolve, at the
// head of every pass.
class network_connection_t : public connection_t {
 public:
  explicit network_connection_t(const SQLite::Statement& row);

  // Resolves the host (again); available once it resolved.
  void init() override;

  network_peer_t peer;
};
