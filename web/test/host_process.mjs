// The host binary in a dry run (synthetic screen, recorded input) on a free loopback port, for
// the tests of the browser client.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { parsePairingKey } from '../src/protocol/bytes.js';

const hostBinary = process.env.NIMBREL_HOST_BINARY;

function freePort() {
  return new Promise((resolve) => {
    const server = createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Starts the host on a free port; resolves once it printed its browser link. With `cloud` (the
// service's URL) the host's cloud link points there; otherwise cloud use is off. `name`: the
// host's name instead of the machine's.
export async function startHost({ cloud, name } = {}) {
  const port = await freePort();
  const home = mkdtempSync(join(tmpdir(), 'nimbrel-web-'));
  const cloudArgs = [...(cloud ? ['--api', cloud] : ['--no-cloud']), ...(name ? ['--name', name] : [])];
  const child = spawn(
    hostBinary,
    ['--headless', '--dry-run', ...cloudArgs, '--no-bonjour', '--synthetic', 'cursor', '--home', join(home, 'data'), '--port', String(port)],
    { env: { ...process.env, HOME: home }, stdio: ['ignore', 'pipe', 'pipe'] },
  );
  // Standard error joins the output (read, so that a full pipe never stops the host), and so
  // does the host's end: a test waiting for a line then says why it never came.
  let output = '';
  const waiters = [];
  const append = (text) => {
    output += text;
    for (const w of [...waiters]) w();
  };
  child.stdout.on('data', append);
  child.stderr.on('data', append);
  child.on('exit', (code, signal) => append(`\n[the host exited: ${signal ?? `status ${code}`}]\n`));
  const waitFor = (pattern, timeoutMs = 10000) =>
    new Promise((resolve, reject) => {
      const check = () => {
        const match = output.match(pattern);
        if (!match) return;
        waiters.splice(waiters.indexOf(check), 1);
        clearTimeout(timer);
        resolve(match);
      };
      const timer = setTimeout(() => {
        waiters.splice(waiters.indexOf(check), 1);
        reject(new Error(`no ${pattern} in the host's output:\n${output}`));
      }, timeoutMs);
      waiters.push(check);
      check();
    });
  const [, link] = await waitFor(/Browser link[^\n]*\n\s+(http:\/\/\S+)/);
  const url = new URL(link);
  const fragment = new URLSearchParams(url.hash.slice(1));
  return {
    child,
    port,
    fragment: url.hash,
    key: parsePairingKey(fragment.get('k')),
    output: () => output,
    waitFor,
    stop() {
      child.kill('SIGTERM');
      rmSync(home, { recursive: true, force: true });
    },
  };
}

