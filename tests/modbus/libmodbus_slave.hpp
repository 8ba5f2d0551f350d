#pragma once

// A real Modbus slave built on libmodbus, served on its own thread: over TCP
// on 127.0.0.1 (a free port), or RTU on the device side of a pseudo-terminal
// whose other side the serial connection opens by path.

#include <modbus.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <netinet/in.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace korvex_test {

class libmodbus_slave_t {
 public:
  struct tcp_t {};
  struct rtu_t {
    int slave_id;
  };

  explicit libmodbus_slave_t(tcp_t) {
    context = modbus_new_tcp("127.0.0.1", 0);
    setup();
    listener = modbus_tcp_listen(context, 4);
    if (listener == -1) throw std::runtime_error("libmodbus: listen failed");
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    bound_port = ntohs(bound.sin_port);
    worker = std::thread([this] { serve_tcp(); });
  }

  explicit libmodbus_slave_t(rtu_t rtu) {
    char name[256] = {};
    if (::openpty(&device, &line, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    termios settings{};
    ::tcgetattr(line, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(line, TCSANOW, &settings);
    line_path = name;
    // The context never opens a device: it talks over the pty's device side.
    context = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    setup();
    modbus_set_slave(context, rtu.slave_id);
    modbus_set_socket(context, device);
    worker = std::thread([this] { serve_fd(device); });
  }

  ~libmodbus_slave_t() {
    stopping = true;
    worker.join();
    if (listener != -1) ::close(listener);
    if (device != -1) ::close(device);
    if (line != -1) ::close(line);
    modbus_mapping_free(mapping);
    modbus_free(context);
  }

  uint16_t port() const { return bound_port; }
  const std::string& path() const { return line_path; }

  void set_registers(int address, const std::vector<uint16_t>& values) {
    std::lock_guard lock(mapping_mutex);
    for (std::size_t i = 0; i < values.size(); ++i) mapping->tab_registers[address + i] = values[i];
  }
  std::vector<uint16_t> registers(int address, int count) {
    std::lock_guard lock(mapping_mutex);
    return {mapping->tab_registers + address, mapping->tab_registers + address + count};
  }
  void set_input_registers(int address, const std::vector<uint16_t>& values) {
    std::lock_guard lock(mapping_mutex);
    for (std::size_t i = 0; i < values.size(); ++i) mapping->tab_input_registers[address + i] = values[i];
  }
  void set_coil(int address, bool on) {
    std::lock_guard lock(mapping_mutex);
    mapping->tab_bits[address] = on ? 1 : 0;
  }
  bool coil(int address) {
    std::lock_guard lock(mapping_mutex);
    return mapping->tab_bits[address] != 0;
  }

  static constexpr int register_count = 64;  // reads beyond get exception 2

 private:
  void setup() {
    mapping = modbus_mapping_new(register_count, register_count, register_count, register_count);
    if (context == nullptr || mapping == nullptr) throw std::runtime_error("libmodbus: no slave");
  }

  void serve_tcp() {
    while (!stopping) {
      pollfd entry{listener, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      int listening = listener;
      if (modbus_tcp_accept(context, &listening) == -1) continue;
      const int client = modbus_get_socket(context);
      serve_fd(client);
      ::close(client);
      modbus_set_socket(context, -1);
    }
  }

  void serve_fd(int fd) {
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stopping) {
      pollfd incoming{fd, POLLIN, 0};
      if (::poll(&incoming, 1, 20) <= 0) continue;
      const int length = modbus_receive(context, query);
      if (length == -1) {
        if (listener != -1) return;  // the TCP client went away
        modbus_flush(context);       // a garbled RTU request: wait for the next
        continue;
      }
      if (length == 0) continue;
      std::lock_guard lock(mapping_mutex);
      modbus_reply(context, query, length, mapping);
    }
  }

  modbus_t* context = nullptr;
  modbus_mapping_t* mapping = nullptr;
  std::mutex mapping_mutex;
  int listener = -1;
  uint16_t bound_port = 0;
  int device = -1;  // pty side the slave talks on
  int line = -1;    // pty side the connection opens by path; kept open so the device side never hangs up
  std::string line_path;
  std::atomic<bool> stopping{false};
  std::thread worker;
};

}  // namespace korvex_test
