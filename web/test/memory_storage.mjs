// localStorage or sessionStorage as the page sees them, for the tests of what the page keeps.
// `refuse` makes every write throw (private browsing, quota, storage turned off).
export class MemoryStorage {
  constructor(refuse = false) {
    this.items = new Map();
    this.refuse = refuse;
  }
  getItem(name) {
    return this.items.has(name) ? this.items.get(name) : null;
  }
  setItem(name, value) {
    if (this.refuse) throw new Error('QuotaExceededError');
    this.items.set(name, String(value));
  }
  removeItem(name) {
    this.items.delete(name);
  }
}
