#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nimbrel {

// Time from each pointer move to the first patch applied after it: every move waits for the
// next patch. (Timing only the first move after a patch would start each measure just after a
// frame went out, the worst moment in the host's frame interval, and leave out the later,
// quicker moves.) When that patch's message arrived is kept too, which splits the time into the
// host's part and the client's. Times in seconds.
class MoveLatency {
 public:
  void moved(double now) { pending_.push_back(now); }
  void patchApplied(double received, double now) {
    for (const double start : pending_) {
      samples_.push_back((now - start) * 1000);
      receivedSamples_.push_back((received - start) * 1000);
    }
    pending_.clear();
  }
  const std::vector<double>& samplesMs() const { return samples_; }
  const std::vector<double>& receivedMs() const { return receivedSamples_; }

  // "move-to-patch p50 12.3 ms p95 30.1 ms (141 moves, received p50 11.0 ms)", or a line saying
  // none arrived.
  std::string summary() const;

 private:
  std::vector<double> pending_;
  std::vector<double> samples_;
  std::vector<double> receivedSamples_;
};

// The nearest-rank percentile (0-100) of `values`; nothing when there are none.
std::optional<double> percentile(std::vector<double> values, double p);

}  // namespace nimbrel
