// What the browser client's canvas shows at a point of the remote screen (0-1 in each axis).
export async function pixelAt(page, nx, ny) {
  return page.evaluate(
    (x, y) => {
      const app = window.nimbrelDebug.app;
      const l = app.layout;
      const dpr = app.canvas.width / app.viewW;
      const data = app.context.getImageData(Math.round((l.ox + x * l.dw) * dpr), Math.round((l.oy + y * l.dh) * dpr), 1, 1).data;
      return { r: data[0], g: data[1], b: data[2] };
    },
    nx,
    ny,
  );
}
