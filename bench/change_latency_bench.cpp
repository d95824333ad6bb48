// A change drawn by another X client on a 2880x1800 Xvfb screen, as a client viewing the whole
// screen at 1280x800 sees it:
//   text    a 60-character line in the server's 6x13 "fixed" font (about 160x6 layer pixels)
//   photo   a 400x300 photograph-like picture (smooth colour with grain)
//   screen  the same over the whole screen
// with the user idle, or active (a "move" every 100 ms), for a client that takes lossless PNG
// patch regions or one that does not. One change every 700 ms, so that each
// change's sharp pass (after 0.45 s of stillness) comes before the next one.
// Counters: p50_ms and p95_ms from the change (drawn: the X server answered a round trip) to
// the first frame showing it, first_kb that frame's payload and first_px the layer pixels its
// regions cover (a whole image: the layer), total_kb every frame until the next change,
// answered the changes that were shown. NIMBREL_BENCH_TRACE=1 prints each change's
// latency.

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "base/clock.hpp"
#include "base/geometry_types.hpp"
#include "host_process.hpp"
#include "xvfb_server.hpp"

namespace nimbrel {
namespace {

namespace asio = boost::asio;

constexpr int kScreenWidth = 2880, kScreenHeight = 1800;
constexpr double kLayerScale = 1280.0 / kScreenWidth;
constexpr int kChanges = 20;
constexpr auto kSpacing = std::chrono::milliseconds(700);

enum class Kind { text, photo, screen };

struct Frame {
  double at;
  std::size_t bytes;
  std::vector<Rect> regions;  // layer pixels; empty: the whole layer
};

// Another X client that makes the changes. Pictures are uploaded to pixmaps beforehand, so a
// change is one request the server carries out at once.
class Painter {
 public:
  explicit Painter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    gc_ = xcb_generate_id(c_);
    font_ = xcb_generate_id(c_);
    xcb_open_font(c_, font_, 5, "fixed");
    const std::uint32_t values[] = {0x202020, 0xf0f0f0, font_};
    xcb_create_gc(c_, gc_, screen_->root, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT,
                  values);
    for (int i = 0; i < 2; ++i) {
      photos_[i] = upload(400, 300, i);
      screens_[i] = upload(kScreenWidth, kScreenHeight, i + 2);
    }
    sync();
  }
  ~Painter() { xcb_disconnect(c_); }

  // Makes change number `step`; its area in layer pixels.
  Rect change(Kind kind, int step) {
    Rect area;
    if (kind == Kind::text) {
      std::string line = "The quick brown fox jumps over the lazy dog while 0123456789 ";
      std::rotate(line.begin(), line.begin() + step % 50, line.end());
      line.resize(60);
      const int x = 600, y = 600 + 40 * (step % 10);
      xcb_image_text_8(c_, static_cast<std::uint8_t>(line.size()), screen_->root, gc_,
                       static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), line.c_str());
      area = {double(x), double(y - 11), 360, 13};
    } else if (kind == Kind::photo) {
      const int x = 800 + 30 * (step % 7), y = 500;
      xcb_copy_area(c_, photos_[step % 2], screen_->root, gc_, 0, 0, static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y), 400, 300);
      area = {double(x), double(y), 400, 300};
    } else {
      xcb_copy_area(c_, screens_[step % 2], screen_->root, gc_, 0, 0, 0, 0, kScreenWidth,
                    kScreenHeight);
      area = {0, 0, double(kScreenWidth), double(kScreenHeight)};
    }
    sync();
    return {area.x * kLayerScale, area.y * kLayerScale, area.width * kLayerScale,
            area.height * kLayerScale};
  }

 private:
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  // A photograph-like picture: smooth colour fields with grain.
  xcb_pixmap_t upload(int width, int height, int seed) {
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen_->root_depth, pixmap, screen_->root,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
    std::mt19937 random(static_cast<unsigned>(seed));
    std::uniform_int_distribution<int> grain(-12, 12);
    const int rows = 40;  // each request under the core protocol's 256 KiB
    std::vector<std::uint8_t> strip(static_cast<std::size_t>(width) * rows * 4);
    for (int y0 = 0; y0 < height; y0 += rows) {
      const int n = std::min(rows, height - y0);
      for (int y = 0; y < n; ++y) {
        for (int x = 0; x < width; ++x) {
          std::uint8_t* p = &strip[(static_cast<std::size_t>(y) * width + x) * 4];
          const int gy = y0 + y;
          p[0] = static_cast<std::uint8_t>(std::clamp(90 + 80 * x / width + grain(random), 0, 255));
          p[1] = static_cast<std::uint8_t>(std::clamp(60 + 120 * gy / height + grain(random), 0, 255));
          p[2] = static_cast<std::uint8_t>(std::clamp(40 + 150 * (x + gy + seed * 97) % 600 / 600 + grain(random), 0, 255));
          p[3] = 0;
        }
      }
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc_, static_cast<std::uint16_t>(width),
                    static_cast<std::uint16_t>(n), 0, static_cast<std::int16_t>(y0), 0,
                    screen_->root_depth,
                    static_cast<std::uint32_t>(static_cast<std::size_t>(width) * n * 4), strip.data());
    }
    return pixmap;
  }

  xcb_connection_t* c_;
  xcb_screen_t* screen_;
  xcb_gcontext_t gc_;
  xcb_font_t font_;
  xcb_pixmap_t photos_[2];
  xcb_pixmap_t screens_[2];
};

