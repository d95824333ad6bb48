#pragma once

#include <QFrame>
#include <QPointer>

#include "ui/app_actions.hpp"
#include "ui/host_model.hpp"
#include "ui/ui_rules.hpp"

#include <QMessageBox>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace nimbrel::ui {

// The panel that opens from the tray icon: who the host is, whether it is reachable, who is
// connected, and the few actions a person needs. Follows the model as it changes.
class MenuPanel : public QFrame {
  Q_OBJECT

 public:
  MenuPanel(HostModel& model, AppActions actions, QWidget* parent = nullptr);

  // Opens the panel next to the icon's area (or the pointer), inside the screen.
  void popUpNear(const QRect& anchor);

  // The rename row, as "Rename This Computer…" opens it.
  void startRenaming();
  void confirmLeave();

  // For tests and the context menu.
  QPushButton* finishSetupButton() const { return finishSetup_; }
  QCheckBox* openAtLoginBox() const { return openAtLogin_; }
  QCheckBox* keepAwakeBox() const { return keepAwake_; }
  QLabel* settingsProblem() const { return settingsProblem_; }
  QWidget* renameRow() const { return renameRow_; }
  QLineEdit* renameField() const { return renameField_; }
  QPushButton* saveButton() const { return save_; }
  QMenu* moreMenu() const { return more_; }
  QAction* leaveAction() const { return leave_; }
  QWidget* statusRows() const { return rows_; }
  QMessageBox* leaveConfirmation() const { return confirmation_; }

 protected:
  bool event(QEvent* event) override;

 private:
  void refresh();
  void submitRename();

  HostModel& model_;
  AppActions actions_;
  QLabel* name_;
  QPushButton* finishSetup_;
  QWidget* rows_;
  QVBoxLayout* rowsLayout_;
  QCheckBox* openAtLogin_;
  QCheckBox* keepAwake_;
  QLabel* settingsProblem_;
  QWidget* renameRow_;
  QLineEdit* renameField_;
  QPushButton* save_;
  QMenu* more_;
  QAction* leave_;
  QPointer<QMessageBox> confirmation_;
};

}  // namespace nimbrel::ui
