#include "input/x11_input.hpp"

// xcb/xkb.h names a field "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>

#include <sys/uio.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cmath>

#include "base/log.hpp"
#include "input/caret_locator.hpp"
#include "input/x11_clipboard.hpp"
#include "input/x11_keyboard.hpp"
#include "input/x11_pointer_watch.hpp"
#include "input/xsettings.hpp"
#include "platform/x11_connection.hpp"

namespace nimbrel {
namespace {

std::uint8_t buttonNumber(MouseButton button) {
  switch (button) {
    case MouseButton::left: return 1;
    case MouseButton::middle: return 2;
    case MouseButton::right: return 3;
  }
  return 1;
}

std::int16_t toCoordinate(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<std::int16_t>(std::clamp(std::trunc(v), -32768.0, 32767.0));
}

}  // namespace

// Sent by hand: xcb's generated call
// has no field for the latched values (that byte is padding there), so it can only clear them.
void xkbLatchLockState(xcb_connection_t* c, std::uint8_t affectLocks, std::uint8_t locks,
                       std::uint8_t affectLatches, std::uint8_t latches) {
  struct {
    std::uint8_t majorOpcode = 0;
    std::uint8_t minorOpcode = XCB_XKB_LATCH_LOCK_STATE;
    std::uint16_t length = 4;  // in 4-byte units
    std::uint16_t deviceSpec = XCB_XKB_ID_USE_CORE_KBD;
    std::uint8_t affectModLocks = 0;
    std::uint8_t modLocks = 0;
    std::uint8_t lockGroup = 0;
    std::uint8_t groupLock = 0;
    std::uint8_t affectModLatches = 0;
    std::uint8_t modLatches = 0;
    std::uint8_t unused = 0;
    std::uint8_t latchGroup = 0;
    std::uint16_t groupLatch = 0;
  } request;
  static_assert(sizeof request == 16);
  request.affectModLocks = affectLocks;
  request.modLocks = locks;
  request.affectModLatches = affectLatches;
  request.modLatches = latches;
  iovec parts[3];  // xcb uses the two entries before the request's own
  parts[2].iov_base = &request;
  parts[2].iov_len = sizeof request;
  xcb_protocol_request_t info{1, &xcb_xkb_id, XCB_XKB_LATCH_LOCK_STATE, 1};
  xcb_send_request(c, 0, &parts[2], &info);
}

X11Input::X11Input(Options options) : options_(std::move(options)) {}

X11Input::~X11Input() = default;

void X11Input::open() {
  const std::lock_guard guard(openLock_);
  if (synthesis_) return;
  auto connection = std::make_unique<X11Connection>(options_.display);
  if (!connection->hasExtension(&xcb_test_id)) {
    throw X11Error("the X display " + connection->displayName() +
                   " has no XTEST extension, so input cannot be injected");
  }
  keyboard_ = X11Keyboard::forDisplay(connection->displayName());
  clipboard_ = X11Clipboard::forDisplay(connection->displayName());
  InputSynthesis::Options synthesis;
  synthesis.doubleClickInterval =
      options_.doubleClickInterval.value_or(desktopDoubleClickInterval(*connection).value_or(0.5));
  // Its XKB requests (the lock and latch state around text) need the extension set up here too.
  XcbReply<xcb_xkb_use_extension_reply_t> xkb(xcb_xkb_use_extension_reply(
      connection->get(), xcb_xkb_use_extension(connection->get(), 1, 0), nullptr));
  if (!xkb || !xkb->supported) {
    throw X11Error("the X display " + connection->displayName() + " has no usable XKB extension");
  }
  connection_ = std::move(connection);
  synthesis_ = std::make_unique<InputSynthesis>(static_cast<InputEventSink&>(*this), synthesis);
}

bool X11Input::ready() {
  {
    const std::lock_guard guard(openLock_);
    if (synthesis_) return true;
    if (failed_) return false;
  }
  try {
    open();
    return true;
  } catch (const std::exception& error) {
    const std::lock_guard guard(openLock_);
    failed_ = true;
    logLine(std::string("Input to the desktop is off for this session: ") + error.what());
    return false;
  }
}

Point X11Input::position() { return ready() ? pointer() : Point{}; }

void X11Input::setPointerListener(PointerListener listener) {
  pointerWatch_.reset();  // never waits for the X server
  if (listener) pointerWatch_ = std::make_unique<X11PointerWatch>(options_.display, std::move(listener));
}

Point X11Input::pointer() {
  xcb_connection_t* c = connection_->get();
  XcbReply<xcb_query_pointer_reply_t> reply(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_->root()), nullptr));
  if (!reply) return {};
  return {static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

void X11Input::move(double x, double y) {
  if (ready()) synthesis_->move(x, y);
}
void X11Input::button(MouseButton button, bool down) {
  if (ready()) synthesis_->button(button, down);
}
void X11Input::scroll(double dx, double dy) {
  if (ready()) synthesis_->scroll(dx, dy);
}
void X11Input::key(const std::string& name, const std::vector<std::string>& mods,
                   const std::string& action) {
  if (ready()) synthesis_->key(name, mods, action);
}
void X11Input::text(const std::string& text) {
  if (!ready()) return;
  // No lock, latch or held modifier may change what the text types; each is put back after.
  const KeyboardStateToClear state = keyboardStateToClear();
  clearKeyboardState(state);
  synthesis_->text(text);
  restoreKeyboardState(state);
}

KeyboardStateToClear X11Input::keyboardStateToClear() {
  xcb_connection_t* c = connection_->get();
  const auto stateCookie = xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD);
  const auto keymapCookie = xcb_query_keymap(c);
  const auto modifiersCookie = xcb_get_modifier_mapping(c);
  XcbReply<xcb_xkb_get_state_reply_t> state(xcb_xkb_get_state_reply(c, stateCookie, nullptr));
  XcbReply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(c, keymapCookie, nullptr));
  XcbReply<xcb_get_modifier_mapping_reply_t> modifiers(
      xcb_get_modifier_mapping_reply(c, modifiersCookie, nullptr));
  KeyboardStateToClear clear;
  if (state) {
    clear.lockedMods = state->lockedMods;
    clear.latchedMods = state->latchedMods;
  }
  if (keymap && modifiers) {
    std::array<std::uint8_t, 32> pressed{};
    std::copy(std::begin(keymap->keys), std::end(keymap->keys), pressed.begin());
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(modifiers.get());
    const int count = xcb_get_modifier_mapping_keycodes_length(modifiers.get());
    clear.heldModifierKeys = heldModifierKeys(pressed, std::vector<std::uint8_t>(codes, codes + count));
  }
  return clear;
}

