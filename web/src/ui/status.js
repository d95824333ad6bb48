// What the status line says for a connection state, as a pure function (tested under node).
//   state: { phase: 'pairing' | 'connecting' | 'connected' | 'waiting' | 'failed',
//            name, error: { code, message }, retryIn (seconds), attempt }
// Returns { text, tone: 'info' | 'error', actions: ['retry' | 'repair'] } or null when nothing
// needs saying.

export function statusFor(state) {
  const who = state.name ? state.name : 'your computer';
  switch (state.phase) {
    case 'connecting':
      return { text: state.attempt > 0 ? `Reconnecting to ${who}…` : `Connecting to ${who}…`, tone: 'info', actions: [] };
    case 'waiting': {
      const seconds = Math.max(1, Math.ceil(state.retryIn));
      const why = state.error?.code === 'unreachable' ? `Can't reach ${who}.` : 'The connection was lost.';
      return { text: `${why} Trying again in ${seconds} s…`, tone: 'error', actions: ['retry'] };
    }
    case 'failed':
      if (state.error?.code === 'auth') {
        return { text: `Wrong pairing key: ${who} did not accept it. Open the browser link it shows to pair again.`, tone: 'error', actions: ['repair'] };
      }
      return { text: state.error?.message ?? 'Something went wrong.', tone: 'error', actions: ['retry', 'repair'] };
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
