#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "input/keyboard_layout.hpp"

struct wl_display;

namespace nimbrel {

// The keyboard layout of a Wayland desktop, as its compositor hands it to every client: which
// characters one press types (with or without Shift, XKB keycodes; none when the keymap has
// several layouts, since the active one is not known) and which keysyms it has at all. A new
// layout arrives as a new keymap, read by refresh().
//
// Thread-safety: every member may be called from any thread; refresh from one at a time.
class WaylandKeymap {
 public:
  // Connects to `display` (WAYLAND_DISPLAY when empty) and waits for the first keymap. Throws
  // std::runtime_error saying why it could not.
  static std::unique_ptr<WaylandKeymap> connect(const std::string& display = {});
  ~WaylandKeymap();
  WaylandKeymap(const WaylandKeymap&) = delete;
  WaylandKeymap& operator=(const WaylandKeymap&) = delete;

  // Takes what the compositor sent since the last look; never waits.
  void refresh();

  std::optional<LayoutKey> lookup(char32_t c) const { return layout_.lookup(c); }
  bool hasKeysym(std::uint32_t keysym) const;

  // Builds the tables from a keymap in XKB's text format; false when it does not compile
  // (the previous tables stay).
  bool load(const std::string& keymapText);

  // A keymap with no compositor behind it, from XKB's text format; nothing when it does not
  // compile.
  static std::unique_ptr<WaylandKeymap> fromText(const std::string& keymapText);

  struct Client;

 private:
  WaylandKeymap() = default;

  std::unique_ptr<Client> client_;
  KeyboardLayout layout_;
  mutable std::mutex lock_;  // guards keysyms_
  std::unordered_set<std::uint32_t> keysyms_;
};

}  // namespace nimbrel
