// The app as served by Nimbrel Cloud: sign in with the account token, the account's computers,
// pairing this browser once with a computer, and handing a chosen computer to the app, which
// connects through a ticket and the relay.
//
// Sign-in: the service's only account credential is the token that `nimbrel-cloud account add`
// prints; the page keeps it in this origin's storage and sends it only as a bearer header to
// the owner API (never in a URL or a cookie, so no other site can make the browser use it).
//
// Links: anyone can send a link to this page. One that would add a computer to the account (it
// carries a claim code) or put another key in the place of one kept here is kept only once the
// person agreed; until then nothing of it is stored or claimed.

import { CloudClient } from '../protocol/cloud.js';
import { KEYS_STORAGE, KeyStore, linkDecision } from '../protocol/keys.js';
import { KeyStorage, pageStorages } from '../protocol/key_storage.js';
import { parsePairing } from '../protocol/link.js';
import { hostRows, listNote } from './hosts.js';
import { linkQuestion } from './link_question.js';

export const TOKEN_STORAGE = 'nimbrel.cloud.token';
const $ = (id) => document.getElementById(id);

function stored(name) {
  try {
    return localStorage.getItem(name);
  } catch {
    return null;
  }
}

export class CloudScreen {
  // `app`: connectRelay(host, pairing), showScreen(visible).
  constructor(app) {
    this.app = app;
    // On a plain-http page, kept for the tab unless the person ticks "remember".
    this.keys = new KeyStore(new KeyStorage({ ...pageStorages(), names: [KEYS_STORAGE] }));
    this.client = null;
    this.memoryToken = null; // the token, where the storage refuses it
    this.hosts = [];
    this.justPaired = null;
    this.pairingFor = null;
    this.asking = null; // { pairing, decision, host }: a link waiting for the person's answer
    this.bind();
  }

  // `fromLink`: pairing values the page was opened with, if any.
  start(fromLink) {
    const taken = fromLink ? this.takeOrAsk(fromLink) : false;
    if (taken) this.justPaired = fromLink;
    const token = stored(TOKEN_STORAGE) ?? this.memoryToken;
    if (token) {
      this.client = new CloudClient({ token });
      this.showHosts();
    } else if (fromLink) {
      const name = fromLink.name || 'your computer';
      // What the link asks is asked once signed in, in front of the account's list.
      this.showSignIn(taken ? `The key for ${name} is kept in this browser. Sign in to see your computers.` : `Sign in to go on with the link for ${name}.`);
    } else {
      this.showSignIn();
    }
  }

  show(panel) {
    this.app.showScreen(true);
    for (const id of ['signin', 'hosts', 'pair-once', 'link-question']) $(id).hidden = id !== panel;
  }

  // ---- sign-in ----

  showSignIn(note = '', error = '') {
    this.show('signin');
    $('signin-note').textContent = note;
    $('signin-note').hidden = !note;
    $('signin-error').textContent = error;
    $('signin-error').hidden = !error;
  }

  async signIn(token) {
    token = token.trim();
    if (!token) {
      this.showSignIn('', 'Paste your account token first.');
      return;
    }
    const client = new CloudClient({ token });
    $('signin-submit').disabled = true;
    try {
      this.hosts = await client.hosts();
    } catch (error) {
      const text = error.code === 'token' ? 'That account token was not accepted. Check that you pasted all of it.' : error.message;
      this.showSignIn('', text);
      return;
    } finally {
      $('signin-submit').disabled = false;
    }
    try {
      localStorage.setItem(TOKEN_STORAGE, token);
    } catch {
      this.memoryToken = token;
    }
    $('signin-token').value = '';
    this.client = client;
    if (this.pendingClaim) await this.showHosts();
    else this.render();
  }

  // The token stopped working (or the person signs out): forget it.
  signOut(error = '') {
    try {
      localStorage.removeItem(TOKEN_STORAGE);
    } catch {
      // nothing stored
    }
    this.memoryToken = null;
    this.client = null;
    this.hosts = [];
    this.showSignIn('', error);
  }

