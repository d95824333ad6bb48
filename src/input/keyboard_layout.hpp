#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace nimbrel {

// The key that types a character on the current layout with one press.
struct LayoutKey {
  std::uint32_t keycode = 0;
  bool shift = false;
  bool operator==(const LayoutKey&) const = default;
};

// Which characters the user's current keyboard layout types with one press, with or without
// Shift. One shared instance; the X11 keyboard watcher rebuilds it when the layout changes.
//
// Thread-safety: every member may be called from any thread.
class KeyboardLayout {
 public:
  // What one press of `keycode` types, with or without Shift: one character, or nothing (a dead
  // key, a key that types several characters, a modifier, an unused keycode).
  using Translator = std::function<std::optional<char32_t>(std::uint32_t keycode, bool shift)>;

  static KeyboardLayout& shared();

  // Replaces the map by the characters of keycodes first..last. For each character the lowest
  // keycode that types it without Shift wins; failing that, the lowest one with Shift. Control
  // and format characters and surrogates are never entered.
  void rebuild(std::uint32_t first, std::uint32_t last, const Translator& translate);

  std::optional<LayoutKey> lookup(char32_t c) const;

 private:
  mutable std::mutex lock_;  // guards map_
  std::unordered_map<char32_t, LayoutKey> map_;
};

}  // namespace nimbrel
