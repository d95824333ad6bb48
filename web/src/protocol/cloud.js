// The browser client and the cloud service that served it: whether the page came from the
// service or from a host, the account's computers, tickets for the relay, and what the relay's
// close codes mean for a person. The account token travels in the Authorization header of the
// service's own origin; the pairing key never travels to the service at all (the handshake on
// the relayed socket proves it without sending it).

import relayTable from '../../../src/net/relay_close_codes.json' with { type: 'json' };

export const SERVICE_NAME = 'nimbrel-cloud';

export class CloudError extends Error {
  // code: "token" (the account token was refused), "gone" (no such computer in the account),
  // "claim" (a claim code that cannot be claimed), "rate" (too many requests; retryAfter
  // seconds), "unavailable" (the service could not be reached or failed), "protocol" (an
  // answer that makes no sense). `serviceCode`: the service's own error code, if it gave one.
  constructor(code, message, retryAfter, serviceCode) {
    super(message);
    this.code = code;
    if (retryAfter !== undefined) this.retryAfter = retryAfter;
    if (serviceCode) this.serviceCode = serviceCode;
  }
}

// Which app the page is, from its origin's answer to GET /healthz: "cloud" when the service
// says so, "direct" when something else answered definitely (a host answers any plain request
// with 426), "unknown" when nothing useful came back (no answer, or a server error on the way),
// in which case the caller asks again.
export function modeFromHealth(status, body) {
  if (status === 200 && body && typeof body === 'object' && body.service === SERVICE_NAME) return 'cloud';
  if (!Number.isInteger(status) || status >= 500) return 'unknown';
  return 'direct';
}

// Asks the page's own origin what it is.
export async function probeMode(fetchImpl = globalThis.fetch, base = '') {
  let response;
  try {
    response = await fetchImpl(`${base}/healthz`, { cache: 'no-store', credentials: 'omit' });
  } catch {
    return 'unknown';
  }
  let body = null;
  if (response.status === 200) {
    try {
      body = await response.json();
    } catch {
      body = null;
    }
  }
  return modeFromHealth(response.status, body);
}

const text = (value) => (typeof value === 'string' ? value : '');

// The hosts array of GET /v1/hosts, each checked: { id, localId, name, os, online, lastSeen }.
// Entries without an id are dropped.
export function parseHosts(body) {
  if (!body || !Array.isArray(body.hosts)) throw new CloudError('protocol', 'Nimbrel Cloud sent a list of computers this app does not understand.');
  return body.hosts
    .filter((h) => h && typeof h === 'object' && text(h.id))
    .map((h) => ({
      id: h.id,
      localId: text(h.local_id),
      name: text(h.name) || text(h.local_id) || h.id,
      os: text(h.os),
      online: h.online === true,
      lastSeen: Number.isFinite(h.last_seen) ? h.last_seen : 0,
    }));
}

// The service's refusals of a claim code, as a person needs to hear them.
const CLAIM_REFUSALS = new Map([
  ['bad_code', 'That link carries no valid claim code.'],
  ['unknown_code', 'No computer is waiting with the claim code in that link: it may have changed. Copy the link again.'],
  ['expired', 'The claim code in that link has expired. Copy the new link the computer shows.'],
  ['already_claimed', 'The claim code in that link was used already.'],
]);

function retryAfterOf(response) {
  const seconds = Number.parseInt(response.headers?.get?.('retry-after') ?? '', 10);
  return Number.isInteger(seconds) && seconds >= 0 ? seconds : undefined;
}

// The owner API. `base` is the service's URL without a trailing "/" ("" on the page itself).
export class CloudClient {
  constructor({ token, fetch = globalThis.fetch.bind(globalThis), base = '' }) {
    this.token = token;
    this.fetch = fetch;
    this.base = base;
  }

  async request(method, path, body) {
    let response;
    try {
      const headers = { Authorization: `Bearer ${this.token}` };
      if (body) headers['Content-Type'] = 'application/json';
      response = await this.fetch(this.base + path, {
        method,
        headers,
        body: body ? JSON.stringify(body) : undefined,
        cache: 'no-store',
        credentials: 'omit',
      });
    } catch {
      throw new CloudError('unavailable', "Can't reach Nimbrel Cloud. Check this device's connection.");
    }
    let answer = null;
    try {
      answer = await response.json();
    } catch {
      answer = null;
    }
    if (response.ok) return answer;
    const serviceCode = text(answer?.error?.code);
    if (CLAIM_REFUSALS.has(serviceCode)) throw new CloudError('claim', CLAIM_REFUSALS.get(serviceCode), undefined, serviceCode);
    switch (response.status) {
      case 401:
        throw new CloudError('token', 'Nimbrel Cloud did not accept this account token.', undefined, serviceCode);
      case 404:
        throw new CloudError('gone', 'This computer is no longer in your account.', undefined, serviceCode);
      case 429:
        throw new CloudError('rate', 'Nimbrel Cloud asks to wait a little.', retryAfterOf(response) ?? 5, serviceCode);
      default:
        throw new CloudError('unavailable', `Nimbrel Cloud answered with an error (HTTP ${response.status}).`, undefined, serviceCode);
    }
  }

  async hosts() {
    return parseHosts(await this.request('GET', '/v1/hosts'));
  }

  // Adds the computer waiting with a claim code (from its pairing link) to the account:
  // { id, name, localId }.
  async claim(code) {
    const body = await this.request('POST', '/v1/claim', { code });
    if (!body || !text(body.host_id)) throw new CloudError('protocol', 'Nimbrel Cloud sent a claim answer this app does not understand.');
    return { id: body.host_id, name: text(body.name), localId: text(body.local_id) };
  }

  // A single-use ticket for one relayed session: { url, online, expiresIn }.
  async ticket(hostId) {
    const body = await this.request('POST', `/v1/hosts/${encodeURIComponent(hostId)}/ticket`);
    if (!body || !text(body.url)) throw new CloudError('protocol', 'Nimbrel Cloud sent a ticket this app does not understand.');
    return { url: body.url, online: body.online !== false, expiresIn: Number.isFinite(body.expires_in) ? body.expires_in : 60 };
  }
}

// The WebSocket URL to open for a ticket's "url", as seen from the page at `page` ({ protocol,
// host }): null unless it is ws or wss. A page served over https cannot open ws (mixed
// content): when the service sits behind a TLS proxy without knowing its public URL it names
// ws on the page's own host, which is then reached as wss.
export function relaySocketUrl(url, page) {
  let parsed;
  try {
    parsed = new URL(url);
  } catch {
    return null;
  }
  if (parsed.protocol !== 'ws:' && parsed.protocol !== 'wss:') return null;
  if (page?.protocol === 'https:' && parsed.protocol === 'ws:' && parsed.host === page.host) parsed.protocol = 'wss:';
  return parsed.href;
}

// What the relay meant by closing a relayed socket with `code`: { code, message } for its own
// codes, null for anything else (the host's or the network's doing). The codes, their names and
// their texts are the relay's one table, which the service, the host and nimbrel-client read too.
const RELAY_CODES = new Map(relayTable.codes.map((entry) => [entry.code, entry]));

export function relayCloseError(code) {
  const known = RELAY_CODES.get(code);
  return known ? { code: known.name, message: known.text } : null;
}
