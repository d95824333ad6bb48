// Where the page keeps a pairing key. A secure page (https, or localhost) keeps it in the
// origin's lasting storage, as it always has. A plain-http page from a LAN address keeps it for
// the tab only unless the person asks to remember the computer: over http, anyone who can run
// script on that address, or change the page on its way, could read a remembered key.

// The choice as a pure function: `secure` is window.isSecureContext, `remember` whether the
// person asked to remember. Returns { place, offer }: place "local" (localStorage) or "session"
// (sessionStorage, this tab only); offer, whether the page shows the "Remember this computer on
// this device" box at all.
export function keyPlace({ secure, remember }) {
  if (secure) return { place: 'local', offer: false };
  return { place: remember ? 'local' : 'session', offer: true };
}

// The one line the box carries under it.
export const REMEMBER_RISK = 'On a plain http address, a tampered page or any script on this address could read a remembered key.';

// Set in the lasting storage while the person wants keys remembered on a plain-http page.
export const REMEMBER_MARK = 'nimbrel.remember';

// The page's security and its storages, each null where the browser refuses it (reading them
// can throw).
export function pageStorages(scope = globalThis) {
  const get = (name) => {
    try {
      return scope[name] ?? null;
    } catch {
      return null;
    }
  };
  return { secure: scope.isSecureContext === true, local: get('localStorage'), session: get('sessionStorage') };
}

const read = (storage, name) => {
  try {
    return storage?.getItem(name) ?? null;
  } catch {
    return null;
  }
};

const drop = (storage, name) => {
  try {
    storage?.removeItem(name);
  } catch {
    // nothing kept there
  }
};

const write = (storage, name, value) => {
  try {
    storage.setItem(name, value);
    return true;
  } catch {
    return false;
  }
};

// A storage (getItem, setItem, removeItem) that puts the items named in `names` where keyPlace
// says, and keeps them in memory, for this page only, where that place refuses them. It never
// falls back to the lasting storage by itself.
export class KeyStorage {
  constructor({ secure, local, session, names }) {
    this.secure = secure === true;
    this.local = local;
    this.session = session;
    this.names = names;
    this.memory = new Map();
    // A key in the lasting storage with no choice made was remembered by an earlier version of
    // the page: it stays remembered (the box shows it ticked), so that nobody loses a pairing
    // to an update. Keys paired from now on are kept for the tab unless the box is ticked.
    if (!this.secure && read(local, REMEMBER_MARK) === null &&
        names.some((name) => read(local, name) !== null)) {
      write(local, REMEMBER_MARK, '1');
    }
  }

  // Read afresh each time: another tab of the page may have changed it.
  get remember() {
    return this.secure || read(this.local, REMEMBER_MARK) === '1';
  }

  get offer() {
    return keyPlace(this).offer;
  }

  place() {
    return keyPlace(this).place === 'local' ? this.local : this.session;
  }

  getItem(name) {
    const place = this.place();
    return read(place, name) ?? this.memory.get(name) ?? read(place === this.local ? this.session : this.local, name);
  }

  // True when kept in the chosen place, false when kept in memory.
  setItem(name, value) {
    const place = this.place();
    // A key not to be remembered leaves the lasting storage whatever the tab's storage does.
    drop(place === this.local ? this.session : this.local, name);
    if (place && write(place, name, String(value))) {
      this.memory.delete(name);
      return true;
    }
    this.memory.set(name, String(value));
    return false;
  }

  removeItem(name) {
    drop(this.local, name);
    drop(this.session, name);
    this.memory.delete(name);
  }

  // Moves what is kept to the place the new choice gives. False where that place refused it: a
  // key to be remembered then stays with the tab, one to be kept for the tab stays in memory.
  setRemember(remember) {
    if (this.secure || remember === this.remember) return true;
    const values = this.names.map((name) => [name, this.getItem(name)]).filter(([, value]) => value !== null);
    if (!remember) drop(this.local, REMEMBER_MARK);
    else if (!this.local || !write(this.local, REMEMBER_MARK, '1')) return false;
    let kept = true;
    for (const [name, value] of values) kept = this.setItem(name, value) && kept;
    if (!kept && remember) {
      drop(this.local, REMEMBER_MARK);
      for (const [name, value] of values) this.setItem(name, value);
    }
    return kept;
  }
}
