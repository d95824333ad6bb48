#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace nimbrel {

// A 32-bit BGRA image with its own bytes per row (rows may be padded). Frames share their
// buffer read-only once delivered.
class PixelBuffer {
 public:
  // Rows are padded to a multiple of 64 bytes.
  PixelBuffer(int width, int height);

  // Pixels that live elsewhere (a shared-memory segment, say): `release` runs when the buffer
  // goes. `bytesPerRow` is at least width * 4.
  PixelBuffer(int width, int height, std::size_t bytesPerRow, std::uint8_t* data,
              std::function<void()> release);

  // A separate buffer with the same pixels.
  PixelBuffer copy() const;

  int width() const { return width_; }
  int height() const { return height_; }
  std::size_t bytesPerRow() const { return bytesPerRow_; }
  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  std::uint8_t* row(int y) { return data_.get() + static_cast<std::size_t>(y) * bytesPerRow_; }
  const std::uint8_t* row(int y) const {
    return data_.get() + static_cast<std::size_t>(y) * bytesPerRow_;
  }

 private:
  int width_;
  int height_;
  std::size_t bytesPerRow_;
  std::unique_ptr<std::uint8_t[], std::function<void(std::uint8_t*)>> data_;
};

}  // namespace nimbrel
