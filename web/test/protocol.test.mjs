import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { base64Decode, base64Encode, hexDecode, hexEncode, parsePairingKey, pairingKeyText, utf8 } from '../src/protocol/bytes.js';
import { ChannelError, SecureChannel, deriveKeys } from '../src/protocol/channel.js';
import { nobleBackend, webCryptoBackend } from '../src/protocol/crypto.js';
import { HandshakeError, handshake, proof } from '../src/protocol/handshake.js';
import { parsePairing } from '../src/protocol/link.js';
import { decodePlaintext, encodeJson, parseFrame } from '../src/protocol/messages.js';
import { retryDelay, shouldRetry } from '../src/protocol/reconnect.js';
import { hostVectors, vectorsMissing } from './vectors.mjs';

const backends = [webCryptoBackend(), nobleBackend()];
const vectors = hostVectors();

for (const backend of backends) {
  describe(`secure channel with ${backend.name} against the host's own bytes`, { skip: !vectors && vectorsMissing }, () => {
    const key = hexDecode(vectors?.key ?? '');
    const cn = hexDecode(vectors?.clientNonce ?? '');
    const sn = hexDecode(vectors?.serverNonce ?? '');

    it('derives both direction keys and both proofs', async () => {
      const keys = await deriveKeys(backend, key, cn, sn);
      assert.equal(hexEncode(keys.clientToHost), vectors.clientToHostKey);
      assert.equal(hexEncode(keys.hostToClient), vectors.hostToClientKey);
      assert.equal(hexEncode(await proof(backend, key, 'client', cn, sn)), vectors.clientProof);
      assert.equal(hexEncode(await proof(backend, key, 'server', cn, sn)), vectors.serverProof);
    });

    it('seals what the host opens and opens what the host sealed, counting from 0', async () => {
      const channel = await SecureChannel.create(backend, key, cn, sn, 'client');
      for (const message of vectors.sealed) {
        assert.equal(hexEncode(await channel.seal(hexDecode(message.plaintext))), message.clientToHost);
        assert.equal(hexEncode(await channel.open(hexDecode(message.hostToClient))), message.plaintext);
      }
      assert.equal(channel.sendCounter, BigInt(vectors.sealed.length));
    });

    it('reads the host frame message: header, regions and which are lossless', async () => {
      const channel = await SecureChannel.create(backend, key, cn, sn, 'client');
      const plain = [];
      for (const message of vectors.sealed) plain.push(decodePlaintext(await channel.open(hexDecode(message.hostToClient))));
      assert.deepEqual(plain[0], { kind: 'json', message: { t: 'text', s: 'é€ж' } });
      assert.equal(plain[1].kind, 'frame');
      const frame = parseFrame(plain[1].header, plain[1].payload);
      assert.equal(frame.type, 'patch');
      assert.equal(frame.id, 7);
      assert.equal(frame.base, 3);
      assert.deepEqual(frame.regions.map((r) => [r.x, r.y, r.w, r.h, r.mime, hexEncode(r.bytes)]), [
        [16, 32, 2, 1, 'image/jpeg', 'ffd8ff'],
        [0, 0, 1, 1, 'image/png', '8950'],
      ]);
      assert.equal(plain[2], null, 'an empty plaintext is no message');
    });
  });

  describe(`secure channel with ${backend.name}: refusals`, () => {
    const key = new Uint8Array(32).fill(7);
    const cn = new Uint8Array(16).fill(1);
    const sn = new Uint8Array(16).fill(2);
    const pair = async () => [
      await SecureChannel.create(backend, key, cn, sn, 'host'),
      await SecureChannel.create(backend, key, cn, sn, 'client'),
    ];

    const cases = [
      ['23 bytes', async (m) => m[0].subarray(0, 23), 'tooShort'],
      ['a skipped message', async (m) => m[1], 'badCounter'],
      ['a flipped ciphertext bit', async (m) => flip(m[0], 9), 'decryptFailed'],
      ['a flipped tag bit', async (m) => flip(m[0], m[0].length - 1), 'decryptFailed'],
      ['a flipped counter bit', async (m) => flip(m[0], 7), 'badCounter'],
    ];
    for (const [name, tamper, kind] of cases) {
      it(`refuses ${name} and still takes the right message afterwards`, async () => {
        const [host, client] = await pair();
        const sent = [await host.seal(utf8('\x01{"t":"a"}')), await host.seal(utf8('\x01{"t":"b"}'))];
        await assert.rejects(client.open(await tamper(sent)), (e) => e instanceof ChannelError && e.kind === kind);
        assert.equal(client.recvCounter, 0n);
        assert.deepEqual(decodePlaintext(await client.open(sent[0])).message, { t: 'a' });
        await assert.rejects(client.open(sent[0]), (e) => e.kind === 'badCounter', 'a replay');
      });
    }

    it('seals concurrent messages in call order, each under its own counter', async () => {
      const [host, client] = await pair();
      const sealed = await Promise.all(Array.from({ length: 20 }, (_, i) => client.seal(encodeJson({ i }))));
      for (let i = 0; i < 20; i++) assert.deepEqual(decodePlaintext(await host.open(sealed[i])).message, { i });
    });

    it('an empty plaintext makes 24 bytes, and opens', async () => {
      const [host, client] = await pair();
      const sealed = await host.seal(new Uint8Array(0));
      assert.equal(sealed.length, 24);
      assert.equal((await client.open(sealed)).length, 0);
    });
  });
}

