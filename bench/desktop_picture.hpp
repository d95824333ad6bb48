#pragma once

#include <cstdint>
#include <memory>

#include "capture/pixel_buffer.hpp"
#include "capture/synthetic_screen_source.hpp"

namespace nimbrel::bench {

// A desktop-like 2880 x 1800 frame: the synthetic gradient with the square, plus dark "text"
// strokes so that the compressor has edges to work on.
inline const PixelBuffer& desktop() {
  static const std::shared_ptr<const PixelBuffer> frame = [] {
    auto pixels = std::make_shared<PixelBuffer>(
        SyntheticScreenSource(2880, 1800).latest()->frame.pixelBuffer->copy());
    for (int y = 100; y < 1700; y += 24) {
      for (int x = 200; x < 2600; x += 9) {
        for (int dy = 0; dy < 14; ++dy) {
          std::uint8_t* p = pixels->row(y + dy) + (x + (dy * 7 + x) % 5) * 4;
          p[0] = p[1] = p[2] = 20;
        }
      }
    }
    return pixels;
  }();
  return *frame;
}

}  // namespace nimbrel::bench
