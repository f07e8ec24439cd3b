// One view per block of the configuration. A view polls its block (the
// dashboard keeps at most one request of a view in flight) and reuses its
// plots and arrays from one update to the next.

import { compileCalibration } from "./calibration.js";
import { HeatMap, ScatterPlot } from "./colormap.js";
import { formatRate } from "./diagram.js";
import { LiveTable, el, formatBytes, formatDuration, formatNumber } from "./dom.js";
import { HistogramPlot, TracePlot, channelColor } from "./plot1d.js";

class View {
  constructor(app, block, title, period) {
    this.app = app;
    this.block = block;
    this.period = period;
    this.busy = false;
    this.lastPoll = 0;
    this.problem = el("span", { class: "problem" });
    this.controls = el("div", { class: "controls" });
    this.body = el("div", { class: "body" });
    this.card = el("section", { class: "card", id: `view-${block.name}`, "data-type": block.type },
      el("header", {}, el("h2", {}, title), el("span", { class: "type" }, block.type), this.problem),
      this.controls, this.body);
  }

  // Sends one command to the block on its route.
  ask(command) {
    const server = this.app.server;
    if (this.block.route === "query_by_json") return server.queryPath(this.block.full_path, [command]);
    return server.command(this.block.route, command);
  }

  button(label, onclick, attributes = {}) {
    const b = el("button", Object.assign({ type: "button", onclick }, attributes), label);
    this.controls.append(b);
    return b;
  }

  markFilled() {
    this.card.dataset.filled = "true";
  }

  // Shown in the header when the block did not answer, or answered nothing.
  // poll() resolves with such a text, or with nothing when all went well.
  setProblem(text) {
    this.problem.textContent = text || "";
    this.card.classList.toggle("silent", !!text);
  }

  poll() {
    return Promise.resolve();
  }

  // After the connection came back (the server may have restarted).
  reconnected() {}

  statistics() {}
}

// Spectrum, time-of-flight, position and image blocks count only in freerun.
class AccumulatingView extends View {
  constructor(app, block, title, period) {
    super(app, block, title, period);
    this.state = el("span", { class: "state" }, "…");
    this.controls.append(this.state);
    this.runButton = this.button("Freerun", () => this.setRunning(this.running !== true));
    this.button("Reset", () => this.app.send(this, { cmd: "reset" }, `Reset of ${block.name}`).then(() => this.cleared()));
    this.running = null;
    this.polls = 0;
  }

  async setRunning(on) {
    if (await this.app.send(this, { cmd: "run_control", status: on ? "freerun" : "idle" }, `${on ? "Freerun" : "Idle"} of ${this.block.name}`)) this.showRunning(on);
  }

  showRunning(on) {
    this.running = on;
    this.state.textContent = on ? "freerun" : "idle";
    this.state.className = on ? "state on" : "state";
    this.runButton.textContent = on ? "Idle" : "Freerun";
  }

  // The status is asked again now and then: another client may change it.
  async poll() {
    if (this.polls++ % 10 === 0) {
      const reply = await this.ask({ cmd: "data_get_status" });
      if (Array.isArray(reply) && reply[0]) this.showRunning(reply[0].status === "freerun");
    }
    return this.update();
  }

  reconnected() {
    this.polls = 0;
  }

  cleared() {}
}

// "binning": {"value": timestamp units per bin, "unit": its unit}.
function binningOf(view) {
  const b = view.binning;
  if (b && typeof b === "object") return { value: Number(b.value), unit: String(b.unit || "timestamp units per bin") };
  return { value: Number(b) || 1, unit: "timestamp units per bin" };
}

// The source a block's data comes from, following "sources" upstream.
function upstreamSource(app, block) {
  const seen = new Set();
  while (block && block.type !== "source" && !seen.has(block.name)) {
    seen.add(block.name);
    const first = (block.sources || [])[0];
    block = first ? app.blocks.get(first.source) : null;
  }
  return block && block.type === "source" ? block : null;
}

