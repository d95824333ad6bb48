// The browser client: pairs from the link's fragment (or storage), keeps one session with the
// host that served the page, draws what it streams and turns touch, mouse and keyboard into
// commands. Served by Nimbrel Cloud instead, it lists the account's computers and keeps the
// session with the chosen one through a ticket and the relay.

import { pairingKeyText, parsePairingKey } from './protocol/bytes.js';
import { probeMode, relayCloseError, relaySocketUrl } from './protocol/cloud.js';
import { pickBackend, randomBytes } from './protocol/crypto.js';
import { KeyStorage, REMEMBER_RISK, pageStorages } from './protocol/key_storage.js';
import { parsePairing } from './protocol/link.js';
import { commands, parseFrame } from './protocol/messages.js';
import { retryDelay, shouldRetry } from './protocol/reconnect.js';
import { SessionError, connect } from './protocol/session.js';
import { Gestures, TUNING, momentum } from './input/gestures.js';
import { buttonChanges } from './input/mouse.js';
import { PointerEcho } from './input/pointer_echo.js';
import { FIELD_START, fieldEdit, keyCommand, typedText } from './input/keyboard.js';
import { Layers } from './view/layers.js';
import { backingSize, canPan, clampCamera, follow, layout, panBy, toScreen, toWindow, viewFor, zoomAbout } from './view/viewport.js';
import { CloudScreen } from './ui/cloud_screen.js';
import { statsText, statusFor } from './ui/status.js';

const STORAGE_KEY = 'nimbrel.pairing';
const $ = (id) => document.getElementById(id);

function deviceName() {
  const platform = navigator.userAgentData?.platform || navigator.platform || '';
  const touch = navigator.maxTouchPoints > 0;
  return `Browser${platform ? ' on ' + platform : ''}${touch ? ' (touch)' : ''}`.slice(0, 64);
}

const pause = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));

async function decodesHeic() {
  try {
    const response = await fetch('/sample.heic');
    if (!response.ok) return false;
    const bitmap = await createImageBitmap(await response.blob());
    bitmap.close();
    return true;
  } catch {
    return false;
  }
}

export class App {
  constructor() {
    this.canvas = $('screen');
    this.context = this.canvas.getContext('2d', { alpha: false });
    this.backend = pickBackend();
    // The pairing key: kept for the tab on a plain-http page unless the person ticks "remember".
    this.keyStorage = new KeyStorage({ ...pageStorages(), names: [STORAGE_KEY] });
    this.pairing = null;
    this.session = null;
    this.cloudScreen = null; // set when the page came from Nimbrel Cloud
    this.relayHost = null; // the account's computer this session goes to through the relay
    this.connectSerial = 0;
    this.state = { phase: 'pairing' };
    this.attempt = 0;
    this.camera = { zoom: 1, cx: 0.5, cy: 0.5 };
    this.aspect = 16 / 10;
    this.monitor = null;
    this.cursor = null; // {x, y} normalised, as the host reports it
    this.pointer = { x: 0.5, y: 0.5 }; // the trackpad pointer
    this.pointerEcho = new PointerEcho();
    this.mode = 'touch'; // or 'trackpad'
    this.heldMods = new Set();
    this.mouseButtons = 0; // a computer's mouse buttons held, as a PointerEvent.buttons mask
    this.typing = false;
    this.committed = '';
    this.composing = false;
    this.lastView = '';
    this.stats = { on: false, drawnTimes: [], host: {}, ping: undefined };
    this.layers = new Layers(
      (id) => this.session?.send(commands.ack(id)),
      () => {
        this.stats.drawnTimes.push(performance.now());
        this.invalidate();
      },
    );
    this.gestures = new Gestures((action) => this.onGesture(action), TUNING, { waitsForDoubleTap: () => this.doubleTapZooms });
    this.momentum = null;
    this.debug = { app: this, commandsSent: [] };
    window.nimbrelDebug = this.debug;
  }

  async start() {
    this.bindUi();
    this.resize();
    this.caps = ['patch', 'png'];
    const fromLink = parsePairing(location.hash);
    // The key leaves the address bar (and history) at once; it is stored below.
    if (fromLink) history.replaceState(null, '', location.pathname);
    const [origin, heic] = await Promise.all([this.pageOrigin(), decodesHeic()]);
    if (heic) this.caps.push('heic');
    if (origin === 'cloud') {
      this.cloudScreen = new CloudScreen(this);
      this.cloudScreen.start(fromLink);
      return;
    }
    if (fromLink) this.savePairing(fromLink);
    this.pairing = fromLink ?? this.loadPairing();
    if (!this.pairing) this.showPairForm();
    else {
      this.offerRemember();
      this.connect();
    }
  }

