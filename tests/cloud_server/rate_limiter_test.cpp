#include "cloud_server/rate_limiter.hpp"

#include <gtest/gtest.h>

namespace nimbrel::cloud {
namespace {

TEST(RateLimiter, BurstThenRefillAtTheRate) {
  struct Step {
    double at;
    std::optional<double> wait;  // nothing: allowed
  };
  struct Case {
    const char* what;
    RateRule rule;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"burst of two, one per 10 s",
       {2, 0.1},
       {{0, {}}, {0, {}}, {0, 10.0}, {5, 5.0}, {10, {}}, {10, 10.0}, {100, {}}, {100, {}}, {100, 10.0}}},
      {"burst of one, two per second", {1, 2}, {{0, {}}, {0.25, 0.25}, {0.5, {}}, {0.5, 0.5}}},
      {"a clock that steps back refills nothing", {1, 1}, {{10, {}}, {5, 1.0}, {11, {}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RateLimiter limiter(c.rule);
    for (const auto& step : c.steps) {
      const auto wait = limiter.take("k", step.at);
      ASSERT_EQ(wait.has_value(), step.wait.has_value()) << "at " << step.at;
      if (wait) {
        EXPECT_NEAR(*wait, *step.wait, 1e-9) << "at " << step.at;
      }
    }
  }
}

TEST(RateLimiter, PeekingTakesNothing) {
  RateLimiter limiter({2, 0.5});
  EXPECT_FALSE(limiter.peek("k", 0));  // a key never seen has its whole burst
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(limiter.peek("k", 0));
  EXPECT_FALSE(limiter.take("k", 0));
  EXPECT_FALSE(limiter.peek("k", 0));
  EXPECT_FALSE(limiter.take("k", 0));
  ASSERT_TRUE(limiter.peek("k", 0));
  EXPECT_NEAR(*limiter.peek("k", 0), 2.0, 1e-9);
  EXPECT_NEAR(*limiter.peek("k", 1), 1.0, 1e-9);
  EXPECT_FALSE(limiter.peek("k", 2));
  EXPECT_FALSE(limiter.take("k", 2));
  EXPECT_TRUE(limiter.take("k", 2));
}

TEST(RateLimiter, KeysAreIndependent) {
  RateLimiter limiter({1, 0.01});
  EXPECT_FALSE(limiter.take("a", 0));
  EXPECT_TRUE(limiter.take("a", 0));
  EXPECT_FALSE(limiter.take("b", 0));
}

TEST(RateLimiter, TheTableStaysBoundedAndKeepsBusyKeys) {
  RateLimiter limiter({1, 1}, 100);
  EXPECT_FALSE(limiter.take("busy", 1000));
  for (int i = 0; i < 1000; ++i) limiter.take("k" + std::to_string(i), i * 0.001);
  EXPECT_LE(limiter.keys(), 100u);
  // "busy" spent its token at 1000 and is not forgotten while it is still empty.
  EXPECT_TRUE(limiter.take("busy", 1000.5));
}

}  // namespace
}  // namespace nimbrel::cloud
