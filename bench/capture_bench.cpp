// X11 capture: from a change drawn by another client to the frame that holds it, for a whole
// monitor of each size (the damage event, one MIT-SHM grab of the monitor, the hand-over).

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <thread>

#include "capture/x11_capture_source.hpp"
#include "xvfb_server.hpp"

namespace nimbrel {
namespace {

namespace asio = boost::asio;

template <typename T>
T await(asio::io_context& io, asio::awaitable<T> task) {
  auto future = asio::co_spawn(io, std::move(task), asio::use_future);
  io.run();
  io.restart();
  return future.get();
}

void captureGrab(benchmark::State& state, int width, int height) {
  bench::XvfbServer server(std::to_string(width) + "x" + std::to_string(height) + "x24");
  asio::io_context io;
  // No rate limit here: each grab is timed on its own.
  X11CaptureSource source({.display = server.display(), .maxFrameRate = 100000});
  const auto monitor = await(io, source.monitors()).front();
  await(io, source.start(monitor));

  xcb_connection_t* c = xcb_connect(server.display().c_str(), nullptr);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t colour = 0x102030;
  xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND, &colour);

  auto waitForNewerThan = [&](std::uint64_t sequence) {
    for (;;) {
      if (auto update = source.latest(); update && update->frame.sequence > sequence) {
        return update->frame.sequence;
      }
      std::this_thread::yield();
    }
  };
  std::uint64_t sequence = waitForNewerThan(0);
  int step = 0;
  for (auto _ : state) {
    colour = 0x102030 + static_cast<std::uint32_t>(step) * 0x010101;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t r{static_cast<std::int16_t>((step * 37) % (width - 64)),
                            static_cast<std::int16_t>((step * 23) % (height - 64)), 64, 64};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
    xcb_flush(c);
    sequence = waitForNewerThan(sequence);
    ++step;
  }
  xcb_disconnect(c);
  await(io, source.stop());
}
const bool registered = [] {
  for (auto [width, height] : {std::pair{1920, 1080}, {2880, 1800}}) {
    benchmark::RegisterBenchmark(
        ("capture_grab/" + std::to_string(width) + "x" + std::to_string(height)).c_str(),
        [width = width, height = height](benchmark::State& state) { captureGrab(state, width, height); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace
}  // namespace nimbrel
