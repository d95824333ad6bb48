#include "ui/host_snapshot.hpp"

#include "app/host_controller.hpp"

namespace nimbrel {

HostSnapshot takeSnapshot(const HostController& controller) {
  const HostConfig& config = controller.config();
  HostSnapshot snapshot;
  snapshot.name = config.name;
  snapshot.listenerState = controller.listenerState();
  snapshot.cloudStatus = controller.cloudStatus();
  snapshot.cloudOn = config.cloud;
  snapshot.enrolled = config.enrolled();
  snapshot.claimCode = controller.claimCode();
  snapshot.account = controller.account();
  snapshot.sessions = controller.sessions();
  snapshot.screenOK = controller.screenRecordingOK();
  snapshot.inputOK = controller.accessibilityOK();
  snapshot.dryRun = controller.options().dryRun;
  snapshot.desktop = controller.desktop();
  snapshot.launchAtLogin = controller.launchAtLogin();
  snapshot.keepAwake = controller.keepAwake();
  snapshot.pairedOnce = controller.pairedOnce();
  snapshot.settingsProblem = controller.settingsProblem();
  snapshot.pairingLink = controller.pairingLink();
  return snapshot;
}

}  // namespace nimbrel
