#include "stream/frame_encoder.hpp"

#include <libheif/heif.h>
#include <pixman.h>
#include <turbojpeg.h>
extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream/flat_image.hpp"
#include "stream/image_format.hpp"
#include "stream/pixel_view.hpp"

namespace nimbrel {
namespace {

struct TurboJpegDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct PixmanDeleter {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using PixmanImage = std::unique_ptr<pixman_image_t, PixmanDeleter>;
struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct HeifContextDeleter {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HeifEncoderDeleter {
  void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct HeifImageDeleter {
  void operator()(heif_image* image) const { heif_image_release(image); }
};

// Why an encode fails, thrown inside the encoder and returned as its result at the edge.
class EncodeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws the library's message of a failed libheif call.
void check(const heif_error& error) {
  if (error.code != heif_error_Ok) throw EncodeFailure(std::string("HEIC: ") + error.message);
}

std::string dimensions(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

using View = PixelView;

// Integral pixel rectangle.
struct IRect {
  int x, y, w, h;
};

IRect integral(const Rect& r) {
  const double x0 = std::floor(r.minX()), y0 = std::floor(r.minY());
  return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(std::ceil(r.maxX()) - x0),
          static_cast<int>(std::ceil(r.maxY()) - y0)};
}

// The source pixels that the output rectangle `out` is scaled from.
View sourceOf(const View& box, double sx, double sy, const IRect& out) {
  const int x0 = std::clamp(static_cast<int>(std::floor(out.x / sx)), 0, box.width - 1);
  const int y0 = std::clamp(static_cast<int>(std::floor(out.y / sy)), 0, box.height - 1);
  const int x1 = std::clamp(static_cast<int>(std::ceil((out.x + out.w) / sx)), x0 + 1, box.width);
  const int y1 = std::clamp(static_cast<int>(std::ceil((out.y + out.h) / sy)), y0 + 1, box.height);
  return {box.row(y0) + static_cast<std::size_t>(x0) * 4, x1 - x0, y1 - y0, box.pitch};
}

}  // namespace

Window lanczosWindow(int boxLength, int outLength, int crop0, int crop1) {
  const int g = std::gcd(boxLength, outLength);
  const int outStep = outLength / g;     // output pixels per whole step of source pixels
  const int sourceStep = boxLength / g;
  const int margin = 4;  // Lanczos-3 reaches 3 output pixels when scaling down
  Window w;
  w.out0 = std::max(0, (crop0 - margin) / outStep * outStep);
  w.out1 = std::min(outLength, (crop1 + margin + outStep - 1) / outStep * outStep);
  w.source0 = w.out0 / outStep * sourceStep;
  w.source1 = w.out1 == outLength ? boxLength : w.out1 / outStep * sourceStep;
  return w;
}

struct FrameEncoder::Impl {
  Impl() : jpeg(tjInitCompress()) {
    if (!jpeg) jpegInitError = tjGetErrorStr2(nullptr);
  }

  std::unique_ptr<void, TurboJpegDeleter> jpeg;
  std::string jpegInitError;  // why there is no `jpeg`
  // One Lanczos scaling and the planes it renders; a sharp pass in bands has one per band.
  struct LanczosPass {
    std::unique_ptr<SwsContext, SwsDeleter> context;
    std::vector<std::uint8_t> planes;  // scaled green, blue and red planes, reused
    int width = 0;                     // of each plane
    int height = 0;
  };
  std::vector<LanczosPass> lanczos;
  std::vector<std::uint8_t> scratch;  // rendered pixels, reused between encodes

  // These throw EncodeFailure.
  EncodeResult encode(const PixelBuffer& frame, const Rect& boxRect, Size size, int quality,
                      bool sharp, const std::optional<Rect>& crop, ImageFormat format,
                      bool flatAsPng);
  EncodeResult compress(const View& view, int quality, bool sharp, ImageFormat format,
                        bool flatAsPng);
  Bytes compressJpeg(const View& view, int quality, bool sharp);
  Bytes compressHeic(const View& view, int quality, bool sharp);
  void renderBilinear(const View& box, double sx, double sy, const IRect& out);
  // Scales the source window around `out` (see lanczosWindow) with `pass` and writes the
  // pixels of `out` to `target` (rows `pitch` bytes apart).
  void renderLanczosWindow(LanczosPass& pass, const View& box, int outWidth, int outHeight,
                           const IRect& out, std::uint8_t* target, std::size_t pitch);
  void renderLanczos(LanczosPass& pass, const View& box, int outWidth, int outHeight);
  // The crop of a sharp pass into `scratch`, in row bands rendered side by side when large.
  View renderLanczosCrop(const View& box, int outWidth, int outHeight, const IRect& out);
};

namespace {

// Bands pay for their threads only on large passes (a whole layer, not a patch).
constexpr int kLeastBandRows = 64;
constexpr int kLeastBandedPixels = 512 * 512;

}  // namespace

FrameEncoder::FrameEncoder(int sharpBands) : impl_(std::make_unique<Impl>()) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int bands = std::clamp(sharpBands > 0 ? sharpBands : cores, 1, 4);
  impl_->lanczos.resize(static_cast<std::size_t>(bands));
}
FrameEncoder::~FrameEncoder() = default;

EncodeResult FrameEncoder::encodeFrame(const PixelBuffer& frame, const Rect& box, Size size,
                                       int quality, bool sharp, const std::optional<Rect>& crop,
                                       ImageFormat format, bool flatAsPng) {
  try {
    return impl_->encode(frame, box, size, quality, sharp, crop, format, flatAsPng);
  } catch (const EncodeFailure& failure) {
    return EncodeResult::failure(failure.what());
  }
}

EncodeResult FrameEncoder::Impl::encode(const PixelBuffer& frame, const Rect& boxRect, Size size,
                                        int quality, bool sharp, const std::optional<Rect>& crop,
                                        ImageFormat format, bool flatAsPng) {
  // The box, kept inside the frame.
  IRect box = integral(boxRect.intersection({0, 0, double(frame.width()), double(frame.height())}));
  if (box.w <= 0 || box.h <= 0) {
    throw EncodeFailure("nothing to encode: the box is outside the frame");
  }
  const int outWidth = static_cast<int>(std::lround(size.width));
  const int outHeight = static_cast<int>(std::lround(size.height));
  if (outWidth <= 0 || outHeight <= 0) {
    throw EncodeFailure("nothing to encode: the image size is empty");
  }
  IRect out = crop ? integral(crop->intersection({0, 0, double(outWidth), double(outHeight)}))
                   : IRect{0, 0, outWidth, outHeight};
  if (out.w <= 0 || out.h <= 0) {
    throw EncodeFailure("nothing to encode: the crop is outside the image");
  }

  const View boxView{frame.row(box.y) + static_cast<std::size_t>(box.x) * 4, box.w, box.h,
                     frame.bytesPerRow()};
  const double sx = size.width / box.w;
  const double sy = size.height / box.h;
  const bool scaled = std::abs(sx - 1) > 0.001 || std::abs(sy - 1) > 0.001;

  if (!scaled && out.x + out.w <= box.w && out.y + out.h <= box.h) {
    // Straight from the frame: no scaling, no copy.
    const View view{boxView.data + static_cast<std::size_t>(out.y) * boxView.pitch +
                        static_cast<std::size_t>(out.x) * 4,
                    out.w, out.h, boxView.pitch};
    return compress(view, quality, sharp, format, flatAsPng);
  }
  // A picture that may go out exact is scaled as a sharp pass is, so that it is final; but
  // only when its source has few colours: scaling adds colours, it never takes them away
  // enough to matter, and the sharp scaler costs more.
  if (flatAsPng && scaled && !sharp && !hasFewColours(sourceOf(boxView, sx, sy, out))) {
    flatAsPng = false;
  }
  if ((sharp || flatAsPng) && scaled) {
    const View view = renderLanczosCrop(boxView, outWidth, outHeight, out);
    return compress(view, quality, sharp, format, flatAsPng);
  }
  renderBilinear(boxView, scaled ? sx : 1.0, scaled ? sy : 1.0, out);
  return compress({scratch.data(), out.w, out.h, static_cast<std::size_t>(out.w) * 4}, quality,
                  sharp, format, flatAsPng);
}

void FrameEncoder::Impl::renderBilinear(const View& box, double sx, double sy, const IRect& out) {
  scratch.resize(static_cast<std::size_t>(out.w) * out.h * 4);
  // The source is the box alone, so that edge padding repeats the box's own edge pixels.
  PixmanImage source(pixman_image_create_bits(
      PIXMAN_x8r8g8b8, box.width, box.height,
      reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(box.data)),
      static_cast<int>(box.pitch)));
  PixmanImage target(pixman_image_create_bits(PIXMAN_x8r8g8b8, out.w, out.h,
                                              reinterpret_cast<std::uint32_t*>(scratch.data()),
                                              out.w * 4));
  if (!source) {
    throw EncodeFailure("scaling: pixman could not take the " + dimensions(box.width, box.height) +
                        " source pixels");
  }
  if (!target) {
    throw EncodeFailure("scaling: pixman could not make a " + dimensions(out.w, out.h) + " image");
  }
  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(1.0 / sx),
                              pixman_double_to_fixed(1.0 / sy));
  pixman_image_set_transform(source.get(), &transform);
  pixman_image_set_filter(source.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
  pixman_image_set_repeat(source.get(), PIXMAN_REPEAT_PAD);
  // Output pixel (i, j) of the crop is pixel (out.x + i, out.y + j) of the scaled box.
  pixman_image_composite32(PIXMAN_OP_SRC, source.get(), nullptr, target.get(), out.x, out.y, 0, 0,
                           0, 0, out.w, out.h);
}

// Only a window around the crop is scaled: the source part that maps exactly onto it, with a
// margin wider than the filter so the crop's pixels equal those of a whole-layer pass.
void FrameEncoder::Impl::renderLanczosWindow(LanczosPass& pass, const View& box, int outWidth,
                                             int outHeight, const IRect& out,
                                             std::uint8_t* target, std::size_t pitch) {
  const Window wx = lanczosWindow(box.width, outWidth, out.x, out.x + out.w);
  const Window wy = lanczosWindow(box.height, outHeight, out.y, out.y + out.h);
  const View source{box.data + static_cast<std::size_t>(wy.source0) * box.pitch +
                        static_cast<std::size_t>(wx.source0) * 4,
                    wx.source1 - wx.source0, wy.source1 - wy.source0, box.pitch};
  renderLanczos(pass, source, wx.out1 - wx.out0, wy.out1 - wy.out0);
  // Interleaved into BGRX, only the crop's part of the window.
  const std::size_t planeSize = static_cast<std::size_t>(pass.width) * pass.height;
  const std::uint8_t* green = pass.planes.data();
  const std::uint8_t* blue = green + planeSize;
  const std::uint8_t* red = blue + planeSize;
  for (int y = 0; y < out.h; ++y) {
    const std::size_t from = static_cast<std::size_t>(out.y - wy.out0 + y) * pass.width +
                             static_cast<std::size_t>(out.x - wx.out0);
    auto* row = reinterpret_cast<std::uint32_t*>(target + static_cast<std::size_t>(y) * pitch);
    for (int x = 0; x < out.w; ++x) {
      row[x] = std::uint32_t{blue[from + x]} | std::uint32_t{green[from + x]} << 8 |
               std::uint32_t{red[from + x]} << 16 | 0xff000000u;
    }
  }
}

// Large crops are split into row bands, each a crop of its own (so its pixels are those of one
// pass over the whole crop), rendered at once: one on this thread and the others beside it.
View FrameEncoder::Impl::renderLanczosCrop(const View& box, int outWidth, int outHeight,
                                          const IRect& out) {
  const std::size_t pitch = static_cast<std::size_t>(out.w) * 4;
  scratch.resize(pitch * static_cast<std::size_t>(out.h));
  const int most = static_cast<int>(lanczos.size());
  const int bands =
      most > 1 && out.h >= kLeastBandRows * most && out.w * out.h >= kLeastBandedPixels ? most : 1;
  std::vector<std::string> failures(static_cast<std::size_t>(bands));
  auto renderBand = [&](int band) {
    const int y0 = out.y + out.h * band / bands;
    const int y1 = out.y + out.h * (band + 1) / bands;
    try {
      renderLanczosWindow(lanczos[static_cast<std::size_t>(band)], box, outWidth, outHeight,
                          {out.x, y0, out.w, y1 - y0},
                          scratch.data() + static_cast<std::size_t>(y0 - out.y) * pitch, pitch);
    } catch (const EncodeFailure& failure) {
      failures[static_cast<std::size_t>(band)] = failure.what();
    }
  };
  std::vector<std::thread> beside;
  for (int band = 1; band < bands; ++band) beside.emplace_back(renderBand, band);
  renderBand(0);
  for (std::thread& thread : beside) thread.join();
  for (const std::string& failure : failures) {
    if (!failure.empty()) throw EncodeFailure(failure);
  }
  return {scratch.data(), out.w, out.h, pitch};
}

// Full chroma in and out: swscale works in YUV internally, and subsampled chroma would put
// colour fringes on exactly the text a sharp pass is for. Planar RGB out (interleaved by the
// caller): swscale's packed RGB output with full chroma has no fast path and takes three times
// as long.
void FrameEncoder::Impl::renderLanczos(LanczosPass& pass, const View& box, int outWidth,
                                       int outHeight) {
  auto& context = pass.context;
  context.reset(sws_getCachedContext(context.release(), box.width, box.height, AV_PIX_FMT_BGR0,
                                     outWidth, outHeight, AV_PIX_FMT_GBRP,
                                     SWS_LANCZOS | SWS_FULL_CHR_H_INP | SWS_ACCURATE_RND,
                                     nullptr, nullptr, nullptr));
  if (!context) {
    throw EncodeFailure("scaling: swscale cannot scale " + dimensions(box.width, box.height) +
                        " to " + dimensions(outWidth, outHeight) + " with Lanczos");
  }
  const std::size_t planeSize = static_cast<std::size_t>(outWidth) * outHeight;
  pass.planes.resize(planeSize * 3);
  const std::uint8_t* sourcePlanes[4] = {box.data, nullptr, nullptr, nullptr};
  const int sourceStrides[4] = {static_cast<int>(box.pitch), 0, 0, 0};
  std::uint8_t* green = pass.planes.data();
  std::uint8_t* blue = green + planeSize;
  std::uint8_t* red = blue + planeSize;
  std::uint8_t* targetPlanes[4] = {green, blue, red, nullptr};
  const int targetStrides[4] = {outWidth, outWidth, outWidth, 0};
  const int rows = sws_scale(context.get(), sourcePlanes, sourceStrides, 0, box.height,
                             targetPlanes, targetStrides);
  if (rows != outHeight) {
    throw EncodeFailure("scaling: swscale gave " + std::to_string(rows) + " rows of " +
                        std::to_string(outHeight));
  }
  pass.width = outWidth;
  pass.height = outHeight;
}

EncodeResult FrameEncoder::Impl::compress(const View& view, int quality, bool sharp,
                                          ImageFormat format, bool flatAsPng) {
  if (flatAsPng) {
    if (auto paletted = palettize(view)) {
      try {
        return EncodeResult::lossless(encodePalettedPng(*paletted));
      } catch (const std::runtime_error& error) {
        throw EncodeFailure(error.what());
      }
    }
  }
  return format == ImageFormat::heic ? compressHeic(view, quality, sharp)
                                     : compressJpeg(view, quality, sharp);
}

Bytes FrameEncoder::Impl::compressJpeg(const View& view, int quality, bool sharp) {
  if (!jpeg) throw EncodeFailure("JPEG: " + jpegInitError);
  unsigned char* output = nullptr;
  unsigned long length = 0;
  const int result = tjCompress2(jpeg.get(), view.data, view.width, static_cast<int>(view.pitch),
                                 view.height, TJPF_BGRX, &output, &length,
                                 sharp ? TJSAMP_444 : TJSAMP_420, jpegQuality(quality), 0);
  std::unique_ptr<unsigned char, decltype(&tjFree)> owned(output, tjFree);
  if (result != 0) throw EncodeFailure(std::string("JPEG: ") + tjGetErrorStr2(jpeg.get()));
  if (!output) throw EncodeFailure("JPEG: turbojpeg returned no image");
  return Bytes(output, output + length);
}

Bytes FrameEncoder::Impl::compressHeic(const View& view, int quality, bool sharp) {
  std::unique_ptr<heif_context, HeifContextDeleter> context(heif_context_alloc());
  if (!context) throw EncodeFailure("HEIC: libheif could not make a context");
  heif_encoder* rawEncoder = nullptr;
  check(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder));
  std::unique_ptr<heif_encoder, HeifEncoderDeleter> encoder(rawEncoder);
  const double q = std::clamp(heicQuality(quality, sharp), 0.05, 1.0);
  check(heif_encoder_set_lossy_quality(encoder.get(), libheifQuality(q)));
  // Latency over size: a frame waits for its encode. Only tuning: an encoder without these
  // parameters still encodes.
  heif_encoder_set_parameter_string(encoder.get(), "preset", "ultrafast");
  heif_encoder_set_parameter_string(encoder.get(), "tune", "ssim");