// Axis values of the bins' left edges, and the axis label.
function histogramAxis(app, block) {
  const view = block.view || {};
  const bins = view.bins;
  const edges = new Float64Array(bins + 1);
  if (block.type === "tof_histogram") {
    const { value, unit } = binningOf(view);
    for (let i = 0; i <= bins; i++) edges[i] = i;
    const amount = value.toLocaleString("en-US");
    return { edges, label: / per bin$/.test(unit) ? `time bin (${amount} ${unit})` : `time bin (1 bin = ${amount} ${unit})` };
  }
  const gain = view.gain > 0 ? view.gain : 1;
  const source = upstreamSource(app, block);
  const calibration = source && source.view && !source.view.use_board_kev ? compileCalibration(source.view.calibration) : null;
  if (calibration) {
    let ascending = true;
    for (let i = 0; i <= bins; i++) {
      edges[i] = calibration(i / gain);
      if (!Number.isFinite(edges[i]) || (i > 0 && edges[i] <= edges[i - 1])) ascending = false;
    }
    if (ascending) return { edges, label: `energy, calibrated (${source.view.calibration})` };
  }
  for (let i = 0; i <= bins; i++) edges[i] = i / gain;
  return { edges, label: gain === 1 ? "energy (bin)" : `energy (bin ÷ ${gain})` };
}

class HistogramView extends AccumulatingView {
  constructor(app, block) {
    super(app, block, block.name, 500);
    const view = block.view || {};
    this.channels = Math.max(1, view.channels || 1);
    const { edges, label } = histogramAxis(app, block);
    this.logButton = this.button("Log", () => {
      this.plot.setLog(!this.plot.log);
      this.logButton.classList.toggle("on", this.plot.log);
    });
    this.button("Full range", () => this.plot.resetZoom());
    this.button("Clear ROI", () => this.plot.clearRoi());
    this.controls.append(el("span", { class: "hint" }, "drag: zoom · Shift+drag: region of interest · double-click: full range"));
    this.chips = el("div", { class: "chips" });
    this.body.append(this.chips);
    const plotBox = el("div", { class: "plot" });
    this.roiBox = el("div", { class: "roi" });
    this.body.append(plotBox, this.roiBox);
    this.plot = new HistogramPlot(plotBox, {
      channels: this.channels, bins: Math.max(1, view.bins || 1), edges, xLabel: label,
      onRoi: (stats) => this.showRoi(stats),
    });
    this.chipButtons = [];
    for (let c = 0; c < this.channels; c++) {
      const chip = el("button", { type: "button", class: "chip", style: { "--c": channelColor(c) }, onclick: () => this.toggle(c) }, String(c));
      this.chipButtons.push(chip);
      this.chips.append(chip);
    }
    this.chips.append(el("button", { type: "button", class: "chip-all", onclick: () => this.showAll(true) }, "all"),
      el("button", { type: "button", class: "chip-all", onclick: () => this.showAll(false) }, "none"));
    this.paintChips();
  }

  toggle(c) {
    this.plot.setVisible(c, !this.plot.visible[c]);
    this.paintChips();
  }

  showAll(show) {
    for (let c = 0; c < this.channels; c++) this.plot.setVisible(c, show);
    this.paintChips();
  }

  paintChips() {
    this.chipButtons.forEach((chip, c) => chip.classList.toggle("on", this.plot.visible[c]));
  }

  async update() {
    const channels = this.plot.visibleChannels();
    if (channels.length === 0) return;
    const reply = await this.ask({ cmd: "get_data", channels });
    if (!Array.isArray(reply)) return "no data in the reply";
    let total = 0;
    channels.forEach((c, k) => {
      const data = reply[k] && reply[k].data;
      if (!Array.isArray(data)) return;
      this.plot.setCounts(c, data);
      for (let i = 0; i < data.length; i++) total += data[i];
    });
    this.plot.render();
    if (total > 0) this.markFilled();
  }

  showRoi(stats) {
    this.roiBox.textContent = "";
    if (!stats) return;
    const table = el("table", {}, el("tr", {}, el("th", {}, "channel"), el("th", {}, "counts"), el("th", {}, "centroid"), el("th", {}, "FWHM")));
    for (const row of stats.rows) {
      table.append(el("tr", {}, el("td", { style: { color: channelColor(row.channel) } }, String(row.channel)),
        el("td", {}, formatNumber(row.counts)), el("td", {}, formatNumber(row.centroid, 4)), el("td", {}, formatNumber(row.fwhm, 3))));
    }
    this.roiBox.append(el("div", { class: "roi-range" }, `ROI ${formatNumber(stats.from, 4)} – ${formatNumber(stats.to, 4)}`), table);
  }
}

