#include "stream/image_format.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

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

int libheifQuality(double heic) {
  // (factor, libheif quality): the factor of streamer quality 25, 35, 45, 55, 72, 80, the sharp
  // pass (0.92, as JPEG's sharp quality 90), 95, and the top of the scale. Each knot is the
  // higher of two measured pictures (text on the synthetic desktop, and text over its gradient
  // and square), so that HEIC is at least as similar as JPEG on both.
  static constexpr struct {
    double heic;
    double libheif;
  } kKnots[] = {{0.10, 8}, {0.15, 12}, {0.25, 16}, {0.38, 19}, {0.80, 30},
                {0.90, 36}, {0.92, 46}, {0.95, 55}, {1.00, 65}};
  if (!(heic > kKnots[0].heic)) return static_cast<int>(kKnots[0].libheif);
  for (std::size_t i = 1; i < std::size(kKnots); ++i) {
    if (kKnots[i].heic >= heic) {
      const auto& a = kKnots[i - 1];
      const auto& b = kKnots[i];
      const double t = (heic - a.heic) / (b.heic - a.heic);
      return static_cast<int>(std::lround(a.libheif + t * (b.libheif - a.libheif)));
    }
  }
  return static_cast<int>(kKnots[std::size(kKnots) - 1].libheif);
}

int jpegQuality(int quality) {
  const double q = std::clamp(quality / 100.0, 0.05, 1.0);
  return static_cast<int>(std::lround(q * 100));
}

}  // namespace nimbrel
