// The tray application on a real display: Xvfb with an XEmbed tray (trayer), inside a private
// session bus. Screenshots of the panel and the windows are kept under the build's artifacts.

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "app/host_config.hpp"
#include "platform/system_tray.hpp"
#include "platform/user_settings.hpp"
#include "platform/x11_connection.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/x_server.hpp"
#include "ui/fake_host_model.hpp"
#include "ui/mascot.hpp"
#include "ui/pairing_window.hpp"
#include "ui/setup_window.hpp"
#include "ui/single_instance.hpp"
#include "ui/tray_app.hpp"

namespace nimbrel::ui {
namespace {

using namespace std::chrono_literals;

// Set up by main before the application object: the display and the bus of every test here.
test::XServer* gDisplay = nullptr;
std::string gBus;

const QString kArtifacts = QStringLiteral(NIMBREL_ARTIFACTS_DIR);

void save(const QImage& image, const QString& name) {
  QDir().mkpath(kArtifacts);
  ASSERT_TRUE(image.save(kArtifacts + "/" + name)) << name.toStdString();
}

// The whole screen as the X server has it, tray included.
void saveScreen(const QString& name) {
  QDir().mkpath(kArtifacts);
  ASSERT_EQ(gDisplay->run("import -window root '" + (kArtifacts + "/" + name).toStdString() + "'"),
            0);
}

// The centre of trayer's panel window, which holds the one docked icon.
QPoint trayCentre() {
  const std::string shell =
      gDisplay->output("xdotool search --name '^panel$' getwindowgeometry --shell");
  auto field = [&](const std::string& key) {
    const auto at = shell.find(key + "=");
    return at == std::string::npos ? -1 : std::stoi(shell.substr(at + key.size() + 1));
  };
  return {field("X") + field("WIDTH") / 2, field("Y") + field("HEIGHT") / 2};
}

// An xdotool command that clicks where the tray's icon is at this moment.
std::string clickOnTray() {
  const QPoint centre = trayCentre();
  return "xdotool mousemove " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) +
         " click 1";
}

// A home for the program: pairing done once (so it opens no window by itself), and a
// configuration whose cloud link stays off, so nothing leaves this machine.
void prepareHome(const test::TempDir& home) {
  UserSettings settings;
  settings.pairedOnce = true;
  saveUserSettings(settings, home / "config" / "nimbrel" / "settings.json");
  HostConfig config = newIdentity();
  config.cloud = false;
  config.api = "http://127.0.0.1:9";
  saveConfig(config, home / "data");
}

// Runs `command` against the session bus at `address`.
std::string onBus(const std::string& address, const std::string& command) {
  return "DBUS_SESSION_BUS_ADDRESS='" + address + "' " + command;
}

// No two visible items of the window's layout share a pixel.
void expectNothingOverlaps(QWidget& window) {
  std::vector<QRect> boxes;
  for (int i = 0; i < window.layout()->count(); ++i) {
    if (QWidget* child = window.layout()->itemAt(i)->widget(); child && child->isVisible()) {
      boxes.push_back(child->geometry());
    }
  }
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    for (std::size_t j = i + 1; j < boxes.size(); ++j) {
      EXPECT_FALSE(boxes[i].intersects(boxes[j])) << "items " << i << " and " << j << " overlap";
    }
  }
}

class TrayDisplayTest : public ::testing::Test {
 protected:
  TrayDisplayTest() {
    model.publish(test::scriptedHost());
    actions.quit = [] {};
    actions.relaunch = [] {};
  }
  test::TempDir dir;
  test::FakeHostModel model;
  AppActions actions;
};

