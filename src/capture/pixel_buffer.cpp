#include "capture/pixel_buffer.hpp"

#include <cstring>

namespace nimbrel {

PixelBuffer::PixelBuffer(int width, int height)
    : width_(width),
      height_(height),
      bytesPerRow_((static_cast<std::size_t>(width) * 4 + 63) / 64 * 64),
      // Not zeroed: every producer writes each pixel it delivers.
      data_(new std::uint8_t[bytesPerRow_ * static_cast<std::size_t>(height)],
            [](std::uint8_t* p) { delete[] p; }) {}

PixelBuffer::PixelBuffer(int width, int height, std::size_t bytesPerRow, std::uint8_t* data,
                         std::function<void()> release)
    : width_(width),
      height_(height),
      bytesPerRow_(bytesPerRow),
      data_(data, [release = std::move(release)](std::uint8_t*) {
        if (release) release();
      }) {}

PixelBuffer PixelBuffer::copy() const {
  PixelBuffer out(width_, height_);
  const std::size_t rowBytes = static_cast<std::size_t>(width_) * 4;
  for (int y = 0; y < height_; ++y) std::memcpy(out.row(y), row(y), rowBytes);
  return out;
}

}  // namespace nimbrel
