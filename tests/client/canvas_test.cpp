// The client's canvas against a hostile host: regions and roi boxes at any position, sizes
// that run past the payload or would wrap a sum; nothing is written outside the canvas.

#include "client/canvas.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace nimbrel {
namespace {

// A PNG of `width` x `height` pixels of one grey.
Bytes png(int width, int height, std::uint8_t grey) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_GRAY;
  const std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height, grey);
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr);
  Bytes out(size);
  png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr);
  out.resize(size);
  return out;
}

// How many pixels of the canvas have the blue value `grey`.
int count(const PixelBuffer& pixels, std::uint8_t grey) {
  int n = 0;
  for (int y = 0; y < pixels.height(); ++y) {
    for (int x = 0; x < pixels.width(); ++x) n += pixels.row(y)[x * 4] == grey;
  }
  return n;
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

TEST(Canvas, RegionsLandOnlyWhollyOnTheCanvas) {
  Canvas canvas;
  ASSERT_TRUE(canvas.applyBase(png(64, 32, 10), {0, 0, 1, 1}));
  const Bytes square = png(8, 8, 200);
  const struct {
    std::int64_t x, y;
    bool pasted;
  } cases[] = {
      {0, 0, true},          {56, 24, true},       {57, 0, false},      {0, 25, false},
      {-1, 0, false},        {0, -8, false},       {kIntMax - 4, 0, false},
      {kIntMax, kIntMax, false}, {1LL << 40, 0, false}, {-(1LL << 40), 0, false},
      {kMax, 0, false},
  };
  int expected = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(canvas.applyRegion(square, c.x, c.y), c.pasted) << c.x << "," << c.y;
    if (c.pasted) expected += 64;
    EXPECT_EQ(count(canvas.pixels(), 200), expected) << c.x << "," << c.y;
  }
}

TEST(Canvas, APatchTakesOnlyBytesThatAreInItsPayload) {
  Canvas canvas;
  ASSERT_TRUE(canvas.applyBase(png(64, 32, 10), {0, 0, 1, 1}));
  const Bytes a = png(8, 8, 100), b = png(8, 8, 150);
  Bytes payload = a;
  payload.insert(payload.end(), b.begin(), b.end());
  const auto sizeA = static_cast<std::int64_t>(a.size());
  const auto sizeB = static_cast<std::int64_t>(b.size());
  const struct {
    const char* label;
    std::vector<RegionPlacement> regions;
    int applied;
  } cases[] = {
      {"both", {{0, 0, sizeA}, {8, 0, sizeB}}, 2},
      {"the second runs past the end", {{0, 0, sizeA}, {8, 0, sizeB + 1}}, 1},
      {"a size that wraps the sum", {{0, 0, sizeA}, {8, 0, kMax}}, 1},
      {"a negative size", {{0, 0, -1}, {8, 0, sizeB}}, 0},
      {"a size that wraps back to the start", {{0, 0, -sizeA}, {8, 0, sizeB}}, 0},
      {"nothing", {}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(applyPatch(canvas, c.regions, payload), c.applied) << c.label;
  }
}

TEST(Canvas, AnRoiBoxOffTheScreenIsClippedToIt) {
  Canvas full;
  ASSERT_TRUE(full.applyBase(png(64, 32, 10), {0, 0, 1, 1}));
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    Rect box;
    int covered;  // pixels of the full canvas the roi covers
  } cases[] = {
      {{0.5, 0.5, 0.5, 0.5}, 32 * 16},
      {{-0.5, -0.5, 1, 1}, 32 * 16},
      {{0.75, 0, 2, 1}, 16 * 32},
      {{-3, -3, 1, 1}, 0},
      {{2, 2, 1, 1}, 0},
      {{nan, 0, 1, 1}, 0},
      {{0, 0, inf, inf}, 64 * 32},
      {{-inf, -inf, inf, inf}, 0},
      {{-1e300, 0, 2e300, 1}, 64 * 32},
  };
  for (const auto& c : cases) {
    Canvas roi;
    ASSERT_TRUE(roi.applyBase(png(16, 16, 240), c.box));
    const PixelBuffer out = composite(full, &roi);
    EXPECT_EQ(count(out, 240), c.covered)
        << c.box.x << "," << c.box.y << " " << c.box.width << "x" << c.box.height;
  }
}

}  // namespace
}  // namespace nimbrel
