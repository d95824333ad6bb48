// Where the remote screen sits in the browser window, as pure functions of a camera:
//   camera = { zoom, cx, cy }: zoom 1 shows the whole screen fitted into the window; (cx, cy) is
//   the normalised point of the screen at the window's centre.
// Lengths are CSS pixels; screen positions are normalised (0 to 1 across the monitor).

export const MAX_ZOOM = 12;

// The screen's drawn rectangle: { ox, oy, dw, dh }. Where the drawn screen is smaller than the
// window along an axis it is centred; where larger, it always covers the window (no empty band).
export function layout(camera, viewW, viewH, aspect) {
  const fitW = Math.min(viewW, viewH * aspect);
  const dw = fitW * camera.zoom;
  const dh = (fitW / aspect) * camera.zoom;
  const axis = (size, view, centre) =>
    size <= view ? (view - size) / 2 : Math.min(0, Math.max(view - size, view / 2 - centre * size));
  return { ox: axis(dw, viewW, camera.cx), oy: axis(dh, viewH, camera.cy), dw, dh };
}

// The camera as far as it can go: zoom within 1 to MAX_ZOOM, centre where layout puts it.
export function clampCamera(camera, viewW, viewH, aspect) {
  const zoom = Math.min(MAX_ZOOM, Math.max(1, camera.zoom));
  const l = layout({ ...camera, zoom }, viewW, viewH, aspect);
  return { zoom, cx: (viewW / 2 - l.ox) / l.dw, cy: (viewH / 2 - l.oy) / l.dh };
}

// The part of the screen the window shows, normalised.
export function visibleRect(l, viewW, viewH) {
  const x0 = Math.max(0, -l.ox / l.dw);
  const y0 = Math.max(0, -l.oy / l.dh);
  const x1 = Math.min(1, (viewW - l.ox) / l.dw);
  const y1 = Math.min(1, (viewH - l.oy) / l.dh);
  return { x: x0, y: y0, w: Math.max(0, x1 - x0), h: Math.max(0, y1 - y0) };
}

// The "view" a host needs: the visible part and how many device pixels show it, so it can send
// that part sharp instead of letting the browser blow up a blurred copy.
export function viewFor(l, viewW, viewH, dpr) {
  const rect = visibleRect(l, viewW, viewH);
  return { rect, pw: rect.w * l.dw * dpr, ph: rect.h * l.dh * dpr };
}

// The canvas's backing store in device pixels for its CSS box `rect` at pixel ratio `dpr`. At a
// fractional ratio (2.625 on many phones) the integer CSS size times the ratio is often one pixel
// off, and a backing store one pixel off is stretched by the compositor, blurring every edge; the
// box's fractional size rounds as the browser does. `exact` is the browser's own count where it
// reports one (device-pixel-content-box); it is trusted only near the estimate, since an emulated
// pixel ratio reports CSS pixels there.
export function backingSize(rect, dpr, exact) {
  const estimate = (length) => Math.max(1, Math.round(length * dpr));
  const pick = (reported, length) =>
    reported && Math.abs(reported - estimate(length)) <= 1 ? reported : estimate(length);
  return { w: pick(exact?.w, rect.width), h: pick(exact?.h, rect.height) };
}

export function toScreen(l, px, py) {
  return { x: (px - l.ox) / l.dw, y: (py - l.oy) / l.dh };
}

export function toWindow(l, x, y) {
  return { px: l.ox + x * l.dw, py: l.oy + y * l.dh };
}

// Zooms by `factor` keeping the screen point under window point (px, py) where it is, then moves
// the picture by (dx, dy) window pixels: one step of a pinch.
export function zoomAbout(camera, factor, px, py, dx, dy, viewW, viewH, aspect) {
  const before = layout(camera, viewW, viewH, aspect);
  const anchor = toScreen(before, px, py);
  const zoom = Math.min(MAX_ZOOM, Math.max(1, camera.zoom * factor));
  const fitW = Math.min(viewW, viewH * aspect);
  const dw = fitW * zoom;
  const dh = (fitW / aspect) * zoom;
  // The window point px + dx must show the anchor: ox = px + dx - anchor.x * dw.
  const ox = px + dx - anchor.x * dw;
  const oy = py + dy - anchor.y * dh;
  return clampCamera({ zoom, cx: (viewW / 2 - ox) / dw, cy: (viewH / 2 - oy) / dh }, viewW, viewH, aspect);
}

// Moves the picture by (dx, dy) window pixels (a finger dragging it).
export function panBy(camera, dx, dy, viewW, viewH, aspect) {
  const l = layout(camera, viewW, viewH, aspect);
  return clampCamera({ ...camera, cx: camera.cx - dx / l.dw, cy: camera.cy - dy / l.dh }, viewW, viewH, aspect);
}

// Whether the picture can move by (dx, dy) at all: false at zoom 1 or against an edge.
export function canPan(camera, dx, dy, viewW, viewH, aspect) {
  const moved = panBy(camera, dx, dy, viewW, viewH, aspect);
  const a = layout(camera, viewW, viewH, aspect);
  const b = layout(moved, viewW, viewH, aspect);
  return Math.abs(a.ox - b.ox) + Math.abs(a.oy - b.oy) > 0.5;
}

// The smallest camera move that brings a screen rectangle inside the window less `margin`
// pixels on each side; with `minHeight`, first zooms in until the rectangle is at least that
// tall (a caret line legible while typing), never zooming out.
export function follow(camera, rect, viewW, viewH, aspect, { margin = 24, minHeight = 0 } = {}) {
  let cam = camera;
  const l0 = layout(cam, viewW, viewH, aspect);
  if (minHeight > 0 && rect.h * l0.dh < minHeight && rect.h > 0) {
    cam = clampCamera({ ...cam, zoom: (cam.zoom * minHeight) / (rect.h * l0.dh) }, viewW, viewH, aspect);
  }
  const l = layout(cam, viewW, viewH, aspect);
  const r = { x0: l.ox + rect.x * l.dw, y0: l.oy + rect.y * l.dh, x1: l.ox + (rect.x + rect.w) * l.dw, y1: l.oy + (rect.y + rect.h) * l.dh };
  const shift = (lo, hi, view) => {
    if (hi - lo > view - 2 * margin) return view / 2 - (lo + hi) / 2; // too big: centre it
    if (lo < margin) return margin - lo;
    if (hi > view - margin) return view - margin - hi;
    return 0;
  };
  return panBy(cam, shift(r.x0, r.x1, viewW), shift(r.y0, r.y1, viewH), viewW, viewH, aspect);
}
