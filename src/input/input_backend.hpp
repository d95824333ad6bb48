#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/geometry_types.hpp"

namespace nimbrel {

// Listed in the order a held button is looked for when a move becomes a drag.
enum class MouseButton { left, right, middle };

const char* rawValue(MouseButton button);
std::optional<MouseButton> mouseButtonFrom(std::string_view raw);

// The one failure an input back-end reports: what() is "unknown key " + the name.
class InputError : public std::runtime_error {
 public:
  static InputError unknownKey(const std::string& name) { return InputError(name); }
  const std::string& keyName() const { return name_; }

 private:
  explicit InputError(const std::string& name) : std::runtime_error("unknown key " + name), name_(name) {}
  std::string name_;
};

// Everything a session does to the computer's pointer, keyboard and clipboard. Positions are
// global display coordinates: points, origin top-left of the primary display, y downwards.
//
// A session makes its input calls (move, button, scroll, key, text, releaseAll) one at a time
// on its input strand; getClip, setClip and caret come from its auxiliary strand, position from
// the synthetic screen. Implementations guard their state accordingly.
class InputBackend {
 public:
  using PointerListener = std::function<void(Point)>;

  virtual ~InputBackend() = default;

  // Hears where the pointer is whenever that changes (the current position at once), from any
  // thread, without waiting on the desktop. Replaces the previous listener; an empty one stops.
  // Once it returns, a replaced listener may still be called once, not more.
  virtual void setPointerListener(PointerListener listener) = 0;

  virtual std::string osName() const = 0;
  virtual Point position() = 0;
  virtual void move(double x, double y) = 0;
  virtual void button(MouseButton button, bool down) = 0;
  virtual void scroll(double dx, double dy) = 0;
  // action: "down" holds, "up" releases, anything else presses and releases.
  virtual void key(const std::string& name, const std::vector<std::string>& mods,
                   const std::string& action) = 0;
  virtual void text(const std::string& text) = 0;
  virtual std::string getClip() = 0;
  virtual void setClip(const std::string& text) = 0;
  virtual std::optional<Rect> caret() = 0;
  virtual void releaseAll() = 0;
};

}  // namespace nimbrel
