#include "stream/streamer.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <set>

#include "capture/synthetic_screen_source.hpp"
#include "support/io_runner.hpp"
#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

// The streamer's time in these tests. It stands still until the test lets it run: runUntil(t)
// ends the loop's timed waits one after the other, the clock jumping to each deadline, until
// the loop waits for a moment beyond t or for a command. A test thus sees exactly what the
// loop does in a stretch of its time, however fast or busy the machine is, and never waits
// for real time to pass.
class VirtualClock {
 public:
  static constexpr double kStart = 1000;

  // The loop's strand: runUntil goes through it so that commands posted before take effect
  // first.
  void attach(asio::any_io_executor strand) { strand_ = std::move(strand); }

  double now() const {
    std::lock_guard lock(mutex_);
    return now_;
  }

  // Streamer::Options::timedWait; runs on the streamer's strand.
  asio::awaitable<bool> wait(AsyncEvent& event, std::optional<double> seconds) {
    bool timedOut = false;
    {
      std::lock_guard lock(mutex_);
      std::optional<double> deadline;
      if (seconds) deadline = now_ + std::max(*seconds, 0.0);
      if (deadline && *deadline <= horizon_ && !event.isSet()) {
        passTo(*deadline);
        timedOut = true;
      } else {
        parked_ = Parked{event.weak_from_this(), deadline};
      }
    }
    if (timedOut) co_return false;
    changed_.notify_all();
    const bool set = co_await event.wait();
    {
      std::lock_guard lock(mutex_);
      parked_.reset();
    }
    changed_.notify_all();
    co_return set;
  }

  // Lets the loop's time run to `t` (seconds after the start) and returns once the loop waits
  // for something later; false if it did not settle within a generous real-time limit.
  [[nodiscard]] bool runUntil(double t) {
    auto through = std::make_shared<std::promise<void>>();
    asio::post(strand_, [through] { through->set_value(); });
    if (through->get_future().wait_for(30s) != std::future_status::ready) return false;
    std::unique_lock lock(mutex_);
    horizon_ = std::max(horizon_, kStart + t);
    asio::post(strand_, [this] { endDueWait(); });
    if (!changed_.wait_for(lock, 30s, [this] { return settled(); })) return false;
    now_ = std::max(now_, horizon_);
    return true;
  }

 private:
  struct Parked {
    std::weak_ptr<AsyncEvent> event;  // weak: a parked wait keeps nothing alive
    std::optional<double> deadline;
  };

  // A wait ends a moment after its deadline, as a real timer does; ending exactly on it would
  // leave the loop's "at least an interval since" comparisons to rounding.
  void passTo(double deadline) { now_ = std::max(now_, deadline + 1e-4); }

  // On the strand, where the parked wait cannot be between registering and waiting.
  void endDueWait() {
    std::shared_ptr<AsyncEvent> due;
    {
      std::lock_guard lock(mutex_);
      if (parked_ && parked_->deadline && *parked_->deadline <= horizon_) {
        passTo(*parked_->deadline);
        due = parked_->event.lock();
      }
    }
    if (due) due->releaseWaiters();
  }

  // The loop waits, for a moment beyond the horizon or for a command only.
  bool settled() const {
    if (!parked_) return false;
    const auto event = parked_->event.lock();
    return event && !event->isSet() && (!parked_->deadline || *parked_->deadline > horizon_);
  }

  asio::any_io_executor strand_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  double now_ = kStart;
  double horizon_ = kStart;
  std::optional<Parked> parked_;
};

struct Sent {
  json::object message;
  Bytes payload;
  double at;                   // the streamer's time when it was sent
  std::size_t framesBefore = 0;  // for a stats message: frames sent before it
};

std::pair<int, int> jpegSize(const Bytes& jpeg) {
  tjhandle handle = tjInitDecompress();
  int w = 0, h = 0, sub = 0, cs = 0;
  tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs);
  tjDestroy(handle);
  return {w, h};
}

