#include "stream/frame_encoder.hpp"

#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <png.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>

#include "capture/synthetic_screen_source.hpp"
#include "stream/image_format.hpp"

namespace nimbrel {
namespace {

struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgrx;
  const std::uint8_t* at(int x, int y) const { return &bgrx[(static_cast<std::size_t>(y) * width + x) * 4]; }
};

Decoded decodeJpeg(const Bytes& jpeg) {
  Decoded out;
  tjhandle handle = tjInitDecompress();
  int subsampling = 0, colorspace = 0;
  EXPECT_EQ(tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &out.width, &out.height,
                                &subsampling, &colorspace), 0);
  out.bgrx.resize(static_cast<std::size_t>(out.width) * out.height * 4);
  EXPECT_EQ(tjDecompress2(handle, jpeg.data(), jpeg.size(), out.bgrx.data(), out.width, 0,
                          out.height, TJPF_BGRX, 0), 0);
  tjDestroy(handle);
  return out;
}

// The synthetic screen: a gradient with the white square at (12, 400).
CapturedFrame screen() { return SyntheticScreenSource(1600, 1000).latest()->frame; }

// Whether a decoded pixel is close to the source pixel at (sx, sy) (the gradient changes slowly,
// so JPEG and scaling keep it within a few levels).
void expectNear(const Decoded& image, int x, int y, const PixelBuffer& source, int sx, int sy) {
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(image.at(x, y)[c], source.row(sy)[sx * 4 + c], 8)
        << "output (" << x << "," << y << ") channel " << c << " vs source (" << sx << "," << sy << ")";
  }
}

bool isWhite(const std::uint8_t* p) { return p[0] > 230 && p[1] > 230 && p[2] > 230; }

TEST(FrameEncoder, FullLayerUnscaledMatchesTheSource) {
  const CapturedFrame frame = screen();
  FrameEncoder encoder;
  const auto jpeg = encoder.encodeFrame(*frame.pixelBuffer, {0, 0, 1600, 1000}, {1600, 1000}, 90,
                                        false, std::nullopt, ImageFormat::jpeg);
  ASSERT_TRUE(jpeg);
  const Decoded image = decodeJpeg(*jpeg);
  ASSERT_EQ(image.width, 1600);
  ASSERT_EQ(image.height, 1000);
  for (auto [x, y] : {std::pair{0, 0}, {1599, 999}, {800, 100}, {300, 900}}) {
    expectNear(image, x, y, *frame.pixelBuffer, x, y);
  }
  EXPECT_TRUE(isWhite(image.at(70, 460)));   // inside the square
  EXPECT_FALSE(isWhite(image.at(70, 380)));  // above it
}

// Asked for PNG where it pays, the encoder sends a patch of few colours as an exact PNG, and
// anything richer in its usual format.
TEST(FrameEncoder, AFlatPatchBecomesAnExactPngAndARichOneStaysJpeg) {
  PixelBuffer flat(300, 200);
  for (int y = 0; y < 200; ++y) {
    for (int x = 0; x < 300; ++x) {
      std::uint8_t* p = flat.row(y) + x * 4;
      const bool ink = (x / 2 + y / 3) % 7 == 0;
      p[0] = ink ? 0x20 : 0xf0;
      p[1] = ink ? 0x20 : 0xe8;
      p[2] = ink ? 0x30 : 0xe0;
      p[3] = 0xff;
    }
  }
  FrameEncoder encoder;
  const Rect crop{40, 30, 120, 50};
  const auto png = encoder.encodeFrame(flat, {0, 0, 300, 200}, {300, 200}, 60, false, crop,
                                       ImageFormat::jpeg, true);
  ASSERT_TRUE(png) << png.error();
  ASSERT_TRUE(png.isLossless());
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, png->data(), png->size()));
  image.format = PNG_FORMAT_BGRA;
  std::vector<std::uint8_t> decoded(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr));
  ASSERT_EQ(image.width, 120u);
  ASSERT_EQ(image.height, 50u);
  for (int y = 0; y < 50; ++y) {
    for (int x = 0; x < 120; ++x) {
      ASSERT_EQ(std::memcmp(&decoded[(y * 120 + x) * 4], flat.row(30 + y) + (40 + x) * 4, 3), 0)
          << x << "," << y;
    }
  }
  // Scaled, the flat picture gains in-between colours but stays within a palette.
  const auto scaled = encoder.encodeFrame(flat, {0, 0, 300, 200}, {150, 100}, 60, false,
                                          Rect{10, 10, 60, 40}, ImageFormat::jpeg, true);
  ASSERT_TRUE(scaled);
  EXPECT_TRUE(scaled.isLossless());

  const CapturedFrame rich = screen();  // a gradient of thousands of colours
  const auto jpeg = encoder.encodeFrame(*rich.pixelBuffer, {0, 0, 1600, 1000}, {1600, 1000}, 60,
                                        false, Rect{0, 0, 400, 300}, ImageFormat::jpeg, true);
  ASSERT_TRUE(jpeg);
  EXPECT_FALSE(jpeg.isLossless());
  EXPECT_EQ(decodeJpeg(*jpeg).width, 400);
}

