#pragma once

#include <chrono>
#include <cstdint>

// A configured timeout of 0 ms would reach the socket layer as "no timeout"
// and let a silent peer hold its port for ever; the shortest real wait is
// taken instead.
inline std::chrono::milliseconds effective_timeout(uint32_t milliseconds) {
  return std::chrono::milliseconds(milliseconds == 0 ? 1 : milliseconds);
}