// The size of a PNG, from a full decode (so a broken image gives {0, 0}).
std::pair<int, int> pngSize(const Bytes& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return {0, 0};
  image.format = PNG_FORMAT_BGRA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {0, 0};
  return {static_cast<int>(image.width), static_cast<int>(image.height)};
}

constexpr double kStart = VirtualClock::kStart;

// A still, black 5000 x 16 screen or, while `blank` is set, frames of that size that carry no
// pixels at all. Counts the frames it hands out.
class StripSource final : public ScreenSource {
 public:
  StripSource() {
    auto black = std::make_shared<PixelBuffer>(5000, 16);
    std::memset(black->data(), 0, black->bytesPerRow() * 16);
    strip_ = {std::move(black), 5000, 16, 1};
  }

  asio::awaitable<std::vector<Monitor>> monitors() override {
    co_return std::vector<Monitor>{Monitor{}};
  }
  asio::awaitable<void> start(Monitor) override { co_return; }
  asio::awaitable<void> stop() override { co_return; }
  std::optional<FrameUpdate> latest() override {
    const bool first = handedOut_++ == 0;
    if (blank) return FrameUpdate{blank_, {}};
    return FrameUpdate{strip_, first ? std::vector<Rect>{{0, 0, 5000, 16}} : std::vector<Rect>{}};
  }

  int handedOut() const { return handedOut_; }
  const PixelBuffer& pixels() const { return *strip_.pixelBuffer; }

  std::atomic<bool> blank{false};

 private:
  CapturedFrame strip_;
  CapturedFrame blank_{std::make_shared<PixelBuffer>(0, 0), 5000, 16, 2};
  std::atomic<int> handedOut_{0};
};

// A 640 x 400 screen that changes only when the test says so, and tells its listener at once,
// as the X11 source does when it has captured a change.
class AnnouncingSource final : public ScreenSource {
 public:
  AnnouncingSource() {
    auto grey = std::make_shared<PixelBuffer>(640, 400);
    std::memset(grey->data(), 0x40, grey->bytesPerRow() * 400);
    frame_ = {std::move(grey), 640, 400, 1};
    dirty_ = {{0, 0, 640, 400}};
  }

  asio::awaitable<std::vector<Monitor>> monitors() override {
    co_return std::vector<Monitor>{Monitor{}};
  }
  asio::awaitable<void> start(Monitor) override { co_return; }
  asio::awaitable<void> stop() override { co_return; }
  std::optional<FrameUpdate> latest() override {
    std::lock_guard lock(mutex_);
    ++looks_;
    return FrameUpdate{frame_, std::exchange(dirty_, {})};
  }
  void setFrameListener(std::function<void()> listener) override {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
  }
  bool announcesFrames() const override { return true; }
  int looks() {
    std::lock_guard lock(mutex_);
    return looks_;
  }

  // A new frame in which `r` is white.
  void paint(const Rect& r) {
    std::function<void()> listener;
    {
      std::lock_guard lock(mutex_);
      auto pixels = std::make_shared<PixelBuffer>(640, 400);
      std::memcpy(pixels->data(), frame_.pixelBuffer->data(), pixels->bytesPerRow() * 400);
      for (int y = static_cast<int>(r.y); y < static_cast<int>(r.y + r.height); ++y) {
        std::memset(pixels->row(y) + static_cast<int>(r.x) * 4, 0xff, static_cast<std::size_t>(r.width) * 4);
      }
      frame_ = {std::move(pixels), 640, 400, frame_.sequence + 1};
      dirty_.push_back(r);
      listener = listener_;
    }
    if (listener) listener();
  }

 private:
  std::mutex mutex_;
  CapturedFrame frame_;
  std::vector<Rect> dirty_;
  std::function<void()> listener_;
  int looks_ = 0;
};