TEST(FrameEncoder, ScaledLayerAndItsBottomPatchLineUp) {
  const CapturedFrame frame = screen();
  FrameEncoder encoder;
  const Rect box{0, 200, 1600, 800};  // the lower part of the screen, scaled by one half
  const auto full = encoder.encodeFrame(*frame.pixelBuffer, box, {800, 400}, 90, false,
                                        std::nullopt, ImageFormat::jpeg);
  ASSERT_TRUE(full);
  const Decoded layer = decodeJpeg(*full);
  ASSERT_EQ(layer.width, 800);
  ASSERT_EQ(layer.height, 400);
  for (auto [x, y] : {std::pair{10, 10}, {790, 390}, {400, 20}}) {
    expectNear(layer, x, y, *frame.pixelBuffer, x * 2, 200 + y * 2);
  }
  // The square (12..132, 400..520) lands at (6..66, 100..160) of the layer.
  EXPECT_TRUE(isWhite(layer.at(36, 130)));
  EXPECT_FALSE(isWhite(layer.at(36, 90)));

  // A patch of the bottom 40 rows equals that strip of the whole layer.
  const auto strip = encoder.encodeFrame(*frame.pixelBuffer, box, {800, 400}, 90, false,
                                         Rect{0, 360, 800, 40}, ImageFormat::jpeg);
  ASSERT_TRUE(strip);
  const Decoded patch = decodeJpeg(*strip);
  ASSERT_EQ(patch.width, 800);
  ASSERT_EQ(patch.height, 40);
  for (auto [x, y] : {std::pair{5, 5}, {795, 35}, {400, 20}}) {
    expectNear(patch, x, y, *frame.pixelBuffer, x * 2, 200 + (360 + y) * 2);
  }
  // And a patch around the square shows it where the layer has it.
  const auto around = encoder.encodeFrame(*frame.pixelBuffer, box, {800, 400}, 90, false,
                                          Rect{0, 96, 80, 80}, ImageFormat::jpeg);
  const Decoded square = decodeJpeg(*around);
  EXPECT_TRUE(isWhite(square.at(36, 34)));
  EXPECT_FALSE(isWhite(square.at(75, 34)));
}

TEST(FrameEncoder, SharpPassScalesWithLanczosAndKeepsTheCrop) {
  const CapturedFrame frame = screen();
  FrameEncoder encoder;
  const auto jpeg = encoder.encodeFrame(*frame.pixelBuffer, {0, 0, 1600, 1000}, {640, 400}, 90,
                                        true, Rect{0, 144, 64, 64}, ImageFormat::jpeg);
  ASSERT_TRUE(jpeg);
  const Decoded patch = decodeJpeg(*jpeg);
  ASSERT_EQ(patch.width, 64);
  ASSERT_EQ(patch.height, 64);
  // The square (12..132, 400..520) at 0.4 is (4.8..52.8, 160..208): rows 16.. of the patch.
  EXPECT_TRUE(isWhite(patch.at(28, 40)));
  EXPECT_FALSE(isWhite(patch.at(28, 8)));
  expectNear(patch, 60, 4, *frame.pixelBuffer, 150, 370);
}

