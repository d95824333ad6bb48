// The encrypted message layer of a session, the client's end: AES-256-GCM with one key per
// direction (HKDF-SHA256 from the pairing key, salt = client nonce | server nonce), and a counter
// per direction that is both the nonce and the sequence number.
//
// Wire form of every message: counter (8 bytes, big-endian) | ciphertext | tag (16 bytes).
// Nonce: 4 zero bytes | counter (8 bytes, big-endian).

import { concat, utf8 } from './bytes.js';

export class ChannelError extends Error {
  constructor(kind) {
    super(
      {
        tooShort: 'encrypted message too short',
        badCounter: 'encrypted message out of sequence',
        decryptFailed: 'encrypted message failed authentication',
      }[kind],
    );
    this.kind = kind;
  }
}

const OVERHEAD = 24;

function nonceFor(counter) {
  const nonce = new Uint8Array(12);
  new DataView(nonce.buffer).setBigUint64(4, counter);
  return nonce;
}

// Derives both direction keys. `role` "client" sends with "vf1 c2s"; "host" the other way round
// (the tests use it to play the host).
export async function deriveKeys(backend, pairingKey, clientNonce, serverNonce) {
  const salt = concat(clientNonce, serverNonce);
  return {
    clientToHost: await backend.hkdf(pairingKey, salt, utf8('vf1 c2s'), 32),
    hostToClient: await backend.hkdf(pairingKey, salt, utf8('vf1 s2c'), 32),
  };
}

export class SecureChannel {
  static async create(backend, pairingKey, clientNonce, serverNonce, role = 'client') {
    const keys = await deriveKeys(backend, pairingKey, clientNonce, serverNonce);
    const [send, recv] = role === 'client' ? [keys.clientToHost, keys.hostToClient] : [keys.hostToClient, keys.clientToHost];
    return new SecureChannel(await backend.aesGcm(send), await backend.aesGcm(recv));
  }

  constructor(sendCipher, recvCipher) {
    this.sendCipher = sendCipher;
    this.recvCipher = recvCipher;
    this.sendCounter = 0n;
    this.recvCounter = 0n;
    this.sealing = Promise.resolve();
  }

  // Seals under the next send counter. Calls complete in the order they were made, so whoever
  // sends each result as its promise resolves sends them in counter order. A failed seal leaves
  // the counter for the next message.
  seal(plaintext) {
    const result = this.sealing.then(async () => {
      const counter = this.sendCounter;
      const sealed = await this.sendCipher.seal(nonceFor(counter), plaintext);
      this.sendCounter = counter + 1n;
      const out = new Uint8Array(8 + sealed.length);
      new DataView(out.buffer).setBigUint64(0, counter);
      out.set(sealed, 8);
      return out;
    });
    this.sealing = result.catch(() => {});
    return result;
  }

  // Opens a message that must carry exactly the next receive counter; throws ChannelError.
  // One caller at a time (the session's receive loop); after an error the counter is unchanged.
  async open(message) {
    if (message.length < OVERHEAD) throw new ChannelError('tooShort');
    const counter = new DataView(message.buffer, message.byteOffset, 8).getBigUint64(0);
    if (counter !== this.recvCounter) throw new ChannelError('badCounter');
    let plaintext;
    try {
      plaintext = await this.recvCipher.open(nonceFor(counter), message.subarray(8));
    } catch {
      throw new ChannelError('decryptFailed');
    }
    this.recvCounter = counter + 1n;
    return plaintext;
  }
}
