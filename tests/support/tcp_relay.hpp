#pragma once

#include <sys/eventfd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/net.hpp"

namespace korvex_test {

// A TCP relay on a loopback port in front of a server on another: the path
// between a client and that server, which a test cuts while the server stays
// up. Cut, it closes every relayed connection and refuses new ones, as a
// broken path does; restored, it relays again on the same port, which it
// keeps bound meanwhile so that no parallel test can take it. Bytes pass
// unchanged and in order; a connection that one side ends is ended on the
// other.
class tcp_relay_t {
 public:
  explicit tcp_relay_t(int target_port) : target_port(target_port) {
    // Bound to an explicit port: a listener bound to port 0 would give its
    // port up when the cut stops it listening.
    for (int attempt = 0;; ++attempt) {
      try {
        listener = loopback_socket(SOCK_STREAM, static_cast<uint16_t>(free_loopback_port()), true);
        check(::listen(listener.get(), 8) == 0, "listen");
        break;
      } catch (const std::system_error&) {
        if (attempt >= 4) throw;
      }
    }
    relay_port = local_port(listener.get());
    thread = std::thread([this] { serve(); });
  }
  ~tcp_relay_t() {
    request([this] { quitting = true; });
    thread.join();
  }
  tcp_relay_t(const tcp_relay_t&) = delete;
  tcp_relay_t& operator=(const tcp_relay_t&) = delete;

  int port() const { return relay_port; }
  // Returns once every relayed connection is closed and a connect is refused.
  void cut() {
    request([this] { wanted_open = false; });
    std::lock_guard lock(mutex);
    if (open) throw std::runtime_error("tcp relay: cannot stop listening on port " + std::to_string(relay_port));
  }
  // Returns once the relay accepts connections again.
  void restore() {
    request([this] { wanted_open = true; });
    std::lock_guard lock(mutex);
    if (!open) throw std::runtime_error("tcp relay: cannot listen again on port " + std::to_string(relay_port));
  }

 private:
  struct relayed_t {
    owned_fd_t client, server;
  };

  // Changes what the relay's thread should do and waits until it has done it:
  // only that thread touches the sockets it polls.
  template <typename Change>
  void request(Change change) {
    std::unique_lock lock(mutex);
    change();
    const uint64_t asked = ++requests;
    const uint64_t one = 1;
    check(::write(wake.get(), &one, sizeof one) == sizeof one, "eventfd write");
    done_cv.wait(lock, [&] { return done >= asked; });
  }

  void serve() {
    std::vector<relayed_t> relayed;
    for (;;) {
      std::vector<pollfd> polled{{wake.get(), POLLIN, 0}, {listener.get(), static_cast<short>(open ? POLLIN : 0), 0}};
      for (const auto& [client, server] : relayed) {
        polled.push_back({client.get(), POLLIN, 0});
        polled.push_back({server.get(), POLLIN, 0});
      }
      if (::poll(polled.data(), polled.size(), -1) < 0) continue;
      if (polled[0].revents != 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(wake.get(), &count, sizeof count);
        std::lock_guard lock(mutex);
        if (quitting) {
          relayed.clear();
        } else if (wanted_open && !open) {
          open = ::listen(listener.get(), 8) == 0;
        } else if (!wanted_open && open) {
          relayed.clear();
          // A listener shut down for reading stops listening (pending
          // connects are refused) but keeps its port, and may listen again.
          open = ::shutdown(listener.get(), SHUT_RD) != 0;
        }
        done = requests;
        done_cv.notify_all();
        if (quitting) return;
        continue;
      }
      const std::size_t polled_pairs = relayed.size();
      if ((polled[1].revents & POLLIN) != 0) {
        owned_fd_t client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        owned_fd_t server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(target_port)), {htonl(INADDR_LOOPBACK)}, {}};
        // A server that is down ends the client's connection at once.
        if (client.get() >= 0 && server.get() >= 0 &&
            ::connect(server.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
          relayed.push_back({std::move(client), std::move(server)});
        }
      }
      for (std::size_t i = polled_pairs; i-- > 0;) {
        const auto& client_poll = polled[2 + 2 * i];
        const auto& server_poll = polled[3 + 2 * i];
        const bool alive = (client_poll.revents == 0 || pass_on(relayed[i].client.get(), relayed[i].server.get())) &&
                           (server_poll.revents == 0 || pass_on(relayed[i].server.get(), relayed[i].client.get()));
        if (!alive) relayed.erase(relayed.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }

  // False once the connection ended on either side.
  static bool pass_on(int from, int to) {
    char buffer[65536];
    const ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (ssize_t sent = 0; sent < got;) {
      const ssize_t n = ::send(to, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += n;
    }
    return true;
  }

  int target_port;
  owned_fd_t listener;
  int relay_port = 0;
  owned_fd_t wake{::eventfd(0, EFD_CLOEXEC)};
  std::mutex mutex;
  std::condition_variable done_cv;
  uint64_t requests = 0, done = 0;
  bool wanted_open = true, quitting = false;
  bool open = true;  // written by the relay's thread alone, under the mutex
  std::thread thread;
};

}  // namespace korvex_test
