#include "input/neutral_keyboard.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

std::array<std::uint8_t, 32> pressedKeys(std::initializer_list<int> keycodes) {
  std::array<std::uint8_t, 32> bits{};
  for (int k : keycodes) bits[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
  return bits;
}

TEST(NeutralKeyboard, HeldModifierKeysAreThePressedKeysTheModifierMapBinds) {
  // A modifier map of 2 keycodes per modifier: Shift 50 62, Lock 66, Control 37 105, Mod1 64,
  // Mod2 77, Mod4 133 134, Mod5 92; zeros are unused slots; Mod1 also on 204 twice.
  const std::vector<std::uint8_t> map = {50, 62, 66, 0, 37, 105, 64, 204, 77, 0, 0, 0, 133, 134, 92, 204};
  const struct {
    std::initializer_list<int> pressed;
    std::vector<std::uint8_t> held;
  } cases[] = {
      {{}, {}},
      {{38, 39}, {}},                  // letters are not modifiers
      {{62, 38}, {62}},                // right Shift held while a letter is down
      {{37, 50, 133}, {37, 50, 133}},  // ascending
      {{204}, {204}},                  // bound twice, listed once
      {{0, 255}, {}},                  // keycode 0 is never a key
  };
  for (const auto& c : cases) EXPECT_EQ(heldModifierKeys(pressedKeys(c.pressed), map), c.held);
}

}  // namespace
}  // namespace nimbrel
