// The tray application's views under Qt's offscreen platform, fed scripted snapshots.

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSvgRenderer>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zbar.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <fstream>
#include <thread>

#include "app/host_controller.hpp"
#include "platform/user_settings.hpp"
#include "support/temp_dir.hpp"
#include "ui/fake_host_model.hpp"
#include "ui/mascot.hpp"
#include "ui/menu_panel.hpp"
#include "app/pairing_link.hpp"
#include "ui/pairing_window.hpp"
#include "ui/qr_code.hpp"
#include "ui/setup_window.hpp"
#include "ui/theme.hpp"
#include "ui/tray_app.hpp"
#include "ui/window_manager.hpp"

namespace nimbrel::ui {
namespace {

using test::FakeHostModel;
using test::scriptedHost;

class UiTest : public ::testing::Test {
 protected:
  UiTest() {
    model.publish(scriptedHost());
    actions.openWindow = [this](WindowKind kind) { opened.push_back(kind); };
    actions.quit = [this] { ++quits; };
    actions.relaunch = [] {};
  }

  // The views asked the model to remember that pairing was done.
  bool pairedOnce() const {
    return std::count(model.calls.begin(), model.calls.end(), "markPairedOnce") > 0;
  }

  test::TempDir dir;
  FakeHostModel model;
  AppActions actions;
  std::vector<WindowKind> opened;
  int quits = 0;
};

std::vector<std::string> rowTexts(const MenuPanel& panel) {
  std::vector<std::string> texts;
  for (auto* row : panel.statusRows()->findChildren<StatusRowView*>(Qt::FindDirectChildrenOnly)) {
    texts.push_back(row->text().toStdString());
  }
  return texts;
}

// What zbar reads from the widget as drawn.
std::vector<std::string> decodeQr(QWidget& widget) {
  const QImage image = widget.grab().toImage().convertToFormat(QImage::Format_Grayscale8);
  std::vector<unsigned char> pixels;
  for (int y = 0; y < image.height(); ++y) {
    const uchar* row = image.constScanLine(y);
    pixels.insert(pixels.end(), row, row + image.width());
  }
  zbar::ImageScanner scanner;
  scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_BINARY, 1);  // the bytes, not a guess
  zbar::Image zimage(image.width(), image.height(), "Y800", pixels.data(), pixels.size());
  scanner.scan(zimage);
  std::vector<std::string> found;
  for (auto symbol = zimage.symbol_begin(); symbol != zimage.symbol_end(); ++symbol) {
    found.push_back(symbol->get_data());
  }
  return found;
}

TEST_F(UiTest, PanelStatusRowsFollowTheModelInOrder) {
  MenuPanel panel(model, actions);
  EXPECT_EQ(rowTexts(panel),
            (std::vector<std::string>{
                "Ready on this network",
                "Not in an account yet: scan the QR code to reach it from anywhere"}));
  HostSnapshot next = scriptedHost();
  next.listenerState = "failed: bad port 70000";
  next.sessions = {"relay", "direct:10.0.0.7"};
  model.publish(next);
  EXPECT_EQ(rowTexts(panel), (std::vector<std::string>{
                                 "Local network: failed: bad port 70000",
                                 "Not in an account yet: scan the QR code to reach it from anywhere",
                                 "Connected: relay", "Connected: direct:10.0.0.7"}));
}

TEST_F(UiTest, EnrolledOnlyItemsAndPermissionButton) {
  MenuPanel panel(model, actions);
  panel.show();
  EXPECT_FALSE(panel.keepAwakeBox()->isVisible());
  EXPECT_FALSE(panel.leaveAction()->isVisible());
  EXPECT_FALSE(panel.finishSetupButton()->isVisible());

  HostSnapshot next = scriptedHost();
  next.enrolled = true;
  next.keepAwake = false;
  next.screenOK = false;
  model.publish(next);
  EXPECT_TRUE(panel.keepAwakeBox()->isVisible());
  EXPECT_FALSE(panel.keepAwakeBox()->isChecked());
  EXPECT_TRUE(panel.leaveAction()->isVisible());
  EXPECT_TRUE(panel.finishSetupButton()->isVisible());

  panel.keepAwakeBox()->click();
  panel.openAtLoginBox()->click();
  EXPECT_EQ(model.calls, (std::vector<std::string>{"keepAwake on", "openAtLogin on"}));
  panel.finishSetupButton()->click();
  EXPECT_EQ(opened, (std::vector<WindowKind>{WindowKind::setup}));
}

// A box shows what was saved, not what was clicked: until the host reports the change made,
// the box stays as it was, and a change that failed says why.
TEST_F(UiTest, SettingBoxesShowWhatWasSavedAndAFailureSaysSo) {
  MenuPanel panel(model, actions);
  panel.show();
  HostSnapshot host = scriptedHost();
  host.enrolled = true;
  host.keepAwake = true;
  model.publish(host);
  EXPECT_FALSE(panel.settingsProblem()->isVisible());

  panel.openAtLoginBox()->click();
  panel.keepAwakeBox()->click();
  EXPECT_EQ(model.calls, (std::vector<std::string>{"openAtLogin on", "keepAwake off"}));
  EXPECT_FALSE(panel.openAtLoginBox()->isChecked());
  EXPECT_TRUE(panel.keepAwakeBox()->isChecked());

  host.settingsProblem = "Couldn't change Open at Login: cannot write /ro/nimbrel.desktop";
  model.publish(host);
  EXPECT_FALSE(panel.openAtLoginBox()->isChecked());
  EXPECT_TRUE(panel.settingsProblem()->isVisible());
  EXPECT_EQ(panel.settingsProblem()->text().toStdString(), host.settingsProblem);

  host.settingsProblem.clear();
  host.launchAtLogin = true;
  model.publish(host);
  EXPECT_TRUE(panel.openAtLoginBox()->isChecked());
  EXPECT_FALSE(panel.settingsProblem()->isVisible());
}

TEST_F(UiTest, RenameRowSavesEvenAnUnchangedName) {
  MenuPanel panel(model, actions);
  panel.show();
  EXPECT_FALSE(panel.renameRow()->isVisible());
  panel.startRenaming();
  ASSERT_TRUE(panel.renameRow()->isVisible());
  EXPECT_EQ(panel.renameField()->text(), "Studio");
  panel.saveButton()->click();
  EXPECT_EQ(model.calls, (std::vector<std::string>{"rename Studio"}));
  EXPECT_FALSE(panel.renameRow()->isVisible());

  panel.startRenaming();
  panel.renameField()->setText("Attic");
  QTest::keyClick(panel.renameField(), Qt::Key_Return);
  EXPECT_EQ(model.calls.back(), "rename Attic");
  EXPECT_FALSE(panel.renameRow()->isVisible());
}

TEST_F(UiTest, LeavingTheAccountAsksFirst) {
  MenuPanel panel(model, actions);
  for (const bool remove : {false, true}) {
    panel.confirmLeave();
    QMessageBox* box = panel.leaveConfirmation();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Remove this computer from your account?");
    EXPECT_EQ(box->informativeText(),
              "It won't be reachable from anywhere until you scan its QR code again. It still "
              "works on your home network.");
    EXPECT_TRUE(model.calls.empty() || remove);
    QAbstractButton* button = nullptr;
    for (QAbstractButton* candidate : box->buttons()) {
      const bool isRemove = box->buttonRole(candidate) == QMessageBox::DestructiveRole;
      if (isRemove == remove) button = candidate;
    }
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_EQ(model.calls, remove ? std::vector<std::string>{"leaveAccount"}
                                  : std::vector<std::string>{});
  }
}

TEST_F(UiTest, QuitAndAddDevice) {
  MenuPanel panel(model, actions);
  for (QPushButton* button : panel.findChildren<QPushButton*>()) {
    if (button->text() == "Quit Nimbrel") button->click();
    if (button->text() == "Add Phone or Tablet…") button->click();
  }
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(opened, (std::vector<WindowKind>{WindowKind::pairing}));
}

TEST_F(UiTest, PairingAccountLineInItsThreeCases) {
  PairingWindow window(model, actions);
  struct Case {
    bool enrolled;
    std::string account;
    std::optional<std::string> claim;
    std::string text;
  };
  const Case cases[] = {
      {true, "ana@example.org", std::nullopt, "In your Nimbrel account (ana@example.org)"},
      {false, "", std::nullopt, "Works on this network. Nimbrel Cloud is unreachable right now"},
      {false, "", "K7Q2", "Scan it while signed in to the Nimbrel app"},
  };
  for (const Case& c : cases) {
    HostSnapshot next = scriptedHost();
    next.enrolled = c.enrolled;
    next.account = c.account;
    next.claimCode = c.claim;
    model.publish(next);
    const QString shown = window.accountLabel()->text();
    EXPECT_TRUE(shown.contains(QString::fromStdString(c.text))) << shown.toStdString();
    EXPECT_EQ(shown.contains("&#10004;"), c.enrolled) << shown.toStdString();  // the green seal
  }
}

TEST_F(UiTest, CopyPutsExactlyTheLinkOnTheClipboardAndRemembersPairing) {
  auto* window = new PairingWindow(model, actions);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->show();
  EXPECT_FALSE(pairedOnce());
  window->copyButton()->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(QClipboard::Clipboard).toStdString(),
            scriptedHost().pairingLink);
  EXPECT_EQ(window->copyButton()->text(), "Copied");
  EXPECT_TRUE(pairedOnce());
  window->close();
}

