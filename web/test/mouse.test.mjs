import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { buttonChanges } from '../src/input/mouse.js';

describe('mouse buttons', () => {
  const cases = [
    ['first press', 0, 1, [['left', true]]],
    ['a second button while the first is held', 1, 3, [['right', true]]],
    ['the first let go while the second is held', 3, 2, [['left', false]]],
    ['the last let go', 2, 0, [['right', false]]],
    ['middle', 0, 4, [['middle', true]]],
    ['two at once', 0, 5, [['left', true], ['middle', true]]],
    ['all let go (a cancelled pointer)', 7, 0, [['left', false], ['right', false], ['middle', false]]],
    ["back and forward buttons are not the host's", 0, 24, []],
    ['no change', 1, 1, []],
  ];
  for (const [name, before, now, want] of cases) {
    it(name, () => assert.deepEqual(buttonChanges(before, now), want));
  }
});
