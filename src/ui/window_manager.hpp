#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <map>

#include "ui/app_actions.hpp"
#include "ui/host_model.hpp"

namespace nimbrel::ui {

// At most one window of each kind: opening a kind again brings its window forward; a closed
// window is gone, and the next open builds a fresh one.
class WindowManager : public QObject {
  Q_OBJECT

 public:
  // `actions.openWindow` is replaced by this manager's own.
  WindowManager(HostModel& model, AppActions actions, QObject* parent = nullptr);
  ~WindowManager() override;

  QWidget* open(WindowKind kind);
  QWidget* window(WindowKind kind) const;
  // Any open window, the pairing window first; null when none is open.
  QWidget* anyOpen() const;
  const AppActions& actions() const { return actions_; }

 private:
  HostModel& model_;
  AppActions actions_;
  std::map<WindowKind, QPointer<QWidget>> open_;
};

}  // namespace nimbrel::ui
