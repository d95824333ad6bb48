#include "input/mutter_input.hpp"

#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <cmath>

#include "base/log.hpp"
#include "input/characters.hpp"
#include "input/wayland_keymap.hpp"
#include "platform/mutter_remote_desktop.hpp"

namespace nimbrel {

namespace {

// Linux input event codes (linux/input-event-codes.h).
constexpr std::uint32_t kButtonLeft = 0x110;
constexpr std::uint32_t kButtonRight = 0x111;
constexpr std::uint32_t kButtonMiddle = 0x112;
constexpr std::uint32_t kCapsLockKeysym = 0xffe5;
// XKB keycodes are evdev codes plus 8.
constexpr std::uint32_t kXkbOffset = 8;

std::uint32_t evdevButton(MouseButton button) {
  switch (button) {
    case MouseButton::left: return kButtonLeft;
    case MouseButton::right: return kButtonRight;
    case MouseButton::middle: return kButtonMiddle;
  }
  return kButtonLeft;
}

}  // namespace

MutterInput::MutterInput(Options options) : options_(std::move(options)) {
  InputSynthesis::Options synthesis;
  synthesis.doubleClickInterval = options_.doubleClickInterval;
  synthesis.layout = [this](char32_t c) { return layoutKey(c); };
  InputEventSink& sink = *this;
  synthesis_ = std::make_unique<InputSynthesis>(sink, synthesis);
}

MutterInput::~MutterInput() = default;

void MutterInput::report(const std::string& problem) {
  const std::lock_guard guard(problemLock_);
  if (problem == lastProblem_) return;
  lastProblem_ = problem;
  logLine("Couldn't send input to the desktop: " + problem);
}

template <typename Work>
void MutterInput::guarded(Work work) {
  try {
    work();
  } catch (const MutterError& error) {
    report(error.what());
  }
}

std::optional<LayoutKey> MutterInput::layoutKey(char32_t c) {
  const auto now = std::chrono::steady_clock::now();
  if (!keymap_ && now >= nextKeymapTry_) {
    // A headless seat may have no keyboard yet: tried again a while later.
    nextKeymapTry_ = now + std::chrono::seconds(5);
    try {
      keymap_ = WaylandKeymap::connect(options_.waylandDisplay);
    } catch (const std::exception& error) {
      logLine(std::string("The desktop's keyboard layout is unknown (") + error.what() +
              "); text goes out as key symbols.");
    }
  }
  if (!keymap_) return std::nullopt;
  return keymap_->lookup(c);
}

Point MutterInput::position() { return options_.desktop->pointer(); }
Point MutterInput::pointer() { return options_.desktop->pointer(); }

void MutterInput::setPointerListener(PointerListener listener) {
  options_.desktop->setPointerListener(std::move(listener));
}

void MutterInput::move(double x, double y) {
  guarded([&] { synthesis_->move(x, y); });
}

void MutterInput::button(MouseButton button, bool down) {
  guarded([&] { synthesis_->button(button, down); });
}

void MutterInput::scroll(double dx, double dy) {
  guarded([&] { synthesis_->scroll(dx, dy); });
}

void MutterInput::key(const std::string& name, const std::vector<std::string>& mods,
                      const std::string& action) {
  guarded([&] {
    if (keymap_) keymap_->refresh();
    synthesis_->key(name, mods, action);
  });
  reportLeftOut();
}

void MutterInput::text(const std::string& text) {
  guarded([&] {
    if (keymap_) keymap_->refresh();
    left_.clear();
    // Caps Lock would turn the case of every letter typed from its key: set aside meanwhile.
    const bool capsLock = options_.desktop->capsLock() &&
                          (!keymap_ || keymap_->hasKeysym(kCapsLockKeysym));
    auto toggleCapsLock = [this] {
      options_.desktop->keysym(kCapsLockKeysym, true);
      options_.desktop->keysym(kCapsLockKeysym, false);
    };
    if (capsLock) toggleCapsLock();
    struct Restore {
      bool on;
      std::function<void()> toggle;
      ~Restore() {
        if (!on) return;
        try {
          toggle();
        } catch (const MutterError&) {
          // The session is gone, and its Caps Lock with it.
        }
      }
    } restore{capsLock, toggleCapsLock};
    synthesis_->text(text);
  });
  reportLeftOut();
}

void MutterInput::reportLeftOut() {
  if (!left_.empty()) {
    logLine("Couldn't type " + std::to_string(left_.size()) +
            (left_.size() == 1 ? " character" : " characters") +
            " that the desktop's keyboard layout lacks (GNOME on Wayland types only the characters "
            "of its active layout): " + encodeUtf8(left_));
    left_.clear();
  }
}

std::string MutterInput::getClip() {
  try {
    return options_.desktop->readClipboard();
  } catch (const MutterError& error) {
    report(error.what());
    return {};
  }
}

void MutterInput::setClip(const std::string& text) {
  guarded([&] { options_.desktop->offerClipboard(text); });
}

void MutterInput::releaseAll() {
  guarded([&] { synthesis_->releaseAll(); });
}

void MutterInput::motion(Point to, std::optional<MouseButton>) {
  options_.desktop->movePointer(to);
}

void MutterInput::button(MouseButton button, bool down, int) {
  // The compositor counts clicks itself, from the timing of the presses.
  options_.desktop->pointerButton(evdevButton(button), down);
}

void MutterInput::wheel(int vertical, int horizontal) {
  // Positive steps scroll down or right.
  if (vertical != 0) options_.desktop->scrollDiscrete(0, -vertical);
  if (horizontal != 0) options_.desktop->scrollDiscrete(1, -horizontal);
}

void MutterInput::key(KeyRef key, bool down, std::uint32_t) {
  if (key.kind == KeyRef::Kind::keycode) {
    if (key.value >= kXkbOffset) options_.desktop->keycode(key.value - kXkbOffset, down);
    return;
  }
  // The compositor finds a key for a keysym in its active layout, and types nothing otherwise.
  if (keymap_ && !keymap_->hasKeysym(key.value)) {
    if (down) {
      const std::uint32_t c = key.value >= 0x1000000 ? key.value - 0x1000000
                                                     : xkb_keysym_to_utf32(key.value);
      if (c != 0) left_.push_back(static_cast<char32_t>(c));
    }
    return;
  }
  options_.desktop->keysym(key.value, down);
}

void MutterInput::mediaKey(Keysym keysym) {
  options_.desktop->keysym(keysym, true);
  options_.desktop->keysym(keysym, false);
}

}  // namespace nimbrel
