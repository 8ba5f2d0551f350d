#include "transport/udp_connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <spdlog/spdlog.h>

#include "transport/connection_queries.hpp"
#include "transport/timeouts.hpp"

namespace {

std::string error_text(int code) { return std::system_category().message(code); }

constexpr std::size_t largest_datagram = 65536;

}  // namespace

udp_connection_t::udp_connection_t(const SQLite::Statement& row)
    : network_connection_t(row),
      socket(std::make_unique<korvex_net::datagram_socket_t>()),
      datagram(largest_datagram) {
  if (available) open();
}

udp_connection_t::~udp_connection_t() { close_socket(); }

bool udp_connection_t::is_open() { return socket->is_open(); }

bool udp_connection_t::open() {
  if (is_open()) return true;
  if (!peer.address) return false;
  if (const auto error = socket->open()) {
    spdlog::log(open_failure_level(spdlog::level::info), "UDP : открытие ({}) : {} ({})", name, error.message(),
                error.value());
    return false;
  }
  return connect_socket();
}

bool udp_connection_t::connect_socket() {
  const std::error_code error = socket->connect(*peer.address);
  spdlog::log(error ? open_failure_level(spdlog::level::info) : spdlog::level::info, "UDP : открытие ({}) : {} ({})",
              name, error.message(), error.value());
  if (error) {
    // Closed again, so is_open() stays false and the next open() retries.
    socket->close();
    return false;
  }
  open_succeeded();
  set_timeouts();
  return true;
}

void udp_connection_t::close() { close_socket(); }

void udp_connection_t::close_socket() {
  drop_read_ahead();
  if (!socket->is_open()) return;
  const std::error_code error = socket->close();
  spdlog::info("UDP : закрытие ({}) : {} ({})", name, error.message(), error.value());
}

long udp_connection_t::read(uint8_t* buffer, std::size_t size) {
  return read_some(buffer, size, std::chrono::steady_clock::now() + effective_timeout(rto));
}

long udp_connection_t::read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  if (!is_open()) return -1;
  if (has_read_ahead()) return static_cast<long>(take_read_ahead(buffer, size));
  long received = -1;
  int error = EAGAIN;  // the wait ran out
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (socket->wait_readable(std::max(left, std::chrono::milliseconds(0)))) {
    received = socket->recv(datagram.data(), datagram.size(), MSG_DONTWAIT);
    error = received < 0 ? errno : 0;
  }
  if (received <= 0) {
    spdlog::debug("UDP : получено ({}) : {} ({})", size, error_text(error), error);
    return 0;
  }
  const std::size_t count = std::min(size, static_cast<std::size_t>(received));
  std::memcpy(buffer, datagram.data(), count);
  put_back(datagram.data() + count, static_cast<std::size_t>(received) - count);
  return static_cast<long>(count);
}

long udp_connection_t::write(const uint8_t* data, std::size_t size) {
  if (!is_open()) return -1;
  const long sent = socket->send(data, size);
  if (sent > 0) return sent;
  const int error = sent < 0 ? errno : 0;
  spdlog::debug("UDP : отправлено ({}) : {} ({})", size, error_text(error), error);
  return 0;
}

void udp_connection_t::flush_input() {
  drop_read_ahead();
  if (!is_open()) return;
  // Bounded, so a peer that never stops sending cannot keep us here.
  constexpr int drain_limit = 1024;
  for (int drained = 0; drained < drain_limit; ++drained) {
    const long received = socket->recv(datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (received >= 0) continue;
    // A refused earlier send is reported once and cleared; datagrams behind
    // it are still to be dropped.
    if (errno == EINTR || errno == ECONNREFUSED) continue;
    break;
  }
}

void udp_connection_t::set_timeouts() { spdlog::warn("UDP : таймауты : не применимо"); }
