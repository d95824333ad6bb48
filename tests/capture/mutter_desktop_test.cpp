// The GNOME Wayland back-end against a real headless GNOME session (mutter, PipeWire): the
// screen as a client window paints it, changes found as tiles, the pointer, clicks, wheel,
// text and keys arriving in that window, the clipboard both ways, two monitors, and the end of
// the session when the compositor goes.

#include <boost/asio/thread_pool.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <regex>
#include <mutex>

#include "capture/mutter_capture_source.hpp"
#include "input/mutter_input.hpp"
#include "platform/mutter_remote_desktop.hpp"
#include "stream/refine_dirty.hpp"
#include "support/gnome_session.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

using namespace std::chrono_literals;
using test::GnomeSession;
using test::IoRunner;
using test::LogCapture;
using test::WaylandTestWindow;

std::uint32_t pixelAt(const FrameUpdate& update, int x, int y) {
  const std::uint8_t* p = update.frame.pixelBuffer->row(y) + x * 4;
  return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

// Waits for frames as the source announces them.
class FrameWaiter {
 public:
  explicit FrameWaiter(ScreenSource& source) : source_(source) {
    source_.setFrameListener([this] {
      const std::lock_guard guard(lock_);
      ++announced_;
      arrived_.notify_all();
    });
  }
  ~FrameWaiter() { source_.setFrameListener(nullptr); }

  // The newest frame for which `done` holds, or nothing within `timeout`.
  std::optional<FrameUpdate> until(const std::function<bool(const FrameUpdate&)>& done,
                                   std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::uint64_t seen;
      {
        const std::lock_guard guard(lock_);
        seen = announced_;
      }
      if (auto update = source_.latest()) {
        if (!last_ || update->frame.sequence != last_->frame.sequence) last_ = update;
        if (done(*last_)) return last_;
      }
      std::unique_lock guard(lock_);
      if (!arrived_.wait_until(guard, deadline, [&] { return announced_ != seen; })) {
        return std::nullopt;
      }
    }
  }

 private:
  ScreenSource& source_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::uint64_t announced_ = 0;
  std::optional<FrameUpdate> last_;
};

std::string joined(const LogCapture& log) {
  std::string all;
  for (const auto& line : log.lines()) all += line + "\n";
  return all;
}

bool logged(const LogCapture& log, const std::string& part) {
  return joined(log).find(part) != std::string::npos;
}

// The first frame of `monitor` for which `done` holds, asking for the monitor again as the
// streamer does while none comes.
std::optional<FrameUpdate> firstFrame(IoRunner& io, ScreenSource& source, const Monitor& monitor,
                                      FrameWaiter& frames,
                                      const std::function<bool(const FrameUpdate&)>& done) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    io.run(source.start(monitor));
    if (auto frame = frames.until(done, 1500ms)) return frame;
  }
  return std::nullopt;
}

struct Desktop {
  GnomeSession session;
  std::shared_ptr<MutterRemoteDesktop> remote;
  boost::asio::thread_pool workers{1};
  IoRunner io;
  std::shared_ptr<MutterCaptureSource> source;
  std::shared_ptr<MutterInput> input;

  explicit Desktop(std::vector<std::string> monitors = {"1280x800"})
      : session(std::move(monitors)) {
    session.enter();
    remote = MutterRemoteDesktop::create();
    source = std::make_shared<MutterCaptureSource>(
        MutterCaptureSource::Options{remote, workers.get_executor()});
    input = std::make_shared<MutterInput>(
        MutterInput::Options{remote, session.waylandDisplay(), 0.4});
  }
  ~Desktop() {
    io.stop();
    source.reset();
    input.reset();
    remote.reset();
  }

  std::vector<Monitor> monitors() { return io.run(source->monitors()); }

  std::optional<FrameUpdate> frameOf(const Monitor& monitor, FrameWaiter& frames,
                                     const std::function<bool(const FrameUpdate&)>& done) {
    return firstFrame(io, *source, monitor, frames, done);
  }

