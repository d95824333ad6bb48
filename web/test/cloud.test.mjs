// The browser client's cloud logic without a network: which app the page is, the account's
// computers as the list shows them, the keys kept per computer, relay URLs and close codes, and
// what the status line says through the relay.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { describe, it } from 'node:test';

import { hexEncode, pairingKeyText, parsePairingKey } from '../src/protocol/bytes.js';
import { modeFromHealth, parseHosts, relayCloseError, relaySocketUrl } from '../src/protocol/cloud.js';
import { KEYS_STORAGE, KeyStore, linkDecision } from '../src/protocol/keys.js';
import { parsePairing } from '../src/protocol/link.js';
import { retryDelay, shouldRetry } from '../src/protocol/reconnect.js';
import { hostRows, lastSeenText, listNote } from '../src/ui/hosts.js';
import { linkQuestion } from '../src/ui/link_question.js';
import { statusFor } from '../src/ui/status.js';
import { MemoryStorage } from './memory_storage.mjs';

const K = 'AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8';

describe('which app the page is', () => {
  it('cloud only when the service names itself; a definite other answer is a host; else ask again', () => {
    const table = [
      [200, { ok: true, service: 'nimbrel-cloud' }, 'cloud'],
      [200, { ok: true }, 'direct'],
      [200, { ok: true, service: 'something-else' }, 'direct'],
      [200, null, 'direct'],
      [426, null, 'direct'],
      [404, { error: {} }, 'direct'],
      [502, null, 'unknown'],
      [503, { service: 'nimbrel-cloud' }, 'unknown'],
      [undefined, null, 'unknown'],
    ];
    for (const [status, body, mode] of table) assert.equal(modeFromHealth(status, body), mode, `${status} ${JSON.stringify(body)}`);
  });
});

describe("the account's computers", () => {
  it('takes the fields the list needs and drops entries without an id', () => {
    const hosts = parseHosts({
      hosts: [
        { id: 'h1', local_id: 'L1', name: 'Desk', os: 'linux', version: '1.0', online: true, last_seen: 1800000000 },
        { id: 'h2', local_id: 'L2', name: '', online: 'yes' },
        { id: '', name: 'no id' },
        null,
        { id: 'h3' },
      ],
    });
    assert.deepEqual(hosts, [
      { id: 'h1', localId: 'L1', name: 'Desk', os: 'linux', online: true, lastSeen: 1800000000 },
      { id: 'h2', localId: 'L2', name: 'L2', os: '', online: false, lastSeen: 0 },
      { id: 'h3', localId: '', name: 'h3', os: '', online: false, lastSeen: 0 },
    ]);
    for (const bad of [null, {}, { hosts: 'x' }]) assert.throws(() => parseHosts(bad), { code: 'protocol' });
  });

  it('says how long ago an offline computer was seen', () => {
    const now = 1_800_000_000;
    const table = [[0, ''], [now - 5, 'just now'], [now + 30, 'just now'], [now - 125, '2 min ago'], [now - 3 * 3600 - 5, '3 h ago'], [now - 86400 - 10, 'yesterday'], [now - 9 * 86400, '9 days ago']];
    for (const [seen, text] of table) assert.equal(lastSeenText(seen, now), text, String(seen));
  });

  it('lists online computers first, then by name, and marks those this browser has no key for', () => {
    const now = 1_800_000_000;
    const hosts = [
      { id: 'h1', name: 'Studio', online: false, lastSeen: now - 7200 },
      { id: 'h2', name: 'Attic', online: false, lastSeen: 0 },
      { id: 'h3', name: 'Desk', online: true, lastSeen: now },
      { id: 'h4', name: 'Basement', online: true, lastSeen: now },
    ];
    const rows = hostRows(hosts, (h) => h.id !== 'h4', now);
    assert.deepEqual(
      rows.map((r) => [r.id, r.paired, r.detail]),
      [
        ['h4', false, 'Online · pair once to connect'],
        ['h3', true, 'Online'],
        ['h2', true, 'Offline'],
        ['h1', true, 'Offline · last seen 2 h ago'],
      ],
    );
  });

  it('the note above the list', () => {
    const rows = [{ id: 'h1', name: 'Desk', paired: true }];
    const table = [
      [rows, null, ''],
      [[], null, "No computers in this account yet. Paste a computer's pairing link below to add it."],
      [rows, { name: 'Desk', listed: true }, 'Paired with Desk. Tap it to connect.'],
      [rows, { name: 'Desk', listed: true, added: true }, 'Added Desk to your account. Tap it to connect once it is online.'],
      [rows, { name: 'Desk', listed: true, added: true, online: true }, 'Added Desk to your account. Tap it to connect.'],
      [rows, { name: 'Den', listed: false }, 'The key for Den is kept in this browser, but the computer is not in this account.'],
      [rows, { name: 'Den', listed: false, added: true }, 'The key for Den is kept in this browser, but the computer is not in this account.'],
    ];
    for (const [r, just, note] of table) assert.equal(listNote(r, just), note);
  });
});

