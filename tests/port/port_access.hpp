#pragma once

#include <map>

#include "port/modbus_port.hpp"

// What the port tests read of a port's inner state.
struct modbus_port_test_access_t {
  static value_context_t& values(modbus_port_t& port) { return *port.values; }
  static const std::map<debounce_key_t, debounce_state_t>& debounces(const modbus_port_t& port) {
    return port.debounces;
  }
  // Commands that wait for the transaction mutex.
  static int commands_waiting(const modbus_port_t& port) { return port.commands_waiting.load(); }
};
