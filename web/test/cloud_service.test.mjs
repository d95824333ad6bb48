// The browser client's cloud modules against the real nimbrel-cloud binary on loopback (and a
// real host for the other answer to "which app is this"): the owner API through CloudClient,
// and the relay's close codes as the session sees them.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';

import { CloudClient, probeMode, relayCloseError, relaySocketUrl } from '../src/protocol/cloud.js';
import { nobleBackend, randomBytes } from '../src/protocol/crypto.js';
import { SessionError, connect } from '../src/protocol/session.js';
import { cloudBinary, startCloud } from './cloud_process.mjs';
import { startHost } from './host_process.mjs';

const hostBinary = process.env.NIMBREL_HOST_BINARY;

// Enrols a made-up computer as a host does; the service's answer (its claim code).
async function enrol(localId, name) {
  const answer = await fetch(`${cloud.url}/v1/enroll`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ local_id: localId, name, os: 'linux', version: '1.0.0' }),
  });
  assert.equal(answer.status, 200);
  return answer.json();
}

let cloud;

describe('against nimbrel-cloud', { skip: !(cloudBinary && hostBinary) && 'NIMBREL_CLOUD_BINARY or NIMBREL_HOST_BINARY is not set (ctest sets them)' }, () => {
  let host;
  let token;
  let other;
  let hostId;
  before(async () => {
    [cloud, host] = await Promise.all([startCloud(), startHost()]);
    token = cloud.addAccount('ann');
    other = cloud.addAccount('bob');
    // A computer of ann's that enrolled and was claimed, but has no relay connection.
    hostId = cloud.claim((await enrol('L-desk', 'Desk')).code, 'ann');
  });
  after(() => {
    cloud?.stop();
    host?.stop();
  });

  it('tells the service, a host and nothing at all apart', async () => {
    assert.equal(await probeMode(fetch, cloud.url), 'cloud');
    assert.equal(await probeMode(fetch, `http://127.0.0.1:${host.port}`), 'direct');
    assert.equal(await probeMode(fetch, 'http://127.0.0.1:1'), 'unknown');
  });

  it("lists the account's computers, and only to its token", async () => {
    const hosts = await new CloudClient({ token, base: cloud.url }).hosts();
    assert.deepEqual(
      hosts.map((h) => [h.id, h.localId, h.name, h.os, h.online]),
      [[hostId, 'L-desk', 'Desk', 'linux', false]],
    );
    assert.deepEqual(await new CloudClient({ token: other, base: cloud.url }).hosts(), []);
    for (const wrong of ['not-a-token', token.slice(0, -2)]) {
      await assert.rejects(new CloudClient({ token: wrong, base: cloud.url }).hosts(), { code: 'token' });
    }
    await assert.rejects(new CloudClient({ token, base: 'http://127.0.0.1:1' }).hosts(), { code: 'unavailable' });
  });

  it("tickets only for the account's own computers; the relay closes for an offline one and a used ticket", async () => {
    const client = new CloudClient({ token, base: cloud.url });
    await assert.rejects(new CloudClient({ token: other, base: cloud.url }).ticket(hostId), { code: 'gone' });
    await assert.rejects(client.ticket('hNOSUCHHOST'), { code: 'gone' });

    const ticket = await client.ticket(hostId);
    assert.equal(ticket.online, false);
    assert.match(ticket.url, new RegExp(`^ws://127\\.0\\.0\\.1:${cloud.port}/v2/client/${hostId}\\?ticket=`));
    const url = relaySocketUrl(ticket.url, { protocol: 'http:', host: `127.0.0.1:${cloud.port}` });
    const attempt = () =>
      connect({ url, key: new Uint8Array(32), name: 'node', caps: [], backend: nobleBackend(), random: randomBytes, timeoutMs: 10000 });
    // The relay takes the socket, then closes it with its reason: the host is not there.
    const offline = await attempt().catch((e) => e);
    assert.ok(offline instanceof SessionError, String(offline));
    assert.equal(offline.closeCode, 4404);
    assert.equal(relayCloseError(offline.closeCode).code, 'offline');
    // A ticket opens one socket only.
    const used = await attempt().catch((e) => e);
    assert.equal(used.closeCode, 4401);
    assert.equal(relayCloseError(used.closeCode).code, 'expired');
  });

  it("claims a waiting computer's code into the account, and says why a code cannot be claimed", async () => {
    const client = new CloudClient({ token, base: cloud.url });
    const { code } = await enrol('L-den', 'Den');
    const claimed = await client.claim(code.toLowerCase());
    assert.deepEqual([claimed.name, claimed.localId], ['Den', 'L-den']);
    assert.ok((await client.hosts()).some((h) => h.id === claimed.id && h.localId === 'L-den'));
    const table = [
      [code, 'already_claimed'],
      ['AAAA-AAAA', 'unknown_code'],
      ['nonsense', 'bad_code'],
    ];
    for (const [attempt, serviceCode] of table) {
      await assert.rejects(client.claim(attempt), (e) => e.code === 'claim' && e.serviceCode === serviceCode && e.message.length > 20, attempt);
    }
    await assert.rejects(new CloudClient({ token: 'wrong', base: cloud.url }).claim(code), { code: 'token' });
  });

  it('too many tickets at once are refused with the pause the service asks for', async () => {
    const client = new CloudClient({ token: other, base: cloud.url });
    let refusal = null;
    for (let i = 0; i < 100 && !refusal; i++) refusal = await client.ticket(hostId).then(() => null, (e) => (e.code === 'rate' ? e : null));
    assert.ok(refusal, 'no 429 after 100 tickets');
    assert.ok(refusal.retryAfter >= 1, String(refusal.retryAfter));
  });
});
