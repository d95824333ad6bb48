// The frame encoder on a 2880 x 1800 screen, beside bare pixman + libjpeg-turbo doing the same
// scale and compression; and the tile comparison of a whole unchanged frame.

#include <benchmark/benchmark.h>
#include <pixman.h>
#include <turbojpeg.h>

#include <cstring>

#include "desktop_picture.hpp"
#include "stream/frame_encoder.hpp"
#include "stream/refine_dirty.hpp"

namespace nimbrel {
namespace {

using bench::desktop;

void encode_full_jpeg(benchmark::State& state) {
  FrameEncoder encoder;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto jpeg = encoder.encodeFrame(desktop(), {0, 0, 2880, 1800}, {1280, 800}, 72, false,
                                    std::nullopt, ImageFormat::jpeg);
    bytes = jpeg ? jpeg->size() : 0;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(encode_full_jpeg)->Name("encode_full_jpeg/2880x1800")->Unit(benchmark::kMillisecond);

void reference_pixman_turbojpeg(benchmark::State& state) {
  const PixelBuffer& frame = desktop();
  std::vector<std::uint8_t> scaled(1280 * 800 * 4);
  tjhandle jpeg = tjInitCompress();
  for (auto _ : state) {
    pixman_image_t* source = pixman_image_create_bits(
        PIXMAN_x8r8g8b8, 2880, 1800,
        reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(frame.data())),
        static_cast<int>(frame.bytesPerRow()));
    pixman_image_t* target = pixman_image_create_bits(
        PIXMAN_x8r8g8b8, 1280, 800, reinterpret_cast<std::uint32_t*>(scaled.data()), 1280 * 4);
    pixman_transform_t transform;
    pixman_transform_init_scale(&transform, pixman_double_to_fixed(2880.0 / 1280),
                                pixman_double_to_fixed(1800.0 / 800));
    pixman_image_set_transform(source, &transform);
    pixman_image_set_filter(source, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_image_set_repeat(source, PIXMAN_REPEAT_PAD);
    pixman_image_composite32(PIXMAN_OP_SRC, source, nullptr, target, 0, 0, 0, 0, 0, 0, 1280, 800);
    pixman_image_unref(source);
    pixman_image_unref(target);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(jpeg, scaled.data(), 1280, 1280 * 4, 800, TJPF_BGRX, &out, &size, TJSAMP_420, 72, 0);
    benchmark::DoNotOptimize(out);
    tjFree(out);
  }
  tjDestroy(jpeg);
}
BENCHMARK(reference_pixman_turbojpeg)
    ->Name("reference_pixman_turbojpeg/2880x1800")
    ->Unit(benchmark::kMillisecond);

void encode_patch_jpeg(benchmark::State& state) {
  FrameEncoder encoder;
  for (auto _ : state) {
    auto jpeg = encoder.encodeFrame(desktop(), {0, 0, 2880, 1800}, {1280, 800}, 72, false,
                                    Rect{640, 400, 64, 64}, ImageFormat::jpeg);
    benchmark::DoNotOptimize(jpeg);
  }
}
BENCHMARK(encode_patch_jpeg)->Name("encode_patch_jpeg/64x64")->Unit(benchmark::kMicrosecond);

// The whole layer's sharp pass, scaled in the encoder's row bands (one per core) and, for
// comparison, in one piece.
void encode_sharp_jpeg(benchmark::State& state) {
  FrameEncoder encoder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto jpeg = encoder.encodeFrame(desktop(), {0, 0, 2880, 1800}, {1280, 800}, 90, true,
                                    std::nullopt, ImageFormat::jpeg);
    benchmark::DoNotOptimize(jpeg);
  }
}
BENCHMARK(encode_sharp_jpeg)
    ->Name("encode_sharp_jpeg/2880x1800")
    ->ArgName("bands")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void encode_sharp_patch_jpeg(benchmark::State& state) {
  FrameEncoder encoder;
  for (auto _ : state) {
    auto jpeg = encoder.encodeFrame(desktop(), {0, 0, 2880, 1800}, {1280, 800}, 90, true,
                                    Rect{640, 400, 64, 64}, ImageFormat::jpeg);
    benchmark::DoNotOptimize(jpeg);
  }
}
BENCHMARK(encode_sharp_patch_jpeg)
    ->Name("encode_sharp_patch_jpeg/64x64")
    ->Unit(benchmark::kMicrosecond);

void encode_full_heic(benchmark::State& state) {
  FrameEncoder encoder;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto heic = encoder.encodeFrame(desktop(), {0, 0, 2880, 1800}, {1280, 800}, 72, false,
                                    std::nullopt, ImageFormat::heic);
    bytes = heic ? heic->size() : 0;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(encode_full_heic)
    ->Name("encode_full_heic/1280x800")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();  // x265 encodes on threads of its own

void refine_dirty(benchmark::State& state) {
  const PixelBuffer& frame = desktop();
  const PixelBuffer copy = frame.copy();
  for (auto _ : state) {
    auto changed = refineDirty({{0, 0, 2880, 1800}}, frame, copy);
    benchmark::DoNotOptimize(changed);
  }
}
BENCHMARK(refine_dirty)->Name("refine_dirty/2880x1800")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbrel

