#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/bytes.hpp"
#include "base/geometry_types.hpp"
#include "capture/pixel_buffer.hpp"
#include "stream/image_format.hpp"

namespace nimbrel {

// An encode's outcome: the compressed image, or why there is none (the image library's own
// message, or what made the request impossible).
class EncodeResult {
 public:
  EncodeResult() = default;  // neither: a placeholder where a value must exist (co_spawn's)
  EncodeResult(Bytes bytes) : bytes_(std::move(bytes)) {}  // implicit: an image is a success
  static EncodeResult failure(std::string why) {
    EncodeResult result;
    result.error_ = std::move(why);
    return result;
  }
  // A paletted PNG, made instead of the lossy format for a picture of few colours.
  static EncodeResult lossless(Bytes png) {
    EncodeResult result(std::move(png));
    result.lossless_ = true;
    return result;
  }

  explicit operator bool() const { return bytes_.has_value(); }
  Bytes& operator*() { return *bytes_; }
  const Bytes& operator*() const { return *bytes_; }
  Bytes* operator->() { return &*bytes_; }
  const Bytes* operator->() const { return &*bytes_; }
  // Why there is no image; empty when there is one.
  const std::string& error() const { return error_; }
  // The image is a PNG.
  bool isLossless() const { return lossless_; }

 private:
  std::optional<Bytes> bytes_;
  std::string error_;
  bool lossless_ = false;
};

// Turns a box of a captured frame, scaled to a layer's pixel size, into a JPEG or HEIC image
// (or a PNG when asked to and the picture has few colours):
// the whole scaled box, or only a crop of it for a patch. Only the requested output rectangle
// is rendered, and the frame is never copied: an unscaled JPEG is compressed straight from the
// frame's memory.
//
// Normal encodes scale with pixman's bilinear filter; sharp passes with Lanczos (libswscale).
// Edges are clamped to the box: pixels outside it never bleed in. JPEG uses 4:2:0 chroma for
// normal frames and 4:4:4 for sharp passes, which keeps text crisp.
//
// Not thread-safe: one encoder per streamer, used from its encode strand.
class FrameEncoder {
 public:
  // A large sharp pass is scaled in `sharpBands` row bands side by side (0: one per core, at
  // most 4); the pixels are the same whatever the number.
  explicit FrameEncoder(int sharpBands = 0);
  ~FrameEncoder();
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  // `box` in frame pixels; `size` the layer image's size; `crop` a rectangle of that image
  // (nothing: all of it). With `flatAsPng`, the picture is scaled as for a sharp pass and, when
  // it has 256 colours or fewer, becomes a lossless paletted PNG (text, window chrome: smaller,
  // and as good as a sharp pass makes it); otherwise it is compressed as asked.
  EncodeResult encodeFrame(const PixelBuffer& frame, const Rect& box, Size size, int quality,
                           bool sharp, const std::optional<Rect>& crop, ImageFormat format,
                           bool flatAsPng = false);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The part of one axis that a sharp pass scales for a crop [crop0, crop1) of an output of
// `outLength` pixels made from `boxLength` source pixels: output [out0, out1) from source
// [source0, source1), the two at exactly the layer's ratio, reaching past the crop by more than
// the filter's width (or to the layer's edge).
struct Window {
  int out0, out1;
  int source0, source1;
};
Window lanczosWindow(int boxLength, int outLength, int crop0, int crop1);

}  // namespace nimbrel
