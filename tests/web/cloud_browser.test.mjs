// The browser client served by nimbrel-cloud, in Debian's headless Chromium: a real service on
// loopback with its SQLite file, a real host in a dry run whose cloud link points at it and
// that was claimed into an account. The page signs in with the account token, lists the host,
// pairs once from a link's fragment, connects through a ticket and the relay, draws the
// synthetic screen and sends a tap that reaches the host; it reconnects with a fresh ticket,
// adds a second host from its pasted link's claim code once the person agrees, says when the
// token is wrong, when it has no key for a computer and when the computer is offline, and never
// sends a pairing key to the service. A link made to look like a paired computer's, carrying a
// stranger's key and claim code, claims nothing and replaces no key until the person agrees.
// Screenshots go to NIMBREL_ARTIFACTS.
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
const { startCloud } = await import(join(webDir, 'test/cloud_process.mjs'));
const { hexEncode, pairingKeyText } = await import(join(webDir, 'src/protocol/bytes.js'));

const PHONE = { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true };

// The synthetic screen's gradient at a normalised point (1600 x 1000 pixels).
const gradient = (x, y) => ({ r: 60, g: 30 + (90 * y * 1000) / 999, b: 40 + (160 * x * 1600) / 1599 });
const close = (p, q, tolerance = 14) => Math.abs(p.r - q.r) <= tolerance && Math.abs(p.g - q.g) <= tolerance && Math.abs(p.b - q.b) <= tolerance;

