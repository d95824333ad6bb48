#include "stream/frame_policy.hpp"

#include <algorithm>
#include <ostream>

namespace nimbrel {
namespace {

const NRect kWhole{0, 0, 1, 1};

using Action = LayerStep::Action;

struct Pace {
  double interval;  // least time between two updates of a layer's pending changes
  double idle;      // time since the screen last changed
};

// Updates a kept layer: its pending changes once the interval allows, or else, once the
// screen is still, its blurred areas. Changes that wait for the interval end the iteration when
// it is over, and new frames need not wake the loop before then: they add to what waits.
void planKept(FramePlan& plan, LayerKind kind, const Layer& layer, double now, Pace pace,
              const FrameTuning& tuning) {
  if (!layer.pending.empty()) {
    const double due = layer.lastUpdate + pace.interval;
    if (now >= due) {
      plan.steps.push_back({Action::update, kind});
    } else {
      plan.period = std::min(plan.period, due - now);
      plan.wakeOnFrame = false;
    }
  } else if (pace.idle > tuning.sharpenAfter && !layer.unsharp.empty()) {
    plan.steps.push_back({Action::sharpen, kind});
  }
}

void planFullView(FramePlan& plan, const FrameState& s, Pace pace, const FrameTuning& tuning) {
  if (s.roi) plan.steps.push_back({Action::drop, LayerKind::roi});
  const Rect box = kWhole.pixelRect(static_cast<int>(s.frameSize.width),
                                    static_cast<int>(s.frameSize.height));
  const Size want = layerImageSize(
      plannedLayerSize(kWhole, box, ScaleRule{s.view, s.viewPx, s.scale, s.profile->maxPx, false}));
  const double ratio = s.full ? s.full->plannedSize.width / want.width : 1.0;
  const bool outOfBand = ratio < tuning.keepBandLow || ratio > tuning.keepBandHigh;
  if (s.full && (s.full->background || outOfBand)) {
    plan.fullRebase = FullRebaseReason{s.full->background, s.full->plannedSize, want};
  }
  if (!s.full || s.full->background || s.full->monitor != s.monitor || outOfBand) {
    plan.steps.push_back({Action::rebase, LayerKind::full, kWhole, false});
  } else {
    planKept(plan, LayerKind::full, *s.full, s.now, pace, tuning);
  }
}

bool keepsRoi(const FrameState& s, const FrameTuning& tuning) {
  if (!s.roi || s.roi->monitor != s.monitor) return false;
  const NRect& r = s.roi->rect;
  const NRect& v = s.view;
  const double slack = tuning.roiSlack;
  const bool inside = r.x - slack <= v.x && r.y - slack <= v.y && v.x + v.w <= r.x + r.w + slack &&
                      v.y + v.h <= r.y + r.h + slack;
  const double density = (s.viewPx.width / v.w) / s.roi->pxPerUnit;
  return inside && density >= tuning.roiDensityLow && density < tuning.roiDensityHigh;
}

// The zoomed layer first, then the backdrop behind it.
void planZoomed(FramePlan& plan, const FrameState& s, Pace pace, const FrameTuning& tuning) {
  if (keepsRoi(s, tuning)) {
    planKept(plan, LayerKind::roi, *s.roi, s.now, pace, tuning);
  } else {
    plan.steps.push_back({Action::rebase, LayerKind::roi, roiRect(s.view), false});
  }
  if (s.full && s.full->monitor == s.monitor) {
    if (!s.full->background) plan.steps.push_back({Action::background, LayerKind::full});
    // Refreshed at most once per backgroundRefresh, and never sharpened.
    if (!s.full->pending.empty() &&
        s.now - s.full->lastUpdate >= std::max(tuning.backgroundRefresh, pace.interval)) {
      plan.steps.push_back({Action::update, LayerKind::full});
    }
  } else {
    plan.steps.push_back({Action::rebase, LayerKind::full, kWhole, true});
  }
}

}  // namespace

const char* kindName(LayerKind kind) { return kind == LayerKind::full ? "full" : "roi"; }

std::ostream& operator<<(std::ostream& out, const LayerStep& step) {
  static const char* const names[] = {"rebase", "update", "sharpen", "drop", "background"};
  out << names[static_cast<int>(step.action)] << ' ' << kindName(step.layer);
  if (step.action == Action::rebase) {
    out << " (" << step.rect.x << ", " << step.rect.y << ", " << step.rect.w << ", " << step.rect.h
        << ')' << (step.background ? " as background" : "");
  }
  return out;
}

FramePlan planFrame(const FrameState& s, const FrameTuning& tuning) {
  const bool passive = s.now - s.lastPoke >= tuning.passiveAfter;
  const double rate = passive ? s.profile->passiveFPS : s.profile->fps;
  const Pace pace{1 / rate, s.now - s.lastChange};
  FramePlan plan;
  plan.period = std::min(1 / rate, 1 / tuning.minPollRate);
  if (passive && pace.idle > tuning.stillAfter) {
    plan.period = s.framesAnnounced ? tuning.announcedStillPeriod : tuning.stillPeriod;
  }
  if (s.view.w >= tuning.fullView && s.view.h >= tuning.fullView) {
    planFullView(plan, s, pace, tuning);
  } else {
    planZoomed(plan, s, pace, tuning);
  }
  return plan;
}

bool layersSurvive(bool force, bool first, int monitor, int lastMonitor, const Layer* full,
                   Size frameSize) {
  return !force && !first && monitor == lastMonitor && full && full->captureSize == frameSize;
}

Layer afterUpdate(const Layer& before, std::optional<Layer> result, const std::vector<Rect>& rects,
                  bool sharp, double now, bool exact) {
  if (!result) return before;
  if (sharp) {
    result->pending.clear();
    result->unsharp.clear();
    return std::move(*result);
  }
  // Patched (same base): what was sent is blurred until the sharp pass. A rebase from the
  // update already set its own unsharp area.
  if (result->baseID == before.baseID && !exact) {
    result->unsharp.insert(result->unsharp.end(), rects.begin(), rects.end());
  }
  result->pending.clear();
  result->lastUpdate = now;
  return std::move(*result);
}

int layerQuality(int quality, bool background, bool sharp, const StreamProfile& profile,
                 const FrameTuning& tuning) {
  if (sharp) return profile.sharpQ;
  return background ? std::max(quality - tuning.backgroundQualityDrop, profile.qmin) : quality;
}

bool windowFull(std::size_t inflight, const FrameTuning& tuning) {
  return inflight >= tuning.window;
}

bool frameLost(double sent, double now, const FrameTuning& tuning) {
  return sent < now - tuning.lostAfter;
}

bool statsDue(double now, double last, const FrameTuning& tuning) {
  return now - last >= tuning.statsInterval;
}

}  // namespace nimbrel
