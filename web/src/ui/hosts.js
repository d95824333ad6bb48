// The account's computers as the list shows them, as pure functions (tested under node).

export function lastSeenText(lastSeen, now) {
  if (!(lastSeen > 0)) return '';
  const ago = Math.max(0, now - lastSeen);
  if (ago < 60) return 'just now';
  if (ago < 3600) return `${Math.floor(ago / 60)} min ago`;
  if (ago < 86400) return `${Math.floor(ago / 3600)} h ago`;
  const days = Math.floor(ago / 86400);
  return days === 1 ? 'yesterday' : `${days} days ago`;
}

// Rows for `hosts` (parseHosts) given which have a key here (`paired(host)`) and the time
// (seconds since the epoch): online computers first, then by name.
//   { id, name, online, paired, detail }
export function hostRows(hosts, paired, now) {
  const rows = hosts.map((h) => {
    const seen = lastSeenText(h.lastSeen, now);
    const parts = [h.online ? 'Online' : seen ? `Offline · last seen ${seen}` : 'Offline'];
    const hasKey = paired(h);
    if (!hasKey) parts.push('pair once to connect');
    return { id: h.id, name: h.name, online: h.online, paired: hasKey, detail: parts.join(' · ') };
  });
  return rows.sort((a, b) => Number(b.online) - Number(a.online) || a.name.localeCompare(b.name));
}

// What the list says above its rows. `justPaired`: { name, listed, added, online } after a
// pairing link was taken on this page (added: its claim code put the computer in the account;
// online: the computer is).
export function listNote(rows, justPaired) {
  const name = justPaired?.name || 'your computer';
  if (justPaired?.added && justPaired.listed) return `Added ${name} to your account. Tap it to connect${justPaired.online ? '' : ' once it is online'}.`;
  if (justPaired?.listed) return `Paired with ${name}. Tap it to connect.`;
  if (justPaired) return `The key for ${name} is kept in this browser, but the computer is not in this account.`;
  if (rows.length === 0) return "No computers in this account yet. Paste a computer's pairing link below to add it.";
  return '';
}