void X11Input::clearKeyboardState(const KeyboardStateToClear& state) {
  if (state.empty()) return;
  for (std::uint8_t keycode : state.heldModifierKeys) fakeKey(keycode, false);
  xkbLatchLockState(connection_->get(), state.lockedMods, 0, state.latchedMods, 0);
  xcb_flush(connection_->get());
}

void X11Input::restoreKeyboardState(const KeyboardStateToClear& state) {
  if (state.empty()) return;
  for (std::uint8_t keycode : state.heldModifierKeys) fakeKey(keycode, true);
  xkbLatchLockState(connection_->get(), state.lockedMods, state.lockedMods, state.latchedMods,
                 state.latchedMods);
  xcb_flush(connection_->get());
}
void X11Input::releaseAll() {
  {
    const std::lock_guard guard(openLock_);
    if (!synthesis_) return;  // nothing was ever pressed
  }
  synthesis_->releaseAll();
}

std::string X11Input::getClip() { return ready() ? clipboard_->text() : std::string(); }
void X11Input::setClip(const std::string& text) {
  if (ready()) clipboard_->setText(text);
}
std::optional<Rect> X11Input::caret() {
  // Accessibility starts with the first question, when a client watches the caret.
  if (!caret_) caret_ = CaretLocator::shared();
  return caret_ ? caret_->caret() : std::nullopt;
}

void X11Input::motion(Point to, std::optional<MouseButton>) {
  // X has no drag events: a motion with a button held is a drag.
  xcb_test_fake_input(connection_->get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME,
                      connection_->root(), toCoordinate(to.x), toCoordinate(to.y), 0);
}

void X11Input::button(MouseButton button, bool down, int) {
  // X applications count clicks themselves, from the timing of the presses.
  xcb_test_fake_input(connection_->get(), down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE,
                      buttonNumber(button), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11Input::wheel(int vertical, int horizontal) {
  auto clicks = [this](int count, std::uint8_t positive, std::uint8_t negative) {
    const std::uint8_t number = count > 0 ? positive : negative;
    for (int i = 0; i < std::abs(count); ++i) {
      xcb_test_fake_input(connection_->get(), XCB_BUTTON_PRESS, number, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
      xcb_test_fake_input(connection_->get(), XCB_BUTTON_RELEASE, number, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
  };
  clicks(vertical, 4, 5);    // up, down
  clicks(horizontal, 6, 7);  // left, right
}

std::optional<std::uint8_t> X11Input::keycodeFor(KeyRef key, bool down) {
  if (key.kind == KeyRef::Kind::keycode) return static_cast<std::uint8_t>(key.value);
  if (auto keycode = keyboard_->keycodeFor(key.value)) return keycode;
  auto lent = keyboard_->lend(connection_->get(), key.value);
  if (lent) {
    keyboard_->pressed(*lent, down);
    lent_ = true;
  }
  return lent;
}

void X11Input::fakeKey(std::uint8_t keycode, bool down) {
  xcb_test_fake_input(connection_->get(), down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11Input::key(KeyRef key, bool down, std::uint32_t) {
  // The modifier state comes from the modifier keys pressed before, as on a real keyboard.
  if (auto keycode = keycodeFor(key, down)) fakeKey(*keycode, down);
}

void X11Input::mediaKey(Keysym keysym) {
  key(KeyRef::keysym(keysym), true, 0);
  key(KeyRef::keysym(keysym), false, 0);
}

void X11Input::flush() {
  xcb_flush(connection_->get());
  if (lent_) {
    lent_ = false;
    keyboard_->restoreWhenIdle();
  }
}

}  // namespace nimbrel
