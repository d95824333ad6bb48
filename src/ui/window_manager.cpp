#include "ui/window_manager.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <utility>

#include "ui/pairing_window.hpp"
#include "ui/setup_window.hpp"

namespace nimbrel::ui {

WindowManager::WindowManager(HostModel& model, AppActions actions, QObject* parent)
    : QObject(parent), model_(model), actions_(std::move(actions)) {
  actions_.openWindow = [this](WindowKind kind) { open(kind); };
}

WindowManager::~WindowManager() {
  // Each window's end erases its entry: take the table first.
  const auto open = std::exchange(open_, {});
  for (const auto& [kind, window] : open) delete window.data();
}

QWidget* WindowManager::window(WindowKind kind) const {
  auto found = open_.find(kind);
  return found == open_.end() ? nullptr : found->second.data();
}

QWidget* WindowManager::anyOpen() const {
  if (QWidget* pairing = window(WindowKind::pairing)) return pairing;
  return window(WindowKind::setup);
}

QWidget* WindowManager::open(WindowKind kind) {
  QWidget* window = this->window(kind);
  if (!window) {
    if (kind == WindowKind::pairing) {
      window = new PairingWindow(model_, actions_);
    } else {
      window = new SetupWindow(model_, actions_);
    }
    window->setAttribute(Qt::WA_DeleteOnClose);
    open_[kind] = window;
    connect(window, &QObject::destroyed, this, [this, kind] { open_.erase(kind); });
    window->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect frame = window->frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      window->move(frame.topLeft());
    }
  }
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

}  // namespace nimbrel::ui
