#include "stream/adaptation.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrel {

double roundTo(double value, int places) {
  const double factor = std::pow(10.0, places);
  return std::round(value * factor) / factor;
}

void Adaptation::adapt(double rtt, double now, const StreamProfile& profile) {
  rtts.push_back(rtt);
  while (rtts.size() > 40) rtts.pop_front();
  const double base = *std::min_element(rtts.begin(), rtts.end());
  if (base + 0.25 < rtt) {
    if (now - lastAdjust > 0.25) {
      quality = std::max(profile.qmin, quality - 7);
      scale = std::max(scale - 0.1, 0.45);
      lastAdjust = now;
    }
  } else if (rtt < base + 0.12) {
    if (now - lastAdjust > 0.6) {
      quality = std::min(quality + 2, profile.qmax);
      scale = std::min(scale + 0.05, profile.maxScale);
      lastAdjust = now;
    }
  }
}

void Adaptation::penalizeExpiry(const StreamProfile& profile) {
  quality = std::max(profile.qmin, quality - 10);
  scale = std::max(scale - 0.15, 0.45);
}

void Adaptation::clampTo(const StreamProfile& profile) {
  quality = std::clamp(quality, profile.qmin, profile.qmax);
  scale = std::min(scale, profile.maxScale);
}

boost::json::object statsMessage(int frames, long long bytes, int quality, double scale,
                                 double rttMs, double seconds) {
  return {{"t", "stats"},
          {"fps", roundTo(frames / seconds, 1)},
          {"kbps", static_cast<long long>(std::round(bytes * 8 / 1000.0 / seconds))},
          {"q", quality},
          {"sc", roundTo(scale, 2)},
          {"rtt", static_cast<long long>(std::round(rttMs))}};
}

}  // namespace nimbrel
