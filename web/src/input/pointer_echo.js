// In trackpad mode the app moves the computer's pointer and the computer reports where it is.
// A report can describe a move that was sent earlier, while later moves are still on their way:
// taking it would throw the pointer back to where it was a moment ago. So after a move, reports
// are set aside until one shows that the computer has caught up with the last move sent (within
// the given tolerance), or until `settleMs` has passed without one (the computer may keep the
// pointer elsewhere). A report that catches up leaves the app's own position as it is, which
// keeps the fraction of a pixel a stroke may end on.
export class PointerEcho {
  constructor({ settleMs = 1000 } = {}) {
    this.settleMs = settleMs;
    this.awaited = null;
  }

  sent(x, y, now) {
    this.awaited = { x, y, at: now };
  }

  // Whether a report of the pointer at (x, y) should replace the app's own position.
  take(x, y, now, tolerance) {
    const a = this.awaited;
    if (!a) return true;
    if (Math.abs(x - a.x) <= tolerance.x && Math.abs(y - a.y) <= tolerance.y) {
      this.awaited = null;
      return false;
    }
    if (now - a.at < this.settleMs) return false;
    this.awaited = null;
    return true;
  }

  forget() {
    this.awaited = null;
  }
}