class LogToggle {
  constructor(view, map) {
    const b = view.button("Log", () => {
      map.setLog(!map.log);
      b.classList.toggle("on", map.log);
    });
  }
}

class PositionView extends AccumulatingView {
  constructor(app, block) {
    super(app, block, block.name, 500);
    const view = block.view || {};
    this.elements = Math.max(1, view.elements || 1);
    const maps = el("div", { class: "maps" });
    const heat = el("div", { class: "map-box" }, el("div", { class: "map-title" }, `heat map: element (x) × ratio bin (y), ${view.bins} bins`));
    const scatter = el("div", { class: "map-box" }, el("div", { class: "map-title" }, "recent events: element (x) × ratio 0…1 (y)"));
    maps.append(heat, scatter);
    this.body.append(maps);
    this.map = new HeatMap(heat, { rows: Math.max(1, view.bins || 1), cols: this.elements, bottomUp: true });
    this.scatter = new ScatterPlot(scatter, { xMin: 0, xMax: this.elements, yMin: 0, yMax: 1, capacity: 4096 });
    new LogToggle(this, this.map);
  }

  async update() {
    const heat = await this.ask({ cmd: "get_data", source: "heatmap" });
    if (heat && Array.isArray(heat.data)) {
      this.map.setRows(heat.data);
      if (this.map.max > 0) this.markFilled();
    }
    const points = await this.ask({ cmd: "get_data", source: "scatter" });
    if (points && Array.isArray(points.data)) {
      const xs = points.data.find((o) => o && o.x), ys = points.data.find((o) => o && o.y);
      if (xs && ys) this.scatter.add(xs.x, ys.y);
    }
    this.scatter.draw();
  }

  cleared() {
    this.scatter.clear();
  }
}

class ImageView extends AccumulatingView {
  constructor(app, block) {
    super(app, block, block.name, 500);
    const view = block.view || {};
    this.source = "cumulative";
    const select = el("select", { onchange: () => { this.source = select.value; } },
      el("option", { value: "cumulative" }, "since reset"), el("option", { value: "immediate" }, "since last read"));
    this.controls.append(select);
    const box = el("div", { class: "map-box square" });
    this.body.append(box);
    this.map = new HeatMap(box, { rows: Math.max(1, view.rows || 1), cols: Math.max(1, view.cols || 1), cellText: true });
    new LogToggle(this, this.map);
  }

  async update() {
    const reply = await this.ask({ cmd: "get_data", source: this.source });
    if (reply && Array.isArray(reply.data)) {
      this.map.setRows(reply.data);
      if (this.map.max > 0) this.markFilled();
    }
  }
}

class ScopeView extends View {
  constructor(app, block) {
    super(app, block, block.name, 250);
    const view = block.view || {};
    this.channels = Math.max(1, view.channels || 1);
    this.samples = Math.max(1, view.samples || 1);
    this.analog = Math.max(0, view.analog ?? 1);
    this.digital = Math.max(0, view.digital ?? 0);
    this.enabled = new Array(this.channels).fill(0);
    this.enabled[0] = 1;
    this.chips = el("div", { class: "chips" });
    this.chipButtons = [];
    for (let c = 0; c < this.channels; c++) {
      const chip = el("button", { type: "button", class: "chip", style: { "--c": channelColor(c) }, onclick: () => this.toggle(c) }, String(c));
      this.chipButtons.push(chip);
      this.chips.append(chip);
    }
    this.controls.append(el("span", { class: "hint" }, "channels:"), this.chips);
    this.plotBox = el("div", { class: "plot" });
    this.body.append(this.plotBox);
    this.channelsSent = false;
    this.build();
  }

