#include "transport/peer_address.hpp"

#include <system_error>

#include <spdlog/spdlog.h>

std::optional<korvex_net::inet_address_t> resolve_peer(const std::string& host, uint16_t port) {
  try {
    return korvex_net::inet_address_t(host, port);
  } catch (const std::system_error& error) {
    spdlog::warn("{}:{} : адрес не найден : {}", host, port, error.code().message());
    return std::nullopt;
  }
}
