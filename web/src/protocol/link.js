// The pairing values a browser link carries in its fragment (never in its query, so the key
// never reaches a request line or a server log): the items of the pairing link, "v", "id", "n",
// "k", "p", "a", "os", "cid", "c".

import { parsePairingKey } from './bytes.js';

// Reads "#v=1&id=…&k=…", or what a person pasted: a whole "nimbrel://pair?…" link or a browser
// link "http://ADDRESS:PORT/#…". Returns { id, name, key, port, addresses, cloudId, claimCode }
// or null when there is no valid key.
export function parsePairing(text) {
  if (typeof text !== 'string') return null;
  let items = text.trim();
  const question = items.indexOf('?');
  const hash = items.indexOf('#');
  if (items.startsWith('nimbrel:') && question >= 0) items = items.slice(question + 1);
  else if (hash >= 0) items = items.slice(hash + 1);
  const params = new URLSearchParams(items);
  const key = parsePairingKey(params.get('k') ?? '');
  if (!key) return null;
  const port = Number.parseInt(params.get('p') ?? '', 10);
  return {
    id: params.get('id') ?? '',
    name: params.get('n') ?? '',
    key,
    port: Number.isInteger(port) && port > 0 && port < 65536 ? port : null,
    addresses: (params.get('a') ?? '').split(',').filter(Boolean),
    cloudId: params.get('cid') ?? '',
    claimCode: params.get('c') ?? '',
  };
}
