#include "mqtt/port_registry.hpp"

#include <utility>

bool port_registry_t::enter(int64_t connection_id, stop_request_t stop_request) {
  std::lock_guard lock(mutex);
  if (closed) return false;
  stop_requests[connection_id] = std::move(stop_request);
  return true;
}

void port_registry_t::leave(int64_t connection_id) {
  std::lock_guard lock(mutex);
  stop_requests.erase(connection_id);
}

void port_registry_t::close_and_stop_all() {
  // The requests run under the mutex: a port cannot leave, and so cannot be
  // destroyed, while its request is being issued.
  std::lock_guard lock(mutex);
  closed = true;
  for (auto& [connection_id, stop_request] : stop_requests) stop_request();
}
