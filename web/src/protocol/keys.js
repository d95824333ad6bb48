// The pairing keys this browser holds for the computers of a cloud account, kept in the page
// origin's storage by the computer's own identity (the pairing link's "id", which the service
// lists as the computer's "local_id"; a computer that enrols again keeps it). The service never
// sees them: each is used only for the handshake on a relayed socket.

import { pairingKeyText, parsePairingKey } from './bytes.js';

export const KEYS_STORAGE = 'nimbrel.keys';

export class KeyStore {
  // `storage`: a KeyStorage (key_storage.js), which places the keys by the page's security and
  // the person's choice, or anything with getItem/setItem. When it refuses (private browsing,
  // quota), keys are kept for this page only.
  constructor(storage) {
    this.storage = storage;
    this.memory = null;
  }

  read() {
    if (this.memory) return this.memory;
    try {
      const value = JSON.parse(this.storage.getItem(KEYS_STORAGE) ?? '{}');
      return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
    } catch {
      return {};
    }
  }

  write(all) {
    try {
      this.storage.setItem(KEYS_STORAGE, JSON.stringify(all));
      this.memory = null;
    } catch {
      this.memory = all;
    }
  }

  // Keeps the key of a pairing (from parsePairing); false when it names no computer.
  // `replacing`: the ids of kept keys it takes the place of (linkDecision's "replaces").
  put(pairing, replacing = []) {
    if (!pairing?.id || !pairing.key) return false;
    const all = this.read();
    for (const id of replacing) delete all[id];
    all[pairing.id] = { name: pairing.name ?? '', cid: pairing.cloudId ?? '', k: pairingKeyText(pairing.key) };
    this.write(all);
    return true;
  }

  // Whether the page offers to remember keys (a plain-http page), and whether it does.
  get offersRemember() {
    return Boolean(this.storage?.offer);
  }

  get remembers() {
    return this.storage?.remember !== false;
  }

  // Remembers the keys on this device, or keeps them for the tab only (KeyStorage.setRemember).
  setRemember(remember) {
    const all = this.read();
    const moved = this.storage?.setRemember ? this.storage.setRemember(remember) : true;
    this.write(all);
    return moved;
  }

  // { id, name, key } for a listed computer ({ id, localId, name }), or null.
  forHost(host) {
    const all = this.read();
    let id = host.localId && all[host.localId] ? host.localId : null;
    if (!id) id = Object.keys(all).find((k) => all[k]?.cid && all[k].cid === host.id) ?? null;
    const key = id ? parsePairingKey(all[id].k) : null;
    return key ? { id, name: host.name || all[id].name, key } : null;
  }

  remove(host) {
    const all = this.read();
    for (const id of Object.keys(all)) {
      if (id === host.localId || (all[id]?.cid && all[id].cid === host.id)) delete all[id];
    }
    this.write(all);
  }
}

// What taking a pairing link needs the person to agree to first, given the keys kept here
// (`kept`, as read() gives them):
//   claim: the link's claim code would add its computer to the signed-in account;
//   replaces: [{ id, name }], the kept keys of the same computer (its id, or its cloud id) that
//     the link's different key would take the place of;
//   ask: either of those.
// A link for a computer new here without a claim code, or with the key already kept for it, is
// taken as it comes. A kept key that no longer reads as one is not worth asking about.
export function linkDecision(kept, pairing) {
  const key = pairingKeyText(pairing.key);
  const replaces = [];
  for (const [id, entry] of Object.entries(kept && typeof kept === 'object' ? kept : {})) {
    if (!entry || typeof entry !== 'object') continue;
    const same = id === pairing.id || (Boolean(pairing.cloudId) && entry.cid === pairing.cloudId);
    const old = parsePairingKey(entry.k);
    if (same && old && pairingKeyText(old) !== key) replaces.push({ id, name: typeof entry.name === 'string' ? entry.name : '' });
  }
  const claim = Boolean(pairing.claimCode);
  return { claim, replaces, ask: claim || replaces.length > 0 };
}
