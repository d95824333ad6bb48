// When to try again after a session failed: a state machine without I/O. Wrong keys, version
// mismatches, and through the cloud a refused account token, a computer gone from the account
// or access revoked are not retried (they need the person); everything else is, with back-off
// from half a second to ten seconds and some jitter so that many tabs do not knock in step.

const FINAL = new Set(['auth', 'version', 'impostor', 'token', 'gone', 'revoked']);

export function shouldRetry(error) {
  return !FINAL.has(error?.code);
}

// Seconds to wait before attempt `attempt` (0 for the first retry); `random` in [0, 1).
// `retryAfter`, when the service asked for a pause, is the least wait.
export function retryDelay(attempt, random, retryAfter = 0) {
  const base = Math.min(10, 0.5 * 2 ** Math.max(0, attempt));
  return Math.max(base * (0.8 + 0.4 * random), retryAfter);
}
