#pragma once

#include <chrono>

namespace nimbrel {

// Seconds of system uptime (a monotonic clock), the time base of every time-out and rate.
inline double uptimeSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace nimbrel
