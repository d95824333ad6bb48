#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/geometry_types.hpp"
#include "input/input_backend.hpp"
#include "input/key_tables.hpp"
#include "input/keyboard_layout.hpp"

namespace nimbrel {

// A key as the synthesis asks for it: a keycode of the current layout, or a keysym for which the
// executor finds a key (or lends one for the press).
struct KeyRef {
  enum class Kind { keycode, keysym };
  Kind kind = Kind::keysym;
  std::uint32_t value = 0;

  static KeyRef keycode(std::uint32_t code) { return {Kind::keycode, code}; }
  static KeyRef keysym(Keysym sym) { return {Kind::keysym, sym}; }
  bool operator==(const KeyRef&) const = default;
};

// The abstract events the synthesis emits. The X11 executor injects them with XTest; a recording
// sink makes every rule testable without a display.
class InputEventSink {
 public:
  virtual ~InputEventSink() = default;

  // The pointer position in global display coordinates.
  virtual Point pointer() = 0;
  // `dragging`: the held button this motion drags, if any.
  virtual void motion(Point to, std::optional<MouseButton> dragging) = 0;
  virtual void button(MouseButton button, bool down, int clickCount) = 0;
  // Whole wheel clicks: vertical > 0 scrolls up, horizontal > 0 scrolls left.
  virtual void wheel(int vertical, int horizontal) = 0;
  // `modifiers`: the modifier bits that this event carries (see modifierBits).
  virtual void key(KeyRef key, bool down, std::uint32_t modifiers) = 0;
  // One press and release of a media key.
  virtual void mediaKey(Keysym keysym) = 0;
  // Called at the end of every operation that emitted events.
  virtual void flush() {}
};

// The rules that turn client input commands into events: click counting, drags, scroll
// accumulation, key resolution with Shift inference, modifier sequencing, held keys and text.
//
// Not thread-safe: one session calls it from its serial input strand.
class InputSynthesis {
 public:
  struct Options {
    double doubleClickInterval = 0.5;  // seconds
    // Client scroll deltas are pixels; X has wheel clicks only. 40 pixels make one click, about
    // three text lines, as most toolkits scroll per click.
    double pixelsPerWheelClick = 40;
    std::function<double()> clock;  // uptime seconds; the steady clock when empty
    std::function<std::optional<LayoutKey>(char32_t)> layout;  // the shared layout when empty
  };

  static constexpr double clickDistance = 6.0;

  InputSynthesis(InputEventSink& sink, Options options);

  void move(double x, double y);
  void button(MouseButton button, bool down);
  void scroll(double dx, double dy);
  // Throws InputError::unknownKey (emitting nothing) for names it cannot resolve.
  void key(const std::string& name, const std::vector<std::string>& mods, const std::string& action);
  void text(const std::string& text);
  void releaseAll();

 private:
  struct Click {
    double t;
    Point p;
    int count;
  };
  struct HeldKey {
    KeyRef key;
    std::vector<std::string> mods;
  };

  void typeCharacter(const std::u32string& character);
  void pressModifiers(const std::vector<std::string>& mods);
  void releaseModifiers(const std::vector<std::string>& mods);
  std::optional<LayoutKey> lookup(char32_t c) const;

  InputEventSink& sink_;
  Options options_;
  std::set<MouseButton> down_;
  std::map<MouseButton, Click> lastClick_;
  Point scrollRemainder_;
  std::vector<HeldKey> heldKeys_;
};

// The OR of the state bits of the modifier names (unknown names add nothing).
std::uint32_t modifierFlags(const std::vector<std::string>& mods);

}  // namespace nimbrel
