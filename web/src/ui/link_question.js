// What the cloud page asks before it takes a pairing link that would add a computer to the
// account or replace a key kept here (linkDecision in protocol/keys.js), as a pure function.
// Whoever sends a link chooses everything in it, the name included: a link that is not from the
// person's own computer could put someone else's computer in their list under a familiar name,
// and what they type on it would go there.
//   Returns { title, text, warning, accept }: warning is '' unless a kept key would go.

const quoted = (name) => `“${name}”`;

export function linkQuestion(pairing, decision) {
  const name = pairing.name ? quoted(pairing.name) : 'this computer';
  const oldNames = [...new Set(decision.replaces.map((r) => r.name || pairing.name).filter(Boolean))];
  const old = oldNames.length ? oldNames.map(quoted).join(' and ') : 'this computer';
  const warning = decision.replaces.length
    ? `This browser already has a different key for ${old}: ${decision.claim ? "adding replaces it with the link's key" : "the link's key would replace it"}.`
    : '';
  if (decision.claim) {
    return {
      title: `Add ${name} to your account?`,
      text: 'Only add links that your own computer showed you. A link from anyone else would put their computer in your list, and what you type on it would reach them.',
      warning,
      accept: 'Add',
    };
  }
  return {
    title: `Replace the key for ${old}?`,
    text: 'Only replace it if you paired that computer again and this link came from it. A link from anyone else could take you to their computer instead of yours.',
    warning,
    accept: 'Replace key',
  };
}
