#pragma once

// What a port asks of the broker side besides the outgoing queue it pushes
// into: whether the broker is connected, since a pass is skipped while it is
// not. The broker client is the one in service; tests hand their own.
class broker_link_t {
 public:
  virtual ~broker_link_t() = default;

  virtual bool is_connected() const = 0;
};
