#include "client/move_latency.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(MoveLatency, EveryMoveIsTimedToTheNextPatch) {
  MoveLatency latency;
  latency.patchApplied(0.49, 0.5);  // no move waiting: nothing measured
  latency.moved(1.000);
  latency.moved(1.016);  // both moves wait for the same patch
  latency.patchApplied(1.026, 1.030);
  latency.patchApplied(1.038, 1.040);  // a second patch for the same moves counts nothing
  latency.moved(2.000);
  latency.patchApplied(2.008, 2.010);
  const std::vector<double> applied = latency.samplesMs();
  const std::vector<double> received = latency.receivedMs();
  ASSERT_EQ(applied.size(), 3u);
  ASSERT_EQ(received.size(), 3u);
  const double expectedApplied[] = {30, 14, 10};
  const double expectedReceived[] = {26, 10, 8};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(applied[i], expectedApplied[i], 1e-6) << i;
    EXPECT_NEAR(received[i], expectedReceived[i], 1e-6) << i;
  }
  EXPECT_EQ(latency.summary(),
            "move-to-patch p50 14.0 ms p95 30.0 ms (3 moves, received p50 10.0 ms)");
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
