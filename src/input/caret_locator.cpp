#include "input/caret_locator.hpp"

#include <algorithm>

namespace nimbrel {

std::optional<Rect> caretFromAccessible(std::optional<Rect> caretBounds, std::optional<Rect> frame) {
  if (caretBounds && caretBounds->height > 0) {
    return Rect{caretBounds->x, caretBounds->y, std::max(caretBounds->width, 2.0), caretBounds->height};
  }
  if (frame && frame->height > 0 && frame->height <= 400) return frame;
  return std::nullopt;
}

}  // namespace nimbrel
