// The layers' bookkeeping under node: which decoded images are released and which frames are
// acknowledged. Nothing here reaches a canvas (a patch of a layer that is not held is skipped).
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
});

