#include "stream/frame_policy.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace nimbrel {
namespace {

using Action = LayerStep::Action;

const NRect kWhole{0, 0, 1, 1};
const StreamProfile& autoProfile = streamProfileNamed("auto");

// A layer as the loop keeps it after a rebase on a 1600 x 1000 display at `t`.
Layer based(LayerKind kind, const NRect& rect, double t, bool background = false) {
  Layer layer;
  layer.kind = kindName(kind);
  layer.rect = rect;
  layer.box = rect.pixelRect(1600, 1000);
  layer.size = {1280, 800};
  layer.plannedSize = {1280, 800};
  layer.baseID = 1;
  layer.captureSize = {1600, 1000};
  layer.background = background;
  layer.pxPerUnit = 1280;
  layer.lastUpdate = t;
  return layer;
}

// One iteration at t = 100 on a 1600 x 1000 display, the client active and showing all of it
// at 1280 x 800; the screen changed 10 s ago. Cases change what they need.
struct Scenario {
  double now = 100;
  double lastPoke = 99.5;
  double lastChange = 90;
  int monitor = 0;
  Size frameSize{1600, 1000};
  NRect view = kWhole;
  Size viewPx{1280, 800};
  double scale = 1;
  const StreamProfile* profile = &autoProfile;
  std::optional<Layer> full;
  std::optional<Layer> roi;
  bool framesAnnounced = false;

