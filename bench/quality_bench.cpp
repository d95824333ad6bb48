// What a frame costs for what it shows: the streamer's normal quality (72) and its sharp pass
// (sharp), in JPEG and HEIC, on a 1280x800 part of the benchmarks' desktop taken unscaled so
// that the source is the reference. Counters: bytes, ssim (mean structural similarity of the
// decoded luma against the source's, 8x8 windows) and the encode time.

#include <benchmark/benchmark.h>
#include <libheif/heif.h>
#include <turbojpeg.h>

#include <cmath>
#include <memory>
#include <vector>

#include "desktop_picture.hpp"
#include "stream/frame_encoder.hpp"

namespace nimbrel {
namespace {

constexpr int kWidth = 1280, kHeight = 800;

// The part measured: the middle of the benchmarks' desktop, where its "text" is.
constexpr int kPartX = 800, kPartY = 500;
const std::uint8_t* partData() { return bench::desktop().row(kPartY) + kPartX * 4; }
std::size_t partPitch() { return bench::desktop().bytesPerRow(); }

// Luma of 8-bit samples in B, G, R order (`step` bytes apart per pixel).
std::vector<double> luma(const std::uint8_t* data, std::size_t pitch, int step, bool bgr) {
  std::vector<double> y(static_cast<std::size_t>(kWidth) * kHeight);
  for (int row = 0; row < kHeight; ++row) {
    for (int x = 0; x < kWidth; ++x) {
      const std::uint8_t* p = data + row * pitch + static_cast<std::size_t>(x) * step;
      const double b = bgr ? p[0] : p[2], g = p[1], r = bgr ? p[2] : p[0];
      y[static_cast<std::size_t>(row) * kWidth + x] = 0.299 * r + 0.587 * g + 0.114 * b;
    }
  }
  return y;
}

// Mean SSIM over 8x8 windows, 4 pixels apart.
double ssim(const std::vector<double>& a, const std::vector<double>& b) {
  const double c1 = 6.5025, c2 = 58.5225;  // (0.01 * 255)^2, (0.03 * 255)^2
  double total = 0;
  int windows = 0;
  for (int y0 = 0; y0 + 8 <= kHeight; y0 += 4) {
    for (int x0 = 0; x0 + 8 <= kWidth; x0 += 4) {
      double ma = 0, mb = 0;
      for (int y = y0; y < y0 + 8; ++y) {
        for (int x = x0; x < x0 + 8; ++x) {
          ma += a[static_cast<std::size_t>(y) * kWidth + x];
          mb += b[static_cast<std::size_t>(y) * kWidth + x];
        }
      }
      ma /= 64;
      mb /= 64;
      double va = 0, vb = 0, cov = 0;
      for (int y = y0; y < y0 + 8; ++y) {
        for (int x = x0; x < x0 + 8; ++x) {
          const double da = a[static_cast<std::size_t>(y) * kWidth + x] - ma;
          const double db = b[static_cast<std::size_t>(y) * kWidth + x] - mb;
          va += da * da;
          vb += db * db;
          cov += da * db;
        }
      }
      va /= 63;
      vb /= 63;
      cov /= 63;
      total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
      ++windows;
    }
  }
  return total / windows;
}

std::vector<double> decodedLuma(const Bytes& image, ImageFormat format) {
  if (format == ImageFormat::jpeg) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 3);
    tjhandle handle = tjInitDecompress();
    tjDecompress2(handle, image.data(), image.size(), pixels.data(), kWidth, kWidth * 3, kHeight,
                  TJPF_RGB, 0);
    tjDestroy(handle);
    return luma(pixels.data(), static_cast<std::size_t>(kWidth) * 3, 3, false);
  }
  heif_context* context = heif_context_alloc();
  heif_context_read_from_memory_without_copy(context, image.data(), image.size(), nullptr);
  heif_image_handle* handle = nullptr;
  heif_context_get_primary_image_handle(context, &handle);
  heif_image* decoded = nullptr;
  heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
  int stride = 0;
  const std::uint8_t* data = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
  std::vector<double> y = luma(data, static_cast<std::size_t>(stride), 3, false);
  heif_image_release(decoded);
  heif_image_handle_release(handle);
  heif_context_free(context);
  return y;
}

void encode_quality(benchmark::State& state) {
  const auto format = state.range(0) == 0 ? ImageFormat::jpeg : ImageFormat::heic;
  const bool sharp = state.range(1) != 0;
  FrameEncoder encoder;
  Bytes image;
  for (auto _ : state) {
    auto encoded = encoder.encodeFrame(bench::desktop(), {kPartX, kPartY, kWidth, kHeight},
                                       {kWidth, kHeight}, 72, sharp, std::nullopt, format);
    if (!encoded) {
      state.SkipWithError(encoded.error().c_str());
      return;
    }
    image = *encoded;
  }
  state.counters["bytes"] = static_cast<double>(image.size());
  state.counters["ssim"] = ssim(luma(partData(), partPitch(), 4, true), decodedLuma(image, format));
}
BENCHMARK(encode_quality)
    ->Name("encode_quality/1280x800")
    ->ArgNames({"heic", "sharp"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The codecs' own quality scales, straight from the libraries (x265 as the host sets it up):
// what the mapping from the streamer's quality to each codec's is calibrated on.
void codec_quality(benchmark::State& state) {
  const bool heic = state.range(0) != 0;
  const int quality = static_cast<int>(state.range(1));
  Bytes image;
  for (auto _ : state) {
    if (!heic) {
      tjhandle handle = tjInitCompress();
      unsigned char* out = nullptr;
      unsigned long size = 0;
      tjCompress2(handle, partData(), kWidth, static_cast<int>(partPitch()), kHeight,
                  TJPF_BGRX, &out, &size, TJSAMP_420, quality, 0);
      image.assign(out, out + size);
      tjFree(out);
      tjDestroy(handle);
      continue;
    }
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, quality);
    heif_encoder_set_parameter_string(encoder, "preset", "ultrafast");
    heif_encoder_set_parameter_string(encoder, "tune", "ssim");
    heif_image* picture = nullptr;
    heif_image_create(kWidth, kHeight, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &picture);
    heif_image_add_plane(picture, heif_channel_interleaved, kWidth, kHeight, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(picture, heif_channel_interleaved, &stride);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const std::uint8_t* p = partData() + y * partPitch() + x * 4;
        std::uint8_t* q = plane + y * stride + x * 3;
        q[0] = p[2];
        q[1] = p[1];
        q[2] = p[0];
      }
    }
    heif_context_encode_image(context, picture, encoder, nullptr, nullptr);
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* userdata) {
                         auto* out = static_cast<Bytes*>(userdata);
                         const auto* bytes = static_cast<const std::uint8_t*>(data);
                         out->assign(bytes, bytes + size);
                         return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context, &writer, &image);
    heif_image_release(picture);
    heif_encoder_release(encoder);
    heif_context_free(context);
  }
  state.counters["bytes"] = static_cast<double>(image.size());
  state.counters["ssim"] = ssim(luma(partData(), partPitch(), 4, true),
                                decodedLuma(image, heic ? ImageFormat::heic : ImageFormat::jpeg));
}
BENCHMARK(codec_quality)
    ->Name("codec_quality/1280x800")
    ->ArgNames({"heic", "q"})
    ->ArgsProduct({{0, 1}, {10, 20, 30, 40, 50, 60, 72, 80, 90}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace nimbrel
