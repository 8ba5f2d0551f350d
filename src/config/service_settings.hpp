#pragma once

#include <cstdint>
#include <string>

// What the service needs from the configuration file besides the cache
// database: the log file limits and the broker to connect to.
struct service_settings_t {
  bool is_debug = false;
  uint32_t max_files = 10;
  uint32_t max_size = 5;  // MiB
  int32_t keep_alive = 60;
  int32_t port = 1883;
  std::string url = "localhost";
};
