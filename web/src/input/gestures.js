// Touch gestures as a state machine fed pointer events; it knows nothing of the page, the
// screen or the pointer mode, so every rule is testable without a browser. Events:
//   down(id, x, y, t)  move(id, x, y, t)  up(id, x, y, t)  cancel()  tick(t)
// (window CSS pixels, milliseconds). It calls `emit` with actions:
//   { type: 'tap', x, y, count }          a short touch; count 2 for a second tap close by
//                                          (see waitsForDoubleTap below)
//   { type: 'hold', x, y }                 held still long enough: a long press is under way
//   { type: 'longTap', x, y }              a long press let go without moving (right click)
//   { type: 'dragStart' | 'dragMove' | 'dragEnd', x, y }   moved after a long press
//   { type: 'swipe', x, y, dx, dy }        one finger moving (before any long press)
//   { type: 'swipeEnd', vx, vy }           px/ms at release, for momentum
//   { type: 'pinch', factor, x, y, dx, dy }   two fingers spreading: zoom by factor about (x, y)
//                                             and move by (dx, dy)
//   { type: 'scroll', dx, dy }             two fingers moving together (finger motion)
//   { type: 'scrollEnd', vx, vy }
//   { type: 'twoFingerTap', x, y }         two fingers down and up quickly without moving
//   { type: 'pinchEnd' }

export const TUNING = {
  slop: 10, // px a finger may wander and still tap
  holdMs: 450, // a touch held this long without moving is a long press
  doubleTapMs: 350, // a second tap within this time…
  doubleTapDistance: 40, // …and this distance is a double tap
  twoFingerTapMs: 300,
  pinchThreshold: 0.08, // relative change in finger distance that makes two fingers a pinch
  scrollThreshold: 12, // px two fingers move together before they scroll
};

// waitsForDoubleTap(x, y): whether a double tap starting with a tap there would do something
// other than two clicks (the page zooms). Such a tap is held back until the double-tap time has
// passed (a tick), another gesture begins or a finger lands elsewhere, and then emitted as a
// tap; a second tap in time emits only the double tap, so the first never clicks on its own.
// Where a double tap is a double click, taps go out at once.
export class Gestures {
  constructor(emit, tuning = TUNING, { waitsForDoubleTap = () => false } = {}) {
    this.emit = emit;
    this.tuning = tuning;
    this.waitsForDoubleTap = waitsForDoubleTap;
    this.points = new Map(); // id -> {x, y, x0, y0, t0}
    this.state = 'idle';
    this.lastTap = null; // {x, y, t}
    this.heldTap = null; // {x, y, t}: a tap waiting to see whether a second one follows
    this.velocity = { vx: 0, vy: 0, t: 0 };
  }

  // Emits the tap held back for a possible double tap, if any.
  releaseTap() {
    if (!this.heldTap) return;
    const { x, y } = this.heldTap;
    this.heldTap = null;
    this.emit({ type: 'tap', x, y, count: 1 });
  }

  down(id, x, y, t) {
    const held = this.heldTap;
    if (held && (this.points.size > 0 || t - held.t >= this.tuning.doubleTapMs || Math.hypot(x - held.x, y - held.y) >= this.tuning.doubleTapDistance)) {
      this.releaseTap(); // this touch cannot be its second tap
    }
    this.points.set(id, { x, y, x0: x, y0: y, t0: t });
    if (this.points.size === 1) {
      this.state = 'touch';
      this.start = { x, y, t };
      this.velocity = { vx: 0, vy: 0, t };
    } else if (this.points.size === 2) {
      if (this.state === 'drag') this.emit({ type: 'dragEnd', x: this.start.x, y: this.start.y });
      if (this.state === 'swipe') this.emit({ type: 'swipeEnd', vx: 0, vy: 0 });
      this.state = 'two';
      this.twoStart = { t, ...this.pair() };
      this.twoLast = this.twoStart;
      this.twoMoved = false;
    } else {
      this.state = 'ignored'; // three fingers: wait until all are lifted
    }
  }

  pair() {
    const [a, b] = [...this.points.values()];
    return { cx: (a.x + b.x) / 2, cy: (a.y + b.y) / 2, d: Math.max(1, Math.hypot(a.x - b.x, a.y - b.y)) };
  }

  move(id, x, y, t) {
    const p = this.points.get(id);
    if (!p) return;
    const px = p.x;
    const py = p.y;
    p.x = x;
    p.y = y;
    const { slop } = this.tuning;
    switch (this.state) {
      case 'touch':
        if (Math.hypot(x - p.x0, y - p.y0) > slop) {
          this.releaseTap();
          this.state = 'swipe';
          this.track(x - p.x0, y - p.y0, t);
          this.emit({ type: 'swipe', x, y, dx: x - p.x0, dy: y - p.y0 });
        }
        break;
      case 'swipe':
        this.track(x - px, y - py, t);
        this.emit({ type: 'swipe', x, y, dx: x - px, dy: y - py });
        break;
      case 'held':
        if (Math.hypot(x - p.x0, y - p.y0) > slop) {
          this.state = 'drag';
          this.emit({ type: 'dragStart', x: p.x0, y: p.y0 });
          this.emit({ type: 'dragMove', x, y });
        }
        break;
      case 'drag':
        this.emit({ type: 'dragMove', x, y });
        break;
      case 'two':
      case 'pinch':
      case 'scroll':
        this.moveTwo(t);
        break;
      default:
    }
  }