  // Whether the page came from a host ("direct") or from Nimbrel Cloud ("cloud"): the origin's
  // /healthz says so (a host answers 426, the service names itself). Asked again, backing
  // off, while the answer is unusable: guessing wrong would pair or connect the wrong way.
  async pageOrigin() {
    for (let attempt = 0; ; attempt++) {
      const mode = await probeMode();
      if (mode !== 'unknown') {
        $('status').hidden = true;
        return mode;
      }
      const delay = retryDelay(attempt, Math.random());
      $('status').hidden = false;
      $('status').className = 'error';
      $('status-text').textContent = `Can't reach ${location.host}. Trying again in ${Math.ceil(delay)} s…`;
      $('status-actions').replaceChildren();
      await pause(delay);
    }
  }

  // ---- pairing ----

  savePairing(pairing) {
    if (this.cloudScreen) return; // the cloud's keys are kept by the list, per computer
    // Where the browser refuses to store it, it is kept in memory for this page only.
    this.keyStorage.setItem(STORAGE_KEY, JSON.stringify({ id: pairing.id, name: pairing.name, k: pairingKeyText(pairing.key) }));
  }

  loadPairing() {
    try {
      const stored = JSON.parse(this.keyStorage.getItem(STORAGE_KEY) ?? 'null');
      const key = stored && parsePairingKey(stored.k);
      return key ? { id: stored.id, name: stored.name, key } : null;
    } catch {
      return null;
    }
  }

  // On a plain-http page the key is kept for the tab: a note says so and offers to remember
  // the computer, until the person ticks it or closes the note.
  offerRemember() {
    if (!this.keyStorage.offer || this.keyStorage.remember || this.rememberClosed) return;
    this.showRemember();
    $('remember').hidden = false;
  }

  showRemember() {
    $('pair-remember-row').hidden = !this.keyStorage.offer;
    for (const box of [$('pair-remember'), $('remember-box')]) box.checked = this.keyStorage.remember;
  }

  setRemember(remember) {
    this.keyStorage.setRemember(remember);
    // Where the new place refused it, the key stays with this page (this.pairing).
    if (this.pairing) this.savePairing(this.pairing);
    this.showRemember();
  }

  showPairForm(error) {
    this.setState({ phase: 'pairing' });
    $('remember').hidden = true;
    this.showRemember();
    $('pair').hidden = false;
    $('pair-error').hidden = !error;
    $('pair-error').textContent = error ?? '';
  }

  repair() {
    if (this.relayHost) {
      const host = this.relayHost;
      this.endSession();
      this.relayHost = null;
      this.setState({ phase: 'pairing' });
      this.cloudScreen.repair(host);
      return;
    }
    this.keyStorage.removeItem(STORAGE_KEY);
    this.session?.close();
    this.session = null;
    clearTimeout(this.retryTimer);
    this.pairing = null;
    this.showPairForm();
  }

  // ---- connection ----

  setState(state) {
    this.state = state;
    const status = statusFor({ ...state, name: this.pairing?.name, cloud: Boolean(this.relayHost) });
    const box = $('status');
    box.hidden = !status;
    if (!status) return;
    box.className = status.tone;
    $('status-text').textContent = status.text;
    const actions = $('status-actions');
    actions.replaceChildren(
      ...status.actions.map((a) => {
        const button = document.createElement('button');
        button.type = 'button';
        button.textContent = { retry: 'Try now', repair: 'Pair again', hosts: 'Computers' }[a];
        button.onclick = () => (a === 'retry' ? this.connect() : a === 'hosts' ? this.showHosts() : this.repair());
        return button;
      }),
    );
  }

  // Through the cloud: the account's computer `host` and the pairing kept for it.
  connectRelay(host, pairing) {
    this.relayHost = host;
    this.pairing = pairing;
    this.attempt = 0;
    this.showScreen(false);
    this.connect();
  }

  // Closes the session and stops retrying.
  endSession() {
    this.connectSerial++;
    clearTimeout(this.retryTimer);
    clearInterval(this.countdown);
    this.session?.close();
    this.session = null;
    this.clearMods();
  }

  // Back to the account's list of computers.
  showHosts() {
    this.endSession();
    this.relayHost = null;
    // The next computer's picture must not open on this one's.
    this.layers.reset();
    this.pictureOf = null;
    this.invalidate();
    this.setState({ phase: 'pairing' });
    this.cloudScreen.showHosts();
  }

  // The cloud's screens (sign-in, list, pairing once) cover the app while they are up.
  showScreen(visible) {
    document.body.classList.toggle('listing', visible);
    $('cloud').hidden = !visible;
    $('tool-hosts').hidden = !this.cloudScreen;
    if (!visible) requestAnimationFrame(() => this.resize());
  }

