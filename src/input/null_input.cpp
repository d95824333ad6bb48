#include "input/null_input.hpp"

#include "base/decimal.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace nimbrel {

const char* rawValue(MouseButton button) {
  switch (button) {
    case MouseButton::left: return "left";
    case MouseButton::right: return "right";
    case MouseButton::middle: return "middle";
  }
  return "left";
}

std::optional<MouseButton> mouseButtonFrom(std::string_view raw) {
  if (raw == "left") return MouseButton::left;
  if (raw == "right") return MouseButton::right;
  if (raw == "middle") return MouseButton::middle;
  return std::nullopt;
}

namespace {

// A coordinate as a decimal integer, truncated toward zero; values outside the 64-bit range
// (and NaN) are clamped rather than left undefined.
std::string truncated(double value) {
  if (std::isnan(value)) return "0";
  if (value >= 9223372036854775807.0) return "9223372036854775807";
  if (value <= -9223372036854775808.0) return "-9223372036854775808";
  return std::to_string(static_cast<std::int64_t>(value));
}

}  // namespace

NullInput::NullInput(std::string osName, Printer print)
    : osName_(std::move(osName)),
      print_(print ? std::move(print) : filePrinter(stdout)) {}

NullInput::Printer NullInput::filePrinter(std::FILE* file) {
  return [file](const std::string& line) {
    const std::string whole = line + '\n';
    std::fwrite(whole.data(), 1, whole.size(), file);
    std::fflush(file);
  };
}

void NullInput::record(std::string text) {
  {
    std::lock_guard lock(lock_);
    calls_.push_back(text);
  }
  print_("input (" + text + ")");
}

Point NullInput::position() {
  std::lock_guard lock(lock_);
  return position_;
}

void NullInput::move(double x, double y) {
  PointerListener listener;
  {
    std::lock_guard lock(lock_);
    position_ = {x, y};
    listener = listener_;
  }
  record("'move', " + truncated(x) + ", " + truncated(y));
  if (listener) listener({x, y});
}

void NullInput::setPointerListener(PointerListener listener) {
  Point now;
  {
    std::lock_guard lock(lock_);
    listener_ = listener;
    now = position_;
  }
  if (listener) listener(now);
}

void NullInput::button(MouseButton button, bool down) {
  record(std::string("'button', '") + rawValue(button) + "', " + (down ? "True" : "False"));
}

void NullInput::scroll(double dx, double dy) {
  record("'scroll', " + shortestDecimal(dx) + ", " + shortestDecimal(dy));
}

void NullInput::key(const std::string& name, const std::vector<std::string>& mods,
                    const std::string& action) {
  std::string list = "[";
  for (std::size_t i = 0; i < mods.size(); ++i) {
    if (i > 0) list += ", ";
    list += "\"" + mods[i] + "\"";
  }
  list += "]";
  record("'key', '" + name + "', " + list + ", '" + action + "'");
}

void NullInput::text(const std::string& text) { record("'text', '" + text + "'"); }

std::string NullInput::getClip() {
  std::lock_guard lock(lock_);
  return clip_;
}

void NullInput::setClip(const std::string& text) {
  {
    std::lock_guard lock(lock_);
    clip_ = text;
  }
  record("'setclip', '" + text + "'");
}

std::vector<std::string> NullInput::calls() const {
  std::lock_guard lock(lock_);
  return calls_;
}

}  // namespace nimbrel