  heif_image* rawImage = nullptr;
  check(heif_image_create(view.width, view.height, heif_colorspace_RGB,
                          heif_chroma_interleaved_RGB, &rawImage));
  std::unique_ptr<heif_image, HeifImageDeleter> image(rawImage);
  check(heif_image_add_plane(image.get(), heif_channel_interleaved, view.width, view.height, 8));
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
  if (!plane) throw EncodeFailure("HEIC: libheif gave the image no pixel plane");
  for (int y = 0; y < view.height; ++y) {
    const std::uint8_t* from = view.data + static_cast<std::size_t>(y) * view.pitch;
    std::uint8_t* to = plane + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < view.width; ++x) {
      to[x * 3 + 0] = from[x * 4 + 2];
      to[x * 3 + 1] = from[x * 4 + 1];
      to[x * 3 + 2] = from[x * 4 + 0];
    }
  }
  check(heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, nullptr));
  Bytes bytes;
  heif_writer writer{};
  writer.writer_api_version = 1;
  writer.write = [](heif_context*, const void* data, size_t size, void* target) {
    auto* out = static_cast<Bytes*>(target);
    const auto* begin = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), begin, begin + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
  };
  check(heif_context_write(context.get(), &writer, &bytes));
  return bytes;
}

}  // namespace nimbrel
