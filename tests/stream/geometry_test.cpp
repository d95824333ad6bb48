#include "stream/geometry.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(Geometry, PixelRect) {
  const struct {
    NRect r;
    int w, h;
    Rect expected;
  } cases[] = {
      {{0.5, 0.5, 0, 0}, 100, 100, {50, 50, 1, 1}},
      {{0, 0, 1, 1}, 100, 100, {0, 0, 100, 100}},
      {{0.25, 0.5, 0.25, 0.25}, 2880, 1800, {720, 900, 720, 450}},
      {{0.995, 0.995, 0.5, 0.5}, 100, 100, {99, 99, 1, 1}},
      {{-0.25, -0.25, 0.5, 0.5}, 100, 100, {0, 0, 25, 25}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.r.pixelRect(c.w, c.h), c.expected);
}

TEST(Geometry, RoiRect) {
  const struct {
    NRect view;
    NRect expected;
  } cases[] = {
      {{0.4, 0.4, 0.2, 0.2}, {0.37, 0.37, 0.26, 0.26}},
      {{0, 0, 0.5, 0.5}, {0, 0, 0.65, 0.65}},
      {{0.9, 0.9, 0.1, 0.1}, {0.87, 0.87, 0.13, 0.13}},
      {{0, 0, 1, 1}, {0, 0, 1, 1}},
  };
  for (const auto& c : cases) {
    const NRect r = roiRect(c.view);
    EXPECT_NEAR(r.x, c.expected.x, 1e-12);
    EXPECT_NEAR(r.y, c.expected.y, 1e-12);
    EXPECT_NEAR(r.w, c.expected.w, 1e-12);
    EXPECT_NEAR(r.h, c.expected.h, 1e-12);
  }
}

TEST(Geometry, ScaleRule) {
  const Rect display{0, 0, 2880, 1800};
  const NRect whole{0, 0, 1, 1};
  // The two worked examples: a phone-sized and a tablet-sized client.
  EXPECT_EQ(plannedLayerSize(whole, display, {whole, {1280, 800}, 1.0, 2'600'000}),
            (Size{1280, 800}));
  EXPECT_EQ(plannedLayerSize(whole, display, {whole, {2732, 2048}, 1.0, 2'600'000}),
            (Size{2040, 1275}));
  // Never enlarged; the adaptive factor scales down.
  EXPECT_EQ(plannedLayerSize(whole, {0, 0, 800, 600}, {whole, {4000, 3000}, 1.0, 1e9}),
            (Size{800, 600}));
  EXPECT_EQ(plannedLayerSize(whole, display, {whole, {1280, 800}, 0.5, 2'600'000}),
            (Size{640, 400}));
  // Zoomed in: the backdrop stays at most 1280 wide, the roi layer is dense.
  const NRect view{0.4, 0.4, 0.1, 0.1};
  EXPECT_EQ(plannedLayerSize(whole, display, {view, {1280, 800}, 1.0, 2'600'000, true}),
            (Size{1280, 800}));
  const NRect roi = roiRect(view);
  const Rect roiBox = roi.pixelRect(2880, 1800);
  const Size roiSize = plannedLayerSize(roi, roiBox, {view, {1280, 800}, 1.0, 2'600'000});
  EXPECT_EQ(roiSize, (Size{roiBox.width, roiBox.height}));  // capped at 1:1
  // Tiny boxes still give 16-pixel images.
  EXPECT_EQ(layerImageSize(plannedLayerSize(whole, {0, 0, 20, 10}, {whole, {64, 64}, 0.45, 1e9})),
            (Size{16, 16}));
}

TEST(Geometry, DirtyRegions) {
  const Rect box{0, 0, 2880, 1800};
  const Size size{1280, 800};
  EXPECT_EQ(dirtyRegions({}, box, size, 24, 2, 0.5), std::vector<Rect>{});
  // A one-pixel change: mapped, padded by 2, snapped out to 16.
  EXPECT_EQ(dirtyRegions({{900, 450, 1, 1}}, box, size, 24, 2, 0.5),
            (std::vector<Rect>{{384, 192, 32, 16}}));
  // More than half the layer: not worth a patch.
  EXPECT_EQ(dirtyRegions({{0, 0, 2880, 1000}}, box, size, 24, 2, 0.5), std::nullopt);
  // Outside the box: nothing to send.
  EXPECT_EQ(dirtyRegions({{100, 100, 10, 10}}, {1000, 1000, 500, 500}, {500, 500}, 24, 2, 0.5),
            std::vector<Rect>{});
  // Clipped at the layer's edge.
  EXPECT_EQ(dirtyRegions({{1276, 796, 4, 4}}, {0, 0, 1280, 800}, {1280, 800}, 24, 2, 0.5),
            (std::vector<Rect>{{1264, 784, 16, 16}}));
}

TEST(Geometry, MergingKeepsTouchingTogetherAndFarApartUntilTooMany) {
  // Sharing an edge, or overlapping: joined. A gap of a pixel or more: kept apart.
  EXPECT_EQ(mergeTouching({{0, 0, 16, 16}, {16, 0, 16, 16}}), (std::vector<Rect>{{0, 0, 32, 16}}));
  EXPECT_EQ(mergeTouching({{0, 0, 16, 16}, {0, 10, 16, 16}}), (std::vector<Rect>{{0, 0, 16, 26}}));
  EXPECT_EQ(mergeTouching({{0, 0, 16, 16}, {17, 0, 16, 16}}).size(), 2u);
  // Two changes one output pixel apart snap into one cell and travel as one rectangle.
  EXPECT_EQ(dirtyRegions({{10, 10, 1, 1}, {12, 10, 1, 1}}, {0, 0, 1280, 800}, {1280, 800}, 24, 2, 0.5),
            (std::vector<Rect>{{0, 0, 16, 16}}));
  // Survivors keep the earlier one's place; merging cascades.
  EXPECT_EQ(mergeTouching({{100, 0, 10, 10}, {0, 0, 10, 10}, {10, 0, 90, 10}}),
            (std::vector<Rect>{{0, 0, 110, 10}}));
  // The cheapest pair is the closest.
  EXPECT_EQ(mergeCheapestPair({{0, 0, 16, 16}, {500, 500, 16, 16}, {40, 0, 16, 16}}),
            (std::vector<Rect>{{0, 0, 56, 16}, {500, 500, 16, 16}}));
  // Through dirtyRegions: 30 separate changes become at most 24 rectangles.
  std::vector<Rect> scattered;
  for (int i = 0; i < 30; ++i) scattered.push_back({double(i * 40), double((i % 3) * 200), 2, 2});
  const auto regions = dirtyRegions(scattered, {0, 0, 1280, 800}, {1280, 800}, 24, 2, 0.5);
  ASSERT_TRUE(regions);
  EXPECT_LE(regions->size(), 24u);
  for (const Rect& change : scattered) {
    bool covered = false;
    for (const Rect& r : *regions) covered |= r.intersection(change) == change;
    EXPECT_TRUE(covered) << change.x << "," << change.y;
  }
}

}  // namespace
}  // namespace nimbrel
