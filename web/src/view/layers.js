// The pictures a host streams, kept as one canvas per layer: the full screen and, while zoomed,
// the sharper region ("roi"). Base images replace a layer; patches paint regions into it.
// Frames are applied strictly in arrival order while their images decode side by side, and each
// frame id is acknowledged as soon as its images are in the layer.

export function decodeImage(bytes, mime) {
  return createImageBitmap(new Blob([bytes], { type: mime }));
}

export class Layers {
  // onApplied(frameId): called once per frame, after it is in its layer (or given up), unless
  // the layers were reset in the meantime.
  constructor(onApplied, onChange, decode = decodeImage, newCanvas = makeCanvas) {
    this.onApplied = onApplied;
    this.onChange = onChange;
    this.decode = decode;
    this.newCanvas = newCanvas;
    this.layers = {}; // kind -> { canvas, box, baseId, background }
    this.kept = null; // the last session's full layer, on show until this one's arrives
    this.chain = Promise.resolve();
    this.framesApplied = 0;
    this.lastError = null;
  }

  // Forgets the session's layers. With `keepPicture` (the same computer again, after a lost
  // connection) its last full picture stays on show, never painted on, until the next session's
  // first full image replaces it, so the screen does not go blank in between.
  reset({ keepPicture = false } = {}) {
    const full = this.layers.full?.box ? this.layers.full : this.kept;
    this.kept = keepPicture ? full : null;
    this.layers = {};
    this.chain = Promise.resolve();
  }

  push(frame, id) {
    const sources = frame?.type === 'base' ? [frame.image] : frame?.type === 'patch' ? frame.regions : [];
    // Each image settles on its own: one that fails must not leave the others unclosed.
    const images = Promise.allSettled(sources.map((s) => this.decode(s.bytes, s.mime)));
    const generation = this.layers;
    this.chain = this.chain.then(async () => {
      const results = await images;
      const bitmaps = results.filter((r) => r.status === 'fulfilled').map((r) => r.value);
      try {
        const failed = results.find((r) => r.status === 'rejected');
        if (failed) throw failed.reason;
        if (frame && generation === this.layers) this.apply(frame, bitmaps);
      } catch (e) {
        this.lastError = e;
      } finally {
        for (const b of bitmaps) b.close?.();
        // A frame from before a reset belongs to a session that is gone: the next session
        // numbers its frames afresh, and this id would acknowledge one of those.
        if (generation === this.layers) this.onApplied(id);
      }
    });
  }

  apply(frame, bitmaps) {
    if (frame.type === 'base') {
      const [bitmap] = bitmaps;
      let layer = this.layers[frame.layer];
      if (!layer) layer = this.layers[frame.layer] = { canvas: this.newCanvas(bitmap.width, bitmap.height) };
      const { canvas } = layer;
      if (canvas.width !== bitmap.width || canvas.height !== bitmap.height) {
        canvas.width = bitmap.width;
        canvas.height = bitmap.height;
      }
      canvas.getContext('2d').drawImage(bitmap, 0, 0);
      Object.assign(layer, { box: frame.box, baseId: frame.id, background: frame.background });
      // A full layer that is no backdrop means the host has left the zoomed region behind.
      if (frame.layer === 'full' && !frame.background) delete this.layers.roi;
      if (frame.layer === 'full') this.kept = null;
    } else {
      const layer = this.layers[frame.layer];
      if (!layer || layer.baseId !== frame.base) return; // a patch of an image we no longer hold
      const context = layer.canvas.getContext('2d');
      frame.regions.forEach((r, i) => context.drawImage(bitmaps[i], r.x, r.y, r.w, r.h));
    }
    this.framesApplied++;
    this.onChange();
  }

  // Draws the layers into a 2D context where the screen occupies (ox, oy, dw, dh), device pixels.
  draw(context, ox, oy, dw, dh) {
    for (const kind of ['full', 'roi']) {
      const layer = kind === 'full' && this.kept ? this.kept : this.layers[kind];
      if (!layer?.box) continue;
      const { x, y, w, h } = layer.box;
      context.drawImage(layer.canvas, ox + x * dw, oy + y * dh, w * dw, h * dh);
    }
  }

  get hasPicture() {
    return Boolean(this.layers.full || this.kept);
  }
}

function makeCanvas(width, height) {
  if (typeof OffscreenCanvas !== 'undefined') return new OffscreenCanvas(width, height);
  const canvas = document.createElement('canvas');
  canvas.width = width;
  canvas.height = height;
  return canvas;
}
