#pragma once

#include <vector>

#include "base/geometry_types.hpp"
#include "capture/pixel_buffer.hpp"

namespace nimbrel {

// The reported changed rectangles reduced to the 32 x 32 tiles whose pixels really differ
// between the two frames, as rectangles (runs of tiles per tile row, runs with the same columns
// in consecutive rows joined). Frames of different sizes pass the list through unchanged.
std::vector<Rect> refineDirty(const std::vector<Rect>& rects, const PixelBuffer& previous,
                              const PixelBuffer& current);

}  // namespace nimbrel