describe('pairing keys kept per computer', () => {
  const desk = { id: 'h1', localId: 'L1', name: 'Desk' };

  it('found by the computer’s own id, or by its cloud id from the link; forgotten again', () => {
    const storage = new MemoryStorage();
    const keys = new KeyStore(storage);
    assert.equal(keys.forHost(desk), null);
    assert.equal(keys.put(parsePairing(`#v=1&id=L1&n=Desk&k=${K}`)), true);
    assert.equal(keys.put(parsePairing(`#v=1&id=L9&n=Den&k=${K.replace('A', 'B')}&cid=h2`)), true);
    assert.equal(keys.put(parsePairing(`#v=1&k=${K}`)), false, 'a link without an id names no computer');
    const found = keys.forHost(desk);
    assert.equal(found.id, 'L1');
    assert.equal(pairingKeyText(found.key), K);
    // Listed with another local id (not known to the service yet): the link's cid finds it.
    assert.equal(keys.forHost({ id: 'h2', localId: 'other', name: 'Den' }).id, 'L9');
    assert.equal(keys.forHost({ id: 'h3', localId: 'L3', name: 'Attic' }), null);
    // Kept in the origin's storage, so a new page finds it.
    assert.equal(new KeyStore(storage).forHost(desk).id, 'L1');
    keys.remove(desk);
    assert.equal(keys.forHost(desk), null);
    assert.equal(keys.forHost({ id: 'h2', localId: '', name: 'Den' }).id, 'L9');
  });

  it('a storage that refuses keeps the keys for the page; a damaged one counts as empty', () => {
    for (const storage of [new MemoryStorage(true), null]) {
      const refusing = new KeyStore(storage);
      refusing.put(parsePairing(`#v=1&id=L1&k=${K}`));
      assert.equal(refusing.forHost(desk).id, 'L1');
    }
    const damaged = new MemoryStorage();
    damaged.setItem(KEYS_STORAGE, '{not json');
    assert.equal(new KeyStore(damaged).forHost(desk), null);
    damaged.setItem(KEYS_STORAGE, JSON.stringify({ L1: { k: 'short' } }));
    assert.equal(new KeyStore(damaged).forHost(desk), null);
  });

  it('a pasted browser link gives its fragment, with the cloud id', () => {
    const got = parsePairing(`http://192.168.1.5:7300/#v=1&id=L1&n=My%20Desk&k=${K}&p=7300&a=192.168.1.5&os=linux&cid=h7`);
    assert.deepEqual([got.id, got.name, got.cloudId, got.claimCode, got.port], ['L1', 'My Desk', 'h7', '', 7300]);
    const waiting = parsePairing(`nimbrel://pair?v=1&id=L2&n=Den&k=${K}&p=7300&a=&os=linux&c=ABCD-EFGH`);
    assert.deepEqual([waiting.id, waiting.cloudId, waiting.claimCode], ['L2', '', 'ABCD-EFGH']);
    assert.equal(parsePairing('https://cloud.example.org/#v=1&id=L1'), null);
  });
});

