#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "net/inet_address.hpp"

// The network connections' peer, resolved without throwing: a name that does
// not resolve yet (at boot, before the name service is up) is logged with
// "host:port" first and gives nothing; the connection stays unavailable and
// the port asks again at its next pass.
std::optional<korvex_net::inet_address_t> resolve_peer(const std::string& host, uint16_t port);
