#pragma once

#include "core/sync_queue.hpp"

// All a port needs of the broker side: whether the broker is connected (a
// pass is skipped while it is not) and a way to hand over what it publishes.
// The broker client is the one in service; tests hand their own.
class broker_link_t {
 public:
  virtual ~broker_link_t() = default;

  virtual bool is_connected() const = 0;

  // Takes the message on the caller's thread, from any port's thread;
  // nothing is handed over once the broker side is stopping.
  virtual void publish_value(mqtt_message_t&& message) = 0;
};
