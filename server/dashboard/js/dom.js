// Small DOM helpers.

// el("button", {class: "x", style: {color: "red"}, onclick: f}, "text", child, ...)
export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
    else if (key === "class") node.className = value;
    // Through the style object: the server's content policy refuses style attributes.
    else if (key === "style") for (const [property, v] of Object.entries(value)) node.style.setProperty(property, v);
    else node.setAttribute(key, value === true ? "" : value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

export function formatNumber(value, digits = 3) {
  if (!Number.isFinite(value)) return "–";
  const magnitude = Math.abs(value);
  if (magnitude !== 0 && (magnitude >= 1e7 || magnitude < 1e-3)) return value.toExponential(digits - 1);
  return value.toLocaleString("en-US", { maximumFractionDigits: magnitude >= 100 ? 1 : digits });
}

export function formatBytes(bytes) {
  if (!Number.isFinite(bytes)) return "–";
  if (bytes >= 1 << 30) return (bytes / (1 << 30)).toFixed(2) + " GiB";
  if (bytes >= 1 << 20) return (bytes / (1 << 20)).toFixed(2) + " MiB";
  if (bytes >= 1 << 10) return (bytes / (1 << 10)).toFixed(1) + " KiB";
  return bytes + " B";
}

export function formatDuration(seconds) {
  if (!Number.isFinite(seconds) || seconds < 0) return "–";
  const s = Math.floor(seconds), h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60);
  return `${h}:${String(m).padStart(2, "0")}:${String(s % 60).padStart(2, "0")}`;
}

// A table whose cells are rewritten in place; it is rebuilt only when its
// header or number of rows changes.
export class LiveTable {
  // columnClasses: a class per column (or undefined)
  constructor(className, columnClasses = []) {
    this.node = el("table", { class: className });
    this.columnClasses = columnClasses;
    this.shape = "";
    this.rows = [];
  }

  // header: texts; rows: arrays of texts; rowClasses: a class per row (optional).
  show(header, rows, rowClasses = []) {
    const shape = `${header.join("\u0001")}|${rows.length}`;
    if (shape !== this.shape) {
      this.shape = shape;
      const body = el("tbody");
      this.rows = rows.map(() => {
        const cells = header.map((_, j) => el("td", { class: this.columnClasses[j] }));
        body.append(el("tr", {}, ...cells));
        return cells;
      });
      this.node.replaceChildren(el("thead", {}, el("tr", {}, ...header.map((h) => el("th", {}, h)))), body);
    }
    rows.forEach((row, i) => {
      const cells = this.rows[i];
      cells[0].parentNode.className = rowClasses[i] || "";
      row.forEach((text, j) => {
        if (j < cells.length && cells[j].textContent !== text) cells[j].textContent = text;
      });
    });
  }
}
