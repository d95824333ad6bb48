#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "input/key_tables.hpp"
#include "platform/wake_pipe.hpp"
#include "platform/x11_connection.hpp"

struct xkb_context;

namespace nimbrel {

// The X server's keyboard as the input back-ends need it, one per display for the whole process:
//  - keeps KeyboardLayout::shared() in step with the server's keymap and active group (rebuilt
//    on XKB new-keyboard, map and group changes; a failed read keeps the previous map);
//  - finds the keycode of a keysym on the current layout;
//  - lends spare keycodes (ones the keymap leaves empty) for keysyms the layout lacks: the
//    keycode is mapped to the keysym for the press and emptied again once the keyboard has been
//    idle for a moment (so the next word in the same script needs no remapping). The spares are
//    reused in turn, and one is only remapped once clients have had time to read the previous
//    press, so long texts in other scripts never run out of keycodes and the user's keymap ends
//    exactly as it was.
//
// Thread-safety: every member may be called from any thread.
class X11Keyboard {
 public:
  // Throws X11Error when the display cannot be opened or has no XKB.
  static std::shared_ptr<X11Keyboard> forDisplay(const std::string& display);

  explicit X11Keyboard(const std::string& display);
  ~X11Keyboard();

  // The keycode typing `keysym` without modifiers on the current layout.
  std::optional<std::uint8_t> keycodeFor(Keysym keysym) const;

  // A spare keycode mapped to `keysym` on the connection `via` (the one that will press it, so
  // that the mapping reaches the server first), or nothing when every spare is held down.
  std::optional<std::uint8_t> lend(xcb_connection_t* via, Keysym keysym);
  // Press state of a lent keycode: a held one is never remapped or emptied.
  void pressed(std::uint8_t keycode, bool down);
  // Called once the presses of a command have been sent: every lent keycode that is not held is
  // emptied by the watcher once it has been idle for idleBeforeRestore.
  void restoreWhenIdle();

  // Re-reads the keymap now (also done by the watcher on every change).
  void rebuild();

  // Time given to clients to read a press before its keycode changes meaning again. Clients
  // read the keymap when they handle the press, which a busy client does late: the guards are
  // generous. A spare that stays mapped a little longer harms nobody; one emptied or remapped
  // before a client has read it types NoSymbol or the wrong character there.
  static constexpr std::chrono::milliseconds settleTime{250};
  static constexpr std::chrono::milliseconds idleBeforeRestore{2000};

 private:
  using Clock = std::chrono::steady_clock;
  struct Spare {
    std::uint8_t keycode;
    Keysym keysym = 0;  // 0: empty
    Clock::time_point lastUse{};
    bool down = false;
  };

  void watch();
  // Empties the lent keycodes idle since idleBeforeRestore; the time of the next one due.
  std::optional<Clock::time_point> restoreIdle(Clock::time_point now);
  // Waits until clients have had time to read every press sent on `via` so far.
  void settle(xcb_connection_t* via);

  X11Connection connection_;
  xkb_context* context_ = nullptr;
  std::int32_t device_ = 0;
  std::uint8_t xkbEventBase_ = 0;
  WakePipe wake_;
  std::atomic<bool> stopping_{false};

  mutable std::mutex lock_;  // guards the fields below
  std::unordered_map<Keysym, std::uint8_t> keycodes_;
  std::vector<Spare> spares_;
  std::uint32_t group_ = 0;
  Clock::time_point settledBefore_{};  // presses before this have been read
  std::set<std::uint32_t> everLent_;
  bool restorePending_ = false;

  std::thread watcher_;
};

}  // namespace nimbrel
