#include "input/x11_keyboard.hpp"

#include <poll.h>
#include <unistd.h>
// xcb/xkb.h names a field "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <set>

#include "base/log.hpp"
#include "input/keyboard_layout.hpp"

namespace nimbrel {
namespace {

// How many empty keycodes are lent in turn.
constexpr std::size_t maxSpares = 16;

struct KeymapDeleter {
  void operator()(xkb_keymap* keymap) const { xkb_keymap_unref(keymap); }
  void operator()(xkb_state* state) const { xkb_state_unref(state); }
};
using Keymap = std::unique_ptr<xkb_keymap, KeymapDeleter>;
using State = std::unique_ptr<xkb_state, KeymapDeleter>;

std::mutex registryLock;
std::map<std::string, std::weak_ptr<X11Keyboard>>& registry() {
  static std::map<std::string, std::weak_ptr<X11Keyboard>> keyboards;
  return keyboards;
}

}  // namespace

std::shared_ptr<X11Keyboard> X11Keyboard::forDisplay(const std::string& display) {
  const std::string name = display.empty() ? currentDisplayName() : display;
  const std::lock_guard guard(registryLock);
  if (auto existing = registry()[name].lock()) return existing;
  auto keyboard = std::make_shared<X11Keyboard>(name);
  registry()[name] = keyboard;
  return keyboard;
}

X11Keyboard::X11Keyboard(const std::string& display) : connection_(display) {
  xcb_connection_t* c = connection_.get();
  std::uint8_t eventBase = 0;
  if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                   XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr,
                                   &eventBase, nullptr)) {
    throw X11Error("the X display " + connection_.displayName() + " has no XKB extension");
  }
  xkbEventBase_ = eventBase;
  device_ = xkb_x11_get_core_keyboard_device_id(c);
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (device_ < 0 || context_ == nullptr) {
    if (context_) xkb_context_unref(context_);
    throw X11Error("couldn't read the keyboard of the X display " + connection_.displayName());
  }

  const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY |
                               XCB_XKB_EVENT_TYPE_MAP_NOTIFY | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
  const std::uint16_t mapParts =
      XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP |
      XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS |
      XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
  xcb_xkb_select_events(c, static_cast<xcb_xkb_device_spec_t>(device_), events, 0, events,
                        mapParts, mapParts, nullptr);
  rebuild();

  watcher_ = std::thread([this] { watch(); });
}

X11Keyboard::~X11Keyboard() {
  stopping_ = true;
  wake_.wake();
  watcher_.join();
  // The keymap ends as it was, even for keycodes lent a moment ago.
  xcb_connection_t* c = connection_.get();
  for (const Spare& spare : spares_) {
    if (spare.keysym == 0) continue;
    const xcb_keysym_t empty[2] = {0, 0};
    xcb_change_keyboard_mapping(c, 1, spare.keycode, 2, empty);
  }
  xcb_flush(c);
  xkb_context_unref(context_);
}

void X11Keyboard::rebuild() {
  xcb_connection_t* c = connection_.get();
  Keymap keymap(xkb_x11_keymap_new_from_device(context_, c, device_, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) return;  // keep the previous map
  State live(xkb_x11_state_new_from_device(keymap.get(), c, device_));
  State plain(xkb_state_new(keymap.get()));
  State shifted(xkb_state_new(keymap.get()));
  if (!live || !plain || !shifted) return;
  const xkb_layout_index_t group = xkb_state_serialize_layout(live.get(), XKB_STATE_LAYOUT_EFFECTIVE);
  const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
  xkb_state_update_mask(plain.get(), 0, 0, 0, 0, 0, group);
  xkb_state_update_mask(shifted.get(), shift, 0, 0, 0, 0, group);

  const xkb_keycode_t first = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap.get()), 8);
  const xkb_keycode_t last = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap.get()), 255);

  // The spares: keycodes the keymap leaves without any symbol, highest first (low empty ones
  // are likelier to gain a meaning on some keyboard model). A new keymap may give one a meaning:
  // it stops being a spare unless it is lent right now.
  std::vector<std::uint8_t> empty;
  for (xkb_keycode_t keycode = last; keycode >= first; --keycode) {
    bool symbols = false;
    const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap.get(), keycode);
    for (xkb_layout_index_t layout = 0; layout < layouts && !symbols; ++layout) {
      const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), keycode, layout);
      for (xkb_level_index_t level = 0; level < levels && !symbols; ++level) {
        const xkb_keysym_t* syms = nullptr;
        symbols = xkb_keymap_key_get_syms_by_level(keymap.get(), keycode, layout, level, &syms) > 0;
      }
    }
    if (!symbols) empty.push_back(static_cast<std::uint8_t>(keycode));
  }
  std::set<std::uint32_t> lent;
  {
    const std::lock_guard guard(lock_);
    std::erase_if(spares_, [&](const Spare& spare) {
      return spare.keysym == 0 && !spare.down &&
             std::find(empty.begin(), empty.end(), spare.keycode) == empty.end();
    });
    for (std::uint8_t keycode : empty) {
      if (spares_.size() >= maxSpares) break;
      const bool known = std::any_of(spares_.begin(), spares_.end(),
                                     [&](const Spare& spare) { return spare.keycode == keycode; });
      if (!known) spares_.push_back({keycode});
    }
    for (const Spare& spare : spares_) lent.insert(spare.keycode);
    // A keymap read just before a lent keycode was emptied still shows it mapped: keycodes once
    // lent never enter the layout (what they might type goes through a spare instead).
    lent.insert(everLent_.begin(), everLent_.end());
  }
  KeyboardLayout::shared().rebuild(first, last, [&](std::uint32_t keycode, bool withShift)
                                                    -> std::optional<char32_t> {
    if (lent.count(keycode) != 0) return std::nullopt;
    const std::uint32_t ch = xkb_state_key_get_utf32(withShift ? shifted.get() : plain.get(), keycode);
    if (ch == 0) return std::nullopt;
    return static_cast<char32_t>(ch);
  });

  std::unordered_map<Keysym, std::uint8_t> keycodes;
  for (xkb_keycode_t keycode = first; keycode <= last; ++keycode) {
    if (lent.count(keycode) != 0) continue;
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(plain.get(), keycode);
    if (sym != XKB_KEY_NoSymbol) keycodes.try_emplace(sym, static_cast<std::uint8_t>(keycode));
  }
  const std::lock_guard guard(lock_);
  keycodes_ = std::move(keycodes);
  group_ = group;
}

