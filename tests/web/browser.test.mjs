// The browser client in Debian's headless Chromium against the real host in a dry run: the page
// comes from the host, the handshake completes with WebCrypto (a secure origin) and with the
// bundled code (a made-up name resolved to 127.0.0.1 is not a secure origin), the canvas shows
// the synthetic screen, and taps, long presses, pinches, typing, the key bar and the clipboard
// arrive at the host as the right input records. The secure page keeps the key on the device;
// the plain-http one keeps it for the tab unless the computer is remembered. Screenshots go to
// NIMBREL_ARTIFACTS.
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, before, describe, it } from 'node:test';

import { pixelAt } from './page_pixels.mjs';

const webDir = process.env.NIMBREL_WEB_DIR;
const artifacts = process.env.NIMBREL_ARTIFACTS ?? '/tmp/nimbrel-artifacts';
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const puppeteer = createRequire(join(webDir, 'package.json'))('puppeteer-core');
const { startHost } = await import(join(webDir, 'test/host_process.mjs'));
const { pairingKeyText } = await import(join(webDir, 'src/protocol/bytes.js'));

const PHONE = { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true };
const DESKTOP = { width: 1280, height: 800, deviceScaleFactor: 1 };
const MADE_UP = 'desk.lan';

let host;
let browser;
before(async () => {
  mkdirSync(artifacts, { recursive: true });
  host = await startHost();
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', `--host-resolver-rules=MAP ${MADE_UP} 127.0.0.1`, '--disable-gpu', '--no-first-run', '--password-store=basic'],
  });
});
after(async () => {
  await browser?.close();
  host?.stop();
});

async function openApp(viewport, { origin = `http://127.0.0.1:${host.port}`, fragment = host.fragment, context } = {}) {
  const ctx = context ?? (await browser.createBrowserContext());
  const page = await ctx.newPage();
  await page.setViewport(viewport);
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(`${origin}/${fragment}`);
  await page.waitForFunction(() => window.nimbrelDebug?.app.layers.framesApplied > 0 && document.getElementById('status').hidden);
  return { page, ctx, errors };
}

// Where a normalised screen point is in the page, and the host's pixel for it.
async function pagePoint(page, x, y) {
  return page.evaluate(
    (nx, ny) => {
      const app = window.nimbrelDebug.app;
      const l = app.layout;
      const r = app.canvas.getBoundingClientRect();
      return { x: r.left + l.ox + nx * l.dw, y: r.top + l.oy + ny * l.dh };
    },
    x,
    y,
  );
}

// Waits for a click record: a move near (x, y) in screen pixels (a finger lands on whole CSS
// pixels, each about four screen pixels on a phone), then the button's press and release.
async function clickRecorded(button, x, y) {
  const [, mx, my] = await host.waitFor(
    new RegExp(`input \\('move', (\\d+), (\\d+)\\)\\s*\\ninput \\('button', '${button}', True\\)\\s*\\ninput \\('button', '${button}', False\\)`),
  );
  assert.ok(Math.abs(mx - x) <= 6 && Math.abs(my - y) <= 6, `clicked at ${mx}, ${my}, wanted ${x}, ${y}`);
}

const sent = (page, type) => page.evaluate((t) => window.nimbrelDebug.commandsSent.filter((c) => c.t === t), type);

// The synthetic screen's gradient at a normalised point (1600 x 1000 pixels).
const gradient = (x, y) => ({ r: 60, g: 30 + (90 * y * 1000) / 999, b: 40 + (160 * x * 1600) / 1599 });
const close = (p, q, tolerance = 14) => Math.abs(p.r - q.r) <= tolerance && Math.abs(p.g - q.g) <= tolerance && Math.abs(p.b - q.b) <= tolerance;

