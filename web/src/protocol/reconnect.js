// When to try again after a session failed: a state machine without I/O. Wrong keys and
// version mismatches are not retried (they need the person); everything else is, with back-off
// from half a second to ten seconds and some jitter so that many tabs do not knock in step.

const FINAL = new Set(['auth', 'version', 'impostor']);

export function shouldRetry(error) {
  return !FINAL.has(error?.code);
}

// Seconds to wait before attempt `attempt` (0 for the first retry); `random` in [0, 1).
export function retryDelay(attempt, random) {
  const base = Math.min(10, 0.5 * 2 ** Math.max(0, attempt));
  return base * (0.8 + 0.4 * random);
}
