#include "stream/image_format.hpp"

#include <algorithm>
#include <cmath>

namespace nimbrel {

const char* rawValue(ImageFormat format) {
  return format == ImageFormat::heic ? "heic" : "jpeg";
}

double heicQuality(int quality, bool sharp) {
  if (sharp) return 0.92;
  if (quality < 26) return 0.10;
  static constexpr struct {
    int quality;
    double heic;
  } kKnots[] = {{25, 0.10}, {35, 0.15}, {45, 0.25}, {55, 0.38}, {72, 0.80}, {80, 0.90}, {95, 0.95}};
  for (std::size_t i = 1; i < std::size(kKnots); ++i) {
    if (kKnots[i].quality >= quality) {
      const auto& a = kKnots[i - 1];
      const auto& b = kKnots[i];
      const double t = double(quality - a.quality) / double(b.quality - a.quality);
      return a.heic + t * (b.heic - a.heic);
    }
  }
  return 0.95;
}

int jpegQuality(int quality) {
  const double q = std::clamp(quality / 100.0, 0.05, 1.0);
  return static_cast<int>(std::lround(q * 100));
}

}  // namespace nimbrel
