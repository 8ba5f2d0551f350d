#include "net/inet_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <system_error>

namespace korvex_net {
namespace {

// getaddrinfo reports its failures in its own code space, not errno.
class resolver_category_t : public std::error_category {
 public:
  const char* name() const noexcept override { return "resolver"; }
  std::string message(int code) const override { return ::gai_strerror(code); }
};

const std::error_category& resolver_category() {
  static const resolver_category_t category;
  return category;
}

}  // namespace

inet_address_t::inet_address_t(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (result != 0) {
    // EAI_SYSTEM leaves the real cause in errno.
    if (result == EAI_SYSTEM) throw std::system_error(errno, std::system_category(), host);
    throw std::system_error(result, resolver_category(), host);
  }
  std::memcpy(&address, found->ai_addr, sizeof(address));
  ::freeaddrinfo(found);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
}

uint16_t inet_address_t::port() const { return ntohs(address.sin_port); }

std::string inet_address_t::to_string() const {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
  return std::string(text) + ":" + std::to_string(port());
}

}  // namespace korvex_net
