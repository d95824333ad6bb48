#include "stream/adaptation.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

namespace nimbrel {
namespace {

const StreamProfile& autoProfile = streamProfileNamed("auto");

TEST(Adaptation, FirstSampleIsClearAndStepsAreRateLimited) {
  Adaptation a;
  a.adapt(0.050, 10.0, autoProfile);  // base = itself: clear
  EXPECT_EQ(a.quality, 74);
  EXPECT_DOUBLE_EQ(a.scale, 1.0);     // already at maxScale
  a.adapt(0.050, 10.5, autoProfile);  // clear, but within 0.6 s of the last step
  EXPECT_EQ(a.quality, 74);
  a.adapt(0.400, 10.8, autoProfile);  // congested, and 0.3 s since the last step
  EXPECT_EQ(a.quality, 67);
  EXPECT_NEAR(a.scale, 0.9, 1e-12);
  a.adapt(0.400, 10.9, autoProfile);  // congested, but within 0.25 s
  EXPECT_EQ(a.quality, 67);
}

TEST(Adaptation, BandEdgesAndBounds) {
  Adaptation a;
  a.rtts = {0.5};
  a.lastAdjust = 0;
  a.adapt(0.75, 100, autoProfile);  // exactly 0.25 above: not congested
  a.adapt(0.62, 100, autoProfile);  // exactly 0.12 above: not clear
  EXPECT_EQ(a.quality, 72);
  for (int i = 0; i < 20; ++i) {
    a.penalizeExpiry(autoProfile);
  }
  EXPECT_EQ(a.quality, autoProfile.qmin);
  EXPECT_DOUBLE_EQ(a.scale, 0.45);
  Adaptation b;
  b.penalizeExpiry(autoProfile);
  b.penalizeExpiry(autoProfile);
  EXPECT_EQ(b.quality, 52);
  EXPECT_NEAR(b.scale, 0.7, 1e-12);
  Adaptation c;
  c.clampTo(streamProfileNamed("low"));
  EXPECT_EQ(c.quality, 55);
  EXPECT_DOUBLE_EQ(c.scale, 0.7);
  EXPECT_EQ(&streamProfileNamed("nonsense"), &autoProfile);
}

TEST(Adaptation, StatsMessage) {
  EXPECT_EQ(boost::json::value(statsMessage(150, 3'000'000, 72, 1.0, 0, 5.0)),
            boost::json::parse(R"({"t":"stats","fps":30.0,"kbps":4800,"q":72,"sc":1.0,"rtt":0})"));
  EXPECT_EQ(boost::json::value(statsMessage(0, 0, 40, 0.6499999, 12.5, 1.2)),
            boost::json::parse(R"({"t":"stats","fps":0.0,"kbps":0,"q":40,"sc":0.65,"rtt":13})"));
}

}  // namespace
}  // namespace nimbrel
