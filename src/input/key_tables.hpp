#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace nimbrel {

// X keysyms (the values of <X11/keysymdef.h> and XF86keysym.h), kept here as plain numbers so
// that the key vocabulary builds and tests without any X library.
using Keysym = std::uint32_t;

namespace keysyms {
inline constexpr Keysym backSpace = 0xff08;
inline constexpr Keysym tab = 0xff09;
inline constexpr Keysym returnKey = 0xff0d;
inline constexpr Keysym escape = 0xff1b;
inline constexpr Keysym deleteKey = 0xffff;
inline constexpr Keysym shiftL = 0xffe1;
inline constexpr Keysym controlL = 0xffe3;
inline constexpr Keysym altL = 0xffe9;
inline constexpr Keysym superL = 0xffeb;
}  // namespace keysyms

// Modifier state bits as X reports them (ShiftMask, ControlMask, Mod1Mask, Mod4Mask).
namespace modifierBits {
inline constexpr std::uint32_t shift = 0x01;
inline constexpr std::uint32_t control = 0x04;
inline constexpr std::uint32_t alt = 0x08;
inline constexpr std::uint32_t super = 0x40;
}  // namespace modifierBits

struct ModifierKey {
  Keysym keysym;
  std::uint32_t flag;
};

// Exact, lower-case names ("enter", "pgup", "f5", "shift", ...) to the keysym of that key.
std::optional<Keysym> namedKey(std::string_view name);
// "volup", "voldown", "mute", "playpause", "next", "prev" to the XF86 audio keysyms.
std::optional<Keysym> mediaKey(std::string_view name);
// "ctrl", "alt", "meta", "shift" to the left-hand modifier key and its state bit.
std::optional<ModifierKey> modifierKey(std::string_view name);

// The keysym that types one Unicode code point (Latin-1 keysyms where they exist, the Unicode
// keysym range otherwise); nothing for control characters that have no key of their own.
std::optional<Keysym> keysymForCodePoint(char32_t c);

}  // namespace nimbrel
