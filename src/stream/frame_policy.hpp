#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <vector>

#include "base/geometry_types.hpp"
#include "stream/geometry.hpp"
#include "stream/layer.hpp"
#include "stream/stream_profile.hpp"

namespace nimbrel {

// Every number the streamer's frame loop decides by, with the reason for it.
struct FrameTuning {
  // ---- pacing ----
  // Seconds without client input or a stream command before the loop drops from the
  // profile's frame rate to its passive rate: nobody is watching closely any more.
  double passiveAfter = 3.0;
  // The loop looks for changes at least this many times a second even when the frame rate is
  // lower, so that a change is noticed within 1/15 s once the rate allows sending it.
  double minPollRate = 15;
  // Passive and the screen unchanged for `stillAfter` seconds: the loop looks only every
  // `stillPeriod` seconds (8 times a second), which keeps an idle session cheap.
  double stillAfter = 2.0;
  double stillPeriod = 0.125;
  // The same when the source announces its frames: a change wakes the loop anyway, so it looks
  // only as often as the statistics go out.
  double announcedStillPeriod = 1.0;
  // The screen unchanged this long: areas sent blurred get their sharp pass. Short enough to
  // feel immediate once scrolling stops, long enough not to sharpen every frame of a motion.
  double sharpenAfter = 0.45;
  // A background full layer (the backdrop of a zoomed view) takes changes at most this often:
  // it is mostly hidden, and each refresh encodes the whole screen.
  double backgroundRefresh = 1.0;

  // ---- view and layers ----
  // A view at least this wide and this high is shown by the full layer alone: zooming in by a
  // few percent is not worth a second layer.
  double fullView = 0.97;
  // The full layer is kept while the width it was planned at over the width wanted now stays
  // in [keepBandLow, keepBandHigh]: small steps of the adaptive scale or of the client's size
  // do not cost a rebase. Wider upwards, since a sharper layer than needed only costs bytes.
  double keepBandLow = 0.92;
  double keepBandHigh = 1.35;
  // The zoomed layer is kept while the view lies inside its region, give or take this much
  // for the rounding of the client's numbers...
  double roiSlack = 0.001;
  // ...and while the client's pixels per unit over the layer's stay in [low, high): zooming in
  // by 25 % or out by more than 20 % rebases it at the new density.
  double roiDensityLow = 0.8;
  double roiDensityHigh = 1.25;

  // ---- updates ----
  // A patch has at most this many regions (more are merged)...
  std::size_t maxRegions = 24;
  // ...covering at most this share of the layer: beyond it one new base image is cheaper and
  // leaves no seams.
  double maxPatchFraction = 0.5;
  // Output pixels added around each changed area: the scaler reads neighbouring pixels
  // (bilinear one, Lanczos three), so a region's edge must be rendered with its surroundings.
  double patchPad = 2;
  double sharpPatchPad = 4;
  // For a client that takes PNG, a patch region up to this many output pixels is scaled as a
  // sharp pass is and, when it has few colours, sent as an exact PNG that needs no sharp pass
  // (text, window chrome). Its pad is then the sharp one.
  double exactRegionMaxPixels = 256 * 256;
  // A background layer is encoded this many quality points lower (never below the profile's
  // qmin): the zoomed layer covers most of what the client sees of it.
  int backgroundQualityDrop = 15;
  // A sharp base image for a client that takes no patches may use this many times the
  // profile's pixel budget, at the profile's best scale: it is sent once per still screen.
  double sharpAreaFactor = 1.4;

  // ---- frame window ----
  // At most this many frames unacknowledged: more would only queue up in the network and add
  // to the latency of everything behind them.
  std::size_t window = 3;
  // One wait for an acknowledgement lasts this long before lost frames are looked for...
  double ackWait = 1.0;
  // ...and a frame unacknowledged for longer than this counts as lost (and costs quality).
  double lostAfter = 3.0;

