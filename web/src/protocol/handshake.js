// The client's half of the handshake, on a socket that is open:
//   -> hello {t, v: 1, cn, name, caps}      <- challenge {t, v, sn, hid}
//   -> auth {t, proof}                      <- welcome {t, proof} | error {t, code, msg}
// proof = HMAC-SHA256(key, "vf1-" + role + cn + sn), role "client" or "server".

import { base64Decode, base64Encode, concat, sameBytes, utf8 } from './bytes.js';
import { SecureChannel } from './channel.js';

// Why a handshake failed, as a person needs to hear it. `code`: "auth" (wrong key), "version",
// "protocol" (the other end does not speak this protocol), "impostor" (the host could not prove
// it holds the key).
export class HandshakeError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

export async function proof(backend, key, role, nonceA, nonceB) {
  return backend.hmac(key, concat(utf8('vf1-' + role), nonceA, nonceB));
}

function refusal(answer) {
  if (answer.code === 'auth') return new HandshakeError('auth', 'The pairing key was not accepted. Pair this device again.');
  if (answer.code === 'version') return new HandshakeError('version', 'The computer speaks another protocol version. Update Nimbrel.');
  return new HandshakeError('protocol', `The computer refused the connection${answer.msg ? ': ' + answer.msg : ''}`);
}

function parse(text) {
  try {
    const value = typeof text === 'string' ? JSON.parse(text) : null;
    if (value && typeof value === 'object' && !Array.isArray(value)) return value;
  } catch {
    // fall through
  }
  throw new HandshakeError('protocol', 'The other end does not speak the Nimbrel protocol.');
}

// `socket`: { sendText(text), nextText() -> Promise<string> }. Returns { channel, hostID }.
export async function handshake(socket, { backend, key, name, caps, random }) {
  const cn = random(16);
  socket.sendText(JSON.stringify({ t: 'hello', v: 1, cn: base64Encode(cn), name, caps }));
  const challenge = parse(await socket.nextText());
  if (challenge.t === 'error') throw refusal(challenge);
  const sn = base64Decode(challenge.sn);
  if (challenge.t !== 'challenge' || !sn || sn.length !== 16) {
    throw new HandshakeError('protocol', 'The computer sent a malformed challenge.');
  }
  const mine = await proof(backend, key, 'client', cn, sn);
  socket.sendText(JSON.stringify({ t: 'auth', proof: base64Encode(mine) }));
  const answer = parse(await socket.nextText());
  if (answer.t === 'error') throw refusal(answer);
  const theirs = base64Decode(answer.proof);
  const expected = await proof(backend, key, 'server', cn, sn);
  if (answer.t !== 'welcome' || !theirs || !sameBytes(theirs, expected)) {
    throw new HandshakeError('impostor', 'The computer could not prove it holds the pairing key.');
  }
  const channel = await SecureChannel.create(backend, key, cn, sn, 'client');
  return { channel, hostID: typeof challenge.hid === 'string' ? challenge.hid : '' };
}
