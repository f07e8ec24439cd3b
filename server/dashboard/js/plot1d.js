// One-dimensional plots on uPlot (loaded by index.html as the global uPlot).
// A plot is made once per view and fed with setData afterwards; the arrays
// handed to uPlot are allocated once and refilled in place.

const PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf",
  "#bcbd22", "#7f7f7f", "#393b79", "#ad494a", "#637939", "#e6550d", "#6b6ecf", "#843c39"];

export function channelColor(i) {
  return i < PALETTE.length ? PALETTE[i] : `hsl(${(i * 137.5) % 360}, 65%, 45%)`;
}

// Width of the plot area in CSS pixels: the number of columns a decimated
// series needs.
function plotColumns(u) {
  return Math.max(16, Math.round(u.bbox.width / uPlot.pxRatio));
}

function resizeWith(container, u, after) {
  const observer = new ResizeObserver(() => {
    const width = Math.max(200, container.clientWidth);
    if (Math.abs(width - u.width) < 2) return;
    u.setSize({ width, height: u.height });
    if (after) after();
  });
  observer.observe(container);
  return observer;
}

// Histograms of many channels over the same bins (spectra, time-of-flight).
// Each update decimates the visible bin range to a minimum and a maximum per
// pixel column, so a redraw costs the same for 1 000 or 1 000 000 bins.
// Drag zooms, Shift+drag sets the region of interest, double-click unzooms.
export class HistogramPlot {
  // options: channels, bins, edges (Float64Array of bins + 1 axis values, ascending),
  // xLabel, height, log, onRoi(stats | null), onDraw()
  constructor(container, options) {
    this.container = container;
    this.options = options;
    this.channels = options.channels;
    this.bins = options.bins;
    this.edges = options.edges;
    this.counts = [];
    for (let c = 0; c < this.channels; c++) this.counts.push(new Float64Array(this.bins));
    // The first channels shown at first; the others a click away.
    this.visible = Array.from({ length: this.channels }, (_, c) => c < 4);
    this.lo = 0;
    this.hi = this.bins - 1;
    this.roi = null;
    this.log = !!options.log;
    this.selectingRoi = false;
    this.xs = [];
    this.ys = [];
    for (let c = 0; c < this.channels; c++) this.ys.push([]);
    this.data = [this.xs, ...this.ys];
    this.build();
  }

  build() {
    if (this.u) {
      this.observer.disconnect();
      this.u.destroy();
    }
    const series = [{}];
    for (let c = 0; c < this.channels; c++) {
      series.push({ label: `ch ${c}`, stroke: channelColor(c), width: 1, show: this.visible[c], points: { show: false } });
    }
    const self = this;
    this.u = new uPlot({
      width: Math.max(200, this.container.clientWidth),
      height: this.options.height || 260,
      legend: { show: false },
      cursor: { drag: { x: true, y: false, setScale: false }, points: { show: false } },
      scales: {
        x: { time: false, range: () => [this.edges[this.lo], this.edges[this.hi + 1]] },
        y: this.log ? { distr: 3, log: 10 } : { range: (u, min, max) => [0, max > 0 ? max * 1.05 : 1] },
      },
      axes: [{ label: this.options.xLabel, size: 40 }, { label: "counts", size: 64 }],
      series,
      hooks: {
        setSelect: [(u) => self.onSelect(u)],
        draw: [(u) => { self.drawRoi(u); if (self.options.onDraw) self.options.onDraw(); }],
      },
    }, this.data, this.container);
    this.u.over.addEventListener("mousedown", (e) => { this.selectingRoi = e.shiftKey; });
    this.u.over.addEventListener("dblclick", () => this.resetZoom());
    this.observer = resizeWith(this.container, this.u, () => this.render());
    this.render();
  }

  setLog(log) {
    if (log === this.log) return;
    this.log = log;
    this.build();
  }

  setVisible(channel, show) {
    this.visible[channel] = show;
    this.u.setSeries(channel + 1, { show });
    this.render();
  }

  visibleChannels() {
    const list = [];
    for (let c = 0; c < this.channels; c++) if (this.visible[c]) list.push(c);
    return list;
  }

  // Copies one channel's counts out of a reply's array.
  setCounts(channel, values) {
    const target = this.counts[channel];
    const n = Math.min(target.length, values.length);
    for (let i = 0; i < n; i++) target[i] = values[i];
    for (let i = n; i < target.length; i++) target[i] = 0;
  }

  // The first bin whose left edge is at or above value.
  binAt(value) {
    let a = 0, b = this.bins;
    while (a < b) {
      const m = (a + b) >> 1;
      if (this.edges[m] < value) a = m + 1; else b = m;
    }
    return Math.min(this.bins - 1, Math.max(0, a));
  }

  onSelect(u) {
    const select = u.select;
    if (select.width < 2) return;
    const from = this.binAt(u.posToVal(select.left, "x"));
    const to = Math.max(from, this.binAt(u.posToVal(select.left + select.width, "x")) - 1);
    if (this.selectingRoi) this.roi = [from, to];
    else if (to > from) { this.lo = from; this.hi = to; }
    u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
    this.render();
  }

  resetZoom() {
    this.lo = 0;
    this.hi = this.bins - 1;
    this.render();
  }

  clearRoi() {
    this.roi = null;
    this.render();
  }