  // Where the session's socket goes: the page's own host, or the relay URL of a fresh ticket
  // (each ticket opens one session, so every reconnection takes a new one).
  async sessionUrl() {
    if (!this.relayHost) return `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/`;
    const ticket = await this.cloudScreen.client.ticket(this.relayHost.id);
    if (!ticket.online) throw new SessionError('offline', 'The computer is offline (not connected to the relay).');
    const url = relaySocketUrl(ticket.url, location);
    if (!url) throw new SessionError('protocol', 'Nimbrel Cloud sent a relay address this app cannot open.');
    return url;
  }

  async connect() {
    const serial = ++this.connectSerial;
    clearTimeout(this.retryTimer);
    clearInterval(this.countdown);
    this.session?.close();
    this.session = null;
    this.pointerEcho.forget();
    this.setState({ phase: 'connecting', attempt: this.attempt });
    let session;
    try {
      const url = await this.sessionUrl();
      if (serial !== this.connectSerial) return;
      session = await connect({
        url,
        // The relay gives up on a host that does not come after 15 s: let it say so first.
        timeoutMs: this.relayHost ? 17000 : 8000,
        key: this.pairing.key,
        name: deviceName(),
        caps: this.caps,
        backend: this.backend,
        random: (n) => randomBytes(n),
        onJson: (m) => this.onJson(m),
        onFrame: (header, payload) => this.onFrame(header, payload),
        onClose: (error) => this.onSessionEnd(session, error ?? { code: 'closed' }),
      });
    } catch (error) {
      if (serial === this.connectSerial) this.onSessionEnd(null, error);
      return;
    }
    if (serial !== this.connectSerial) {
      session.close();
      return;
    }
    this.session = session;
    // The same computer again (a reconnection) keeps its last picture until a new one comes.
    const computer = this.relayHost ?? this.pairing;
    this.layers.reset({ keepPicture: computer === this.pictureOf });
    this.pictureOf = computer;
    this.lastView = '';
    this.setState({ phase: 'connected' });
    this.sendView(true);
    if (this.typing) this.send(commands.caretWatch(true));
    if (this.stats.on) this.startPinging();
  }

  onSessionEnd(session, error) {
    if (session && session !== this.session) return;
    this.session = null;
    clearInterval(this.pinger); // the next session starts its own
    // A modifier latched for the next key of that session is not one for the next session.
    this.clearMods();
    if (this.relayHost) {
      // The relay says why it closed a socket with its own codes.
      const relay = relayCloseError(error?.closeCode);
      if (relay) error = relay;
      if (error?.code === 'token') {
        this.relayHost = null;
        this.setState({ phase: 'pairing' });
        this.cloudScreen.signOut('Nimbrel Cloud no longer accepts the saved account token. Paste a current one.');
        return;
      }
    }
    if (!shouldRetry(error)) {
      this.setState({ phase: 'failed', error });
      return;
    }
    const delay = retryDelay(this.attempt++, Math.random(), error?.retryAfter);
    const until = performance.now() + delay * 1000;
    const tick = () => this.setState({ phase: 'waiting', error, retryIn: (until - performance.now()) / 1000 });
    tick();
    this.countdown = setInterval(tick, 1000);
    this.retryTimer = setTimeout(() => this.connect(), delay * 1000);
  }

  send(command) {
    this.debug.commandsSent.push(command);
    if (this.debug.commandsSent.length > 500) this.debug.commandsSent.splice(0, 250);
    this.session?.send(command);
  }

  onJson(m) {
    switch (m.t) {
      case 'info': {
        // Entries that are not monitors, and sizes no screen has, are left out.
        const monitors = Array.isArray(m.monitors) ? m.monitors.filter((x) => x && typeof x === 'object') : [];
        const monitor = monitors.find((x) => x.i === m.monitor) ?? monitors[0];
        this.monitor = monitor ?? null;
        const aspect = monitor?.w > 0 && monitor?.h > 0 ? monitor.w / monitor.h : NaN;
        if (Number.isFinite(aspect) && aspect > 0) this.aspect = aspect;
        if (m.host && this.pairing && this.pairing.name !== m.host) {
          this.pairing.name = m.host;
          this.savePairing(this.pairing);
        }
        if (m.os === 'mac') $('key-meta').textContent = '⌘';
        this.camera = clampCamera(this.camera, this.viewW, this.viewH, this.aspect);
        this.sendView(true);
        this.invalidate();
        break;
      }
      case 'cursor':
        if (!Number.isFinite(m.x) || !Number.isFinite(m.y)) break;
        this.cursor = { x: m.x, y: m.y, visible: m.vis };
        if (!this.pointerActive && this.pointerEcho.take(m.x, m.y, performance.now(), this.pixelSize())) this.pointer = { x: m.x, y: m.y };
        if (this.mode === 'trackpad') this.invalidate();
        break;
      case 'caret':
        if (this.typing && !m.none && Number.isFinite(m.x)) this.followCaret(m);
        break;
      case 'clip':
        this.receiveClip(typeof m.text === 'string' ? m.text : '');
        break;
      case 'stats':
        this.stats.host = m;
        this.showStats();
        break;
      case 'pong':
        if (typeof m.ts === 'number') this.stats.ping = performance.now() - m.ts;
        this.showStats();
        break;
      default:
    }
  }

