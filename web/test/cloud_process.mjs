// The nimbrel-cloud binary on a free loopback port with its own SQLite file, for the tests of
// the browser client: its command line to make accounts and claim hosts, and its log to wait on.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const cloudBinary = process.env.NIMBREL_CLOUD_BINARY;

// Resolves with the first match of `pattern` in the text `read()` returns, re-checked whenever
// `subscribe` reports new output; rejects after `timeoutMs`.
function outputWaiter(read, label) {
  const waiters = new Set();
  const notify = () => {
    for (const w of [...waiters]) w();
  };
  const waitFor = (pattern, timeoutMs = 10000) =>
    new Promise((resolve, reject) => {
      const check = () => {
        const match = read().match(pattern);
        if (!match) return;
        waiters.delete(check);
        clearTimeout(timer);
        resolve(match);
      };
      const timer = setTimeout(() => {
        waiters.delete(check);
        reject(new Error(`no ${pattern} in the output of ${label}:\n${read()}`));
      }, timeoutMs);
      waiters.add(check);
      check();
    });
  return { notify, waitFor };
}

export async function startCloud() {
  const data = mkdtempSync(join(tmpdir(), 'nimbrel-cloud-web-'));
  // --insecure is not needed on loopback; given anyway, as a service behind a proxy would be.
  const child = spawn(cloudBinary, ['serve', '--data', data, '--listen', '127.0.0.1:0', '--insecure'], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let output = '';
  const waiter = outputWaiter(() => output, 'nimbrel-cloud');
  for (const stream of [child.stdout, child.stderr]) {
    stream.on('data', (chunk) => {
      output += chunk;
      waiter.notify();
    });
  }
  const [, port] = await waiter.waitFor(/listening on 127\.0\.0\.1:(\d+)/);
  const run = (args) => {
    const result = spawnSync(cloudBinary, [...args, '--data', data], { encoding: 'utf8', timeout: 20000 });
    if (result.status !== 0) throw new Error(`nimbrel-cloud ${args.join(' ')} failed:\n${result.stdout}${result.stderr}`);
    return result.stdout;
  };
  return {
    port: Number(port),
    url: `http://127.0.0.1:${port}`,
    output: () => output,
    waitFor: waiter.waitFor,
    // A new account; its token.
    addAccount(name) {
      const out = run(['account', 'add', name, '--email', `${name}@example.org`]);
      return out.trim().split('\n').at(-1).trim();
    },
    // Claims a claim code into an account; the host's cloud id.
    claim(code, account) {
      const out = run(['claim', code, '--account', account]);
      return out.match(/Claimed (\S+)/)[1];
    },
    stop() {
      child.kill('SIGTERM');
      rmSync(data, { recursive: true, force: true });
    },
  };
}

export { outputWaiter };