  // ---- the list ----

  async showHosts() {
    this.show('hosts');
    if (!this.client) {
      this.signOut();
      return;
    }
    if (!this.hosts.length) this.note('Loading your computers…');
    try {
      const claim = this.pendingClaim;
      this.pendingClaim = null;
      if (claim) await this.claim(claim);
      this.hosts = await this.client.hosts();
    } catch (error) {
      if (error.code === 'token') {
        this.signOut('Nimbrel Cloud no longer accepts the saved account token. Paste a current one.');
        return;
      }
      this.note(error.message, true);
      return;
    }
    this.render();
  }

  note(text, error = false) {
    const note = $('hosts-note');
    note.textContent = text;
    note.className = error ? 'error' : '';
    note.hidden = !text;
  }

  render() {
    this.show('hosts');
    const rows = hostRows(this.hosts, (h) => Boolean(this.keys.forHost(h)), Date.now() / 1000);
    const just = this.justPaired;
    const listed = just && this.hosts.find((h) => (h.localId && h.localId === just.id) || (just.cloudId && h.id === just.cloudId));
    const note = listNote(rows, just && { name: just.name, listed: Boolean(listed), added: Boolean(this.justAdded), online: Boolean(listed?.online) });
    this.note(note);
    $('hosts-list').replaceChildren(
      ...rows.map((row) => {
        const item = document.createElement('li');
        const button = document.createElement('button');
        button.type = 'button';
        button.className = 'host';
        button.dataset.id = row.id;
        const dot = document.createElement('span');
        dot.className = row.online ? 'dot online' : 'dot';
        const name = document.createElement('span');
        name.className = 'name';
        name.textContent = row.name;
        const detail = document.createElement('span');
        detail.className = row.paired ? 'detail' : 'detail unpaired';
        detail.textContent = row.detail;
        button.append(dot, name, detail);
        button.onclick = () => this.choose(row.id);
        item.append(button);
        return item;
      }),
    );
    $('keys-remember-row').hidden = !this.keys.offersRemember;
    $('keys-remember').checked = this.keys.remembers;
    if (this.asking) this.showQuestion();
  }

  // ---- links: taken as they come, or asked about first ----

  // A pairing link opened or pasted: kept at once when it neither claims nor replaces a key
  // (true), else held until the person answers (false).
  takeOrAsk(pairing, host = null) {
    const decision = linkDecision(this.keys.read(), pairing);
    // Pairing a listed computer once claims nothing, whatever the link carries.
    if (host) decision.claim = false;
    decision.ask = decision.claim || decision.replaces.length > 0;
    if (decision.ask) {
      this.asking = { pairing, decision, host };
      return false;
    }
    this.take(pairing, decision);
    return true;
  }

  take(pairing, decision) {
    this.keys.put(pairing, decision.replaces.map((r) => r.id));
    if (decision.claim) this.pendingClaim = pairing;
  }

  showQuestion() {
    const { pairing, decision } = this.asking;
    const question = linkQuestion(pairing, decision);
    this.show('link-question');
    $('link-question-title').textContent = question.title;
    $('link-question-text').textContent = question.text;
    $('link-question-warning').textContent = question.warning;
    $('link-question-warning').hidden = !question.warning;
    $('link-question-accept').textContent = question.accept;
    $('link-question-cancel').focus();
  }

  async answer(accepted) {
    const asked = this.asking;
    this.asking = null;
    if (!asked) return;
    const { pairing, decision, host } = asked;
    if (!accepted) {
      if (host) {
        this.showPairOnce(host);
        return;
      }
      this.justPaired = null;
      this.render();
      this.note('Nothing was added or changed from that link.');
      return;
    }
    this.take(pairing, decision);
    if (host) {
      this.app.connectRelay(host, this.keys.forHost(host));
      return;
    }
    this.justPaired = pairing;
    this.justAdded = false;
    await this.showHosts();
  }

