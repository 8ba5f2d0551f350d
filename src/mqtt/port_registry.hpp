#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

// The running ports as the client's shutdown sees them. A port lives on its
// task's stack, so the client cannot hold it; instead the port enters here
// with its stop request before it starts and leaves before it is destroyed.
// Closing happens under the same mutex, so a port either is reached by the
// close or is refused entry, never missed in between.
class port_registry_t {
 public:
  using stop_request_t = std::function<void()>;

  // False once the registry is closed: the port must not start then.
  bool enter(int64_t connection_id, stop_request_t stop_request);

  // Called by the port before it is destroyed; a stop request never runs
  // on a port that has left.
  void leave(int64_t connection_id);

  // Refuses later entries and issues the stop request of every port inside.
  void close_and_stop_all();

 private:
  std::mutex mutex;
  std::map<int64_t, stop_request_t> stop_requests;
  bool closed = false;
};

// Keeps a port registered for one scope.
class port_registration_t {
 public:
  port_registration_t(port_registry_t& registry, int64_t connection_id, port_registry_t::stop_request_t stop_request)
      : registry(registry), connection_id(connection_id),
        entered(registry.enter(connection_id, std::move(stop_request))) {}
  ~port_registration_t() {
    if (entered) registry.leave(connection_id);
  }
  port_registration_t(const port_registration_t&) = delete;
  port_registration_t& operator=(const port_registration_t&) = delete;

  // False when the client was already stopping: the port must not run.
  bool admitted() const { return entered; }

 private:
  port_registry_t& registry;
  int64_t connection_id;
  bool entered;
};