let cloud;
let host;
let second;
let browser;
let token;
let hostId;
let hostName;
let cloudLink;
before(async () => {
  mkdirSync(artifacts, { recursive: true });
  cloud = await startCloud();
  token = cloud.addAccount('ann');
  host = await startHost({ cloud: cloud.url });
  hostName = new URLSearchParams(host.fragment.slice(1)).get('n');
  const [, code] = await host.waitFor(/[?&]c=([A-Z0-9]{4}-[A-Z0-9]{4})/, 20000);
  hostId = cloud.claim(code, 'ann');
  await host.waitFor(/Reachable from anywhere through the Nimbrel relay\./, 30000);
  // The link the host prints for this browser app once it is in the account.
  [, cloudLink] = await host.waitFor(/From anywhere, in a browser[^\n]*\n\s+(\S*[#&]cid=\S+)/);
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--password-store=basic'],
  });
});
after(async () => {
  await browser?.close();
  host?.stop();
  second?.stop();
  cloud?.stop();
});

// Everything the page sends: request URLs, headers and bodies, WebSocket URLs and frames.
async function recordTraffic(page) {
  const sent = [];
  const cdp = await page.createCDPSession();
  await cdp.send('Network.enable');
  cdp.on('Network.requestWillBeSent', (e) => {
    // The fragment is reported beside the request but never sent.
    const { urlFragment, ...request } = e.request;
    sent.push({ kind: 'request', url: request.url, text: JSON.stringify(request) });
  });
  cdp.on('Network.webSocketCreated', (e) => sent.push({ kind: 'socket', url: e.url, text: e.url }));
  cdp.on('Network.webSocketWillSendHandshakeRequest', (e) => sent.push({ kind: 'upgrade', text: JSON.stringify(e.request) }));
  cdp.on('Network.webSocketFrameSent', (e) => sent.push({ kind: 'frame', text: e.response.payloadData }));
  return sent;
}

// Waits until the canvas shows a picture (a frame is drawn on the next animation frame after it
// was applied).
async function pictureDrawn(page) {
  await page.waitForFunction(() => {
    const app = window.nimbrelDebug.app;
    const l = app.layout;
    const dpr = app.canvas.width / app.viewW;
    const d = app.context.getImageData(Math.round((l.ox + l.dw / 2) * dpr), Math.round((l.oy + l.dh / 2) * dpr), 1, 1).data;
    return d[0] !== 16 || d[1] !== 20 || d[2] !== 24; // not the empty canvas's colour
  });
}

const visible = (page, id) => page.waitForFunction((i) => !document.getElementById(i).hidden, {}, id);
const textOf = (page, id) => page.$eval(`#${id}`, (e) => e.textContent);

describe('from Nimbrel Cloud on a phone', () => {
  let page;
  let traffic;
  before(async () => {
    const context = await browser.createBrowserContext();
    page = await context.newPage();
    await page.setViewport(PHONE);
    traffic = await recordTraffic(page);
    await page.goto(`${cloud.url}/`);
  });

  it('asks for the account token, and says so when it is wrong', async () => {
    await visible(page, 'signin');
    await page.type('#signin-token', 'not-the-token');
    await page.tap('#signin-submit');
    await visible(page, 'signin-error');
    assert.equal(await textOf(page, 'signin-error'), 'That account token was not accepted. Check that you pasted all of it.');
    assert.equal(await page.evaluate(() => localStorage.getItem('nimbrel.cloud.token')), null);
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-wrong-token.png') });
  });

  it("lists the account's computers once signed in, online, not paired here yet", async () => {
    await page.$eval('#signin-token', (e) => (e.value = ''));
    await page.type('#signin-token', token);
    await page.tap('#signin-submit');
    await page.waitForSelector(`button.host[data-id="${hostId}"]`);
    const row = await page.$eval(`button.host[data-id="${hostId}"]`, (b) => ({
      name: b.querySelector('.name').textContent,
      detail: b.querySelector('.detail').textContent,
      online: b.querySelector('.dot').classList.contains('online'),
    }));
    assert.deepEqual(row, { name: hostName, detail: 'Online · pair once to connect', online: true });
    assert.equal(await page.evaluate(() => localStorage.getItem('nimbrel.cloud.token')), token);
    // A secure page keeps keys on the device as it always has: no box to tick.
    assert.equal(await page.$eval('#keys-remember-row', (e) => e.hidden), true);
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-hosts.png') });
  });

  it('a computer without a key here asks to pair once', async () => {
    await page.tap(`button.host[data-id="${hostId}"]`);
    await visible(page, 'pair-once');
    assert.equal(await textOf(page, 'pair-once-title'), `Pair with ${hostName} once`);
    // A link of another computer is refused as such.
    const other = host.fragment.replace(/([?#&])id=[^&]+/, '$1id=someone-else').replace(/n=[^&]+/, 'n=Den').replace(/&cid=[^&]+/, '');
    await page.type('#pair-once-link', `http://192.0.2.1:7300/${other}`);
    await page.click('#pair-once button[type="submit"]');
    await visible(page, 'pair-once-error');
    assert.equal(await textOf(page, 'pair-once-error'), `That pairing link is for Den, not ${hostName}.`);
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-pair-once.png') });
    await page.tap('#pair-once-cancel');
    await visible(page, 'hosts');
  });

  it('pairs once from the fragment of a link to the service, and drops it from the address', async () => {
    // Opened afresh, as a link from elsewhere is.
    await page.goto('about:blank');
    assert.ok(cloudLink.startsWith(`${cloud.url}/#`), cloudLink);
    await page.goto(cloudLink);
    await page.waitForFunction(() => document.getElementById('hosts-note').textContent.startsWith('Paired with'));
    assert.equal(await page.evaluate(() => location.hash), '');
    assert.equal(await textOf(page, 'hosts-note'), `Paired with ${hostName}. Tap it to connect.`);
    const detail = await page.$eval(`button.host[data-id="${hostId}"] .detail`, (e) => e.textContent);
    assert.equal(detail, 'Online');
  });

  it('connects through a ticket and the relay, draws the synthetic screen, and a tap reaches the host', async () => {
    await page.tap(`button.host[data-id="${hostId}"]`);
    await page.waitForFunction(() => window.nimbrelDebug?.app.layers.framesApplied > 0 && document.getElementById('status').hidden, { timeout: 20000 });
    assert.ok(traffic.some((t) => t.kind === 'request' && t.url === `${cloud.url}/v1/hosts/${hostId}/ticket`));
    const sockets = traffic.filter((t) => t.kind === 'socket');
    assert.equal(sockets.length, 1);
    assert.match(sockets[0].url, new RegExp(`^ws://127\\.0\\.0\\.1:${cloud.port}/v2/client/${hostId}\\?ticket=`));
    await pictureDrawn(page);
    for (const [x, y] of [[0.5, 0.5], [0.9, 0.2], [0.3, 0.85]]) {
      const p = await pixelAt(page, x, y);
      assert.ok(close(p, gradient(x, y)), `at ${x},${y}: ${JSON.stringify(p)} vs ${JSON.stringify(gradient(x, y))}`);
    }
    assert.equal(await page.$eval('#tool-hosts', (b) => b.hidden), false);
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-connected.png') });

    const at = await page.evaluate(() => {
      const app = window.nimbrelDebug.app;
      const l = app.layout;
      const r = app.canvas.getBoundingClientRect();
      return { x: r.left + l.ox + 0.25 * l.dw, y: r.top + l.oy + 0.75 * l.dh };
    });
    await page.touchscreen.tap(at.x, at.y);
    const [, mx, my] = await host.waitFor(/input \('move', (\d+), (\d+)\)\s*\ninput \('button', 'left', True\)\s*\ninput \('button', 'left', False\)/);
    assert.ok(Math.abs(mx - 400) <= 6 && Math.abs(my - 750) <= 6, `clicked at ${mx}, ${my}`);
  });

  it('a lost relayed socket reconnects with a fresh ticket', async () => {
    // The socket goes as a network failure would take it: not through the app's own close.
    await page.evaluate(() => {
      window.lostSession = window.nimbrelDebug.app.session;
      window.lostSession.ws.close();
    });
    await page.waitForFunction(() => document.getElementById('status-text').textContent.includes('Trying again'));
    await page.waitForFunction(
      () => {
        const app = window.nimbrelDebug.app;
        // A picture of the new session (the last one stays on show until it comes).
        return app.session && app.session !== window.lostSession && app.layers.layers.full?.box && document.getElementById('status').hidden;
      },
      { timeout: 20000 },
    );
    const tickets = traffic.filter((t) => t.kind === 'socket').map((t) => new URL(t.url).searchParams.get('ticket'));
    assert.equal(tickets.length, 2);
    assert.notEqual(tickets[0], tickets[1]);
    await pictureDrawn(page);
    const p = await pixelAt(page, 0.6, 0.4);
    assert.ok(close(p, gradient(0.6, 0.4)), JSON.stringify(p));
  });

  it('adds a computer that waits with a claim code from its pasted link once asked, keeping its key', async () => {
    second = await startHost({ cloud: cloud.url, name: 'Attic' });
    const [, link] = await second.waitFor(/Browser link[^\n]*\n\s+(http:\/\/\S+&c=[A-Z0-9]{4}-[A-Z0-9]{4}\S*)/, 20000);
    await page.tap('#tool-hosts');
    await visible(page, 'hosts');
    await page.type('#add-link', link);
    await page.tap('#add-submit');
    await visible(page, 'link-question');
    assert.equal(await textOf(page, 'link-question-title'), 'Add “Attic” to your account?');
    assert.equal(await page.$eval('#link-question-warning', (e) => e.hidden), true, 'no key kept here is replaced');
    await page.tap('#link-question-accept');
    await page.waitForFunction(() => document.getElementById('hosts-note').textContent.startsWith('Added'));
    assert.equal(await textOf(page, 'hosts-note'), 'Added Attic to your account. Tap it to connect once it is online.');
    assert.equal(await page.$eval('#add-error', (e) => e.hidden), true);
    const names = await page.$$eval('button.host .name', (all) => all.map((n) => n.textContent));
    assert.deepEqual(names.sort(), ['Attic', hostName].sort());
    // The host learns of its claim by itself and comes online; the list says so when refreshed.
    await second.waitFor(/Reachable from anywhere through the Nimbrel relay\./, 30000);
    await page.tap('#hosts-refresh');
    await page.waitForFunction(() => [...document.querySelectorAll('button.host')].some((b) => b.querySelector('.name').textContent === 'Attic' && b.querySelector('.detail').textContent === 'Online'));
    assert.equal(await textOf(page, 'hosts-note'), 'Added Attic to your account. Tap it to connect.');
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-hosts-two.png') });
    // Its link again: the same key asks nothing more, the claim is asked again; the code was used.
    await page.type('#add-link', link);
    await page.tap('#add-submit');
    await visible(page, 'link-question');
    assert.equal(await page.$eval('#link-question-warning', (e) => e.hidden), true);
    await page.tap('#link-question-accept');
    await visible(page, 'add-error');
    assert.equal(await textOf(page, 'add-error'), 'The claim code in that link was used already.');
    // Back to the first computer.
    await page.tap(`button.host[data-id="${hostId}"]`);
    await page.waitForFunction(() => window.nimbrelDebug.app.session && document.getElementById('status').hidden, { timeout: 20000 });
    await pictureDrawn(page);
  });

  it('says when the computer goes offline, and goes back to the list', async () => {
    host.stop();
    await page.waitForFunction(() => document.getElementById('status-text').textContent.includes('is offline'), { timeout: 30000 });
    const status = await textOf(page, 'status-text');
    assert.match(status, new RegExp(`^${hostName} is offline: it is not connected to the relay\\. Trying again in \\d+ s…$`));
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-offline.png') });
    const back = await page.$$eval('#status-actions button', (buttons) => buttons.map((b) => b.textContent));
    assert.deepEqual(back, ['Try now', 'Computers']);
    await page.tap('#status-actions button:last-child');
    await page.waitForFunction((id) => document.querySelector(`button.host[data-id="${id}"] .dot:not(.online)`), {}, hostId);
    assert.equal(await page.$eval('#status', (e) => e.hidden), true);
    assert.match(await page.$eval(`button.host[data-id="${hostId}"] .detail`, (e) => e.textContent), /^Offline · last seen /);
  });

  it('a key the computer does not accept is said as such and asked for again', async () => {
    const wrong = 'A'.repeat(43);
    await page.evaluate((k) => {
      const all = JSON.parse(localStorage.getItem('nimbrel.keys'));
      for (const id of Object.keys(all)) if (all[id].name === 'Attic') all[id].k = k;
      localStorage.setItem('nimbrel.keys', JSON.stringify(all));
    }, wrong);
    const attic = await page.$$eval('button.host', (all) => all.find((b) => b.querySelector('.name').textContent === 'Attic').dataset.id);
    await page.tap(`button.host[data-id="${attic}"]`);
    await page.waitForFunction(() => document.getElementById('status-text').textContent.startsWith('Wrong pairing key'), { timeout: 20000 });
    assert.equal(await textOf(page, 'status-text'), 'Wrong pairing key: Attic did not accept it. Pair this browser with it again.');
    assert.deepEqual(await page.$$eval('#status-actions button', (b) => b.map((x) => x.textContent)), ['Pair again', 'Computers']);
    await page.tap('#status-actions button:first-child');
    await visible(page, 'pair-once');
    assert.equal(await textOf(page, 'pair-once-error'), 'Attic did not accept the key kept in this browser. Paste its current pairing link.');
    assert.ok(!(await page.evaluate(() => localStorage.getItem('nimbrel.keys'))).includes(wrong), 'the refused key is forgotten');
  });

  it('never sends the pairing key to the service', () => {
    const forms = [host.key, second.key].flatMap((key) => [pairingKeyText(key), hexEncode(key)]);
    assert.ok(traffic.length > 10, `recorded ${traffic.length} messages`);
    assert.ok(traffic.some((t) => t.kind === 'frame'), 'the handshake went through the relay');
    for (const t of traffic) {
      for (const form of forms) assert.ok(!t.text.includes(form), `the key in a ${t.kind}: ${t.text.slice(0, 200)}`);
    }
  });
});

describe('a link from someone else', () => {
  let page;
  let stranger;
  let attack;
  let strangerId;
  const deskId = () => new URLSearchParams(host.fragment.slice(1)).get('id');
  // The local ids of the account's computers, as the service lists them.
  const accountIds = async () => {
    const response = await fetch(`${cloud.url}/v1/hosts`, { headers: { Authorization: `Bearer ${token}` } });
    return (await response.json()).hosts.map((h) => h.local_id);
  };
  const keptKeys = () => page.evaluate(() => [localStorage.getItem('nimbrel.keys'), sessionStorage.getItem('nimbrel.keys')]);
  const deskKey = async () => JSON.parse((await keptKeys())[0])[deskId()]?.k;

  before(async () => {
    // A computer of someone else's, waiting with a claim code.
    stranger = await startHost({ cloud: cloud.url, name: 'Stranger' });
    const [, code] = await stranger.waitFor(/[?&]c=([A-Z0-9]{4}-[A-Z0-9]{4})/, 20000);
    strangerId = new URLSearchParams(stranger.fragment.slice(1)).get('id');
    // Their link dressed as the paired computer's: its id and name, their key and claim code.
    attack = `${cloud.url}/#v=1&id=${encodeURIComponent(deskId())}&n=${encodeURIComponent(hostName)}&k=${pairingKeyText(stranger.key)}&c=${code}`;
    const context = await browser.createBrowserContext();
    page = await context.newPage();
    await page.setViewport(PHONE);
    await page.goto(`${cloud.url}/`);
    await visible(page, 'signin');
    await page.type('#signin-token', token);
    await page.tap('#signin-submit');
    await page.waitForSelector(`button.host[data-id="${hostId}"]`);
    // Paired with the account's computer from its own link.
    await page.goto('about:blank');
    await page.goto(cloudLink);
    await page.waitForFunction(() => document.getElementById('hosts-note').textContent.startsWith('Paired with'));
    assert.equal(await deskKey(), pairingKeyText(host.key));
  });
  after(() => stranger?.stop());

  it('asks first, and cancelled it claims nothing and keeps the paired key', async () => {
    await page.goto('about:blank');
    await page.goto(attack);
    await visible(page, 'link-question');
    assert.equal(await page.evaluate(() => location.hash), '');
    assert.equal(await textOf(page, 'link-question-title'), `Add “${hostName}” to your account?`);
    assert.equal(await textOf(page, 'link-question-warning'), `This browser already has a different key for “${hostName}”: adding replaces it with the link's key.`);
    assert.deepEqual(await page.$$eval('#link-question button', (all) => all.map((b) => b.textContent)), ['Cancel', 'Add']);
    await page.screenshot({ path: join(artifacts, 'web-cloud-phone-link-question.png') });
    // While it asks, nothing of the link is claimed or kept.
    assert.ok(!(await accountIds()).includes(strangerId));
    assert.equal(await deskKey(), pairingKeyText(host.key));
    await page.tap('#link-question-cancel');
    await page.waitForFunction(() => document.getElementById('hosts-note').textContent === 'Nothing was added or changed from that link.');
    assert.ok(!(await accountIds()).includes(strangerId));
    assert.equal(await deskKey(), pairingKeyText(host.key));
    assert.ok(!JSON.stringify(await keptKeys()).includes(pairingKeyText(stranger.key)), 'no key of the link is kept anywhere');
  });

  it('agreed to, it claims the computer and replaces the key', async () => {
    await page.goto('about:blank');
    await page.goto(attack);
    await visible(page, 'link-question');
    await page.tap('#link-question-accept');
    await page.waitForFunction(() => document.getElementById('hosts-note').textContent.startsWith('Added'));
    assert.ok((await accountIds()).includes(strangerId));
    assert.equal(await deskKey(), pairingKeyText(stranger.key));
  });
});