TEST_F(UiTest, ClosingThePairingWindowDoesNotRememberPairingButDoneDoes) {
  {
    PairingWindow window(model, actions);
    window.show();
    window.close();
    EXPECT_FALSE(pairedOnce());
  }
  PairingWindow window(model, actions);
  window.show();
  window.doneButton()->click();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(pairedOnce());

  // Return presses Done.
  model.calls.clear();
  PairingWindow byKey(model, actions);
  byKey.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&byKey, 5000));
  QTest::keyClick(&byKey, Qt::Key_Return);
  EXPECT_FALSE(byKey.isVisible());
  EXPECT_TRUE(pairedOnce());
}

TEST_F(UiTest, QrCodeEncodesTheLinkAndFollowsANewClaimCode) {
  PairingWindow window(model, actions);
  window.show();
  EXPECT_EQ(decodeQr(*window.qr()), std::vector<std::string>{scriptedHost().pairingLink});

  HostSnapshot next = scriptedHost();
  next.claimCode = "ZZ99-AB12";
  next.pairingLink = "nimbrel://pair?v=1&id=0123456789abcdef&c=ZZ99-AB12";
  model.publish(next);
  EXPECT_EQ(decodeQr(*window.qr()), std::vector<std::string>{next.pairingLink});
}

// For a device without the app: the same window shows the browser link, and Copy copies it.
TEST_F(UiTest, PairingWindowSwitchesToTheBrowserLinkAndBack) {
  PairingWindow window(model, actions);
  window.show();
  const std::string browser = browserLink(scriptedHost().pairingLink);
  ASSERT_TRUE(browser.starts_with("http://192.168.1.20:7300/#v=1&")) << browser;
  ASSERT_TRUE(window.switchButton()->isVisible());
  window.copyButton()->click();
  window.switchButton()->click();
  EXPECT_EQ(decodeQr(*window.qr()), std::vector<std::string>{browser});
  EXPECT_FALSE(window.accountLabel()->isVisible());
  EXPECT_EQ(window.copyButton()->text(), "Copy Browser Link");  // not the other link's "Copied"
  window.copyButton()->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(QClipboard::Clipboard).toStdString(), browser);

  // A new claim code changes the browser link as well.
  HostSnapshot next = scriptedHost();
  next.pairingLink += "X";
  model.publish(next);
  EXPECT_EQ(decodeQr(*window.qr()), std::vector<std::string>{browserLink(next.pairingLink)});

  window.switchButton()->click();
  EXPECT_EQ(decodeQr(*window.qr()), std::vector<std::string>{next.pairingLink});
  EXPECT_TRUE(window.accountLabel()->isVisible());
  EXPECT_EQ(window.copyButton()->text(), "Copy Pairing Link");
}

