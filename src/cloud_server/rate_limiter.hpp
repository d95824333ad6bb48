#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace nimbrel::cloud {

// A token bucket: `burst` requests at once, refilled at `perSecond`.
struct RateRule {
  double burst = 10;
  double perSecond = 1;
};

// One token bucket per key (a client address, a host, an account). Time is given by the caller,
// in seconds on any clock that does not go back.
//
// Thread-safe. The table is bounded: when it holds `maxKeys` keys, full buckets (keys that have
// not been seen for a while) are forgotten first, and if none is full the oldest half goes.
class RateLimiter {
 public:
  explicit RateLimiter(RateRule rule, std::size_t maxKeys = 100000);

  // Takes one token for `key`. Nothing when the request may go ahead; otherwise the seconds
  // until it could (the "Retry-After").
  std::optional<double> take(const std::string& key, double now);

  // What take() would answer, without taking anything.
  std::optional<double> peek(const std::string& key, double now) const;

  // Whether `key` has taken anything that has not come back yet.
  bool used(const std::string& key, double now) const;

  std::size_t keys() const;

 private:
  struct Bucket {
    double tokens;
    double updated;
  };
  void prune(double now);

  RateRule rule_;
  std::size_t maxKeys_;
  mutable std::mutex lock_;
  std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace nimbrel::cloud
