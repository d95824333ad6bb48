#pragma once

#include <memory>
#include <optional>

#include "base/geometry_types.hpp"

namespace nimbrel {

// The text caret from what an accessibility service tells about the focused element: its caret
// bounds when they have a height (reported at least 2 points wide), else the element's frame when
// 0 < height <= 400, else nothing.
std::optional<Rect> caretFromAccessible(std::optional<Rect> caretBounds, std::optional<Rect> frame);

// Where the text caret of the focused element is, in global display coordinates, through the
// desktop's accessibility service. One per process.
//
// Thread-safety: caret() may be called from any thread; it never blocks longer than a short
// time-out and answers nothing when accessibility is off.
class CaretLocator {
 public:
  // The process's locator, or nothing when this build or session has no accessibility service.
  static std::shared_ptr<CaretLocator> shared();

  virtual ~CaretLocator() = default;
  virtual std::optional<Rect> caret() = 0;
};

}  // namespace nimbrel
