#pragma once

#include <string_view>

namespace nimbrel {

struct StreamProfile {
  double fps;         // frame rate while the user is active
  double passiveFPS;  // once 3 s have passed since the last client input
  int qmin;           // adaptation's quality range
  int qmax;
  int sharpQ;         // quality of sharp refinement passes
  double maxScale;    // upper bound of the adaptive scale
  double maxPx;       // most pixels a layer image may have
};

// "low", "auto" or "high"; any other name gives "auto".
const StreamProfile& streamProfileNamed(std::string_view name);

}  // namespace nimbrel
