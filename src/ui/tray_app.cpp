#include "ui/tray_app.hpp"

#include <QCursor>
#include <QMenu>

#include "ui/labels.hpp"
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
  const LaunchWindow opened =
      launchWindow(showPairing_, model_.snapshot(), model_.snapshot().pairedOnce);
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
    menu_->addAction(QString::fromUtf8(labels::finishSetup), this,
                     [actions] { actions.openWindow(WindowKind::setup); });
  }
  for (const StatusRow& row : statusRows(host)) {
    menu_->addAction(QString::fromStdString(row.text))->setEnabled(false);
  }
  menu_->addSeparator();
  if (!host.settingsProblem.empty()) {
    menu_->addAction(QString::fromStdString(host.settingsProblem))->setEnabled(false);
  }
  menu_->addAction(QString::fromUtf8(labels::addDevice), this,
                   [actions] { actions.openWindow(WindowKind::pairing); });
  // Checked as saved: a click asks for the change, and the item follows once it is made.
  QAction* login = menu_->addAction(QString::fromUtf8(labels::openAtLogin));
  login->setCheckable(true);
  login->setChecked(host.launchAtLogin);
  connect(login, &QAction::triggered, this, [this, login](bool on) {
    model_.setOpenAtLogin(on);
    login->setChecked(model_.snapshot().launchAtLogin);
  });
  if (items.keepAwake) {
    QAction* awake = menu_->addAction(QString::fromUtf8(labels::keepAwake));
    awake->setCheckable(true);
    awake->setChecked(host.keepAwake);
    connect(awake, &QAction::triggered, this, [this, awake](bool on) {
      model_.setKeepAwake(on);
      awake->setChecked(model_.snapshot().keepAwake);
    });
  }
  menu_->addSeparator();
  menu_->addAction(QString::fromUtf8(labels::rename), this, [this] {
    showPanel();
    panel_->startRenaming();
  });
  menu_->addAction(QString::fromUtf8(labels::setUpPermissions), this,
                   [actions] { actions.openWindow(WindowKind::setup); });
  if (items.leaveAccount) {
    menu_->addAction(QString::fromUtf8(labels::leaveAccount), this,
                     [this] { panel_->confirmLeave(); });
  }
  menu_->addSeparator();
  menu_->addAction(QString::fromUtf8(labels::quit), this, [actions] { actions.quit(); });
}

}  // namespace nimbrel::ui
