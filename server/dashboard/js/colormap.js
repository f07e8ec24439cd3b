// Two-dimensional maps drawn on a canvas: one pixel per cell into an
// ImageData allocated once, scaled up without smoothing, with a colour bar.

// A perceptually even dark-blue → green → yellow ramp, 256 entries.
const STOPS = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
const LUT = new Uint8ClampedArray(256 * 3);
for (let i = 0; i < 256; i++) {
  const t = (i / 255) * (STOPS.length - 1), k = Math.min(STOPS.length - 2, Math.floor(t)), f = t - k;
  for (let j = 0; j < 3; j++) LUT[i * 3 + j] = STOPS[k][j] + f * (STOPS[k + 1][j] - STOPS[k][j]);
}

function formatCount(v) {
  return v >= 1e5 ? v.toExponential(1) : String(Math.round(v));
}

// rows × cols cells; row 0 is drawn at the bottom when bottomUp is set
// (a ratio axis grows upwards), at the top otherwise (an image's first row).
export class HeatMap {
  // options: rows, cols, xLabel, yLabel, yRange [min, max] (axis values of the rows), bottomUp, cellText
  constructor(container, options) {
    this.options = options;
    this.rows = options.rows;
    this.cols = options.cols;
    this.values = new Float64Array(this.rows * this.cols);
    this.log = false;
    this.cells = document.createElement("canvas");
    this.cells.width = this.cols;
    this.cells.height = this.rows;
    this.image = this.cells.getContext("2d").createImageData(this.cols, this.rows);
    this.canvas = document.createElement("canvas");
    this.canvas.className = "map";
    this.bar = document.createElement("canvas");
    this.bar.className = "colorbar";
    this.barLabels = document.createElement("div");
    this.barLabels.className = "colorbar-labels";
    this.barTop = document.createElement("span");
    const barBottom = document.createElement("span");
    barBottom.textContent = "0";
    this.barLabels.append(this.barTop, barBottom);
    const wrap = document.createElement("div");
    wrap.className = "map-wrap";
    const barWrap = document.createElement("div");
    barWrap.className = "colorbar-wrap";
    barWrap.append(this.barLabels, this.bar);
    wrap.append(this.canvas, barWrap);
    container.append(wrap);
    this.drawBar();
  }

  // rowsOfValues: an array of rows (arrays of numbers), as the server sends them.
  setRows(rowsOfValues) {
    const v = this.values;
    v.fill(0);
    const rows = Math.min(this.rows, rowsOfValues.length);
    for (let r = 0; r < rows; r++) {
      const row = rowsOfValues[r];
      const cols = Math.min(this.cols, row.length);
      for (let c = 0; c < cols; c++) v[r * this.cols + c] = row[c];
    }
    this.draw();
  }

  setLog(log) {
    this.log = log;
    this.draw();
  }

  draw() {
    let max = 0;
    for (let i = 0; i < this.values.length; i++) if (this.values[i] > max) max = this.values[i];
    this.max = max;
    const scale = this.log ? (max > 0 ? 255 / Math.log1p(max) : 0) : (max > 0 ? 255 / max : 0);
    const px = this.image.data;
    for (let r = 0; r < this.rows; r++) {
      const y = this.options.bottomUp ? this.rows - 1 - r : r;
      for (let c = 0; c < this.cols; c++) {
        const v = this.values[r * this.cols + c];
        const level = v <= 0 ? 0 : Math.round(this.log ? Math.log1p(v) * scale : v * scale);
        const o = (y * this.cols + c) * 4;
        px[o] = LUT[level * 3]; px[o + 1] = LUT[level * 3 + 1]; px[o + 2] = LUT[level * 3 + 2]; px[o + 3] = 255;
      }
    }
    this.cells.getContext("2d").putImageData(this.image, 0, 0);
    const width = this.canvas.clientWidth || 320, height = this.canvas.clientHeight || 240;
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    const ctx = this.canvas.getContext("2d");
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(this.cells, 0, 0, width, height);
    if (this.options.cellText && width / this.cols >= 28 && height / this.rows >= 16) {
      ctx.font = "12px sans-serif";
      ctx.textAlign = "center";
      ctx.textBaseline = "middle";
      for (let r = 0; r < this.rows; r++) {
        for (let c = 0; c < this.cols; c++) {
          const v = this.values[r * this.cols + c];
          const level = max > 0 ? v / max : 0;
          ctx.fillStyle = level > 0.6 ? "#222" : "#fff";
          const y = this.options.bottomUp ? this.rows - 1 - r : r;
          ctx.fillText(formatCount(v), ((c + 0.5) * width) / this.cols, ((y + 0.5) * height) / this.rows);
        }
      }
    }
    this.barTop.textContent = formatCount(max) + (this.log ? " (log)" : "");
  }

  drawBar() {
    this.bar.width = 1;
    this.bar.height = 256;
    const ctx = this.bar.getContext("2d");
    const strip = ctx.createImageData(1, 256);
    for (let i = 0; i < 256; i++) {
      const o = (255 - i) * 4;
      strip.data[o] = LUT[i * 3]; strip.data[o + 1] = LUT[i * 3 + 1]; strip.data[o + 2] = LUT[i * 3 + 2]; strip.data[o + 3] = 255;
    }
    ctx.putImageData(strip, 0, 0);
  }
}

// Recent points of a scatter plot, kept in a ring of fixed size and drawn
// on a canvas: x in [xMin, xMax], y in [yMin, yMax].
export class ScatterPlot {
  constructor(container, options) {
    this.options = options;
    this.capacity = options.capacity || 4096;
    this.xs = new Float32Array(this.capacity);
    this.ys = new Float32Array(this.capacity);
    this.count = 0;
    this.next = 0;
    this.canvas = document.createElement("canvas");
    this.canvas.className = "map scatter";
    container.append(this.canvas);
  }

  add(xs, ys) {
    const n = Math.min(xs.length, ys.length);
    for (let i = 0; i < n; i++) {
      this.xs[this.next] = xs[i];
      this.ys[this.next] = ys[i];
      this.next = (this.next + 1) % this.capacity;
      if (this.count < this.capacity) this.count++;
    }
  }

  clear() {
    this.count = 0;
    this.next = 0;
  }

  draw() {
    const o = this.options;
    const width = this.canvas.clientWidth || 320, height = this.canvas.clientHeight || 240;
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    const ctx = this.canvas.getContext("2d");
    ctx.fillStyle = "#fff";
    ctx.fillRect(0, 0, width, height);
    ctx.strokeStyle = "#e3e6ea";
    const columns = o.xMax - o.xMin;
    for (let k = 0; k <= columns; k++) {
      const x = Math.round((k / columns) * (width - 1)) + 0.5;
      ctx.beginPath(); ctx.moveTo(x, 0); ctx.lineTo(x, height); ctx.stroke();
    }
    ctx.fillStyle = "rgba(31, 119, 180, 0.45)";
    for (let i = 0; i < this.count; i++) {
      // Points of one element spread over its column, by their place in the ring.
      const spread = ((i * 0.618034) % 1) * 0.8 + 0.1;
      const x = ((this.xs[i] - o.xMin + spread) / columns) * width;
      const y = height - ((this.ys[i] - o.yMin) / (o.yMax - o.yMin)) * height;
      ctx.fillRect(x - 1, y - 1, 2, 2);
    }
  }
}
