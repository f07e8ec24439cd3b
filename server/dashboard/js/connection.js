// WebSocket routes of the server. Every text message the server receives gets
// exactly one reply, in order, so a reply belongs to the oldest request still
// waiting on its socket.

export const REPLY_TIMEOUT_MS = 4000;
// Requests a socket may owe, timed-out ones included (their late replies must
// still be consumed to keep the order); past that the socket is reopened.
const MAX_OWED = 64;
const FIRST_RETRY_MS = 500;
const LAST_RETRY_MS = 8000;

export class RequestError extends Error {
  constructor(kind, message) {
    super(message);
    this.kind = kind; // "timeout", "closed" or "bad-reply"
  }
}

// One route (`ws://host:port/<route>`), reopened with a growing delay whenever
// it closes. onState(route) is called when it opens or closes.
export class Route {
  constructor(url, onState) {
    this.url = url;
    this.onState = onState;
    this.owed = [];
    this.socket = null;
    this.retryMs = FIRST_RETRY_MS;
    this.retryTimer = 0;
    this.stopped = false;
    this.open();
  }

  get connected() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  open() {
    this.retryTimer = 0;
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      this.retryMs = FIRST_RETRY_MS;
      this.onState(this);
    };
    socket.onmessage = (event) => this.answer(event.data);
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.failAll("connection closed");
      this.onState(this);
      if (!this.stopped) {
        this.retryTimer = setTimeout(() => this.open(), this.retryMs);
        this.retryMs = Math.min(this.retryMs * 2, LAST_RETRY_MS);
      }
    };
  }

  close() {
    this.stopped = true;
    clearTimeout(this.retryTimer);
    if (this.socket) this.socket.close();
  }

  // Reopens at once (a server that was restarted is found without waiting for
  // the back-off), unless a socket is already open or opening.
  retryNow() {
    if (this.socket || this.stopped) return;
    clearTimeout(this.retryTimer);
    this.open();
  }

  // Resolves with the parsed reply (null for an empty reply: no block answered).
  request(message) {
    if (!this.connected) return Promise.reject(new RequestError("closed", "not connected"));
    if (this.owed.length >= MAX_OWED) {
      this.socket.close();
      return Promise.reject(new RequestError("closed", "too many unanswered requests"));
    }
    return new Promise((resolve, reject) => {
      const entry = { resolve, reject, timer: 0, done: false };
      entry.timer = setTimeout(() => {
        entry.done = true;
        reject(new RequestError("timeout", "no answer"));
      }, REPLY_TIMEOUT_MS);
      this.owed.push(entry);
      this.socket.send(typeof message === "string" ? message : JSON.stringify(message));
    });
  }

  answer(text) {
    const entry = this.owed.shift();
    if (!entry || entry.done) return;
    clearTimeout(entry.timer);
    entry.done = true;
    if (text === "") {
      entry.resolve(null);
      return;
    }
    try {
      entry.resolve(JSON.parse(text));
    } catch (e) {
      entry.reject(new RequestError("bad-reply", "reply is not JSON"));
    }
  }

  failAll(reason) {
    for (const entry of this.owed) {
      if (entry.done) continue;
      clearTimeout(entry.timer);
      entry.done = true;
      entry.reject(new RequestError("closed", reason));
    }
    this.owed.length = 0;
  }
}

// The routes of one server, opened on first use.
export class Server {
  constructor(host, port, token, onState) {
    this.base = `ws://${host}:${port}/`;
    this.query = token ? `?token=${encodeURIComponent(token)}` : "";
    this.onState = onState;
    this.routes = new Map();
  }

  route(name) {
    let route = this.routes.get(name);
    if (!route) {
      route = new Route(this.base + encodeURIComponent(name) + this.query, this.onState);
      this.routes.set(name, route);
    }
    return route;
  }

  // A block reached by full path reads an argument list.
  queryPath(path, args) {
    return this.route("query_by_json").request({ path, args });
  }

  command(route, message) {
    return this.route(route).request(message);
  }

  retryAll() {
    for (const route of this.routes.values()) route.retryNow();
  }
}

// A reply that accepts a command: [{"response": true}].
export function accepted(reply) {
  return Array.isArray(reply) && reply.length > 0 && reply[0] !== null && reply[0].response === true;
}
