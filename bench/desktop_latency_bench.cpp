// The same changes on the two desktops the host shares, each 1280x800: X11 (Xvfb, another X
// client fills rectangles on the root window) and GNOME on Wayland (headless mutter with
// PipeWire, a fullscreen GTK window paints them), as a client viewing the whole screen sees
// them:
//   text    a 360x13 strip, a line of text's size, at a new place each time
//   screen  the whole screen in another colour
// One change every 700 ms, so that each change's sharp pass (after 0.45 s of stillness) comes
// before the next one. Counters: p50_ms and p95_ms from the request of the change (to the
// X server / to the window, which draws it in its next frame) to the first frame showing it, answered the changes that were shown, cpu_ms_change the host's CPU time per change (above
// its idle rate), cpu_idle_pct its CPU while a client watches a still screen.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "base/clock.hpp"
#include "base/geometry_types.hpp"
#include "host_process.hpp"
#include "support/gnome_session.hpp"
#include "support/x_server.hpp"

namespace nimbrel {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

constexpr int kChanges = 16;
constexpr auto kSpacing = 700ms;
constexpr auto kIdle = 3s;

enum class Desktop { x11, gnome };
enum class Kind { text, screen };

// Makes the changes on one desktop; returns once the change is drawn.
class Painter {
 public:
  virtual ~Painter() = default;
  virtual void paint(Kind kind, int step) = 0;
  static Rect area(Kind kind, int step) {
    if (kind == Kind::text) return {200, 100 + 40.0 * (step % 16), 360, 13};
    return {0, 0, 1280, 800};
  }
  static std::uint32_t colour(int step) { return step % 2 ? 0xe0e0e0 : 0x303840; }
};

class X11Painter final : public Painter {
 public:
  explicit X11Painter(const test::XServer& server) : server_(server) {}
  void paint(Kind kind, int step) override {
    const Rect r = area(kind, step);
    server_.fill(int(r.x), int(r.y), int(r.width), int(r.height), colour(step));
  }

 private:
  const test::XServer& server_;
};

class GnomePainter final : public Painter {
 public:
  explicit GnomePainter(test::WaylandTestWindow& window) : window_(window) {}
  void paint(Kind kind, int step) override {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06x", colour(step));
    const Rect r = area(kind, step);
    if (kind == Kind::text) {
      window_.send(std::string("rect ") + hex + " " + std::to_string(int(r.x)) + " " +
                   std::to_string(int(r.y)) + " " + std::to_string(int(r.width)) + " " +
                   std::to_string(int(r.height)));
    } else {
      window_.send(std::string("color ") + hex);
    }
    if (!window_.expect(std::string("painted ") + hex)) {
      throw std::runtime_error("the window did not paint " + std::string(hex));
    }
  }

