#include "cloud_server/rate_limiter.hpp"

#include <algorithm>
#include <vector>

namespace nimbrel::cloud {

RateLimiter::RateLimiter(RateRule rule, std::size_t maxKeys)
    : rule_(rule), maxKeys_(std::max<std::size_t>(maxKeys, 1)) {}

std::optional<double> RateLimiter::take(const std::string& key, double now) {
  std::lock_guard lock(lock_);
  auto it = buckets_.find(key);
  if (it == buckets_.end()) {
    if (buckets_.size() >= maxKeys_) prune(now);
    it = buckets_.emplace(key, Bucket{rule_.burst, now}).first;
  }
  Bucket& bucket = it->second;
  const double elapsed = std::max(0.0, now - bucket.updated);
  bucket.tokens = std::min(rule_.burst, bucket.tokens + elapsed * rule_.perSecond);
  bucket.updated = std::max(bucket.updated, now);
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return std::nullopt;
  }
  if (rule_.perSecond <= 0) return 24 * 3600.0;
  return (1 - bucket.tokens) / rule_.perSecond;
}

std::optional<double> RateLimiter::peek(const std::string& key, double now) const {
  std::lock_guard lock(lock_);
  const auto it = buckets_.find(key);
  if (it == buckets_.end()) return std::nullopt;
  const Bucket& bucket = it->second;
  const double tokens =
      std::min(rule_.burst, bucket.tokens + std::max(0.0, now - bucket.updated) * rule_.perSecond);
  if (tokens >= 1) return std::nullopt;
  if (rule_.perSecond <= 0) return 24 * 3600.0;
  return (1 - tokens) / rule_.perSecond;
}

bool RateLimiter::used(const std::string& key, double now) const {
  std::lock_guard lock(lock_);
  const auto it = buckets_.find(key);
  if (it == buckets_.end()) return false;
  const Bucket& bucket = it->second;
  return bucket.tokens + std::max(0.0, now - bucket.updated) * rule_.perSecond < rule_.burst;
}

std::size_t RateLimiter::keys() const {
  std::lock_guard lock(lock_);
  return buckets_.size();
}

void RateLimiter::prune(double now) {
  std::erase_if(buckets_, [&](const auto& entry) {
    const Bucket& b = entry.second;
    return b.tokens + std::max(0.0, now - b.updated) * rule_.perSecond >= rule_.burst;
  });
  if (buckets_.size() < maxKeys_) return;
  std::vector<double> times;
  times.reserve(buckets_.size());
  for (const auto& [key, bucket] : buckets_) times.push_back(bucket.updated);
  auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), middle, times.end());
  const double cut = *middle;
  std::erase_if(buckets_, [&](const auto& entry) { return entry.second.updated <= cut; });
}

}  // namespace nimbrel::cloud