  onFrame(header, payload) {
    // Back-off starts afresh only once a session brings a picture: a host that accepts and drops
    // at once is asked less and less often, not every half second.
    this.attempt = 0;
    const id = Number.isInteger(header.id) ? header.id : 0;
    this.layers.push(parseFrame(header, payload), id);
  }

  // ---- drawing ----

  get viewW() {
    return this.canvas.clientWidth || 1;
  }

  get viewH() {
    return this.canvas.clientHeight || 1;
  }

  resize() {
    const bar = $('bar');
    // On phones whose keyboard overlays the page, keep the bar above it.
    const vv = window.visualViewport;
    const covered = vv ? Math.max(0, Math.round(window.innerHeight - vv.height - vv.offsetTop)) : 0;
    bar.style.transform = covered ? `translateY(${-covered}px)` : '';
    const floating = matchMedia('(min-width: 900px) and (hover: hover)').matches;
    $('stage').style.bottom = floating && !covered ? '0px' : `${bar.offsetHeight + covered}px`;
    document.documentElement.style.setProperty('--bar-height', `${bar.offsetHeight + covered}px`);
    const dpr = window.devicePixelRatio || 1;
    const { w, h } = backingSize(this.canvas.getBoundingClientRect(), dpr, this.devicePixels);
    if (this.canvas.width !== w || this.canvas.height !== h) {
      this.canvas.width = w;
      this.canvas.height = h;
    }
    this.camera = clampCamera(this.camera, this.viewW, this.viewH, this.aspect);
    this.sendView();
    this.invalidate();
  }

  // The browser's count of the device pixels the canvas covers (see backingSize).
  watchDevicePixels() {
    if (typeof ResizeObserver !== 'function') return;
    const observer = new ResizeObserver((entries) => {
      const box = entries[entries.length - 1].devicePixelContentBoxSize?.[0];
      if (!box) return;
      // Hidden (the host list shows instead): keep the rounded size until it shows again.
      const next = box.inlineSize && box.blockSize ? { w: box.inlineSize, h: box.blockSize } : null;
      if (next?.w === this.devicePixels?.w && next?.h === this.devicePixels?.h) return;
      this.devicePixels = next;
      this.resize();
    });
    try {
      observer.observe(this.canvas, { box: 'device-pixel-content-box' });
    } catch {
      observer.disconnect(); // an engine without that box keeps the rounded size
    }
  }

  invalidate() {
    if (this.frameRequested) return;
    this.frameRequested = true;
    requestAnimationFrame(() => {
      this.frameRequested = false;
      this.draw();
    });
  }

  get layout() {
    return layout(this.camera, this.viewW, this.viewH, this.aspect);
  }

  draw() {
    const dpr = this.canvas.width / this.viewW;
    const c = this.context;
    c.fillStyle = '#101418';
    c.fillRect(0, 0, this.canvas.width, this.canvas.height);
    const l = this.layout;
    c.imageSmoothingEnabled = true;
    c.imageSmoothingQuality = 'high';
    this.layers.draw(c, l.ox * dpr, l.oy * dpr, l.dw * dpr, l.dh * dpr);
    if (this.mode === 'trackpad' && this.layers.hasPicture) this.drawPointer(c, l, dpr);
    this.debug.drawn = (this.debug.drawn ?? 0) + 1;
  }

  drawPointer(c, l, dpr) {
    const { px, py } = toWindow(l, this.pointer.x, this.pointer.y);
    const x = px * dpr;
    const y = py * dpr;
    const s = 1.4 * dpr;
    c.save();
    c.translate(x, y);
    c.scale(s, s);
    c.beginPath();
    c.moveTo(0, 0);
    c.lineTo(0, 17);
    c.lineTo(4.5, 13);
    c.lineTo(7.5, 19.5);
    c.lineTo(10.5, 18);
    c.lineTo(7.5, 12);
    c.lineTo(13, 12);
    c.closePath();
    c.fillStyle = '#fff';
    c.strokeStyle = '#000';
    c.lineWidth = 1.2;
    c.fill();
    c.stroke();
    c.restore();
  }

