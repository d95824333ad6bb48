#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "base/geometry_types.hpp"
#include "capture/pixel_buffer.hpp"

namespace nimbrel {

// What a client holds of one layer: the last base image with every patch since pasted in.
class Canvas {
 public:
  // Replaces the canvas with a decoded base image; false when the image does not decode.
  bool applyBase(const Bytes& image, Rect normalizedBox);

  // Pastes one region image at (x, y); false when it does not decode or does not lie wholly
  // on the canvas (a hostile host may send any numbers: nothing is written then).
  bool applyRegion(const Bytes& image, std::int64_t x, std::int64_t y);

  bool empty() const { return !pixels_; }
  const PixelBuffer& pixels() const { return *pixels_; }
  const Rect& normalizedBox() const { return box_; }

 private:
  std::optional<PixelBuffer> pixels_;
  Rect box_;
};

// One image of a patch: where it goes and how many bytes of the frame's payload it takes.
struct RegionPlacement {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t bytes = 0;
};

// Pastes a patch's images, cut from `payload` in order; stops at the first whose bytes do not
// lie within the payload. How many were pasted.
int applyPatch(Canvas& canvas, const std::vector<RegionPlacement>& regions, const Bytes& payload);

// Decodes a JPEG or HEIC image into BGRA pixels.
std::optional<PixelBuffer> decodeImage(const Bytes& image);

// The full canvas with the roi canvas (if any) drawn over the part of the screen it shows.
PixelBuffer composite(const Canvas& full, const Canvas* roi);

// Writes BGRA pixels as an RGB PNG; the error text on failure.
std::optional<std::string> writePng(const PixelBuffer& pixels, const std::string& path);

}  // namespace nimbrel
