#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "base/bytes.hpp"
#include "capture/screen_source.hpp"
#include "net/async_event.hpp"
#include "stream/adaptation.hpp"
#include "stream/frame_encoder.hpp"
#include "stream/frame_policy.hpp"
#include "stream/layer.hpp"

namespace nimbrel {

// The per-session engine that keeps the client's picture of the screen current: it takes the
// newest frame and its changes from the source, keeps a full layer (and a sharper roi layer
// while the client is zoomed in), sends each as a base image or as patches, paces itself to the
// profile, refines blurry areas once the screen is still, and captures only while fewer than
// three frames are unacknowledged. What to do with each frame is decided by planFrame
// (frame_policy.hpp); the streamer gathers the state for it and carries the plan out.
//
// An actor: run() and every command execute on the streamer's strand; commands called from
// elsewhere are posted there and take effect between the loop's suspension points. Encodes run
// on their own strand (normally on a worker pool), never on the streamer's.
class Streamer : public std::enable_shared_from_this<Streamer> {
  struct Private {};

 public:
  using SendFrame = std::function<asio::awaitable<void>(boost::json::object, Bytes)>;
  using SendStats = std::function<asio::awaitable<void>(boost::json::object)>;
  using MonitorProvider = std::function<asio::awaitable<Monitor>()>;
  using Clock = std::function<double()>;
  // Waits on `event` for at most `seconds` (none: for as long as it takes) and says whether it
  // was set; a wait may also end early with false, which the loop takes as a time-out. Like
  // AsyncEvent's own waits, a parked wait must not keep the event alive.
  using TimedWait =
      std::function<asio::awaitable<bool>(AsyncEvent& event, std::optional<double> seconds)>;

  struct Options {
    bool patches = true;                   // the client listed "patch"
    ImageFormat format = ImageFormat::jpeg;
    // The client listed "png": small patch regions of 256 colours or fewer go as exact PNG
    // (no sharp pass follows for them), and the patch lists their indexes under "png".
    bool png = false;
    // Where encodes run (the streamer's own executor when empty). Its context must outlive the
    // streamer.
    asio::any_io_executor encodeExecutor;
    Clock clock;                           // uptime seconds; the system's when empty
    // Every wait of the loop, measured on `clock`. Empty: the event's own wait, timed by the
    // system's steady clock, which suits the default clock; a caller with a clock of its own
    // gives a wait that follows it.
    TimedWait timedWait;
    bool debug = false;  // log rebase decisions (also on with NIMBREL_DEBUG_STREAM set)
  };

  static std::shared_ptr<Streamer> create(asio::any_io_executor executor,
                                          std::shared_ptr<ScreenSource> source,
                                          MonitorProvider monitor, SendFrame sendFrame,
                                          SendStats sendStats, Options options);
  Streamer(Private, asio::any_io_executor executor, std::shared_ptr<ScreenSource> source,
           MonitorProvider monitor, SendFrame sendFrame, SendStats sendStats, Options options);

  // The frame loop. Spawn it on executor(); it ends when cancelled, or throws what a send threw.
  asio::awaitable<void> run();

  const asio::any_io_executor& executor() const { return strand_; }

  void setView(double x, double y, double w, double h, double pw, double ph);
  void setEnabled(bool on);
  void setProfile(const std::string& name);
  void refresh();
  void poke();
  void ack(long long id);

  // Wakes every wait of the loop with false (the session's teardown).
  void releaseWaiters();

  // Payload bytes sent since creation.
  long long totalBytes() const { return totalBytes_.load(); }

  // Whether "NIMBREL_DEBUG_STREAM" is in the environment (read once).
  static bool debugFromEnvironment();

 private:
  struct Frame {
    CapturedFrame captured;
    Monitor monitor;
  };

  // What run() keeps from one iteration to the next.
  struct LoopState {
    double lastChange = 0;        // time of the last frame with changes
    int lastMonitorIndex = 0;     // Monitor.index of the previous frame
    std::optional<CapturedFrame> previous;  // the last frame that went through an iteration
    bool first = true;            // no frame has gone through an iteration yet
    bool errorLogged = false;     // the current capture failure has been logged
  };

  double now() const { return clock_(); }
  asio::awaitable<void> iterate(LoopState& loop);
  // Resets `event`, then waits on it (see TimedWait).
  asio::awaitable<bool> waitOn(const std::shared_ptr<AsyncEvent>& event,
                               std::optional<double> seconds);
  asio::awaitable<void> carryOut(const LayerStep& step, const Frame& frame, double now);
  asio::awaitable<std::optional<Layer>> rebase(const std::string& kind, const NRect& rect,
                                               bool background, const Frame& frame);
  // `exact`: set when the update was a patch of exact regions only (see afterUpdate).
  asio::awaitable<std::optional<Layer>> update(Layer layer, const std::vector<Rect>& rects,
                                               bool sharp, const Frame& frame, bool* exact);
  // Runs update for the pending (not sharp) or unsharp (sharp) list and keeps what it returns.
  asio::awaitable<void> updateLayer(std::optional<Layer>& layer, bool sharp, const Frame& frame,
                                    double now);
  // With `flatAsPng` (patch regions of a client that takes PNG), see FrameEncoder.
  asio::awaitable<EncodeResult> encode(const CapturedFrame& frame, const Rect& box, Size size,
                                       int quality, bool sharp, std::optional<Rect> crop,
                                       bool flatAsPng = false);
  // Logs why an encode failed, once per reason.
  void noteEncodeFailure(const std::string& why);
  asio::awaitable<void> send(boost::json::object message, Bytes data);
  asio::awaitable<void> waitForWindow();
  asio::awaitable<void> sendStatsIfDue();
  boost::json::object baseMessage(const std::string& kind, long long id, const Frame& frame,
                                  const Rect& box, int quality, bool sharp, bool background) const;
  Size plannedSize(const NRect& rect, const Rect& box, bool background, double factor,
                   double maxPx) const;

  const asio::any_io_executor strand_;
  const asio::any_io_executor encodeStrand_;
  const std::shared_ptr<ScreenSource> source_;
  const MonitorProvider monitor_;
  const SendFrame sendFrame_;
  const SendStats sendStats_;
  const bool patches_;
  const ImageFormat format_;
  const bool png_;
  const Clock clock_;
  const TimedWait timedWait_;
  const FrameTuning tuning_;
  const bool debug_;
  std::shared_ptr<FrameEncoder> encoder_;  // used only on encodeStrand_
  const std::shared_ptr<AsyncEvent> wake_;
  const std::shared_ptr<AsyncEvent> ackEvent_;

  // On the strand:
  bool enabled_ = true;
  NRect view_;
  Size viewPx_{1280, 800};
  const StreamProfile* profile_;
  Adaptation adaptation_;
  bool force_ = true;
  double lastPoke_;
  long long frameID_ = 0;
  struct Inflight {
    double sent;
    std::size_t bytes;
  };
  std::map<long long, Inflight> inflight_;
  long long bytes_ = 0;
  int frames_ = 0;
  double statsT_;
  double rttMs_ = 0;
  std::atomic<long long> totalBytes_{0};
  std::optional<Layer> full_;
  std::optional<Layer> roi_;
  std::set<std::string> loggedEncodeFailures_;  // reasons already in the log
  bool frameArrived_ = false;  // the source has a frame the loop has not taken yet
  bool wakeOnFrame_ = false;   // the loop is waiting, and a new frame may end the wait
};

}  // namespace nimbrel
