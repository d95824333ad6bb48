#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/geometry_types.hpp"

namespace nimbrel {

// A rectangle of the captured display measured as the unit square (origin top-left).
struct NRect {
  double x = 0;
  double y = 0;
  double w = 1;
  double h = 1;

  bool operator==(const NRect&) const = default;

  // Its box in a frame of `width` x `height` pixels: at least one pixel each way, never
  // outside the frame.
  Rect pixelRect(int width, int height) const;
};

// The region the zoomed layer covers for a view: the view with 15 % margins, kept inside the
// display.
NRect roiRect(const NRect& view);

// Inputs of the rule that fixes a layer's pixel size.
struct ScaleRule {
  NRect view;          // what the client shows
  Size viewPx;         // the client's pixel size for it
  double factor = 1;   // the streamer's adaptive scale (or the profile's maxScale)
  double maxPx = 0;    // area cap, in pixels
  bool background = false;  // a backdrop full layer: at most 1280 pixels wide
};

// The planned pixel size of a layer showing `rect`, whose box is `box`: the client's density,
// times the factor, never enlarged, within the area cap.
Size plannedLayerSize(const NRect& rect, const Rect& box, const ScaleRule& rule);

// A planned size with each side raised to at least 16 pixels.
Size layerImageSize(Size planned);

// The output-pixel rectangles of a patch of a layer (box in frame pixels, `size` its image
// size) for changed frame rectangles: grown by `pad`, snapped out to 16 pixels, merged, at most
// `maxCount`. Nothing when they would cover more than `maxFraction` of the layer.
std::optional<std::vector<Rect>> dirtyRegions(const std::vector<Rect>& rects, const Rect& box,
                                              Size size, std::size_t maxCount, double pad,
                                              double maxFraction);

// Joins rectangles that overlap or touch (one pixel apart), keeping the earlier one's place.
std::vector<Rect> mergeTouching(std::vector<Rect> rects);

// Merges the pair whose union adds the least area, then joins what touches.
std::vector<Rect> mergeCheapestPair(std::vector<Rect> rects);

}  // namespace nimbrel