TEST_F(TrayDisplayTest, IconDocksAndOpensThePanelAndTheWindows) {
  ASSERT_TRUE(QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20000));
  TrayApp tray(model, actions);
  HostSnapshot host = test::scriptedHost();
  host.enrolled = true;
  host.account = "ana@example.org";
  host.cloudStatus = CloudLink::Status::online;
  host.sessions = {"relay", "direct:192.168.1.31"};
  model.publish(host);
  // Docked: the tray has given the icon a place on the screen.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !tray.icon().geometry().isEmpty(); }, 20000));
  const QRect place = tray.icon().geometry();
  EXPECT_GE(place.width(), 16);

  // A real click on the docked icon. Its place as the X server has it: an embedded icon's own
  // idea of it may be relative to the tray. The tray maps the icon a moment after it reports a
  // size, and a tray that sizes itself to its icons moves and lays them out again after the
  // icon docks (late, on a busy machine): every attempt asks where the tray is now.
  QSignalSpy clicks(&tray.icon(), &QSystemTrayIcon::activated);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return gDisplay->run(clickOnTray()) == 0 && clicks.wait(1000); }, 20000));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&tray.panel(), 10000));
  EXPECT_TRUE(QGuiApplication::primaryScreen()->geometry().contains(tray.panel().geometry()));
  save(tray.panel().grab().toImage(), "tray_panel.png");
  saveScreen("screen_with_panel.png");
  tray.panel().hide();

  QWidget* pairing = tray.windows().open(WindowKind::pairing);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(pairing, 10000));
  save(pairing->grab().toImage(), "pairing_window.png");
  host.enrolled = false;
  host.account.clear();
  model.publish(host);
  // The longer account line wraps: the window grows to show all of it.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return pairing->height() >= pairing->layout()->minimumSize().height(); }, 5000))
      << pairing->height() << " < " << pairing->layout()->minimumSize().height();
  // Nothing in the window is drawn over anything else (the QR code and the texts).
  expectNothingOverlaps(*pairing);
  save(pairing->grab().toImage(), "pairing_window_claim.png");
  static_cast<PairingWindow*>(pairing)->switchButton()->click();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return pairing->height() >= pairing->layout()->minimumSize().height(); }, 5000));
  expectNothingOverlaps(*pairing);
  save(pairing->grab().toImage(), "pairing_window_browser.png");
  pairing->close();

  host.screenOK = false;
  model.publish(host);
  QWidget* setup = tray.windows().open(WindowKind::setup);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(setup, 10000));
  expectNothingOverlaps(*setup);
  save(setup->grab().toImage(), "setup_window.png");
  saveScreen("screen_with_setup.png");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return gDisplay->run(clickOnTray()) == 0 && clicks.wait(1000); }, 20000));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&tray.panel(), 10000))
      << "visible " << tray.panel().isVisible();
  save(tray.panel().grab().toImage(), "tray_panel_permissions.png");
  saveScreen("screen_tray_warning.png");
}

// On GNOME's Wayland session the setup window speaks of GNOME's remote-desktop service, not of
// X extensions, and its help says what to check there.
TEST_F(TrayDisplayTest, SetupOnGnomeWaylandExplainsGnomesService) {
  HostSnapshot host = test::scriptedHost();
  host.desktop = DesktopKind::gnomeWayland;
  host.screenOK = false;
  model.publish(host);
  SetupWindow setup(model, actions);
  setup.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&setup, 10000));
  expectNothingOverlaps(setup);
  bool intro = false;
  for (QLabel* label : setup.findChildren<QLabel*>()) {
    intro = intro || label->text().contains("remote-desktop service");
    EXPECT_FALSE(label->text().contains("X11")) << label->text().toStdString();
  }
  EXPECT_TRUE(intro);
  save(setup.grab().toImage(), "setup_window_gnome.png");
  setup.screenStep()->allowButton()->click();
  auto* box = setup.findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->text().contains("PipeWire")) << box->text().toStdString();
  EXPECT_FALSE(box->text().contains("MIT-SHM"));
}

// The icons at panel sizes on a light and a dark panel, and the mascot's poses at 52 and 96.
TEST(TrayArtwork, SheetOfIconsAndPoses) {
  const int sizes[] = {16, 22, 24};
  const TrayIconState states[] = {TrayIconState::idle, TrayIconState::connected,
                                  TrayIconState::warning};
  QImage sheet(3 * 3 * 34 + 20, 2 * 40, QImage::Format_ARGB32);
  QPainter painter(&sheet);
  for (int panel = 0; panel < 2; ++panel) {
    painter.fillRect(0, panel * 40, sheet.width(), 40,
                     panel == 0 ? QColor(0xf2, 0xf2, 0xf2) : QColor(0x24, 0x26, 0x2b));
    int x = 8;
    for (const TrayIconState state : states) {
      for (const int size : sizes) {
        painter.drawPixmap(x, panel * 40 + (40 - size) / 2, trayIcon(state).pixmap(size, size));
        x += 34;
      }
      x += 6;
    }
  }
  painter.end();
  save(sheet, "tray_icons_light_dark.png");

  QWidget poses;
  poses.setStyleSheet("background: #f3f6fb;");
  for (int i = 0; i <= static_cast<int>(Pose::travel); ++i) {
    auto* small = new Mascot(static_cast<Pose>(i), 52, &poses);
    small->move(8 + i * 104, 8);
    auto* large = new Mascot(static_cast<Pose>(i), 96, &poses);
    large->move(8 + i * 104, 68);
  }
  poses.resize(8 + 7 * 104, 172);
  save(poses.grab().toImage(), "mascot_poses.png");
}

