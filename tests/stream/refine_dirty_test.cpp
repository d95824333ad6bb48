#include "stream/refine_dirty.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace nimbrel {
namespace {

PixelBuffer filled(int w, int h, std::uint8_t value) {
  PixelBuffer buffer(w, h);
  for (int y = 0; y < h; ++y) std::memset(buffer.row(y), value, static_cast<std::size_t>(w) * 4);
  return buffer;
}

TEST(RefineDirty, KeepsOnlyTilesThatReallyChanged) {
  const PixelBuffer before = filled(100, 70, 7);
  EXPECT_EQ(refineDirty({{0, 0, 100, 70}}, before, filled(100, 70, 7)), std::vector<Rect>{});

  PixelBuffer after = filled(100, 70, 7);
  after.row(5)[33 * 4] = 8;
  EXPECT_EQ(refineDirty({{33, 5, 1, 1}}, before, after), (std::vector<Rect>{{32, 0, 32, 32}}));
  // Reported elsewhere: the real change is not looked for, the reported one is dropped.
  EXPECT_EQ(refineDirty({{70, 40, 5, 5}}, before, after), std::vector<Rect>{});

  // Tiles at the right and bottom edges are clipped to the frame; runs with the same columns
  // in consecutive tile rows join.
  after.row(69)[99 * 4 + 2] = 1;
  after.row(69)[64 * 4] = 1;
  after.row(40)[99 * 4] = 1;
  after.row(40)[64 * 4] = 1;
  EXPECT_EQ(refineDirty({{0, 0, 100, 70}}, before, after),
            (std::vector<Rect>{{32, 0, 32, 32}, {64, 32, 36, 38}}));
}

TEST(RefineDirty, PassesThroughWhatItCannotCompare) {
  const std::vector<Rect> reported{{1, 2, 3, 4}};
  EXPECT_EQ(refineDirty(reported, filled(10, 10, 0), filled(11, 10, 0)), reported);
}

}  // namespace
}  // namespace nimbrel
