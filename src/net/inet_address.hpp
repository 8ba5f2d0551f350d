#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace korvex_net {

// An IPv4 peer: address and port, resolved once.
class inet_address_t {
 public:
  // Resolves host (a name or a dotted address) to its first IPv4 address.
  // A host that does not resolve throws std::system_error carrying the
  // resolver's error, so a mistyped peer fails where it is configured.
  inet_address_t(const std::string& host, uint16_t port);

  const sockaddr_in& sockaddr() const { return address; }
  uint16_t port() const;

  // "a.b.c.d:port", the form the connections use as their log name.
  std::string to_string() const;

 private:
  sockaddr_in address{};
};

}  // namespace korvex_net