// Acknowledges every frame and notes when it came, how big it was and what it covered.
asio::awaitable<void> record(std::shared_ptr<ClientConnection> client, std::vector<Frame>* frames) {
  for (;;) {
    HostMessage m = co_await client->next();
    if (!m.frame) continue;
    client->send({{"t", "ack"}, {"id", m.json.at("id")}});
    Frame frame{uptimeSeconds(), m.payload.size(), {}};
    if (m.json.at("k") == "patch") {
      for (const auto& entry : m.json.at("r").as_array()) {
        const auto& r = entry.as_array();
        frame.regions.push_back({double(r[0].to_number<long long>()), double(r[1].to_number<long long>()),
                                 double(r[2].to_number<long long>()), double(r[3].to_number<long long>())});
      }
    }
    if (std::getenv("NIMBREL_BENCH_TRACE")) {
      std::fprintf(stderr, "  %s %zu bytes: %s\n", m.json.at("k").as_string().c_str(),
                   m.payload.size(), boost::json::serialize(m.json).c_str());
    }
    frames->push_back(std::move(frame));
  }
}

// The user's input: a move every 100 ms while `active`.
asio::awaitable<void> fidget(std::shared_ptr<ClientConnection> client, const bool* done) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int step = 0; !*done; ++step) {
    client->send({{"t", "move"}, {"x", 0.05 + 0.001 * (step % 10)}, {"y", 0.05}});
    timer.expires_after(std::chrono::milliseconds(100));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

asio::awaitable<void> changeAll(Painter* painter, Kind kind,
                                std::vector<std::pair<double, Rect>>* changes, bool* done,
                                std::shared_ptr<ClientConnection> client) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_after(std::chrono::seconds(2));  // the first image and its sharp pass
  co_await timer.async_wait(asio::use_awaitable);
  for (int step = 0; step < kChanges; ++step) {
    const Rect area = painter->change(kind, step);
    changes->emplace_back(uptimeSeconds(), area);
    timer.expires_after(kSpacing);
    co_await timer.async_wait(asio::use_awaitable);
  }
  *done = true;
  client->close();
}

void changeLatency(benchmark::State& state, Kind kind, bool active, bool png) {
  bench::XvfbServer server(std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24");
  bench::HostProcess host(server.display());
  Painter painter(server.display());
  asio::io_context io;
  auto client = bench::connectTo(io, host, png ? std::vector<std::string>{"patch", "png"}
                                               : std::vector<std::string>{"patch"});
  std::vector<Frame> frames;
  std::vector<std::pair<double, Rect>> changes;
  bool done = false;
  for (auto _ : state) {
    asio::co_spawn(io, record(client, &frames), [](std::exception_ptr) {});
    if (active) asio::co_spawn(io, fidget(client, &done), asio::detached);
    asio::co_spawn(io, changeAll(&painter, kind, &changes, &done, client), asio::detached);
    io.run();
  }
  std::vector<double> ms;
  double first = 0, total = 0, firstPixels = 0;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const auto [at, area] = changes[i];
    const double next = i + 1 < changes.size() ? changes[i + 1].first : at + 0.7;
    bool shown = false;
    for (const Frame& f : frames) {
      if (f.at < at || f.at >= next) continue;
      total += double(f.bytes);
      const bool covers = f.regions.empty() ||
                          std::any_of(f.regions.begin(), f.regions.end(),
                                      [&](const Rect& r) { return r.intersects(area); });
      if (covers && !shown) {
        shown = true;
        ms.push_back((f.at - at) * 1000);
        if (std::getenv("NIMBREL_BENCH_TRACE")) std::fprintf(stderr, "change %zu: %.2f ms\n", i, (f.at - at) * 1000);
        first += double(f.bytes);
        if (f.regions.empty()) firstPixels += 1280.0 * 800.0;
        for (const Rect& r : f.regions) firstPixels += r.area();
      }
    }
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    state.counters["first_kb"] = first / double(ms.size()) / 1000;
    state.counters["first_px"] = firstPixels / double(ms.size());
  }
  state.counters["total_kb"] = changes.empty() ? 0 : total / double(changes.size()) / 1000;
  state.counters["answered"] = double(ms.size());
}

void e2e_change_latency_x11(benchmark::State& state) {
  changeLatency(state, static_cast<Kind>(state.range(0)), state.range(1) != 0,
                state.range(2) != 0);
}
BENCHMARK(e2e_change_latency_x11)
    ->ArgNames({"kind", "active", "png"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace nimbrel
