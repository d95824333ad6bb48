#include "session/auth_limiter.hpp"

#include <algorithm>

#include "base/clock.hpp"

namespace nimbrel {

AuthLimiter::AuthLimiter(Clock clock) : clock_(std::move(clock)) {}

AuthLimiter::AuthLimiter() : AuthLimiter(uptimeSeconds) {}

AuthLimiter& AuthLimiter::shared() {
  static AuthLimiter limiter;
  return limiter;
}

double AuthLimiter::recordFailure() {
  const double now = clock_();
  std::lock_guard lock(lock_);
  std::erase_if(failures_, [now](double at) { return now - at >= 60.0; });
  failures_.push_back(now);
  return std::min(0.5 * static_cast<double>(failures_.size()), 10.0);
}

}  // namespace nimbrel
