import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { Gestures, momentum, TUNING } from '../src/input/gestures.js';

// Plays a script of pointer events and returns the actions; `options` go to the Gestures.
function play(script, options) {
  const actions = [];
  const g = new Gestures((a) => actions.push(a), TUNING, options);
  for (const [op, ...args] of script) g[op](...args);
  return actions;
}
const types = (actions) => actions.map((a) => a.type);

describe('one finger', () => {
  const cases = [
    ['a quick touch is a tap where it landed', [['down', 1, 100, 100, 0], ['move', 1, 104, 103, 50], ['up', 1, 104, 103, 90]], ['tap']],
    ['moving past the slop is a swipe, then its end', [['down', 1, 100, 100, 0], ['move', 1, 130, 100, 30], ['move', 1, 160, 100, 60], ['up', 1, 160, 100, 70]], ['swipe', 'swipe', 'swipeEnd']],
    ['held still is a long press; let go, a long tap', [['down', 1, 50, 50, 0], ['tick', 460], ['up', 1, 52, 51, 700]], ['hold', 'longTap']],
    ['held, then moved, is a drag with a held button', [['down', 1, 50, 50, 0], ['tick', 460], ['move', 1, 80, 50, 500], ['move', 1, 120, 60, 520], ['up', 1, 120, 60, 600]], ['hold', 'dragStart', 'dragMove', 'dragMove', 'dragEnd']],
    ['a tick before the hold time changes nothing', [['down', 1, 50, 50, 0], ['tick', 300], ['up', 1, 50, 50, 320]], ['tap']],
    ['a cancelled drag still releases the button', [['down', 1, 50, 50, 0], ['tick', 460], ['move', 1, 90, 50, 500], ['cancel']], ['hold', 'dragStart', 'dragMove', 'dragEnd']],
    ['a cancelled swipe still ends', [['down', 1, 100, 100, 0], ['move', 1, 130, 100, 30], ['cancel']], ['swipe', 'swipeEnd']],
  ];
  for (const [name, script, expected] of cases) {
    it(name, () => assert.deepEqual(types(play(script)), expected));
  }

  it('a tap reports where the finger landed, a swipe how far it moved each time', () => {
    const actions = play([['down', 1, 100, 100, 0], ['move', 1, 100, 130, 20], ['move', 1, 100, 150, 40], ['up', 1, 100, 150, 45]]);
    assert.deepEqual(actions.filter((a) => a.type === 'swipe').map((a) => a.dy), [30, 20]);
    assert.ok(actions.at(-1).vy > 0.5, 'a fling downwards has a downward velocity');
    const [tap] = play([['down', 1, 10, 20, 0], ['move', 1, 15, 22, 10], ['up', 1, 15, 22, 20]]);
    assert.deepEqual([tap.x, tap.y, tap.count], [10, 20, 1]);
  });

  it('a cancelled swipe has no momentum', () => {
    const actions = play([['down', 1, 0, 0, 0], ['move', 1, 0, 100, 20], ['move', 1, 0, 200, 30], ['cancel']]);
    assert.deepEqual(actions.at(-1), { type: 'swipeEnd', vx: 0, vy: 0 });
  });

  it('a finger that stopped before letting go has no momentum', () => {
    const actions = play([['down', 1, 0, 0, 0], ['move', 1, 0, 100, 20], ['up', 1, 0, 100, 400]]);
    assert.deepEqual([actions.at(-1).vx, actions.at(-1).vy], [0, 0]);
  });

  it('two taps close in time and place make a double tap; far apart or late, two single taps', () => {
    const tapAt = (x, t) => [['down', 1, x, 100, t], ['up', 1, x, 100, t + 60]];
    const counts = (script) => play(script).map((a) => a.count);
    assert.deepEqual(counts([...tapAt(100, 0), ...tapAt(110, 200)]), [1, 2]);
    assert.deepEqual(counts([...tapAt(100, 0), ...tapAt(200, 200)]), [1, 1]);
    assert.deepEqual(counts([...tapAt(100, 0), ...tapAt(100, 600)]), [1, 1]);
    assert.deepEqual(counts([...tapAt(100, 0), ...tapAt(100, 200), ...tapAt(100, 400)]), [1, 2, 1]);
  });
});

