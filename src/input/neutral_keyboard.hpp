#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace nimbrel {

// Typed text must arrive exactly as sent, whatever the keyboard's state: Caps Lock or Num Lock
// on, Shift held by the user or by an earlier "down", a latched (sticky) modifier. Before text
// the host releases the held modifier keys and clears the locks and latches; afterwards it puts
// every one of them back.

// What is to be undone and redone around a text.
struct KeyboardStateToClear {
  std::uint8_t lockedMods = 0;
  std::uint8_t latchedMods = 0;
  std::vector<std::uint8_t> heldModifierKeys;  // keycodes, ascending

  bool empty() const { return lockedMods == 0 && latchedMods == 0 && heldModifierKeys.empty(); }
};

// The keys among `pressed` (the server's 256-bit key vector) that the modifier map binds to a
// modifier (`modifierKeycodes`, zeros ignored), each once, ascending.
std::vector<std::uint8_t> heldModifierKeys(const std::array<std::uint8_t, 32>& pressed,
                                           const std::vector<std::uint8_t>& modifierKeycodes);

}  // namespace nimbrel
