// browser_frame_rate and browser_latency: the browser client in headless Chromium against the
// host in a dry run whose synthetic screen changes every frame (the pointer, drawn as a square,
// moves 60 times a second), next to nimbrel-client on the same host in the same run.
//
//   node bench/browser_bench.mjs HOST_BINARY CLIENT_BINARY [SECONDS]
//
// browser_frame_rate: frames the page received and drew per second (each acknowledged once in
// its layer), and the host's own "stats" fps for the session. browser_latency: from sending a
// move to the first patch drawn after it (p50, p95), and the ping round trip. nimbrel-client:
// the host's fps for its session, its ping round trip, and the same move-to-patch measure.
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const [hostBinary, clientBinary, secondsText = '6'] = process.argv.slice(2);
const seconds = Number(secondsText);
process.env.NIMBREL_HOST_BINARY = hostBinary;
const { startHost } = await import(join(root, 'web/test/host_process.mjs'));
const puppeteer = createRequire(join(root, 'web/package.json'))('puppeteer-core');

const percentile = (values, p) => {
  if (!values.length) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
};
const median = (values) => percentile(values, 50);

async function runBrowser(host) {
  const browser = await puppeteer.launch({ executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium', headless: true, args: ['--no-sandbox'] });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(`http://127.0.0.1:${host.port}/${host.fragment}`);
    await page.waitForFunction(() => window.nimbrelDebug?.app.layers.framesApplied > 0);
    return await page.evaluate(async (ms) => {
      const app = window.nimbrelDebug.app;
      const layers = app.layers;
      const hostFps = [];
      const pings = [];
      const latencies = [];
      const onJson = app.onJson.bind(app);
      app.onJson = (m) => {
        if (m.t === 'stats') hostFps.push(m.fps);
        if (m.t === 'pong' && typeof m.ts === 'number') pings.push(performance.now() - m.ts);
        onJson(m);
      };
      // Time from each move to the first patch drawn after it.
      let pendingMove = null;
      const apply = layers.apply.bind(layers);
      layers.apply = (frame, bitmaps) => {
        apply(frame, bitmaps);
        if (frame.type === 'patch' && pendingMove !== null) {
          latencies.push(performance.now() - pendingMove);
          pendingMove = null;
        }
      };
      const start = performance.now();
      const firstApplied = layers.framesApplied;
      let step = 0;
      const mover = setInterval(() => {
        step++;
        const x = 0.1 + 0.8 * ((step * 0.013) % 1);
        const y = 0.2 + 0.6 * ((step * 0.007) % 1);
        if (pendingMove === null) pendingMove = performance.now();
        app.send({ t: 'move', x, y });
      }, 1000 / 60);
      const pinger = setInterval(() => app.send({ t: 'ping', ts: performance.now() }), 500);
      await new Promise((resolve) => setTimeout(resolve, ms));
      clearInterval(mover);
      clearInterval(pinger);
      const elapsed = (performance.now() - start) / 1000;
      return { drawnFps: (layers.framesApplied - firstApplied) / elapsed, hostFps, pings, latencies };
    }, seconds * 1000);
  } finally {
    await browser.close();
  }
}

function runClient(host) {
  return new Promise((resolve, reject) => {
    const key = new URLSearchParams(host.fragment.slice(1)).get('k');
    // The client moves the pointer itself, 60 times a second along the browser's path, and
    // times each move to the first patch it has decoded and applied after it.
    const child = spawn(clientBinary, ['--host', '127.0.0.1', '--port', String(host.port), '--key', key, '--stats', '--latency', '--move-latency', '--seconds', String(seconds)], {
      stdio: ['ignore', 'pipe', 'inherit'],
    });
    let out = '';
    child.stdout.on('data', (d) => (out += d));
    child.on('error', reject);
    child.on('exit', (code, signal) => {
      if (code !== 0) console.error(`nimbrel-client ended with ${signal ?? 'status ' + code}: its figures are missing`);
      const hostFps = [...out.matchAll(/"fps":([\d.]+)/g)].map((m) => Number(m[1]));
      const pings = [...out.matchAll(/latency ([\d.]+) ms/g)].map((m) => Number(m[1]));
      const moves = out.match(/move-to-patch p50 ([\d.]+) ms p95 ([\d.]+) ms/);
      resolve({ hostFps, pings, moveP50: moves ? Number(moves[1]) : NaN, moveP95: moves ? Number(moves[2]) : NaN });
    });
  });
}

const host = await startHost();
try {
  const client = await runClient(host);
  const browser = await runBrowser(host);
  // The first second ramps up: the figures are taken from the seconds after it.
  const steady = (list) => list.slice(1);
  const row = (name, value, unit) => console.log(`${name.padEnd(40)} ${Number.isFinite(value) ? value.toFixed(1).padStart(8) : '     n/a'} ${unit}`);
  console.log(`browser client against nimbrel-client, ${seconds} s each, a screen change every 1/60 s`);
  row('browser_frame_rate drawn', browser.drawnFps, 'fps');
  row('browser_frame_rate host sent (p50)', median(steady(browser.hostFps)), 'fps');
  row('nimbrel-client host sent (p50)', median(steady(client.hostFps)), 'fps');
  row('browser_latency move to patch drawn p50', median(browser.latencies), 'ms');
  row('browser_latency move to patch drawn p95', percentile(browser.latencies, 95), 'ms');
  row('nimbrel-client move to patch applied p50', client.moveP50, 'ms');
  row('nimbrel-client move to patch applied p95', client.moveP95, 'ms');
  const gap = median(browser.latencies) - client.moveP50;
  console.log(`browser_latency p50 minus nimbrel-client p50: ${gap.toFixed(1)} ms (goal: at most 5 ms)`);
  row('browser_latency ping p50', median(browser.pings), 'ms');
  row('nimbrel-client ping p50', median(client.pings), 'ms');
} finally {
  host.stop();
}