TEST(FrameEncoder, SharpPatchMatchesTheSameAreaOfASharpWholeLayer) {
  const CapturedFrame frame = screen();
  FrameEncoder encoder;
  const Rect box{0, 0, 1600, 1000};
  const Size size{640, 400};
  const auto whole = encoder.encodeFrame(*frame.pixelBuffer, box, size, 100, true, std::nullopt,
                                         ImageFormat::jpeg);
  ASSERT_TRUE(whole);
  const Decoded layer = decodeJpeg(*whole);
  for (const Rect crop : {Rect{0, 144, 64, 64}, Rect{37, 151, 33, 29}, Rect{600, 360, 40, 40}}) {
    const auto patch = encoder.encodeFrame(*frame.pixelBuffer, box, size, 100, true, crop,
                                           ImageFormat::jpeg);
    ASSERT_TRUE(patch);
    const Decoded part = decodeJpeg(*patch);
    ASSERT_EQ(part.width, crop.width);
    ASSERT_EQ(part.height, crop.height);
    int worst = 0;
    for (int y = 0; y < part.height; ++y) {
      for (int x = 0; x < part.width; ++x) {
        for (int c = 0; c < 3; ++c) {
          worst = std::max(worst, std::abs(part.at(x, y)[c] -
                                           layer.at(int(crop.x) + x, int(crop.y) + y)[c]));
        }
      }
    }
    EXPECT_LE(worst, 6) << crop.x << "," << crop.y;  // JPEG at quality 100 and nothing else
  }
}

// A large sharp pass is scaled in row bands side by side: the image is the same, byte for byte,
// whatever the number of bands.
TEST(FrameEncoder, ASharpPassInBandsIsTheSameImage) {
  const CapturedFrame frame = SyntheticScreenSource(2880, 1800).latest()->frame;
  const Rect box{0, 0, 2880, 1800};
  std::vector<Bytes> images;
  for (int bands : {1, 2, 3}) {
    FrameEncoder encoder(bands);
    const auto image = encoder.encodeFrame(*frame.pixelBuffer, box, {1280, 800}, 90, true,
                                           std::nullopt, ImageFormat::jpeg);
    ASSERT_TRUE(image) << bands;
    images.push_back(*image);
  }
  EXPECT_EQ(decodeJpeg(images[0]).width, 1280);
  EXPECT_TRUE(images[0] == images[1]);
  EXPECT_TRUE(images[0] == images[2]);
}

TEST(FrameEncoder, LanczosWindowKeepsTheLayerRatio) {
  const struct {
    int box, out, crop0, crop1;
    Window expected;
  } cases[] = {
      {1600, 640, 100, 164, {96, 168, 240, 420}},    // steps of 2 output / 5 source pixels
      {1600, 640, 0, 10, {0, 14, 0, 35}},            // clamped at the start
      {1600, 640, 600, 640, {596, 640, 1490, 1600}},  // and at the end
      {2880, 1277, 500, 520, {0, 1277, 0, 2880}},    // no common step: the whole axis
  };
  for (const auto& c : cases) {
    const Window w = lanczosWindow(c.box, c.out, c.crop0, c.crop1);
    EXPECT_EQ(w.out0, c.expected.out0);
    EXPECT_EQ(w.out1, c.expected.out1);
    EXPECT_EQ(w.source0, c.expected.source0);
    EXPECT_EQ(w.source1, c.expected.source1);
  }
}