std::optional<std::uint8_t> X11Keyboard::keycodeFor(Keysym keysym) const {
  const std::lock_guard guard(lock_);
  const auto it = keycodes_.find(keysym);
  if (it == keycodes_.end()) return std::nullopt;
  return it->second;
}

void X11Keyboard::settle(xcb_connection_t* via) {
  // Once the server has answered, it has handed every earlier press to its clients; they get
  // settleTime to read them before any of those keycodes changes meaning.
  const XcbReply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(via, xcb_get_input_focus(via), nullptr));
  const auto delivered = Clock::now();
  std::this_thread::sleep_for(settleTime);
  settledBefore_ = delivered;
}

std::optional<std::uint8_t> X11Keyboard::lend(xcb_connection_t* via, Keysym keysym) {
  const std::lock_guard guard(lock_);
  Spare* chosen = nullptr;
  for (Spare& spare : spares_) {
    if (spare.keysym == keysym) {
      spare.lastUse = Clock::now();
      return spare.keycode;
    }
    if (!spare.down && (chosen == nullptr || spare.lastUse < chosen->lastUse)) chosen = &spare;
  }
  if (chosen == nullptr) return std::nullopt;
  // Remapping a keycode that a client has not read yet would change what that press typed.
  if (chosen->keysym != 0 && chosen->lastUse >= settledBefore_) settle(via);
  const xcb_keysym_t syms[2] = {keysym, keysym};
  xcb_change_keyboard_mapping(via, 1, chosen->keycode, 2, syms);
  everLent_.insert(chosen->keycode);
  chosen->keysym = keysym;
  chosen->lastUse = Clock::now();
  return chosen->keycode;
}

void X11Keyboard::pressed(std::uint8_t keycode, bool down) {
  const std::lock_guard guard(lock_);
  for (Spare& spare : spares_) {
    if (spare.keycode == keycode) {
      spare.down = down;
      spare.lastUse = Clock::now();
    }
  }
}

void X11Keyboard::restoreWhenIdle() {
  {
    const std::lock_guard guard(lock_);
    const bool any = std::any_of(spares_.begin(), spares_.end(),
                                [](const Spare& spare) { return spare.keysym != 0; });
    if (!any) return;
    restorePending_ = true;
  }
  wake_.wake();
}

std::optional<X11Keyboard::Clock::time_point> X11Keyboard::restoreIdle(Clock::time_point now) {
  const std::lock_guard guard(lock_);
  if (!restorePending_) return std::nullopt;
  std::optional<Clock::time_point> next;
  std::vector<std::uint8_t> idle;
  for (const Spare& spare : spares_) {
    if (spare.keysym == 0 || spare.down) continue;
    const auto due = spare.lastUse + idleBeforeRestore;
    if (due <= now) {
      idle.push_back(spare.keycode);
    } else if (!next || due < *next) {
      next = due;
    }
  }
  if (!idle.empty()) {
    xcb_connection_t* c = connection_.get();
    const xcb_keysym_t empty[2] = {0, 0};
    for (std::uint8_t keycode : idle) xcb_change_keyboard_mapping(c, 1, keycode, 2, empty);
    // The lock is held until the server has applied the change, so that a keycode lent next on
    // another connection is never emptied after it was mapped.
    const XcbReply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    for (Spare& spare : spares_) {
      if (std::find(idle.begin(), idle.end(), spare.keycode) != idle.end()) spare.keysym = 0;
    }
  }
  // A held spare is emptied once it is released and idle.
  const bool held = std::any_of(spares_.begin(), spares_.end(),
                                [](const Spare& spare) { return spare.keysym != 0 && spare.down; });
  restorePending_ = next.has_value() || held;
  if (held && !next) next = now + idleBeforeRestore;
  return next;
}

void X11Keyboard::watch() {
  xcb_connection_t* c = connection_.get();
  pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.readFd(), POLLIN, 0}};
  std::optional<Clock::time_point> restoreAt;
  while (!stopping_ && !connection_.broken()) {
    int timeout = -1;
    if (restoreAt) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*restoreAt - Clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) wake_.drain();
    restoreAt = restoreIdle(Clock::now());
    bool changed = false;
    while (auto* event = xcb_poll_for_event(c)) {
      if ((event->response_type & 0x7f) == xkbEventBase_) {
        const auto* xkb = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
        if (xkb->xkbType == XCB_XKB_STATE_NOTIFY) {
          const std::lock_guard guard(lock_);
          changed = changed || xkb->group != static_cast<std::int32_t>(group_);
        } else {
          changed = true;
        }
      }
      std::free(event);
    }
    if (changed && !stopping_) rebuild();
  }
  if (!stopping_) logLine("The keyboard layout is no longer followed: the X display went away.");
}

}  // namespace nimbrel
