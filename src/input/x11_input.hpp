#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "input/input_backend.hpp"
#include "input/input_synthesis.hpp"
#include "input/neutral_keyboard.hpp"

struct xcb_connection_t;

namespace nimbrel {

class CaretLocator;
class X11Clipboard;
class X11Connection;
class X11Keyboard;
class X11PointerWatch;

// The back-end that drives the real X11 desktop: the input rules of InputSynthesis executed with
// XTest, the CLIPBOARD selection, and the caret through accessibility.
//
// Nothing talks to the X server where the back-end is made: the display is opened on first use,
// on the strand that uses it, and a display that cannot be used turns input off for the session
// with one line saying why. Input calls come from one session's serial input strand; getClip,
// setClip and caret from its auxiliary strand; the pointer position reaches the pointer listener
// from a thread of its own. The synthesis state is touched by the input strand only.
class X11Input final : public InputBackend, private InputEventSink {
 public:
  struct Options {
    std::string display;               // DISPLAY when empty
    std::optional<double> doubleClickInterval;  // the desktop's setting when empty
  };

  explicit X11Input(Options options = {});
  ~X11Input() override;

  std::string osName() const override { return "linux"; }
  Point position() override;
  void move(double x, double y) override;
  void button(MouseButton button, bool down) override;
  void scroll(double dx, double dy) override;
  void key(const std::string& name, const std::vector<std::string>& mods,
           const std::string& action) override;
  void text(const std::string& text) override;
  std::string getClip() override;
  void setClip(const std::string& text) override;
  std::optional<Rect> caret() override;
  void releaseAll() override;
  void setPointerListener(PointerListener listener) override;

  // Opens the display now (the first input call does otherwise). Throws X11Error when it cannot
  // be opened or lacks XTEST or XKB.
  void open();

 private:
  // InputEventSink
  Point pointer() override;
  void motion(Point to, std::optional<MouseButton> dragging) override;
  void button(MouseButton button, bool down, int clickCount) override;
  void wheel(int vertical, int horizontal) override;
  void key(KeyRef key, bool down, std::uint32_t modifiers) override;
  void mediaKey(Keysym keysym) override;
  void flush() override;

  // On the input strand: the display is open (opening it now), or input is off.
  bool ready();
  void fakeKey(std::uint8_t keycode, bool down);
  KeyboardStateToClear keyboardStateToClear();
  void clearKeyboardState(const KeyboardStateToClear& state);
  void restoreKeyboardState(const KeyboardStateToClear& state);
  std::optional<std::uint8_t> keycodeFor(KeyRef key, bool down);

  const Options options_;
  std::mutex openLock_;  // guards opening: the input and auxiliary strands may both open
  bool failed_ = false;
  std::unique_ptr<X11Connection> connection_;
  std::shared_ptr<X11Keyboard> keyboard_;
  std::shared_ptr<X11Clipboard> clipboard_;
  std::shared_ptr<CaretLocator> caret_;
  std::unique_ptr<InputSynthesis> synthesis_;
  bool lent_ = false;  // a spare keycode was used since the last flush
  std::unique_ptr<X11PointerWatch> pointerWatch_;  // touched by setPointerListener only
};

// XKB's LatchLockState on the core keyboard: the modifiers in `affectLocks` become locked as in
// `locks`, those in `affectLatches` latched as in `latches`. The connection must have set up XKB.
void xkbLatchLockState(xcb_connection_t* connection, std::uint8_t affectLocks, std::uint8_t locks,
                       std::uint8_t affectLatches, std::uint8_t latches);

}  // namespace nimbrel
