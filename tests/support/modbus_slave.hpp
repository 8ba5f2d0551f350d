#pragma once

#include <modbus/modbus.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvex_test {

enum class modbus_transport_t { tcp, rtu };

// How the slave misbehaves. The faults apply to the next `remaining` requests
// addressed to it (-1: to all of them); after that it answers normally again.
struct modbus_faults_t {
  bool no_reply = false;
  std::chrono::milliseconds reply_delay{0};
  int exception_code = 0;                // 0: the normal reply
  bool corrupt_crc = false;              // flips the last reply byte: the CRC on RTU
  std::vector<uint8_t> trailing_bytes{};  // sent right after the reply, in the same write
  // The reply is held back and sent only when the next request arrives,
  // just before that request is handled: a reply that comes after the
  // client's timeout and lands in its next transaction.
  bool late_reply = false;
  // TCP: each client is hung up on after this many replies (0: never), as
  // by a device that restarts.
  int hang_up_after_replies = 0;
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
};

// A real libmodbus slave served on its own thread: Modbus TCP on a free
// loopback port, or RTU on a pseudo-terminal whose other end (device_path())
// the client opens. Requests for another slave id get no answer, as on a bus.
// The register map and the faults may be changed while it runs.
class modbus_slave_t {
 public:
  explicit modbus_slave_t(modbus_transport_t transport, modbus_slave_options_t options = {});
  ~modbus_slave_t();
  modbus_slave_t(const modbus_slave_t&) = delete;
  modbus_slave_t& operator=(const modbus_slave_t&) = delete;

  std::string host() const { return "127.0.0.1"; }
  int port() const { return tcp_port; }                          // TCP only
  const std::string& device_path() const { return client_path; }  // RTU only

  void set_slave_id(int id);
  void set_faults(const modbus_faults_t& faults);

  // Discrete inputs and input registers are read-only on the wire, so only
  // what a client can write is read back.
  void set_coil(int address, bool value);
  bool coil(int address);
  void set_discrete_input(int address, bool value);
  void set_holding_registers(int address, const std::vector<uint16_t>& values);
  std::vector<uint16_t> holding_registers(int address, int count);
  void set_input_registers(int address, const std::vector<uint16_t>& values);

  // Raw frames (MBAP header or slave id and CRC included) of the requests
  // addressed to this slave, in arrival order.
  std::vector<std::vector<uint8_t>> requests();
  // Waits until at least `count` requests arrived; false on timeout.
  bool wait_for_requests(size_t count, std::chrono::milliseconds timeout);

 private:
  struct peer_t {
    int fd = -1;
    std::vector<uint8_t> held_reply;
    int replies = 0;
  };

  void release();
  void open_tcp();
  void open_rtu();
  modbus_t* new_rtu_context() const;
  void serve();
  // Returns false when the peer is gone (TCP) and must be dropped.
  bool handle_request(peer_t& peer);
  std::vector<uint8_t> capture_reply(const uint8_t* request, int length, int exception_code);
  // Sleeps, but returns false at once when the slave is being stopped.
  bool pause(std::chrono::milliseconds duration);
  void send_bytes(int fd, const std::vector<uint8_t>& bytes);

  modbus_transport_t transport;
  modbus_t* context = nullptr;
  modbus_mapping_t* mapping = nullptr;
  int listen_fd = -1;
  int tcp_port = 0;
  int pty_master = -1;
  int pty_slave = -1;  // kept open so the master never sees a hang-up between clients
  std::string client_path;
  int wake_pipe[2] = {-1, -1};
  int capture_pair[2] = {-1, -1};
  std::vector<peer_t> peers;

  std::mutex mutex;  // guards everything below and the mapping
  std::condition_variable request_arrived;
  int slave_id;
  bool any_unit;
  modbus_faults_t faults;
  std::vector<std::vector<uint8_t>> received_requests;

  std::thread server;
};

}  // namespace korvex_test