// A streamer on its own io thread, on a virtual clock, fed by a synthetic screen, whose frames
// and stats are recorded (and acknowledged at once unless told otherwise).
class StreamerTest : public ::testing::Test {
 protected:
  struct Setup {
    bool patches = true;
    ImageFormat format = ImageFormat::jpeg;
    bool png = false;
    bool virtualTime = true;  // false: the streamer's own clock and timers, as in the product
  };

  void start(bool patches = true, SyntheticScreenSource::CursorProvider cursor = {}) {
    startWith(std::make_shared<SyntheticScreenSource>(1600, 1000, std::move(cursor)),
              {.patches = patches});
  }

  void startWith(std::shared_ptr<ScreenSource> source, Setup setup) {
    Streamer::Options options;
    options.patches = setup.patches;
    options.format = setup.format;
    options.png = setup.png;
    options.encodeExecutor = encodePool_.get_executor();
    if (setup.virtualTime) {
      options.clock = [this] { return clock_.now(); };
      options.timedWait = [this](AsyncEvent& event, std::optional<double> seconds) {
        return clock_.wait(event, seconds);
      };
    }
    streamer_ = Streamer::create(
        io_.executor(), source,
        [source]() -> asio::awaitable<Monitor> { co_return (co_await source->monitors()).front(); },
        [this](json::object message, Bytes payload) -> asio::awaitable<void> {
          const long long id = message.at("id").as_int64();
          record(frames_, Sent{std::move(message), std::move(payload), clock_.now()});
          if (autoAck_) streamer_->ack(id);
          co_return;
        },
        [this](json::object message) -> asio::awaitable<void> {
          std::lock_guard lock(mutex_);
          stats_.push_back(Sent{std::move(message), {}, clock_.now(), frames_.size()});
          co_return;
        },
        options);
    clock_.attach(streamer_->executor());
    asio::co_spawn(streamer_->executor(), streamer_->run(),
                   asio::bind_cancellation_slot(stop_.slot(), [](std::exception_ptr) {}));
  }

  void TearDown() override {
    if (streamer_) {
      asio::post(streamer_->executor(), [this] { stop_.emit(asio::cancellation_type::terminal); });
      streamer_->releaseWaiters();
    }
    io_.stop();
    encodePool_.join();
  }

  void record(std::vector<Sent>& list, Sent sent) {
    std::lock_guard lock(mutex_);
    list.push_back(std::move(sent));
    changed_.notify_all();
  }

  // Waits until at least `count` frames were sent (or a generous limit passes).
  std::vector<Sent> framesAfter(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 30s, [&] { return frames_.size() >= count; });
    return frames_;
  }

  // Lets the streamer run until `t` seconds after its start (see VirtualClock).
  [[nodiscard]] bool runUntil(double t) { return clock_.runUntil(t); }

  std::vector<Sent> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::vector<Sent> stats() {
    std::lock_guard lock(mutex_);
    return stats_;
  }

  // The pool outlives the io context: the streamer, freed when the context drops the loop's
  // frames, holds a strand of the pool. The clock, holding a strand of the context, goes
  // before it (the io thread has stopped by then).
  asio::thread_pool encodePool_{1};
  test::IoRunner io_;
  VirtualClock clock_;
  asio::cancellation_signal stop_;
  std::atomic<bool> autoAck_{true};
  std::shared_ptr<Streamer> streamer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Sent> frames_;
  std::vector<Sent> stats_;
};

