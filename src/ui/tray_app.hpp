#pragma once

#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "ui/app_actions.hpp"
#include "ui/host_model.hpp"
#include "ui/menu_panel.hpp"
#include "ui/ui_rules.hpp"
#include "ui/window_manager.hpp"

class QMenu;

namespace nimbrel::ui {

// The tray icon, its panel and context menu, and the windows, all following one model.
class TrayApp : public QObject {
  Q_OBJECT

 public:
  TrayApp(HostModel& model, AppActions actions, QObject* parent = nullptr);
  ~TrayApp() override;

  // Opens what the first picture of the host calls for (once the model has one).
  void launch(bool showPairing);
  // A second launch asked this one to come forward: its open window, else the pairing window.
  void comeForward();
  void showPanel();

  QSystemTrayIcon& icon() { return icon_; }
  MenuPanel& panel() { return *panel_; }
  QMenu& contextMenu() { return *menu_; }
  WindowManager& windows() { return windows_; }
  TrayIconState iconState() const { return iconState_; }

 signals:
  void launched(LaunchWindow opened);

 private:
  void refresh();
  void rebuildContextMenu();
  void runLaunch();

  HostModel& model_;
  WindowManager windows_;
  std::unique_ptr<MenuPanel> panel_;
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon icon_;
  TrayIconState iconState_ = TrayIconState::idle;
  bool launchPending_ = false;
  bool showPairing_ = false;
};

}  // namespace nimbrel::ui
