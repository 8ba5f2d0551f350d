#include "support/modbus_slave.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "support/peer_start.hpp"
#include "support/process.hpp"

namespace korvex_test {

namespace {

[[noreturn]] void throw_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void check_range(int address, int count, int size, const char* table) {
  if (address < 0 || count < 0 || address + count > size) {
    throw std::out_of_range(std::string("address outside the ") + table + " map");
  }
}

}  // namespace

modbus_slave_t::modbus_slave_t(modbus_transport_t transport_kind, modbus_slave_options_t options)
    : transport(transport_kind), slave_id(options.slave_id), any_unit(options.any_unit) {
  try {
    mapping = modbus_mapping_new(options.coils, options.discrete_inputs, options.holding_registers,
                                 options.input_registers);
    if (mapping == nullptr) throw_errno("modbus_mapping_new");
    open_pipe(wake_pipe);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, capture_pair) != 0) throw_errno("socketpair");
    fcntl(capture_pair[0], F_SETFL, O_NONBLOCK);
    if (transport == modbus_transport_t::tcp) {
      open_tcp();
    } else {
      open_rtu();
    }
    // The slave's own response timeout only paces libmodbus' flush after an
    // illegal-value exception; keep it from stalling the server thread.
    modbus_set_response_timeout(context, 0, 1000);
    modbus_set_indication_timeout(context, 1, 0);
    server = std::thread([this] { serve(); });
  } catch (const std::exception& error) {
    release();
    throw peer_start_error_t(transport == modbus_transport_t::tcp ? "libmodbus TCP slave" : "libmodbus RTU slave",
                             error.what());
  }
}

modbus_slave_t::~modbus_slave_t() { release(); }