  // The plot's series follow the enabled channels: rebuilt when they change.
  build() {
    if (this.plot) this.plot.destroy();
    const series = [];
    const digitalRows = Math.max(1, this.digital * this.enabled.filter(Boolean).length);
    let row = 0;
    this.enabled.forEach((on, c) => {
      if (!on) return;
      for (let a = 0; a < this.analog; a++) series.push({ label: `ch ${c} analog ${a}`, stroke: channelColor(c), scale: "y" });
      for (let d = 0; d < this.digital; d++, row++) {
        series.push({ label: `ch ${c} digital ${d}`, stroke: channelColor(c), scale: "d", dash: [4, 3], offset: row });
      }
    });
    this.plot = new TracePlot(this.plotBox, {
      series,
      // Analog traces in the upper part, digital lines in the lowest third.
      scales: {
        y: { range: (u, min, max) => [min - (max - min) * 0.6 - 1, max + (max - min) * 0.05 + 1] },
        d: { range: [-0.2, digitalRows * 3.2] },
      },
      axes: [{ label: "sample", size: 40 }, { label: "analog", size: 64 }, { scale: "d", side: 1, show: false }],
    }, this.samples);
    this.series = series;
    for (let i = 0; i < this.samples; i++) this.plot.data[0][i] = i;
    this.chipButtons.forEach((chip, c) => chip.classList.toggle("on", !!this.enabled[c]));
  }

  async toggle(c) {
    this.enabled[c] = this.enabled[c] ? 0 : 1;
    this.build();
    await this.toggleSent();
  }

  async toggleSent() {
    this.channelsSent = await this.app.send(this, { cmd: "set_channel", ch_enable: this.enabled }, `Channels of ${this.block.name}`);
  }

  // The server keeps the enabled channels: sent again after a reconnection.
  async sendChannels() {
    this.channelsSent = (await this.ask({ cmd: "set_channel", ch_enable: this.enabled })) !== null;
  }

  reconnected() {
    this.channelsSent = false;
  }

  async poll() {
    if (!this.channelsSent) await this.sendChannels();
    const reply = await this.ask({ cmd: "require_data" });
    if (!Array.isArray(reply)) return "no traces in the reply";
    let moving = false;
    this.plot.update((data) => {
      this.series.forEach((s, k) => {
        const trace = reply[k] && reply[k].data, target = data[k + 1];
        if (!Array.isArray(trace)) return;
        for (let i = 0; i < this.samples; i++) {
          const v = trace[i] ?? null;
          target[i] = s.scale === "d" && v !== null ? s.offset + v * 0.8 : v;
          if (v) moving = true;
        }
      });
    });
    if (moving) this.markFilled();
  }
}

const HISTORY_POINTS = 2000;

class RatesView extends View {
  constructor(app, block) {
    super(app, block, block.name, 500);
    const view = block.view || {};
    this.labels = Array.isArray(view.labels) ? view.labels : [];
    this.rows = [];
    this.table = el("table", { class: "rates" }, el("tr", {}, el("th", {}, "channel"), el("th", {}, "in /s"), el("th", {}, "out /s"), el("th", { class: "bar-cell" }, "")));
    const history = el("div", { class: "plot" });
    this.body.append(el("div", { class: "rates-box" }, this.table, el("div", { class: "history" }, el("div", { class: "map-title" }, "history: total rate in and out (per s) against the board's time stamp"), history)));
    this.plot = new TracePlot(history, {
      series: [{ label: "in", stroke: "#1f77b4" }, { label: "out", stroke: "#d62728", dash: [5, 3] }],
      axes: [{ label: "board time stamp", size: 40 }, { label: "events/s", size: 64 }],
    }, 0);
    this.seeded = false;
  }

  row(c) {
    while (this.rows.length <= c) {
      const k = this.rows.length;
      const bar = el("div", { class: "bar" });
      const r = { in: el("td", {}, "–"), out: el("td", {}, "–"), bar };
      this.table.append(el("tr", {}, el("td", {}, this.labels[k] || `ch ${k}`), r.in, r.out, el("td", { class: "bar-cell" }, bar)));
      this.rows.push(r);
    }
    return this.rows[c];
  }

