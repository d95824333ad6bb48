#include "capture/frame_slot.hpp"

namespace nimbrel {

void FrameSlot::reset() {
  const std::lock_guard guard(lock_);
  latest_.reset();
  pending_.clear();
  needsFullDirty_ = true;
}

void FrameSlot::setListener(std::function<void()> listener) {
  const std::lock_guard guard(lock_);
  listener_ = std::move(listener);
}

void FrameSlot::accept(std::shared_ptr<const PixelBuffer> pixels, int width, int height,
                       std::vector<Rect> dirty) {
  std::function<void()> listener;
  {
    const std::lock_guard guard(lock_);
    acceptLocked(std::move(pixels), width, height, std::move(dirty));
    listener = listener_;
  }
  if (listener) listener();
}

void FrameSlot::acceptLocked(std::shared_ptr<const PixelBuffer> pixels, int width, int height,
                             std::vector<Rect> dirty) {
  ++sequence_;
  if (needsFullDirty_ || dirty.empty()) {
    dirty = {Rect{0, 0, static_cast<double>(width), static_cast<double>(height)}};
    needsFullDirty_ = false;
  }
  latest_ = CapturedFrame{std::move(pixels), width, height, sequence_};
  pending_.insert(pending_.end(), dirty.begin(), dirty.end());
  if (pending_.size() > maxDirtyRects) {
    Rect all = pending_.front();
    for (const Rect& r : pending_) all = all.united(r);
    pending_ = {all};
  }
}

std::optional<FrameUpdate> FrameSlot::latest() {
  const std::lock_guard guard(lock_);
  if (!latest_) return std::nullopt;
  FrameUpdate update{*latest_, std::move(pending_)};
  pending_.clear();
  return update;
}

}  // namespace nimbrel
