#include "net/socket.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace korvex_net {
namespace {

std::error_code last_error() { return {errno, std::system_category()}; }

timeval to_timeval(std::chrono::microseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
  value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
  return value;
}

}  // namespace

void ignore_sigpipe() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

socket_t::~socket_t() { close(); }

std::error_code socket_t::close() {
  if (descriptor == -1) return {};
  const int result = ::close(descriptor);
  const std::error_code error = result == 0 ? std::error_code{} : last_error();
  // The descriptor is gone whatever close() said: retrying could close a
  // descriptor that another thread has been given since.
  descriptor = -1;
  return error;
}

std::error_code socket_t::read_timeout(std::chrono::microseconds timeout) {
  const timeval value = to_timeval(timeout);
  if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value)) != 0) return last_error();
  return {};
}

std::error_code socket_t::write_timeout(std::chrono::microseconds timeout) {
  const timeval value = to_timeval(timeout);
  if (::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value)) != 0) return last_error();
  return {};
}

long socket_t::send(const uint8_t* data, std::size_t size) {
  return static_cast<long>(::send(descriptor, data, size, MSG_NOSIGNAL));
}

long socket_t::recv(uint8_t* buffer, std::size_t size, int flags) {
  return static_cast<long>(::recv(descriptor, buffer, size, flags));
}

bool socket_t::wait_readable(std::chrono::milliseconds timeout) {
  pollfd entry{descriptor, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Rounded up, so that a short timeout still waits its whole length.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int result = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (result > 0) return true;
    if (result == 0) return false;
    if (errno != EINTR) return true;  // let the following recv report the error
  }
}

std::error_code socket_t::create(int type) {
  ignore_sigpipe();
  close();
  descriptor = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (descriptor == -1) return last_error();
  return {};
}

std::error_code tcp_connector_t::connect(const inet_address_t& peer, std::chrono::microseconds connect_timeout) {
  if (auto error = create(SOCK_STREAM)) return error;
  // On Linux the send timeout also bounds connect(), which then fails with
  // EINPROGRESS.
  std::error_code error = write_timeout(connect_timeout);
  if (!error) {
    const auto& address = peer.sockaddr();
    if (::connect(descriptor, reinterpret_cast<const ::sockaddr*>(&address), sizeof(address)) != 0) {
      error = last_error();
    }
  }
  if (error) close();
  return error;
}

std::error_code datagram_socket_t::open() { return create(SOCK_DGRAM); }

std::error_code datagram_socket_t::connect(const inet_address_t& peer) {
  const auto& address = peer.sockaddr();
  if (::connect(descriptor, reinterpret_cast<const ::sockaddr*>(&address), sizeof(address)) != 0) return last_error();
  return {};
}

}  // namespace korvex_net
