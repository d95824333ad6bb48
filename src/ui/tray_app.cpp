#include "ui/tray_app.hpp"

#include <QCursor>
#include <QMenu>

#include "platform/user_settings.hpp"
#include "ui/mascot.hpp"

namespace nimbrel::ui {

TrayApp::TrayApp(HostModel& model, AppActions actions, QObject* parent)
    : QObject(parent), model_(model), windows_(model, std::move(actions)),
      panel_(std::make_unique<MenuPanel>(model, windows_.actions())),
      menu_(std::make_unique<QMenu>()) {
  icon_.setIcon(trayIcon(iconState_));
  icon_.setContextMenu(menu_.get());
  connect(menu_.get(), &QMenu::aboutToShow, this, &TrayApp::rebuildContextMenu);
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) showPanel();
  });
  connect(&model_, &HostModel::changed, this, &TrayApp::refresh);
  rebuildContextMenu();
  refresh();
  icon_.show();
}

TrayApp::~TrayApp() = default;

void TrayApp::refresh() {
  const HostSnapshot& host = model_.snapshot();
  const TrayIconState state = trayIconState(host);
  if (state != iconState_) {
    iconState_ = state;
    icon_.setIcon(trayIcon(state));
  }
  icon_.setToolTip(QStringLiteral("Nimbrel: %1").arg(QString::fromStdString(
      needsPermissions(host) ? std::string("permissions needed") : localNetworkRow(host).text)));
  if (!menu_->isVisible()) rebuildContextMenu();
  if (launchPending_ && !host.pairingLink.empty()) runLaunch();
}

void TrayApp::launch(bool showPairing) {
  showPairing_ = showPairing;
  launchPending_ = true;
  if (!model_.snapshot().pairingLink.empty()) runLaunch();
}

void TrayApp::runLaunch() {
  launchPending_ = false;
  const bool pairedOnce = loadUserSettings(windows_.actions().settingsPath).pairedOnce;
  const LaunchWindow opened = launchWindow(showPairing_, model_.snapshot(), pairedOnce);
  if (opened == LaunchWindow::pairing) windows_.open(WindowKind::pairing);
  if (opened == LaunchWindow::setup) windows_.open(WindowKind::setup);
  emit launched(opened);
}

void TrayApp::comeForward() {
  if (QWidget* window = windows_.anyOpen()) {
    window->show();
    window->raise();
    window->activateWindow();
    return;
  }
  windows_.open(WindowKind::pairing);
}

void TrayApp::showPanel() {
  // An embedded (XEmbed) icon may report its place relative to the tray rather than the screen;
  // the pointer that just clicked it is a better guide then.
  QRect anchor = icon_.geometry();
  const QPoint pointer = QCursor::pos();
  if (!anchor.contains(pointer)) anchor = QRect(pointer - QPoint(11, 11), QSize(22, 22));
  panel_->popUpNear(anchor);
}

void TrayApp::rebuildContextMenu() {
  // The same content as the panel, for desktops that only ever show the menu.
  const HostSnapshot& host = model_.snapshot();
  const AppActions& actions = windows_.actions();
  const MenuItems items = menuItems(host);
  menu_->clear();
  if (items.finishSetup) {
    menu_->addAction(QStringLiteral("Finish setup: permissions needed"), this,
                     [actions] { actions.openWindow(WindowKind::setup); });
  }
  for (const StatusRow& row : statusRows(host)) {
    menu_->addAction(QString::fromStdString(row.text))->setEnabled(false);
  }
  menu_->addSeparator();
  menu_->addAction(QStringLiteral("Add Phone or Tablet…"), this,
                   [actions] { actions.openWindow(WindowKind::pairing); });
  QAction* login = menu_->addAction(QStringLiteral("Open at Login"));
  login->setCheckable(true);
  login->setChecked(host.launchAtLogin);
  connect(login, &QAction::triggered, this, [this](bool on) { model_.setOpenAtLogin(on); });
  if (items.keepAwake) {
    QAction* awake = menu_->addAction(QStringLiteral("Keep Computer Awake for Remote Access"));
    awake->setCheckable(true);
    awake->setChecked(host.keepAwake);
    connect(awake, &QAction::triggered, this, [this](bool on) { model_.setKeepAwake(on); });
  }
  menu_->addSeparator();
  menu_->addAction(QStringLiteral("Rename This Computer…"), this, [this] {
    showPanel();
    panel_->startRenaming();
  });
  menu_->addAction(QStringLiteral("Set Up Permissions…"), this,
                   [actions] { actions.openWindow(WindowKind::setup); });
  if (items.leaveAccount) {
    menu_->addAction(QStringLiteral("Remove from Nimbrel Account…"), this,
                     [this] { panel_->confirmLeave(); });
  }
  menu_->addSeparator();
  menu_->addAction(QStringLiteral("Quit Nimbrel"), this, [actions] { actions.quit(); });
}

}  // namespace nimbrel::ui