  moveTwo(t) {
    const now = this.pair();
    const last = this.twoLast;
    if (this.state === 'two') {
      const spread = Math.abs(now.d / this.twoStart.d - 1);
      const travel = Math.hypot(now.cx - this.twoStart.cx, now.cy - this.twoStart.cy);
      if (spread > this.tuning.pinchThreshold) this.state = 'pinch';
      else if (travel > this.tuning.scrollThreshold) {
        this.state = 'scroll';
        this.velocity = { vx: 0, vy: 0, t };
      } else return;
      this.twoMoved = true;
      // The first step covers everything since the fingers landed.
      this.emitTwo(this.twoStart, now, t);
    } else {
      this.emitTwo(last, now, t);
    }
    this.twoLast = now;
  }

  emitTwo(from, to, t) {
    if (this.state === 'pinch') {
      this.emit({ type: 'pinch', factor: to.d / from.d, x: from.cx, y: from.cy, dx: to.cx - from.cx, dy: to.cy - from.cy });
    } else {
      this.track(to.cx - from.cx, to.cy - from.cy, t);
      this.emit({ type: 'scroll', dx: to.cx - from.cx, dy: to.cy - from.cy });
    }
  }

  // Velocity as a decaying average of recent motion, in px/ms.
  track(dx, dy, t) {
    const dt = Math.max(1, t - this.velocity.t);
    const k = Math.min(1, dt / 60);
    this.velocity = { vx: this.velocity.vx * (1 - k) + (dx / dt) * k, vy: this.velocity.vy * (1 - k) + (dy / dt) * k, t };
  }

  up(id, x, y, t) {
    const p = this.points.get(id);
    if (!p) return;
    if (x !== undefined && (x !== p.x || y !== p.y)) this.move(id, x, y, t);
    this.points.delete(id);
    const stale = t - this.velocity.t > 80; // the finger stopped before letting go
    const v = stale ? { vx: 0, vy: 0 } : { vx: this.velocity.vx, vy: this.velocity.vy };
    switch (this.state) {
      case 'touch': {
        const last = this.lastTap;
        const double =
          last && t - last.t < this.tuning.doubleTapMs && Math.hypot(p.x0 - last.x, p.y0 - last.y) < this.tuning.doubleTapDistance;
        const count = double ? 2 : 1;
        if (double) this.heldTap = null; // the double tap takes the place of the first
        else this.releaseTap();
        this.lastTap = double ? null : { x: p.x0, y: p.y0, t };
        if (!double && this.waitsForDoubleTap(p.x0, p.y0)) this.heldTap = { x: p.x0, y: p.y0, t };
        else this.emit({ type: 'tap', x: p.x0, y: p.y0, count });
        this.state = 'idle';
        break;
      }
      case 'held':
        this.emit({ type: 'longTap', x: p.x0, y: p.y0 });
        this.state = 'idle';
        break;
      case 'drag':
        this.emit({ type: 'dragEnd', x: p.x, y: p.y });
        this.state = 'idle';
        break;
      case 'swipe':
        this.emit({ type: 'swipeEnd', ...v });
        this.state = 'idle';
        break;
      case 'two':
        if (t - this.twoStart.t < this.tuning.twoFingerTapMs && !this.twoMoved) {
          this.emit({ type: 'twoFingerTap', x: this.twoStart.cx, y: this.twoStart.cy });
        }
        this.state = 'lifting';
        break;
      case 'pinch':
        this.emit({ type: 'pinchEnd' });
        this.state = 'lifting';
        break;
      case 'scroll':
        this.emit({ type: 'scrollEnd', ...v });
        this.state = 'lifting';
        break;
      default:
    }
    if (this.points.size === 0) this.state = 'idle';
  }

  cancel() {
    this.releaseTap();
    if (this.state === 'drag') this.emit({ type: 'dragEnd', x: this.start.x, y: this.start.y });
    // A swipe the browser took away ends where it stopped, without momentum.
    if (this.state === 'swipe') this.emit({ type: 'swipeEnd', vx: 0, vy: 0 });
    if (this.state === 'pinch') this.emit({ type: 'pinchEnd' });
    this.points.clear();
    this.state = 'idle';
  }

  // Called by a timer while a finger is down, and once a held tap is due: turns a still touch
  // into a long press, and lets a held tap go once no second tap can follow in time.
  tick(t) {
    if (this.heldTap && t - this.heldTap.t >= this.tuning.doubleTapMs) this.releaseTap();
    if (this.state === 'touch' && t - this.start.t >= this.tuning.holdMs) {
      this.releaseTap();
      this.state = 'held';
      this.lastTap = null;
      this.emit({ type: 'hold', x: this.start.x, y: this.start.y });
    }
  }

  // When the next tick is due (for the page's timer), or null.
  get holdDue() {
    return this.state === 'touch' ? this.start.t + this.tuning.holdMs : null;
  }

  // When a held tap is due to be let go (for the page's timer), or null.
  get tapDue() {
    return this.heldTap ? this.heldTap.t + this.tuning.doubleTapMs : null;
  }
}

// Momentum after a fling: the velocity decays exponentially (time constant `tau` ms); each call
// of step(dt) gives the distance to move for that slice of time, and null once it has stopped.
export function momentum(vx, vy, { tau = 325, minSpeed = 0.02 } = {}) {
  let speedX = vx;
  let speedY = vy;
  return {
    step(dt) {
      if (Math.hypot(speedX, speedY) < minSpeed) return null;
      const decay = Math.exp(-dt / tau);
      // Distance covered while decaying over dt: v * tau * (1 - e^(-dt/tau)).
      const dx = speedX * tau * (1 - decay);
      const dy = speedY * tau * (1 - decay);
      speedX *= decay;
      speedY *= decay;
      return { dx, dy };
    },
  };
}