  // The host streams the visible part at the window's pixel density (sharp when zoomed).
  sendView(force = false) {
    if (!this.session) return;
    const dpr = window.devicePixelRatio || 1;
    const { rect, pw, ph } = viewFor(this.layout, this.viewW, this.viewH, dpr);
    const command = commands.view(rect, pw, ph);
    const text = JSON.stringify(command);
    if (!force && text === this.lastView) return;
    const now = performance.now();
    // During a pinch the view settles: send at most ten a second, and the last one at the end.
    clearTimeout(this.viewTimer);
    if (!force && now - (this.lastViewAt ?? 0) < 100) {
      this.viewTimer = setTimeout(() => this.sendView(), 100);
      return;
    }
    this.lastView = text;
    this.lastViewAt = now;
    this.send(command);
  }

  setCamera(camera) {
    this.camera = clampCamera(camera, this.viewW, this.viewH, this.aspect);
    this.sendView();
    this.invalidate();
  }

  followCaret(caret) {
    const small = Math.min(this.viewW, this.viewH) < 600;
    this.setCamera(follow(this.camera, caret, this.viewW, this.viewH, this.aspect, { margin: 32, minHeight: small ? 20 : 0 }));
  }

  // ---- pointer input ----

  screenPoint(x, y) {
    const p = toScreen(this.layout, x, y);
    return { x: Math.min(1, Math.max(0, p.x)), y: Math.min(1, Math.max(0, p.y)) };
  }

  // In touch mode on the whole screen a double tap zooms in; elsewhere it is a double click.
  get doubleTapZooms() {
    return this.mode === 'touch' && this.camera.zoom < 1.5;
  }

  onGesture(a) {
    const trackpad = this.mode === 'trackpad';
    switch (a.type) {
      case 'tap':
        if (a.count === 2 && this.doubleTapZooms) {
          this.setCamera(zoomAbout(this.camera, 3 / this.camera.zoom, a.x, a.y, this.viewW / 2 - a.x, this.viewH / 2 - a.y, this.viewW, this.viewH, this.aspect));
          break;
        }
        this.send(commands.click('left', trackpad ? null : this.screenPoint(a.x, a.y)));
        break;
      case 'hold':
        this.showHold(a.x, a.y);
        navigator.vibrate?.(12);
        break;
      case 'longTap':
        this.hideHold();
        this.send(commands.click('right', trackpad ? null : this.screenPoint(a.x, a.y)));
        break;
      case 'twoFingerTap':
        this.send(commands.click('right', trackpad ? null : this.screenPoint(a.x, a.y)));
        break;
      case 'dragStart':
        this.hideHold();
        this.pointerActive = true;
        this.dragFrom = { x: a.x, y: a.y };
        this.send(commands.button('left', true, trackpad ? null : this.screenPoint(a.x, a.y)));
        break;
      case 'dragMove':
        if (trackpad) this.movePointerBy(a.x - this.dragFrom.x, a.y - this.dragFrom.y, 1);
        else this.send(commands.move(...Object.values(this.screenPoint(a.x, a.y))));
        this.dragFrom = { x: a.x, y: a.y };
        break;
      case 'dragEnd':
        this.pointerActive = false;
        this.send(commands.button('left', false, trackpad ? null : this.screenPoint(a.x, a.y)));
        break;
      case 'swipe':
        this.stopMomentum();
        if (this.swipeKind === undefined) this.swipeKind = trackpad ? 'pointer' : this.camera.zoom > 1.01 ? 'pan' : 'scroll';
        this.swipeBy(this.swipeKind, a.dx, a.dy);
        break;
      case 'swipeEnd':
        if (this.swipeKind !== 'pointer') this.startMomentum(this.swipeKind, a.vx, a.vy);
        this.swipeKind = undefined;
        this.pointerActive = false;
        break;
      case 'pinch':
        this.stopMomentum();
        this.setCamera(zoomAbout(this.camera, a.factor, a.x, a.y, a.dx, a.dy, this.viewW, this.viewH, this.aspect));
        break;
      case 'pinchEnd':
        this.sendView();
        break;
      case 'scroll':
        this.stopMomentum();
        this.swipeBy('scroll', a.dx, a.dy);
        break;
      case 'scrollEnd':
        this.startMomentum('scroll', a.vx, a.vy);
        break;
      default:
    }
  }

  swipeBy(kind, dx, dy) {
    if (kind === 'pan') this.setCamera(panBy(this.camera, dx, dy, this.viewW, this.viewH, this.aspect));
    else if (kind === 'scroll') this.send(commands.scroll(-dx, -dy));
    else this.movePointerBy(dx, dy, Math.hypot(dx, dy));
  }

