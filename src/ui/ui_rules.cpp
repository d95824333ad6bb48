#include "ui/ui_rules.hpp"

#include "app/pairing_link.hpp"

namespace nimbrel::ui {

using Status = CloudLink::Status;

bool needsPermissions(const HostSnapshot& host) {
  return !host.dryRun && (!host.screenOK || !host.inputOK);
}

TrayIconState trayIconState(const HostSnapshot& host) {
  if (needsPermissions(host)) return TrayIconState::warning;
  if (!host.sessions.empty()) return TrayIconState::connected;
  return TrayIconState::idle;
}

StatusRow localNetworkRow(const HostSnapshot& host) {
  if (host.listenerState == "listening") return {StatusRow::Mark::greenDot, "Ready on this network"};
  return {StatusRow::Mark::greyDot, "Local network: " + host.listenerState};
}

StatusRow cloudRow(const HostSnapshot& host) {
  using Mark = StatusRow::Mark;
  switch (host.cloudStatus) {
    case Status::starting:
      return {Mark::greyDot, "Connecting to Nimbrel…"};
    case Status::waitingForClaim:
      return {Mark::greyDot, "Not in an account yet: scan the QR code to reach it from anywhere"};
    case Status::unavailable:
      return {Mark::orangeDot, host.cloudOn ? "Nimbrel Cloud unreachable: home network only"
                                            : "Home network only"};
    case Status::online:
      return {Mark::greenDot, "Reachable from anywhere"};
    case Status::offline:
      return {Mark::greyDot, "Reconnecting to the relay…"};
  }
  return {Mark::greyDot, ""};
}

std::vector<StatusRow> statusRows(const HostSnapshot& host) {
  std::vector<StatusRow> rows{localNetworkRow(host), cloudRow(host)};
  for (const std::string& session : host.sessions) {
    rows.push_back({StatusRow::Mark::device, "Connected: " + session});
  }
  return rows;
}

MenuItems menuItems(const HostSnapshot& host) {
  return {needsPermissions(host), host.enrolled, host.enrolled};
}

LaunchWindow launchWindow(bool showPairingAsked, const HostSnapshot& host, bool pairedOnce) {
  if (showPairingAsked) return LaunchWindow::pairing;
  if (needsPermissions(host)) return LaunchWindow::setup;
  if (host.enrolled || pairedOnce) return LaunchWindow::none;
  return LaunchWindow::pairing;
}

AccountLine accountLine(const HostSnapshot& host) {
  if (host.enrolled) {
    std::string text = "In your Nimbrel account";
    if (!host.account.empty()) text += " (" + host.account + ")";
    return {true, text};
  }
  if (!host.claimCode) {
    return {false,
            "Works on this network. Nimbrel Cloud is unreachable right now, so the code doesn't "
            "add this computer to an account yet."};
  }
  return {false,
          "Scan it while signed in to the Nimbrel app to also add this computer to your account."};
}

PairingView pairingView(const HostSnapshot& host, PairingCode wanted) {
  const std::string browser = browserLink(host.pairingLink);
  if (wanted == PairingCode::browser && !browser.empty()) {
    return {PairingCode::browser,
            "Scan with the camera",
            "Point your phone's or tablet's camera at this code to open Nimbrel in its browser. "
            "It must be on the same network as this computer.",
            browser,
            "Copy Browser Link",
            "Show the code for the Nimbrel app",
            false};
  }
  return {PairingCode::app,
          "Scan with the Nimbrel app",
          "On your phone or tablet, open Nimbrel, tap <b>+</b> and point the camera at this code.",
          host.pairingLink,
          "Copy Pairing Link",
          browser.empty() ? std::string() : std::string("No app? Use the browser instead"),
          true};
}

int qrModuleScale(int modules, int targetPixels) {
  if (modules <= 0) return 1;
  const int scale = targetPixels / modules;
  return scale < 1 ? 1 : scale;
}

std::string setupIntro(DesktopKind desktop) {
  const std::string privacy =
      " Nimbrel only uses them while you're connected from your own devices, and everything is "
      "end-to-end encrypted.";
  if (desktop == DesktopKind::gnomeWayland) {
    return "GNOME lets the programs of your own session show the screen and send input through "
           "its remote-desktop service, without asking." + privacy;
  }
  return "Your X11 display must allow two things: showing the screen and sending input." + privacy;
}

std::string screenAccessHelp(DesktopKind desktop) {
  if (desktop == DesktopKind::gnomeWayland) {
    return "Nimbrel shows this screen through GNOME's remote-desktop service and PipeWire. Make "
           "sure you are logged in to a GNOME session on Wayland and that PipeWire runs "
           "(systemctl --user status pipewire), then relaunch Nimbrel.";
  }
  return "To show this screen, the X server must offer the MIT-SHM and DAMAGE extensions. Log in "
         "to an X11 session (not Wayland), or start the X server with these extensions enabled, "
         "then relaunch Nimbrel.";
}

std::string inputAccessHelp(DesktopKind desktop) {
  if (desktop == DesktopKind::gnomeWayland) {
    return "Nimbrel moves the pointer and presses keys through GNOME's remote-desktop service. "
           "Make sure you are logged in to a GNOME session on Wayland, then relaunch Nimbrel.";
  }
  return "To move the pointer and press keys, the X server must offer the XTEST and XKB "
         "extensions. Log in to an X11 session (not Wayland), or start the X server with these "
         "extensions enabled, then relaunch Nimbrel.";
}

}  // namespace nimbrel::ui
