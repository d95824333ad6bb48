// The pairing keys this browser holds for the computers of a cloud account, kept in the page
// origin's storage by the computer's own identity (the pairing link's "id", which the service
// lists as the computer's "local_id"; a computer that enrols again keeps it). The service never
// sees them: each is used only for the handshake on a relayed socket.

import { pairingKeyText, parsePairingKey } from './bytes.js';

export const KEYS_STORAGE = 'nimbrel.keys';

export class KeyStore {
  // `storage`: localStorage, or anything with getItem/setItem. When it refuses (private
  // browsing, quota), keys are kept for this page only.
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
  put(pairing) {
    if (!pairing?.id || !pairing.key) return false;
    const all = this.read();
    all[pairing.id] = { name: pairing.name ?? '', cid: pairing.cloudId ?? '', k: pairingKeyText(pairing.key) };
    this.write(all);
    return true;
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
