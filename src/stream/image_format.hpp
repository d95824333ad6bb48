#pragma once

#include <optional>
#include <string_view>

namespace nimbrel {

enum class ImageFormat { jpeg, heic };

const char* rawValue(ImageFormat format);

// HEIC compression quality (0 to 1) for the streamer's quality: 0.92 for sharp passes,
// otherwise interpolated through fixed knots from 0.10 (25 and below) to 0.95 (95 and above).
double heicQuality(int quality, bool sharp);

// libheif's quality (1 to 100) for a HEIC compression quality (0 to 1). libheif's scale is far
// from the one the factor was tuned on: the factor times 100 gave about four times the JPEG's
// bytes at the same streamer quality. Calibrated so that the HEIC image matches the JPEG of the
// same streamer quality in structural similarity (benchmarks codec_quality and encode_quality),
// which then costs a third of its bytes or less; interpolated between measured knots.
int libheifQuality(double heic);

// The JPEG compression quality for the streamer's quality: quality / 100 kept in 0.05 to 1.0,
// as the 1-to-100 scale of libjpeg.
int jpegQuality(int quality);

}  // namespace nimbrel
