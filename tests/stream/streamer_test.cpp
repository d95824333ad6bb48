#include "stream/streamer.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <condition_variable>
#include <map>

#include "base/clock.hpp"
#include "capture/synthetic_screen_source.hpp"
#include "support/io_runner.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

struct Sent {
  json::object message;
  Bytes payload;
  double at;
};

std::pair<int, int> jpegSize(const Bytes& jpeg) {
  tjhandle handle = tjInitDecompress();
  int w = 0, h = 0, sub = 0, cs = 0;
  tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs);
  tjDestroy(handle);
  return {w, h};
}

// A streamer on its own io thread, fed by a synthetic screen, whose frames and stats are
// recorded (and acknowledged at once unless told otherwise).
class StreamerTest : public ::testing::Test {
 protected:
  void start(bool patches = true, SyntheticScreenSource::CursorProvider cursor = {}) {
    source_ = std::make_shared<SyntheticScreenSource>(1600, 1000, std::move(cursor));
    Streamer::Options options;
    options.patches = patches;
    options.encodeExecutor = encodePool_.get_executor();
    options.clock = [this] { return uptimeSeconds() + offset_.load(); };
    streamer_ = Streamer::create(
        io_.executor(), source_,
        [source = source_]() -> asio::awaitable<Monitor> { co_return source->monitor(); },
        [this](json::object message, Bytes payload) -> asio::awaitable<void> {
          const long long id = message.at("id").as_int64();
          record(frames_, Sent{std::move(message), std::move(payload), uptimeSeconds()});
          if (autoAck_) streamer_->ack(id);
          co_return;
        },
        [this](json::object message) -> asio::awaitable<void> {
          record(stats_, Sent{std::move(message), {}, uptimeSeconds()});
          co_return;
        },
        options);
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

  // Waits until at least `count` frames were sent (or the limit passes); returns a copy.
  std::vector<Sent> framesAfter(std::size_t count, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return frames_.size() >= count; });
    return frames_;
  }
  std::vector<Sent> stats() {
    std::lock_guard lock(mutex_);
    return stats_;
  }

  // The pool outlives the io context: the streamer, freed when the context drops the loop's
  // frames, holds a strand of the pool.
  asio::thread_pool encodePool_{1};
  test::IoRunner io_;
  asio::cancellation_signal stop_;
  std::atomic<double> offset_{0};
  std::atomic<bool> autoAck_{true};
  std::shared_ptr<SyntheticScreenSource> source_;
  std::shared_ptr<Streamer> streamer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Sent> frames_;
  std::vector<Sent> stats_;
};

TEST_F(StreamerTest, FirstAFullBaseImageThenPatchesOfTheMovingSquare) {
  start();
  const auto sent = framesAfter(6);
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

TEST_F(StreamerTest, AtMostThreeFramesUnacknowledgedAndExpiryCosts) {
  autoAck_ = false;
  start();
  std::this_thread::sleep_for(600ms);
  ASSERT_EQ(framesAfter(3).size(), 3u);  // and no fourth while none is acknowledged
  streamer_->ack(2);
  ASSERT_EQ(framesAfter(4).size(), 4u);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(framesAfter(4).size(), 4u);

  // The other three are never acknowledged: once older than 3 s they expire at the next
  // one-second check, costing 10 quality points each.
  offset_ = 10;
  const auto sent = framesAfter(5, 3s);
  ASSERT_EQ(sent.size(), 5u);
  // 72, +2 for the clear round trip of frame 2, -10 for each of the three expired frames.
  EXPECT_EQ(sent[4].message.at("q"), 72 + 2 - 30);
}

TEST_F(StreamerTest, StatsAtMostOnceASecondWithSixKeys) {
  start();
  std::this_thread::sleep_for(2300ms);
  const auto reports = stats();
  ASSERT_GE(reports.size(), 2u);
  ASSERT_LE(reports.size(), 3u);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const json::object& s = reports[i].message;
    EXPECT_EQ(s.size(), 6u);
    EXPECT_EQ(s.at("t"), "stats");
    for (const char* key : {"fps", "kbps", "q", "sc", "rtt"}) EXPECT_TRUE(s.contains(key)) << key;
    EXPECT_GT(s.at("fps").to_number<double>(), 5);
    if (i > 0) {
      EXPECT_GE(reports[i].at - reports[i - 1].at, 0.95);
    }
  }
}

TEST_F(StreamerTest, ZoomedViewGetsARoiLayerOverABackground) {
  start();
  framesAfter(1);
  streamer_->setView(0.25, 0.25, 0.5, 0.5, 1280, 800);
  std::this_thread::sleep_for(300ms);
  // Rebased while zoomed: both layers come again, the full one as a backdrop.
  streamer_->refresh();
  std::this_thread::sleep_for(1500ms);
  const auto sent = framesAfter(1);
  std::size_t roiBases = 0, backgrounds = 0, fullPatches = 0;
  double lastFullPatch = -10;
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
      EXPECT_GE(s.at - lastFullPatch, 0.95);
      lastFullPatch = s.at;
    }
  }
  EXPECT_EQ(roiBases, 2u);
  EXPECT_EQ(backgrounds, 1u);
  EXPECT_GE(fullPatches, 1u);
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
  std::this_thread::sleep_for(1500ms);
  const auto sent = framesAfter(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].message.at("s"), 0);
  EXPECT_EQ(sent[1].message.at("s"), 1);
  EXPECT_EQ(sent[1].message.at("k"), "full");  // the whole layer was blurry: a sharp base
  EXPECT_EQ(sent[1].message.at("q"), 90);
  EXPECT_GE(sent[1].at - sent[0].at, 0.4);
}

TEST_F(StreamerTest, NothingWhileStreamingIsOffAndARebaseWhenItReturns) {
  streamer_ = nullptr;
  start();
  streamer_->setEnabled(false);
  const std::size_t before = framesAfter(1).size();
  std::this_thread::sleep_for(400ms);
  const std::size_t paused = framesAfter(1).size();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(framesAfter(1).size(), paused);
  EXPECT_LE(paused, before + 1);
  streamer_->setEnabled(true);
  const auto sent = framesAfter(paused + 1);
  ASSERT_GT(sent.size(), paused);
  EXPECT_EQ(sent[paused].message.at("k"), "full");
}

TEST_F(StreamerTest, AClientWithoutPatchesGetsOnlyBaseImages) {
  start(false);
  const auto sent = framesAfter(5);
  ASSERT_GE(sent.size(), 5u);
  for (const Sent& s : sent) EXPECT_EQ(s.message.at("k"), "full");
}

}  // namespace
}  // namespace nimbrel
