import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { backingSize, canPan, clampCamera, follow, layout, MAX_ZOOM, panBy, toScreen, viewFor, visibleRect, zoomAbout } from '../src/view/viewport.js';

const near = (a, b, eps = 1e-6) => assert.ok(Math.abs(a - b) < eps, `${a} ≉ ${b}`);
const whole = { zoom: 1, cx: 0.5, cy: 0.5 };

describe('layout', () => {
  it('fits the whole screen, centred, at zoom 1 (phone upright, phone sideways, desktop)', () => {
    const table = [
      [390, 700, 1.6, { ox: 0, oy: (700 - 243.75) / 2, dw: 390, dh: 243.75 }],
      [800, 360, 1.6, { ox: (800 - 576) / 2, oy: 0, dw: 576, dh: 360 }],
      [1280, 800, 1.6, { ox: 0, oy: 0, dw: 1280, dh: 800 }],
    ];
    for (const [w, h, aspect, expected] of table) {
      const l = layout(whole, w, h, aspect);
      for (const k of Object.keys(expected)) near(l[k], expected[k]);
      assert.deepEqual(visibleRect(l, w, h), { x: 0, y: 0, w: 1, h: 1 });
    }
  });

  it('a zoomed screen always covers the window: no empty band at an edge', () => {
    const cam = clampCamera({ zoom: 4, cx: 0, cy: 0 }, 400, 250, 1.6);
    const l = layout(cam, 400, 250, 1.6);
    assert.equal(l.ox, 0);
    assert.equal(l.oy, 0);
    near(cam.cx, 0.125);
    const r = visibleRect(l, 400, 250);
    near(r.w, 0.25);
    near(r.h, 0.25);
  });
});

describe('the view sent to the host', () => {
  it('names the visible part and the device pixels that show it', () => {
    const cam = { zoom: 2, cx: 0.5, cy: 0.5 };
    const l = layout(cam, 390, 700, 1.6);
    const { rect, pw, ph } = viewFor(l, 390, 700, 3);
    near(rect.x, 0.25);
    near(rect.w, 0.5);
    near(rect.y, 0);
    near(rect.h, 1);
    near(pw, 390 * 3);
    near(ph, 487.5 * 3);
  });
});

describe('the canvas backing store', () => {
  // Sizes measured in Chromium with a real device scale factor: the integer CSS size times the
  // ratio (1318 x 1990 in the first row) is a pixel off the device pixels the canvas covers.
  const cases = [
    { name: 'fractional box at 2.625, nothing reported', rect: [501.7976, 757.738], dpr: 2.625, exact: undefined, want: [1317, 1989] },
    { name: 'the browser count is used', rect: [501.7976, 815.238], dpr: 2.625, exact: { w: 1317, h: 2140 }, want: [1317, 2140] },
    { name: 'an emulated ratio reporting CSS pixels is ignored', rect: [390, 787], dpr: 2, exact: { w: 390, h: 787 }, want: [780, 1574] },
    { name: 'a hidden canvas keeps one pixel', rect: [0, 0], dpr: 3, exact: undefined, want: [1, 1] },
  ];
  for (const c of cases) {
    it(c.name, () => {
      const { w, h } = backingSize({ width: c.rect[0], height: c.rect[1] }, c.dpr, c.exact);
      assert.deepEqual([w, h], c.want);
    });
  }
});

describe('pinch and pan', () => {
  it('the point under the fingers stays under them while zooming', () => {
    const cases = [
      [whole, 2.5, 300, 200],
      [{ zoom: 3, cx: 0.3, cy: 0.6 }, 1.3, 100, 100],
      [{ zoom: 2, cx: 0.5, cy: 0.5 }, 1.5, 200, 125],
    ];
    for (const [cam, factor, px, py] of cases) {
      const before = toScreen(layout(cam, 400, 250, 1.6), px, py);
      const after = zoomAbout(cam, factor, px, py, 0, 0, 400, 250, 1.6);
      const moved = toScreen(layout(after, 400, 250, 1.6), px, py);
      near(after.zoom, cam.zoom * factor);
      near(moved.x, before.x, 1e-9);
      near(moved.y, before.y, 1e-9);
    }
  });

  it('zoom stays between 1 and the maximum', () => {
    assert.equal(zoomAbout(whole, 0.2, 10, 10, 0, 0, 400, 250, 1.6).zoom, 1);
    assert.equal(zoomAbout(whole, 100, 10, 10, 0, 0, 400, 250, 1.6).zoom, MAX_ZOOM);
  });

  it('a drag moves the picture with the finger until an edge', () => {
    const cam = { zoom: 2, cx: 0.5, cy: 0.5 };
    const moved = panBy(cam, -40, 0, 400, 250, 1.6);
    near(moved.cx, 0.5 + 40 / 800);
    assert.equal(canPan(whole, 30, 30, 400, 250, 1.6), false);
    assert.equal(canPan(cam, 30, 0, 400, 250, 1.6), true);
    assert.equal(canPan({ zoom: 2, cx: 0.25, cy: 0.5 }, 30, 0, 400, 250, 1.6), false, 'at the left edge');
  });
});

describe('following the caret', () => {
  it('moves just enough to show it, keeping the zoom', () => {
    const cam = { zoom: 4, cx: 0.5, cy: 0.5 };
    const caret = { x: 0.9, y: 0.5, w: 0.002, h: 0.02 };
    const after = follow(cam, caret, 400, 250, 1.6, { margin: 20 });
    assert.equal(after.zoom, 4);
    const l = layout(after, 400, 250, 1.6);
    const right = l.ox + (caret.x + caret.w) * l.dw;
    near(right, 380, 1e-6);
    assert.deepEqual(follow(cam, { x: 0.5, y: 0.5, w: 0.01, h: 0.01 }, 400, 250, 1.6), cam, 'already in sight');
  });

  it('zooms in until a tiny caret line is legible, never out', () => {
    const caret = { x: 0.1, y: 0.8, w: 0.001, h: 0.015 };
    const after = follow(whole, caret, 390, 700, 1.6, { minHeight: 20 });
    const l = layout(after, 390, 700, 1.6);
    near(caret.h * l.dh, 20, 1e-6);
    const top = l.oy + caret.y * l.dh;
    assert.ok(top >= 24 && top + 20 <= 700 - 24, `caret at ${top}`);
    const zoomed = { zoom: 8, cx: 0.1, cy: 0.8 };
    assert.equal(follow(zoomed, caret, 390, 700, 1.6, { minHeight: 20 }).zoom, 8);
  });
});
