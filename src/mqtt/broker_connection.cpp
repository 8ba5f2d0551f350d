#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <optional>
#include <system_error>

#include <spdlog/spdlog.h>

#include "mqtt/modbus_client.hpp"

namespace {

using namespace std::chrono_literals;

// A broker that comes back within this time after a loss (a restart, a
// short network fault) is tried every second, so values resume about a
// second after it is back.
constexpr std::chrono::seconds fast_retry_period = 60s;
// A broker that stays away longer is tried less often, the delay doubling
// up to this.
constexpr std::chrono::seconds reconnect_delay_max = 30s;
// The most the network thread sits in the library's select; publishes and
// the disconnect wake it sooner through the library's own pipe.
constexpr int network_loop_timeout_ms = 1000;

std::chrono::seconds reconnect_delay(std::chrono::seconds outage, std::chrono::seconds previous) {
  if (outage < fast_retry_period) return 1s;
  return std::min(reconnect_delay_max, std::max(previous, 1s) * 2);
}

}  // namespace

int modbus_client_t::connect(const char* host, int port, int keep_alive, port_clock_t clock) {
  if (network_thread.joinable()) return MOSQ_ERR_INVAL;
  network_clock = std::move(clock);
  // Qualified: this class's own connect hides the library's. The CONNECT
  // packet goes out at once, from this thread.
  if (mosqpp::mosquittopp::connect(host, port, keep_alive) != MOSQ_ERR_SUCCESS) {
    spdlog::error("Ошибка подключения к брокеру Mosquitto");
  } else {
    disable_nagle();
  }
  // From here the network thread is ours: the library must lock what the
  // ports' threads share with it and leave the socket's writing to that
  // thread.
  threaded_set(true);
  try {
    network_thread = std::thread([this] { run_network(); });
  } catch (const std::system_error&) {
    return MOSQ_ERR_ERRNO;
  }
  return MOSQ_ERR_SUCCESS;
}

void modbus_client_t::run_network() {
  // The library's own reconnecting loop could only lengthen its delay with
  // every attempt (1, 4, 9 ... seconds), and calls nothing between attempts
  // that are refused, so it could not be told when a broker came back
  // quickly. This loop is the one road to the broker: one attempt at a
  // time, after the delay that the outage's age gives.
  std::optional<int64_t> outage_began;
  std::chrono::seconds delay{0};
  for (;;) {
    // Run once more after the stop was asked for: what the broker sent is
    // read (a CONNACK already there is still reported) and the disconnect
    // is written.
    const int rc = loop(network_loop_timeout_ms, 1);
    {
      std::lock_guard lock(network_mutex);
      if (network_stop) break;
    }
    if (connected) outage_began.reset();
    if (rc == MOSQ_ERR_SUCCESS) continue;
    // Lost, refused, or never connected: wait, then one attempt.
    const int64_t now = network_clock.steady_seconds();
    if (!outage_began) {
      outage_began = now;
      delay = 0s;
    }
    delay = reconnect_delay(std::chrono::seconds(now - *outage_began), delay);
    if (!wait_before_reconnect(delay)) break;
    // Non-blocking: a broker host that does not answer cannot hold up the
    // stop; the library's loop completes the connection.
    if (reconnect_async() == MOSQ_ERR_SUCCESS) disable_nagle();
  }
  // A disconnect that the socket could not take at once is tried once more.
  if (socket() >= 0) loop_write(1);
}

bool modbus_client_t::wait_before_reconnect(std::chrono::seconds delay) {
  std::unique_lock lock(network_mutex);
  if (!network_stop) network_clock.interval_wait(network_cv, lock, delay, [this] { return network_stop; });
  return !network_stop;
}

void modbus_client_t::stop_network() {
  {
    std::lock_guard lock(network_mutex);
    network_stop = true;
  }
  network_cv.notify_all();
  if (network_thread.joinable()) network_thread.join();
}

void modbus_client_t::disable_nagle() {
  // A re-read after a command is one small publish: held back by Nagle's
  // algorithm for the broker's delayed acknowledgement, it reached the
  // subscribers tens of milliseconds late. This library version refuses the
  // option through the wrapper (opts_set knows only the old options) and
  // the wrapper hides the C handle, so it goes on the library's socket at
  // every connect, before anything but the CONNECT packet was sent.
  const int one = 1;
  if (const int fd = socket(); fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}
