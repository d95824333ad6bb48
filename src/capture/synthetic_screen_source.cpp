#include "capture/synthetic_screen_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace nimbrel {
namespace {

// The square's corner from a pointer coordinate: truncated, clamped into the frame (NaN and
// values beyond the integer range included).
int clampedCorner(double value, int limit) {
  if (!(value > 0)) return 0;
  if (value >= limit) return limit;
  return std::min(static_cast<int>(value), limit);
}

}  // namespace

SyntheticScreenSource::SyntheticScreenSource(int width, int height, CursorProvider cursor)
    : width_(width), height_(height), cursor_(std::move(cursor)) {}

Monitor SyntheticScreenSource::monitor() const {
  return Monitor{0, 0, Rect{0, 0, static_cast<double>(width_), static_cast<double>(height_)},
                 width_, height_, true};
}

boost::asio::awaitable<std::vector<Monitor>> SyntheticScreenSource::monitors() {
  co_return std::vector<Monitor>{monitor()};
}

std::vector<std::uint8_t> SyntheticScreenSource::makeTemplate() const {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width_) * height_ * 4);
  const int wSpan = std::max(width_ - 1, 1);
  const int hSpan = std::max(height_ - 1, 1);
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* row = pixels.data() + static_cast<std::size_t>(y) * width_ * 4;
    const auto green = static_cast<std::uint8_t>(30 + (y * 90) / hSpan);
    for (int x = 0; x < width_; ++x) {
      row[x * 4 + 0] = static_cast<std::uint8_t>(40 + (x * 160) / wSpan);
      row[x * 4 + 1] = green;
      row[x * 4 + 2] = 60;
      row[x * 4 + 3] = 255;
    }
  }
  return pixels;
}

std::optional<FrameUpdate> SyntheticScreenSource::latest() {
  std::lock_guard lock(lock_);
  int x = 0;
  int y = 0;
  if (cursor_) {
    const Point p = cursor_();
    x = std::max(0, clampedCorner(p.x, width_ - kSquare));
    y = std::max(0, clampedCorner(p.y, height_ - kSquare));
    const Rect square{double(x), double(y), double(kSquare), double(kSquare)};
    if (tick_ >= 1 && lastSquare_ && lastFrame_ && square == *lastSquare_) {
      return FrameUpdate{*lastFrame_, {}};
    }
  } else {
    x = static_cast<int>(((tick_ + 1) * 12) % static_cast<std::uint64_t>(std::max(width_ - kSquare, 1)));
    y = 400;
  }
  ++tick_;

  auto buffer = std::make_shared<PixelBuffer>(width_, height_);
  if (template_.empty()) template_ = makeTemplate();
  const std::size_t rowBytes = static_cast<std::size_t>(width_) * 4;
  for (int row = 0; row < height_; ++row) {
    std::memcpy(buffer->row(row), template_.data() + row * rowBytes, rowBytes);
  }
  const Rect square{double(x), double(y), double(kSquare), double(kSquare)};
  const int bottom = std::min(static_cast<int>(square.maxY()), height_);
  const int right = std::min(static_cast<int>(square.maxX()), width_);
  for (int row = y; row < bottom; ++row) {
    std::uint8_t* p = buffer->row(row);
    for (int col = x; col < right; ++col) {
      p[col * 4 + 0] = p[col * 4 + 1] = p[col * 4 + 2] = 255;
    }
  }

  std::vector<Rect> dirty{square};
  if (lastSquare_) dirty.push_back(*lastSquare_);
  lastSquare_ = square;
  if (tick_ == 1) dirty = {Rect{0, 0, double(width_), double(height_)}};
  CapturedFrame frame{std::move(buffer), width_, height_, tick_};
  lastFrame_ = frame;
  return FrameUpdate{std::move(frame), std::move(dirty)};
}

}  // namespace nimbrel
