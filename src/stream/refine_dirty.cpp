#include "stream/refine_dirty.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace nimbrel {

std::vector<Rect> refineDirty(const std::vector<Rect>& rects, const PixelBuffer& previous,
                              const PixelBuffer& current) {
  const int width = current.width();
  const int height = current.height();
  if (previous.width() != width || previous.height() != height || rects.empty() ||
      !previous.data() || !current.data()) {
    return rects;
  }
  constexpr int kTile = 32;
  const int cols = (width + kTile - 1) / kTile;
  const int rows = (height + kTile - 1) / kTile;
  std::vector<std::uint8_t> examined(static_cast<std::size_t>(cols) * rows, 0);
  std::vector<std::uint8_t> changed(static_cast<std::size_t>(cols) * rows, 0);

  // The tile of a coordinate's integer part (NaN and huge values kept finite).
  auto tileOf = [](double v) {
    const double t = std::floor(std::trunc(v) / kTile);
    return !(t > -1e9) ? -1000000000 : (t > 1e9 ? 1000000000 : static_cast<int>(t));
  };
  for (const Rect& r : rects) {
    const int c0 = std::max(tileOf(r.minX()), 0);
    const int c1 = std::min(tileOf(r.maxX()), cols - 1);
    const int r0 = std::max(tileOf(r.minY()), 0);
    const int r1 = std::min(tileOf(r.maxY()), rows - 1);
    for (int ty = r0; ty <= r1; ++ty) {
      const int yEnd = std::min(ty * kTile + kTile, height);
      for (int tx = c0; tx <= c1; ++tx) {
        const std::size_t t = static_cast<std::size_t>(ty) * cols + tx;
        if (examined[t]) continue;
        examined[t] = 1;
        const std::size_t offset = static_cast<std::size_t>(tx) * kTile * 4;
        const std::size_t bytes = static_cast<std::size_t>(std::min(kTile, width - tx * kTile)) * 4;
        for (int y = ty * kTile; y < yEnd; ++y) {
          if (std::memcmp(previous.row(y) + offset, current.row(y) + offset, bytes) != 0) {
            changed[t] = 1;
            break;
          }
        }
      }
    }
  }

  struct Run {
    int c0, c1;
    std::size_t index;  // of its rectangle in the result
  };
  std::vector<Rect> result;
  std::vector<Run> above;
  for (int ty = 0; ty < rows; ++ty) {
    std::vector<Run> here;
    for (int c = 0; c < cols;) {
      if (!changed[static_cast<std::size_t>(ty) * cols + c]) {
        ++c;
        continue;
      }
      int end = c;
      while (end < cols && changed[static_cast<std::size_t>(ty) * cols + end]) ++end;
      const Rect rect{double(c * kTile), double(ty * kTile),
                      double(std::min((end - c) * kTile, width - c * kTile)),
                      double(std::min(kTile, height - ty * kTile))};
      auto same = std::find_if(above.begin(), above.end(),
                               [&](const Run& run) { return run.c0 == c && run.c1 == end; });
      if (same != above.end()) {
        result[same->index] = result[same->index].united(rect);
        here.push_back({c, end, same->index});
      } else {
        result.push_back(rect);
        here.push_back({c, end, result.size() - 1});
      }
      c = end;
    }
    above = std::move(here);
  }
  return result;
}

}  // namespace nimbrel
