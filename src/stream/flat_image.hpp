#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.hpp"
#include "stream/pixel_view.hpp"

namespace nimbrel {

// A picture of few colours (text, window chrome, a terminal) as a palette and one palette
// index per pixel. Such a picture compresses far better without loss than as a JPEG, and
// stays exact.
struct PalettedImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> palette;  // 0xRRGGBB, in order of first appearance
  std::vector<std::uint8_t> indices;   // width * height, row by row
};

// The paletted form of `pixels`, or nothing as soon as they hold more than `maxColours`
// colours (at most 256). Cheap: one pass that stops at the first colour too many.
std::optional<PalettedImage> palettize(const PixelView& pixels, int maxColours = 256);

// Whether `pixels` hold `maxColours` colours or fewer (at most 256), without keeping indices.
bool hasFewColours(const PixelView& pixels, int maxColours = 256);

// A PNG of the paletted image: the smallest bit depth its palette allows, zlib's default
// compression. Throws std::runtime_error with libpng's message.
Bytes encodePalettedPng(const PalettedImage& image);

}  // namespace nimbrel
