#include "input/wayland_keymap.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <stdexcept>

namespace nimbrel {

// The compositor's side: a registry, the seat and its keyboard.
struct WaylandKeymap::Client {
  WaylandKeymap* owner = nullptr;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;
  bool keymapArrived = false;

  ~Client() {
    if (keyboard) wl_keyboard_destroy(keyboard);
    if (seat) wl_seat_destroy(seat);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }
};

namespace {

void onKeymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
  auto* client = static_cast<WaylandKeymap::Client*>(data);
  if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
    void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (text != MAP_FAILED) {
      // The text ends with a NUL inside `size`.
      const char* chars = static_cast<const char*>(text);
      client->owner->load(std::string(chars, strnlen(chars, size)));
      munmap(text, size);
    }
  }
  close(fd);
  client->keymapArrived = true;
}

const wl_keyboard_listener keyboardListener = {
    onKeymap,
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
       std::uint32_t) {},
    [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
};

const wl_seat_listener seatListener = {
    [](void* data, wl_seat* seat, std::uint32_t capabilities) {
      auto* client = static_cast<WaylandKeymap::Client*>(data);
      if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !client->keyboard) {
        client->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(client->keyboard, &keyboardListener, client);
      }
    },
    [](void*, wl_seat*, const char*) {},
};

const wl_registry_listener registryListener = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t version) {
      auto* client = static_cast<WaylandKeymap::Client*>(data);
      if (std::strcmp(interface, wl_seat_interface.name) == 0 && !client->seat) {
        client->seat = static_cast<wl_seat*>(
            wl_registry_bind(registry, name, &wl_seat_interface, std::min<std::uint32_t>(version, 5)));
        wl_seat_add_listener(client->seat, &seatListener, client);
      }
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

struct XkbDeleter {
  void operator()(xkb_context* p) const { xkb_context_unref(p); }
  void operator()(xkb_keymap* p) const { xkb_keymap_unref(p); }
  void operator()(xkb_state* p) const { xkb_state_unref(p); }
};

}  // namespace

std::unique_ptr<WaylandKeymap> WaylandKeymap::connect(const std::string& display) {
  std::unique_ptr<WaylandKeymap> keymap(new WaylandKeymap());
  auto client = std::make_unique<Client>();
  client->owner = keymap.get();
  client->display = wl_display_connect(display.empty() ? nullptr : display.c_str());
  if (!client->display) {
    throw std::runtime_error("couldn't connect to the Wayland display: " +
                             std::string(std::strerror(errno)));
  }
  client->registry = wl_display_get_registry(client->display);
  wl_registry_add_listener(client->registry, &registryListener, client.get());
  // The seat's globals, then its capabilities, then the keymap: three round trips at most.
  for (int i = 0; i < 3 && !client->keymapArrived; ++i) {
    if (wl_display_roundtrip(client->display) < 0) break;
  }
  if (!client->keymapArrived) throw std::runtime_error("the Wayland display sent no keymap");
  keymap->client_ = std::move(client);
  return keymap;
}

WaylandKeymap::~WaylandKeymap() = default;

std::unique_ptr<WaylandKeymap> WaylandKeymap::fromText(const std::string& keymapText) {
  std::unique_ptr<WaylandKeymap> keymap(new WaylandKeymap());
  if (!keymap->load(keymapText)) return nullptr;
  return keymap;
}

void WaylandKeymap::refresh() {
  if (!client_) return;
  wl_display* display = client_->display;
  while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
  wl_display_flush(display);
  pollfd ready{wl_display_get_fd(display), POLLIN, 0};
  if (::poll(&ready, 1, 0) > 0) {
    wl_display_read_events(display);
  } else {
    wl_display_cancel_read(display);
  }
  wl_display_dispatch_pending(display);
}

bool WaylandKeymap::hasKeysym(std::uint32_t keysym) const {
  const std::lock_guard guard(lock_);
  return keysyms_.count(keysym) != 0;
}

bool WaylandKeymap::load(const std::string& keymapText) {
  std::unique_ptr<xkb_context, XkbDeleter> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  if (!context) return false;
  std::unique_ptr<xkb_keymap, XkbDeleter> keymap(xkb_keymap_new_from_string(
      context.get(), keymapText.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) return false;
  std::unique_ptr<xkb_state, XkbDeleter> plain(xkb_state_new(keymap.get()));
  std::unique_ptr<xkb_state, XkbDeleter> shifted(xkb_state_new(keymap.get()));
  if (!plain || !shifted) return false;
  const xkb_mod_mask_t shift = 1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
  xkb_state_update_mask(shifted.get(), shift, 0, 0, 0, 0, 0);
  const xkb_keycode_t first = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap.get()), 8);
  const xkb_keycode_t last = xkb_keymap_max_keycode(keymap.get());
  // With several layouts, which one is active is known only to windows with the keyboard's
  // focus: no character is tied to a key then, and the desktop finds each key symbol in the
  // layout it uses.
  const xkb_layout_index_t layouts = xkb_keymap_num_layouts(keymap.get());
  layout_.rebuild(first, last, [&](std::uint32_t keycode, bool withShift) -> std::optional<char32_t> {
    if (layouts > 1) return std::nullopt;
    const std::uint32_t ch = xkb_state_key_get_utf32(withShift ? shifted.get() : plain.get(), keycode);
    if (ch == 0) return std::nullopt;
    return static_cast<char32_t>(ch);
  });
  // What the compositor can type from a keysym: any level of a layout (of the active one,
  // in fact, which is the only one when there is one).
  std::unordered_set<std::uint32_t> keysyms;
  for (xkb_keycode_t keycode = first; keycode <= last; ++keycode) {
    for (xkb_layout_index_t layout = 0; layout < layouts; ++layout) {
      const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), keycode, layout);
      for (xkb_level_index_t level = 0; level < levels; ++level) {
        const xkb_keysym_t* syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), keycode, layout, level, &syms);
        for (int i = 0; i < count; ++i) keysyms.insert(syms[i]);
      }
    }
  }
  const std::lock_guard guard(lock_);
  keysyms_ = std::move(keysyms);
  return true;
}

}  // namespace nimbrel
