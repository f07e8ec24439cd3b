// The dashboard: finds the WebSocket port (/config.json), asks the commands
// block for the configuration, builds a view per block and polls them.

import { Server, accepted } from "./connection.js";
import { ChainDiagram } from "./diagram.js";
import { el } from "./dom.js";
import { makeViews } from "./views.js";

const TICK_MS = 100;
const STATISTICS_MS = 1000;
const MAX_MESSAGES = 6;
const CONFIGURATION_RETRY_MS = 3000;

async function websocketPort() {
  try {
    const reply = await fetch("config.json", { cache: "no-store" });
    const config = await reply.json();
    if (Number.isInteger(config.websocket_port)) return config.websocket_port;
  } catch (e) {
    // Served by something else than the server: the default port.
  }
  return 51234;
}

class Dashboard {
  constructor() {
    this.views = [];
    this.blocks = new Map();
    this.configurationText = null;
    this.lost = new Set();
    this.statisticsBusy = false;
    this.lastStatistics = 0;
    this.loading = false;
    this.lastLoad = 0;
    this.loadFailures = 0;
    this.banner = document.getElementById("banner");
    this.serverState = document.getElementById("server-state");
    this.messages = document.getElementById("messages");
    document.getElementById("freerun-all").addEventListener("click", () => this.runAll(true));
    document.getElementById("idle-all").addEventListener("click", () => this.runAll(false));
  }

  async start() {
    const token = new URLSearchParams(location.search).get("token") || "";
    const port = await websocketPort();
    this.server = new Server(location.hostname || "localhost", port, token, (route) => this.routeChanged(route));
    this.commands = this.server.route("commands");
    setInterval(() => this.tick(), TICK_MS);
  }

  routeChanged(route) {
    if (route.connected) {
      this.lost.delete(route);
      // One route back means the server is back: the others need not wait for their back-off.
      this.server.retryAll();
      if (route === this.commands) this.loadConfiguration();
    } else {
      this.lost.add(route);
    }
    const down = this.lost.size > 0;
    this.banner.hidden = !down;
    this.banner.textContent = down ? "Connection to the server lost: reconnecting…" : "";
    this.serverState.textContent = down ? "disconnected" : "connected";
    this.serverState.className = down ? "pill bad" : "pill good";
  }

  // Asked again every few seconds until it arrives; the first failure is shown.
  async loadConfiguration() {
    if (this.loading) return;
    this.loading = true;
    this.lastLoad = performance.now();
    let reply, problem = "";
    try {
      reply = await this.commands.request({ cmd: "get_configuration" });
      if (!reply || !Array.isArray(reply.blocks)) problem = `the server did not describe it (reply: ${JSON.stringify(reply)})`;
    } catch (e) {
      problem = e.message;
    } finally {
      this.loading = false;
    }
    if (problem) {
      if (this.loadFailures++ === 0) this.notify(`The configuration could not be read: ${problem}`, "error");
      return;
    }
    this.loadFailures = 0;
    const text = JSON.stringify(reply);
    if (text === this.configurationText) {
      for (const view of this.views) view.reconnected();
      return;
    }
    this.configurationText = text;
    this.build(reply);
  }

  build(configuration) {
    this.blocks = new Map(configuration.blocks.map((b) => [b.name, b]));
    const diagram = document.getElementById("diagram");
    diagram.textContent = "";
    this.diagram = new ChainDiagram(diagram, configuration.chains || [], this.blocks, (name) => {
      const card = document.getElementById(`view-${name}`);
      if (card) card.scrollIntoView({ behavior: "smooth", block: "start" });
    });
    const container = document.getElementById("views");
    container.textContent = "";
    this.views = makeViews(this, configuration);
    for (const view of this.views) container.append(view.card);
    const boards = (configuration.boards || []).map((b) => `${b.name} (${b.type})`).join(", ");
    document.getElementById("boards").textContent = boards ? `boards: ${boards}` : "";
  }

  tick() {
    const now = performance.now();
    if (this.loadFailures > 0 && this.commands.connected && now - this.lastLoad >= CONFIGURATION_RETRY_MS) this.loadConfiguration();
    for (const view of this.views) {
      // A route that is not open yet (or again) is the banner's business, not the view's.
      if (view.period > 0 && !view.busy && now - view.lastPoll >= view.period && this.server.route(view.block.route).connected) this.poll(view);
    }
    if (this.diagram && !this.statisticsBusy && now - this.lastStatistics >= STATISTICS_MS) this.pollStatistics();
  }

  // A view has one request in flight at most; one that gets no answer is
  // marked and asked again at its next turn.
  async poll(view) {
    view.busy = true;
    view.lastPoll = performance.now();
    try {
      view.setProblem(await view.poll());
    } catch (e) {
      view.setProblem(e.kind === "timeout" ? "no answer" : e.kind === "closed" ? "not connected" : e.message);
    } finally {
      view.busy = false;
      view.lastPoll = performance.now();
    }
  }

  async pollStatistics() {
    this.statisticsBusy = true;
    this.lastStatistics = performance.now();
    const state = document.getElementById("chains-state");
    try {
      const reply = await this.commands.request({ cmd: "get_statistics" });
      if (Array.isArray(reply)) {
        const rates = this.diagram.update(reply, performance.now());
        for (const view of this.views) if (rates.has(view.block.name)) view.statistics(rates.get(view.block.name));
        state.textContent = "";
      }
    } catch (e) {
      state.textContent = e.kind === "timeout" ? "statistics: no answer" : "";
    } finally {
      this.statisticsBusy = false;
    }
  }

  async runAll(on) {
    const views = this.views.filter((v) => typeof v.setRunning === "function");
    await Promise.all(views.map((v) => v.setRunning(on)));
  }

  // Sends a command to a view's block; a refusal is shown with its reply.
  send(view, command, what) {
    return this.report(view.ask(command), what);
  }

  command(route, message, what) {
    return this.report(this.server.command(route, message), what);
  }

  async report(request, what) {
    try {
      const reply = await request;
      if (accepted(reply)) return true;
      this.notify(`${what} refused: ${reply === null ? "empty reply (no block answered)" : JSON.stringify(reply)}`, "error");
    } catch (e) {
      this.notify(`${what} failed: ${e.message}`, "error");
    }
    return false;
  }

  notify(text, kind = "info") {
    const message = el("div", { class: `message ${kind}`, role: kind === "error" ? "alert" : "status" },
      el("span", {}, text), el("button", { type: "button", "aria-label": "dismiss", onclick: () => message.remove() }, "×"));
    this.messages.append(message);
    while (this.messages.children.length > MAX_MESSAGES) this.messages.firstChild.remove();
    setTimeout(() => message.remove(), kind === "error" ? 20000 : 8000);
  }

  // A modal question; resolves true when the user confirms.
  confirm(question, confirmLabel) {
    const dialog = document.getElementById("confirm");
    document.getElementById("confirm-text").textContent = question;
    document.getElementById("confirm-ok").textContent = confirmLabel;
    dialog.returnValue = "";
    dialog.showModal();
    return new Promise((resolve) => dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true }));
  }
}

new Dashboard().start();
