#pragma once

#include <QWidget>

#include <functional>

#include "ui/app_actions.hpp"
#include "ui/host_model.hpp"

class QLabel;
class QPushButton;

namespace nimbrel::ui {

// One of the two things the display must allow, with its state and the way to fix it.
class PermissionStepView : public QWidget {
 public:
  PermissionStepView(int number, const QString& title, const QString& detail,
                     std::function<void()> allow, QWidget* parent = nullptr);
  void setGranted(bool granted);
  bool granted() const { return granted_; }
  QPushButton* allowButton() const { return allow_; }
  QLabel* allowedLabel() const { return allowed_; }

 private:
  class Badge;
  Badge* badge_;
  QPushButton* allow_;
  QLabel* allowed_;
  bool granted_ = false;
};

// "Set Up Nimbrel": what the display must allow, which of it it does, and on to pairing.
class SetupWindow : public QWidget {
  Q_OBJECT

 public:
  SetupWindow(HostModel& model, AppActions actions, QWidget* parent = nullptr);

  PermissionStepView* screenStep() const { return screen_; }
  PermissionStepView* inputStep() const { return input_; }
  QPushButton* nextButton() const { return next_; }
  QPushButton* relaunchButton() const { return relaunch_; }

 private:
  void refresh();
  void explain(const QString& title, const std::string& help);

  HostModel& model_;
  AppActions actions_;
  PermissionStepView* screen_;
  PermissionStepView* input_;
  QPushButton* relaunch_;
  QPushButton* next_;
};

}  // namespace nimbrel::ui