  // ---- other waits ----
  double captureRetry = 3.0;   // after a capture failure; a command ends it early
  double frameRetry = 0.03;    // when the source has no frame yet
  double statsInterval = 1.0;  // least time between two "stats" messages
};

enum class LayerKind { full, roi };

// "full" or "roi", the layer's name in frame messages.
const char* kindName(LayerKind kind);

// One thing to do with one layer, in the order of the plan.
struct LayerStep {
  enum class Action {
    rebase,      // encode and send a new base image; `rect` and `background` describe it
    update,      // send the layer's pending changes (patches, or a rebase when too much changed)
    sharpen,     // send its blurred areas again, sharp
    drop,        // forget the layer
    background,  // the layer becomes the backdrop of a zoomed view
  };
  Action action;
  LayerKind layer;
  NRect rect{};             // rebase only
  bool background = false;  // rebase only

  bool operator==(const LayerStep&) const = default;
};
std::ostream& operator<<(std::ostream& out, const LayerStep& step);

// What the loop knows when it plans an iteration: its frame is taken, the changes are in the
// layers' pending lists.
struct FrameState {
  double now = 0;         // the iteration's time
  double lastPoke = 0;    // last client input or stream command
  double lastChange = 0;  // last frame with changes (this one included)
  int monitor = 0;        // Monitor.index of the frame
  Size frameSize;         // its pixel size
  NRect view;             // what the client shows...
  Size viewPx;            // ...at this pixel size
  double scale = 1;       // the adaptive scale
  const StreamProfile* profile = nullptr;
  const Layer* full = nullptr;  // none when null
  const Layer* roi = nullptr;
  bool framesAnnounced = false;  // the source wakes the loop for every new frame
};

// Why a full layer that exists is rebased, when it is for its role or size (the rebase
// diagnostics show it).
struct FullRebaseReason {
  bool background = false;
  Size have;  // the size it was planned at
  Size want;  // the size the scale rule gives now

  bool operator==(const FullRebaseReason&) const = default;
};

// One iteration of the loop: its layer steps in order, then the pacing.
struct FramePlan {
  std::vector<LayerStep> steps;
  // The iteration lasts at most this long from its start; the rest of it is spent waiting for
  // a command or, when `wakeOnFrame`, for a new frame, whichever comes first.
  double period = 0;
  bool wakeOnFrame = true;
  std::optional<FullRebaseReason> fullRebase;
};

// The frame loop's decision for an iteration: which layers to rebase, update, sharpen, drop or
// demote, and how long the iteration lasts.
FramePlan planFrame(const FrameState& state, const FrameTuning& tuning = {});

// Whether the layers may stay for a new frame. They go on a forced refresh, on the first
// frame, when the monitor changed and when the frame's size differs from the full layer's.
bool layersSurvive(bool force, bool first, int monitor, int lastMonitor, const Layer* full,
                   Size frameSize);

// What the loop keeps after an update of `before` with `rects` (its pending list, or its
// unsharp list when `sharp`), given what the update returned (nothing: it failed, and the
// layer stays as it was so that the same changes are tried again). `exact`: the update was a
// patch whose every region went out lossless from the sharp scaler, so it needs no sharp pass.
Layer afterUpdate(const Layer& before, std::optional<Layer> result, const std::vector<Rect>& rects,
                  bool sharp, double now, bool exact = false);

// The quality a layer image is encoded with.
int layerQuality(int quality, bool background, bool sharp, const StreamProfile& profile,
                 const FrameTuning& tuning = {});

// Whether capture waits for an acknowledgement first.
bool windowFull(std::size_t inflight, const FrameTuning& tuning = {});

// Whether a frame sent at `sent` and still unacknowledged at `now` is given up as lost.
bool frameLost(double sent, double now, const FrameTuning& tuning = {});

// Whether a "stats" message is due, the last one having gone at `last`.
bool statsDue(double now, double last, const FrameTuning& tuning = {});

}  // namespace nimbrel