  // Claims the computer of a pairing link that carries a claim code; a refused code is said
  // beside the box for links (the key is kept all the same).
  async claim(pairing) {
    try {
      await this.client.claim(pairing.claimCode);
      this.justAdded = true;
      return true;
    } catch (error) {
      if (error.code === 'token') throw error;
      $('add-error').textContent = error.message;
      $('add-error').hidden = false;
      return false;
    }
  }

  // A pasted pairing or browser link: its key is kept, and its computer claimed when the link
  // carries a claim code, once the person agreed to what that changes.
  async addFromLink(text) {
    $('add-error').hidden = true;
    const pairing = parsePairing(text);
    if (!pairing || !pairing.id) {
      $('add-error').textContent = 'That is not a pairing link: paste the nimbrel://pair?… link or the browser link the computer shows.';
      $('add-error').hidden = false;
      return;
    }
    $('add-link').value = '';
    if (!this.takeOrAsk(pairing)) {
      this.showQuestion();
      return;
    }
    this.justPaired = pairing;
    this.justAdded = false;
    await this.showHosts();
  }

  choose(id) {
    const host = this.hosts.find((h) => h.id === id);
    if (!host) return;
    this.justPaired = null;
    this.justAdded = false;
    $('add-error').hidden = true;
    const pairing = this.keys.forHost(host);
    if (!pairing) {
      this.showPairOnce(host);
      return;
    }
    this.app.connectRelay(host, pairing);
  }

  // ---- pairing once ----

  showPairOnce(host, error = '') {
    this.pairingFor = host;
    this.show('pair-once');
    $('pair-once-title').textContent = `Pair with ${host.name} once`;
    $('pair-once-error').textContent = error;
    $('pair-once-error').hidden = !error;
    $('pair-once-link').value = '';
  }

  pairOnce(text) {
    const host = this.pairingFor;
    const pairing = parsePairing(text);
    if (!pairing || !pairing.id) {
      $('pair-once-error').hidden = false;
      $('pair-once-error').textContent = 'That is not a pairing link: paste the nimbrel://pair?… link or the browser link the computer shows.';
      return;
    }
    const same = (host.localId && pairing.id === host.localId) || (pairing.cloudId && pairing.cloudId === host.id);
    if (!same) {
      $('pair-once-error').hidden = false;
      $('pair-once-error').textContent = `That pairing link is for ${pairing.name || 'another computer'}, not ${host.name}.`;
      return;
    }
    if (!this.takeOrAsk(pairing, host)) {
      this.showQuestion();
      return;
    }
    this.app.connectRelay(host, this.keys.forHost(host));
  }

  // The computer did not accept the key kept here: forget it and ask for the link again.
  repair(host) {
    this.keys.remove(host);
    this.showPairOnce(host, `${host.name} did not accept the key kept in this browser. Paste its current pairing link.`);
  }

  bind() {
    $('signin').addEventListener('submit', (e) => {
      e.preventDefault();
      this.signIn($('signin-token').value);
    });
    $('hosts-refresh').onclick = () => this.showHosts();
    $('add').addEventListener('submit', (e) => {
      e.preventDefault();
      this.addFromLink($('add-link').value);
    });
    $('signout').onclick = () => this.signOut();
    $('pair-once').addEventListener('submit', (e) => {
      e.preventDefault();
      this.pairOnce($('pair-once-link').value);
    });
    $('pair-once-cancel').onclick = () => this.render();
    $('link-question').addEventListener('submit', (e) => {
      e.preventDefault();
      this.answer(true);
    });
    $('link-question-cancel').onclick = () => this.answer(false);
    $('keys-remember').onchange = () => {
      this.keys.setRemember($('keys-remember').checked);
      $('keys-remember').checked = this.keys.remembers;
    };
  }
}