TEST(QrRendering, ModulesAreSharpWholePixelBlocksOnAWhiteMargin) {
  const std::string link = scriptedHost().pairingLink;
  const QrMatrix matrix = encodeQr(link);
  ASSERT_GT(matrix.width, 20);
  for (const int target : {260, 520}) {
    const QImage image = renderQr(matrix, target, 12);
    const int scale = qrModuleScale(matrix.width, target);
    const int offset = 12 + (target - matrix.width * scale) / 2;
    EXPECT_EQ(image.width(), target + 24);
    int mismatches = 0;
    // Every pixel of every module has the module's colour: no smoothing anywhere.
    for (int y = 0; y < matrix.width * scale; ++y) {
      for (int x = 0; x < matrix.width * scale; ++x) {
        const bool dark = qGray(image.pixel(offset + x, offset + y)) < 128;
        const int value = qGray(image.pixel(offset + x, offset + y));
        mismatches += dark != matrix.at(x / scale, y / scale) || (value != 0 && value != 255);
      }
    }
    EXPECT_EQ(mismatches, 0) << target;
    for (int i = 0; i < image.width(); ++i) {
      EXPECT_EQ(qGray(image.pixel(i, 0)), 255);
      EXPECT_EQ(qGray(image.pixel(0, i)), 255);
    }
  }
  EXPECT_EQ(encodeQr("").width, 0);
}