  // Trackpad: relative motion, faster for quick strokes; the view keeps the pointer in sight.
  movePointerBy(dx, dy, stroke) {
    const l = this.layout;
    const gain = Math.min(3, 1 + stroke / 25);
    this.pointerActive = true;
    this.pointer = {
      x: Math.min(0.9999, Math.max(0, this.pointer.x + (dx * gain) / l.dw)),
      y: Math.min(0.9999, Math.max(0, this.pointer.y + (dy * gain) / l.dh)),
    };
    this.send(commands.move(this.pointer.x, this.pointer.y));
    this.pointerEcho.sent(this.pointer.x, this.pointer.y, performance.now());
    if (this.camera.zoom > 1.01) {
      this.setCamera(follow(this.camera, { ...this.pointer, w: 0, h: 0 }, this.viewW, this.viewH, this.aspect, { margin: 48 }));
    }
    this.invalidate();
  }

  // One pixel of the computer's screen, as a fraction of its width and height (a small fraction
  // while the screen's size is not known).
  pixelSize() {
    const w = this.monitor?.w > 0 ? this.monitor.w : 1000;
    const h = this.monitor?.h > 0 ? this.monitor.h : 1000;
    return { x: 1.5 / w, y: 1.5 / h };
  }

  startMomentum(kind, vx, vy) {
    this.stopMomentum();
    const m = momentum(vx, vy);
    let last = performance.now();
    const step = (now) => {
      const d = m.step(now - last);
      last = now;
      if (!d || this.momentum !== handle) return;
      this.swipeBy(kind, d.dx, d.dy);
      handle.frame = requestAnimationFrame(step);
    };
    const handle = { frame: requestAnimationFrame(step) };
    this.momentum = handle;
  }

  stopMomentum() {
    if (this.momentum) cancelAnimationFrame(this.momentum.frame);
    this.momentum = null;
  }

  showHold(x, y) {
    const ring = $('hold-ring');
    ring.style.left = `${x}px`;
    ring.style.top = `${y}px`;
    ring.hidden = false;
  }

  hideHold() {
    $('hold-ring').hidden = true;
  }

  bindPointer() {
    const canvas = this.canvas;
    const local = (e) => {
      const r = canvas.getBoundingClientRect();
      return [e.clientX - r.left, e.clientY - r.top];
    };
    // The computer's mouse: every event brings the held buttons to its mask.
    const mouseButtons = (e, [x, y]) => {
      const held = e.type === 'pointercancel' ? 0 : e.buttons;
      for (const [name, down] of buttonChanges(this.mouseButtons, held)) {
        this.send(commands.button(name, down, this.screenPoint(x, y)));
      }
      this.mouseButtons = held;
    };
    canvas.addEventListener('pointerdown', (e) => {
      e.preventDefault();
      canvas.setPointerCapture?.(e.pointerId);
      // The prevented default no longer moves the focus here: take it back from a button or
      // panel clicked before, or a computer's keys would stay with that instead of the screen.
      if (!this.typing && document.activeElement !== document.body) document.activeElement?.blur?.();
      const [x, y] = local(e);
      if (e.pointerType === 'mouse') {
        mouseButtons(e, [x, y]);
        if (this.typing) $('typing').focus({ preventScroll: true });
        return;
      }
      this.gestures.down(e.pointerId, x, y, e.timeStamp);
      clearTimeout(this.holdTimer);
      this.holdTimer = setTimeout(() => this.gestures.tick(performance.now()), TUNING.holdMs + 5);
    });
    canvas.addEventListener('pointermove', (e) => {
      const [x, y] = local(e);
      if (e.pointerType === 'mouse') {
        // Buttons change during a move only while one pressed here is held (a press elsewhere
        // dragged in is not the computer's).
        if (this.mouseButtons && e.buttons !== this.mouseButtons) mouseButtons(e, [x, y]);
        this.mouseAt = this.screenPoint(x, y);
        if (!this.mouseQueued) {
          this.mouseQueued = true;
          requestAnimationFrame(() => {
            this.mouseQueued = false;
            this.send(commands.move(this.mouseAt.x, this.mouseAt.y));
          });
        }
        return;
      }
      for (const c of e.getCoalescedEvents?.() ?? [e]) {
        const [cx, cy] = local(c);
        this.gestures.move(e.pointerId, cx, cy, c.timeStamp || e.timeStamp);
      }
    });
    const end = (e) => {
      const [x, y] = local(e);
      if (e.pointerType === 'mouse') {
        mouseButtons(e, [x, y]);
        return;
      }
      clearTimeout(this.holdTimer);
      if (e.type === 'pointercancel') {
        this.hideHold();
        this.gestures.cancel();
      } else this.gestures.up(e.pointerId, x, y, e.timeStamp);
      // A tap that may begin a double tap is let go once no second tap can follow.
      clearTimeout(this.tapTimer);
      const due = this.gestures.tapDue;
      if (due !== null) this.tapTimer = setTimeout(() => this.gestures.tick(performance.now()), Math.max(0, due - performance.now()) + 5);
    };
    canvas.addEventListener('pointerup', end);
    canvas.addEventListener('pointercancel', end);
    canvas.addEventListener('contextmenu', (e) => e.preventDefault());
    canvas.addEventListener(
      'wheel',
      (e) => {
        e.preventDefault();
        const [x, y] = local(e);
        const unit = e.deltaMode === 1 ? 40 / 3 : e.deltaMode === 2 ? this.viewH : 1;
        if (e.ctrlKey) {
          // Pinch on a laptop's touchpad, or Ctrl + wheel: zoom the view, not the page.
          this.setCamera(zoomAbout(this.camera, Math.exp((-e.deltaY * unit) / 200), x, y, 0, 0, this.viewW, this.viewH, this.aspect));
          return;
        }
        this.send(commands.scroll(e.deltaX * unit * 0.4, e.deltaY * unit * 0.4));
      },
      { passive: false },
    );
  }

