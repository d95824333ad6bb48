#include "input/neutral_keyboard.hpp"

#include <algorithm>

namespace nimbrel {

std::vector<std::uint8_t> heldModifierKeys(const std::array<std::uint8_t, 32>& pressed,
                                           const std::vector<std::uint8_t>& modifierKeycodes) {
  std::vector<std::uint8_t> held;
  for (std::uint8_t keycode : modifierKeycodes) {
    if (keycode == 0) continue;
    if (pressed[keycode / 8] & (1u << (keycode % 8))) held.push_back(keycode);
  }
  std::sort(held.begin(), held.end());
  held.erase(std::unique(held.begin(), held.end()), held.end());
  return held;
}

}  // namespace nimbrel