  // Starts the session and waits until the window has heard of its keyboard and pointer, which
  // a headless seat gets only with them.
  void readyFor(WaylandTestWindow& window) {
    remote->ensureStarted();
    ASSERT_TRUE(window.expect("focus in")) << window.transcript() << window.errors();
    ASSERT_TRUE(window.next("pointer in")) << window.transcript();
  }
  void start(const Monitor& monitor) { io.run(source->start(monitor)); }
};

TEST(MutterDesktop, TheScreenAsAWindowPaintsItAndItsChangesAsTiles) {
  Desktop desktop;
  WaylandTestWindow window(desktop.session, "2060c0");
  const auto monitors = desktop.monitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].bounds, (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(monitors[0].pixelWidth, 1280);
  EXPECT_TRUE(monitors[0].primary);

  FrameWaiter frames(*desktop.source);
  auto first = desktop.frameOf(monitors[0], frames,
                               [](const FrameUpdate& u) { return pixelAt(u, 640, 400) == 0x2060c0; });
  ASSERT_TRUE(first) << window.errors();
  EXPECT_EQ(first->frame.width, 1280);
  EXPECT_EQ(first->frame.height, 800);
  // The first frame of a stream is wholly new.
  ASSERT_EQ(first->dirty.size(), 1u);
  EXPECT_EQ(first->dirty[0], (Rect{0, 0, 1280, 800}));

  window.send("rect ff2020 100 100 50 40");
  ASSERT_TRUE(window.expect("painted ff2020")) << window.transcript();
  auto changed = frames.until([](const FrameUpdate& u) { return pixelAt(u, 120, 120) == 0xff2020; });
  ASSERT_TRUE(changed);
  EXPECT_EQ(pixelAt(*changed, 200, 200), 0x2060c0u);
  // The desktop names no damage: the tiles that differ are the change, and nothing else.
  const auto tiles = refineDirty(changed->dirty, *first->frame.pixelBuffer, *changed->frame.pixelBuffer);
  ASSERT_FALSE(tiles.empty());
  for (const Rect& tile : tiles) {
    EXPECT_TRUE(tile.intersects(Rect{100, 100, 50, 40})) << tile.x << "," << tile.y;
    EXPECT_LE(tile.area(), 96.0 * 96.0);
  }
  EXPECT_FALSE(first->frame.sequence == changed->frame.sequence);
}

TEST(MutterDesktop, PointerClicksAndWheelLandWhereSent) {
  Desktop desktop;
  WaylandTestWindow window(desktop.session);
  desktop.readyFor(window);
  std::mutex lock;
  std::vector<Point> heard;
  desktop.input->setPointerListener([&](Point p) {
    const std::lock_guard guard(lock);
    heard.push_back(p);
  });
  desktop.input->move(300, 200);
  desktop.input->button(MouseButton::left, true);
  desktop.input->button(MouseButton::left, false);
  ASSERT_TRUE(window.expect("click 1 300 200")) << window.transcript() << window.errors();
  EXPECT_TRUE(window.expect("release 1 300 200")) << window.transcript();
  EXPECT_EQ(desktop.input->position(), (Point{300, 200}));
  {
    const std::lock_guard guard(lock);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), (Point{300, 200}));
  }

  desktop.input->move(1000, 700);
  desktop.input->button(MouseButton::right, true);
  desktop.input->button(MouseButton::right, false);
  EXPECT_TRUE(window.expect("click 3 1000 700")) << window.transcript();
  // Past the edge: the pointer stays on the desktop.
  desktop.input->move(5000, -40);
  desktop.input->button(MouseButton::middle, true);
  desktop.input->button(MouseButton::middle, false);
  EXPECT_TRUE(window.expect("click 2 1279 0")) << window.transcript();

  // 40 pixels make one wheel click; a client's positive dy scrolls down.
  desktop.input->scroll(0, 40);
  auto scroll = window.next("scroll ");
  ASSERT_TRUE(scroll) << window.transcript();
  EXPECT_THAT(*scroll, ::testing::StartsWith("scroll 0 1")) << *scroll;
}

