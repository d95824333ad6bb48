#include "stream/streamer.hpp"

// g++ 12 reports Asio's own coroutine frame allocator as mismatched new/delete here (a false
// positive of its coroutine lowering).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <cstdlib>

#include "base/clock.hpp"
#include "base/decimal.hpp"
#include "base/log.hpp"
#include "boost/await_on.hpp"
#include "stream/refine_dirty.hpp"

namespace nimbrel {

namespace json = boost::json;

namespace {

std::string pair(Size s) {
  return "(" + shortestDecimal(s.width) + ", " + shortestDecimal(s.height) + ")";
}

// Built outside the coroutines: g++ 12 mishandles braced JSON initialisers inside them.
json::array regionEntry(const Rect& region, std::size_t bytes) {
  return json::array{static_cast<long long>(region.x), static_cast<long long>(region.y),
                     static_cast<long long>(region.width), static_cast<long long>(region.height),
                     static_cast<long long>(bytes)};
}

json::object patchMessage(long long id, int monitor, const Layer& layer, json::array regions,
                          int quality, bool sharp, ImageFormat format) {
  return {{"k", "patch"}, {"id", id},           {"m", monitor},      {"layer", layer.kind},
          {"base", layer.baseID}, {"r", std::move(regions)}, {"q", quality},
          {"s", sharp ? 1 : 0}, {"fmt", rawValue(format)}};
}

asio::awaitable<bool> cancelled() {
  const auto state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

// One encode, run on the encode strand; holds the encoder and the pixels until it is done.
asio::awaitable<EncodeResult> encodeOn(std::shared_ptr<FrameEncoder> encoder,
                                       std::shared_ptr<const PixelBuffer> pixels, Rect box,
                                       Size size, int quality, bool sharp,
                                       std::optional<Rect> crop, ImageFormat format,
                                       bool flatAsPng) {
  co_return encoder->encodeFrame(*pixels, box, size, quality, sharp, crop, format, flatAsPng);
}

// The encode failures a streamer names in the log: a failing encode tends to fail the same
// way on every frame, so each reason is written once, and a streamer failing for this many
// reasons says so once more and then stops.
constexpr std::size_t kLoggedEncodeFailures = 16;

}  // namespace

bool Streamer::debugFromEnvironment() {
  static const bool on = std::getenv("NIMBREL_DEBUG_STREAM") != nullptr;
  return on;
}

std::shared_ptr<Streamer> Streamer::create(asio::any_io_executor executor,
                                           std::shared_ptr<ScreenSource> source,
                                           MonitorProvider monitor, SendFrame sendFrame,
                                           SendStats sendStats, Options options) {
  return std::make_shared<Streamer>(Private{}, std::move(executor), std::move(source),
                                    std::move(monitor), std::move(sendFrame),
                                    std::move(sendStats), std::move(options));
}

Streamer::Streamer(Private, asio::any_io_executor executor, std::shared_ptr<ScreenSource> source,
                   MonitorProvider monitor, SendFrame sendFrame, SendStats sendStats,
                   Options options)
    : strand_(asio::make_strand(executor)),
      encodeStrand_(asio::make_strand(options.encodeExecutor ? options.encodeExecutor : executor)),
      source_(std::move(source)),
      monitor_(std::move(monitor)),
      sendFrame_(std::move(sendFrame)),
      sendStats_(std::move(sendStats)),
      patches_(options.patches),
      format_(options.format),
      png_(options.png),
      clock_(options.clock ? std::move(options.clock) : Clock(uptimeSeconds)),
      timedWait_(std::move(options.timedWait)),
      debug_(options.debug || debugFromEnvironment()),
      encoder_(std::make_shared<FrameEncoder>()),
      wake_(AsyncEvent::create(executor)),
      ackEvent_(AsyncEvent::create(executor)),
      profile_(&streamProfileNamed("auto")),
      lastPoke_(clock_()),
      statsT_(clock_()) {}

// ---- commands ----

void Streamer::setView(double x, double y, double w, double h, double pw, double ph) {
  asio::post(strand_, [self = shared_from_this(), x, y, w, h, pw, ph] {
    auto size = [](double v) { return v <= 0.01 ? 0.01 : (v > 1.0 ? 1.0 : v); };
    auto origin = [](double v, double limit) {
      if (v <= 0) v = 0;
      return v > limit ? limit : v;
    };
    auto pixels = [](double v) { return v <= 64 ? 64.0 : (v > 8192 ? 8192.0 : v); };
    const double cw = size(w), ch = size(h);
    self->view_ = {origin(x, 1 - cw), origin(y, 1 - ch), cw, ch};
    self->viewPx_ = {pixels(pw), pixels(ph)};
    self->lastPoke_ = self->now();
    self->wake_->set();
  });
}

void Streamer::setEnabled(bool on) {
  asio::post(strand_, [self = shared_from_this(), on] {
    self->enabled_ = on;
    if (on) {
      self->force_ = true;
      self->inflight_.clear();
    }
    self->lastPoke_ = self->now();
    self->wake_->set();
  });
}

void Streamer::setProfile(const std::string& name) {
  asio::post(strand_, [self = shared_from_this(), name] {
    self->profile_ = &streamProfileNamed(name);
    self->adaptation_.clampTo(*self->profile_);
    self->force_ = true;
    self->lastPoke_ = self->now();
    self->wake_->set();
  });
}

void Streamer::refresh() {
  asio::post(strand_, [self = shared_from_this()] {
    self->force_ = true;
    self->lastPoke_ = self->now();
    self->wake_->set();
  });
}

void Streamer::poke() {
  asio::post(strand_, [self = shared_from_this()] {
    self->lastPoke_ = self->now();
    self->wake_->set();
  });
}

void Streamer::ack(long long id) {
  asio::post(strand_, [self = shared_from_this(), id] {
    const auto entry = self->inflight_.find(id);
    std::optional<Inflight> found;
    if (entry != self->inflight_.end()) {
      found = entry->second;
      self->inflight_.erase(entry);
    }
    self->ackEvent_->set();
    if (!found) return;
    const double t = self->now();
    const double rtt = t - found->sent;
    self->rttMs_ = rtt * 1000;
    self->adaptation_.adapt(rtt, t, *self->profile_);
  });
}

void Streamer::releaseWaiters() {
  wake_->releaseWaiters();
  ackEvent_->releaseWaiters();
}

// ---- the loop ----

asio::awaitable<void> Streamer::run() {
  // New frames wake the loop (on the strand), so that a change goes out as soon as it is
  // captured instead of at the next look.
  const std::weak_ptr<Streamer> weak = weak_from_this();
  source_->setFrameListener([weak] {
    auto self = weak.lock();
    if (!self) return;
    asio::post(self->strand_, [weak] {
      auto streamer = weak.lock();
      if (!streamer) return;
      streamer->frameArrived_ = true;
      if (streamer->wakeOnFrame_) streamer->wake_->set();
    });
  });
  struct StopListening {
    std::shared_ptr<ScreenSource> source;  // owned: the frame may outlive the streamer
    ~StopListening() { source->setFrameListener(nullptr); }
  } stopListening{source_};
  LoopState loop;
  loop.lastChange = now();
  while (!co_await cancelled()) co_await iterate(loop);
}

asio::awaitable<bool> Streamer::waitOn(const std::shared_ptr<AsyncEvent>& event,
                                       std::optional<double> seconds) {
  event->reset();
  if (timedWait_) co_return co_await timedWait_(*event, seconds);
  co_return co_await event->wait(seconds);
}

asio::awaitable<void> Streamer::iterate(LoopState& loop) {
  if (!enabled_) {
    co_await waitOn(wake_, std::nullopt);
    co_return;
  }
  co_await waitForWindow();
  if (co_await cancelled()) co_return;
  const double t = now();

  Frame frame;
  frame.monitor = co_await monitor_();
  std::optional<std::string> captureFailure;
  try {
    co_await source_->start(frame.monitor);
  } catch (const std::exception& e) {
    captureFailure = e.what();
  }
  if (captureFailure) {
    if (!loop.errorLogged) logLine("capture unavailable: " + *captureFailure);
    co_await waitOn(wake_, tuning_.captureRetry);
    loop.errorLogged = true;
    co_return;
  }
  frameArrived_ = false;  // what arrives from now on is for the next iteration
  std::optional<FrameUpdate> latest = source_->latest();
  if (!latest) {
    co_await waitOn(wake_, tuning_.frameRetry);
    co_return;
  }
  frame.captured = latest->frame;
  std::vector<Rect> dirty = std::move(latest->dirty);
  if (loop.previous && loop.previous->sequence != frame.captured.sequence && !dirty.empty()) {
    dirty = refineDirty(dirty, *loop.previous->pixelBuffer, *frame.captured.pixelBuffer);
  }

  const Size frameSize{double(frame.captured.width), double(frame.captured.height)};
  if (!layersSurvive(force_, loop.first, frame.monitor.index, loop.lastMonitorIndex,
                     full_ ? &*full_ : nullptr, frameSize)) {
    full_.reset();
    roi_.reset();
  }
  force_ = false;

  if (!dirty.empty()) {
    if (full_) full_->pending.insert(full_->pending.end(), dirty.begin(), dirty.end());
    if (roi_) {
      for (const Rect& r : dirty) {
        if (r.intersects(roi_->box)) roi_->pending.push_back(r);
      }
    }
    loop.lastChange = t;
  }

  FrameState state;
  state.now = t;
  state.lastPoke = lastPoke_;
  state.lastChange = loop.lastChange;
  state.monitor = frame.monitor.index;
  state.frameSize = frameSize;
  state.view = view_;
  state.viewPx = viewPx_;
  state.scale = adaptation_.scale;
  state.profile = profile_;
  state.full = full_ ? &*full_ : nullptr;
  state.roi = roi_ ? &*roi_ : nullptr;
  state.framesAnnounced = source_->announcesFrames();
  const FramePlan plan = planFrame(state, tuning_);
  if (debug_ && plan.fullRebase) {
    logLine(std::string("rebase full: bg=") + (plan.fullRebase->background ? "true" : "false") +
            " have=" + pair(plan.fullRebase->have) + " want=" + pair(plan.fullRebase->want) +
            " scale=" + shortestDecimal(adaptation_.scale));
  }
  for (const LayerStep& step : plan.steps) co_await carryOut(step, frame, t);
  co_await sendStatsIfDue();

  const double elapsed = now() - t;
  // A frame that came while this iteration ran is taken at once, unless its changes have to
  // wait for their layer's interval anyway.
  if (!(plan.wakeOnFrame && frameArrived_) && elapsed < plan.period) {
    wakeOnFrame_ = plan.wakeOnFrame;
    co_await waitOn(wake_, plan.period - elapsed);
    wakeOnFrame_ = false;
  }
  loop.previous = frame.captured;
  loop.lastMonitorIndex = frame.monitor.index;
  loop.first = false;
  loop.errorLogged = false;
}

asio::awaitable<void> Streamer::carryOut(const LayerStep& step, const Frame& frame, double t) {
  std::optional<Layer>& layer = step.layer == LayerKind::full ? full_ : roi_;
  switch (step.action) {
    case LayerStep::Action::rebase:
      layer = co_await rebase(kindName(step.layer), step.rect, step.background, frame);
      break;
    case LayerStep::Action::update:
      co_await updateLayer(layer, false, frame, t);
      break;
    case LayerStep::Action::sharpen:
      co_await updateLayer(layer, true, frame, t);
      break;
    case LayerStep::Action::drop:
      layer.reset();
      break;
    case LayerStep::Action::background:
      if (layer) layer->background = true;
      break;
  }
}

Size Streamer::plannedSize(const NRect& rect, const Rect& box, bool background, double factor,
                           double maxPx) const {
  return plannedLayerSize(rect, box, ScaleRule{view_, viewPx_, factor, maxPx, background});
}

asio::awaitable<std::optional<Layer>> Streamer::rebase(const std::string& kind, const NRect& rect,
                                                       bool background, const Frame& frame) {
  const Rect box = rect.pixelRect(frame.captured.width, frame.captured.height);
  const Size size = layerImageSize(plannedSize(rect, box, background, adaptation_.scale, profile_->maxPx));
  const int quality = layerQuality(adaptation_.quality, background, false, *profile_, tuning_);
  const double pxPerUnit = viewPx_.width / view_.w;
  auto bytes = co_await encode(frame.captured, box, size, quality, false, std::nullopt);
  if (!bytes) co_return std::nullopt;
  const long long id = ++frameID_;
  json::object message = baseMessage(kind, id, frame, box, quality, false, background);
  co_await send(std::move(message), std::move(*bytes));
  Layer layer;  // filled field by field: braced initialisers trip g++ 12 in coroutines
  layer.kind = kind;
  layer.rect = rect;
  layer.box = box;
  layer.size = size;
  layer.plannedSize = size;
  layer.baseID = id;
  layer.monitor = frame.monitor.index;
  layer.captureSize = {double(frame.captured.width), double(frame.captured.height)};
  layer.background = background;
  layer.pxPerUnit = pxPerUnit;
  layer.unsharp.push_back(box);
  layer.lastUpdate = now();
  co_return layer;
}

asio::awaitable<void> Streamer::updateLayer(std::optional<Layer>& layer, bool sharp,
                                            const Frame& frame, double t) {
  const std::vector<Rect> rects = sharp ? layer->unsharp : layer->pending;
  bool exact = false;
  std::optional<Layer> result = co_await update(*layer, rects, sharp, frame, &exact);
  layer = afterUpdate(*layer, std::move(result), rects, sharp, t, exact);
}

asio::awaitable<std::optional<Layer>> Streamer::update(Layer layer, const std::vector<Rect>& rects,
                                                       bool sharp, const Frame& frame,
                                                       bool* exact) {
  const int quality =
      layerQuality(adaptation_.quality, layer.background, sharp, *profile_, tuning_);
  if (patches_) {
    // Regions that may go out exact are scaled as a sharp pass is: they need its pad.
    const auto regions =
        dirtyRegions(rects, layer.box, layer.size, tuning_.maxRegions,
                     sharp || png_ ? tuning_.sharpPatchPad : tuning_.patchPad,
                     tuning_.maxPatchFraction);
    if (regions && !regions->empty()) {
      Bytes payload;
      json::array entries;
      json::array lossless;
      for (const Rect& region : *regions) {
        const bool flatAsPng = png_ && region.area() <= tuning_.exactRegionMaxPixels;
        auto bytes = co_await encode(frame.captured, layer.box, layer.size, quality, sharp,
                                     region, flatAsPng);
        if (!bytes) co_return std::nullopt;
        if (bytes.isLossless()) lossless.push_back(static_cast<long long>(entries.size()));
        entries.push_back(regionEntry(region, bytes->size()));
        payload.insert(payload.end(), bytes->begin(), bytes->end());
      }
      *exact = lossless.size() == entries.size();
      const long long id = ++frameID_;
      json::object message = patchMessage(id, frame.monitor.index, layer, std::move(entries),
                                          quality, sharp, format_);
      if (!lossless.empty()) message["png"] = std::move(lossless);
      co_await send(std::move(message), std::move(payload));
      co_return layer;
    }
    const auto visible = dirtyRegions(rects, layer.box, layer.size, tuning_.maxRegions,
                                      tuning_.patchPad, tuning_.maxPatchFraction);
    if (visible && visible->empty()) co_return layer;  // nothing visible changed
  }

  if (debug_) {
    logLine("rebase " + layer.kind + " from update: sharp=" + (sharp ? "true" : "false") +
            " regions=" + std::to_string(rects.size()));
  }
  const Rect box = layer.rect.pixelRect(frame.captured.width, frame.captured.height);
  const Size planned =
      layerImageSize(plannedSize(layer.rect, box, layer.background, adaptation_.scale, profile_->maxPx));
  Size size = planned;
  if (patches_) {
    size = layer.size;  // the client's canvas keeps its size
  } else if (sharp) {
    size = layerImageSize(plannedSize(layer.rect, box, layer.background, profile_->maxScale,
                                      tuning_.sharpAreaFactor * profile_->maxPx));
  }
  EncodeResult bytes = co_await encode(frame.captured, box, size, quality, sharp, std::nullopt);
  if (!bytes) co_return std::nullopt;
  const long long id = ++frameID_;
  json::object message = baseMessage(layer.kind, id, frame, box, quality, sharp, layer.background);
  co_await send(std::move(message), std::move(*bytes));
  layer.box = box;
  layer.plannedSize = patches_ ? layer.size : planned;
  layer.size = size;
  layer.baseID = id;
  layer.monitor = frame.monitor.index;
  layer.captureSize = {double(frame.captured.width), double(frame.captured.height)};
  layer.pending.clear();
  layer.unsharp.clear();
  if (!sharp) layer.unsharp.push_back(box);
  layer.lastUpdate = now();
  co_return layer;
}

json::object Streamer::baseMessage(const std::string& kind, long long id, const Frame& frame,
                                   const Rect& box, int quality, bool sharp, bool background) const {
  const double w = frame.captured.width;
  const double h = frame.captured.height;
  return {{"k", kind},
          {"id", id},
          {"m", frame.monitor.index},
          {"x", roundTo(box.minX() / w, 6)},
          {"y", roundTo(box.minY() / h, 6)},
          {"w", roundTo(box.width / w, 6)},
          {"h", roundTo(box.height / h, 6)},
          {"q", quality},
          {"s", sharp ? 1 : 0},
          {"bg", background ? 1 : 0},
          {"fmt", rawValue(format_)}};
}

asio::awaitable<EncodeResult> Streamer::encode(const CapturedFrame& frame, const Rect& box,
                                               Size size, int quality, bool sharp,
                                               std::optional<Rect> crop, bool flatAsPng) {
  EncodeResult result = co_await awaitOn(
      encodeStrand_,
      encodeOn(encoder_, frame.pixelBuffer, box, size, quality, sharp, crop, format_, flatAsPng));
  if (!result) noteEncodeFailure(result.error());
  co_return result;
}

void Streamer::noteEncodeFailure(const std::string& why) {
  if (loggedEncodeFailures_.size() >= kLoggedEncodeFailures) return;
  if (!loggedEncodeFailures_.insert(why).second) return;
  logLine("encoding failed: " + why);
  if (loggedEncodeFailures_.size() == kLoggedEncodeFailures) {
    logLine("encoding failed for " + std::to_string(kLoggedEncodeFailures) +
            " reasons; further reasons are not logged");
  }
}

asio::awaitable<void> Streamer::send(json::object message, Bytes data) {
  const json::value* id = message.if_contains("id");
  const long long frameId = id && id->is_int64() ? id->get_int64() : 0;
  Inflight entry;
  entry.sent = now();
  entry.bytes = data.size();
  inflight_[frameId] = entry;
  bytes_ += static_cast<long long>(data.size());
  totalBytes_ += static_cast<long long>(data.size());
  ++frames_;
  co_await sendFrame_(std::move(message), std::move(data));
}

asio::awaitable<void> Streamer::waitForWindow() {
  while (windowFull(inflight_.size(), tuning_) && !co_await cancelled()) {
    if (co_await waitOn(ackEvent_, tuning_.ackWait)) continue;
    const double t = now();
    for (auto it = inflight_.begin(); it != inflight_.end();) {
      if (frameLost(it->second.sent, t, tuning_)) {
        it = inflight_.erase(it);
        adaptation_.penalizeExpiry(*profile_);
      } else {
        ++it;
      }
    }
  }
}

asio::awaitable<void> Streamer::sendStatsIfDue() {
  const double t = now();
  if (!statsDue(t, statsT_, tuning_)) co_return;
  const double dt = t - statsT_;
  json::object message =
      statsMessage(frames_, bytes_, adaptation_.quality, adaptation_.scale, rttMs_, dt);
  bytes_ = 0;
  frames_ = 0;
  statsT_ = t;
  co_await sendStats_(std::move(message));
}

}  // namespace nimbrel
