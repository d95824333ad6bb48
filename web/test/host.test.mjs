// The protocol modules against the real host binary in a dry run (synthetic screen, recorded
// input), on loopback, with each crypto back-end.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';

import { nobleBackend, randomBytes, webCryptoBackend } from '../src/protocol/crypto.js';
import { HandshakeError } from '../src/protocol/handshake.js';
import { commands, parseFrame } from '../src/protocol/messages.js';
import { connect } from '../src/protocol/session.js';
import { startHost } from './host_process.mjs';

const hostBinary = process.env.NIMBREL_HOST_BINARY;

// Messages a session receives, waited for by predicate.
function inbox() {
  const messages = [];
  const waiters = [];
  const push = (m) => {
    messages.push(m);
    for (const w of [...waiters]) w();
  };
  const waitFor = (predicate, timeoutMs = 10000) =>
    new Promise((resolve, reject) => {
      const check = () => {
        const found = messages.find(predicate);
        if (!found) return;
        waiters.splice(waiters.indexOf(check), 1);
        clearTimeout(timer);
        resolve(found);
      };
      const timer = setTimeout(() => reject(new Error('timed out waiting for a message')), timeoutMs);
      waiters.push(check);
      check();
    });
  return { messages, push, waitFor };
}

describe('against the host', { skip: !hostBinary && 'NIMBREL_HOST_BINARY is not set (ctest sets it)' }, () => {
  let host;
  before(async () => {
    host = await startHost();
  });
  after(() => host?.stop());

  for (const backend of [webCryptoBackend(), nobleBackend()]) {
    it(`completes a session with ${backend.name}: info, frames acknowledged, input recorded`, async () => {
      const box = inbox();
      const session = await connect({
        url: `ws://127.0.0.1:${host.port}/`,
        key: host.key,
        name: `node ${backend.name}`,
        caps: ['patch', 'png'],
        backend,
        random: randomBytes,
        onJson: (m) => box.push({ json: m }),
        onFrame: (header, payload) => {
          box.push({ frame: parseFrame(header, payload), header });
          session?.send(commands.ack(header.id));
        },
      });
      const info = await box.waitFor((m) => m.json?.t === 'info');
      assert.equal(info.json.os, 'test');
      assert.equal(info.json.monitors[0].w, 1600);
      const first = await box.waitFor((m) => m.frame);
      assert.equal(first.frame.type, 'base');
      assert.equal(first.frame.layer, 'full');
      assert.deepEqual(Array.from(first.frame.image.bytes.subarray(0, 2)), [0xff, 0xd8]);
      // Acknowledged frames keep the window open: a move brings a patch of the moved square.
      session.send(commands.move(0.5, 0.5));
      await host.waitFor(/input \('move', 800, 500\)/);
      await box.waitFor((m) => m.frame?.type === 'patch');
      session.send(commands.ping(12.5));
      assert.equal((await box.waitFor((m) => m.json?.t === 'pong')).json.ts, 12.5);
      session.send(commands.text('é€ж😀'));
      await host.waitFor(/input \('text', 'é€ж😀'\)/);
      session.close();
    });
  }

  it('a wrong key is refused as such, and the host keeps serving', async () => {
    const wrong = new Uint8Array(32).fill(1);
    await assert.rejects(
      connect({ url: `ws://127.0.0.1:${host.port}/`, key: wrong, backend: nobleBackend(), random: randomBytes }),
      (e) => e instanceof HandshakeError && e.code === 'auth',
    );
  });

  it('a closed port is unreachable', async () => {
    await assert.rejects(
      connect({ url: 'ws://127.0.0.1:9/', key: host.key, backend: nobleBackend(), random: randomBytes, timeoutMs: 3000 }),
      (e) => e.code === 'unreachable',
    );
  });

  it('serves the app on plain GET with its content types, and 426 for anything else', async () => {
    const base = `http://127.0.0.1:${host.port}`;
    const table = [
      ['/', 200, 'text/html; charset=utf-8', '<canvas id="screen"'],
      ['/index.html?x=1', 200, 'text/html; charset=utf-8', '<!doctype html>'],
      ['/app.js', 200, 'text/javascript; charset=utf-8', null],
      ['/app.css', 200, 'text/css; charset=utf-8', '#screen'],
      ['/manifest.webmanifest', 200, 'application/manifest+json', '"start_url": "/"'],
      ['/icon.svg', 200, 'image/svg+xml', '<svg'],
      ['/nothing', 426, 'text/plain; charset=utf-8', 'This is a Nimbrel host'],
      ['/app.js/', 426, 'text/plain; charset=utf-8', null],
    ];
    for (const [path, status, type, body] of table) {
      const response = await fetch(base + path);
      assert.equal(response.status, status, path);
      assert.equal(response.headers.get('content-type'), type, path);
      const text = await response.text();
      if (body) assert.ok(text.includes(body), `${path}: ${text.slice(0, 80)}`);
      if (status === 200) {
        assert.equal(response.headers.get('x-content-type-options'), 'nosniff');
        assert.match(response.headers.get('content-security-policy'), /default-src 'self'/);
        const again = await fetch(base + path, { headers: { 'If-None-Match': response.headers.get('etag') } });
        assert.equal(again.status, 304, `${path} revalidated`);
      }
    }
    const post = await fetch(base + '/', { method: 'POST', body: 'x' });
    assert.equal(post.status, 426);
    const head = await fetch(base + '/app.js', { method: 'HEAD' });
    assert.equal(head.status, 200);
    assert.ok(Number(head.headers.get('content-length')) > 10000);
  });
});
