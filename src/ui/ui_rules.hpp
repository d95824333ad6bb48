#pragma once

// What the tray and its windows show, as functions of the controller's snapshot. No Qt here.

#include <string>
#include <vector>

#include "ui/host_snapshot.hpp"

namespace nimbrel::ui {

// True unless a dry run: the display lacks something capture or input needs.
bool needsPermissions(const HostSnapshot& host);

enum class TrayIconState { idle, connected, warning };
TrayIconState trayIconState(const HostSnapshot& host);

struct StatusRow {
  enum class Mark { greenDot, orangeDot, greyDot, device };
  Mark mark = Mark::greyDot;
  std::string text;
  bool operator==(const StatusRow&) const = default;
};

StatusRow localNetworkRow(const HostSnapshot& host);
StatusRow cloudRow(const HostSnapshot& host);
// The local row, the cloud row, then one "Connected: " row per session in order.
std::vector<StatusRow> statusRows(const HostSnapshot& host);

// Which of the menu's conditional items are there.
struct MenuItems {
  bool finishSetup = false;  // "Finish setup: permissions needed"
  bool keepAwake = false;    // the keep-awake toggle
  bool leaveAccount = false; // "Remove from Nimbrel Account…"
  bool operator==(const MenuItems&) const = default;
};
MenuItems menuItems(const HostSnapshot& host);

// What the tray application opens by itself when it starts.
enum class LaunchWindow { none, pairing, setup };
LaunchWindow launchWindow(bool showPairingAsked, const HostSnapshot& host, bool pairedOnce);

// The pairing window's line about the account.
struct AccountLine {
  bool inAccount = false;  // drawn with the green seal
  std::string text;
  bool operator==(const AccountLine&) const = default;
};
AccountLine accountLine(const HostSnapshot& host);

// Which code the pairing window shows: the pairing link for the Nimbrel app, or the browser link
// that opens the web client this computer serves (for a device without the app).
enum class PairingCode { app, browser };
struct PairingView {
  PairingCode code = PairingCode::app;  // the one shown (the app's when no browser link exists)
  std::string title;
  std::string how;         // rich text
  std::string qrText;      // what the QR code encodes, and what Copy copies
  std::string copyLabel;
  std::string switchLabel; // the button to the other code; empty when there is none
  bool accountLine = true; // the account line applies to the app's code only
  bool operator==(const PairingView&) const = default;
};
PairingView pairingView(const HostSnapshot& host, PairingCode wanted);

// Whole device pixels per QR module so that `modules` fit in `targetPixels`; at least 1.
int qrModuleScale(int modules, int targetPixels);

// What the setup window says the desktop must allow, and for "Allow…" on each step, what it
// lacks and how to get it.
std::string setupIntro(DesktopKind desktop);
std::string screenAccessHelp(DesktopKind desktop);
std::string inputAccessHelp(DesktopKind desktop);

}  // namespace nimbrel::ui
