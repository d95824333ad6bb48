// What the status line says for a connection state, as a pure function (tested under node).
//   state: { phase: 'pairing' | 'connecting' | 'connected' | 'waiting' | 'failed',
//            name, error: { code, message }, retryIn (seconds), attempt,
//            cloud (true when the session goes through the relay of Nimbrel Cloud) }
// Returns { text, tone: 'info' | 'error', actions: ['retry' | 'repair' | 'hosts'] } or null when
// nothing needs saying. "hosts" goes back to the account's list of computers.

function waitingReason(code, who, cloud) {
  switch (code) {
    case 'unreachable':
      return cloud ? "Can't reach the relay of Nimbrel Cloud." : `Can't reach ${who}.`;
    case 'unavailable':
      return "Can't reach Nimbrel Cloud.";
    case 'offline':
      return `${who} is offline: it is not connected to the relay.`;
    case 'noanswer':
      return `${who} did not answer through the relay.`;
    case 'busy':
      return `Too many remote sessions are open on ${who}.`;
    case 'rate':
      return 'Nimbrel Cloud asks to wait a little.';
    default:
      return 'The connection was lost.';
  }
}

export function statusFor(state) {
  const who = state.name ? state.name : 'your computer';
  const back = state.cloud ? ['hosts'] : [];
  switch (state.phase) {
    case 'connecting':
      return { text: state.attempt > 0 ? `Reconnecting to ${who}…` : `Connecting to ${who}…`, tone: 'info', actions: back };
    case 'waiting': {
      const seconds = Math.max(1, Math.ceil(state.retryIn));
      const why = waitingReason(state.error?.code, who, state.cloud);
      return { text: `${why} Trying again in ${seconds} s…`, tone: 'error', actions: ['retry', ...back] };
    }
    case 'failed':
      switch (state.error?.code) {
        case 'auth':
          return state.cloud
            ? { text: `Wrong pairing key: ${who} did not accept it. Pair this browser with it again.`, tone: 'error', actions: ['repair', ...back] }
            : { text: `Wrong pairing key: ${who} did not accept it. Open the browser link it shows to pair again.`, tone: 'error', actions: ['repair'] };
        case 'revoked':
          return { text: `Access to ${who} was revoked: it left the account or was removed.`, tone: 'error', actions: back };
        case 'gone':
          return { text: `${who} is no longer in your account.`, tone: 'error', actions: back };
        default:
          return { text: state.error?.message ?? 'Something went wrong.', tone: 'error', actions: ['retry', state.cloud ? 'hosts' : 'repair'] };
      }
    default:
      return null;
  }
}

export function statsText({ fps, kbps, rtt, ping, drawn }) {
  const parts = [`${drawn.toFixed(0)} fps drawn`];
  if (fps !== undefined) parts.push(`${fps} fps sent`);
  if (kbps !== undefined) parts.push(`${(kbps / 1000).toFixed(1)} Mb/s`);
  if (rtt !== undefined) parts.push(`frame rtt ${rtt} ms`);
  if (ping !== undefined) parts.push(`ping ${ping.toFixed(0)} ms`);
  return parts.join('\n');
}
