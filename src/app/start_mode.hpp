#pragma once

#include <string>

#include "platform/system_tray.hpp"

namespace nimbrel {

// How "--auto" starts the host: the tray application when the display has a system tray to
// show its icon in, the headless host otherwise. `line` says which and why, for a person.
struct StartChoice {
  bool tray = false;
  std::string line;
};

StartChoice chooseStartMode(const SystemTrayProbe& probe);

}  // namespace nimbrel
