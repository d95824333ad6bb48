#include <boost/json.hpp>

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

}  // namespace nimbrel