  // ---- keyboard ----

  setTyping(on) {
    this.typing = on;
    $('keybar').hidden = !on;
    $('tool-keyboard').classList.toggle('on', on);
    const field = $('typing');
    if (on) {
      field.focus({ preventScroll: true });
    } else {
      field.blur();
      this.clearMods();
    }
    this.send(commands.caretWatch(on));
    requestAnimationFrame(() => this.resize());
  }

  clearMods() {
    this.heldMods.clear();
    for (const b of document.querySelectorAll('[data-mod]')) b.classList.remove('on');
  }

  sendKey(k, mods = []) {
    this.send(commands.key(k, [...new Set([...this.heldMods, ...mods])]));
    this.clearMods();
  }

  bindKeyboard() {
    const field = $('typing');
    const resetField = () => {
      field.value = FIELD_START;
      this.committed = FIELD_START;
    };
    resetField();
    field.addEventListener('keydown', (e) => {
      const command = keyCommand(e, [...this.heldMods]);
      if (!command) return;
      e.preventDefault();
      this.sendKey(command.k, command.mods);
    });
    field.addEventListener('compositionstart', () => (this.composing = true));
    field.addEventListener('compositionend', () => {
      this.composing = false;
      this.flushTyping();
    });
    field.addEventListener('input', (e) => {
      if (this.composing || e.isComposing) return;
      this.flushTyping();
    });
    this.flushTyping = () => {
      const value = field.value;
      const edit = fieldEdit(this.committed, value);
      this.committed = value;
      for (let i = 0; i < edit.deleted; i++) this.sendKey('backspace');
      const lines = edit.inserted.split('\n');
      lines.forEach((line, i) => {
        if (i > 0) this.sendKey('enter');
        if (!line) return;
        // A character typed while a bar modifier is latched is a chord (Ctrl + C).
        if (this.heldMods.size && [...line].length === 1) this.sendKey(line.toLowerCase());
        else this.send(commands.text(line));
      });
      if (edit.refill) resetField();
    };
    field.addEventListener('blur', () => {
      // Tapping the bar's own buttons keeps typing on; leaving the page or the field ends it.
      setTimeout(() => {
        if (this.typing && document.activeElement !== field) {
          this.typing = false;
          $('keybar').hidden = true;
          $('tool-keyboard').classList.remove('on');
          this.send(commands.caretWatch(false));
          this.resize();
        }
      }, 150);
    });

    const fn = $('keys-fn');
    for (let i = 1; i <= 12; i++) {
      const b = document.createElement('button');
      b.type = 'button';
      b.dataset.key = 'f' + i;
      b.textContent = 'F' + i;
      fn.append(b);
    }
    const bar = $('keybar');
    bar.addEventListener('pointerdown', (e) => {
      // Keep the focus (and the phone's keyboard) in the text field.
      if (e.target.closest('button')) e.preventDefault();
    });
    bar.addEventListener('click', (e) => {
      const b = e.target.closest('button');
      if (!b) return;
      if (b.id === 'keys-fn-toggle') {
        fn.hidden = !fn.hidden;
        b.classList.toggle('on', !fn.hidden);
        this.resize();
      } else if (b.dataset.mod) {
        const mod = b.dataset.mod;
        if (this.heldMods.has(mod)) this.heldMods.delete(mod);
        else this.heldMods.add(mod);
        b.classList.toggle('on', this.heldMods.has(mod));
      } else if (b.dataset.key) {
        this.sendKey(b.dataset.key);
      }
      if (this.typing) field.focus({ preventScroll: true });
    });

    // A physical keyboard on a computer: keys go to the host whenever no panel is being typed in.
    window.addEventListener('keydown', (e) => {
      if (e.target !== document.body && e.target !== this.canvas) return;
      const command = keyCommand(e, [...this.heldMods]);
      const text = command ? null : typedText(e);
      if (command) {
        e.preventDefault();
        this.sendKey(command.k, command.mods);
      } else if (text) {
        e.preventDefault();
        this.send(commands.text(text));
      }
    });
  }

