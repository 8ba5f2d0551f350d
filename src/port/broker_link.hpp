#pragma once

#include <cstdint>

// What a port asks of the broker side besides the outgoing queue it pushes
// into: whether the broker is connected, since a pass is skipped while it is
// not, and which connection it is on, since what the port knows the broker
// holds lasts one connection. The broker client is the one in service; tests
// hand their own.
class broker_link_t {
 public:
  virtual ~broker_link_t() = default;

  virtual bool is_connected() const = 0;
  // Grows by one at every connection the broker accepted; it changes no
  // later than is_connected turns true for that connection.
  virtual uint64_t connection_number() const = 0;
};
