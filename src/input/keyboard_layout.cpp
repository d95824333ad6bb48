#include "input/keyboard_layout.hpp"

namespace nimbrel {
namespace {

// Unicode control (Cc) and format (Cf) characters and surrogates never become map entries.
bool typeable(char32_t c) {
  if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return false;
  if (c >= 0xd800 && c <= 0xdfff) return false;
  if (c > 0x10ffff) return false;
  switch (c) {
    case 0x00ad: case 0x061c: case 0x180e: case 0xfeff: return false;
    default: break;
  }
  if ((c >= 0x200b && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
      (c >= 0x2060 && c <= 0x206f) || (c >= 0xfff9 && c <= 0xfffb)) {
    return false;
  }
  return true;
}

}  // namespace

KeyboardLayout& KeyboardLayout::shared() {
  static KeyboardLayout layout;
  return layout;
}

void KeyboardLayout::rebuild(std::uint32_t first, std::uint32_t last, const Translator& translate) {
  std::unordered_map<char32_t, LayoutKey> map;
  for (std::uint32_t keycode = first; keycode <= last; ++keycode) {
    for (bool shift : {false, true}) {
      const auto c = translate(keycode, shift);
      if (!c || !typeable(*c)) continue;
      auto [entry, added] = map.try_emplace(*c, LayoutKey{keycode, shift});
      if (!added && entry->second.shift && !shift) entry->second = {keycode, shift};
    }
  }
  const std::lock_guard guard(lock_);
  map_ = std::move(map);
}

std::optional<LayoutKey> KeyboardLayout::lookup(char32_t c) const {
  const std::lock_guard guard(lock_);
  const auto it = map_.find(c);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

}  // namespace nimbrel
