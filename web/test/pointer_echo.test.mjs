import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { PointerEcho } from '../src/input/pointer_echo.js';

describe('cursor reports in trackpad mode', () => {
  const tol = { x: 0.001, y: 0.001 };
  // Each step: [what happens, x, y, time in ms, whether the report is taken].
  const cases = [
    ['with no move sent, a report is taken', [['report', 0.3, 0.3, 0, true]]],
    [
      'a report of an earlier move is set aside; the one that catches up ends the wait',
      [
        ['sent', 0.6, 0.5, 0],
        ['sent', 0.7, 0.5, 10],
        ['report', 0.6, 0.5, 20, false],
        ['report', 0.7004, 0.5, 30, false],
        ['report', 0.2, 0.2, 40, true],
      ],
    ],
    [
      'a report that never catches up is taken once the moves have settled',
      [
        ['sent', 0.7, 0.5, 0],
        ['report', 0.9, 0.9, 999, false],
        ['report', 0.9, 0.9, 1000, true],
        ['report', 0.8, 0.8, 1001, true],
      ],
    ],
    [
      'the wait runs from the last move, not the first',
      [
        ['sent', 0.5, 0.5, 0],
        ['sent', 0.6, 0.5, 900],
        ['report', 0.5, 0.5, 1200, false],
      ],
    ],
    ['forgotten moves set nothing aside', [['sent', 0.5, 0.5, 0], ['forget'], ['report', 0.1, 0.1, 1, true]]],
  ];
  for (const [name, steps] of cases) {
    it(name, () => {
      const echo = new PointerEcho({ settleMs: 1000 });
      for (const [what, x, y, t, want] of steps) {
        if (what === 'sent') echo.sent(x, y, t);
        else if (what === 'forget') echo.forget();
        else assert.equal(echo.take(x, y, t, tol), want, `${what} ${x},${y} at ${t}`);
      }
    });
  }
});
