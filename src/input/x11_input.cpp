#include "input/x11_input.hpp"

#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>

#include "input/caret_locator.hpp"
#include "input/x11_clipboard.hpp"
#include "input/x11_keyboard.hpp"
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

X11Input::X11Input(Options options)
    : connection_(std::make_unique<X11Connection>(options.display)) {
  if (!connection_->hasExtension(&xcb_test_id)) {
    throw X11Error("the X display " + connection_->displayName() +
                   " has no XTEST extension, so input cannot be injected");
  }
  keyboard_ = X11Keyboard::forDisplay(connection_->displayName());
  clipboard_ = X11Clipboard::forDisplay(connection_->displayName());
  InputSynthesis::Options synthesis;
  synthesis.doubleClickInterval =
      options.doubleClickInterval.value_or(desktopDoubleClickInterval(*connection_).value_or(0.5));
  synthesis_ = std::make_unique<InputSynthesis>(static_cast<InputEventSink&>(*this), synthesis);
}

X11Input::~X11Input() = default;

Point X11Input::position() { return pointer(); }

Point X11Input::pointer() {
  xcb_connection_t* c = connection_->get();
  XcbReply<xcb_query_pointer_reply_t> reply(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_->root()), nullptr));
  if (!reply) return {};
  return {static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

void X11Input::move(double x, double y) { synthesis_->move(x, y); }
void X11Input::button(MouseButton button, bool down) { synthesis_->button(button, down); }
void X11Input::scroll(double dx, double dy) { synthesis_->scroll(dx, dy); }
void X11Input::key(const std::string& name, const std::vector<std::string>& mods,
                   const std::string& action) {
  synthesis_->key(name, mods, action);
}
void X11Input::text(const std::string& text) { synthesis_->text(text); }
void X11Input::releaseAll() { synthesis_->releaseAll(); }

std::string X11Input::getClip() { return clipboard_->text(); }
void X11Input::setClip(const std::string& text) { clipboard_->setText(text); }
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
    keyboard_->restore(connection_->get());
  }
}

}  // namespace nimbrel
