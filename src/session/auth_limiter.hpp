#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace nimbrel {

// Slows down failed pairing-key proofs across all connections of the process: each failure
// within a minute of others waits 0.5 s more than the one before, up to 10 s. Nothing is
// refused outright, and successes do not reset the count; failures simply age out.
//
// Thread-safety: `recordFailure` may be called from any thread; calls are serialised.
class AuthLimiter {
 public:
  using Clock = std::function<double()>;  // seconds of uptime

  explicit AuthLimiter(Clock clock);
  AuthLimiter();

  // The process-wide instance.
  static AuthLimiter& shared();

  // Records a failure now and returns how many seconds to wait before answering it.
  double recordFailure();

 private:
  Clock clock_;
  std::mutex lock_;  // guards failures_
  std::vector<double> failures_;
};

}  // namespace nimbrel
