#pragma once

#include <optional>
#include <string_view>

namespace nimbrel {

enum class ImageFormat { jpeg, heic };

const char* rawValue(ImageFormat format);

// HEIC compression quality (0 to 1) for the streamer's quality: 0.92 for sharp passes,
// otherwise interpolated through fixed knots from 0.10 (25 and below) to 0.95 (95 and above).
double heicQuality(int quality, bool sharp);

// The JPEG compression quality for the streamer's quality: quality / 100 kept in 0.05 to 1.0,
// as the 1-to-100 scale of libjpeg.
int jpegQuality(int quality);

}  // namespace nimbrel
