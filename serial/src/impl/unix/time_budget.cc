#include "serial/impl/time_budget.h"

namespace serial {
namespace impl {

namespace {
constexpr int64_t kNsPerSecond = 1000000000;
}

timespec deadlineAfter(const timespec& start, uint32_t total_ms) {
  timespec deadline = start;
  const int64_t ns = static_cast<int64_t>(start.tv_nsec + total_ms * 1e6);
  deadline.tv_sec += ns / kNsPerSecond;
  deadline.tv_nsec = ns % kNsPerSecond;
  return deadline;
}

int64_t remainingMs(const timespec& deadline, const timespec& now) {
  return static_cast<int64_t>((deadline.tv_sec - now.tv_sec) * 1000.0 +
                              (deadline.tv_nsec - now.tv_nsec) / 1e6);
}

timespec timespecFromMs(int64_t ms) {
  // A negative wait must not reach select as an unsigned number: that would
  // wait for weeks with the port's lock held.
  if (ms <= 0) return timespec{0, 0};
  timespec result;
  result.tv_sec = static_cast<time_t>(ms / 1000.0);
  result.tv_nsec = static_cast<long>((ms - result.tv_sec * 1000.0) * 1e6);
  return result;
}

}  // namespace impl
}  // namespace serial
