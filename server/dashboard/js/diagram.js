// The processing chains as boxes and arrows (SVG), each box showing its
// block's event rate and losses from the commands block's statistics.

const SVG = "http://www.w3.org/2000/svg";
const BOX_W = 150, BOX_H = 64, GAP_X = 40, GAP_Y = 12, PAD = 8;

function svg(name, attributes, parent) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (parent) parent.append(node);
  return node;
}

export function formatRate(perSecond) {
  if (!Number.isFinite(perSecond)) return "–";
  if (perSecond >= 1e6) return (perSecond / 1e6).toFixed(2) + " M/s";
  if (perSecond >= 1e3) return (perSecond / 1e3).toFixed(1) + " k/s";
  return perSecond.toFixed(0) + " /s";
}

export class ChainDiagram {
  // chains: [{name, blocks: [names]}]; blocks: Map name → block description;
  // onSelect(name) when a box is clicked.
  constructor(container, chains, blocks, onSelect) {
    this.boxes = new Map();
    this.last = new Map();
    for (const chain of chains) {
      const figure = document.createElement("figure");
      figure.className = "chain";
      const caption = document.createElement("figcaption");
      caption.textContent = chain.name;
      figure.append(caption);
      figure.append(this.drawChain(chain, blocks, onSelect));
      container.append(figure);
    }
  }

  drawChain(chain, blocks, onSelect) {
    const inChain = new Set(chain.blocks);
    const depth = new Map(), rowsPerDepth = [], place = new Map();
    // Blocks come after the blocks they read from, so one pass finds the depths.
    for (const name of chain.blocks) {
      const block = blocks.get(name);
      let d = 0;
      for (const s of (block && block.sources) || []) if (inChain.has(s.source)) d = Math.max(d, depth.get(s.source) + 1);
      depth.set(name, d);
      rowsPerDepth[d] = (rowsPerDepth[d] || 0) + 1;
      place.set(name, { x: PAD + d * (BOX_W + GAP_X), y: PAD + (rowsPerDepth[d] - 1) * (BOX_H + GAP_Y) });
    }
    const rows = Math.max(1, ...rowsPerDepth.filter(Boolean));
    const width = PAD * 2 + rowsPerDepth.length * (BOX_W + GAP_X) - GAP_X;
    const height = PAD * 2 + rows * (BOX_H + GAP_Y) - GAP_Y;
    const root = svg("svg", { width, height, viewBox: `0 0 ${width} ${height}`, class: "diagram" });
    const defs = svg("defs", {}, root);
    const marker = svg("marker", { id: `arrow-${chain.name}`, viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7, orient: "auto" }, defs);
    svg("path", { d: "M0,0 L10,5 L0,10 z", class: "arrow-head" }, marker);
    for (const name of chain.blocks) {
      const to = place.get(name);
      for (const s of (blocks.get(name) && blocks.get(name).sources) || []) {
        const from = place.get(s.source);
        if (!from) continue;
        const x0 = from.x + BOX_W, y0 = from.y + BOX_H / 2, x1 = to.x, y1 = to.y + BOX_H / 2, mid = (x0 + x1) / 2;
        svg("path", { d: `M${x0},${y0} C${mid},${y0} ${mid},${y1} ${x1 - 1},${y1}`, class: "arrow", "marker-end": `url(#arrow-${chain.name})` }, root);
      }
    }
    for (const name of chain.blocks) {
      const block = blocks.get(name) || { type: "?" };
      const { x, y } = place.get(name);
      const group = svg("g", { class: "box", transform: `translate(${x},${y})`, "data-block": name }, root);
      svg("rect", { width: BOX_W, height: BOX_H, rx: 6 }, group);
      svg("text", { x: 8, y: 16, class: "box-name" }, group).textContent = name;
      svg("text", { x: 8, y: 29, class: "box-type" }, group).textContent = block.type;
      const rate = svg("text", { x: 8, y: 44, class: "box-rate" }, group);
      const loss = svg("text", { x: 8, y: 57, class: "box-loss" }, group);
      group.addEventListener("click", () => onSelect(name));
      this.boxes.set(name, { group, rate, loss });
    }
    return root;
  }

  // statistics: the get_statistics reply; now: milliseconds. Returns each
  // block's rate (events per second) by name.
  update(statistics, now) {
    const rates = new Map();
    for (const entry of statistics) {
      const box = this.boxes.get(entry.name);
      if (!box) continue;
      // A source takes nothing in: its rate is what it hands on.
      const events = entry.type === "source" ? entry.events_out : entry.events_in;
      const previous = this.last.get(entry.name);
      this.last.set(entry.name, { events, lost: entry.lost_events, now });
      if (previous && now > previous.now && events >= previous.events) {
        const rate = ((events - previous.events) * 1000) / (now - previous.now);
        rates.set(entry.name, rate);
        box.rate.textContent = formatRate(rate);
      } else if (!previous) {
        box.rate.textContent = "…";
      }
      const causes = Object.entries(entry.losses || {}).filter(([, n]) => n > 0).map(([k, n]) => `${k} ${n}`);
      box.loss.textContent = entry.lost_events > 0 || causes.length ? `lost ${entry.lost_events}${causes.length ? " · " + causes.join(", ") : ""}` : "no losses";
      const losing = previous && entry.lost_events > previous.lost;
      box.group.classList.toggle("losing", !!losing);
      box.group.classList.toggle("lost", entry.lost_events > 0);
    }
    return rates;
  }
}
