// A computer's mouse buttons from pointer events. A second button pressed or released while
// another is held comes as a pointermove (only the first press and the last release are
// pointerdown and pointerup), so every mouse event is compared by its `buttons` mask.

// The mask's bits for the buttons the host knows, in the order they are reported.
const BUTTONS = [
  ['left', 1],
  ['right', 2],
  ['middle', 4],
];

// The presses and releases that take the held mask `before` to `now`: [[name, down], …].
export function buttonChanges(before, now) {
  const changes = [];
  for (const [name, bit] of BUTTONS) {
    const was = (before & bit) !== 0;
    const is = (now & bit) !== 0;
    if (was !== is) changes.push([name, is]);
  }
  return changes;
}
