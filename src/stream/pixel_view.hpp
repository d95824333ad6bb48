#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbrel {

// Pixels to compress, borrowed: `width` x `height` BGRX pixels, rows `pitch` bytes apart.
struct PixelView {
  const std::uint8_t* data;
  int width;
  int height;
  std::size_t pitch;

  const std::uint8_t* row(int y) const { return data + static_cast<std::size_t>(y) * pitch; }
};

}  // namespace nimbrel
