// Where the page keeps pairing keys: the origin's lasting storage on a secure page, the tab's on
// a plain-http one unless the person ticks "remember", memory where a storage refuses.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { KeyStorage, REMEMBER_MARK, keyPlace, pageStorages } from '../src/protocol/key_storage.js';
import { KEYS_STORAGE, KeyStore } from '../src/protocol/keys.js';
import { parsePairing } from '../src/protocol/link.js';
import { MemoryStorage } from './memory_storage.mjs';

const NAME = 'nimbrel.pairing';
const K = 'AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8';

// A page's storages: `local` outlives the tab, `session` is the tab's.
function page({ secure, local = new MemoryStorage(), session = new MemoryStorage() }) {
  return { storage: new KeyStorage({ secure, local, session, names: [NAME] }), local, session };
}

const where = ({ local, session }) => [local?.getItem(NAME) ?? null, session?.getItem(NAME) ?? null];

describe('where the key is kept', () => {
  it('remembered on a secure page; on a plain-http one only when asked, and the box only there', () => {
    const table = [
      [{ secure: true, remember: false }, { place: 'local', offer: false }],
      [{ secure: true, remember: true }, { place: 'local', offer: false }],
      [{ secure: false, remember: false }, { place: 'session', offer: true }],
      [{ secure: false, remember: true }, { place: 'local', offer: true }],
    ];
    for (const [choice, expected] of table) assert.deepEqual(keyPlace(choice), expected, JSON.stringify(choice));
  });

  it('takes the page’s security as it is, and a storage that throws when read as none', () => {
    const local = new MemoryStorage();
    const scope = {
      isSecureContext: false,
      localStorage: local,
      get sessionStorage() {
        throw new Error('SecurityError');
      },
    };
    assert.deepEqual(pageStorages(scope), { secure: false, local, session: null });
    assert.equal(pageStorages({ localStorage: local }).secure, false, 'no isSecureContext is not secure');
    assert.equal(pageStorages({ isSecureContext: true }).secure, true);
  });

  it('puts the key where the choice says, and moves it when the box changes', () => {
    // [secure, ticks (in order), where the key is after each: [local, session]]
    const table = [
      [true, [], [['k', null]]],
      [true, [false], [['k', null], ['k', null]]],
      [false, [], [[null, 'k']]],
      [false, [true, false, true], [[null, 'k'], ['k', null], [null, 'k'], ['k', null]]],
    ];
    for (const [secure, ticks, after] of table) {
      const p = page({ secure });
      p.storage.setItem(NAME, 'k');
      const seen = [where(p)];
      for (const tick of ticks) {
        assert.equal(p.storage.setRemember(tick), true);
        seen.push(where(p));
        assert.equal(p.storage.getItem(NAME), 'k');
      }
      assert.deepEqual(seen, after, `${secure} ${ticks}`);
      assert.equal(p.local.getItem(REMEMBER_MARK) === '1', !secure && ticks.at(-1) === true, 'the mark follows the box');
    }
  });

  it('a key remembered when asked is there for a new tab; one kept for a tab is not', () => {
    const local = new MemoryStorage();
    const first = page({ secure: false, local });
    first.storage.setItem(NAME, 'k');
    assert.equal(page({ secure: false, local }).storage.getItem(NAME), null);
    first.storage.setRemember(true);
    const second = page({ secure: false, local });
    assert.equal(second.storage.remember, true);
    assert.equal(second.storage.getItem(NAME), 'k');
  });

  it('a key left in the lasting storage by an earlier version stays remembered until unticked', () => {
    const local = new MemoryStorage();
    local.setItem(NAME, 'old');
    const p = page({ secure: false, local });
    assert.equal(p.storage.remember, true);
    assert.deepEqual(where(p), ['old', null]);
    assert.equal(p.storage.getItem(NAME), 'old');
    p.storage.setRemember(false);
    assert.deepEqual(where(p), [null, 'old']);
    assert.equal(page({ secure: false, local }).storage.remember, false);
    // A secure page keeps it where it is.
    const kept = new MemoryStorage();
    kept.setItem(NAME, 'old');
    assert.deepEqual(where(page({ secure: true, local: kept })), ['old', null]);
  });

  it('another tab that ticks the box is not undone by a tab opened before', () => {
    const local = new MemoryStorage();
    const older = page({ secure: false, local });
    const newer = page({ secure: false, local });
    newer.storage.setItem(NAME, 'k');
    newer.storage.setRemember(true);
    older.storage.setItem(NAME, 'k');
    assert.equal(local.getItem(NAME), 'k');
  });

  it('a refusing storage leaves the key in memory for the page, never in the lasting storage', () => {
    // The tab's storage refuses: the key stays with the page, and none reaches the disk.
    const noTab = page({ secure: false, session: new MemoryStorage(true) });
    assert.equal(noTab.storage.setItem(NAME, 'k'), false);
    assert.equal(noTab.storage.getItem(NAME), 'k');
    assert.deepEqual(where(noTab), [null, null]);
    const noSession = page({ secure: false, session: null });
    noSession.storage.setItem(NAME, 'k');
    assert.deepEqual([noSession.storage.getItem(NAME), noSession.local.getItem(NAME)], ['k', null]);
    // Unticked with such a tab: the key leaves the disk and stays with the page.
    const local = new MemoryStorage();
    local.setItem(REMEMBER_MARK, '1');
    local.setItem(NAME, 'k');
    const leaving = page({ secure: false, local, session: new MemoryStorage(true) });
    assert.equal(leaving.storage.setRemember(false), false);
    assert.deepEqual([local.getItem(NAME), local.getItem(REMEMBER_MARK), leaving.storage.getItem(NAME)], [null, null, 'k']);
    // The lasting storage refuses: ticking fails and the key stays with the tab.
    const full = page({ secure: false, local: new MemoryStorage(true) });
    full.storage.setItem(NAME, 'k');
    assert.equal(full.storage.setRemember(true), false);
    assert.equal(full.storage.remember, false);
    assert.deepEqual(where(full), [null, 'k']);
    // A secure page whose storage refuses keeps the key for the page.
    const secure = page({ secure: true, local: new MemoryStorage(true) });
    assert.equal(secure.storage.setItem(NAME, 'k'), false);
    assert.equal(secure.storage.getItem(NAME), 'k');
  });

  it('forgetting the key clears it everywhere', () => {
    const p = page({ secure: false });
    p.storage.setItem(NAME, 'k');
    p.storage.setRemember(true);
    p.storage.removeItem(NAME);
    assert.deepEqual([...where(p), p.storage.getItem(NAME)], [null, null, null]);
  });

  it("the cloud page's keys follow the box too", () => {
    const local = new MemoryStorage();
    const session = new MemoryStorage();
    const keys = new KeyStore(new KeyStorage({ secure: false, local, session, names: [KEYS_STORAGE] }));
    assert.deepEqual([keys.offersRemember, keys.remembers], [true, false]);
    keys.put(parsePairing(`#v=1&id=L1&n=Desk&k=${K}`));
    assert.deepEqual([local.getItem(KEYS_STORAGE), typeof session.getItem(KEYS_STORAGE)], [null, 'string']);
    assert.equal(keys.setRemember(true), true);
    assert.equal(keys.remembers, true);
    assert.deepEqual([typeof local.getItem(KEYS_STORAGE), session.getItem(KEYS_STORAGE)], ['string', null]);
    assert.equal(keys.forHost({ id: 'h1', localId: 'L1', name: 'Desk' }).id, 'L1');
    const secure = new KeyStore(new KeyStorage({ secure: true, local: new MemoryStorage(), session, names: [KEYS_STORAGE] }));
    assert.deepEqual([secure.offersRemember, secure.remembers], [false, true]);
  });
});