TEST_F(StreamerTest, FirstAFullBaseImageThenPatchesOfTheMovingSquare) {
  start();
  ASSERT_TRUE(runUntil(0.25));
  const auto sent = frames();
  ASSERT_GE(sent.size(), 6u);
  const json::object& base = sent[0].message;
  EXPECT_EQ(base, json::parse(R"({"k":"full","id":1,"m":0,"x":0.0,"y":0.0,"w":1.0,"h":1.0,
                                  "q":72,"s":0,"bg":0,"fmt":"jpeg"})").as_object());
  EXPECT_EQ(jpegSize(sent[0].payload), (std::pair{1280, 800}));
  for (std::size_t i = 1; i < sent.size(); ++i) {
    const json::object& patch = sent[i].message;
    EXPECT_EQ(patch.at("id").as_int64(), static_cast<long long>(i + 1));
    ASSERT_EQ(patch.at("k"), "patch") << json::serialize(patch);
    EXPECT_EQ(patch.at("layer"), "full");
    EXPECT_EQ(patch.at("base"), 1);
    EXPECT_FALSE(patch.contains("png"));  // the client did not ask for PNG
    // The payload is the regions' images back to back, each exactly its region's size.
    std::size_t offset = 0;
    for (const auto& entry : patch.at("r").as_array()) {
      const auto& r = entry.as_array();
      const auto n = static_cast<std::size_t>(r[4].as_int64());
      ASSERT_LE(offset + n, sent[i].payload.size());
      const Bytes image(sent[i].payload.begin() + offset, sent[i].payload.begin() + offset + n);
      EXPECT_EQ(jpegSize(image), (std::pair{static_cast<int>(r[2].as_int64()),
                                            static_cast<int>(r[3].as_int64())}));
      // The square moves along row 400 of the screen: 320 in the layer.
      EXPECT_LE(r[1].as_int64(), 320 + 8);
      EXPECT_GE(r[1].as_int64() + r[3].as_int64(), 320 + 96 - 8);
      offset += n;
    }
    EXPECT_EQ(offset, sent[i].payload.size());
  }
}

// A client that takes PNG gets the regions of few colours as PNG, listed by index under "png";
// the others stay in the message's format.
TEST_F(StreamerTest, FlatRegionsGoAsPngListedByIndex) {
  startWith(std::make_shared<SyntheticScreenSource>(1600, 1000), {.png = true});
  ASSERT_TRUE(runUntil(0.25));
  int pngRegions = 0;
  for (const Sent& sent : frames()) {
    if (sent.message.at("k") != "patch") {
      EXPECT_EQ(jpegSize(sent.payload), (std::pair{1280, 800}));  // base images never change
      continue;
    }
    std::set<std::int64_t> listed;
    if (const auto* png = sent.message.if_contains("png")) {
      ASSERT_FALSE(png->as_array().empty());
      for (const auto& index : png->as_array()) listed.insert(index.as_int64());
    }
    std::size_t offset = 0;
    const auto& regions = sent.message.at("r").as_array();
    for (std::size_t i = 0; i < regions.size(); ++i) {
      const auto& r = regions[i].as_array();
      const auto n = static_cast<std::size_t>(r[4].as_int64());
      const Bytes image(sent.payload.begin() + offset, sent.payload.begin() + offset + n);
      const std::pair size{static_cast<int>(r[2].as_int64()), static_cast<int>(r[3].as_int64())};
      if (listed.count(static_cast<std::int64_t>(i)) != 0) {
        EXPECT_EQ(pngSize(image), size);
        ++pngRegions;
      } else {
        EXPECT_EQ(jpegSize(image), size);
      }
      offset += n;
    }
  }
  EXPECT_GT(pngRegions, 0);
}

TEST_F(StreamerTest, AtMostThreeFramesUnacknowledgedAndExpiryCosts) {
  autoAck_ = false;
  start();
  ASSERT_TRUE(runUntil(0.5));
  ASSERT_EQ(frames().size(), 3u);  // and no fourth while none is acknowledged
  streamer_->ack(2);
  ASSERT_TRUE(runUntil(0.5));
  ASSERT_EQ(frames().size(), 4u);

  // The other three are never acknowledged: once older than 3 s they expire at the next
  // one-second check, costing 10 quality points each; not before.
  ASSERT_TRUE(runUntil(3.0));
  EXPECT_EQ(frames().size(), 4u);
  ASSERT_TRUE(runUntil(5.0));
  const auto sent = frames();
  // Then the window takes three frames again, and waits.
  ASSERT_EQ(sent.size(), 7u);
  EXPECT_GT(sent[4].at, kStart + 3.0);
  EXPECT_LT(sent[4].at, kStart + 4.2);
  // 72, +2 for the clear round trip of frame 2, -10 for each of the three expired frames.
  for (std::size_t i = 4; i < 7; ++i) EXPECT_EQ(sent[i].message.at("q"), 72 + 2 - 30) << i;
}

