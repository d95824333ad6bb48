#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nimbrel {

// Time from a pointer move to the first patch applied after it: a move starts a measure unless
// one is already waiting for its patch, and the next patch applied ends it. Times in seconds.
class MoveLatency {
 public:
  void moved(double now) {
    if (!pending_) pending_ = now;
  }
  void patchApplied(double now) {
    if (!pending_) return;
    samples_.push_back((now - *pending_) * 1000);
    pending_.reset();
  }
  const std::vector<double>& samplesMs() const { return samples_; }

  // "move-to-patch p50 12.3 ms p95 30.1 ms (141 moves)", or a line saying none arrived.
  std::string summary() const;

 private:
  std::optional<double> pending_;
  std::vector<double> samples_;
};

// The nearest-rank percentile (0-100) of `values`; nothing when there are none.
std::optional<double> percentile(std::vector<double> values, double p);

}  // namespace nimbrel