  // ---- clipboard ----

  bindClipboard() {
    const panel = $('clip');
    const note = $('clip-note');
    const text = $('clip-text');
    $('tool-clip').onclick = () => {
      panel.hidden = !panel.hidden;
      $('tool-clip').classList.toggle('on', !panel.hidden);
      note.textContent = '';
    };
    $('clip-close').onclick = () => {
      panel.hidden = true;
      $('tool-clip').classList.remove('on');
    };
    $('clip-get').onclick = () => {
      note.textContent = 'Asking the computer…';
      this.send(commands.getClip());
    };
    $('clip-send').onclick = async () => {
      let value = text.value;
      if (!value && navigator.clipboard?.readText) {
        try {
          value = await navigator.clipboard.readText();
          text.value = value;
        } catch {
          // not allowed: the text field is the way
        }
      }
      if (!value) {
        note.textContent = 'Type or paste the text to send above.';
        return;
      }
      this.send(commands.setClip(value));
      note.textContent = `Sent ${[...value].length} characters: paste them on the computer.`;
    };
  }

  async receiveClip(value) {
    const text = $('clip-text');
    const note = $('clip-note');
    text.value = value;
    $('clip').hidden = false;
    $('tool-clip').classList.add('on');
    try {
      await navigator.clipboard.writeText(value);
      note.textContent = value ? 'Copied to this device.' : "The computer's clipboard is empty.";
    } catch {
      text.focus();
      text.select();
      note.textContent = value ? 'Selected above: copy it with your device.' : "The computer's clipboard is empty.";
    }
  }

  // ---- tools ----

  bindTools() {
    $('tool-keyboard').onclick = () => this.setTyping(!this.typing);
    $('tool-keyboard').addEventListener('pointerdown', (e) => e.preventDefault());
    $('tool-mode').onclick = () => {
      this.mode = this.mode === 'touch' ? 'trackpad' : 'touch';
      $('tool-mode-label').textContent = this.mode === 'touch' ? 'Touch' : 'Trackpad';
      if (this.cursor) this.pointer = { x: this.cursor.x, y: this.cursor.y };
      this.pointerEcho.forget();
      this.invalidate();
    };
    $('tool-fit').onclick = () => this.setCamera({ zoom: 1, cx: 0.5, cy: 0.5 });
    $('tool-hosts').onclick = () => this.showHosts();
    $('tool-stats').onclick = () => {
      this.stats.on = !this.stats.on;
      $('tool-stats').classList.toggle('on', this.stats.on);
      $('stats').hidden = !this.stats.on;
      if (this.stats.on) this.startPinging();
      else clearInterval(this.pinger);
      this.showStats();
    };
  }

  startPinging() {
    clearInterval(this.pinger);
    const ping = () => this.send(commands.ping(performance.now()));
    ping();
    this.pinger = setInterval(ping, 1000);
  }

  showStats() {
    if (!this.stats.on) return;
    const now = performance.now();
    this.stats.drawnTimes = this.stats.drawnTimes.filter((t) => now - t < 1000);
    const h = this.stats.host;
    $('stats').textContent = statsText({ drawn: this.stats.drawnTimes.length, fps: h.fps, kbps: h.kbps, rtt: h.rtt, ping: this.stats.ping });
  }

  bindUi() {
    this.bindPointer();
    this.bindKeyboard();
    this.bindClipboard();
    this.bindTools();
    for (const line of document.querySelectorAll('.remember-risk')) line.textContent = REMEMBER_RISK;
    for (const box of [$('pair-remember'), $('remember-box')]) box.onchange = () => this.setRemember(box.checked);
    $('remember-close').onclick = () => {
      this.rememberClosed = true;
      $('remember').hidden = true;
    };
    $('pair').addEventListener('submit', (e) => {
      e.preventDefault();
      const pairing = parsePairing($('pair-link').value);
      if (!pairing) {
        $('pair-error').hidden = false;
        $('pair-error').textContent = 'That is not a pairing link: it should start with nimbrel://pair? and carry a key.';
        return;
      }
      this.pairing = pairing;
      this.savePairing(pairing);
      $('pair').hidden = true;
      this.attempt = 0;
      this.connect();
    });
    window.addEventListener('resize', () => this.resize());
    window.visualViewport?.addEventListener('resize', () => this.resize());
    this.watchDevicePixels();
    document.addEventListener('visibilitychange', () => {
      // A hidden tab stops the stream (and the phone's radio); coming back asks for a fresh one.
      if (!this.session) return;
      this.send(commands.stream(!document.hidden));
      if (!document.hidden) this.send(commands.refresh());
    });
  }
}
