// The three primitives a session needs (HKDF-SHA256, HMAC-SHA256, AES-256-GCM) behind one small
// interface with two back-ends: the browser's WebCrypto, which only secure contexts have (https,
// localhost), and the bundled audited JavaScript implementations for a page served over plain
// http from a computer on the local network.
//
// Backend interface (every operation returns a promise):
//   hkdf(ikm, salt, info, length) -> Uint8Array
//   hmac(key, message) -> Uint8Array (32 bytes)
//   aesGcm(key) -> { seal(nonce, plaintext) -> ciphertext|tag, open(nonce, sealed) -> plaintext }
//     open rejects when the tag does not verify.

import { gcm } from '@noble/ciphers/aes.js';
import { hkdf } from '@noble/hashes/hkdf.js';
import { hmac } from '@noble/hashes/hmac.js';
import { sha256 } from '@noble/hashes/sha2.js';

export function webCryptoBackend(subtle = globalThis.crypto?.subtle) {
  if (!subtle) throw new Error('WebCrypto is not available here');
  return {
    name: 'webcrypto',
    async hkdf(ikm, salt, info, length) {
      const base = await subtle.importKey('raw', ikm, 'HKDF', false, ['deriveBits']);
      const bits = await subtle.deriveBits({ name: 'HKDF', hash: 'SHA-256', salt, info }, base, length * 8);
      return new Uint8Array(bits);
    },
    async hmac(key, message) {
      const k = await subtle.importKey('raw', key, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
      return new Uint8Array(await subtle.sign('HMAC', k, message));
    },
    async aesGcm(key) {
      const k = await subtle.importKey('raw', key, 'AES-GCM', false, ['encrypt', 'decrypt']);
      return {
        async seal(iv, plaintext) {
          return new Uint8Array(await subtle.encrypt({ name: 'AES-GCM', iv }, k, plaintext));
        },
        async open(iv, sealed) {
          return new Uint8Array(await subtle.decrypt({ name: 'AES-GCM', iv }, k, sealed));
        },
      };
    },
  };
}

export function nobleBackend() {
  return {
    name: 'noble',
    async hkdf(ikm, salt, info, length) {
      return hkdf(sha256, ikm, salt, info, length);
    },
    async hmac(key, message) {
      return hmac(sha256, key, message);
    },
    async aesGcm(key) {
      return {
        async seal(iv, plaintext) {
          return gcm(key, iv).encrypt(plaintext);
        },
        async open(iv, sealed) {
          return gcm(key, iv).decrypt(sealed);
        },
      };
    },
  };
}

// WebCrypto where the page may use it, the bundled code otherwise.
export function pickBackend(scope = globalThis) {
  if (scope.isSecureContext !== false && scope.crypto?.subtle) return webCryptoBackend(scope.crypto.subtle);
  return nobleBackend();
}

export function randomBytes(count, scope = globalThis) {
  // getRandomValues is there in every context, secure or not.
  return scope.crypto.getRandomValues(new Uint8Array(count));
}