  FrameState state() const {
    FrameState s;
    s.now = now;
    s.lastPoke = lastPoke;
    s.lastChange = lastChange;
    s.monitor = monitor;
    s.frameSize = frameSize;
    s.view = view;
    s.viewPx = viewPx;
    s.scale = scale;
    s.profile = profile;
    s.full = full ? &*full : nullptr;
    s.roi = roi ? &*roi : nullptr;
    s.framesAnnounced = framesAnnounced;
    return s;
  }
};

const NRect kZoom{0.25, 0.25, 0.5, 0.5};  // the middle quarter of the display

// A zoomed view with both layers as the loop leaves them after the zoom: the roi layer over
// roiRect of the view at 2560 client pixels per unit, the full layer as its backdrop.
void zoomed(Scenario& s) {
  s.view = kZoom;
  s.roi = based(LayerKind::roi, roiRect(kZoom), 99.5);
  s.roi->pxPerUnit = 1280 / 0.5;
  s.full = based(LayerKind::full, kWhole, 99.5, true);
}

TEST(FramePolicy, LayerSteps) {
  const LayerStep rebaseFull{Action::rebase, LayerKind::full, kWhole, false};
  const LayerStep updateFull{Action::update, LayerKind::full};
  const LayerStep sharpenFull{Action::sharpen, LayerKind::full};
  const LayerStep rebaseRoi{Action::rebase, LayerKind::roi, roiRect(kZoom), false};
  const LayerStep updateRoi{Action::update, LayerKind::roi};
  const LayerStep sharpenRoi{Action::sharpen, LayerKind::roi};
  const LayerStep backdrop{Action::rebase, LayerKind::full, kWhole, true};
  const LayerStep demote{Action::background, LayerKind::full};
  const LayerStep dropRoi{Action::drop, LayerKind::roi};
  const Rect change{10, 10, 50, 50};

  const struct {
    const char* name;
    std::function<void(Scenario&)> setup;
    std::vector<LayerStep> steps;
  } cases[] = {
      // The full view.
      {"no layer yet", [](Scenario&) {}, {rebaseFull}},
      {"nothing changed, nothing blurred",
       [](Scenario& s) { s.full = based(LayerKind::full, kWhole, 99); },
       {}},
      {"changes, the last update more than a frame interval ago",
       [&](Scenario& s) {
         s.full = based(LayerKind::full, kWhole, 99.9);
         s.full->pending = {change};
       },
       {updateFull}},
      {"changes, but too soon after the last update",
       [&](Scenario& s) {
         s.full = based(LayerKind::full, kWhole, 99.98);
         s.full->pending = {change};
       },
       {}},
      {"passive: changes wait for the passive rate's interval",
       [&](Scenario& s) {
         s.lastPoke = 97;
         s.full = based(LayerKind::full, kWhole, 99.85);
         s.full->pending = {change};
       },
       {}},
      {"passive: changes sent once the passive interval has passed",
       [&](Scenario& s) {
         s.lastPoke = 97;
         s.full = based(LayerKind::full, kWhole, 99.75);
         s.full->pending = {change};
       },
       {updateFull}},
      {"still for longer than the sharpen delay: the blurred areas are sharpened",
       [&](Scenario& s) {
         s.lastChange = 99.5;
         s.full = based(LayerKind::full, kWhole, 99.5);
         s.full->unsharp = {change};
       },
       {sharpenFull}},
      {"still for less than the sharpen delay: not yet",
       [&](Scenario& s) {
         s.lastChange = 99.6;
         s.full = based(LayerKind::full, kWhole, 99.5);
         s.full->unsharp = {change};
       },
       {}},
      {"pending changes go before sharpening",
       [&](Scenario& s) {
         s.lastChange = 90;
         s.full = based(LayerKind::full, kWhole, 99);
         s.full->pending = {change};
         s.full->unsharp = {change};
       },
       {updateFull}},
      {"zoomed out: the backdrop becomes a normal layer again",
       [](Scenario& s) {
         s.full = based(LayerKind::full, kWhole, 99, true);
         s.roi = based(LayerKind::roi, roiRect(kZoom), 99);
       },
       {dropRoi, rebaseFull}},
      {"another monitor",
       [](Scenario& s) {
         s.full = based(LayerKind::full, kWhole, 99);
         s.monitor = 1;
       },
       {rebaseFull}},
      {"a view of 97 % each way is still the full view",
       [](Scenario& s) {
         s.view = {0, 0, 0.97, 0.97};
         s.full = based(LayerKind::full, kWhole, 99);
         s.full->pxPerUnit = 1280 / 0.97;
       },
       {}},
      // The zoomed view.
      {"zooming in: a roi layer over the full layer, which becomes its backdrop",
       [](Scenario& s) {
         s.view = kZoom;
         s.full = based(LayerKind::full, kWhole, 99);
       },
       {rebaseRoi, demote}},
      {"a view of 96 % width is zoomed",
       [](Scenario& s) {
         s.view = {0, 0, 0.96, 1};
         s.full = based(LayerKind::full, kWhole, 99);
       },
       {{Action::rebase, LayerKind::roi, roiRect({0, 0, 0.96, 1}), false}, demote}},
      {"zoomed with no full layer: both are based",
       [](Scenario& s) { s.view = kZoom; },
       {rebaseRoi, backdrop}},
      {"zoomed, full layer of another monitor: both are based",
       [](Scenario& s) {
         zoomed(s);
         s.monitor = 1;
       },
       {rebaseRoi, backdrop}},
      {"zoomed and unchanged", zoomed, {}},
      {"roi changes more than a frame interval after its last update",
       [&](Scenario& s) {
         zoomed(s);
         s.roi->lastUpdate = 99.9;
         s.roi->pending = {change};
       },
       {updateRoi}},
      {"roi still: sharpened",
       [&](Scenario& s) {
         zoomed(s);
         s.roi->unsharp = {change};
       },
       {sharpenRoi}},
      {"the backdrop takes changes once a second...",
       [&](Scenario& s) {
         zoomed(s);
         s.full->lastUpdate = 99;
         s.full->pending = {change};
       },
       {updateFull}},
      {"...not after less, whatever the frame rate",
       [&](Scenario& s) {
         zoomed(s);
         s.full->lastUpdate = 99.05;
         s.full->pending = {change};
       },
       {}},
      {"...and is never sharpened",
       [&](Scenario& s) {
         zoomed(s);
         s.full->unsharp = {change};
       },
       {}},
      {"roi and backdrop both due: roi first",
       [&](Scenario& s) {
         zoomed(s);
         s.roi->pending = {change};
         s.full->lastUpdate = 98;
         s.full->pending = {change};
       },
       {updateRoi, updateFull}},
      {"panning inside the roi layer keeps it",
       [](Scenario& s) {
         zoomed(s);
         s.view = {0.175, 0.175, 0.5, 0.5};
       },
       {}},
      {"panning a little beyond it, within the slack, keeps it",
       [](Scenario& s) {
         zoomed(s);
         s.view = {0.1745, 0.325, 0.5, 0.5};
       },
       {}},
      {"panning out of it rebases it",
       [](Scenario& s) {
         zoomed(s);
         s.view = {0.17, 0.25, 0.5, 0.5};
       },
       {{Action::rebase, LayerKind::roi, roiRect({0.17, 0.25, 0.5, 0.5}), false}}},
      {"zooming in by less than 25 % keeps it",
       [](Scenario& s) {
         zoomed(s);
         s.viewPx = {1280 * 1.249, 800};
       },
       {}},
      {"zooming in by 25 % rebases it",
       [](Scenario& s) {
         zoomed(s);
         s.viewPx = {1280 * 1.25, 800};
       },
       {rebaseRoi}},
      {"zooming out by 20 % keeps it",
       [](Scenario& s) {
         zoomed(s);
         s.viewPx = {1280 * 0.8, 800};
       },
       {}},
      {"zooming out by more than 20 % rebases it",
       [](Scenario& s) {
         zoomed(s);
         s.viewPx = {1280 * 0.79, 800};
       },
       {rebaseRoi}},
      {"roi of another monitor",
       [](Scenario& s) {
         zoomed(s);
         s.full->monitor = 1;
         s.monitor = 1;
       },
       {rebaseRoi}},
  };
  for (const auto& c : cases) {
    Scenario s;
    c.setup(s);
    const FramePlan plan = planFrame(s.state());
    EXPECT_EQ(plan.steps, c.steps) << c.name;
  }
}

TEST(FramePolicy, FullLayerKeptWhileItsSizeStaysInTheBand) {
  // A 2880 x 1800 display shown at 1280 x 800: the full layer was planned at 1280 x 800.
  const struct {
    const char* name;
    Size viewPx;
    double scale;
    bool rebased;
    Size want;
  } cases[] = {
      {"same size", {1280, 800}, 1.0, false, {1280, 800}},
      {"client 5 % larger", {1344, 840}, 1.0, false, {1344, 840}},
      {"client half the size", {640, 400}, 1.0, true, {640, 400}},
      {"scale 0.75 (ratio 1.33)", {1280, 800}, 0.75, false, {960, 600}},
      {"scale 0.7 (ratio 1.43)", {1280, 800}, 0.7, true, {896, 560}},
      {"client 10 % larger (ratio 0.91)", {1408, 880}, 1.0, true, {1408, 880}},
  };
  for (const auto& c : cases) {
    Scenario s;
    s.frameSize = {2880, 1800};
    s.viewPx = c.viewPx;
    s.scale = c.scale;
    s.full = based(LayerKind::full, kWhole, 99);
    s.full->captureSize = s.frameSize;
    const FramePlan plan = planFrame(s.state());
    if (c.rebased) {
      EXPECT_EQ(plan.steps, (std::vector<LayerStep>{{Action::rebase, LayerKind::full, kWhole}}))
          << c.name;
      ASSERT_TRUE(plan.fullRebase) << c.name;
      EXPECT_EQ(*plan.fullRebase, (FullRebaseReason{false, {1280, 800}, c.want})) << c.name;
    } else {
      EXPECT_TRUE(plan.steps.empty()) << c.name;
      EXPECT_FALSE(plan.fullRebase) << c.name;
    }
  }
  // A backdrop is rebased for its role and says so; a missing layer or another monitor needs
  // no reason.
  Scenario s;
  s.full = based(LayerKind::full, kWhole, 99, true);
  EXPECT_EQ(planFrame(s.state()).fullRebase, (FullRebaseReason{true, {1280, 800}, {1280, 800}}));
  s.full->background = false;
  s.monitor = 1;
  EXPECT_FALSE(planFrame(s.state()).fullRebase);
  s.full.reset();
  EXPECT_FALSE(planFrame(s.state()).fullRebase);
}

TEST(FramePolicy, Pacing) {
  const struct {
    const char* name;
    const char* profile;
    double sinceInput;
    double sinceChange;
    double period;
  } cases[] = {
      {"active: the profile's rate", "auto", 0.5, 0.1, 1.0 / 30},
      {"active and still: the same", "auto", 2.9, 10, 1.0 / 30},
      {"passive at 5 fps: still polled 15 times a second", "auto", 3.0, 0.1, 1.0 / 15},
      {"passive and unchanged for 2 s: polled at its slowest", "auto", 3.0, 2.01, 0.125},
      {"passive, unchanged exactly 2 s: not yet", "auto", 3.0, 2.0, 1.0 / 15},
      {"high profile, active", "high", 0, 0, 1.0 / 45},
      {"high profile, passive: its passive rate is high too", "high", 5, 0, 1.0 / 45},
      {"low profile: polled 15 times a second", "low", 0, 0, 1.0 / 15},
  };
  // A source that announces its frames: once a second when passive and still, else the same.
  for (const auto& c : cases) {
    Scenario s;
    s.profile = &streamProfileNamed(c.profile);
    s.lastPoke = s.now - c.sinceInput;
    s.lastChange = s.now - c.sinceChange;
    s.full = based(LayerKind::full, kWhole, 99);
    s.framesAnnounced = true;
    EXPECT_DOUBLE_EQ(planFrame(s.state()).period, c.period == 0.125 ? 1.0 : c.period) << c.name;
  }
  for (const auto& c : cases) {
    Scenario s;
    s.profile = &streamProfileNamed(c.profile);
    s.lastPoke = s.now - c.sinceInput;
    s.lastChange = s.now - c.sinceChange;
    s.full = based(LayerKind::full, kWhole, 99);
    EXPECT_DOUBLE_EQ(planFrame(s.state()).period, c.period) << c.name;
  }
}

// New frames wake the loop unless the changes already waiting have to wait for their layer's
// interval; then the iteration ends when that interval is over.
TEST(FramePolicy, WaitingChangesEndTheIterationAtTheirIntervalAndIgnoreNewFrames) {
  const struct {
    const char* name;
    double sinceUpdate;  // of the full layer, whose pending list is not empty
    bool pending;
    double period;
    bool wakeOnFrame;
  } cases[] = {
      {"nothing waits: a frame wakes the loop", 0.01, false, 1.0 / 30, true},
      {"changes wait 10 ms more", 1.0 / 30 - 0.01, true, 0.01, false},
      {"changes just updated wait the whole interval", 0, true, 1.0 / 30, false},
      {"the interval is over: they go now", 1.0 / 30, true, 1.0 / 30, true},
  };
  for (const auto& c : cases) {
    Scenario s;
    s.lastPoke = s.now - 0.5;  // active: 30 a second
    s.lastChange = s.now - 0.01;
    s.full = based(LayerKind::full, kWhole, s.now - c.sinceUpdate);
    if (c.pending) s.full->pending = {{0, 0, 10, 10}};
    const FramePlan plan = planFrame(s.state());
    EXPECT_NEAR(plan.period, c.period, 1e-12) << c.name;
    EXPECT_EQ(plan.wakeOnFrame, c.wakeOnFrame) << c.name;
    EXPECT_EQ(plan.steps.empty(), !(c.pending && c.wakeOnFrame)) << c.name;
  }
}

TEST(FramePolicy, TuningIsHonoured) {
  Scenario s;
  s.lastChange = 99.5;
  s.full = based(LayerKind::full, kWhole, 99.5);
  s.full->unsharp = {{0, 0, 10, 10}};
  FrameTuning patient;
  patient.sharpenAfter = 1.0;
  patient.minPollRate = 50;
  EXPECT_EQ(planFrame(s.state()).steps,
            (std::vector<LayerStep>{{Action::sharpen, LayerKind::full}}));
  const FramePlan plan = planFrame(s.state(), patient);
  EXPECT_TRUE(plan.steps.empty());
  EXPECT_DOUBLE_EQ(plan.period, 1.0 / 50);

  // A 95 % view is zoomed by default, but not where the full view starts at 95 %.
  s.view = {0, 0, 0.95, 0.95};
  FrameTuning wide;
  wide.fullView = 0.95;
  EXPECT_EQ(planFrame(s.state()).steps,
            (std::vector<LayerStep>{{Action::rebase, LayerKind::roi, roiRect(s.view)},
                                    {Action::background, LayerKind::full}}));
  EXPECT_EQ(planFrame(s.state(), wide).steps,
            (std::vector<LayerStep>{{Action::sharpen, LayerKind::full}}));
}

TEST(FramePolicy, LayersSurvive) {
  const Layer full = based(LayerKind::full, kWhole, 99);
  const struct {
    const char* name;
    bool force, first;
    int monitor;
    const Layer* layer;
    Size frameSize;
    bool survive;
  } cases[] = {
      {"an ordinary frame", false, false, 0, &full, {1600, 1000}, true},
      {"a forced refresh", true, false, 0, &full, {1600, 1000}, false},
      {"the first frame", false, true, 0, &full, {1600, 1000}, false},
      {"another monitor", false, false, 1, &full, {1600, 1000}, false},
      {"a new frame size", false, false, 0, &full, {1600, 1001}, false},
      {"no full layer", false, false, 0, nullptr, {1600, 1000}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(layersSurvive(c.force, c.first, c.monitor, 0, c.layer, c.frameSize), c.survive)
        << c.name;
  }
}

TEST(FramePolicy, WhatTheLoopKeepsAfterAnUpdate) {
  const Rect a{0, 0, 10, 10}, b{20, 20, 10, 10}, whole{0, 0, 1600, 1000};
  Layer before = based(LayerKind::full, kWhole, 90);
  before.pending = {a};
  before.unsharp = {b};
  Layer patched = before;  // update returns the layer itself after a patch
  Layer rebased = before;
  rebased.baseID = 7;
  rebased.pending = {};
  rebased.unsharp = {whole};
  rebased.lastUpdate = 95;
  Layer sharpRebase = rebased;
  sharpRebase.unsharp = {};

  const struct {
    const char* name;
    std::optional<Layer> result;
    bool sharp;
    long long baseID;
    std::vector<Rect> pending, unsharp;
    double lastUpdate;
    bool exact = false;
  } cases[] = {
      {"failed: all as it was", std::nullopt, false, 1, {a}, {b}, 90},
      {"failed sharp pass: all as it was", std::nullopt, true, 1, {a}, {b}, 90},
      {"patched: what was sent waits for its sharp pass", patched, false, 1, {}, {b, a}, 100},
      {"rebased: blurred all over, as the rebase left it", rebased, false, 7, {}, {whole}, 100},
      {"sharp patch: nothing left to do", patched, true, 1, {}, {}, 90},
      {"sharp rebase: its own time", sharpRebase, true, 7, {}, {}, 95},
      {"exact patch: only what was blurred before waits", patched, false, 1, {}, {b}, 100, true},
  };
  for (const auto& c : cases) {
    const Layer kept = afterUpdate(before, c.result, c.sharp ? before.unsharp : before.pending,
                                   c.sharp, 100, c.exact);
    EXPECT_EQ(kept.baseID, c.baseID) << c.name;
    EXPECT_EQ(kept.pending, c.pending) << c.name;
    EXPECT_EQ(kept.unsharp, c.unsharp) << c.name;
    EXPECT_EQ(kept.lastUpdate, c.lastUpdate) << c.name;
  }
}

TEST(FramePolicy, QualityWindowAndStats) {
  const StreamProfile& low = streamProfileNamed("low");
  const struct {
    int quality;
    bool background, sharp;
    const StreamProfile* profile;
    int expected;
  } qualities[] = {
      {72, false, false, &autoProfile, 72},  {72, true, false, &autoProfile, 57},
      {45, true, false, &autoProfile, 35},   {72, false, true, &autoProfile, 90},
      {72, true, true, &autoProfile, 90},    {40, true, false, &low, 25},
  };
  for (const auto& c : qualities) {
    EXPECT_EQ(layerQuality(c.quality, c.background, c.sharp, *c.profile), c.expected)
        << c.quality << (c.background ? " background" : "") << (c.sharp ? " sharp" : "");
  }

  // Two frames in flight: capture at once; three: wait for an acknowledgement.
  for (const auto& [inflight, full] : {std::pair{0, false}, {2, false}, {3, true}, {4, true}}) {
    EXPECT_EQ(windowFull(inflight), full) << inflight;
  }
  // Lost only when more than 3 s old.
  for (const auto& [age, lost] : {std::pair{0.5, false}, {3.0, false}, {3.001, true}}) {
    EXPECT_EQ(frameLost(100 - age, 100), lost) << age;
  }
  for (const auto& [since, due] :
       {std::pair{0.0, false}, {0.999, false}, {1.0, true}, {7.0, true}}) {
    EXPECT_EQ(statsDue(100 + since, 100), due) << since;
  }
  FrameTuning wider;
  wider.window = 5;
  wider.lostAfter = 10;
  EXPECT_FALSE(windowFull(4, wider));
  EXPECT_FALSE(frameLost(95, 100, wider));
}

}  // namespace
}  // namespace nimbrel
