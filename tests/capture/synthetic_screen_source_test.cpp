#include "capture/synthetic_screen_source.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <cmath>

namespace nimbrel {
namespace {

struct Bgra {
  int b, g, r, a;
  bool operator==(const Bgra&) const = default;
};

Bgra pixel(const CapturedFrame& frame, int x, int y) {
  const std::uint8_t* p = frame.pixelBuffer->row(y) + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

Rect square(double x, double y) { return {x, y, 120, 120}; }

TEST(SyntheticScreenSource, SlidingSquareFramesAndDirtyLists) {
  SyntheticScreenSource source(1600, 1000);
  auto first = source.latest();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->frame.sequence, 1u);
  EXPECT_EQ(first->dirty, (std::vector<Rect>{Rect{0, 0, 1600, 1000}}));
  EXPECT_EQ(pixel(first->frame, 12, 400), (Bgra{255, 255, 255, 255}));
  EXPECT_EQ(pixel(first->frame, 131, 519), (Bgra{255, 255, 255, 255}));
  EXPECT_NE(pixel(first->frame, 132, 400), (Bgra{255, 255, 255, 255}));
  EXPECT_NE(pixel(first->frame, 11, 400), (Bgra{255, 255, 255, 255}));
  EXPECT_EQ(pixel(first->frame, 0, 0), (Bgra{40, 30, 60, 255}));
  EXPECT_EQ(pixel(first->frame, 1599, 999), (Bgra{200, 120, 60, 255}));

  auto second = source.latest();
  EXPECT_EQ(second->frame.sequence, 2u);
  EXPECT_EQ(second->dirty, (std::vector<Rect>{square(24, 400), square(12, 400)}));
  for (int i = 3; i < 123; ++i) source.latest();
  EXPECT_EQ(source.latest()->dirty.front(), square(1476, 400));  // frame 123
  EXPECT_EQ(source.latest()->dirty.front(), square(8, 400));     // frame 124 wraps
}

TEST(SyntheticScreenSource, SquareFollowsTheCursorAndIdlesWhenItRests) {
  Point cursor{300.9, 200.2};
  SyntheticScreenSource source(1600, 1000, [&] { return cursor; });
  const auto first = source.latest();
  EXPECT_EQ(first->frame.sequence, 1u);
  EXPECT_EQ(pixel(first->frame, 300, 200), (Bgra{255, 255, 255, 255}));
  const auto rest = source.latest();
  EXPECT_EQ(rest->frame.sequence, 1u);
  EXPECT_TRUE(rest->dirty.empty());
  EXPECT_EQ(rest->frame.pixelBuffer, first->frame.pixelBuffer);

  cursor = {-50, 5000};
  const auto moved = source.latest();
  EXPECT_EQ(moved->frame.sequence, 2u);
  EXPECT_EQ(moved->dirty, (std::vector<Rect>{square(0, 880), square(300, 200)}));
  // Coordinates that are not numbers, or far out, clamp like any other: still (0, 880).
  cursor = {std::nan(""), 1e300};
  const auto clamped = source.latest();
  EXPECT_EQ(clamped->frame.sequence, 2u);
  EXPECT_TRUE(clamped->dirty.empty());
}

TEST(SyntheticScreenSource, OneMonitorWithItsInfo) {
  SyntheticScreenSource source(1600, 1000);
  const Monitor monitor = source.monitor();
  EXPECT_EQ(monitor, (Monitor{0, 0, Rect{0, 0, 1600, 1000}, 1600, 1000, true}));
  EXPECT_EQ(boost::json::value(monitor.info()),
            boost::json::parse(R"({"i":0,"w":1600,"h":1000,"x":0,"y":0,"primary":true})"));
}

}  // namespace
}  // namespace nimbrel
