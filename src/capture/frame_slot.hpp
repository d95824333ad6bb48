#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/screen_source.hpp"

namespace nimbrel {

// The newest frame of a capture stream and the dirty rectangles gathered since the consumer
// last looked: a slow consumer never builds a backlog. The first frame of each stream reports
// the whole frame dirty; more than 64 gathered rectangles collapse into their union.
//
// Thread-safety: every member may be called from any thread.
class FrameSlot {
 public:
  static constexpr std::size_t maxDirtyRects = 64;

  // A new stream begins: no frame until its first one, nothing pending, that one fully dirty.
  // The sequence keeps counting.
  void reset();

  // One complete frame with the rectangles (frame pixels) that changed; an empty list means
  // "unknown": the whole frame.
  void accept(std::shared_ptr<const PixelBuffer> pixels, int width, int height,
              std::vector<Rect> dirty);

  // The newest frame with everything gathered since the last call (then cleared), or nothing
  // before the first frame.
  std::optional<FrameUpdate> latest();

  // Called after every accepted frame, outside the lock.
  void setListener(std::function<void()> listener);

 private:
  void acceptLocked(std::shared_ptr<const PixelBuffer> pixels, int width, int height,
                    std::vector<Rect> dirty);

  std::mutex lock_;  // guards the fields below
  std::optional<CapturedFrame> latest_;
  std::vector<Rect> pending_;
  std::uint64_t sequence_ = 0;
  bool needsFullDirty_ = true;
  std::function<void()> listener_;
};

}  // namespace nimbrel
