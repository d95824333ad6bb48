#include "support/x11_test_window.hpp"

#include <poll.h>
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace nimbrel::test {
namespace {

std::string hex(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

}  // namespace

X11TestWindow::X11TestWindow(const std::string& display, int x, int y, int width, int height) {
  connection_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(connection_)) throw std::runtime_error("test window: no display");
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  xkb_x11_setup_xkb_extension(connection_, 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr,
                              nullptr, &xkbBase_, nullptr);
  device_ = xkb_x11_get_core_keyboard_device_id(connection_);
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  loadKeymap();
  const std::uint16_t kinds = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
  xcb_xkb_select_events(connection_, static_cast<xcb_xkb_device_spec_t>(device_), kinds, 0, kinds,
                        0xff, 0xff, nullptr);

  window_ = xcb_generate_id(connection_);
  const std::uint32_t values[] = {
      screen->white_pixel, 1,
      XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
          XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root,
                    static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                    static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(connection_, window_);
  xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
  free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  thread_ = std::thread([this] { run(); });
}

X11TestWindow::~X11TestWindow() {
  {
    const std::lock_guard guard(lock_);
    stopping_ = true;
  }
  // Wakes the reader: an event to our own window.
  xcb_destroy_window(connection_, window_);
  xcb_flush(connection_);
  thread_.join();
  if (keymap_) xkb_keymap_unref(keymap_);
  xkb_context_unref(context_);
  xcb_disconnect(connection_);
}

void X11TestWindow::loadKeymap() {
  xkb_keymap* keymap =
      xkb_x11_keymap_new_from_device(context_, connection_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap) return;
  if (keymap_) xkb_keymap_unref(keymap_);
  keymap_ = keymap;
}

void X11TestWindow::run() {
  pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
  for (;;) {
    {
      const std::lock_guard guard(lock_);
      if (stopping_ || xcb_connection_has_error(connection_)) return;
    }
    poll(&fd, 1, 50);
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
      const int type = event->response_type & 0x7f;
      std::string record;
      std::string text;
      if (type == xkbBase_) {
        loadKeymap();
      } else if (type == XCB_KEY_PRESS) {
        const auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        xkb_state* state = xkb_state_new(keymap_);
        xkb_state_update_mask(state, key->state & 0xff, 0, 0, 0, 0, (key->state >> 13) & 3);
        char utf8[64] = {};
        xkb_state_key_get_utf8(state, key->detail, utf8, sizeof utf8);
        const xkb_keysym_t sym = xkb_state_key_get_one_sym(state, key->detail);
        xkb_state_unref(state);
        text = utf8;
        record = "key " + (text.empty() || static_cast<unsigned char>(text[0]) < 0x20
                               ? "<keysym " + hex(sym) + ">"
                               : text) +
                 " state=" + hex(key->state);
        if (!text.empty() && static_cast<unsigned char>(text[0]) < 0x20 && text != "\r" && text != "\t") text.clear();
        if (text == "\r") text = "\n";
      } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
        const auto* b = reinterpret_cast<xcb_button_press_event_t*>(event);
        record = std::string(type == XCB_BUTTON_PRESS ? "press" : "release") + " b" +
                 std::to_string(b->detail) + " " + std::to_string(b->event_x) + "," +
                 std::to_string(b->event_y) + " state=" + hex(b->state);
      } else if (type == XCB_MOTION_NOTIFY) {
        const auto* m = reinterpret_cast<xcb_motion_notify_event_t*>(event);
        record = "motion " + std::to_string(m->event_x) + "," + std::to_string(m->event_y) +
                 " state=" + hex(m->state);
      }
      std::free(event);
      if (!record.empty()) {
        const std::lock_guard guard(lock_);
        events_.push_back(record);
        typed_ += text;
        changed_.notify_all();
      }
    }
  }
}

std::vector<std::string> X11TestWindow::events() {
  const std::lock_guard guard(lock_);
  return events_;
}

std::string X11TestWindow::typed() {
  const std::lock_guard guard(lock_);
  return typed_;
}

void X11TestWindow::clear() {
  const std::lock_guard guard(lock_);
  events_.clear();
  typed_.clear();
}

bool X11TestWindow::waitFor(const std::function<bool(const std::vector<std::string>&)>& done,
                            std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return done(events_); });
}

}  // namespace nimbrel::test

namespace nimbrel::test {

bool X11TestWindow::waitForTyped(std::size_t length, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return typed_.size() >= length; });
}

}  // namespace nimbrel::test
