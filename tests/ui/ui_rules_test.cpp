#include "ui/ui_rules.hpp"

#include <gtest/gtest.h>

namespace nimbrel::ui {
namespace {

using Status = CloudLink::Status;
using Mark = StatusRow::Mark;

HostSnapshot host() {
  HostSnapshot snapshot;
  snapshot.name = "Studio";
  snapshot.pairingLink = "nimbrel://pair?v=1";
  return snapshot;
}

TEST(TrayIconRule, FollowsPermissionsThenSessions) {
  struct Case {
    bool dryRun, screenOK, inputOK;
    std::vector<std::string> sessions;
    TrayIconState expected;
  };
  const Case cases[] = {
      {false, true, true, {}, TrayIconState::idle},
      {false, true, true, {"relay"}, TrayIconState::connected},
      {false, false, true, {}, TrayIconState::warning},
      {false, true, false, {"relay"}, TrayIconState::warning},  // the warning wins
      {true, false, false, {}, TrayIconState::idle},            // a dry run never warns
      {true, false, false, {"direct:10.0.0.2"}, TrayIconState::connected},
  };
  for (const Case& c : cases) {
    HostSnapshot snapshot = host();
    snapshot.dryRun = c.dryRun;
    snapshot.screenOK = c.screenOK;
    snapshot.inputOK = c.inputOK;
    snapshot.sessions = c.sessions;
    EXPECT_EQ(trayIconState(snapshot), c.expected)
        << c.dryRun << c.screenOK << c.inputOK << c.sessions.size();
  }
}

TEST(StatusRows, LocalNetworkRowPerListenerState) {
  const std::pair<std::string, StatusRow> cases[] = {
      {"listening", {Mark::greenDot, "Ready on this network"}},
      {"starting", {Mark::greyDot, "Local network: starting"}},
      {"failed: bad port 70000", {Mark::greyDot, "Local network: failed: bad port 70000"}},
      {"Listening", {Mark::greyDot, "Local network: Listening"}},  // exact match only
  };
  for (const auto& [state, expected] : cases) {
    HostSnapshot snapshot = host();
    snapshot.listenerState = state;
    EXPECT_EQ(localNetworkRow(snapshot), expected) << state;
  }
}

TEST(StatusRows, CloudRowPerStatus) {
  struct Case {
    Status status;
    bool cloudOn;
    StatusRow expected;
  };
  const Case cases[] = {
      {Status::starting, true, {Mark::greyDot, "Connecting to Nimbrel…"}},
      {Status::waitingForClaim, true,
       {Mark::greyDot, "Not in an account yet: scan the QR code to reach it from anywhere"}},
      {Status::unavailable, true, {Mark::orangeDot, "Nimbrel Cloud unreachable: home network only"}},
      {Status::unavailable, false, {Mark::orangeDot, "Home network only"}},
      {Status::online, true, {Mark::greenDot, "Reachable from anywhere"}},
      {Status::offline, true, {Mark::greyDot, "Reconnecting to the relay…"}},
  };
  for (const Case& c : cases) {
    HostSnapshot snapshot = host();
    snapshot.cloudStatus = c.status;
    snapshot.cloudOn = c.cloudOn;
    EXPECT_EQ(cloudRow(snapshot), c.expected) << c.expected.text;
  }
}

TEST(StatusRows, ConnectedRowsFollowTheSessionsInOrder) {
  HostSnapshot snapshot = host();
  EXPECT_EQ(statusRows(snapshot).size(), 2u);
  snapshot.sessions = {"relay", "direct:10.0.0.7", "relay"};
  const std::vector<StatusRow> rows = statusRows(snapshot);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[2], (StatusRow{Mark::device, "Connected: relay"}));
  EXPECT_EQ(rows[3], (StatusRow{Mark::device, "Connected: direct:10.0.0.7"}));
  EXPECT_EQ(rows[4], (StatusRow{Mark::device, "Connected: relay"}));
}

TEST(MenuItems, EnrolmentAndPermissionsDecide) {
  struct Case {
    bool enrolled, dryRun, screenOK;
    MenuItems expected;
  };
  const Case cases[] = {
      {false, false, true, {false, false, false}},
      {true, false, true, {false, true, true}},
      {false, false, false, {true, false, false}},
      {true, true, false, {false, true, true}},
  };
  for (const Case& c : cases) {
    HostSnapshot snapshot = host();
    snapshot.enrolled = c.enrolled;
    snapshot.dryRun = c.dryRun;
    snapshot.screenOK = c.screenOK;
    EXPECT_EQ(menuItems(snapshot), c.expected) << c.enrolled << c.dryRun << c.screenOK;
  }
}

TEST(LaunchSequence, FiveOutcomes) {
  struct Case {
    const char* what;
    bool showPairing, screenOK, dryRun, enrolled, pairedOnce;
    LaunchWindow expected;
  };
  const Case cases[] = {
      {"--show-pairing wins over everything", true, false, false, true, true, LaunchWindow::pairing},
      {"permissions missing", false, false, false, false, false, LaunchWindow::setup},
      {"enrolled, never paired", false, true, false, true, false, LaunchWindow::none},
      {"paired once before", false, true, false, false, true, LaunchWindow::none},
      {"first start", false, true, false, false, false, LaunchWindow::pairing},
      {"dry run never opens setup", false, false, true, false, false, LaunchWindow::pairing},
  };
  for (const Case& c : cases) {
    HostSnapshot snapshot = host();
    snapshot.screenOK = c.screenOK;
    snapshot.dryRun = c.dryRun;
    snapshot.enrolled = c.enrolled;
    EXPECT_EQ(launchWindow(c.showPairing, snapshot, c.pairedOnce), c.expected) << c.what;
  }
}

TEST(PairingAccountLine, ThreeCases) {
  struct Case {
    bool enrolled;
    std::string account;
    std::optional<std::string> claim;
    AccountLine expected;
  };
  const Case cases[] = {
      {true, "ana@example.org", std::nullopt, {true, "In your Nimbrel account (ana@example.org)"}},
      {true, "", "ABCD", {true, "In your Nimbrel account"}},
      {false, "", std::nullopt,
       {false, "Works on this network. Nimbrel Cloud is unreachable right now, so the code "
               "doesn't add this computer to an account yet."}},
      {false, "", "K7Q2",
       {false, "Scan it while signed in to the Nimbrel app to also add this computer to your "
               "account."}},
  };
  for (const Case& c : cases) {
    HostSnapshot snapshot = host();
    snapshot.enrolled = c.enrolled;
    snapshot.account = c.account;
    snapshot.claimCode = c.claim;
    EXPECT_EQ(accountLine(snapshot), c.expected) << c.expected.text;
  }
}

TEST(PairingView, TheAppsCodeOrTheBrowserLinkWhenThereIsOne) {
  HostSnapshot withPort = host();
  withPort.pairingLink = "nimbrel://pair?v=1&id=0123456789abcdef&k=KEY&p=7300&a=192.168.1.20,10.0.0.2";
  const std::string browser =
      "http://192.168.1.20:7300/#v=1&id=0123456789abcdef&k=KEY&p=7300&a=192.168.1.20,10.0.0.2";
  HostSnapshot noPort = host();  // no port: nothing a browser could open
  struct Case {
    const HostSnapshot& host;
    PairingCode wanted;
    PairingCode shown;
    std::string qrText, copyLabel, switchLabel;
    bool accountLine;
  };
  const Case cases[] = {
      {withPort, PairingCode::app, PairingCode::app, withPort.pairingLink, "Copy Pairing Link",
       "No app? Use the browser instead", true},
      {withPort, PairingCode::browser, PairingCode::browser, browser, "Copy Browser Link",
       "Show the code for the Nimbrel app", false},
      {noPort, PairingCode::app, PairingCode::app, noPort.pairingLink, "Copy Pairing Link", "",
       true},
      {noPort, PairingCode::browser, PairingCode::app, noPort.pairingLink, "Copy Pairing Link", "",
       true},
  };
  for (const Case& c : cases) {
    const PairingView view = pairingView(c.host, c.wanted);
    EXPECT_EQ(view.code, c.shown) << c.qrText;
    EXPECT_EQ(view.qrText, c.qrText);
    EXPECT_EQ(view.copyLabel, c.copyLabel);
    EXPECT_EQ(view.switchLabel, c.switchLabel);
    EXPECT_EQ(view.accountLine, c.accountLine);
    EXPECT_FALSE(view.title.empty());
    EXPECT_FALSE(view.how.empty());
  }
}

TEST(QrModuleScale, WholeDevicePixelsThatFit) {
  const std::tuple<int, int, int> cases[] = {
      {21, 260, 12}, {57, 260, 4}, {65, 260, 4}, {53, 520, 9}, {300, 260, 1}, {0, 260, 1},
  };
  for (const auto& [modules, target, expected] : cases) {
    EXPECT_EQ(qrModuleScale(modules, target), expected) << modules << " in " << target;
    if (modules > 0 && modules <= target) {
      EXPECT_LE(modules * expected, target);
    }
  }
}

}  // namespace
}  // namespace nimbrel::ui
