#include "platform/mutter_layout.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrel {

std::uint32_t connectorID(const std::string& connector) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : connector) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

std::vector<MutterOutput> outputsFromLayout(const std::vector<MutterLogicalMonitor>& logical,
                                            std::uint32_t layoutMode) {
  std::vector<MutterOutput> outputs;
  for (const auto& m : logical) {
    if (m.modeWidth <= 0 || m.modeHeight <= 0) continue;
    const bool quarterTurn = (m.transform % 2) == 1;
    const int pixelWidth = quarterTurn ? m.modeHeight : m.modeWidth;
    const int pixelHeight = quarterTurn ? m.modeWidth : m.modeHeight;
    const double scale = layoutMode == 1 && m.scale > 0 ? m.scale : 1.0;
    MutterOutput output;
    output.connector = m.connector;
    output.bounds = {double(m.x), double(m.y), std::round(pixelWidth / scale),
                     std::round(pixelHeight / scale)};
    output.pixelWidth = pixelWidth;
    output.pixelHeight = pixelHeight;
    output.primary = m.primary;
    outputs.push_back(output);
  }
  return outputs;
}

const MutterOutput* outputAt(const std::vector<MutterOutput>& outputs, Point global) {
  const MutterOutput* best = nullptr;
  double bestDistance = 0;
  for (const auto& output : outputs) {
    const Rect& b = output.bounds;
    const double dx = std::max({b.x - global.x, 0.0, global.x - (b.maxX() - 1)});
    const double dy = std::max({b.y - global.y, 0.0, global.y - (b.maxY() - 1)});
    const double distance = dx * dx + dy * dy;
    if (!best || distance < bestDistance) {
      best = &output;
      bestDistance = distance;
    }
  }
  return best;
}

Point streamPosition(const MutterOutput& monitor, Point global) {
  const double sx = monitor.bounds.width > 0 ? monitor.pixelWidth / monitor.bounds.width : 1;
  const double sy = monitor.bounds.height > 0 ? monitor.pixelHeight / monitor.bounds.height : 1;
  const double x = (global.x - monitor.bounds.x) * sx;
  const double y = (global.y - monitor.bounds.y) * sy;
  return {std::clamp(x, 0.0, std::max(0.0, monitor.pixelWidth - 1.0)),
          std::clamp(y, 0.0, std::max(0.0, monitor.pixelHeight - 1.0))};
}

Point globalPosition(const MutterOutput& monitor, Point stream) {
  const double sx = monitor.pixelWidth > 0 ? monitor.bounds.width / monitor.pixelWidth : 1;
  const double sy = monitor.pixelHeight > 0 ? monitor.bounds.height / monitor.pixelHeight : 1;
  return {monitor.bounds.x + stream.x * sx, monitor.bounds.y + stream.y * sy};
}

}  // namespace nimbrel