TEST(FrameEncoder, ScalingThresholdAndEdgeClamping) {
  const CapturedFrame frame = screen();
  FrameEncoder encoder;
  const Rect box{0, 0, 1280, 800};
  for (double width : {1280.0, 1281.0, 1282.0}) {
    const auto jpeg = encoder.encodeFrame(*frame.pixelBuffer, box, {width, 800}, 80, false,
                                          std::nullopt, ImageFormat::jpeg);
    ASSERT_TRUE(jpeg);
    const Decoded image = decodeJpeg(*jpeg);
    EXPECT_EQ(image.width, static_cast<int>(width));
    // The last column repeats the box's edge, never a pixel from beyond it.
    expectNear(image, image.width - 1, 10, *frame.pixelBuffer, 1279, 10);
  }
  // Nothing to encode.
  EXPECT_FALSE(encoder.encodeFrame(*frame.pixelBuffer, box, {0, 0}, 80, false, std::nullopt,
                                   ImageFormat::jpeg));
  EXPECT_FALSE(encoder.encodeFrame(*frame.pixelBuffer, box, {100, 100}, 80, false,
                                   Rect{200, 200, 10, 10}, ImageFormat::jpeg));
}

TEST(FrameEncoder, HeicDecodesToTheRequestedSize) {
  const CapturedFrame frame = screen();
  FrameEncoder encoder;
  const auto heic = encoder.encodeFrame(*frame.pixelBuffer, {0, 0, 1600, 1000}, {320, 200}, 72,
                                        false, std::nullopt, ImageFormat::heic);
  ASSERT_TRUE(heic);
  heif_context* context = heif_context_alloc();
  ASSERT_EQ(heif_context_read_from_memory_without_copy(context, heic->data(), heic->size(), nullptr).code,
            heif_error_Ok);
  heif_image_handle* handle = nullptr;
  ASSERT_EQ(heif_context_get_primary_image_handle(context, &handle).code, heif_error_Ok);
  EXPECT_EQ(heif_image_handle_get_width(handle), 320);
  EXPECT_EQ(heif_image_handle_get_height(handle), 200);
  heif_image* image = nullptr;
  ASSERT_EQ(heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                              nullptr).code, heif_error_Ok);
  int stride = 0;
  const std::uint8_t* rgb = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  // The square (12..132, 400..520) at 0.2 is (2.4..26.4, 80..104).
  const std::uint8_t* inside = rgb + 92 * stride + 14 * 3;
  EXPECT_GT(inside[0], 220);
  EXPECT_GT(inside[2], 220);
  const std::uint8_t* corner = rgb + 2 * stride + 2 * 3;
  EXPECT_NEAR(corner[0], 60, 12);  // red
  EXPECT_NEAR(corner[2], 40, 12);  // blue
  heif_image_release(image);
  heif_image_handle_release(handle);
  heif_context_free(context);
}

// What turbojpeg itself says when asked to compress a `width` x `height` image (empty when it
// takes it).
std::string turbojpegVerdict(int width, int height) {
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
  tjhandle handle = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long length = 0;
  const bool ok = tjCompress2(handle, pixels.data(), width, 0, height, TJPF_BGRX, &out, &length,
                              TJSAMP_420, 72, 0) == 0;
  const std::string verdict = ok ? "" : tjGetErrorStr2(handle);
  tjFree(out);
  tjDestroy(handle);
  return verdict;
}

// The same for libheif and its HEVC encoder.
std::string libheifVerdict(int width, int height) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
  heif_encoder_set_parameter_string(encoder, "preset", "ultrafast");
  heif_image* image = nullptr;
  heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, width, height, 8);
  const heif_error error = heif_context_encode_image(context, image, encoder, nullptr, nullptr);
  const std::string verdict = error.code == heif_error_Ok ? "" : error.message;
  heif_image_release(image);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return verdict;
}

