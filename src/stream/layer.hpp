#pragma once

#include <string>
#include <vector>

#include "base/geometry_types.hpp"
#include "stream/geometry.hpp"

namespace nimbrel {

// One image the client holds: the whole display ("full") or the zoomed region ("roi").
struct Layer {
  std::string kind;        // "full" or "roi"
  NRect rect;              // the area of the display it covers
  Rect box;                // rect in frame pixels
  Size size;               // pixel size of the client's image
  Size plannedSize;        // what the scale rule asked for when based
  long long baseID = 0;    // id of the base image patches apply to
  int monitor = 0;         // Monitor.index it shows
  Size captureSize;        // frame size when based
  bool background = false; // a low-resolution backdrop behind the roi layer
  double pxPerUnit = 0;    // client pixels per unit of width when based
  std::vector<Rect> pending;  // changed areas not yet sent
  std::vector<Rect> unsharp;  // areas sent at normal quality, waiting for a sharp pass
  double lastUpdate = 0;
};

}  // namespace nimbrel
