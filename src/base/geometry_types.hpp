#pragma once

#include <algorithm>

namespace nimbrel {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// An axis-aligned rectangle, origin top-left, y downwards.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double area() const { return width * height; }
  bool isEmpty() const { return !(width > 0) || !(height > 0); }

  // Half-open: the min edges belong to the rectangle, the max edges do not.
  bool contains(Point p) const { return p.x >= x && p.x < maxX() && p.y >= y && p.y < maxY(); }

  // The overlap, or an empty rectangle when there is none.
  Rect intersection(const Rect& o) const {
    const double x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    const double x1 = std::min(maxX(), o.maxX()), y1 = std::min(maxY(), o.maxY());
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
  }

  bool intersects(const Rect& o) const { return !intersection(o).isEmpty(); }

  Rect united(const Rect& o) const {
    const double x0 = std::min(x, o.x), y0 = std::min(y, o.y);
    return {x0, y0, std::max(maxX(), o.maxX()) - x0, std::max(maxY(), o.maxY()) - y0};
  }

  Rect insetBy(double dx, double dy) const {
    return {x + dx, y + dy, width - 2 * dx, height - 2 * dy};
  }
};

}  // namespace nimbrel