TEST(MutterDesktop, TextArrivesExactlyEvenUnderCapsLockAndMissingCharactersAreNamed) {
  Desktop desktop;
  WaylandTestWindow window(desktop.session);
  desktop.readyFor(window);
  LogCapture log;
  desktop.input->text("Hello, World! 123\n");
  ASSERT_TRUE(window.expect(R"(text "Hello, World! 123\n")")) << window.transcript() << window.errors();

  window.send("clear");
  ASSERT_TRUE(window.expect(R"(text "")"));
  desktop.input->key("capslock", {}, "press");
  window.send("capslock");
  ASSERT_TRUE(window.expect("capslock on")) << window.transcript();
  desktop.input->text("MiXed case");
  ASSERT_TRUE(window.expect(R"(text "MiXed case")")) << window.transcript();
  // Caps Lock is as the user left it.
  window.send("capslock");
  EXPECT_TRUE(window.expect("capslock on")) << window.transcript();
  desktop.input->key("capslock", {}, "press");

  // The US layout has no é and no smiling face: the rest is typed, and the log says what not.
  window.send("clear");
  ASSERT_TRUE(window.expect(R"(text "")"));
  desktop.input->text("caf\u00e9 \u263a ok");
  ASSERT_TRUE(window.expect(R"(text "caf  ok")")) << window.transcript();
  EXPECT_TRUE(logged(log, "Couldn't type 2 characters that the desktop's keyboard layout lacks"))
      << joined(log);
  EXPECT_TRUE(logged(log, "\u00e9\u263a")) << joined(log);
}

TEST(MutterDesktop, KeysWithModifiersArriveHeldTogether) {
  Desktop desktop;
  WaylandTestWindow window(desktop.session);
  desktop.readyFor(window);
  desktop.input->key("a", {"ctrl"}, "press");
  EXPECT_TRUE(window.expect("key a control")) << window.transcript() << window.errors();
  desktop.input->key("s", {"ctrl", "shift"}, "press");
  EXPECT_TRUE(window.expect("key S shift,control")) << window.transcript();
  desktop.input->key("f5", {}, "press");
  EXPECT_TRUE(window.expect("key F5 -")) << window.transcript();
}

TEST(MutterDesktop, TheClipboardGoesBothWays) {
  Desktop desktop;
  WaylandTestWindow window(desktop.session);
  desktop.readyFor(window);
  window.send("copy \"from the desktop \u00e9\"");
  ASSERT_TRUE(window.expect("copied")) << window.transcript() << window.errors();
  EXPECT_EQ(desktop.input->getClip(), "from the desktop \u00e9");

  desktop.input->setClip("from the phone \u263a");
  EXPECT_TRUE(window.pastes("\"from the phone \u263a\"")) << window.transcript();
  // Ours again after the desktop's own copy took it over.
  EXPECT_EQ(desktop.input->getClip(), "from the phone \u263a");
  window.send(R"(copy "newer")");
  ASSERT_TRUE(window.expect("copied"));
  EXPECT_EQ(desktop.input->getClip(), "newer");
}

