#pragma once

// A real Modbus TCP slave on 127.0.0.1, built on libmodbus, serving one
// client at a time on its own thread. It can drop each client after a
// number of replies, as a device that restarts does.

#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "net/loopback_peer.hpp"

namespace korvex_test {

class modbus_tcp_slave_t {
 public:
  explicit modbus_tcp_slave_t(int replies_per_client = 0) : replies_per_client(replies_per_client) {
    context = modbus_new_tcp("127.0.0.1", 0);
    mapping = modbus_mapping_new(16, 16, 256, 256);
    if (context == nullptr || mapping == nullptr) throw std::runtime_error("libmodbus: no slave");
    server = modbus_tcp_listen(context, 4);
    if (server == -1) throw std::runtime_error("libmodbus: listen failed");
    bound_port = local_port(server);
    worker = std::thread([this] { serve(); });
  }

  ~modbus_tcp_slave_t() {
    stopping = true;
    worker.join();
    ::close(server);
    modbus_mapping_free(mapping);
    modbus_free(context);
  }

  uint16_t port() const { return bound_port; }
  // Set before a client asks for them.
  uint16_t* holding_registers() { return mapping->tab_registers; }

 private:
  void serve() {
    while (!stopping) {
      pollfd entry{server, POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      int listening = server;
      if (modbus_tcp_accept(context, &listening) == -1) continue;
      const int client = modbus_get_socket(context);
      int replies = 0;
      uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
      while (!stopping) {
        pollfd incoming{client, POLLIN, 0};
        if (::poll(&incoming, 1, 20) <= 0) continue;
        const int length = modbus_receive(context, query);
        if (length == -1) break;  // the client went away
        if (length == 0) continue;
        modbus_reply(context, query, length, mapping);
        if (replies_per_client > 0 && ++replies == replies_per_client) break;
      }
      ::close(client);
      modbus_set_socket(context, -1);
    }
  }

  int replies_per_client;
  modbus_t* context = nullptr;
  modbus_mapping_t* mapping = nullptr;
  int server = -1;
  uint16_t bound_port = 0;
  std::atomic<bool> stopping{false};
  std::thread worker;
};

}  // namespace korvex_test
