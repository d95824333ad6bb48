#pragma once

#include <png.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::test {

// An RGB picture read from a PNG file (a client's snapshot, say).
struct RgbPicture {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<std::uint8_t> rgb;
  const std::uint8_t* at(unsigned x, unsigned y) const {
    return &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
  }
};

// Nothing when the file is missing or not a PNG.
inline std::optional<RgbPicture> readPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  RgbPicture picture{image.width, image.height, std::vector<std::uint8_t>(PNG_IMAGE_SIZE(image))};
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) return std::nullopt;
  return picture;
}

}  // namespace nimbrel::test