describe('on a phone', () => {
  let page;
  before(async () => {
    ({ page } = await openApp(PHONE));
  });

  it('loads from the host, pairs from the fragment with WebCrypto and drops the key from the address', async () => {
    assert.equal(await page.evaluate(() => window.nimbrelDebug.app.backend.name), 'webcrypto');
    assert.equal(await page.evaluate(() => location.hash), '');
    assert.ok(await page.evaluate(() => JSON.parse(localStorage.getItem('nimbrel.pairing')).k.length === 43));
    // A secure page remembers the computer as it always has: nothing to tick.
    assert.equal(await page.evaluate(() => window.isSecureContext), true);
    assert.equal(await page.$eval('#remember', (e) => e.hidden), true);
  });

  it('draws the synthetic screen', async () => {
    for (const [x, y] of [[0.5, 0.5], [0.9, 0.2], [0.3, 0.85]]) {
      const p = await pixelAt(page, x, y);
      assert.ok(close(p, gradient(x, y)), `at ${x},${y}: ${JSON.stringify(p)} vs ${JSON.stringify(gradient(x, y))}`);
    }
    await page.screenshot({ path: join(artifacts, 'web-phone.png') });
  });

  it('a tap clicks where it lands, and the square follows', async () => {
    const at = await pagePoint(page, 0.25, 0.75);
    await page.touchscreen.tap(at.x, at.y);
    await clickRecorded('left', 400, 750);
    // The dry run draws a square at the pointer: it shows up where the tap was.
    await page.waitForFunction(() => window.nimbrelDebug.app.layers.framesApplied > 2);
    const inside = await page.waitForFunction(
      async () => {
        const app = window.nimbrelDebug.app;
        const l = app.layout;
        const dpr = app.canvas.width / app.viewW;
        const d = app.context.getImageData(Math.round((l.ox + (400 + 30) / 1600 * l.dw) * dpr), Math.round((l.oy + (750 + 30) / 1000 * l.dh) * dpr), 1, 1).data;
        return d[0] > 200 && d[2] > 200 && d;
      },
      { timeout: 10000 },
    );
    assert.ok(inside);
  });

  it('a long press is a right click, with a ring while held', async () => {
    const at = await pagePoint(page, 0.5, 0.5);
    await page.touchscreen.touchStart(at.x, at.y);
    await page.waitForSelector('#hold-ring:not([hidden])');
    await page.touchscreen.touchEnd();
    await clickRecorded('right', 800, 500);
  });

  it('a pinch sends a view and the sharp region layer appears', async () => {
    const centre = await pagePoint(page, 0.5, 0.5);
    const client = await page.createCDPSession();
    const touch = (type, spread) =>
      client.send('Input.dispatchTouchEvent', {
        type,
        touchPoints: type === 'touchEnd' ? [] : [
          { x: centre.x - spread, y: centre.y, id: 1 },
          { x: centre.x + spread, y: centre.y, id: 2 },
        ],
      });
    await touch('touchStart', 20);
    for (let spread = 30; spread <= 140; spread += 10) await touch('touchMove', spread);
    await touch('touchEnd', 0);
    const views = await sent(page, 'view');
    const last = views.at(-1);
    assert.ok(last.w < 0.3 && last.pw > 600, JSON.stringify(last));
    await page.waitForFunction(() => Boolean(window.nimbrelDebug.app.layers.layers.roi?.box), { timeout: 10000 });
    const roi = await page.evaluate(() => window.nimbrelDebug.app.layers.layers.roi.box);
    assert.ok(roi.x <= last.x + 1e-6 && roi.x + roi.w >= last.x + last.w - 1e-6, `roi ${JSON.stringify(roi)} covers the view ${JSON.stringify(last)}`);
    const p = await pixelAt(page, 0.45, 0.4);
    assert.ok(close(p, gradient(0.45, 0.4)), JSON.stringify(p));
    await page.screenshot({ path: join(artifacts, 'web-phone-zoomed.png') });
    await page.click('#tool-fit');
  });

  it('typed text arrives whole, including other scripts and an emoji', async () => {
    await page.tap('#tool-keyboard');
    await page.waitForFunction(() => document.activeElement?.id === 'typing');
    const client = await page.createCDPSession();
    await client.send('Input.imeSetComposition', { text: 'é€', selectionStart: 2, selectionEnd: 2 });
    await client.send('Input.insertText', { text: 'é€ж😀' });
    await host.waitFor(/input \('text', 'é€ж😀'\)/);
    const texts = await sent(page, 'text');
    assert.deepEqual(texts, [{ t: 'text', s: 'é€ж😀' }]);
    await page.screenshot({ path: join(artifacts, 'web-phone-keyboard.png') });
  });

  it('the key bar sends Control+C as a key with its modifier', async () => {
    await page.tap('[data-mod="ctrl"]');
    const client = await page.createCDPSession();
    await client.send('Input.insertText', { text: 'c' });
    await host.waitFor(/input \('key', 'c', \["ctrl"\], 'press'\)/);
    await page.tap('[data-key="esc"]');
    await host.waitFor(/input \('key', 'esc', \[\], 'press'\)/);
  });

  it('the clipboard goes both ways', async () => {
    await page.tap('#tool-clip');
    // Leaving the text field ends typing a moment later, and the key bar goes: a tap while the
    // layout shifts under it would miss its button.
    await page.waitForFunction(() => document.getElementById('keybar').hidden);
    await page.$eval('#clip-text', (t) => (t.value = 'from the phone ✓'));
    await page.tap('#clip-send');
    await host.waitFor(/input \('setclip', 'from the phone ✓'\)/);
    await page.$eval('#clip-text', (t) => (t.value = ''));
    await page.tap('#clip-get');
    await page.waitForFunction(() => document.getElementById('clip-text').value === 'from the phone ✓');
    await page.screenshot({ path: join(artifacts, 'web-phone-clipboard.png') });
    await page.tap('#clip-close');
  });

  it('in trackpad mode a stroke moves the pointer by its length and a tap clicks where it is', async () => {
    await page.tap('#tool-mode');
    assert.equal(await page.$eval('#tool-mode-label', (e) => e.textContent), 'Trackpad');
    const before = await page.evaluate(() => ({ ...window.nimbrelDebug.app.pointer }));
    await page.touchscreen.touchStart(100, 300);
    for (let x = 110; x <= 160; x += 10) await page.touchscreen.touchMove(x, 300);
    await page.touchscreen.touchEnd();
    const after = await page.evaluate(() => ({ ...window.nimbrelDebug.app.pointer }));
    assert.ok(after.x > before.x + 0.1 && Math.abs(after.y - before.y) < 0.01, `${JSON.stringify(before)} -> ${JSON.stringify(after)}`);
    const moves = await sent(page, 'move');
    assert.deepEqual(moves.at(-1), { t: 'move', x: Math.round(after.x * 1e5) / 1e5, y: Math.round(after.y * 1e5) / 1e5 });
    // The host's report of where the pointer was before a stroke, arriving after the stroke
    // ended, does not throw the pointer back there. (Stroke and report come in one task, so the
    // host's own reports cannot come between them.)
    const { from, to, kept } = await page.evaluate(() => {
      const app = window.nimbrelDebug.app;
      const from = { ...app.pointer };
      app.onGesture({ type: 'swipe', x: 0, y: 0, dx: 30, dy: 0 });
      app.onGesture({ type: 'swipeEnd', vx: 0, vy: 0 });
      const to = { ...app.pointer };
      app.onJson({ t: 'cursor', x: from.x, y: from.y, vis: true });
      return { from, to, kept: { ...app.pointer } };
    });
    assert.ok(to.x > from.x, `${JSON.stringify(from)} -> ${JSON.stringify(to)}`);
    assert.deepEqual(kept, to);
    await page.touchscreen.tap(300, 600);
    await page.waitForFunction(() => window.nimbrelDebug.commandsSent.at(-1)?.t === 'click');
    assert.deepEqual((await sent(page, 'click')).at(-1), { t: 'click', b: 'left', n: 1 }, 'at the pointer, not the finger');
    const shot = join(artifacts, 'web-phone-trackpad.png');
    await page.screenshot({ path: shot });
    await page.tap('#tool-mode');
  });
});

