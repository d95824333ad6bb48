#include <boost/json.hpp>

#include <algorithm>
#include <cstdint>

#include "capture/screen_source.hpp"

namespace nimbrel {

boost::json::object Monitor::info() const {
  auto truncated = [](double v) { return static_cast<std::int64_t>(v); };
  return {{"i", index},
          {"w", truncated(bounds.width)},
          {"h", truncated(bounds.height)},
          {"x", truncated(bounds.x)},
          {"y", truncated(bounds.y)},
          {"primary", primary}};
}

void orderMonitors(std::vector<Monitor>& monitors) {
  std::stable_sort(monitors.begin(), monitors.end(), [](const Monitor& a, const Monitor& b) {
    if (a.primary != b.primary) return a.primary;
    return a.bounds.x < b.bounds.x;
  });
  if (!monitors.empty() && !monitors.front().primary) monitors.front().primary = true;
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    monitors[i].index = static_cast<int>(i);
    if (i > 0) monitors[i].primary = false;
  }
}

}  // namespace nimbrel