TEST_F(UiTest, SetupRowsTurnAllowedWhenTheFlagsChange) {
  HostSnapshot next = scriptedHost();
  next.screenOK = false;
  next.inputOK = false;
  model.publish(next);
  SetupWindow window(model, actions);
  window.show();
  EXPECT_TRUE(window.screenStep()->allowButton()->isVisible());
  EXPECT_TRUE(window.inputStep()->allowButton()->isVisible());

  next.screenOK = true;
  model.publish(next);
  EXPECT_TRUE(window.screenStep()->allowedLabel()->isVisible());
  EXPECT_FALSE(window.screenStep()->allowButton()->isVisible());
  EXPECT_TRUE(window.inputStep()->allowButton()->isVisible());

  window.inputStep()->allowButton()->click();  // explains, and looks again
  EXPECT_EQ(model.calls, std::vector<std::string>{"refreshPermissions"});
  auto* box = window.findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->text().contains("XTEST"));

  next.inputOK = true;
  model.publish(next);
  EXPECT_TRUE(window.inputStep()->granted());
  EXPECT_FALSE(window.inputStep()->allowButton()->isVisible());
}

TEST_F(UiTest, OneWindowPerKind) {
  WindowManager windows(model, actions);
  QWidget* pairing = windows.open(WindowKind::pairing);
  EXPECT_EQ(windows.open(WindowKind::pairing), pairing);  // twice: the same window
  EXPECT_EQ(pairing->windowTitle(), "Add Your Phone");
  QWidget* setup = windows.open(WindowKind::setup);
  EXPECT_NE(setup, pairing);
  EXPECT_EQ(setup->windowTitle(), "Set Up Nimbrel");
  EXPECT_EQ(windows.anyOpen(), pairing);

  QSignalSpy gone(setup, &QObject::destroyed);
  setup->close();
  // Closed windows go by deferred deletion, which only a return to the event loop delivers.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_EQ(gone.count(), 1);
  EXPECT_EQ(windows.window(WindowKind::setup), nullptr);
  EXPECT_NE(windows.open(WindowKind::setup), nullptr);  // closed: a new one
}

TEST_F(UiTest, LaunchOpensWhatTheFirstSnapshotCallsFor) {
  struct Case {
    bool showPairing, screenOK, enrolled, pairedOnce;
    LaunchWindow expected;
  };
  const Case cases[] = {
      {true, true, true, true, LaunchWindow::pairing},
      {false, false, false, false, LaunchWindow::setup},
      {false, true, true, false, LaunchWindow::none},
      {false, true, false, true, LaunchWindow::none},
      {false, true, false, false, LaunchWindow::pairing},
  };
  for (const Case& c : cases) {
    FakeHostModel fresh;  // no snapshot yet: the launch waits for the first
    TrayApp tray(fresh, actions);
    QSignalSpy launched(&tray, &TrayApp::launched);
    tray.launch(c.showPairing);
    EXPECT_EQ(launched.count(), 0);
    HostSnapshot first = scriptedHost();
    first.screenOK = c.screenOK;
    first.enrolled = c.enrolled;
    first.pairedOnce = c.pairedOnce;
    fresh.publish(first);
    ASSERT_EQ(launched.count(), 1);
    EXPECT_EQ(launched.at(0).at(0).value<LaunchWindow>(), c.expected);
    QWidget* pairing = tray.windows().window(WindowKind::pairing);
    QWidget* setup = tray.windows().window(WindowKind::setup);
    EXPECT_EQ(pairing != nullptr, c.expected == LaunchWindow::pairing);
    EXPECT_EQ(setup != nullptr, c.expected == LaunchWindow::setup);
    fresh.publish(scriptedHost());
    EXPECT_EQ(launched.count(), 1);  // once only
  }
}

TEST_F(UiTest, TrayIconAndContextMenuFollowTheModel) {
  TrayApp tray(model, actions);
  EXPECT_EQ(tray.iconState(), TrayIconState::idle);
  HostSnapshot next = scriptedHost();
  next.sessions = {"relay"};
  next.enrolled = true;
  model.publish(next);
  EXPECT_EQ(tray.iconState(), TrayIconState::connected);
  QStringList texts;
  for (QAction* action : tray.contextMenu().actions()) texts << action->text();
  EXPECT_TRUE(texts.contains("Connected: relay"));
  EXPECT_TRUE(texts.contains("Remove from Nimbrel Account…"));
  EXPECT_TRUE(texts.contains("Keep Computer Awake for Remote Access"));
  next.inputOK = false;
  model.publish(next);
  EXPECT_EQ(tray.iconState(), TrayIconState::warning);
  EXPECT_TRUE(tray.icon().toolTip().contains("permissions needed"));
}