describe('on a computer', () => {
  it('a made-up name (not a secure origin) pairs with the bundled crypto; mouse and keys work', async () => {
    const { page, errors } = await openApp(DESKTOP, { origin: `http://${MADE_UP}:${host.port}` });
    assert.equal(await page.evaluate(() => window.isSecureContext), false);
    assert.equal(await page.evaluate(() => window.nimbrelDebug.app.backend.name), 'noble');
    const p = await pixelAt(page, 0.7, 0.6);
    assert.ok(close(p, gradient(0.7, 0.6)), JSON.stringify(p));
    await page.screenshot({ path: join(artifacts, 'web-desktop.png') });
    const at = await pagePoint(page, 0.125, 0.25);
    await page.mouse.click(at.x, at.y, { button: 'right' });
    await host.waitFor(/input \('move', 200, 250\)\s*\ninput \('button', 'right', True\)/);
    await page.keyboard.down('Control');
    await page.keyboard.press('KeyS');
    await page.keyboard.up('Control');
    await host.waitFor(/input \('key', 's', \["ctrl"\], 'press'\)/);
    // A second button pressed and the first let go while another is held come as pointer
    // moves: each still reaches the computer, and no button stays held there.
    const mid = await pagePoint(page, 0.5, 0.5);
    await page.mouse.move(mid.x, mid.y);
    await page.mouse.down({ button: 'left' });
    await page.mouse.down({ button: 'right' });
    await page.mouse.up({ button: 'left' });
    await page.mouse.up({ button: 'right' });
    const record = (name, down) => String.raw`input \('button', '${name}', ${down ? 'True' : 'False'}\)`;
    const movesBetween = String.raw`(?:\s*\ninput \('move'[^\n]*)*\s*\n`;
    await host.waitFor(new RegExp([record('left', true), record('right', true), record('left', false), record('right', false)].join(movesBetween)));
    // A press that began on the page's bar and is dragged onto the screen is not the computer's:
    // the first button it records after that is the click that follows.
    const start = host.output().length;
    const fit = await page.$eval('#tool-fit', (b) => {
      const r = b.getBoundingClientRect();
      return { x: r.x + r.width / 2, y: r.y + r.height / 2 };
    });
    await page.mouse.move(fit.x, fit.y);
    await page.mouse.down();
    await page.mouse.move(mid.x, mid.y, { steps: 5 });
    await page.mouse.up();
    const corner = await pagePoint(page, 0.9, 0.9);
    await page.mouse.click(corner.x, corner.y);
    await host.waitFor(new RegExp(String.raw`input \('move', 1440, 900\)\s*\n` + record('left', true)));
    const after = host.output().slice(start);
    assert.ok(after.indexOf("'button'") > after.indexOf("('move', 1440, 900)"), after);
    assert.deepEqual(errors, []);
  });

  it('on a plain-http address the key is kept for the tab unless the computer is remembered', async () => {
    const context = await browser.createBrowserContext();
    const origin = `http://${MADE_UP}:${host.port}`;
    const key = pairingKeyText(host.key);
    const { page } = await openApp(DESKTOP, { origin, context });
    const kept = (p) => p.evaluate(() => [localStorage, sessionStorage].map((s) => JSON.parse(s.getItem('nimbrel.pairing') ?? 'null')?.k ?? null));
    assert.deepEqual(await kept(page), [null, key]);
    assert.equal(await page.$eval('#remember', (e) => e.hidden), false);
    assert.equal(await page.$eval('#remember-box', (e) => e.checked), false);
    assert.equal(await page.$eval('#remember .remember-risk', (e) => e.textContent), 'On a plain http address, a tampered page or any script on this address could read a remembered key.');
    await page.screenshot({ path: join(artifacts, 'web-desktop-http-remember.png') });
    // Another tab has no key: it asks for a link, offering to remember, unticked.
    const other = await context.newPage();
    await other.goto(`${origin}/`);
    await other.waitForSelector('#pair:not([hidden])');
    assert.deepEqual(await other.$eval('#pair-remember', (e) => [e.checked, e.closest('.remember').hidden]), [false, false]);
    await other.close();
    // Remembered: on the device, where a new tab finds it and connects.
    await page.bringToFront();
    await page.click('#remember-box');
    await page.waitForFunction(() => localStorage.getItem('nimbrel.pairing') !== null);
    assert.deepEqual(await kept(page), [key, null]);
    const again = await openApp(DESKTOP, { origin, context, fragment: '' });
    assert.equal(await again.page.$eval('#remember', (e) => e.hidden), true, 'nothing to ask once remembered');
    await again.page.close();
    // Unticked: gone from the device, kept for the tab.
    await page.bringToFront();
    await page.click('#remember-box');
    await page.waitForFunction(() => localStorage.getItem('nimbrel.pairing') === null);
    assert.deepEqual(await kept(page), [null, key]);
    await context.close();
  });

  it('a host that drops each session before a picture is asked again less and less often', async () => {
    const { page } = await openApp(DESKTOP);
    // Each new session's socket goes as soon as the session is set up, before any frame.
    await page.evaluate(() => {
      const app = window.nimbrelDebug.app;
      const reset = app.layers.reset.bind(app.layers);
      window.dropSessions = true;
      app.layers.reset = (options) => {
        reset(options);
        if (window.dropSessions) queueMicrotask(() => app.session?.ws.close());
      };
      app.session.ws.close();
    });
    // Delays of about 0.5, 1 and 2 s: the fourth failure in a row waits about 4 s.
    await page.waitForFunction(() => window.nimbrelDebug.app.attempt >= 4, { timeout: 15000 });
    await page.evaluate(() => {
      window.dropSessions = false;
    });
    await page.waitForFunction(
      () => {
        const app = window.nimbrelDebug.app;
        return app.session && app.layers.layers.full?.box && app.attempt === 0;
      },
      { timeout: 20000 },
    );
    await page.close();
  });

  it('comes back with the stored key, and a wrong key says so', async () => {
    const context = await browser.createBrowserContext();
    const first = await openApp(DESKTOP, { context });
    await first.page.close();
    const again = await openApp(DESKTOP, { context, fragment: '' });
    assert.ok(await again.page.evaluate(() => window.nimbrelDebug.app.layers.framesApplied > 0));
    const wrong = host.fragment.replace(/k=[^&]+/, 'k=' + 'A'.repeat(43));
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${host.port}/${wrong}`);
    await page.waitForFunction(() => document.getElementById('status-text').textContent.includes('Wrong pairing key'), { timeout: 15000 });
    await page.screenshot({ path: join(artifacts, 'web-desktop-wrong-key.png') });
  });
});

describe("a computer's keyboard", () => {
  let page;
  before(async () => {
    ({ page } = await openApp(DESKTOP));
  });

  it('AltGr characters reach the computer (Windows reports AltGr as Control and Alt)', async () => {
    await page.evaluate(() =>
      document.body.dispatchEvent(
        new KeyboardEvent('keydown', { key: '@', code: 'KeyQ', ctrlKey: true, altKey: true, modifierAltGraph: true, bubbles: true, cancelable: true }),
      ),
    );
    await host.waitFor(/input \('text', '@'\)/);
  });

  it('keys go to the computer again once the screen is clicked after a button of the bar', async () => {
    await page.click('#tool-fit');
    const at = await pagePoint(page, 0.5, 0.5);
    await page.mouse.click(at.x, at.y);
    await page.keyboard.press('KeyQ');
    await host.waitFor(/input \('text', 'q'\)/);
  });
});

describe('messages from the host', () => {
  it('malformed fields are ignored: the session stays up and the view keeps its numbers', async () => {
    const { page, errors } = await openApp(DESKTOP);
    const cases = [
      { t: 'info', monitors: [null, { i: 0, w: 1600, h: 1000 }], monitor: 0 },
      { t: 'info', monitors: [{ i: 0, w: 1e999, h: 1000 }], monitor: 0 },
      { t: 'info', monitors: [{ i: 0, w: 1600, h: 1e-320 }], monitor: 0 },
      { t: 'info', monitors: [7, 'x'], monitor: 0 },
      { t: 'cursor', x: 'left', y: null, vis: true },
      { t: 'cursor', x: 1e999, y: 0.5, vis: true },
    ];
    for (const m of cases) {
      const result = await page.evaluate((message) => {
        const app = window.nimbrelDebug.app;
        const session = app.session;
        try {
          app.onJson(message);
        } catch (e) {
          return { threw: e.message };
        }
        const l = app.layout;
        return { session: app.session === session, numbers: [app.aspect, l.ox, l.oy, l.dw, l.dh, app.pointer.x, app.pointer.y].every(Number.isFinite) };
      }, m);
      assert.deepEqual(result, { session: true, numbers: true }, JSON.stringify(m));
    }
    assert.deepEqual(errors, []);
  });
});

describe('across a reconnection', () => {
  it('a modifier latched on the key bar does not carry over to the new session', async () => {
    const { page } = await openApp(PHONE);
    await page.tap('#tool-keyboard');
    await page.waitForFunction(() => document.activeElement?.id === 'typing');
    await page.tap('[data-mod="alt"]');
    const first = await page.evaluate(() => {
      const app = window.nimbrelDebug.app;
      window.firstSession = app.session;
      app.session.ws.close(); // the network drops the connection
      return app.heldMods.size;
    });
    assert.equal(first, 1);
    await page.waitForFunction(() => {
      const app = window.nimbrelDebug.app;
      return app.session && app.session !== window.firstSession && app.state.phase === 'connected';
    });
    const client = await page.createCDPSession();
    await client.send('Input.insertText', { text: 'x' });
    const typed = await page.waitForFunction(() => window.nimbrelDebug.commandsSent.find((c) => c.s === 'x' || c.k === 'x'));
    assert.deepEqual(await typed.jsonValue(), { t: 'text', s: 'x' }, 'an x, not Alt+X');
    assert.equal(await page.$eval('[data-mod="alt"]', (b) => b.classList.contains('on')), false);
    await host.waitFor(/input \('text', 'x'\)/);
  });
});

describe('at a fractional pixel ratio', () => {
  it('the canvas has exactly the device pixels it covers, so nothing stretches it', async () => {
    // A real device scale factor: an emulated one does not change how pixels are laid out.
    const fractional = await puppeteer.launch({
      executablePath: chromium,
      headless: true,
      defaultViewport: null,
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--force-device-scale-factor=2.625', '--window-size=412,900'],
    });
    try {
      const page = await fractional.newPage();
      await page.goto(`http://127.0.0.1:${host.port}/${host.fragment}`);
      await page.waitForFunction(() => window.nimbrelDebug?.app.layers.framesApplied > 0 && document.getElementById('status').hidden);
      // A window here is a whole number of CSS pixels; a phone's is not (1080 device pixels at
      // 2.625 are 411.43 CSS pixels). Moving the stage's edge by a fraction gives the canvas such
      // a box, and changes nothing else.
      await page.evaluate(() => {
        document.getElementById('stage').style.left = '0.4px';
      });
      const sizes = await page.evaluate(
        () =>
          new Promise((resolve) => {
            const canvas = window.nimbrelDebug.app.canvas;
            const observer = new ResizeObserver((entries) => {
              const box = entries[0].devicePixelContentBoxSize[0];
              observer.disconnect();
              resolve({ ratio: devicePixelRatio, covered: [box.inlineSize, box.blockSize], backing: [canvas.width, canvas.height] });
            });
            observer.observe(canvas, { box: 'device-pixel-content-box' });
          }),
      );
      assert.equal(sizes.ratio, 2.625);
      assert.deepEqual(sizes.backing, sizes.covered);
      await page.screenshot({ path: join(artifacts, 'web-phone-fractional-ratio.png') });
    } finally {
      await fractional.close();
    }
  });
});
