#include "input/input_synthesis.hpp"

#include <algorithm>
#include <cmath>

#include "base/clock.hpp"
#include "input/characters.hpp"

namespace nimbrel {
namespace {

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// "primary" is the platform's shortcut modifier: Control here.
std::string platformName(std::string name) { return name == "primary" ? "ctrl" : name; }

// Scrolling further than this many clicks in one call is dropped rather than replayed click by
// click (a client sending absurd deltas must not stall the input queue).
constexpr double maxClicksPerCall = 100;

}  // namespace

std::uint32_t modifierFlags(const std::vector<std::string>& mods) {
  std::uint32_t flags = 0;
  for (const auto& name : mods) {
    if (auto modifier = modifierKey(name)) flags |= modifier->flag;
  }
  return flags;
}

InputSynthesis::InputSynthesis(InputEventSink& sink, Options options)
    : sink_(sink), options_(std::move(options)) {
  if (!options_.clock) options_.clock = uptimeSeconds;
  if (!options_.layout) options_.layout = [](char32_t c) { return KeyboardLayout::shared().lookup(c); };
  if (!(options_.pixelsPerWheelClick > 0)) options_.pixelsPerWheelClick = 1;
}

std::optional<LayoutKey> InputSynthesis::lookup(char32_t c) const { return options_.layout(c); }

void InputSynthesis::move(double x, double y) {
  std::optional<MouseButton> dragging;
  for (MouseButton b : {MouseButton::left, MouseButton::right, MouseButton::middle}) {
    if (down_.count(b) != 0) {
      dragging = b;
      break;
    }
  }
  sink_.motion({x, y}, dragging);
  sink_.flush();
}

void InputSynthesis::button(MouseButton button, bool down) {
  const Point here = sink_.pointer();
  int count = 1;
  if (down) {
    const double now = options_.clock();
    if (auto last = lastClick_.find(button); last != lastClick_.end()) {
      const Click& click = last->second;
      const double distance = std::hypot(here.x - click.p.x, here.y - click.p.y);
      if (now - click.t <= options_.doubleClickInterval && distance < clickDistance) {
        count = click.count + 1;
      }
    }
    lastClick_[button] = {now, here, count};
    down_.insert(button);
  } else {
    if (auto last = lastClick_.find(button); last != lastClick_.end()) count = last->second.count;
    down_.erase(button);
  }
  sink_.button(button, down, count);
  sink_.flush();
}

void InputSynthesis::scroll(double dx, double dy) {
  if (!std::isfinite(dx) || !std::isfinite(dy)) return;
  const double pixels = options_.pixelsPerWheelClick;
  const double limit = maxClicksPerCall * pixels;
  scrollRemainder_.x = std::clamp(scrollRemainder_.x - dx, -limit, limit);
  scrollRemainder_.y = std::clamp(scrollRemainder_.y - dy, -limit, limit);
  const auto ix = static_cast<int>(std::trunc(scrollRemainder_.x / pixels));
  const auto iy = static_cast<int>(std::trunc(scrollRemainder_.y / pixels));
  if (ix == 0 && iy == 0) return;
  scrollRemainder_.x -= ix * pixels;
  scrollRemainder_.y -= iy * pixels;
  sink_.wheel(iy, ix);
  sink_.flush();
}

void InputSynthesis::key(const std::string& name, const std::vector<std::string>& mods,
                         const std::string& action) {
  std::vector<std::string> m;
  for (const auto& mod : mods) {
    std::string modifier = platformName(mod);
    if (modifierKey(modifier)) m.push_back(std::move(modifier));
  }
  const std::string n = platformName(lowerAscii(name));

  if (auto media = mediaKey(n)) {
    if (action != "up") {
      sink_.mediaKey(*media);
      sink_.flush();
    }
    return;
  }

  KeyRef target;
  if (auto named = namedKey(n)) {
    target = KeyRef::keysym(*named);
  } else {
    const auto clusters = characters(name);
    if (clusters.size() != 1) throw InputError::unknownKey(name);
    const std::u32string& character = clusters.front();
    std::optional<LayoutKey> entry;
    bool viaLowerCase = false;
    if (character.size() == 1) {
      const char32_t c = character.front();
      entry = lookup(c);
      if (!entry && toLower(c) != c) {
        entry = lookup(toLower(c));
        viaLowerCase = entry.has_value();
      }
      if (entry) {
        const bool shift = entry->shift || (viaLowerCase && isUpper(c));
        if (shift && std::find(m.begin(), m.end(), "shift") == m.end()) m.push_back("shift");
      }
    }
    if (!entry) {
      if (!m.empty()) throw InputError::unknownKey(name);
      if (action != "up") text(name);
      return;
    }
    target = KeyRef::keycode(entry->keycode);
  }

  const std::uint32_t flags = modifierFlags(m);
  if (action == "down") {
    pressModifiers(m);
    sink_.key(target, true, flags);
    heldKeys_.push_back({target, m});
  } else if (action == "up") {
    sink_.key(target, false, flags);
    releaseModifiers(m);
    std::erase_if(heldKeys_, [&](const HeldKey& held) { return held.key == target; });
  } else {
    pressModifiers(m);
    sink_.key(target, true, flags);
    sink_.key(target, false, flags);
    releaseModifiers(m);
  }
  sink_.flush();
}

void InputSynthesis::pressModifiers(const std::vector<std::string>& mods) {
  std::uint32_t flags = 0;
  for (const auto& name : mods) {
    const auto modifier = modifierKey(name);
    if (!modifier) continue;
    flags |= modifier->flag;
    sink_.key(KeyRef::keysym(modifier->keysym), true, flags);
  }
}

void InputSynthesis::releaseModifiers(const std::vector<std::string>& mods) {
  std::uint32_t flags = modifierFlags(mods);
  for (auto it = mods.rbegin(); it != mods.rend(); ++it) {
    const auto modifier = modifierKey(*it);
    if (!modifier) continue;
    flags &= ~modifier->flag;
    sink_.key(KeyRef::keysym(modifier->keysym), false, flags);
  }
}

void InputSynthesis::text(const std::string& text) {
  for (const auto& character : characters(text)) typeCharacter(character);
  sink_.flush();
}

void InputSynthesis::typeCharacter(const std::u32string& character) {
  auto tap = [this](KeyRef key, std::uint32_t flags) {
    sink_.key(key, true, flags);
    sink_.key(key, false, flags);
  };
  // Line breaks (a carriage return + line feed pair included: one break, not two) and tabs go
  // out as their keys.
  if (character == U"\n" || character == U"\r" || character == U"\r\n") {
    tap(KeyRef::keysym(keysyms::returnKey), 0);
    return;
  }
  if (character == U"\t") {
    tap(KeyRef::keysym(keysyms::tab), 0);
    return;
  }
  for (char32_t c : character) {
    if (auto entry = lookup(c)) {
      if (entry->shift) {
        sink_.key(KeyRef::keysym(keysyms::shiftL), true, modifierBits::shift);
        tap(KeyRef::keycode(entry->keycode), modifierBits::shift);
        sink_.key(KeyRef::keysym(keysyms::shiftL), false, 0);
      } else {
        tap(KeyRef::keycode(entry->keycode), 0);
      }
    } else if (auto keysym = keysymForCodePoint(c)) {
      tap(KeyRef::keysym(*keysym), 0);
    }
  }
}

void InputSynthesis::releaseAll() {
  const std::set<MouseButton> held = down_;
  for (MouseButton b : held) button(b, false);
  for (auto it = heldKeys_.rbegin(); it != heldKeys_.rend(); ++it) {
    sink_.key(it->key, false, 0);
    releaseModifiers(it->mods);
  }
  heldKeys_.clear();
  sink_.flush();
}

}  // namespace nimbrel