TEST(MutterDesktop, TwoMonitorsAreListedAndEitherCanBeShared) {
  Desktop desktop({"1280x800", "800x600"});
  const auto monitors = desktop.monitors();
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(monitors[0].bounds, (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(monitors[1].bounds, (Rect{1280, 0, 800, 600}));
  EXPECT_NE(monitors[0].displayID, monitors[1].displayID);

  FrameWaiter frames(*desktop.source);
  auto second = desktop.frameOf(monitors[1], frames, [](const FrameUpdate&) { return true; });
  ASSERT_TRUE(second);
  EXPECT_EQ(second->frame.width, 800);
  EXPECT_EQ(second->frame.height, 600);

  auto first = desktop.frameOf(monitors[0], frames,
                               [](const FrameUpdate& u) { return u.frame.width == 1280; });
  ASSERT_TRUE(first);
  EXPECT_EQ(first->frame.height, 800);
}

// Any program on the session bus can send signals: ones that look like the bus saying the
// service left (one malformed), or like the session closing, must not end the session or
// crash the host.
TEST(MutterDesktop, SignalsFakedByAnotherPeerOnTheBusChangeNothing) {
  Desktop desktop;
  WaylandTestWindow window(desktop.session);
  desktop.readyFor(window);
  std::atomic<bool> ended{false};
  desktop.remote->setEndListener([&](const std::string&) { ended = true; });
  const std::string sessions = desktop.session.output(
      "gdbus introspect --session --dest org.gnome.Mutter.RemoteDesktop --object-path "
      "/org/gnome/Mutter/RemoteDesktop/Session");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(sessions, match, std::regex("node (\\w+)"))) << sessions;
  const std::string path = "/org/gnome/Mutter/RemoteDesktop/Session/" + match[1].str();
  const std::string fakes[] = {
      "gdbus emit --session --object-path /org/freedesktop/DBus --signal "
      "org.freedesktop.DBus.NameOwnerChanged \"'org.gnome.Mutter.RemoteDesktop'\" "
      "\"':1.999'\" \"''\"",
      "gdbus emit --session --object-path /org/freedesktop/DBus --signal "
      "org.freedesktop.DBus.NameOwnerChanged \"'org.gnome.Mutter.RemoteDesktop'\"",
      "gdbus emit --session --object-path " + path +
          " --signal org.gnome.Mutter.RemoteDesktop.Session.Closed",
  };
  for (const std::string& fake : fakes) EXPECT_EQ(desktop.session.run(fake), 0) << fake;
  // A paste of our text is answered from the signal thread, which hears signals in the order
  // the bus got them: once it is, every fake has been heard.
  desktop.input->setClip("after the fakes");
  EXPECT_TRUE(window.pastes("\"after the fakes\"")) << window.transcript();
  EXPECT_TRUE(desktop.remote->running());
  EXPECT_FALSE(ended.load());
}

TEST(MutterDesktop, ASessionTheCompositorEndsEndsHereAndANewOneStartsAfterARestart) {
  Desktop desktop;
  LogCapture log;
  const auto monitors = desktop.monitors();
  FrameWaiter frames(*desktop.source);
  ASSERT_TRUE(desktop.frameOf(monitors[0], frames, [](const FrameUpdate&) { return true; }));

  std::mutex lock;
  std::condition_variable endedSignal;
  std::optional<std::string> ended;
  desktop.remote->setEndListener([&](const std::string& why) {
    const std::lock_guard guard(lock);
    ended = why;
    endedSignal.notify_all();
  });
  desktop.session.killMutter();
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(endedSignal.wait_for(guard, 15s, [&] { return ended.has_value(); }));
  }
  EXPECT_FALSE(desktop.remote->running());
  // The ended session is not started again behind the user's back.
  EXPECT_THROW(desktop.start(monitors[0]), CaptureError);
  EXPECT_TRUE(logged(log, "The remote-desktop session ended")) << joined(log);
  desktop.input->move(10, 10);  // logged, not thrown
  EXPECT_TRUE(logged(log, "Couldn't send input to the desktop")) << joined(log);

  // A new connection after the compositor is back gets a session of its own.
  desktop.session.restartMutter();
  auto remote = MutterRemoteDesktop::create();
  auto source = std::make_shared<MutterCaptureSource>(
      MutterCaptureSource::Options{remote, desktop.workers.get_executor()});
  const auto again = desktop.io.run(source->monitors());
  ASSERT_EQ(again.size(), 1u);
  FrameWaiter newFrames(*source);
  EXPECT_TRUE(firstFrame(desktop.io, *source, again[0], newFrames,
                         [](const FrameUpdate& u) { return u.frame.width == 1280; }));
}

}  // namespace
}  // namespace nimbrel
