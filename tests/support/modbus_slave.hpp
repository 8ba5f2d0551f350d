#pragma once

#include <modbus/modbus.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "support/pty_pair.hpp"

namespace korvex_test {

enum class modbus_transport_t { tcp, rtu };

// How the slave misbehaves. The faults apply to the next `remaining` requests
// addressed to it (-1: to all of them); after that it answers normally again.
struct modbus_faults_t {
  bool no_reply = false;
  std::chrono::milliseconds reply_delay{0};
  bytes_t trailing_bytes{};  // sent right after the reply, in the same write
  // The reply is held back and sent just before the next request is handled:
  // a reply that comes after the client's timeout and lands in its next
  // transaction.
  bool late_reply = false;
  // The reply goes out under this address (slave or unit id), as another
  // device's well-formed answer: libmodbus builds it, CRC included.
  std::optional<int> reply_address{};
  // TCP: only this many bytes of the reply go out, then the connection
  // closes (0: it closes instead of replying).
  std::optional<std::size_t> close_after_bytes{};
  // Called on the slave's thread with each request; its reply waits until
  // this returns, so a test can hold it until the client reached a state.
  std::function<void(const bytes_t& request)> before_reply{};
  int remaining = -1;
};

struct modbus_slave_options_t {
  int slave_id = 1;
  int coils = 1000;
  int discrete_inputs = 1000;
  int holding_registers = 1000;
  int input_registers = 1000;
  // TCP: answer every unit id from the one register map, as a gateway in
  // front of a bus of identical devices.
  bool any_unit = false;
  // TCP: a connection that carried no request for this long is closed, as
  // many devices and gateways do.
  std::chrono::milliseconds idle_close{0};
  // TCP: the idle close is a reset instead of an orderly end, as on small
  // TCP stacks that close with SO_LINGER {1, 0}.
  bool idle_close_resets = false;
};

// A real libmodbus slave served on its own thread: Modbus TCP on a free
// loopback port, or RTU on a pseudo-terminal whose other end (device_path())
// the client opens. Requests for another slave id get no answer, as on a bus.
// The register map and the faults may be changed while it runs.
class modbus_slave_t {
 public:
  explicit modbus_slave_t(modbus_transport_t transport, modbus_slave_options_t options = {})
      : tcp(transport == modbus_transport_t::tcp), options(options) {
    try {
      mapping = modbus_mapping_new(options.coils, options.discrete_inputs, options.holding_registers,
                                   options.input_registers);
      check(mapping != nullptr && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wake) == 0 &&
                socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, capture) == 0,
            "modbus slave set-up");
      if (!tcp) {
        line = std::make_unique<pty_pair_t>();
        // libmodbus serves the master end, which has no path, through a
        // descriptor of its own.
        peers.push_back({owned_fd_t(fcntl(line->device(), F_DUPFD_CLOEXEC, 0)), {}});
      }
      context = new_context();
      if (tcp) listener = owned_fd_t(modbus_tcp_listen(context, 8));
      check(!tcp || listener.get() >= 0, "modbus_tcp_listen");
      server = std::thread([this] { serve(); });
    } catch (const std::exception& error) {
      release();
      throw std::runtime_error(std::string("libmodbus slave could not start: ") + error.what());
    }
  }
  ~modbus_slave_t() {
    [[maybe_unused]] const auto ignored = write(wake[1], "s", 1);
    server.join();
    release();
  }

  int port() const { return local_port(listener.get()); }          // TCP only
  const std::string& device_path() const { return line->path(); }  // RTU only

  void set_faults(const modbus_faults_t& new_faults) { locked([&] { faults = new_faults; }); }
  // Discrete inputs and input registers are read-only on the wire, so only
  // what a client can write is read back.
  void set_coil(int address, bool value) { locked([&] { *at(mapping->tab_bits, mapping->nb_bits, address, 1) = value; }); }
  bool coil(int address) {
    return locked([&] { return *at(mapping->tab_bits, mapping->nb_bits, address, 1) != 0; });
  }
  void set_holding_registers(int address, const std::vector<uint16_t>& values) {
    locked([&] { std::copy(values.begin(), values.end(), at(mapping->tab_registers, mapping->nb_registers, address, values.size())); });
  }
  std::vector<uint16_t> holding_registers(int address, int count) {
    return locked([&] {
      const uint16_t* first = at(mapping->tab_registers, mapping->nb_registers, address, count);
      return std::vector<uint16_t>(first, first + count);
    });
  }
  void set_input_registers(int address, const std::vector<uint16_t>& values) {
    locked([&] {
      std::copy(values.begin(), values.end(), at(mapping->tab_input_registers, mapping->nb_input_registers, address, values.size()));
    });
  }
  // Raw frames (MBAP header or slave id and CRC included) of the requests
  // addressed to this slave, in arrival order.
  std::vector<bytes_t> requests() { return locked([&] { return received_requests; }); }
  std::size_t request_count() { return locked([&] { return received_requests.size(); }); }
  // TCP: connections accepted, and those the slave closed for being idle.
  int accepted_connections() { return locked([&] { return accepted; }); }
  int idle_closed_connections() { return locked([&] { return idle_closed; }); }

 private:
  using steady_clock = std::chrono::steady_clock;

  struct peer_t {
    owned_fd_t fd;
    bytes_t held_reply;
    steady_clock::time_point last_request = steady_clock::now();
  };

  template <typename F>
  auto locked(F action) -> decltype(action()) {
    std::lock_guard lock(mutex);
    return action();
  }
  template <typename T>
  static T* at(T* table, int size, int address, size_t count) {
    if (address < 0 || address + static_cast<int>(count) > size) throw std::out_of_range("address outside the map");
    return table + address;
  }

  modbus_t* new_context() {
    modbus_t* fresh = tcp ? modbus_new_tcp("127.0.0.1", 0) : modbus_new_rtu(line->path().c_str(), 9600, 'N', 8, 1);
    check(fresh != nullptr, "modbus_new");
    modbus_set_slave(fresh, options.slave_id);
    // The response timeout only paces libmodbus' flush after an
    // illegal-value exception: it must not stall the server thread.
    modbus_set_response_timeout(fresh, 0, 1000);
    modbus_set_indication_timeout(fresh, 1, 0);
    return fresh;
  }
  void release() {
    if (context != nullptr) modbus_free(context);  // not modbus_close: the descriptors are ours
    if (mapping != nullptr) modbus_mapping_free(mapping);
    for (int fd : {wake[0], wake[1], capture[0], capture[1]}) close(fd);
  }

  void serve() {
    while (true) {
      std::vector<pollfd> fds{{wake[0], POLLIN, 0}, {listener.get(), POLLIN, 0}};
      for (const auto& peer : peers) fds.push_back({peer.fd.get(), POLLIN, 0});
      const int ready = poll(fds.data(), fds.size(), tcp && options.idle_close.count() > 0 ? 10 : -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || fds[0].revents != 0) return;
      for (size_t i = peers.size(); i-- > 0;) {
        if (fds[2 + i].revents != 0 && !handle_request(peers[i])) {
          peers.erase(peers.begin() + i);
        } else if (tcp && options.idle_close.count() > 0 &&
                   steady_clock::now() - peers[i].last_request >= options.idle_close) {
          if (options.idle_close_resets) {
            const linger abort_on_close{1, 0};
            check(setsockopt(peers[i].fd.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof(abort_on_close)) == 0,
                  "SO_LINGER");
          }
          peers.erase(peers.begin() + i);
          locked([&] { ++idle_closed; });
        }
      }
      if (fds[1].revents != 0) {
        peers.push_back({owned_fd_t(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)), {}});
        locked([&] { ++accepted; });
      }
    }
  }

  // False when the peer is gone and must be dropped.
  bool handle_request(peer_t& peer) {
    uint8_t request[MODBUS_MAX_ADU_LENGTH];
    modbus_set_socket(context, peer.fd.get());
    const int length = modbus_receive(context, request);
    if (!tcp && length == 0) {
      // A frame for another slave. libmodbus would now swallow the next frame
      // as that slave's answer, which a point-to-point line never carries; a
      // fresh context forgets it.
      modbus_free(std::exchange(context, new_context()));
      return true;
    }
    if (length < 0) return !tcp;  // RTU: a damaged frame, left unanswered
    if (tcp && (length == 0 || (request[6] != options.slave_id && !options.any_unit))) return true;
    const modbus_faults_t active = locked([&] {
      received_requests.emplace_back(request, request + length);
      const modbus_faults_t now = faults;
      if (faults.remaining > 0 && --faults.remaining == 0) faults = {};
      return now;
    });
    peer.last_request = steady_clock::now();
    if (!peer.held_reply.empty()) send_bytes(peer.fd.get(), std::exchange(peer.held_reply, {}));
    if (active.before_reply) active.before_reply(bytes_t(request, request + length));
    if (active.no_reply) return true;  // neither executed nor answered
    // libmodbus answers under the address the request carries.
    if (active.reply_address) request[tcp ? 6 : 0] = static_cast<uint8_t>(*active.reply_address);
    // libmodbus writes its reply to the context's descriptor; a socket pair
    // yields the exact bytes, which the faults may then alter.
    locked([&] {
      modbus_set_socket(context, capture[1]);
      modbus_reply(context, request, length, mapping);
    });
    bytes_t reply(MODBUS_MAX_ADU_LENGTH);
    reply.resize(std::max<ssize_t>(0, read(capture[0], reply.data(), reply.size())));
    if (reply.empty()) return true;  // a broadcast: executed, never answered
    reply.insert(reply.end(), active.trailing_bytes.begin(), active.trailing_bytes.end());
    pollfd stopping{wake[0], POLLIN, 0};
    if (active.reply_delay.count() > 0 && poll(&stopping, 1, static_cast<int>(active.reply_delay.count())) != 0) {
      return true;
    }
    if (tcp && active.close_after_bytes) {
      reply.resize(std::min(reply.size(), *active.close_after_bytes));
      send_bytes(peer.fd.get(), reply);
      return false;
    }
    if (active.late_reply) {
      peer.held_reply = std::move(reply);
    } else {
      send_bytes(peer.fd.get(), reply);
    }
    return true;
  }

  // A client that is gone leaves the reply nowhere to go.
  void send_bytes(int fd, const bytes_t& bytes) const {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t rc = tcp ? send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL)
                             : write(fd, bytes.data() + sent, bytes.size() - sent);
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return;
      sent += static_cast<size_t>(rc);
    }
  }

  const bool tcp;
  const modbus_slave_options_t options;
  std::unique_ptr<pty_pair_t> line;
  owned_fd_t listener;
  int wake[2] = {-1, -1};     // the server thread ends once wake[0] is readable
  int capture[2] = {-1, -1};  // the reply as libmodbus writes it
  modbus_t* context = nullptr;
  modbus_mapping_t* mapping = nullptr;
  std::vector<peer_t> peers;
  std::mutex mutex;  // guards the faults, the requests and the mapping
  modbus_faults_t faults;
  std::vector<bytes_t> received_requests;
  int accepted = 0;
  int idle_closed = 0;
  std::thread server;
};

}  // namespace korvex_test