  async poll() {
    // The server's history is read once (and again after a reconnection);
    // then each new snapshot is added to the plot's arrays.
    if (!this.seeded) await this.history();
    const now = await this.ask({ cmd: "get_data", source: "immediate" });
    if (!now || !Array.isArray(now.rates_in)) return;
    const max = Math.max(1, ...now.rates_in);
    now.rates_in.forEach((rate, c) => {
      const r = this.row(c);
      r.in.textContent = formatNumber(rate);
      r.out.textContent = formatNumber((now.rates_out || [])[c]);
      r.bar.style.width = `${(100 * rate) / max}%`;
    });
    if (now.rates_in.some((x) => x > 0)) this.markFilled();
    this.plot.update((data) => this.append(data, now));
  }

  reconnected() {
    this.seeded = false;
  }

  // Adds one snapshot to the end of the arrays, the oldest going past
  // HISTORY_POINTS; a time stamp that went back (the board was reset) starts over.
  append([xs, ins, outs], snapshot) {
    const last = xs.length ? xs[xs.length - 1] : -Infinity;
    if (snapshot.timestamp === last) return;
    if (snapshot.timestamp < last) xs.length = ins.length = outs.length = 0;
    if (xs.length === HISTORY_POINTS) {
      for (const a of [xs, ins, outs]) a.copyWithin(0, 1).length--;
    }
    xs.push(snapshot.timestamp);
    ins.push(total(snapshot.rates_in));
    outs.push(total(snapshot.rates_out));
  }

  // Newest first in the reply.
  async history() {
    const reply = await this.ask({ cmd: "get_data", source: "data" });
    if (!reply || !Array.isArray(reply.data)) return;
    this.seeded = true;
    this.plot.update((data) => {
      for (const a of data) a.length = 0;
      for (let i = Math.min(HISTORY_POINTS, reply.data.length) - 1; i >= 0; i--) this.append(data, reply.data[i]);
    });
  }
}

function total(values) {
  return Array.isArray(values) ? values.reduce((s, x) => s + x, 0) : null;
}

class SourceView extends View {
  constructor(app, block) {
    super(app, block, block.name, 0);
    const view = block.view || {};
    this.button("Start", () => app.command("commands", { cmd: "start", endpoint: block.name }, `Start of ${block.name}`));
    this.button("Stop", () => app.command("commands", { cmd: "stop", endpoint: block.name }, `Stop of ${block.name}`));
    this.button("Reset all sources", () => app.command("commands", { cmd: "reset" }, "Reset of the sources"));
    this.rate = el("dd", {}, "…");
    this.body.append(el("dl", { class: "facts" },
      el("dt", {}, "board"), el("dd", {}, `${view.board ?? "?"} · ${view.endpoint ?? "?"}`),
      el("dt", {}, "data"), el("dd", {}, block.data_type || "?"),
      el("dt", {}, "calibration"), el("dd", {}, view.use_board_kev ? "board keV" : view.calibration || "none"),
      el("dt", {}, "rate out"), this.rate));
  }

  statistics(rate) {
    this.rate.textContent = formatRate(rate);
    if (rate > 0) this.markFilled();
  }
}

class HvView extends View {
  constructor(app, block) {
    super(app, block, block.name, 1000);
    this.output = el("span", { class: "state" }, "…");
    this.controls.append(this.output);
    this.button("HV on…", () => this.switchTo(true), { class: "danger" });
    this.button("HV off…", () => this.switchTo(false));
    this.table = new LiveTable("hv");
    this.scalars = el("div", { class: "hint" });
    this.body.append(this.table.node, this.scalars);
    this.readings = 0;
  }

  async switchTo(on) {
    const board = (this.block.view && this.block.view.board) || this.block.name;
    const question = on ? `Switch the high voltage of board "${board}" ON?` : `Switch the high voltage of board "${board}" off?`;
    if (!(await this.app.confirm(question, on ? "Switch on" : "Switch off"))) return;
    await this.app.command("commands", { cmd: on ? "hv_on" : "hv_off" }, `High voltage ${on ? "on" : "off"}`);
    this.lastPoll = 0;
  }

