// Capture of a real X screen: the pixels another client draws, the rectangles that changed,
// silence while nothing changes, RandR monitors, and recovery when the server goes away.

#include <boost/asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <thread>

#include "capture/x11_capture_source.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"
#include "support/x_server.hpp"

namespace nimbrel {
namespace {

using test::IoRunner;
using test::LogCapture;
using test::XServer;

std::uint32_t pixelAt(const FrameUpdate& update, int x, int y) {
  const std::uint8_t* p = update.frame.pixelBuffer->row(y) + x * 4;
  return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

// Polls latest() until `done` holds for an update or the time-out passes.
std::optional<FrameUpdate> waitForUpdate(ScreenSource& source,
                                         const std::function<bool(const FrameUpdate&)>& done,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto update = source.latest(); update && done(*update)) return update;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

bool covers(const std::vector<Rect>& dirty, const Rect& r) {
  for (const Rect& d : dirty) {
    if (d.intersection(r) == r) return true;
  }
  return false;
}

TEST(X11CaptureSourceTest, CapturesWhatAnotherClientDrawsAndOnlyWhenItChanges) {
  XServer server("640x480x24");
  IoRunner io;
  // The X work runs on a worker of its own, never on the io thread.
  boost::asio::thread_pool workers(1);
  X11CaptureSource source({.display = server.display(), .blockingExecutor = workers.get_executor()});
  const auto monitors = io.run(source.monitors());
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].bounds, (Rect{0, 0, 640, 480}));
  EXPECT_TRUE(monitors[0].primary);
  io.run(source.start(monitors[0]));

  auto first = waitForUpdate(source, [](const FrameUpdate&) { return true; });
  ASSERT_TRUE(first);
  EXPECT_EQ(first->frame.width, 640);
  EXPECT_EQ(first->dirty, (std::vector<Rect>{{0, 0, 640, 480}}));

  server.fill(100, 50, 64, 32, 0x3366cc);
  auto drawn = waitForUpdate(source, [&](const FrameUpdate& u) { return u.frame.sequence > first->frame.sequence; });
  ASSERT_TRUE(drawn);
  EXPECT_TRUE(covers(drawn->dirty, {100, 50, 64, 32})) << drawn->dirty.size();
  for (auto [x, y] : {std::pair{100, 50}, {163, 81}, {130, 60}}) {
    EXPECT_EQ(pixelAt(*drawn, x, y), 0x3366ccu) << x << "," << y;
  }
  EXPECT_NE(pixelAt(*drawn, 99, 50), 0x3366ccu);
  EXPECT_NE(pixelAt(*drawn, 164, 82), 0x3366ccu);

  // Nothing changes: no new frame.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto idle = source.latest();
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->frame.sequence, drawn->frame.sequence);
  EXPECT_TRUE(idle->dirty.empty());

  // Starting the same monitor again keeps the stream.
  io.run(source.start(monitors[0]));
  EXPECT_EQ(source.latest()->frame.sequence, drawn->frame.sequence);
  io.run(source.stop());

  // A start that fails keeps the last frame: only a new stream clears it.
  Monitor gone = monitors[0];
  gone.displayID = 12345;
  EXPECT_THROW(io.run(source.start(gone)), CaptureError);
  ASSERT_TRUE(source.latest());
  EXPECT_EQ(source.latest()->frame.sequence, drawn->frame.sequence);
}

TEST(X11CaptureSourceTest, RandrMonitorsComePrimaryFirstThenByLeftEdgeAndCanVanish) {
  XServer server("1200x500x24", XServer::Kind::xorgDummy);
  ASSERT_EQ(server.run("xrandr --setmonitor middle 400/100x500/100+400+0 none"), 0);
  ASSERT_EQ(server.run("xrandr --setmonitor left 400/100x500/100+0+0 none"), 0);
  ASSERT_EQ(server.run("xrandr --setmonitor '*right' 400/100x500/100+800+0 DUMMY0 >/dev/null"), 0);
  const auto monitors = x11Monitors(server.display());
  ASSERT_EQ(monitors.size(), 3u);
  std::vector<std::pair<double, bool>> seen;
  for (const Monitor& m : monitors) {
    seen.emplace_back(m.bounds.x, m.primary);
    EXPECT_EQ(m.bounds.width, 400);
    EXPECT_EQ(m.pixelHeight, 500);
  }
  EXPECT_EQ(seen, (std::vector<std::pair<double, bool>>{{800, true}, {0, false}, {400, false}}));
  EXPECT_EQ(monitors[2].index, 2);

  // Capturing the middle one gives its pixels only.
  IoRunner io;
  X11CaptureSource source({.display = server.display()});
  const Monitor middle = monitors[2];
  io.run(source.start(middle));
  server.fill(450, 10, 20, 20, 0xff0000);
  auto update = waitForUpdate(source, [](const FrameUpdate& u) { return pixelAt(u, 55, 15) == 0xff0000; });
  ASSERT_TRUE(update);
  EXPECT_EQ(update->frame.width, 400);
  EXPECT_NE(pixelAt(*update, 45, 15), 0xff0000u);

  // The monitor goes away: the stream stops with a line, and starting it again fails.
  LogCapture log;
  ASSERT_EQ(server.run("xrandr --delmonitor middle"), 0);
  for (int i = 0; i < 300 && log.lines().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"screen capture stopped: the monitor is gone"}));
  try {
    io.run(source.start(middle));
    ADD_FAILURE() << "a vanished monitor started";
  } catch (const CaptureError& error) {
    EXPECT_EQ(error.kind(), CaptureError::Kind::noDisplay);
  }
}

TEST(X11CaptureSourceTest, RecoversAfterTheServerIsKilledAndStartedAgain) {
  XServer server("320x240x24");
  IoRunner io;
  X11CaptureSource source({.display = server.display()});
  const auto monitor = io.run(source.monitors()).front();
  io.run(source.start(monitor));
  auto before = waitForUpdate(source, [](const FrameUpdate&) { return true; });
  ASSERT_TRUE(before);

  LogCapture log;
  server.kill();
  for (int i = 0; i < 300 && log.lines().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("screen capture stopped: the connection to the X display", 0), 0u) << log.lines()[0];
  // The last frame stays readable.
  EXPECT_EQ(source.latest()->frame.sequence, before->frame.sequence);

  server.restart();
  io.run(source.start(monitor));
  server.fill(0, 0, 10, 10, 0x00ff00);
  auto after = waitForUpdate(source, [](const FrameUpdate& u) { return pixelAt(u, 5, 5) == 0x00ff00; });
  ASSERT_TRUE(after);
  EXPECT_GT(after->frame.sequence, before->frame.sequence);
  io.run(source.stop());
}

}  // namespace
}  // namespace nimbrel
