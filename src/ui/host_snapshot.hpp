#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/desktop_kind.hpp"
#include "cloud/cloud_link.hpp"

namespace nimbrel {

class HostController;

// What the windows show of the controller, copied on its strand in one go so that the UI
// thread reads a consistent picture without ever touching the controller.
struct HostSnapshot {
  std::string name;
  std::string listenerState = "starting";
  CloudLink::Status cloudStatus = CloudLink::Status::starting;
  bool cloudOn = true;
  bool enrolled = false;
  std::optional<std::string> claimCode;
  std::string account;
  std::vector<std::string> sessions;
  bool screenOK = true;      // the display allows capture
  bool inputOK = true;       // the display allows input
  bool dryRun = false;
  DesktopKind desktop = DesktopKind::x11;  // what the setup window explains
  bool launchAtLogin = false;
  bool keepAwake = true;
  bool pairedOnce = false;      // the pairing window has been seen once
  std::string settingsProblem;  // why the last change of a setting was not saved
  std::string pairingLink;   // empty until the first snapshot

  bool operator==(const HostSnapshot&) const = default;
};

// Call on the controller's strand.
HostSnapshot takeSnapshot(const HostController& controller);

}  // namespace nimbrel