TEST_F(StreamerTest, StatsOnceASecondWithSixKeysReportWhatWasSent) {
  start();
  ASSERT_TRUE(runUntil(2.3));
  const auto reports = stats();
  const auto sent = frames();
  ASSERT_EQ(reports.size(), 2u);
  double since = kStart;
  std::size_t framesBefore = 0;
  for (const Sent& report : reports) {
    const json::object& s = report.message;
    EXPECT_EQ(s.size(), 6u);
    EXPECT_EQ(s.at("t"), "stats");
    for (const char* key : {"fps", "kbps", "q", "sc", "rtt"}) EXPECT_TRUE(s.contains(key)) << key;
    const double dt = report.at - since;
    EXPECT_GE(dt, 1.0);
    const std::size_t count = report.framesBefore - framesBefore;
    std::size_t bytes = 0;
    for (std::size_t i = framesBefore; i < report.framesBefore; ++i) {
      bytes += sent[i].payload.size();
    }
    EXPECT_NEAR(s.at("fps").to_number<double>(), count / dt, 0.05 + 1e-9);
    EXPECT_NEAR(s.at("kbps").to_number<double>(), bytes * 8 / 1000.0 / dt, 0.5 + 1e-9);
    EXPECT_GT(s.at("fps").to_number<double>(), 5);
    since = report.at;
    framesBefore = report.framesBefore;
  }
}

TEST_F(StreamerTest, ZoomedViewGetsARoiLayerOverABackground) {
  start();
  ASSERT_TRUE(runUntil(0.1));
  streamer_->setView(0.25, 0.25, 0.5, 0.5, 1280, 800);
  ASSERT_TRUE(runUntil(0.4));
  // Rebased while zoomed: both layers come again, the full one as a backdrop.
  streamer_->refresh();
  ASSERT_TRUE(runUntil(2.9));
  const auto sent = frames();
  std::size_t roiBases = 0, backgrounds = 0, fullPatches = 0;
  double lastFull = 0;
  long long roiQuality = 0;
  for (const Sent& s : sent) {
    const json::object& m = s.message;
    if (m.at("k") == "roi") {
      ++roiBases;
      roiQuality = m.at("q").as_int64();
      EXPECT_NEAR(m.at("x").to_number<double>(), 0.175, 1e-6);
      EXPECT_NEAR(m.at("w").to_number<double>(), 0.65, 1e-6);
    } else if (m.at("k") == "full" && m.at("bg") == 1) {
      ++backgrounds;
      EXPECT_LE(jpegSize(s.payload).first, 1280);
      // Encoded in the same iteration as the roi base, 15 points lower.
      EXPECT_EQ(m.at("q").as_int64(), roiQuality - 15);
    } else if (m.at("k") == "patch" && m.at("layer") == "full" && roiBases > 0) {
      // The backdrop is refreshed at most once a second.
      ++fullPatches;
      EXPECT_GE(s.at - lastFull, 1.0);
    }
    if (m.at("k") == "full" || (m.at("k") == "patch" && m.at("layer") == "full")) lastFull = s.at;
  }
  EXPECT_EQ(roiBases, 2u);
  EXPECT_EQ(backgrounds, 1u);
  EXPECT_GE(fullPatches, 2u);
  // Ids run on across both layers and both shapes; a patch names its layer's last base.
  std::map<std::string, long long> lastBase;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const json::object& m = sent[i].message;
    EXPECT_EQ(m.at("id").as_int64(), static_cast<long long>(i + 1));
    if (m.at("k") == "patch") {
      EXPECT_EQ(m.at("base").as_int64(), lastBase[std::string(m.at("layer").as_string())]);
    } else {
      lastBase[std::string(m.at("k").as_string())] = m.at("id").as_int64();
    }
  }
}

