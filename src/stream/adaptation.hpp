#pragma once

#include <boost/json/object.hpp>

#include <deque>

#include "stream/stream_profile.hpp"

namespace nimbrel {

// The two knobs the round trip steers, and what steering them remembers.
struct Adaptation {
  int quality = 72;
  double scale = 1.0;
  double lastAdjust = 0;     // uptime of the last step
  std::deque<double> rtts;   // latest round trips in seconds, oldest first, at most 40

  // One step from a new round-trip sample taken at `now`: 250 ms above the best recent sample
  // is congestion (quality -7, scale -0.1, at most every 0.25 s); within 120 ms of it the link
  // is clear (quality +2, scale +0.05, at most every 0.6 s).
  void adapt(double rtt, double now, const StreamProfile& profile);

  // The cost of a frame that was never acknowledged.
  void penalizeExpiry(const StreamProfile& profile);

  // A new profile: quality into its range, scale no higher than its maxScale.
  void clampTo(const StreamProfile& profile);
};

// The once-a-second "stats" message.
boost::json::object statsMessage(int frames, long long bytes, int quality, double scale,
                                 double rttMs, double seconds);

// Rounds half away from zero to `places` decimals.
double roundTo(double value, int places);

}  // namespace nimbrel
