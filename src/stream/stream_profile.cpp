#include "stream/stream_profile.hpp"

namespace nimbrel {

const StreamProfile& streamProfileNamed(std::string_view name) {
  static constexpr StreamProfile kLow{15, 2, 25, 55, 75, 0.7, 1'000'000};
  static constexpr StreamProfile kAuto{30, 5, 35, 80, 90, 1.0, 2'600'000};
  static constexpr StreamProfile kHigh{45, 45, 55, 90, 94, 1.0, 4'200'000};
  if (name == "low") return kLow;
  if (name == "high") return kHigh;
  return kAuto;
}

}  // namespace nimbrel
