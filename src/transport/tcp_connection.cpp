#include "transport/tcp_connection.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "transport/connection_queries.hpp"
#include "transport/timeouts.hpp"

namespace {

std::string error_text(int code) { return std::system_category().message(code); }

// Errors after which the stream cannot carry another exchange.
bool is_broken_stream(int code) { return code != EAGAIN && code != EWOULDBLOCK && code != EINTR; }

}  // namespace

tcp_connection_t::tcp_connection_t(const SQLite::Statement& row)
    : network_connection_t(row),
      socket(std::make_unique<korvex_net::tcp_connector_t>()) {
  if (available) open();
}

tcp_connection_t::~tcp_connection_t() { close_socket(); }

bool tcp_connection_t::is_open() { return socket->is_open(); }

bool tcp_connection_t::open() {
  if (is_open()) return true;
  closed_by_peer = peer_close_t::none;
  if (!peer.address) return false;
  const std::error_code error =
      socket->connect(*peer.address, std::chrono::microseconds(effective_timeout(sto)));
  spdlog::log(error ? open_failure_level(spdlog::level::info) : spdlog::level::info, "{} : открытo : {} ({})", name,
              error.message(), error.value());
  if (error) return false;
  open_succeeded();
  set_timeouts();
  return true;
}

void tcp_connection_t::close() {
  closed_by_peer = peer_close_t::none;
  close_socket();
}

void tcp_connection_t::close_socket() {
  drop_read_ahead();
  if (!socket->is_open()) return;
  const std::error_code error = socket->close();
  spdlog::info("{} : закрытие : {} ({})", name, error.message(), error.value());
}

long tcp_connection_t::read(uint8_t* buffer, std::size_t size) {
  if (!is_open()) return -1;
  const auto deadline = std::chrono::steady_clock::now() + effective_timeout(rto);
  std::size_t count = take_read_ahead(buffer, size);
  int error = 0;
  bool stream_over = false;
  // Right after a request the reply cannot be there yet: waiting first
  // spares a receive that would only find the socket empty.
  bool wait_first = std::exchange(reply_due, false) && count == 0;
  while (count < size) {
    if (!std::exchange(wait_first, false)) {
      const long received = receive(buffer + count, size - count);
      if (received > 0) {
        count += static_cast<std::size_t>(received);
        reply_begun = true;
        continue;
      }
      if (received == 0) {  // the peer closed its side
        stream_over = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        error = errno;
        stream_over = true;
        break;
      }
    }
    // Rounded up: truncated, a timeout of a millisecond or two would end
    // before the first wait.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !socket->wait_readable(left)) {
      error = EAGAIN;  // the read timeout ran out
      break;
    }
  }
  if (count == size) {
    spdlog::debug("{} : получено : {}", name, size);
  } else {
    spdlog::error("{} : ошибка чтения : {} ({})", name, error_text(error), error);
  }
  if (stream_over) peer_gone(reply_begun ? peer_close_t::during_reply : peer_close_t::before_reply);
  return static_cast<long>(count);
}

long tcp_connection_t::read_some(uint8_t* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  if (!is_open()) return -1;
  if (const std::size_t taken = take_read_ahead(buffer, size); taken > 0) {
    spdlog::debug("{} : получено : {}", name, taken);
    return static_cast<long>(taken);
  }
  for (;;) {
    const long received = socket->recv(buffer, size, MSG_DONTWAIT);
    if (received > 0) {
      spdlog::debug("{} : получено : {}", name, received);
      reply_begun = true;
      return received;
    }
    const int error = received < 0 ? errno : 0;
    if (error == EINTR) continue;
    if (received == 0 || is_broken_stream(error)) {
      spdlog::error("{} : ошибка чтения : {} ({})", name, error_text(error), error);
      peer_gone(reply_begun ? peer_close_t::during_reply : peer_close_t::before_reply);
      return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !socket->wait_readable(left)) return 0;
  }
}

long tcp_connection_t::write(const uint8_t* data, std::size_t size) {
  if (!is_open()) return -1;
  reply_begun = false;
  const long sent = socket->send(data, size);
  const int error = sent < 0 ? errno : 0;
  const long count = sent < 0 ? 0 : sent;
  reply_due = static_cast<std::size_t>(count) == size;
  if (reply_due) {
    spdlog::debug("{} : отправлено : {}", name, size);
  } else {
    spdlog::error("{} : ошибка записи : {} ({})", name, error_text(error), error);
  }
  if (sent < 0 && is_broken_stream(error)) peer_gone(peer_close_t::before_reply);
  return count;
}

long tcp_connection_t::receive(uint8_t* buffer, std::size_t size) {
  // The largest Modbus TCP reply: header and a PDU of 253 bytes.
  std::array<uint8_t, 260> chunk;
  if (size >= chunk.size()) return socket->recv(buffer, size, MSG_DONTWAIT);
  const long received = socket->recv(chunk.data(), chunk.size(), MSG_DONTWAIT);
  if (received <= 0) return received;
  const std::size_t count = std::min(size, static_cast<std::size_t>(received));
  std::memcpy(buffer, chunk.data(), count);
  put_back(chunk.data() + count, static_cast<std::size_t>(received) - count);
  return static_cast<long>(count);
}

void tcp_connection_t::flush_input() {
  std::size_t dropped = read_ahead_size();
  drop_read_ahead();
  if (!is_open()) return;
  // Bounded, so a peer that never stops sending cannot keep us here.
  constexpr std::size_t drain_limit = 1 << 20;
  uint8_t scrap[512];
  while (dropped < drain_limit) {
    const long received = socket->recv(scrap, sizeof(scrap), MSG_DONTWAIT);
    if (received > 0) {
      dropped += static_cast<std::size_t>(received);
      continue;
    }
    const int error = received < 0 ? errno : 0;
    if (error == EINTR) continue;
    if (received == 0 || is_broken_stream(error)) {
      // A stream ended while idle is a device that closes idle connections,
      // as many do between passes, and no failed read: the frame connects
      // again and sends, and the close logs its own line. Small TCP stacks
      // close idle connections with a reset rather than an orderly end.
      if (received < 0 && error != ECONNRESET) {
        spdlog::error("{} : ошибка чтения : {} ({})", name, error_text(error), error);
      }
      // Closed while idle: whatever comes next is the next request's.
      peer_gone(peer_close_t::before_reply);
    }
    break;
  }
  if (dropped > 0) spdlog::debug("{} : буфер приема : сброшен", name);
}

void tcp_connection_t::peer_gone(peer_close_t how) {
  close_socket();
  closed_by_peer = how;
}

void tcp_connection_t::set_timeouts() {
  const auto receive_error = socket->read_timeout(std::chrono::microseconds(effective_timeout(rto)));
  const auto send_error = socket->write_timeout(std::chrono::microseconds(effective_timeout(sto)));
  if (receive_error) {
    spdlog::error("{} : ошибка установки таймаута RTO : {} ({})", name, receive_error.message(), receive_error.value());
    return;
  }
  if (send_error) {
    spdlog::error("{} : ошибка установки таймаута STO : {} ({})", name, send_error.message(), send_error.value());
    return;
  }
  spdlog::info("{} : таймауты установлены", name);
}