TEST(FrameEncoder, AFailureSaysWhy) {
  const CapturedFrame frame = screen();
  const Rect screenBox{0, 0, 1600, 1000};
  // Beyond JPEG's 65500 pixels; and a strip x265 refuses.
  const std::string jpegVerdict = turbojpegVerdict(70000, 8);
  const std::string heicVerdict = libheifVerdict(5000, 16);
  ASSERT_FALSE(jpegVerdict.empty());
  ASSERT_FALSE(heicVerdict.empty());
  const struct {
    const char* name;
    Rect box;
    Size size;
    std::optional<Rect> crop;
    bool sharp;
    ImageFormat format;
    std::string error;
  } cases[] = {
      {"JPEG too wide", screenBox, {70000, 8}, std::nullopt, false, ImageFormat::jpeg,
       "JPEG: " + jpegVerdict},
      {"a HEIC strip", screenBox, {5000, 16}, std::nullopt, false, ImageFormat::heic,
       "HEIC: " + heicVerdict},
      {"a sharp HEIC strip", screenBox, {5000, 16}, std::nullopt, true, ImageFormat::heic,
       "HEIC: " + heicVerdict},
      {"no image size", screenBox, {0, 0}, std::nullopt, false, ImageFormat::jpeg,
       "nothing to encode: the image size is empty"},
      {"a crop outside the image", screenBox, {100, 100}, Rect{200, 200, 10, 10}, false,
       ImageFormat::jpeg, "nothing to encode: the crop is outside the image"},
      {"a box outside the frame", {1700, 0, 100, 100}, {100, 100}, std::nullopt, false,
       ImageFormat::heic, "nothing to encode: the box is outside the frame"},
  };
  FrameEncoder encoder;
  for (const auto& c : cases) {
    const EncodeResult result =
        encoder.encodeFrame(*frame.pixelBuffer, c.box, c.size, 72, c.sharp, c.crop, c.format);
    EXPECT_FALSE(result) << c.name;
    EXPECT_EQ(result.error(), c.error) << c.name;
  }
  // The encoder is still good after its failures, and a success has no error.
  const EncodeResult fine = encoder.encodeFrame(*frame.pixelBuffer, screenBox, {320, 200}, 72,
                                                false, std::nullopt, ImageFormat::jpeg);
  ASSERT_TRUE(fine);
  EXPECT_EQ(decodeJpeg(*fine).width, 320);
  EXPECT_EQ(fine.error(), "");
}

TEST(ImageFormat, QualityMappings) {
  const struct {
    int quality;
    bool sharp;
    double heic;
  } heic[] = {{0, false, 0.10},  {25, false, 0.10}, {26, false, 0.105}, {30, false, 0.125},
              {50, false, 0.315}, {72, false, 0.80}, {90, false, 0.93333}, {95, false, 0.95},
              {96, false, 0.95}, {100, false, 0.95}, {10, true, 0.92},   {100, true, 0.92}};
  for (const auto& c : heic) EXPECT_NEAR(heicQuality(c.quality, c.sharp), c.heic, 1e-4) << c.quality;
  const struct {
    double heic;
    int libheif;
  } calibrated[] = {{0, 8}, {0.05, 8}, {0.10, 8}, {0.125, 10}, {0.80, 30}, {0.85, 33},
                    {0.92, 46}, {1.0, 65}, {1.5, 65}};
  for (const auto& c : calibrated) EXPECT_EQ(libheifQuality(c.heic), c.libheif) << c.heic;
  int previous = 0;
  for (int q = 0; q <= 100; ++q) {  // never lower for a higher streamer quality
    const int now = libheifQuality(heicQuality(q, false));
    EXPECT_GE(now, previous) << q;
    previous = now;
  }
  const struct {
    int quality;
    int jpeg;
  } jpeg[] = {{3, 5}, {5, 5}, {72, 72}, {100, 100}, {150, 100}, {-4, 5}};
  for (const auto& c : jpeg) EXPECT_EQ(jpegQuality(c.quality), c.jpeg) << c.quality;
  EXPECT_STREQ(rawValue(ImageFormat::heic), "heic");
  EXPECT_STREQ(rawValue(ImageFormat::jpeg), "jpeg");
}

}  // namespace
}  // namespace nimbrel
