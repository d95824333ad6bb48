#include "capture/pixel_buffer.hpp"

#include <cstring>

namespace nimbrel {

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width),
      height_(height),
      bytesPerRow_((static_cast<std::size_t>(width) * 4 + 63) / 64 * 64),
      // Not zeroed: every producer writes each pixel it delivers.
      data_(new std::uint8_t[bytesPerRow_ * static_cast<std::size_t>(height)]) {}

PixelBuffer PixelBuffer::copy() const {
  PixelBuffer out(width_, height_);
  std::memcpy(out.data(), data(), bytesPerRow_ * static_cast<std::size_t>(height_));
  return out;
}

}  // namespace nimbrel