void modbus_slave_t::release() {
  if (server.joinable()) {
    const char stop = 's';
    [[maybe_unused]] const auto ignored = write(wake_pipe[1], &stop, 1);
    server.join();
  }
  for (auto& peer : peers) {
    if (peer.fd != pty_master) close(peer.fd);
  }
  peers.clear();
  for (int* fd : {&listen_fd, &pty_master, &pty_slave, &wake_pipe[0], &wake_pipe[1], &capture_pair[0],
                  &capture_pair[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (context != nullptr) {
    // The descriptors are ours: modbus_close would close or reconfigure them.
    modbus_set_socket(context, -1);
    modbus_free(context);
    context = nullptr;
  }
  if (mapping != nullptr) modbus_mapping_free(mapping);
  mapping = nullptr;
}

void modbus_slave_t::open_tcp() {
  context = modbus_new_tcp("127.0.0.1", 0);
  if (context == nullptr) throw_errno("modbus_new_tcp");
  listen_fd = modbus_tcp_listen(context, 8);
  if (listen_fd < 0) throw_errno("modbus_tcp_listen");
  fcntl(listen_fd, F_SETFD, FD_CLOEXEC);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) throw_errno("getsockname");
  tcp_port = ntohs(address.sin_port);
}

void modbus_slave_t::open_rtu() {
  // Raw from the start: with the default cooked mode the line discipline
  // would echo and translate bytes before the client sets its own mode.
  termios raw{};
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  char name[128] = {};
  if (openpty(&pty_master, &pty_slave, name, &raw, nullptr) != 0) throw_errno("openpty");
  fcntl(pty_master, F_SETFD, FD_CLOEXEC);
  fcntl(pty_slave, F_SETFD, FD_CLOEXEC);
  fcntl(pty_master, F_SETFL, O_NONBLOCK);
  client_path = name;
  // The master end has no path of its own to open, so libmodbus serves it
  // through a context whose descriptor is set directly; the client opens the
  // terminal end by path, as a serial device.
  context = new_rtu_context();
  peers.push_back({pty_master, {}, 0});
}

modbus_t* modbus_slave_t::new_rtu_context() const {
  modbus_t* rtu = modbus_new_rtu(client_path.c_str(), 9600, 'N', 8, 1);
  if (rtu == nullptr) throw_errno("modbus_new_rtu");
  modbus_set_socket(rtu, pty_master);
  return rtu;
}

void modbus_slave_t::serve() {
  while (true) {
    std::vector<pollfd> fds{{wake_pipe[0], POLLIN, 0}};
    if (listen_fd >= 0) fds.push_back({listen_fd, POLLIN, 0});
    const size_t first_peer = fds.size();
    for (const auto& peer : peers) fds.push_back({peer.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    std::vector<peer_t> kept;
    for (size_t i = 0; i < peers.size(); ++i) {
      const auto events = fds[first_peer + i].revents;
      if (events != 0 && !handle_request(peers[i])) {
        close(peers[i].fd);
      } else {
        kept.push_back(std::move(peers[i]));
      }
    }
    peers = std::move(kept);
    if (listen_fd >= 0 && fds[1].revents != 0) {
      const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) peers.push_back({fd, {}, 0});
    }
  }
}

bool modbus_slave_t::handle_request(peer_t& peer) {
  uint8_t request[MODBUS_MAX_ADU_LENGTH];
  int length;
  int unit;
  {
    std::lock_guard lock(mutex);
    modbus_set_slave(context, slave_id);
    unit = slave_id;
  }
  modbus_set_socket(context, peer.fd);
  length = modbus_receive(context, request);
  if (transport == modbus_transport_t::rtu) {
    if (length == 0) {
      // A frame for another slave. libmodbus would now swallow the next
      // frame as that slave's answer, which a point-to-point line never
      // carries; a fresh context forgets it.
      modbus_set_socket(context, -1);
      modbus_free(context);
      context = new_rtu_context();
      return true;
    }
    if (length < 0) return true;  // a damaged frame: no answer, keep listening
  } else {
    if (length < 0) return false;  // closed or garbled connection
    if (length == 0 || (request[6] != unit && !any_unit)) return true;
  }

  modbus_faults_t active;
  {
    std::lock_guard lock(mutex);
    received_requests.emplace_back(request, request + length);
    active = faults;
    if (faults.remaining > 0 && --faults.remaining == 0) faults = {};
    request_arrived.notify_all();
  }
  if (!peer.held_reply.empty()) {
    send_bytes(peer.fd, peer.held_reply);
    peer.held_reply.clear();
  }
  if (active.no_reply) return true;
  auto reply = capture_reply(request, length, active.exception_code);
  if (reply.empty()) return true;  // a broadcast: executed, never answered
  if (active.corrupt_crc) reply.back() ^= 0xFF;
  reply.insert(reply.end(), active.trailing_bytes.begin(), active.trailing_bytes.end());
  if (active.reply_delay.count() > 0 && !pause(active.reply_delay)) return true;
  if (active.late_reply) {
    peer.held_reply = std::move(reply);
  } else {
    send_bytes(peer.fd, reply);
  }
  const int limit = active.hang_up_after_replies;
  return transport != modbus_transport_t::tcp || limit <= 0 || ++peer.replies < limit;
}

std::vector<uint8_t> modbus_slave_t::capture_reply(const uint8_t* request, int length, int exception_code) {
  // libmodbus writes its reply to the context's descriptor; pointing that at
  // a socket pair yields the exact bytes, which the faults may then alter.
  {
    std::lock_guard lock(mutex);
    modbus_set_socket(context, capture_pair[1]);
    if (exception_code != 0) {
      modbus_reply_exception(context, request, static_cast<unsigned>(exception_code));
    } else {
      modbus_reply(context, request, length, mapping);
    }
  }
  std::vector<uint8_t> reply;
  uint8_t buffer[MODBUS_MAX_ADU_LENGTH];
  ssize_t got;
  while ((got = read(capture_pair[0], buffer, sizeof buffer)) > 0) reply.insert(reply.end(), buffer, buffer + got);
  return reply;
}

bool modbus_slave_t::pause(std::chrono::milliseconds duration) {
  pollfd wake{wake_pipe[0], POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    const int rc = poll(&wake, 1, static_cast<int>(left.count()));
    if (rc > 0) return false;
    if (rc < 0 && errno != EINTR) return false;
  }
}

void modbus_slave_t::send_bytes(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t rc = transport == modbus_transport_t::tcp
                           ? send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL)
                           : write(fd, bytes.data() + sent, bytes.size() - sent);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return;  // the client is gone; the reply has nowhere to go
    sent += static_cast<size_t>(rc);
  }
}

void modbus_slave_t::set_slave_id(int id) {
  std::lock_guard lock(mutex);
  slave_id = id;
}

void modbus_slave_t::set_faults(const modbus_faults_t& new_faults) {
  std::lock_guard lock(mutex);
  faults = new_faults;
}

void modbus_slave_t::set_coil(int address, bool value) {
  std::lock_guard lock(mutex);
  check_range(address, 1, mapping->nb_bits, "coil");
  mapping->tab_bits[address] = value ? 1 : 0;
}

bool modbus_slave_t::coil(int address) {
  std::lock_guard lock(mutex);
  check_range(address, 1, mapping->nb_bits, "coil");
  return mapping->tab_bits[address] != 0;
}

void modbus_slave_t::set_discrete_input(int address, bool value) {
  std::lock_guard lock(mutex);
  check_range(address, 1, mapping->nb_input_bits, "discrete input");
  mapping->tab_input_bits[address] = value ? 1 : 0;
}

void modbus_slave_t::set_holding_registers(int address, const std::vector<uint16_t>& values) {
  std::lock_guard lock(mutex);
  check_range(address, static_cast<int>(values.size()), mapping->nb_registers, "holding register");
  for (size_t i = 0; i < values.size(); ++i) mapping->tab_registers[address + i] = values[i];
}

std::vector<uint16_t> modbus_slave_t::holding_registers(int address, int count) {
  std::lock_guard lock(mutex);
  check_range(address, count, mapping->nb_registers, "holding register");
  return {mapping->tab_registers + address, mapping->tab_registers + address + count};
}

void modbus_slave_t::set_input_registers(int address, const std::vector<uint16_t>& values) {
  std::lock_guard lock(mutex);
  check_range(address, static_cast<int>(values.size()), mapping->nb_input_registers, "input register");
  for (size_t i = 0; i < values.size(); ++i) mapping->tab_input_registers[address + i] = values[i];
}

std::vector<std::vector<uint8_t>> modbus_slave_t::requests() {
  std::lock_guard lock(mutex);
  return received_requests;
}

bool modbus_slave_t::wait_for_requests(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return request_arrived.wait_for(lock, timeout, [&] { return received_requests.size() >= count; });
}

}  // namespace korvex_test