  drawRoi(u) {
    if (!this.roi) return;
    const left = u.valToPos(this.edges[this.roi[0]], "x", true);
    const right = u.valToPos(this.edges[this.roi[1] + 1], "x", true);
    const x0 = Math.max(u.bbox.left, left), x1 = Math.min(u.bbox.left + u.bbox.width, right);
    if (x1 <= x0) return;
    u.ctx.save();
    u.ctx.fillStyle = "rgba(255, 190, 0, 0.22)";
    u.ctx.fillRect(x0, u.bbox.top, x1 - x0, u.bbox.height);
    u.ctx.restore();
  }

  // Decimates the visible range into the arrays uPlot holds, then redraws.
  render() {
    const lo = this.lo, span = this.hi - this.lo + 1;
    const columns = plotColumns(this.u);
    const edges = this.edges, xs = this.xs, log = this.log;
    const decimate = span > 2 * columns;
    const points = decimate ? 2 * columns : span;
    xs.length = points;
    if (decimate) {
      for (let k = 0; k < columns; k++) {
        const start = lo + Math.floor((k * span) / columns);
        const end = lo + Math.floor(((k + 1) * span) / columns);
        xs[2 * k] = edges[start];
        xs[2 * k + 1] = edges[end];
      }
    } else {
      for (let i = 0; i < span; i++) xs[i] = edges[lo + i];
    }
    for (let c = 0; c < this.channels; c++) {
      const ys = this.ys[c];
      ys.length = points;
      if (!this.visible[c]) { ys.fill(null); continue; }
      const counts = this.counts[c];
      if (!decimate) {
        for (let i = 0; i < span; i++) { const v = counts[lo + i]; ys[i] = log && v <= 0 ? null : v; }
        continue;
      }
      for (let k = 0; k < columns; k++) {
        const start = lo + Math.floor((k * span) / columns);
        const end = lo + Math.floor(((k + 1) * span) / columns);
        let min = counts[start], max = min, minAt = start, maxAt = start;
        for (let i = start + 1; i < end; i++) {
          const v = counts[i];
          if (v < min) { min = v; minAt = i; } else if (v > max) { max = v; maxAt = i; }
        }
        // The extreme met first is drawn first, so the outline keeps its shape.
        const first = minAt <= maxAt ? min : max, second = minAt <= maxAt ? max : min;
        ys[2 * k] = log && first <= 0 ? null : first;
        ys[2 * k + 1] = log && second <= 0 ? null : second;
      }
    }
    this.u.setData(this.data);
    if (this.options.onRoi) this.options.onRoi(this.roi ? this.roiStats() : null);
  }

  // Gross counts, centroid and FWHM of the region of interest, per visible channel.
  roiStats() {
    const [a, b] = this.roi;
    const edges = this.edges;
    const center = (i) => (edges[i] + edges[i + 1]) / 2;
    const rows = [];
    for (const c of this.visibleChannels()) {
      const counts = this.counts[c];
      let sum = 0, moment = 0, peak = a;
      for (let i = a; i <= b; i++) {
        sum += counts[i];
        moment += counts[i] * center(i);
        if (counts[i] > counts[peak]) peak = i;
      }
      rows.push({ channel: c, counts: sum, centroid: sum > 0 ? moment / sum : NaN, fwhm: fwhm(counts, a, b, peak, center) });
    }
    return { from: edges[a], to: edges[b + 1], rows };
  }
}

// Full width at half maximum around the peak bin, the half-maximum crossings
// interpolated linearly between bin centres; NaN when the peak does not fall
// to half on both sides inside the region.
function fwhm(counts, a, b, peak, center) {
  const half = counts[peak] / 2;
  if (!(half > 0)) return NaN;
  let left = peak, right = peak;
  while (left > a && counts[left] > half) left--;
  while (right < b && counts[right] > half) right++;
  if (counts[left] > half || counts[right] > half) return NaN;
  const cross = (i, j) => center(i) + ((half - counts[i]) / (counts[j] - counts[i])) * (center(j) - center(i));
  return cross(right - 1, right) - cross(left, left + 1);
}

// Traces sharing one x array (oscilloscope, rate history): series are
// described once; update() refills the arrays and redraws.
export class TracePlot {
  // options: series [{label, stroke, scale}], scales (uPlot scales), axes, xLabel, height
  constructor(container, options, points) {
    this.container = container;
    this.data = [new Array(points).fill(0)];
    for (let i = 0; i < options.series.length; i++) this.data.push(new Array(points).fill(null));
    this.u = new uPlot({
      width: Math.max(200, container.clientWidth),
      height: options.height || 220,
      legend: { show: false },
      cursor: { drag: { x: true, y: false }, points: { show: false } },
      scales: Object.assign({ x: { time: false } }, options.scales || {}),
      axes: options.axes || [{ label: options.xLabel, size: 40 }, { size: 64 }],
      series: [{}, ...options.series.map((s) => Object.assign({ width: 1, points: { show: false } }, s))],
    }, this.data, container);
    this.observer = resizeWith(container, this.u);
  }

  // fill(data) writes the arrays in place (their length may change); then a redraw.
  update(fill) {
    fill(this.data);
    this.u.setData(this.data);
  }

  destroy() {
    this.observer.disconnect();
    this.u.destroy();
  }
}
