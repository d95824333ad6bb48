#include "input/key_tables.hpp"

#include <array>
#include <utility>

namespace nimbrel {
namespace {

template <typename T, std::size_t N>
std::optional<T> find(const std::array<std::pair<std::string_view, T>, N>& table,
                      std::string_view name) {
  for (const auto& [key, value] : table) {
    if (key == name) return value;
  }
  return std::nullopt;
}

constexpr Keysym functionKey(int n) { return 0xffbe + static_cast<Keysym>(n - 1); }

constexpr std::array<std::pair<std::string_view, Keysym>, 43> namedKeys{{
    {"enter", keysyms::returnKey}, {"return", keysyms::returnKey}, {"tab", keysyms::tab},
    {"esc", keysyms::escape},      {"escape", keysyms::escape},    {"backspace", keysyms::backSpace},
    {"delete", keysyms::deleteKey}, {"del", keysyms::deleteKey},   {"up", 0xff52},
    {"down", 0xff54},              {"left", 0xff51},               {"right", 0xff53},
    {"home", 0xff50},              {"end", 0xff57},                {"pgup", 0xff55},
    {"pgdn", 0xff56},              {"space", 0x0020},              {"capslock", 0xffe5},
    {"insert", 0xff63},            {"shift", keysyms::shiftL},     {"ctrl", keysyms::controlL},
    {"alt", keysyms::altL},        {"meta", keysyms::superL},      {"f1", functionKey(1)},
    {"f2", functionKey(2)},        {"f3", functionKey(3)},         {"f4", functionKey(4)},
    {"f5", functionKey(5)},        {"f6", functionKey(6)},         {"f7", functionKey(7)},
    {"f8", functionKey(8)},        {"f9", functionKey(9)},         {"f10", functionKey(10)},
    {"f11", functionKey(11)},      {"f12", functionKey(12)},       {"f13", functionKey(13)},
    {"f14", functionKey(14)},      {"f15", functionKey(15)},       {"f16", functionKey(16)},
    {"f17", functionKey(17)},      {"f18", functionKey(18)},       {"f19", functionKey(19)},
    {"f20", functionKey(20)},
}};

constexpr std::array<std::pair<std::string_view, Keysym>, 6> mediaKeys{{
    {"volup", 0x1008ff13},      // XF86AudioRaiseVolume
    {"voldown", 0x1008ff11},    // XF86AudioLowerVolume
    {"mute", 0x1008ff12},       // XF86AudioMute
    {"playpause", 0x1008ff14},  // XF86AudioPlay
    {"next", 0x1008ff17},       // XF86AudioNext
    {"prev", 0x1008ff16},       // XF86AudioPrev
}};

constexpr std::array<std::pair<std::string_view, ModifierKey>, 4> modifierKeys{{
    {"ctrl", {keysyms::controlL, modifierBits::control}},
    {"alt", {keysyms::altL, modifierBits::alt}},
    {"meta", {keysyms::superL, modifierBits::super}},
    {"shift", {keysyms::shiftL, modifierBits::shift}},
}};

}  // namespace

std::optional<Keysym> namedKey(std::string_view name) { return find(namedKeys, name); }
std::optional<Keysym> mediaKey(std::string_view name) { return find(mediaKeys, name); }
std::optional<ModifierKey> modifierKey(std::string_view name) { return find(modifierKeys, name); }

std::optional<Keysym> keysymForCodePoint(char32_t c) {
  if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) return c;
  switch (c) {
    case 0x08: return keysyms::backSpace;
    case 0x09: return keysyms::tab;
    case 0x0a:
    case 0x0d: return keysyms::returnKey;
    case 0x1b: return keysyms::escape;
    case 0x7f: return keysyms::deleteKey;
    default: break;
  }
  if (c < 0x20 || (c >= 0x80 && c < 0xa0) || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) {
    return std::nullopt;
  }
  return 0x01000000u | c;
}

}  // namespace nimbrel
