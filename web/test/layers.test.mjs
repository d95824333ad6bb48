// The layers' bookkeeping under node: which decoded images are released, which frames are
// acknowledged, and which picture is on show across a reconnection (with stand-in canvases).
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { Layers } from '../src/view/layers.js';

// A decoder whose images record being closed; bytes [0] fail to decode.
function decoder() {
  const made = [];
  const decode = async (bytes) => {
    if (bytes[0] === 0) throw new Error('not an image');
    const bitmap = { width: 1, height: 1, closed: false, close() { this.closed = true; } };
    made.push(bitmap);
    return bitmap;
  };
  return { made, decode };
}

const patch = (id, ...firstBytes) => ({
  type: 'patch',
  id,
  layer: 'full',
  base: 1,
  regions: firstBytes.map((b) => ({ x: 0, y: 0, w: 1, h: 1, bytes: new Uint8Array([b]), mime: 'image/png' })),
});

// Pushes frames and resolves with the ids acknowledged once `count` have been.
function acknowledged(layers, count) {
  return new Promise((resolve) => {
    const ids = [];
    layers.onApplied = (id) => {
      ids.push(id);
      if (ids.length === count) resolve(ids);
    };
  });
}

describe('layers', () => {
  it('every decoded image is closed, also when another region of its frame failed', async () => {
    const cases = [
      ['all regions decode', [1, 2, 3]],
      ['the first region fails', [0, 2, 3]],
      ['a middle region fails', [1, 0, 3]],
      ['the last region fails', [1, 2, 0]],
    ];
    for (const [name, firstBytes] of cases) {
      const { made, decode } = decoder();
      const layers = new Layers(() => {}, () => {}, decode);
      const done = acknowledged(layers, 1);
      layers.push(patch(7, ...firstBytes), 7);
      assert.deepEqual(await done, [7], name);
      assert.equal(made.length, firstBytes.filter((b) => b !== 0).length, name);
      assert.ok(made.every((b) => b.closed), `${name}: an image was left open`);
    }
  });

  it("frames pushed before a reset are not acknowledged: their session is gone, and the next one numbers its own frames", async () => {
    // A frame of the old session still decoding when the new session begins; its image is
    // closed when the frame is done with, just before an acknowledgement would go out.
    let finishOld;
    const slow = new Promise((resolve) => (finishOld = resolve));
    let oldClosed;
    const oldDone = new Promise((resolve) => (oldClosed = resolve));
    const oldBitmap = { width: 1, height: 1, close: () => oldClosed() };
    const newBitmap = { width: 1, height: 1, close() {} };
    const layers = new Layers(() => {}, () => {}, (bytes) => (bytes[0] === 9 ? slow.then(() => oldBitmap) : Promise.resolve(newBitmap)));
    const acks = [];
    const newAcked = acknowledged(layers, 1);
    const record = layers.onApplied;
    layers.onApplied = (id) => {
      acks.push(id);
      record(id);
    };
    layers.push(patch(5, 9), 5);
    layers.reset();
    layers.push(patch(2, 1), 2);
    await newAcked;
    finishOld();
    await oldDone;
    assert.deepEqual(acks, [2]);
  });

  describe('across a reconnection', () => {
    // Stand-in canvases that remember what was painted into them, and a context that records
    // which canvases a draw shows.
    const canvases = [];
    const newCanvas = (width, height) => {
      const canvas = { width, height, painted: [], getContext: () => ({ drawImage: (bitmap) => canvas.painted.push(bitmap.name) }) };
      canvases.push(canvas);
      return canvas;
    };
    const image = (name) => ({ name, width: 4, height: 3, close() {} });
    const bytes = (name) => new Uint8Array([...name].map((c) => c.charCodeAt(0)));
    const decode = async (b) => image(String.fromCharCode(...b));
    const base = (id, name, layer = 'full') => ({ type: 'base', id, layer, box: { x: 0, y: 0, w: 1, h: 1 }, image: { bytes: bytes(name), mime: 'image/jpeg' } });
    const patchOf = (id, baseId, name) => ({ type: 'patch', id, layer: 'full', base: baseId, regions: [{ x: 0, y: 0, w: 1, h: 1, bytes: bytes(name), mime: 'image/jpeg' }] });
    const shown = (layers) => {
      const drawn = [];
      layers.draw({ drawImage: (canvas) => drawn.push(canvas.painted.join('+')) }, 0, 0, 100, 100);
      return drawn;
    };
    async function settle(layers, frames) {
      const done = acknowledged(layers, frames.length);
      for (const f of frames) layers.push(f, f.id);
      await done;
    }

    const cases = [
      { name: 'the same computer: the last picture stays until the new one', keepPicture: true, between: ['old+p'], after: ['new'] },
      { name: 'another computer: nothing of the last one shows', keepPicture: false, between: [], after: ['new'] },
    ];
    for (const c of cases) {
      it(c.name, async () => {
        const layers = new Layers(() => {}, () => {}, decode, newCanvas);
        await settle(layers, [base(1, 'old'), patchOf(2, 1, 'p')]);
        assert.deepEqual(shown(layers), ['old+p']);
        layers.reset({ keepPicture: c.keepPicture });
        assert.equal(layers.hasPicture, c.keepPicture);
        // The next session numbers its images afresh: its patch of "base 1" must not paint the
        // kept picture.
        await settle(layers, [patchOf(1, 1, 'stray')]);
        assert.deepEqual(shown(layers), c.between);
        await settle(layers, [base(1, 'new')]);
        assert.deepEqual(shown(layers), c.after);
      });
    }

    it('a second loss before the new picture keeps the same last picture', async () => {
      const layers = new Layers(() => {}, () => {}, decode, newCanvas);
      await settle(layers, [base(1, 'old')]);
      layers.reset({ keepPicture: true });
      layers.reset({ keepPicture: true });
      assert.deepEqual(shown(layers), ['old']);
      layers.reset();
      assert.deepEqual(shown(layers), []);
    });
  });
});
