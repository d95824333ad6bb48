#pragma once

#include <functional>
#include <mutex>

#include "capture/screen_source.hpp"

namespace nimbrel {

// The dry run's screen: a fixed gradient with a white 120 x 120 square that slides 12 pixels
// per drawn frame, or sits at the pointer position that `cursor` reports. A frame is drawn on
// each latest() call (with a cursor, only when the square moved).
//
// Thread-safety: every member may be called from any thread; `cursor` is called under the
// source's lock.
class SyntheticScreenSource final : public ScreenSource {
 public:
  using CursorProvider = std::function<Point()>;

  static constexpr int kSquare = 120;

  SyntheticScreenSource(int width, int height, CursorProvider cursor = {});

  boost::asio::awaitable<std::vector<Monitor>> monitors() override;
  boost::asio::awaitable<void> start(Monitor) override { co_return; }
  boost::asio::awaitable<void> stop() override { co_return; }
  std::optional<FrameUpdate> latest() override;

  Monitor monitor() const;

 private:
  std::vector<std::uint8_t> makeTemplate() const;

  const int width_;
  const int height_;
  const CursorProvider cursor_;
  std::mutex lock_;  // guards the fields below
  std::uint64_t tick_ = 0;
  std::optional<Rect> lastSquare_;
  std::optional<CapturedFrame> lastFrame_;
  std::vector<std::uint8_t> template_;
};

}  // namespace nimbrel