describe('a link that would add a computer or replace a key', () => {
  const K2 = K.replace('A', 'B');
  const kept = {
    L1: { name: 'Desk', cid: 'h1', k: K },
    L2: { name: 'Den', cid: '', k: K2 },
    L3: { name: 'Damaged', cid: 'h3', k: 'short' },
    L4: { name: 'Hex', cid: '', k: hexEncode(parsePairingKey(K2)) },
  };
  const link = (items) => parsePairing(`#v=1&${items}`);

  it('asks before a claim or a different key for a computer kept here, and only then', () => {
    const desk = [{ id: 'L1', name: 'Desk' }];
    const table = [
      // [link, claims, replaces]
      [`id=L9&n=New&k=${K}`, false, []],
      [`id=L9&n=New&k=${K}&c=ABCD-EFGH`, true, []],
      [`id=L1&n=Desk&k=${K}`, false, []],
      [`id=L1&n=Desk&k=${K}&c=ABCD-EFGH`, true, []],
      [`id=L1&n=Desk&k=${K2}`, false, desk],
      // A stranger's computer under the id of one paired here, with its claim code.
      [`id=L1&n=Desk&k=${K2}&c=ABCD-EFGH`, true, desk],
      // Another id with the cloud id of a computer kept here.
      [`id=L9&n=Desk&k=${K2}&cid=h1`, false, desk],
      [`id=L9&n=Desk&k=${K}&cid=h1`, false, []],
      // No cloud id matches the kept keys that have none.
      [`id=L9&n=Other&k=${K}&cid=`, false, []],
      // A kept key that no longer reads as one is not worth asking about.
      [`id=L3&n=Damaged&k=${K}`, false, []],
      // The same key written another way is the same key.
      [`id=L4&n=Hex&k=${K2}`, false, []],
      [`id=L2&n=Den&k=${hexEncode(parsePairingKey(K2))}`, false, []],
    ];
    for (const [items, claim, replaces] of table) {
      assert.deepEqual(linkDecision(kept, link(items)), { claim, replaces, ask: claim || replaces.length > 0 }, items);
    }
    for (const damaged of [null, [], 'text', { L1: null, L2: 'x' }]) assert.deepEqual(linkDecision(damaged, link(`id=L1&k=${K2}`)), { claim: false, replaces: [], ask: false });
  });

  it('says what it would add or replace, in the link’s own name', () => {
    const table = [
      [`id=L9&n=Attic&k=${K}&c=ABCD-EFGH`, 'Add “Attic” to your account?', 'Add', ''],
      [`id=L9&k=${K}&c=ABCD-EFGH`, 'Add this computer to your account?', 'Add', ''],
      [`id=L1&n=Attic&k=${K2}&c=ABCD-EFGH`, 'Add “Attic” to your account?', 'Add', "This browser already has a different key for “Desk”: adding replaces it with the link's key."],
      [`id=L1&n=Desk&k=${K2}`, 'Replace the key for “Desk”?', 'Replace key', "This browser already has a different key for “Desk”: the link's key would replace it."],
    ];
    for (const [items, title, accept, warning] of table) {
      const pairing = link(items);
      const question = linkQuestion(pairing, linkDecision(kept, pairing));
      assert.deepEqual([question.title, question.accept, question.warning], [title, accept, warning], items);
      assert.match(question.text, /^Only (add|replace)/);
    }
  });

  it('a replacing key takes the place of the kept ones it was asked about', () => {
    const keys = new KeyStore(new MemoryStorage());
    keys.put(link(`id=L1&n=Desk&k=${K}&cid=h1`));
    const newer = link(`id=L9&n=Desk&k=${K2}&cid=h1`);
    const decision = linkDecision(keys.read(), newer);
    keys.put(newer, decision.replaces.map((r) => r.id));
    assert.deepEqual(Object.keys(keys.read()), ['L9']);
    assert.equal(pairingKeyText(keys.forHost({ id: 'h1', localId: 'L1', name: 'Desk' }).key), K2);
  });
});