TEST_F(StreamerTest, OneSharpPassPerLayerOnceTheScreenIsStill) {
  start(true, [] { return Point{300, 300}; });  // the square never moves
  ASSERT_TRUE(runUntil(2.5));
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].message.at("s"), 0);
  EXPECT_EQ(sent[1].message.at("s"), 1);
  EXPECT_EQ(sent[1].message.at("k"), "full");  // the whole layer was blurry: a sharp base
  EXPECT_EQ(sent[1].message.at("q"), 90);
  // At the first look after 0.45 s of stillness.
  EXPECT_GT(sent[1].at - sent[0].at, 0.45);
  EXPECT_LT(sent[1].at - sent[0].at, 0.45 + 1.0 / 15);
  // Statistics go on when nothing is sent.
  const auto reports = stats();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].message.at("fps").to_number<double>(), 0.0);
  EXPECT_EQ(reports[1].message.at("kbps"), 0);
}

// A change of few colours reaches a client that takes PNG exact at once: no sharp pass follows
// it (one did before the change, for the first base image).
TEST_F(StreamerTest, AnExactPatchNeedsNoSharpPass) {
  auto corner = std::make_shared<std::atomic<int>>(300);
  startWith(std::make_shared<SyntheticScreenSource>(
                1600, 1000, [corner] { return Point{double(corner->load()), 300}; }),
            {.png = true});
  ASSERT_TRUE(runUntil(1.0));
  ASSERT_EQ(frames().size(), 2u);  // the base image and its sharp pass
  corner->store(340);
  ASSERT_TRUE(runUntil(3.0));
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 3u);
  const json::object& patch = sent[2].message;
  ASSERT_EQ(patch.at("k"), "patch");
  EXPECT_EQ(patch.at("s"), 0);
  ASSERT_TRUE(patch.contains("png")) << json::serialize(patch);
  EXPECT_EQ(patch.at("png").as_array().size(), patch.at("r").as_array().size());
}

TEST_F(StreamerTest, NothingWhileStreamingIsOffAndARebaseWhenItReturns) {
  start();
  streamer_->setEnabled(false);
  ASSERT_TRUE(runUntil(1.0));
  const std::size_t paused = frames().size();
  EXPECT_LE(paused, 1u);  // at most the frame of an iteration begun before the command
  ASSERT_TRUE(runUntil(5.0));
  EXPECT_EQ(frames().size(), paused);
  streamer_->setEnabled(true);
  ASSERT_TRUE(runUntil(5.1));
  const auto sent = frames();
  ASSERT_GT(sent.size(), paused);
  EXPECT_EQ(sent[paused].message.at("k"), "full");
}

TEST_F(StreamerTest, OnTheSystemClockFramesFlowPacedByItsOwnTimers) {
  startWith(std::make_shared<SyntheticScreenSource>(1600, 1000), {.virtualTime = false});
  const auto sent = framesAfter(4);
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0].message.at("k"), "full");
  for (std::size_t i = 1; i < sent.size(); ++i) EXPECT_EQ(sent[i].message.at("k"), "patch");
}

