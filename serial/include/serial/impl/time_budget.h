#ifndef SERIAL_IMPL_TIME_BUDGET_H
#define SERIAL_IMPL_TIME_BUDGET_H

// Deadline arithmetic of the timed reads and writes, on CLOCK_MONOTONIC times.

#include <time.h>

#include <cstdint>

namespace serial {
namespace impl {

// start + total_ms.
timespec deadlineAfter(const timespec& start, uint32_t total_ms);

// Milliseconds from now until deadline, truncated; negative once it passed.
int64_t remainingMs(const timespec& deadline, const timespec& now);

// A select timeout of ms milliseconds; zero or less gives a zero timeout.
timespec timespecFromMs(int64_t ms);

}  // namespace impl
}  // namespace serial

#endif