// A second launch of the program hands over to the first and leaves with status 0.
TEST(SingleInstance, SecondLaunchBringsTheFirstForward) {
  test::TempDir home;
  prepareHome(home);
  const std::map<std::string, std::optional<std::string>> environment{
      {"DISPLAY", gDisplay->display()},
      {"DBUS_SESSION_BUS_ADDRESS", gBus},
      {"XDG_CONFIG_HOME", (home / "config").string()},
      {"QT_QPA_PLATFORM", std::nullopt}};
  // Overrides are for the headless host only: the tray start ignores "--port".
  const std::vector<std::string> arguments{"--home", (home / "data").string(), "--port", "8000"};
  test::Process first(NIMBREL_HOST_BINARY, arguments, environment);
  ASSERT_EQ(gDisplay->run("DBUS_SESSION_BUS_ADDRESS='" + gBus +
                          "' gdbus wait --session --timeout 30 io.nimbrel.Host"),
            0)
      << first.errorOutput();
  EXPECT_NE(gDisplay->run("xdotool search --name '^Add Your Phone$'"), 0);

  test::Process second(NIMBREL_HOST_BINARY, arguments, environment);
  EXPECT_EQ(second.wait(30s), std::optional<int>(0)) << second.errorOutput();
  EXPECT_EQ(gDisplay->run("timeout 30 xdotool search --sync --name '^Add Your Phone$'"), 0);
  EXPECT_TRUE(first.running());
  // Written by the first instance's controller, which exists once its windows can open.
  ASSERT_TRUE(std::filesystem::exists(home / "data" / "config.json"));
  EXPECT_EQ(loadConfig(home / "data").port, 7300);
  first.signal(SIGTERM);
  first.wait(10s);
}

// "Relaunch Nimbrel": a new instance of the program starts, owns the name, and does not get the
// request to show the pairing window again; a program that cannot start keeps this one.
TEST(SingleInstance, RelaunchHandsTheNameToANewInstance) {
  EXPECT_EQ(relaunchArguments({"--show-pairing", "--home", "/x", "--show-pairing"}),
            QStringList({"--home", "/x"}));
  test::TempDir home;
  prepareHome(home);
  const std::string owner =
      onBus(gBus,
            "gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
            "--method org.freedesktop.DBus.GetConnectionUnixProcessID io.nimbrel.Host 2>/dev/null");
  const auto ownerPid = [&]() -> pid_t {
    const std::string reply = gDisplay->output(owner);  // "(uint32 1234,)"
    const auto at = reply.find("uint32 ");
    return at == std::string::npos ? 0 : std::stoi(reply.substr(at + 7));
  };

  SingleInstance instance([] {});
  ASSERT_EQ(instance.claim(), SingleInstance::Claim::first);
  EXPECT_FALSE(instance.relaunch(QStringLiteral("/nonexistent/nimbrel"), {}));
  EXPECT_EQ(ownerPid(), getpid()) << "the name was not taken back";

  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home / "config").string()));
  ASSERT_TRUE(instance.relaunch(QStringLiteral(NIMBREL_HOST_BINARY),
                                {"--home", QString::fromStdString((home / "data").string())}));
  qunsetenv("XDG_CONFIG_HOME");
  pid_t relaunched = 0;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        relaunched = ownerPid();
        return relaunched != 0 && relaunched != getpid();
      },
      20000));
  ASSERT_GT(relaunched, 0);
  ::kill(relaunched, SIGTERM);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ownerPid() == 0; }, 20000));
}

// "--auto" on a display with a tray starts the tray application.
TEST(AutoStart, ADisplayWithATrayGetsTheTrayApplication) {
  {
    X11Connection display(gDisplay->display());
    EXPECT_TRUE(hasXEmbedTray(display));
  }
  test::TempDir home;
  prepareHome(home);
  test::Process tray(NIMBREL_HOST_BINARY, {"--auto", "--home", (home / "data").string()},
                     {{"DISPLAY", gDisplay->display()},
                      {"DBUS_SESSION_BUS_ADDRESS", gBus},
                      {"XDG_CONFIG_HOME", (home / "config").string()},
                      {"QT_QPA_PLATFORM", std::nullopt}});
  ASSERT_TRUE(tray.waitForOutput("tray.\n", 20s)) << tray.output() << tray.errorOutput();
  EXPECT_EQ(tray.output(), "Sharing the X11 desktop on display " + gDisplay->display() +
                               ".\nStarting the tray application: display " +
                               gDisplay->display() + " has an XEmbed tray.\n");
  EXPECT_EQ(gDisplay->run("DBUS_SESSION_BUS_ADDRESS='" + gBus +
                          "' gdbus wait --session --timeout 30 io.nimbrel.Host"),
            0)
      << tray.errorOutput();
  tray.signal(SIGTERM);
  tray.wait(10s);
}

