// What a capture stream hands its consumer: the newest frame and every rectangle that changed
// since the consumer last looked, whole frames after a start, and a capped list.

#include <gtest/gtest.h>

#include "capture/frame_slot.hpp"

namespace nimbrel {
namespace {

std::shared_ptr<const PixelBuffer> pixels() { return std::make_shared<PixelBuffer>(100, 50); }

std::vector<Rect> rects(int n, double offset = 0) {
  std::vector<Rect> out;
  for (int i = 0; i < n; ++i) out.push_back({offset + i, static_cast<double>(i), 1, 1});
  return out;
}

TEST(FrameSlotTest, FirstFrameAfterAStartIsWholeThenRectanglesGatherInOrder) {
  FrameSlot slot;
  EXPECT_FALSE(slot.latest());
  slot.accept(pixels(), 100, 50, rects(2));  // its own rectangles do not count: first frame
  auto first = slot.latest();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->dirty, (std::vector<Rect>{{0, 0, 100, 50}}));
  EXPECT_EQ(first->frame.sequence, 1u);

  slot.accept(pixels(), 100, 50, rects(2));
  slot.accept(pixels(), 100, 50, rects(3, 10));
  auto next = slot.latest();
  ASSERT_TRUE(next);
  auto expected = rects(2);
  for (const Rect& r : rects(3, 10)) expected.push_back(r);
  EXPECT_EQ(next->dirty, expected);
  EXPECT_EQ(next->frame.sequence, 3u);

  auto idle = slot.latest();  // nothing new: the same frame, nothing dirty
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->frame.sequence, 3u);
  EXPECT_TRUE(idle->dirty.empty());

  slot.accept(pixels(), 100, 50, {});  // changes unknown: the whole frame
  EXPECT_EQ(slot.latest()->dirty, (std::vector<Rect>{{0, 0, 100, 50}}));
}

TEST(FrameSlotTest, MoreThanSixtyFourRectanglesCollapseIntoTheirUnion) {
  FrameSlot slot;
  slot.accept(pixels(), 100, 50, {});
  slot.latest();
  slot.accept(pixels(), 100, 50, rects(64));
  EXPECT_EQ(slot.latest()->dirty.size(), 64u);
  slot.accept(pixels(), 100, 50, rects(40));
  slot.accept(pixels(), 100, 50, rects(30, 5));  // 70 in all
  EXPECT_EQ(slot.latest()->dirty, (std::vector<Rect>{{0, 0, 40, 40}}));
}

TEST(FrameSlotTest, ResetForgetsTheFrameAndPendingRectanglesButKeepsCounting) {
  FrameSlot slot;
  slot.accept(pixels(), 100, 50, {});
  slot.accept(pixels(), 100, 50, rects(3));
  slot.reset();
  EXPECT_FALSE(slot.latest());
  slot.accept(pixels(), 80, 40, rects(3));
  auto update = slot.latest();
  ASSERT_TRUE(update);
  EXPECT_EQ(update->frame.sequence, 3u);
  EXPECT_EQ(update->dirty, (std::vector<Rect>{{0, 0, 80, 40}}));
}

}  // namespace
}  // namespace nimbrel

namespace nimbrel {
namespace {

TEST(MonitorOrderTest, PrimaryFirstThenByLeftEdge) {
  auto monitor = [](std::uint32_t id, double x, bool primary) {
    Monitor m;
    m.displayID = id;
    m.bounds = {x, 0, 100, 100};
    m.primary = primary;
    return m;
  };
  const struct {
    std::vector<Monitor> given;
    std::vector<std::uint32_t> order;
  } cases[] = {
      {{monitor(1, 800, false), monitor(2, -400, false), monitor(3, 0, true)}, {3, 2, 1}},
      {{monitor(1, 800, false), monitor(2, 400, false)}, {2, 1}},  // none primary: the leftmost
      {{monitor(1, 0, false)}, {1}},
      {{}, {}},
  };
  for (auto c : cases) {
    orderMonitors(c.given);
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < c.given.size(); ++i) {
      ids.push_back(c.given[i].displayID);
      EXPECT_EQ(c.given[i].index, static_cast<int>(i));
      EXPECT_EQ(c.given[i].primary, i == 0);
    }
    EXPECT_EQ(ids, c.order);
  }
}

}  // namespace
}  // namespace nimbrel
