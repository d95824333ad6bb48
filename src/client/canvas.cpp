#include "client/canvas.hpp"

#include <libheif/heif.h>
#include <png.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace nimbrel {
namespace {

std::optional<PixelBuffer> decodeJpeg(const Bytes& jpeg) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (!handle || tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &width, &height,
                                     &subsampling, &colorspace) != 0) {
    return std::nullopt;
  }
  PixelBuffer pixels(width, height);
  if (tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), pixels.data(), width,
                    static_cast<int>(pixels.bytesPerRow()), height, TJPF_BGRA, 0) != 0) {
    return std::nullopt;
  }
  return pixels;
}

std::optional<PixelBuffer> decodeHeic(const Bytes& heic) {
  std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
  if (heif_context_read_from_memory_without_copy(context.get(), heic.data(), heic.size(), nullptr).code != heif_error_Ok) {
    return std::nullopt;
  }
  heif_image_handle* handle = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok) return std::nullopt;
  std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> owned(handle, heif_image_handle_release);
  heif_image* image = nullptr;
  if (heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code != heif_error_Ok) {
    return std::nullopt;
  }
  std::unique_ptr<heif_image, void (*)(const heif_image*)> decoded(image, heif_image_release);
  const int width = heif_image_handle_get_width(handle);
  const int height = heif_image_handle_get_height(handle);
  int stride = 0;
  const std::uint8_t* rgb = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  if (!rgb) return std::nullopt;
  PixelBuffer pixels(width, height);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* from = rgb + static_cast<std::size_t>(y) * stride;
    std::uint8_t* to = pixels.row(y);
    for (int x = 0; x < width; ++x) {
      to[x * 4] = from[x * 3 + 2];
      to[x * 4 + 1] = from[x * 3 + 1];
      to[x * 4 + 2] = from[x * 3];
      to[x * 4 + 3] = 255;
    }
  }
  return pixels;
}

std::optional<PixelBuffer> decodePng(const Bytes& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
  image.format = PNG_FORMAT_BGRA;
  if (image.width == 0 || image.height == 0 || image.width > 1u << 14 || image.height > 1u << 14) {
    png_image_free(&image);
    return std::nullopt;
  }
  PixelBuffer pixels(static_cast<int>(image.width), static_cast<int>(image.height));
  if (!png_image_finish_read(&image, nullptr, pixels.data(),
                             static_cast<png_int_32>(pixels.bytesPerRow()), nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return pixels;
}

}  // namespace

std::optional<PixelBuffer> decodeImage(const Bytes& image) {
  if (image.size() >= 2 && image[0] == 0xff && image[1] == 0xd8) return decodeJpeg(image);
  static constexpr std::uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (image.size() >= 8 && std::memcmp(image.data(), pngSignature, 8) == 0) return decodePng(image);
  return decodeHeic(image);
}

bool Canvas::applyBase(const Bytes& image, Rect normalizedBox) {
  auto decoded = decodeImage(image);
  if (!decoded) return false;
  pixels_.emplace(std::move(*decoded));
  box_ = normalizedBox;
  return true;
}

bool Canvas::applyRegion(const Bytes& image, std::int64_t x, std::int64_t y) {
  if (!pixels_ || x < 0 || y < 0 || x >= pixels_->width() || y >= pixels_->height()) return false;
  auto region = decodeImage(image);
  // Both terms are at most 2^31 here: the sums cannot wrap.
  if (!region || x + region->width() > pixels_->width() ||
      y + region->height() > pixels_->height()) {
    return false;
  }
  for (int row = 0; row < region->height(); ++row) {
    std::memcpy(pixels_->row(y + row) + static_cast<std::size_t>(x) * 4, region->row(row),
                static_cast<std::size_t>(region->width()) * 4);
  }
  return true;
}

int applyPatch(Canvas& canvas, const std::vector<RegionPlacement>& regions, const Bytes& payload) {
  std::size_t offset = 0;
  int applied = 0;
  for (const RegionPlacement& region : regions) {
    // Compared with what is left, so that no size, however large, wraps the sum.
    if (region.bytes < 0 || static_cast<std::uint64_t>(region.bytes) > payload.size() - offset) {
      break;
    }
    const auto size = static_cast<std::size_t>(region.bytes);
    const Bytes image(payload.begin() + static_cast<std::ptrdiff_t>(offset),
                      payload.begin() + static_cast<std::ptrdiff_t>(offset + size));
    if (canvas.applyRegion(image, region.x, region.y)) ++applied;
    offset += size;
  }
  return applied;
}

PixelBuffer composite(const Canvas& full, const Canvas* roi) {
  const PixelBuffer& base = full.pixels();
  PixelBuffer out = base.copy();
  if (!roi || roi->empty()) return out;
  // Where the roi layer sits on the full canvas, filled by nearest-neighbour sampling; a box
  // the host placed partly or wholly off the screen (or at no number at all) is clipped to it.
  const Rect box = roi->normalizedBox();
  auto at = [](double fraction, int size) {
    if (!(fraction > 0)) return 0;  // NaN too
    return static_cast<int>(std::lround(std::min(fraction, 1.0) * size));
  };
  const int x0 = at(box.x, out.width());
  const int y0 = at(box.y, out.height());
  const int x1 = at(box.maxX(), out.width());
  const int y1 = at(box.maxY(), out.height());
  const PixelBuffer& detail = roi->pixels();
  for (int y = y0; y < y1; ++y) {
    const int sy = std::min(detail.height() - 1, (y - y0) * detail.height() / std::max(1, y1 - y0));
    for (int x = x0; x < x1; ++x) {
      const int sx = std::min(detail.width() - 1, (x - x0) * detail.width() / std::max(1, x1 - x0));
      std::memcpy(out.row(y) + x * 4, detail.row(sy) + sx * 4, 4);
    }
  }
  return out;
}

std::optional<std::string> writePng(const PixelBuffer& pixels, const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) return "cannot open " + path + " for writing";
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, &info);
    return "libpng could not start";
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return "writing " + path + " failed";
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, pixels.width(), pixels.height(), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  png_set_filler(png, 0, PNG_FILLER_AFTER);  // the fourth byte of each pixel is skipped
  for (int y = 0; y < pixels.height(); ++y) {
    png_write_row(png, const_cast<png_bytep>(pixels.row(y)));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::nullopt;
}

}  // namespace nimbrel
