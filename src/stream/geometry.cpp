#include "stream/geometry.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrel {

Rect NRect::pixelRect(int width, int height) const {
  const double x0 = std::max(std::floor(x * width), 0.0);
  const double y0 = std::max(std::floor(y * height), 0.0);
  const double x1 = std::min(std::max(x0 + 1, std::ceil((x + w) * width)), double(width));
  const double y1 = std::min(std::max(y0 + 1, std::ceil((y + h) * height)), double(height));
  return {x0, y0, x1 - x0, y1 - y0};
}

NRect roiRect(const NRect& view) {
  const double mx = 0.15 * view.w;
  const double my = 0.15 * view.h;
  auto clampSize = [](double v) { return v <= 0.01 ? 0.01 : (v > 1.0 ? 1.0 : v); };
  const double w = clampSize(view.w + 2 * mx);
  const double h = clampSize(view.h + 2 * my);
  auto clampOrigin = [](double v, double limit) {
    if (v <= 0) v = 0;
    return v > limit ? limit : v;
  };
  return {clampOrigin(view.x - mx, 1 - w), clampOrigin(view.y - my, 1 - h), w, h};
}

Size plannedLayerSize(const NRect& rect, const Rect& box, const ScaleRule& rule) {
  const double sx = (rect.w * rule.viewPx.width / rule.view.w) / box.width;
  const double sy = (rect.h * rule.viewPx.height / rule.view.h) / box.height;
  double s = std::min({sx, sy, 1.0}) * rule.factor;
  if (rule.background) s = std::min(s, 1280.0 / box.width);
  if (s * box.width * box.height * s > rule.maxPx) s = std::sqrt(rule.maxPx / (box.width * box.height));
  s = std::min(s, 1.0);
  return {std::round(box.width * s), std::round(box.height * s)};
}

Size layerImageSize(Size planned) {
  return {std::max(planned.width, 16.0), std::max(planned.height, 16.0)};
}

std::vector<Rect> mergeTouching(std::vector<Rect> rects) {
  bool merged = true;
  while (merged) {
    merged = false;
    for (std::size_t i = 0; i < rects.size() && !merged; ++i) {
      const Rect grown = rects[i].insetBy(-1, -1);
      for (std::size_t j = i + 1; j < rects.size(); ++j) {
        if (grown.intersects(rects[j])) {
          rects[i] = rects[i].united(rects[j]);
          rects.erase(rects.begin() + static_cast<std::ptrdiff_t>(j));
          merged = true;
          break;
        }
      }
    }
  }
  return rects;
}

std::vector<Rect> mergeCheapestPair(std::vector<Rect> rects) {
  if (rects.size() < 2) return rects;
  std::size_t bestI = 0, bestJ = 1;
  double bestCost = 0;
  bool first = true;
  for (std::size_t i = 0; i < rects.size(); ++i) {
    for (std::size_t j = i + 1; j < rects.size(); ++j) {
      const double cost = rects[i].united(rects[j]).area() - rects[i].area() - rects[j].area();
      if (first || cost < bestCost) {
        bestCost = cost;
        bestI = i;
        bestJ = j;
        first = false;
      }
    }
  }
  rects[bestI] = rects[bestI].united(rects[bestJ]);
  rects.erase(rects.begin() + static_cast<std::ptrdiff_t>(bestJ));
  return mergeTouching(std::move(rects));
}

std::optional<std::vector<Rect>> dirtyRegions(const std::vector<Rect>& rects, const Rect& box,
                                              Size size, std::size_t maxCount, double pad,
                                              double maxFraction) {
  const double sx = size.width / box.width;
  const double sy = size.height / box.height;
  const Rect layer{0, 0, size.width, size.height};
  std::vector<Rect> out;
  for (const Rect& d : rects) {
    const Rect i = d.intersection(box);
    if (i.isEmpty()) continue;
    const Rect mapped = Rect{(i.minX() - box.minX()) * sx, (i.minY() - box.minY()) * sy,
                             i.width * sx, i.height * sy}
                            .insetBy(-pad, -pad);
    const double x0 = std::floor(mapped.minX() / 16) * 16;
    const double y0 = std::floor(mapped.minY() / 16) * 16;
    const double x1 = std::ceil(mapped.maxX() / 16) * 16;
    const double y1 = std::ceil(mapped.maxY() / 16) * 16;
    const Rect clipped = Rect{x0, y0, x1 - x0, y1 - y0}.intersection(layer);
    // The smallest integral rectangle containing it.
    const double ix0 = std::floor(clipped.minX()), iy0 = std::floor(clipped.minY());
    const Rect integral{ix0, iy0, std::ceil(clipped.maxX()) - ix0, std::ceil(clipped.maxY()) - iy0};
    if (integral.width >= 1 && integral.height >= 1) out.push_back(integral);
  }
  out = mergeTouching(std::move(out));
  while (out.size() > maxCount) out = mergeCheapestPair(std::move(out));
  double area = 0;
  for (const Rect& r : out) area += r.area();
  if (area > maxFraction * size.width * size.height) return std::nullopt;
  return out;
}

}  // namespace nimbrel
