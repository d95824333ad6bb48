// A session against a socket that plays the host in memory: the handshake, then sealed messages,
// delivered exactly when the test says.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { base64Decode, base64Encode } from '../src/protocol/bytes.js';
import { SecureChannel } from '../src/protocol/channel.js';
import { nobleBackend, randomBytes } from '../src/protocol/crypto.js';
import { proof } from '../src/protocol/handshake.js';
import { encodeJson } from '../src/protocol/messages.js';
import { connect } from '../src/protocol/session.js';

const backend = nobleBackend();
const key = randomBytes(32);

// The host's end: answers the handshake, then `deliver(...messages)` hands sealed control
// messages to the client in one go, as a burst that arrived together.
function fakeHost() {
  let channel;
  let ready;
  const established = new Promise((resolve) => (ready = resolve));
  class Socket {
    constructor() {
      this.readyState = 0;
      setTimeout(() => {
        this.readyState = 1;
        this.onopen?.();
      });
      host.socket = this;
    }

    async send(data) {
      if (typeof data !== 'string') return;
      const m = JSON.parse(data);
      if (m.t === 'hello') {
        this.cn = base64Decode(m.cn);
        this.sn = randomBytes(16);
        this.onmessage({ data: JSON.stringify({ t: 'challenge', v: 1, sn: base64Encode(this.sn), hid: 'fake' }) });
      } else if (m.t === 'auth') {
        const theirs = await proof(backend, key, 'server', this.cn, this.sn);
        channel = await SecureChannel.create(backend, key, this.cn, this.sn, 'host');
        this.onmessage({ data: JSON.stringify({ t: 'welcome', proof: base64Encode(theirs) }) });
        ready();
      }
    }

    close() {
      if (this.readyState >= 2) return;
      this.readyState = 2;
      setTimeout(() => {
        this.readyState = 3;
        this.onclose?.({ code: 1000, reason: '' });
      });
    }
  }
  const host = {
    Socket,
    socket: null,
    async deliver(...messages) {
      await established;
      const sealed = [];
      for (const m of messages) sealed.push(await channel.seal(encodeJson(m)));
      for (const s of sealed) host.socket.onmessage({ data: s.buffer });
    },
  };
  return host;
}

describe('a session', () => {
  it('hands on nothing more once it is closed, though more had arrived', async () => {
    const host = fakeHost();
    const received = [];
    let session;
    session = await connect({
      url: 'ws://127.0.0.1:1/',
      key,
      backend,
      random: randomBytes,
      WebSocketImpl: host.Socket,
      onJson: (m) => {
        received.push(m.n);
        // The app closes the session on the first message (the person picked another computer).
        if (m.n === 1) session.close();
      },
    });
    await host.deliver({ t: 'info', n: 1 }, { t: 'info', n: 2 }, { t: 'info', n: 3 });
    await session.finished;
    assert.deepEqual(received, [1]);
    assert.equal(session.closed, true);
  });
});