describe('a double tap that zooms', () => {
  // A tap of one finger at x from t to t + 60 ms.
  const tap = (x, t) => [['down', 1, x, 100, t], ['up', 1, x, 100, t + 60]];
  const named = (actions) => actions.map((a) => (a.type === 'tap' ? `tap${a.count}@${a.x}` : a.type));
  // The double tap zooms left of x = 500 and is a double click elsewhere.
  const zoomsLeft = { waitsForDoubleTap: (x) => x < 500 };
  const cases = [
    ['a tap is held back while a second one may follow', [...tap(100, 0), ['tick', 300]], []],
    ['the held tap goes once the double-tap time has passed', [...tap(100, 0), ['tick', 300], ['tick', 410]], ['tap1@100']],
    ['a second tap in time sends only the double tap', [...tap(100, 0), ...tap(110, 200), ['tick', 900]], ['tap2@110']],
    ['a finger landing far away lets the held tap go first', [...tap(100, 0), ...tap(300, 150), ['tick', 900]], ['tap1@100', 'tap1@300']],
    ['a second tap that ends too late is two taps', [['down', 1, 100, 100, 0], ['up', 1, 100, 100, 60], ['down', 1, 100, 100, 300], ['up', 1, 100, 100, 450], ['tick', 900]], ['tap1@100', 'tap1@100']],
    ['a swipe after a tap lets the tap go first', [...tap(100, 0), ['down', 1, 100, 100, 150], ['move', 1, 100, 140, 170], ['up', 1, 100, 140, 180]], ['tap1@100', 'swipe', 'swipeEnd']],
    ['a long press after a tap lets the tap go first', [...tap(100, 0), ['down', 1, 100, 100, 150], ['tick', 610], ['up', 1, 100, 100, 700]], ['tap1@100', 'hold', 'longTap']],
    ['a second finger lets the held tap go first', [...tap(100, 0), ['down', 1, 100, 100, 150], ['down', 2, 200, 100, 160], ['up', 1, 100, 100, 250], ['up', 2, 200, 100, 260]], ['tap1@100', 'twoFingerTap']],
    ['a cancelled touch lets the held tap go', [...tap(100, 0), ['down', 1, 100, 100, 150], ['cancel']], ['tap1@100']],
    ['where a double tap is a double click, both taps go at once', [...tap(600, 0), ...tap(610, 200)], ['tap1@600', 'tap2@610']],
    ['a tap that goes at once still pairs with a held one that went first', [...tap(100, 0), ...tap(600, 100), ...tap(610, 200)], ['tap1@100', 'tap1@600', 'tap2@610']],
  ];
  for (const [name, script, expected] of cases) {
    it(name, () => assert.deepEqual(named(play(script, zoomsLeft)), expected));
  }

  it("says when the held tap is due, for the page's timer", () => {
    const g = new Gestures(() => {}, TUNING, { waitsForDoubleTap: () => true });
    g.down(1, 100, 100, 0);
    g.up(1, 100, 100, 60);
    assert.equal(g.tapDue, 60 + TUNING.doubleTapMs);
    g.tick(g.tapDue);
    assert.equal(g.tapDue, null);
  });
});

describe('two fingers', () => {
  it('spreading apart is a pinch that zooms by the ratio of the distances', () => {
    const actions = play([
      ['down', 1, 100, 100, 0], ['down', 2, 200, 100, 5],
      ['move', 2, 250, 100, 30], ['move', 1, 50, 100, 40],
      ['up', 1, 50, 100, 60], ['up', 2, 250, 100, 70],
    ]);
    assert.deepEqual(types(actions), ['pinch', 'pinch', 'pinchEnd']);
    const total = actions.filter((a) => a.type === 'pinch').reduce((f, a) => f * a.factor, 1);
    assert.ok(Math.abs(total - 2) < 1e-9, `zoomed by ${total}`);
  });

  it('moving together is a scroll of the finger motion, then momentum', () => {
    const actions = play([
      ['down', 1, 100, 300, 0], ['down', 2, 160, 300, 2],
      ['move', 1, 100, 280, 16], ['move', 2, 160, 280, 17], ['move', 1, 100, 260, 32], ['move', 2, 160, 260, 33],
      ['up', 1, 100, 260, 40], ['up', 2, 160, 260, 41],
    ]);
    assert.equal(actions[0].type, 'scroll');
    const dy = actions.filter((a) => a.type === 'scroll').reduce((s, a) => s + a.dy, 0);
    assert.equal(dy, -40);
    assert.equal(actions.at(-1).type, 'scrollEnd');
    assert.ok(actions.at(-1).vy < 0);
  });

  it('down and up quickly without moving is a two-finger tap at their middle', () => {
    const actions = play([['down', 1, 100, 100, 0], ['down', 2, 200, 200, 10], ['up', 1, 100, 100, 120], ['up', 2, 200, 200, 130]]);
    assert.deepEqual(actions, [{ type: 'twoFingerTap', x: 150, y: 150 }]);
  });

  it('a second finger ends a one-finger swipe, and lifting one finger does not tap', () => {
    const actions = play([
      ['down', 1, 100, 100, 0], ['move', 1, 100, 140, 20], ['down', 2, 200, 140, 30],
      ['move', 2, 300, 140, 60], ['up', 2, 300, 140, 80], ['move', 1, 120, 160, 90], ['up', 1, 120, 160, 100],
    ]);
    assert.deepEqual(types(actions), ['swipe', 'swipeEnd', 'pinch', 'pinchEnd']);
  });
});

describe('momentum', () => {
  it('covers v·tau in all and stops', () => {
    const m = momentum(1, -0.5, { tau: 100 });
    let x = 0;
    let y = 0;
    let steps = 0;
    for (let d = m.step(16); d; d = m.step(16)) {
      x += d.dx;
      y += d.dy;
      steps++;
    }
    assert.ok(Math.abs(x - 100) < 3 && Math.abs(y + 50) < 2, `${x}, ${y}`);
    assert.ok(steps > 5 && steps < 60, `${steps} steps`);
    assert.equal(momentum(0.001, 0).step(16), null);
  });
});

it('the tuning keeps a long press well apart from a tap', () => {
  assert.ok(TUNING.holdMs >= 350 && TUNING.doubleTapMs < TUNING.holdMs);
});
