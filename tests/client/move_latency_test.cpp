#include "client/move_latency.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(MoveLatency, AMeasureRunsFromTheFirstWaitingMoveToTheNextPatch) {
  MoveLatency latency;
  latency.patchApplied(0.5);  // no move waiting: nothing measured
  latency.moved(1.000);
  latency.moved(1.016);  // already waiting: the measure keeps its start
  latency.patchApplied(1.030);
  latency.patchApplied(1.040);  // a second patch for the same move counts nothing
  latency.moved(2.000);
  latency.patchApplied(2.010);
  ASSERT_EQ(latency.samplesMs().size(), 2u);
  EXPECT_NEAR(latency.samplesMs()[0], 30.0, 1e-6);
  EXPECT_NEAR(latency.samplesMs()[1], 10.0, 1e-6);
  EXPECT_EQ(latency.summary(), "move-to-patch p50 10.0 ms p95 30.0 ms (2 moves)");
  EXPECT_EQ(MoveLatency().summary(), "move-to-patch: no patch arrived after a move");
}

TEST(MoveLatency, NearestRankPercentiles) {
  struct Case {
    std::vector<double> values;
    double p;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {{}, 50, std::nullopt},
      {{7}, 50, 7},
      {{7}, 95, 7},
      {{4, 1, 3, 2}, 50, 2},
      {{4, 1, 3, 2}, 95, 4},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 90, 9},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(percentile(c.values, c.p), c.expected) << c.p;
}

}  // namespace
}  // namespace nimbrel
