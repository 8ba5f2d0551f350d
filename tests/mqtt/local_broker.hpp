#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace korvex_test {

// A real mosquitto on a free loopback port, owned by one test. It can be
// stopped and started again on the same port to play a broker loss.
class local_broker_t {
  // Same calls as the shared rig's broker fixture, so a test can switch.
 public:
  local_broker_t();
  ~local_broker_t();
  local_broker_t(const local_broker_t&) = delete;
  local_broker_t& operator=(const local_broker_t&) = delete;

  int port() const { return listen_port; }
  const std::string& host() const { return host_name; }
  // Kills the broker hard: clients see the connection drop.
  void kill();
  // Starts it again on the same port; returns when the port accepts connections.
  void restart();
  bool running() const { return pid > 0; }

 private:
  temp_dir_t folder;
  std::string host_name = "127.0.0.1";
  int listen_port;
  pid_t pid = -1;
};

// A port nobody listens on right now.
int free_tcp_port();

// Runs a command and returns its standard output.
std::string run_output(const std::string& command);

}  // namespace korvex_test