// A desktop whose tray speaks StatusNotifier on the session bus, on a display of its own: the
// icon registers with the watcher, shows in that tray, and a click on it opens the panel.
TEST(StatusNotifierTray, TheIconShowsInTheTrayAndAClickOpensThePanel) {
  test::XServer display("1280x800x24");
  test::Process bus("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address=1"});
  ASSERT_TRUE(bus.waitForOutput("\n", 20s));
  const std::string address = bus.output().substr(0, bus.output().find('\n'));
  const std::string hostRegistered =
      onBus(address,
            "gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path "
            "/StatusNotifierWatcher --method org.freedesktop.DBus.Properties.Get "
            "org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered 2>/dev/null");
  // The tray runs its own watcher. On a busy machine its host can ask that watcher before the
  // watcher is on the bus, an answer the tray does not handle: it exits, and is started again.
  std::unique_ptr<test::Process> tray;
  std::string trayFailures;
  for (int attempt = 0; attempt < 3 && !tray; ++attempt) {
    tray = std::make_unique<test::Process>(
        "/usr/bin/gtk-sni-tray-standalone",
        std::vector<std::string>{"--watcher", "--top", "--end", "--size", "28", "--color", "#303338"},
        std::map<std::string, std::optional<std::string>>{{"DISPLAY", display.display()},
                                                          {"DBUS_SESSION_BUS_ADDRESS", address}});
    auto registered = [&] { return display.output(hostRegistered).find("true") != std::string::npos; };
    (void)QTest::qWaitFor([&] { return !tray->running() || registered(); }, 30000);
    if (!tray->running() || !registered()) {
      trayFailures += tray->errorOutput();
      tray.reset();
    }
  }
  ASSERT_TRUE(tray) << trayFailures;

  test::TempDir home;
  prepareHome(home);
  test::Process host(NIMBREL_HOST_BINARY, {"--auto", "--home", (home / "data").string()},
                     {{"DISPLAY", display.display()},
                      {"DBUS_SESSION_BUS_ADDRESS", address},
                      {"XDG_CONFIG_HOME", (home / "config").string()},
                      {"QT_QPA_PLATFORM", std::nullopt}});
  ASSERT_TRUE(host.waitForOutput("host.\n", 20s)) << host.output() << host.errorOutput();
  EXPECT_EQ(host.output(), "Sharing the X11 desktop on display " + display.display() +
                               ".\nStarting the tray application: display " +
                               display.display() + " has a StatusNotifier host.\n");
  const std::string items = onBus(
      address,
      "gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path "
      "/StatusNotifierWatcher --method org.freedesktop.DBus.Properties.Get "
      "org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return display.output(items).find("':1.") != std::string::npos; }, 30000))
      << host.errorOutput();

  // The tray's bar spans the top of the screen; the one icon sits at its end.
  const std::string shell = display.output(
      "xdotool search --classname gtk-sni-tray-standalone getwindowgeometry --shell %@");
  int width = 0, height = 0;
  for (std::size_t at = shell.find("WIDTH="); at != std::string::npos;
       at = shell.find("WIDTH=", at + 1)) {
    const int w = std::stoi(shell.substr(at + 6));
    if (w > width) {
      width = w;
      height = std::stoi(shell.substr(shell.find("HEIGHT=", at) + 7));
    }
  }
  ASSERT_EQ(width, 1280) << shell;
  const std::string click = "xdotool mousemove " + std::to_string(width - height / 2) + " " +
                            std::to_string(height / 2) + " click 1";
  const std::string panelShown =
      "timeout 3 xdotool search --sync --onlyvisible --name '^Nimbrel$'";
  // The tray shows the icon a moment after it registers: a click before that is clicked again.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return display.run(click) == 0 && display.run(panelShown + " >/dev/null") == 0; },
      30000))
      << host.errorOutput();
  QDir().mkpath(kArtifacts);
  EXPECT_EQ(display.run("import -window root -crop 520x320+760+0 '" +
                        (kArtifacts + "/screen_status_notifier_panel.png").toStdString() + "'"),
            0);
  host.signal(SIGTERM);
  host.wait(10s);
}

}  // namespace
}  // namespace nimbrel::ui

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  nimbrel::test::XServer display("1280x800x24");
  nimbrel::ui::gDisplay = &display;
  nimbrel::test::Process bus("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address=1"});
  if (!bus.waitForOutput("\n", 20s)) return 2;
  nimbrel::ui::gBus = bus.output().substr(0, bus.output().find('\n'));
  setenv("DISPLAY", display.display().c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", nimbrel::ui::gBus.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  nimbrel::test::Process tray("/usr/bin/trayer", {"--edge", "top", "--align", "right", "--widthtype",
                                         "request", "--height", "24", "--tint", "0x303338",
                                         "--transparent", "true", "--alpha", "0", "--expand",
                                         "true", "--SetDockType", "true"});
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
