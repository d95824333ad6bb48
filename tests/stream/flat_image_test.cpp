#include "stream/flat_image.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <random>

namespace nimbrel {
namespace {

// BGRX pixels whose colours are `colours` distinct values, scattered so that no run is long.
std::vector<std::uint8_t> scattered(int width, int height, int colours, unsigned seed) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < pixels.size() / 4; ++i) {
    // Every colour appears at least once, the rest at random.
    const auto c = static_cast<std::uint32_t>(
        i < static_cast<std::size_t>(colours) ? i : random() % static_cast<unsigned>(colours));
    const std::uint32_t rgb = c * 0x010307u + 0x203040u;  // distinct for distinct c below 4096
    pixels[i * 4 + 0] = static_cast<std::uint8_t>(rgb);
    pixels[i * 4 + 1] = static_cast<std::uint8_t>(rgb >> 8);
    pixels[i * 4 + 2] = static_cast<std::uint8_t>(rgb >> 16);
    pixels[i * 4 + 3] = 0x5a;  // padding byte: never part of a colour
  }
  return pixels;
}

std::vector<std::uint8_t> decodePng(const Bytes& png, int* width, int* height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size())) << image.message;
  image.format = PNG_FORMAT_BGRA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
  *width = static_cast<int>(image.width);
  *height = static_cast<int>(image.height);
  return pixels;
}

TEST(FlatImage, AtMostTheGivenNumberOfColours) {
  struct Case {
    int colours;
    int limit;
    bool paletted;
  };
  for (const Case& c : {Case{1, 256, true}, Case{256, 256, true}, Case{257, 256, false},
                        Case{17, 16, false}, Case{16, 16, true}, Case{3000, 256, false}}) {
    const auto pixels = scattered(97, 41, c.colours, 7);
    const auto image = palettize({pixels.data(), 97, 41, 97 * 4}, c.limit);
    ASSERT_EQ(image.has_value(), c.paletted) << c.colours << " colours, limit " << c.limit;
    if (image) {
      EXPECT_EQ(image->palette.size(), static_cast<std::size_t>(c.colours));
    }
  }
}

// Every bit depth, with widths that end mid-byte, and rows read through a pitch wider than
// the picture: the PNG gives back exactly the pixels.
TEST(FlatImage, PngRoundTripsExactlyAtEveryBitDepth) {
  for (int colours : {1, 2, 3, 4, 5, 16, 17, 200, 256}) {
    for (int width : {1, 7, 33}) {
      const int height = 5;
      const int pitchPixels = width + 3;
      const auto pixels = scattered(pitchPixels, height, colours, static_cast<unsigned>(width));
      const PixelView view{pixels.data(), width, height, static_cast<std::size_t>(pitchPixels) * 4};
      const auto image = palettize(view);
      if (width * height < colours) continue;  // not every colour fits in the picture
      ASSERT_TRUE(image) << colours;
      int w = 0, h = 0;
      const auto decoded = decodePng(encodePalettedPng(*image), &w, &h);
      ASSERT_EQ(w, width);
      ASSERT_EQ(h, height);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const std::uint8_t* want = view.row(y) + x * 4;
          const std::uint8_t* got = &decoded[(static_cast<std::size_t>(y) * width + x) * 4];
          ASSERT_TRUE(want[0] == got[0] && want[1] == got[1] && want[2] == got[2])
              << colours << " colours, width " << width << ", pixel " << x << "," << y;
        }
      }
    }
  }
}

TEST(FlatImage, NothingToEncodeIsAnError) {
  EXPECT_THROW(encodePalettedPng(PalettedImage{}), std::runtime_error);
}

}  // namespace
}  // namespace nimbrel
