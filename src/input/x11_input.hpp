#pragma once

#include <memory>
#include <string>

#include "input/input_backend.hpp"
#include "input/input_synthesis.hpp"

namespace nimbrel {

class CaretLocator;
class X11Clipboard;
class X11Connection;
class X11Keyboard;

// The back-end that drives the real X11 desktop: the input rules of InputSynthesis executed with
// XTest, the CLIPBOARD selection, and the caret through accessibility.
//
// Input calls come from one session's serial input strand; position() from its pointer loop;
// getClip, setClip and caret from its auxiliary strand. The X connection is thread-safe and the
// synthesis state is touched by the input strand only.
class X11Input final : public InputBackend, private InputEventSink {
 public:
  struct Options {
    std::string display;               // DISPLAY when empty
    std::optional<double> doubleClickInterval;  // the desktop's setting when empty
  };

  // Throws X11Error when the display cannot be opened or lacks XTEST or XKB.
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

 private:
  // InputEventSink
  Point pointer() override;
  void motion(Point to, std::optional<MouseButton> dragging) override;
  void button(MouseButton button, bool down, int clickCount) override;
  void wheel(int vertical, int horizontal) override;
  void key(KeyRef key, bool down, std::uint32_t modifiers) override;
  void mediaKey(Keysym keysym) override;
  void flush() override;

  void fakeKey(std::uint8_t keycode, bool down);
  std::optional<std::uint8_t> keycodeFor(KeyRef key, bool down);

  std::unique_ptr<X11Connection> connection_;
  std::shared_ptr<X11Keyboard> keyboard_;
  std::shared_ptr<X11Clipboard> clipboard_;
  std::shared_ptr<CaretLocator> caret_;
  std::unique_ptr<InputSynthesis> synthesis_;
  bool lent_ = false;  // a spare keycode was used since the last flush
};

}  // namespace nimbrel
