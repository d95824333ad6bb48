#include "client/move_latency.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace nimbrel {

std::optional<double> percentile(std::vector<double> values, double p) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  // Nearest rank: the smallest value with at least p % of the values at or below it.
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

std::string MoveLatency::summary() const {
  const auto p50 = percentile(samples_, 50);
  const auto p95 = percentile(samples_, 95);
  const auto received = percentile(receivedSamples_, 50);
  if (!p50 || !p95 || !received) return "move-to-patch: no patch arrived after a move";
  char line[128];
  std::snprintf(line, sizeof line, "move-to-patch p50 %.1f ms p95 %.1f ms (%zu moves, received p50 %.1f ms)",
                *p50, *p95, samples_.size(), *received);
  return line;
}

}  // namespace nimbrel