describe('the two crypto back-ends agree', () => {
  it('what one seals the other opens, both ways', async () => {
    const key = crypto.getRandomValues(new Uint8Array(32));
    const cn = crypto.getRandomValues(new Uint8Array(16));
    const sn = crypto.getRandomValues(new Uint8Array(16));
    const big = new Uint8Array(300000).map((_, i) => (i * 7919) & 255);
    const [web, noble] = backends;
    const a = await SecureChannel.create(web, key, cn, sn, 'host');
    const b = await SecureChannel.create(noble, key, cn, sn, 'client');
    assert.deepEqual(await b.open(await a.seal(big)), big);
    const c = await SecureChannel.create(noble, key, cn, sn, 'host');
    const d = await SecureChannel.create(web, key, cn, sn, 'client');
    assert.deepEqual(await d.open(await c.seal(big)), big);
  });
});

function flip(bytes, index) {
  const out = bytes.slice();
  out[index] ^= 1;
  return out;
}

describe('bytes', () => {
  it('strict Base64 takes only canonical padded text', () => {
    const table = [
      ['', []],
      ['AA==', [0]],
      ['AAE=', [0, 1]],
      ['AAEC', [0, 1, 2]],
      ['AA=', null],
      ['AB==', null], // stray bits
      ['AA E', null],
      ['-_==', null],
      ['A===', null],
    ];
    for (const [text, bytes] of table) {
      const decoded = base64Decode(text);
      assert.deepEqual(decoded && Array.from(decoded), bytes, text);
      if (bytes) assert.equal(base64Encode(Uint8Array.from(bytes)), text);
    }
  });

  it('pairing keys: URL-safe Base64 of 32 bytes or 64 hex digits', () => {
    const key = Uint8Array.from({ length: 32 }, (_, i) => 250 - i * 3);
    const text = pairingKeyText(key);
    assert.equal(text.length, 43);
    assert.doesNotMatch(text, /[+/=]/);
    const table = [
      [text, key],
      [hexEncode(key), key],
      [text.slice(1), null],
      [text + 'A', null],
      [text.replace(/./, '+'), null],
      ['', null],
      [undefined, null],
    ];
    for (const [input, expected] of table) assert.deepEqual(parsePairingKey(input), expected, String(input));
  });
});

describe('browser link', () => {
  const k = 'AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8';
  it('reads the fragment and pasted pairing links alike', () => {
    const table = [
      [`#v=1&id=abc&n=My%20Desk&k=${k}&p=7300&a=192.168.1.5,10.0.0.2&os=linux`, { id: 'abc', name: 'My Desk', port: 7300, addresses: ['192.168.1.5', '10.0.0.2'] }],
      [`nimbrel://pair?v=1&id=x&n=A%26B&k=${k}&p=99999&a=`, { id: 'x', name: 'A&B', port: null, addresses: [] }],
      [`v=1&k=${k}`, { id: '', name: '', port: null, addresses: [] }],
    ];
    for (const [text, expected] of table) {
      const got = parsePairing(text);
      assert.deepEqual({ id: got.id, name: got.name, port: got.port, addresses: got.addresses }, expected, text);
      assert.equal(got.key[31], 31);
    }
    for (const bad of ['', '#v=1&id=x', `#k=${k.slice(2)}`, null]) assert.equal(parsePairing(bad), null, String(bad));
  });
});

