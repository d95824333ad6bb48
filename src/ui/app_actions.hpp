#pragma once

#include <functional>

namespace nimbrel::ui {

enum class WindowKind { pairing, setup };

// What the views ask of the application around them.
struct AppActions {
  std::function<void(WindowKind)> openWindow;
  std::function<void()> quit;
  std::function<void()> relaunch;
};

}  // namespace nimbrel::ui