describe('the relay', () => {
  it('opens only ws and wss ticket URLs, and wss from an https page on the same host', () => {
    const http = { protocol: 'http:', host: '127.0.0.1:8443' };
    const https = { protocol: 'https:', host: 'cloud.example.org' };
    const table = [
      ['ws://127.0.0.1:8443/v2/client/h1?ticket=abc', http, 'ws://127.0.0.1:8443/v2/client/h1?ticket=abc'],
      ['wss://relay.example.org/v2/client/h1?ticket=abc', https, 'wss://relay.example.org/v2/client/h1?ticket=abc'],
      ['ws://cloud.example.org/v2/client/h1?ticket=abc', https, 'wss://cloud.example.org/v2/client/h1?ticket=abc'],
      ['ws://relay.example.org/v2/client/h1?ticket=abc', https, 'ws://relay.example.org/v2/client/h1?ticket=abc'],
      ['http://127.0.0.1:8443/v2/client/h1', http, null],
      ['javascript:alert(1)', http, null],
      ['not a url', http, null],
    ];
    for (const [url, page, expected] of table) assert.equal(relaySocketUrl(url, page), expected, url);
  });

  it('its close codes come from the relay’s one table, and say whether to try again', () => {
    const table = JSON.parse(readFileSync(new URL('../../src/net/relay_close_codes.json', import.meta.url), 'utf8'));
    // Only revoked access needs the person; a name new to the table must be placed here.
    const retry = { expired: true, offline: true, noanswer: true, replaced: true, revoked: false, busy: true };
    assert.deepEqual(table.codes.map((c) => c.name).sort(), Object.keys(retry).sort());
    for (const { code, name, text } of table.codes) {
      assert.deepEqual(relayCloseError(code), { code: name, message: text }, String(code));
      assert.equal(shouldRetry(relayCloseError(code)), retry[name], String(code));
    }
    // The codes the service closes with for the states the status line names.
    for (const [code, name] of [[4404, 'offline'], [4504, 'noanswer'], [4410, 'revoked'], [4429, 'busy']]) assert.equal(relayCloseError(code).code, name, String(code));
    // Not the relay's: the host's or the network's, a code the service no longer sends, not a number.
    for (const other of [1000, 1001, 1006, 4000, 4408, '4404', undefined]) assert.equal(relayCloseError(other), null, String(other));
    for (const [code, again] of [['token', false], ['gone', false], ['unavailable', true], ['rate', true]]) assert.equal(shouldRetry({ code }), again, code);
  });

  it('waits at least as long as the service asked', () => {
    assert.equal(retryDelay(0, 0.5, 7), 7);
    assert.equal(retryDelay(5, 0.5, 2), 10);
    assert.equal(retryDelay(1, 0.5), 1);
  });
});

describe('status line through the relay', () => {
  it('names the relay’s reasons and always offers the list of computers', () => {
    const table = [
      [{ phase: 'connecting', attempt: 0, name: 'Desk', cloud: true }, 'Connecting to Desk…', ['hosts']],
      [{ phase: 'waiting', retryIn: 1.5, error: { code: 'offline' }, name: 'Desk', cloud: true }, 'Desk is offline: it is not connected to the relay. Trying again in 2 s…', ['retry', 'hosts']],
      [{ phase: 'waiting', retryIn: 4, error: { code: 'noanswer' }, name: 'Desk', cloud: true }, 'Desk did not answer through the relay. Trying again in 4 s…', ['retry', 'hosts']],
      [{ phase: 'waiting', retryIn: 4, error: { code: 'unreachable' }, name: 'Desk', cloud: true }, "Can't reach the relay of Nimbrel Cloud. Trying again in 4 s…", ['retry', 'hosts']],
      [{ phase: 'waiting', retryIn: 9, error: { code: 'rate' }, cloud: true }, 'Nimbrel Cloud asks to wait a little. Trying again in 9 s…', ['retry', 'hosts']],
      [{ phase: 'waiting', retryIn: 2, error: { code: 'busy' }, name: 'Desk', cloud: true }, 'Too many remote sessions are open on Desk. Trying again in 2 s…', ['retry', 'hosts']],
      [{ phase: 'failed', error: { code: 'auth' }, name: 'Desk', cloud: true }, 'Wrong pairing key: Desk did not accept it. Pair this browser with it again.', ['repair', 'hosts']],
      [{ phase: 'failed', error: { code: 'revoked' }, name: 'Desk', cloud: true }, 'Access to Desk was revoked: it left the account or was removed.', ['hosts']],
      [{ phase: 'failed', error: { code: 'gone' }, name: 'Desk', cloud: true }, 'Desk is no longer in your account.', ['hosts']],
      [{ phase: 'failed', error: { code: 'protocol', message: 'Odd.' }, cloud: true }, 'Odd.', ['retry', 'hosts']],
      // Direct sessions are unchanged.
      [{ phase: 'waiting', retryIn: 4, error: { code: 'unreachable' }, name: 'Desk' }, "Can't reach Desk. Trying again in 4 s…", ['retry']],
    ];
    for (const [state, text, actions] of table) {
      const s = statusFor(state);
      assert.equal(s.text, text);
      assert.deepEqual(s.actions, actions, text);
    }
  });
});
