#include "stream/flat_image.hpp"

#include <png.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace nimbrel {
namespace {

// Open addressing over the colours seen so far; 1024 slots keep 256 colours sparse.
class ColourTable {
 public:
  static constexpr std::uint32_t kEmpty = 0xffffffff;
  ColourTable() { keys_.fill(kEmpty); }

  // The colour's index, adding it when new; -1 once there would be more than `limit`.
  int indexOf(std::uint32_t colour, std::vector<std::uint32_t>& palette, int limit) {
    std::uint32_t slot = (colour * 2654435761u) >> 22;
    for (;;) {
      if (keys_[slot] == colour) return values_[slot];
      if (keys_[slot] == kEmpty) {
        if (static_cast<int>(palette.size()) >= limit) return -1;
        keys_[slot] = colour;
        values_[slot] = static_cast<std::uint8_t>(palette.size());
        palette.push_back(colour);
        return values_[slot];
      }
      slot = (slot + 1) & 1023;
    }
  }

 private:
  std::array<std::uint32_t, 1024> keys_;
  std::array<std::uint8_t, 1024> values_{};
};

struct PngWrite {
  Bytes* out;
  std::string error;
};

void onPngError(png_structp png, png_const_charp message) {
  static_cast<PngWrite*>(png_get_error_ptr(png))->error = message ? message : "unknown error";
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void onPngData(png_structp png, png_bytep data, png_size_t length) {
  Bytes* out = static_cast<PngWrite*>(png_get_io_ptr(png))->out;
  out->insert(out->end(), data, data + length);
}

int bitDepthFor(std::size_t colours) {
  if (colours <= 2) return 1;
  if (colours <= 4) return 2;
  if (colours <= 16) return 4;
  return 8;
}

// Rows of indices packed at `depth` bits, the leftmost pixel in the high bits.
std::vector<std::uint8_t> packRows(const PalettedImage& image, int depth, std::size_t rowBytes) {
  std::vector<std::uint8_t> packed(rowBytes * static_cast<std::size_t>(image.height), 0);
  const int perByte = 8 / depth;
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* from = image.indices.data() + static_cast<std::size_t>(y) * image.width;
    std::uint8_t* to = packed.data() + static_cast<std::size_t>(y) * rowBytes;
    if (depth == 8) {
      std::copy(from, from + image.width, to);
      continue;
    }
    for (int x = 0; x < image.width; ++x) {
      const int shift = 8 - depth * (x % perByte + 1);
      to[x / perByte] |= static_cast<std::uint8_t>(from[x] << shift);
    }
  }
  return packed;
}

struct PngJob {
  int width, height, depth;
  const png_color* palette;
  int colours;
  const std::uint8_t* rows;
  std::size_t rowBytes;
};

// libpng reports errors with longjmp, so the writing lives apart, with nothing to destroy;
// false on an error (its message in `write`).
bool writePng(png_structp png, png_infop info, PngWrite* write, const PngJob& job) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, write, onPngData, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(job.width), static_cast<png_uint_32>(job.height),
               job.depth, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_PLTE(png, info, job.palette, job.colours);
  // Paletted pictures compress best unfiltered.
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_write_info(png, info);
  for (int y = 0; y < job.height; ++y) {
    png_write_row(png, job.rows + static_cast<std::size_t>(y) * job.rowBytes);
  }
  png_write_end(png, nullptr);
  return true;
}

// Calls `each(index)` for every pixel in order; false as soon as there are too many colours.
template <typename Each>
bool indexColours(const PixelView& pixels, int maxColours, std::vector<std::uint32_t>& palette,
                  Each each) {
  const int limit = std::clamp(maxColours, 1, 256);
  ColourTable table;
  std::uint32_t last = ColourTable::kEmpty;
  int lastIndex = 0;
  for (int y = 0; y < pixels.height; ++y) {
    const std::uint8_t* p = pixels.row(y);
    for (int x = 0; x < pixels.width; ++x, p += 4) {
      const std::uint32_t colour = (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
      if (colour != last) {
        lastIndex = table.indexOf(colour, palette, limit);
        if (lastIndex < 0) return false;
        last = colour;
      }
      each(static_cast<std::uint8_t>(lastIndex));
    }
  }
  return true;
}

}  // namespace

std::optional<PalettedImage> palettize(const PixelView& pixels, int maxColours) {
  PalettedImage image;
  image.width = pixels.width;
  image.height = pixels.height;
  image.indices.resize(static_cast<std::size_t>(pixels.width) * pixels.height);
  std::uint8_t* index = image.indices.data();
  if (!indexColours(pixels, maxColours, image.palette, [&](std::uint8_t i) { *index++ = i; })) {
    return std::nullopt;
  }
  return image;
}

bool hasFewColours(const PixelView& pixels, int maxColours) {
  std::vector<std::uint32_t> palette;
  return indexColours(pixels, maxColours, palette, [](std::uint8_t) {});
}

Bytes encodePalettedPng(const PalettedImage& image) {
  if (image.width <= 0 || image.height <= 0 || image.palette.empty() || image.palette.size() > 256) {
    throw std::runtime_error("PNG: nothing to encode");
  }
  Bytes bytes;
  PngWrite write{&bytes, {}};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &write, onPngError, onPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("PNG: libpng could not start");
  }
  const int depth = bitDepthFor(image.palette.size());
  const std::size_t rowBytes = (static_cast<std::size_t>(image.width) * depth + 7) / 8;
  const std::vector<std::uint8_t> rows = packRows(image, depth, rowBytes);
  std::vector<png_color> palette(image.palette.size());
  for (std::size_t i = 0; i < palette.size(); ++i) {
    palette[i] = {static_cast<png_byte>(image.palette[i] >> 16),
                  static_cast<png_byte>(image.palette[i] >> 8),
                  static_cast<png_byte>(image.palette[i])};
  }
  const PngJob job{image.width, image.height, depth, palette.data(),
                   static_cast<int>(palette.size()), rows.data(), rowBytes};
  if (!writePng(png, info, &write, job)) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("PNG: " + write.error);
  }
  png_destroy_write_struct(&png, &info);
  return bytes;
}

}  // namespace nimbrel
