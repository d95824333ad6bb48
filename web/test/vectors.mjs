// The host's own protocol code run on fixed inputs (tests/web/protocol_vectors.cpp), so these
// tests hold the browser client to the bytes the host makes, not to values copied by hand.
import { execFileSync } from 'node:child_process';

export function hostVectors() {
  const tool = process.env.NIMBREL_PROTOCOL_VECTORS;
  if (!tool) return null;
  return JSON.parse(execFileSync(tool, { encoding: 'utf8' }));
}

export const vectorsMissing = 'NIMBREL_PROTOCOL_VECTORS names no vector tool (ctest sets it)';
