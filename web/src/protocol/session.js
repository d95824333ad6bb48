// One session with a host over a WebSocket: open, handshake, then sealed messages both ways.
// Received messages are opened strictly in order; frames are handed on as soon as they are
// opened, so decoding one image overlaps with receiving the next.

import { HandshakeError, handshake } from './handshake.js';
import { decodePlaintext, encodeJson } from './messages.js';

export class SessionError extends Error {
  constructor(code, message, close) {
    super(message);
    this.code = code; // "unreachable", "closed", "timeout", or a HandshakeError's code
    // How the other end closed the socket, when it did: a relay says why with its own codes.
    if (close) {
      this.closeCode = close.code;
      this.closeReason = close.reason;
    }
  }
}

function openSocket(WebSocketImpl, url, timeoutMs) {
  return new Promise((resolve, reject) => {
    let ws;
    try {
      ws = new WebSocketImpl(url);
    } catch (e) {
      reject(new SessionError('unreachable', `Can't reach ${url}: ${e.message}`));
      return;
    }
    ws.binaryType = 'arraybuffer';
    const timer = setTimeout(() => {
      ws.close();
      reject(new SessionError('unreachable', "The computer didn't answer. Is Nimbrel running, and are you on its network?"));
    }, timeoutMs);
    ws.onopen = () => {
      clearTimeout(timer);
      resolve(ws);
    };
    ws.onerror = ws.onclose = () => {
      clearTimeout(timer);
      reject(new SessionError('unreachable', "Can't reach the computer. Is Nimbrel running, and are you on its network?"));
    };
  });
}

// Options: url, key (32 bytes), name, caps, backend (crypto.js), random(count), WebSocketImpl,
// timeoutMs, and the handlers onJson(message), onFrame(header, payload), onClose(error).
export async function connect(options) {
  const { url, key, name = 'browser', caps = [], backend, random } = options;
  const WebSocketImpl = options.WebSocketImpl ?? globalThis.WebSocket;
  const timeoutMs = options.timeoutMs ?? 8000;
  const ws = await openSocket(WebSocketImpl, url, timeoutMs);

  // Everything that arrives is queued; the handshake takes text, then the session binary.
  const queue = [];
  let wake = null;
  let ended = null;
  ws.onmessage = (event) => {
    queue.push(event.data);
    wake?.();
  };
  ws.onclose = (event) => {
    ended = new SessionError('closed', event.reason || 'The connection to the computer was closed.', { code: event.code, reason: event.reason });
    wake?.();
  };
  ws.onerror = () => {};
  const next = async () => {
    while (queue.length === 0) {
      if (ended) throw ended;
      await new Promise((resolve) => (wake = resolve));
      wake = null;
    }
    return queue.shift();
  };

  let result;
  const deadline = setTimeout(() => ws.close(), timeoutMs);
  try {
    result = await handshake(
      { sendText: (text) => ws.send(text), nextText: next },
      { backend, key, name, caps, random },
    );
  } catch (e) {
    ws.close();
    if (e instanceof HandshakeError) throw e;
    const close = e instanceof SessionError && e.closeCode !== undefined ? { code: e.closeCode, reason: e.closeReason } : undefined;
    throw new SessionError(e.code === 'closed' ? 'closed' : 'timeout', "The computer didn't finish the handshake.", close);
  } finally {
    clearTimeout(deadline);
  }
  const session = new Session(ws, result.channel, result.hostID);

  session.finished = (async () => {
    let error = null;
    try {
      for (;;) {
        const data = await next();
        if (session.closedByUs) break;
        if (typeof data === 'string') continue; // text after the handshake means nothing
        const plain = decodePlaintext(await result.channel.open(new Uint8Array(data)));
        // What had arrived before close() is not handed on: the app has moved on (another
        // session, another computer) and would take it for the current one.
        if (session.closedByUs) break;
        if (!plain) continue;
        if (plain.kind === 'json') options.onJson?.(plain.message);
        else options.onFrame?.(plain.header, plain.payload);
      }
    } catch (e) {
      error = e;
      ws.close();
    }
    session.closed = true;
    if (!session.closedByUs) options.onClose?.(error);
  })();
  return session;
}

export class Session {
  constructor(ws, channel, hostID) {
    this.ws = ws;
    this.channel = channel;
    this.hostID = hostID;
    this.closed = false;
    this.closedByUs = false;
    this.finished = null; // resolves once the session has stopped receiving
  }

  // Seals and sends one command; commands leave in the order of the calls.
  send(command) {
    if (this.closed) return Promise.resolve(false);
    return this.channel.seal(encodeJson(command)).then(
      (sealed) => {
        if (this.ws.readyState !== 1) return false;
        this.ws.send(sealed);
        return true;
      },
      () => false,
    );
  }

  // Bytes waiting in the socket's send buffer (the browser's view of congestion).
  get buffered() {
    return this.ws.bufferedAmount ?? 0;
  }

  // Closes the socket; nothing received is handed on after this.
  close() {
    this.closedByUs = true;
    this.ws.close();
  }
}