describe('frame messages', () => {
  const payload = Uint8Array.from([1, 2, 3, 4, 5, 6]);
  it('base images and patches become drawing instructions; broken headers nothing', () => {
    const base = parseFrame({ k: 'roi', id: 4, x: 0.25, y: 0.5, w: 0.5, h: 0.25, fmt: 'jpeg', bg: 0 }, payload);
    assert.deepEqual({ ...base, image: base.image.mime }, { type: 'base', id: 4, layer: 'roi', box: { x: 0.25, y: 0.5, w: 0.5, h: 0.25 }, background: false, image: 'image/jpeg' });
    assert.equal(parseFrame({ k: 'full', id: 1, x: 0, y: 0, w: 1, h: 1, fmt: 'heic', bg: 1 }, payload).image.mime, 'image/heic');
    const patch = parseFrame({ k: 'patch', id: 5, layer: 'full', base: 1, r: [[0, 0, 16, 16, 2], [16, 0, 16, 16, 4]], fmt: 'jpeg', png: [0] }, payload);
    assert.deepEqual(patch.regions.map((r) => [r.mime, Array.from(r.bytes)]), [['image/png', [1, 2]], ['image/jpeg', [3, 4, 5, 6]]]);
    const broken = [
      { k: 'patch', id: 5, layer: 'full', base: 1, r: [[0, 0, 16, 16, 7]] }, // more bytes than sent
      { k: 'patch', id: 5, layer: 'full', base: 1, r: [[0, 0, 16]] },
      { k: 'patch', id: 5, base: 1, r: [] },
      { k: 'full', id: 1, x: 0, y: 0, w: 1 },
      { k: 'cursor', id: 1 },
    ];
    for (const header of broken) assert.equal(parseFrame(header, payload), null, JSON.stringify(header));
  });

  it('plaintext kinds: JSON, frames, and what is ignored', () => {
    const header = utf8('{"k":"full"}');
    const frame = new Uint8Array([2, 0, 0, 0, header.length, ...header, 9, 9]);
    assert.deepEqual(decodePlaintext(frame).header, { k: 'full' });
    assert.deepEqual(Array.from(decodePlaintext(frame).payload), [9, 9]);
    const table = [new Uint8Array([3, 123, 125]), new Uint8Array([1, 91, 93]), new Uint8Array([1, 123]), new Uint8Array([2, 0, 0, 1, 0, 1]), new Uint8Array([])];
    for (const bytes of table) assert.equal(decodePlaintext(bytes), null, Array.from(bytes).join(','));
    assert.deepEqual(decodePlaintext(encodeJson({ t: 'x', s: '😀' })).message, { t: 'x', s: '😀' });
  });
});

// A host played with the same primitives, to drive the client's handshake through each outcome.
function fakeHost(backend, key, { reply }) {
  const sent = [];
  const inbox = [];
  let cn;
  const sn = new Uint8Array(16).fill(9);
  return {
    sent,
    sendText(text) {
      const message = JSON.parse(text);
      sent.push(message);
      if (message.t === 'hello') {
        cn = base64Decode(message.cn);
        inbox.push(reply.challenge ? reply.challenge() : JSON.stringify({ t: 'challenge', v: 1, sn: base64Encode(sn), hid: 'host-1' }));
      } else {
        inbox.push(
          (async () => {
            if (reply.answer) return reply.answer();
            const expected = await proof(backend, key, 'client', cn, sn);
            if (base64Encode(expected) !== message.proof) return JSON.stringify({ t: 'error', code: 'auth', msg: 'Pairing key rejected. Re-pair this device.' });
            return JSON.stringify({ t: 'welcome', proof: base64Encode(await proof(backend, reply.serverKey ?? key, 'server', cn, sn)) });
          })(),
        );
      }
    },
    async nextText() {
      return inbox.shift();
    },
  };
}

describe('handshake', () => {
  const backend = nobleBackend();
  const key = new Uint8Array(32).fill(3);
  const random = (n) => new Uint8Array(n).fill(5);
  const table = [
    ['the right key', key, {}, null],
    ['a wrong key', new Uint8Array(32).fill(4), {}, 'auth'],
    ['a host that speaks another version', key, { challenge: () => '{"t":"error","code":"version","msg":"Unsupported protocol version"}' }, 'version'],
    ['a challenge with a short nonce', key, { challenge: () => '{"t":"challenge","v":1,"sn":"AAAA"}' }, 'protocol'],
    ['an answer that is not JSON', key, { answer: () => 'HTTP/1.1 426' }, 'protocol'],
    ['a host that cannot prove the key', key, { serverKey: new Uint8Array(32).fill(8) }, 'impostor'],
  ];
  for (const [name, clientKey, reply, code] of table) {
    it(`with ${name}: ${code ?? 'a channel'}`, async () => {
      const host = fakeHost(backend, key, { reply });
      const run = handshake(host, { backend, key: clientKey, name: 'phone', caps: ['patch', 'png'], random });
      if (code) {
        await assert.rejects(run, (e) => e instanceof HandshakeError && e.code === code && e.message.length > 10);
      } else {
        const { channel, hostID } = await run;
        assert.equal(hostID, 'host-1');
        assert.ok(channel instanceof SecureChannel);
      }
      assert.deepEqual(host.sent[0], { t: 'hello', v: 1, cn: base64Encode(random(16)), name: 'phone', caps: ['patch', 'png'] });
    });
  }
});

describe('reconnecting', () => {
  it('gives up only where a person must act', () => {
    const table = [['auth', false], ['version', false], ['impostor', false], ['unreachable', true], ['closed', true], ['timeout', true], [undefined, true]];
    for (const [code, retry] of table) assert.equal(shouldRetry({ code }), retry, String(code));
  });
  it('backs off from half a second to ten, with jitter within a fifth', () => {
    const table = [[0, 0.5], [1, 1], [2, 2], [4, 8], [5, 10], [40, 10]];
    for (const [attempt, base] of table) {
      assert.equal(retryDelay(attempt, 0.5), base);
      assert.ok(Math.abs(retryDelay(attempt, 0) - base * 0.8) < 1e-9);
      assert.ok(retryDelay(attempt, 0.999) < base * 1.2);
    }
  });
});
