// Byte helpers shared by the protocol modules: UTF-8, strict Base64, the pairing key's URL-safe
// Base64, hexadecimal, concatenation and a comparison that does not stop at the first difference.

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8', { fatal: false });

export const utf8 = (text) => encoder.encode(text);
export const fromUtf8 = (bytes) => decoder.decode(bytes);

const ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';
const VALUE = new Int16Array(128).fill(-1);
for (let i = 0; i < ALPHABET.length; i++) VALUE[ALPHABET.charCodeAt(i)] = i;

export function base64Encode(bytes) {
  let out = '';
  let i = 0;
  for (; i + 2 < bytes.length; i += 3) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + ALPHABET[(n >> 6) & 63] + ALPHABET[n & 63];
  }
  const rest = bytes.length - i;
  if (rest === 1) {
    const n = bytes[i] << 16;
    out += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + '==';
  } else if (rest === 2) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += ALPHABET[n >> 18] + ALPHABET[(n >> 12) & 63] + ALPHABET[(n >> 6) & 63] + '=';
  }
  return out;
}

// Strict standard Base64 as the handshake speaks it: padded, no whitespace, no URL-safe letters,
// no stray bits after the last byte. Anything else gives null.
export function base64Decode(text) {
  if (typeof text !== 'string' || text.length % 4 !== 0) return null;
  const padding = text.endsWith('==') ? 2 : text.endsWith('=') ? 1 : 0;
  const out = new Uint8Array((text.length / 4) * 3 - padding);
  let o = 0;
  for (let i = 0; i < text.length; i += 4) {
    const last = i + 4 === text.length;
    const v = [0, 1, 2, 3].map((k) => {
      const c = text.charCodeAt(i + k);
      if (last && c === 61 && k >= 4 - padding) return 0;
      return c < 128 ? VALUE[c] : -1;
    });
    if (v.some((x) => x < 0)) return null;
    const n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out[o++] = n >> 16;
    if (o < out.length) out[o++] = (n >> 8) & 255;
    if (o < out.length) out[o++] = n & 255;
    if (last && padding === 2 && (n & 0xffff) !== 0) return null;
    if (last && padding === 1 && (n & 0xff) !== 0) return null;
  }
  return out;
}

// The pairing key as links carry it: 43 URL-safe Base64 characters (or 64 hex digits); null when
// it does not make exactly 32 bytes.
export function parsePairingKey(text) {
  if (typeof text !== 'string') return null;
  if (/^[0-9a-fA-F]{64}$/.test(text)) return hexDecode(text);
  if (!/^[A-Za-z0-9_-]{43}=?$/.test(text)) return null;
  let standard = text.replace(/=$/, '').replace(/-/g, '+').replace(/_/g, '/');
  while (standard.length % 4) standard += '=';
  const key = base64Decode(standard);
  return key && key.length === 32 ? key : null;
}

export function pairingKeyText(key) {
  return base64Encode(key).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

export function hexEncode(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

export function hexDecode(text) {
  if (typeof text !== 'string' || text.length % 2 || /[^0-9a-fA-F]/.test(text)) return null;
  const out = new Uint8Array(text.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(text.substr(i * 2, 2), 16);
  return out;
}

export function concat(...parts) {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let o = 0;
  for (const p of parts) {
    out.set(p, o);
    o += p.length;
  }
  return out;
}

export function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  let diff = 0;
  for (let i = 0; i < a.length; i++) diff |= a[i] ^ b[i];
  return diff === 0;
}
