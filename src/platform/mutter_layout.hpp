#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/geometry_types.hpp"

namespace nimbrel {

// What mutter's display configuration says about one logical monitor (an area of the desktop
// shown by one or more physical monitors; the first one's connector names it).
struct MutterLogicalMonitor {
  int x = 0;
  int y = 0;
  double scale = 1;
  std::uint32_t transform = 0;  // 0 normal, 1..3 rotated, 4..7 flipped
  bool primary = false;
  std::string connector;
  int modeWidth = 0;  // the current mode of that connector, in pixels
  int modeHeight = 0;
};

// A monitor as the desktop shows it and as its stream carries it.
struct MutterOutput {
  std::string connector;
  Rect bounds;  // global display coordinates (points)
  int pixelWidth = 0;
  int pixelHeight = 0;
  bool primary = false;
  bool operator==(const MutterOutput&) const = default;
};

// In the logical layout mode (1) positions and sizes are in points and a monitor's size is its
// mode divided by its scale; in the physical mode (2) everything is in pixels. A quarter turn
// swaps width and height. Monitors with no current mode are left out.
std::vector<MutterOutput> outputsFromLayout(const std::vector<MutterLogicalMonitor>& logical,
                                            std::uint32_t layoutMode);

// A stable number for a connector name (FNV-1a), never 0.
std::uint32_t connectorID(const std::string& connector);

// The output under a global point, else the nearest one (the pointer never leaves the
// desktop); nothing when there are none.
const MutterOutput* outputAt(const std::vector<MutterOutput>& outputs, Point global);

// Where a global point (points) falls in the stream of `output` (its pixels), clamped into it.
Point streamPosition(const MutterOutput& output, Point global);
// The other way: a stream pixel of `output` in global points.
Point globalPosition(const MutterOutput& output, Point stream);

}  // namespace nimbrel