  async poll() {
    const reply = await this.ask({ cmd: "get_all_ch_values", param: "all" });
    if (!reply || reply.response !== "ok") return reply && reply.reason ? reply.reason : "no values";
    const names = Object.keys(reply).filter((k) => k !== "response");
    const arrays = names.filter((k) => Array.isArray(reply[k]));
    const scalars = names.filter((k) => !Array.isArray(reply[k]));
    const channels = Math.max(0, ...arrays.map((k) => reply[k].length));
    const rows = [];
    for (let c = 0; c < channels; c++) rows.push([String(c), ...arrays.map((k) => formatNumber(reply[k][c]))]);
    this.table.show(["channel", ...arrays], rows);
    this.scalars.textContent = scalars.map((k) => `${k} ${formatNumber(reply[k])}`).join(" · ");
    this.card.dataset.readings = ++this.readings;
    // The monitored voltage tells whether the output is live.
    const vmon = Array.isArray(reply.VMon) ? reply.VMon : [];
    const live = vmon.some((v) => v > 1);
    this.output.textContent = vmon.length ? (live ? "output on" : "output off") : "";
    this.output.className = live ? "state danger" : "state";
    this.markFilled();
  }
}

// Recording of runs through the commands block, with each list dumper's
// run information.
class RunView extends View {
  constructor(app, dumpers) {
    super(app, { name: "run", type: "dumper", route: "commands" }, "Recorded run", 1000);
    this.dumpers = dumpers;
    this.runId = el("input", { type: "text", size: 22, value: suggestRunId(), "aria-label": "run id" });
    this.controls.append(el("label", {}, "run id ", this.runId));
    this.button("Start", () => this.start(), { class: "primary" });
    this.pauseButton = this.button("Pause", () => this.pause());
    this.button("Stop", () => this.run("stop_dump", "Stop of the run"));
    this.table = new LiveTable("run", [undefined, "run-state"]);
    this.body.append(this.table.node);
    this.paused = false;
  }

  async start() {
    const id = this.runId.value.trim();
    if (await this.run("start_dump", `Start of run "${id}"`, { run_id: id })) this.runId.value = nextRunId(id);
  }

  pause() {
    return this.run(this.paused ? "restart_dump" : "pause_dump", this.paused ? "Resume of the run" : "Pause of the run");
  }

  async run(cmd, what, extra = {}) {
    const ok = await this.app.command("commands", Object.assign({ cmd }, extra), what);
    this.lastPoll = 0;
    return ok;
  }

  async poll() {
    const reply = await this.ask({ cmd: "get_run_info" });
    if (!Array.isArray(reply)) return "no run information";
    const states = ["stopped", "recording", "paused"];
    const state = (info) => states[info.status] || String(info.status);
    this.paused = reply.some((r) => r.status === 2);
    this.pauseButton.textContent = this.paused ? "Resume" : "Pause";
    this.table.show(["dumper", "state", "run id", "elapsed", "events", "rate", "file size"],
      reply.map((info) => [String(info.name), state(info), String(info.id ?? ""), formatDuration(info.running_time),
        formatNumber(info.stored_events), formatRate(info.event_rate), formatBytes(info.used_space)]),
      reply.map((info) => `run-${state(info)}`));
    this.markFilled();
  }
}

function suggestRunId() {
  const d = new Date(), p = (n) => String(n).padStart(2, "0");
  return `run-${d.getFullYear()}${p(d.getMonth() + 1)}${p(d.getDate())}-${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
}

// "7" → "8", "run-3" → "run-4", otherwise a new time-stamped id.
function nextRunId(id) {
  const m = /^(.*?)(\d+)$/.exec(id);
  return m && !id.startsWith("run-2") ? m[1] + String(Number(m[2]) + 1).padStart(m[2].length, "0") : suggestRunId();
}

const VIEWS = {
  spectrum: HistogramView,
  tof_histogram: HistogramView,
  position: PositionView,
  image: ImageView,
  oscilloscope: ScopeView,
  rate_counters_sink: RatesView,
  source: SourceView,
  hv: HvView,
};

// Views of the configuration, the run control first.
export function makeViews(app, configuration) {
  const views = [];
  const dumpers = configuration.blocks.filter((b) => b.type === "dumper");
  if (dumpers.length) views.push(new RunView(app, dumpers));
  for (const block of configuration.blocks) {
    const View = VIEWS[block.type];
    if (View) views.push(new View(app, block));
  }
  return views;
}
