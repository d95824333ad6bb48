// Plaintext kinds inside the secure channel and the shapes of the host's frame messages.
//
//   0x01 | JSON object (UTF-8)                               control message, both directions
//   0x02 | header length L (4 bytes, big-endian) | L bytes of JSON header | image payload
//                                                            frame message, host to client

import { fromUtf8, utf8 } from './bytes.js';

export const KIND_JSON = 0x01;
export const KIND_FRAME = 0x02;

export function encodeJson(message) {
  const body = utf8(JSON.stringify(message));
  const out = new Uint8Array(1 + body.length);
  out[0] = KIND_JSON;
  out.set(body, 1);
  return out;
}

function parseObject(bytes) {
  try {
    const value = JSON.parse(fromUtf8(bytes));
    return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
  } catch {
    return null;
  }
}

// { kind: 'json', message } or { kind: 'frame', header, payload }; null for anything else (an
// unknown kind, a broken header), which the session ignores.
export function decodePlaintext(bytes) {
  if (bytes.length === 0) return null;
  if (bytes[0] === KIND_JSON) {
    const message = parseObject(bytes.subarray(1));
    return message && { kind: 'json', message };
  }
  if (bytes[0] === KIND_FRAME && bytes.length >= 5) {
    const length = new DataView(bytes.buffer, bytes.byteOffset + 1, 4).getUint32(0);
    if (5 + length > bytes.length) return null;
    const header = parseObject(bytes.subarray(5, 5 + length));
    return header && { kind: 'frame', header, payload: bytes.subarray(5 + length) };
  }
  return null;
}

// The host's frame message as something to draw.
//   base:  { type: 'base', id, layer, box: {x, y, w, h}, image: {bytes, mime} }
//   patch: { type: 'patch', id, layer, base, regions: [{x, y, w, h, bytes, mime}] }
// null when the header does not describe its payload (the frame is still acknowledged).
export function parseFrame(header, payload) {
  const id = Number.isInteger(header.id) ? header.id : 0;
  const codec = header.fmt === 'heic' ? 'image/heic' : 'image/jpeg';
  if (header.k === 'patch') {
    if (!Array.isArray(header.r) || typeof header.layer !== 'string') return null;
    const lossless = new Set(Array.isArray(header.png) ? header.png : []);
    const regions = [];
    let offset = 0;
    for (const [index, entry] of header.r.entries()) {
      if (!Array.isArray(entry) || entry.length < 5 || !entry.every(Number.isFinite)) return null;
      const [x, y, w, h, n] = entry;
      if (n < 0 || offset + n > payload.length) return null;
      regions.push({ x, y, w, h, bytes: payload.subarray(offset, offset + n), mime: lossless.has(index) ? 'image/png' : codec });
      offset += n;
    }
    return { type: 'patch', id, layer: header.layer, base: header.base, regions };
  }
  if (header.k === 'full' || header.k === 'roi') {
    const box = {};
    for (const key of ['x', 'y', 'w', 'h']) {
      if (!Number.isFinite(header[key])) return null;
      box[key] = header[key];
    }
    return { type: 'base', id, layer: header.k, box, background: header.bg === 1, image: { bytes: payload, mime: codec } };
  }
  return null;
}

// The client's commands, as the host reads them. Coordinates are normalised to the current
// monitor (0 to 1).
const round = (v, places = 5) => Math.round(v * 10 ** places) / 10 ** places;
export const commands = {
  ack: (id) => ({ t: 'ack', id }),
  view: ({ x, y, w, h }, pw, ph) => ({ t: 'view', x: round(x, 6), y: round(y, 6), w: round(w, 6), h: round(h, 6), pw: Math.round(pw), ph: Math.round(ph) }),
  move: (x, y) => ({ t: 'move', x: round(x), y: round(y) }),
  button: (b, down, at) => ({ t: 'btn', b, down, ...(at ? { x: round(at.x), y: round(at.y) } : {}) }),
  click: (b, at, n = 1) => ({ t: 'click', b, n, ...(at ? { x: round(at.x), y: round(at.y) } : {}) }),
  scroll: (dx, dy) => ({ t: 'scroll', dx: round(dx, 2), dy: round(dy, 2) }),
  text: (s) => ({ t: 'text', s }),
  key: (k, mods = [], a = 'press') => ({ t: 'key', k, mods, a }),
  caretWatch: (on) => ({ t: 'caretwatch', on }),
  getClip: () => ({ t: 'getclip' }),
  setClip: (text) => ({ t: 'setclip', text }),
  ping: (ts) => ({ t: 'ping', ts }),
  monitor: (i) => ({ t: 'mon', i }),
  quality: (q) => ({ t: 'quality', q }),
  refresh: () => ({ t: 'refresh' }),
  stream: (on) => ({ t: 'stream', on }),
};