 private:
  test::WaylandTestWindow& window_;
};

struct Frame {
  double at;
  std::vector<Rect> regions;  // empty: the whole layer
};

asio::awaitable<void> record(std::shared_ptr<ClientConnection> client, std::vector<Frame>* frames) {
  for (;;) {
    HostMessage m = co_await client->next();
    if (!m.frame) continue;
    client->send({{"t", "ack"}, {"id", m.json.at("id")}});
    Frame frame{uptimeSeconds(), {}};
    if (m.json.at("k") == "patch") {
      for (const auto& entry : m.json.at("r").as_array()) {
        const auto& r = entry.as_array();
        frame.regions.push_back({double(r[0].to_number<long long>()), double(r[1].to_number<long long>()),
                                 double(r[2].to_number<long long>()), double(r[3].to_number<long long>())});
      }
    }
    frames->push_back(std::move(frame));
  }
}

void desktopChangeLatency(benchmark::State& state, Desktop desktop, Kind kind) {
  std::unique_ptr<test::XServer> xserver;
  std::unique_ptr<test::GnomeSession> session;
  std::unique_ptr<test::WaylandTestWindow> window;
  std::unique_ptr<Painter> painter;
  std::unique_ptr<bench::HostProcess> host;
  if (desktop == Desktop::x11) {
    xserver = std::make_unique<test::XServer>("1280x800x24");
    painter = std::make_unique<X11Painter>(*xserver);
    host = std::make_unique<bench::HostProcess>(xserver->display());
  } else {
    session = std::make_unique<test::GnomeSession>();
    window = std::make_unique<test::WaylandTestWindow>(*session, "2060c0");  // neither colour below
    painter = std::make_unique<GnomePainter>(*window);
    std::vector<std::string> environment;
    for (const auto& [name, value] : session->environment()) {
      environment.push_back(value ? name + "=" + *value : name);
    }
    host = std::make_unique<bench::HostProcess>("", "", environment);
  }
  asio::io_context io;
  auto client = bench::connectTo(io, *host, {"patch"});
  std::vector<Frame> frames;
  std::vector<std::pair<double, Rect>> changes;
  double idleCpu = 0, idleSeconds = 0, changeCpu = 0, changeSeconds = 0;
  for (auto _ : state) {
    asio::co_spawn(io, record(client, &frames), [](std::exception_ptr) {});
    std::thread changer([&] {
      std::this_thread::sleep_for(2s);  // the first image and its sharp pass
      const double idleFrom = uptimeSeconds(), cpuFrom = host->cpuSeconds();
      std::this_thread::sleep_for(kIdle);
      idleSeconds = uptimeSeconds() - idleFrom;
      idleCpu = host->cpuSeconds() - cpuFrom;
      const double from = uptimeSeconds(), cpu = host->cpuSeconds();
      for (int step = 0; step < kChanges; ++step) {
        const auto next = std::chrono::steady_clock::now() + kSpacing;
        // From the request: a compositor may show the frame (and the host send it) before
        // the painting client hears that it was shown.
        const double at = uptimeSeconds();
        painter->paint(kind, step);
        changes.emplace_back(at, Painter::area(kind, step));
        std::this_thread::sleep_until(next);
      }
      changeSeconds = uptimeSeconds() - from;
      changeCpu = host->cpuSeconds() - cpu;
      asio::post(io, [client] { client->close(); });
    });
    io.run();
    changer.join();
  }
  std::vector<double> ms;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const auto [at, area] = changes[i];
    const double next = i + 1 < changes.size() ? changes[i + 1].first : at + 0.7;
    if (std::getenv("NIMBREL_BENCH_TRACE")) {
      std::fprintf(stderr, "change %zu at %.3f (%g,%g %gx%g)\n", i, at, area.x, area.y, area.width, area.height);
      for (const Frame& f : frames) {
        if (f.at < at || f.at >= next) continue;
        std::fprintf(stderr, "  +%.1f ms:", (f.at - at) * 1000);
        for (const Rect& r : f.regions) std::fprintf(stderr, " %g,%g %gx%g", r.x, r.y, r.width, r.height);
        std::fprintf(stderr, "%s\n", f.regions.empty() ? " whole" : "");
      }
    }
    for (const Frame& f : frames) {
      if (f.at < at || f.at >= next) continue;
      const bool covers = f.regions.empty() ||
                          std::any_of(f.regions.begin(), f.regions.end(),
                                      [&](const Rect& r) { return r.intersects(area); });
      if (covers) {
        ms.push_back((f.at - at) * 1000);
        break;
      }
    }
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
  }
  state.counters["answered"] = double(ms.size());
  const double idleRate = idleSeconds > 0 ? idleCpu / idleSeconds : 0;
  state.counters["cpu_idle_pct"] = idleRate * 100;
  state.counters["cpu_ms_change"] =
      std::max(0.0, changeCpu - idleRate * changeSeconds) * 1000 / kChanges;
}

void e2e_desktop_change_latency(benchmark::State& state) {
  desktopChangeLatency(state, static_cast<Desktop>(state.range(0)), static_cast<Kind>(state.range(1)));
}
BENCHMARK(e2e_desktop_change_latency)
    ->ArgNames({"gnome", "screen"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace nimbrel