TEST_F(StreamerTest, EachReasonForAnEncodeFailureIsLoggedOnce) {
  test::LogCapture log;
  auto source = std::make_shared<StripSource>();
  startWith(source, {.format = ImageFormat::heic});
  ASSERT_TRUE(runUntil(0.1));
  ASSERT_EQ(frames().size(), 1u);  // the strip at the client's width of 1280 pixels

  // The client asks for every pixel: a 5000 x 16 image, which x265 refuses, on every frame.
  streamer_->setView(0, 0, 1, 1, 8192, 64);
  ASSERT_TRUE(runUntil(1.0));
  const int refusals = source->handedOut();
  // Then frames with nothing in them, then the strip again.
  source->blank = true;
  ASSERT_TRUE(runUntil(2.0));
  const int blanks = source->handedOut() - refusals;
  source->blank = false;
  ASSERT_TRUE(runUntil(3.0));
  EXPECT_GE(refusals, 10);
  EXPECT_GE(blanks, 10);
  EXPECT_GE(source->handedOut() - refusals - blanks, 10);
  EXPECT_EQ(frames().size(), 1u);

  // The encoder's own words for the two.
  FrameEncoder encoder;
  const Rect whole{0, 0, 5000, 16};
  const std::string refused = encoder.encodeFrame(source->pixels(), whole, {5000, 16}, 72, false,
                                                  std::nullopt, ImageFormat::heic).error();
  const std::string empty = encoder.encodeFrame(PixelBuffer(0, 0), whole, {5000, 16}, 72, false,
                                                std::nullopt, ImageFormat::heic).error();
  ASSERT_FALSE(refused.empty());
  ASSERT_NE(refused, empty);
  std::vector<std::string> failures;
  for (const std::string& line : log.lines()) {
    if (line.rfind("encoding failed", 0) == 0) failures.push_back(line);
  }
  EXPECT_EQ(failures, (std::vector<std::string>{"encoding failed: " + refused,
                                                "encoding failed: " + empty}));
}

TEST_F(StreamerTest, AClientWithoutPatchesGetsOnlyBaseImages) {
  start(false);
  ASSERT_TRUE(runUntil(0.2));
  const auto sent = frames();
  ASSERT_GE(sent.size(), 5u);
  for (const Sent& s : sent) EXPECT_EQ(s.message.at("k"), "full");
}

// A still screen whose source announces its frames costs one look a second (for the stats),
// not eight.
TEST_F(StreamerTest, AStillAnnouncedScreenIsLookedAtOnceASecond) {
  auto source = std::make_shared<AnnouncingSource>();
  startWith(source, {});
  ASSERT_TRUE(runUntil(5.0));
  const int before = source->looks();
  const std::size_t reports = stats().size();
  ASSERT_TRUE(runUntil(15.0));
  EXPECT_GE(source->looks() - before, 9);
  EXPECT_LE(source->looks() - before, 11);
  EXPECT_GE(stats().size() - reports, 9u);  // the statistics still go out every second
}

// A captured change goes out when the source announces it, not at the loop's next look; the
// layer's interval still holds for a change that follows too closely.
TEST_F(StreamerTest, AnAnnouncedFrameIsSentAtOnceWithinTheLayersInterval) {
  auto source = std::make_shared<AnnouncingSource>();
  startWith(source, {});
  ASSERT_TRUE(runUntil(5.0));  // the base image, then a still, passive screen
  const std::size_t before = frames().size();
  ASSERT_GE(before, 1u);

  source->paint({100, 40, 160, 8});
  const auto first = framesAfter(before + 1);
  ASSERT_EQ(first.size(), before + 1);
  EXPECT_EQ(first.back().message.at("k"), "patch");
  EXPECT_NEAR(first.back().at, kStart + 5.0, 1e-3);  // no time passed: sent on the announcement

  source->paint({300, 200, 40, 40});  // too soon after: waits for the interval
  ASSERT_TRUE(runUntil(5.0));
  EXPECT_EQ(frames().size(), before + 1);
  ASSERT_TRUE(runUntil(6.0));
  const auto second = frames();
  ASSERT_GE(second.size(), before + 2);  // then the sharp pass
  EXPECT_EQ(second[before + 1].message.at("k"), "patch");
  EXPECT_EQ(second[before + 1].message.at("s"), 0);
  EXPECT_GT(second[before + 1].at, kStart + 5.0);
  EXPECT_LE(second[before + 1].at, kStart + 5.0 + 1.0);
}

}  // namespace
}  // namespace nimbrel
