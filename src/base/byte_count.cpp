#include "base/byte_count.hpp"

#include <cmath>
#include <cstdio>

namespace nimbrel {

std::string fileStyleByteCount(long long bytes) {
  if (bytes == 0) return "Zero KB";
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  char text[32];
  const double value = static_cast<double>(bytes);
  if (bytes < 1'000'000) {
    std::snprintf(text, sizeof text, "%.0f KB", value / 1e3);
  } else if (bytes < 1'000'000'000) {
    std::snprintf(text, sizeof text, "%.1f MB", value / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", value / 1e9);
  }
  return text;
}

}  // namespace nimbrel