TEST(MascotArt, EveryPoseAndIconRendersWithItsLabel) {
  for (int pose = 0; pose <= static_cast<int>(Pose::travel); ++pose) {
    Mascot mascot(static_cast<Pose>(pose), 52);
    EXPECT_EQ(mascot.accessibleName().toStdString(), kMascotLabel);
    EXPECT_TRUE(QSvgRenderer(poseResource(static_cast<Pose>(pose))).isValid()) << pose;
  }
  for (const TrayIconState state :
       {TrayIconState::idle, TrayIconState::connected, TrayIconState::warning}) {
    // Drawn, not blank: a good share of the 22-pixel square is covered.
    const QImage image = trayIcon(state).pixmap(22, 22).toImage();
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 128;
    }
    EXPECT_GT(opaque, 22 * 22 / 3) << static_cast<int>(state);
  }
}

// The real controller in a dry run: a claim code it learns reaches the pairing window.
TEST_F(UiTest, ControllerChangesReachTheWindows) {
  setHomeOverride(dir.path());
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  boost::asio::thread_pool workers(1);
  std::thread thread([&io] { io.run(); });

  ControllerModel real;
  HostController::Services services;
  services.desktopAccess = [] { return HostController::DesktopAccess{true, false}; };
  services.settingsPath = dir / "settings.json";
  // Where no entry can be written: its folder would have to be inside a file.
  { std::ofstream(dir / "not-a-folder") << "x"; }
  services.autostartEntry = dir / "not-a-folder" / "autostart.desktop";
  services.print = [](const std::string&) {};
  services.onChange = real.changeHook();
  HostOptions options;
  options.dryRun = true;
  options.advertise = false;
  auto controller = HostController::create(io.get_executor(), workers.get_executor(), options,
                                           std::move(services));
  QSignalSpy changed(&real, &HostModel::changed);
  real.attach(controller);
  ASSERT_TRUE(changed.wait(10000));
  EXPECT_TRUE(real.snapshot().dryRun);
  EXPECT_FALSE(real.snapshot().inputOK);
  EXPECT_FALSE(needsPermissions(real.snapshot()));

  PairingWindow window(real, actions);
  boost::asio::post(controller->executor(), [controller] {
    controller->onClaimCode(std::string("QX7-2RT"));
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return real.snapshot().claimCode == "QX7-2RT"; }, 10000));
  EXPECT_NE(real.snapshot().pairingLink.find("c=QX7-2RT"), std::string::npos);
  EXPECT_EQ(decodeQr(*window.qr()), std::vector<std::string>{real.snapshot().pairingLink});
  EXPECT_TRUE(window.accountLabel()->text().startsWith("Scan it while signed in"));

  real.rename("  Attic  ");
  ASSERT_TRUE(QTest::qWaitFor([&] { return real.snapshot().name == "Attic"; }, 10000));

  // A setting that could not be saved is not shown as set, and says why.
  real.setOpenAtLogin(true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !real.snapshot().settingsProblem.empty(); }, 10000));
  EXPECT_FALSE(real.snapshot().launchAtLogin);
  EXPECT_THAT(real.snapshot().settingsProblem,
              ::testing::StartsWith("Couldn't change Open at Login: cannot write "));
  // One that was saved is, and the problem line goes.
  real.setKeepAwake(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !real.snapshot().keepAwake; }, 10000));
  EXPECT_EQ(real.snapshot().settingsProblem, "");
  EXPECT_FALSE(loadUserSettings(dir / "settings.json").keepAwake);
  real.markPairedOnce();
  ASSERT_TRUE(QTest::qWaitFor([&] { return real.snapshot().pairedOnce; }, 10000));
  EXPECT_TRUE(loadUserSettings(dir / "settings.json").pairedOnce);
  EXPECT_FALSE(loadUserSettings(dir / "settings.json").keepAwake) << "a change lost another";

  controller.reset();
  work.reset();
  thread.join();
  workers.join();
  setHomeOverride(std::nullopt);
}

}  // namespace
}  // namespace nimbrel::ui

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
