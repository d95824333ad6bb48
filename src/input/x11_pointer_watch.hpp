#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/geometry_types.hpp"

namespace nimbrel {

// Follows the pointer of an X display by its events: XInput2 raw motion on a connection and
// thread of the watch's own. The position is read (one QueryPointer on that thread) only after
// the pointer moved (and once a second, for warps, which make no raw motion), so a resting
// pointer costs next to nothing and never the io thread's time; every changed position goes to
// the listener, the first one at once.
//
// The thread is never joined: stop() returns at once, even while the X server does not answer,
// and the thread ends by itself. After stop() returns the listener is not called again.
class X11PointerWatch {
 public:
  using Listener = std::function<void(Point)>;

  // `display`: DISPLAY when empty. Failures (no display, no XInput2) are logged once.
  X11PointerWatch(std::string display, Listener listener);
  ~X11PointerWatch();
  X11PointerWatch(const X11PointerWatch&) = delete;
  X11PointerWatch& operator=(const X11PointerWatch&) = delete;

  void stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace nimbrel
