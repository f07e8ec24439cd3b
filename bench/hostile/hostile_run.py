#!/usr/bin/python3
"""Does the server stay in control under hostile clients?

Runs the real server on the demo configuration (simulated boards, every
accumulating block counting) and, for each scenario on a fresh server:

  a) never-reading: clients that ask for the whole spectrum in a loop and
     never read their socket (a new one connects whenever the server cuts the
     previous one off);
  b) big-message: a client that sends one 100 MB text message, again and
     again (a new connection each time);
  c) both at once.

Meanwhile an observer client asks for the whole spectrum every 20 ms and times
each reply. Reported per scenario: the server's peak memory (RSS sampled every
20 ms, and VmHWM), the observer's reply times (median, max), the memory a few
seconds after the hostile clients left, how the server ended each hostile
connection, and how long SIGTERM takes to end the server while the hostile
clients are at it again. The figures are reported with the machine's load.
"""

import argparse
import base64
import json
import multiprocessing
import os
import socket
import statistics as stats
import struct
import sys
import threading
import time

sys.dont_write_bytecode = True   # no __pycache__ left in the checkout
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pytools"))

import quarix_bench as qb  # noqa: E402

GOAL_RSS_MB = 300.0
GOAL_LATENCY_MS = 100.0
GOAL_SIGTERM_S = 2.0
HOSTILE_NICE = 0   # set from --hostile-nice


# ---------------------------------------------------------------- raw client

class RawSocket:
    """A WebSocket client written out by hand, so that it can do what a
    library would not: never read, or announce a huge frame and stream it."""

    def __init__(self, route, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", qb.PORT), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        request = ("GET /%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (route, qb.PORT, key))
        self.sock.sendall(request.encode())
        response = b""
        while b"\r\n\r\n" not in response:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("handshake: connection closed")
            response += chunk
        status = response.split(b"\r\n", 1)[0]
        if b" 101 " not in status + b" ":
            raise ConnectionError("handshake refused: %r" % status)
        self.pending = response.split(b"\r\n\r\n", 1)[1]

    @staticmethod
    def header(opcode, length, fin=True, mask=b"\0\0\0\0"):
        first = (0x80 if fin else 0) | opcode
        if length < 126:
            head = struct.pack("!BB", first, 0x80 | length)
        elif length < 65536:
            head = struct.pack("!BBH", first, 0x80 | 126, length)
        else:
            head = struct.pack("!BBQ", first, 0x80 | 127, length)
        return head + mask

    @staticmethod
    def masked_frame(opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        key = (mask * (n // 4 + 1))[:n]
        body = (int.from_bytes(payload, "big") ^ int.from_bytes(key, "big")).to_bytes(n, "big") if n else b""
        return RawSocket.header(opcode, n, True, mask) + body

    def close_code(self, timeout=2.0):
        """Reads until a close frame arrives: its code, or None (connection
        reset, or closed without one, or nothing within the timeout)."""
        self.sock.settimeout(timeout)
        data = self.pending
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                # Walk the frames received so far.
                at = 0
                while len(data) - at >= 2:
                    opcode = data[at] & 0x0F
                    length = data[at + 1] & 0x7F
                    head = 2
                    if length == 126:
                        if len(data) - at < 4:
                            break
                        length = struct.unpack("!H", data[at + 2:at + 4])[0]
                        head = 4
                    elif length == 127:
                        if len(data) - at < 10:
                            break
                        length = struct.unpack("!Q", data[at + 2:at + 10])[0]
                        head = 10
                    if len(data) - at < head + length:
                        break
                    if opcode == 0x8:
                        payload = data[at + head:at + head + length]
                        return struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else 1005
                    at += head + length
                data = data[at:]
                chunk = self.sock.recv(65536)
                if not chunk:
                    return None
                data += chunk
        except OSError:
            return None
        return None

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


# ---------------------------------------------------------------- the actors

class Sampler(threading.Thread):
    """The server's RSS every 20 ms; keeps the peak."""

    def __init__(self, server):
        super().__init__(daemon=True)
        self.server = server
        self.peak_kb = 0
        self.stop_flag = threading.Event()

    def run(self):
        while not self.stop_flag.is_set():
            rss = self.server.rss_kb()
            if rss:
                self.peak_kb = max(self.peak_kb, rss)
            time.sleep(0.02)


class Observer(threading.Thread):
    """A well-behaved client: the whole spectrum every 20 ms, each reply timed.
    It also records how late its own 20 ms pauses end (`late_ms`): the delay
    the machine's load alone puts on the observer, server or not."""

    def __init__(self, request, timeout):
        super().__init__(daemon=True)
        self.request = request
        self.timeout = timeout
        self.times_ms = []
        self.late_ms = []
        self.failures = 0
        self.stop_flag = threading.Event()

    def run(self):
        client = None
        while not self.stop_flag.is_set():
            try:
                if client is None:
                    client = qb.Client("query_by_json", timeout=self.timeout, connect_timeout=self.timeout)
                start = time.monotonic()
                reply = client.ask(self.request)
                elapsed = (time.monotonic() - start) * 1000.0
                if not reply.startswith("[{\"data\""):
                    raise ValueError("unexpected reply %r" % reply[:60])
                self.times_ms.append(elapsed)
            except (OSError, ValueError, qb.websocket.WebSocketException):
                self.failures += 1
                if client:
                    client.close()
                client = None
            pause = time.monotonic()
            self.stop_flag.wait(0.02)
            self.late_ms.append(max(0.0, (time.monotonic() - pause - 0.02) * 1000.0))
        if client:
            client.close()


class HostileClient(multiprocessing.Process):
    """A hostile client, in a process of its own so that the observer's timing
    is the server's and not the wait for the interpreter's lock. Connects
    again and again until stopped; attack() does its mischief on each
    connection and says whether to go on."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stop_flag = multiprocessing.Event()

    def run(self):
        os.nice(HOSTILE_NICE)
        while not self.stop_flag.is_set():
            try:
                ws = RawSocket("query_by_json")
            except OSError:
                self.stop_flag.wait(0.05)
                continue
            try:
                if not self.attack(ws):
                    return
            finally:
                ws.close()


class NeverReader(HostileClient):
    """Asks for the whole spectrum in a loop (20 requests, then `pause`
    seconds; 0: as fast as it can) and never reads; when the server cuts it
    off, connects again."""

    def __init__(self, request, pause=0.0):
        super().__init__()
        self.frame = RawSocket.masked_frame(0x1, request.encode())
        self.pause = pause
        self.counts = multiprocessing.Array("q", 3)   # connections, cut off, bytes sent

    @property
    def figures(self):
        """(connections, connections cut off by the server, whole requests the
        network took)."""
        connections, cut, sent = self.counts[:]
        return connections, cut, sent // len(self.frame)

    def attack(self, ws):
        batch = self.frame * 20
        self.counts[0] += 1
        ws.sock.settimeout(1.0)
        try:
            while not self.stop_flag.is_set():
                view = memoryview(batch)
                while view and not self.stop_flag.is_set():
                    try:
                        n = ws.sock.send(view)
                    except socket.timeout:
                        continue   # the server reads nothing more: keep trying
                    self.counts[2] += n
                    view = view[n:]
                if self.pause:
                    self.stop_flag.wait(self.pause)
        except OSError:
            self.counts[1] += 1
        return True


class BigSender(HostileClient):
    """Sends one text message of `size` bytes in a single frame, streaming
    the payload in 1 MB pieces; records how much of it got out before the
    server closed the connection, and the close code it sent."""

    def __init__(self, size, repeat=True):
        super().__init__()
        self.size = size
        self.repeat = repeat
        self.queue = multiprocessing.Queue()
        self.results = []   # (bytes sent, close code, seconds), filled by collect()

    def collect(self):
        while True:
            try:
                self.results.append(self.queue.get(timeout=0.5))
            except Exception:   # queue.Empty
                return

    def attack(self, ws):
        # A zero mask leaves the payload as it is (any mask is valid): the
        # client spends no time masking 100 MB.
        piece = b"a" * (1 << 20)
        ws.sock.settimeout(2.0)
        start = time.monotonic()
        sent = 0
        try:
            ws.sock.sendall(RawSocket.header(0x1, self.size))
            while sent < self.size and not self.stop_flag.is_set():
                n = min(len(piece), self.size - sent)
                ws.sock.sendall(piece[:n])
                sent += n
        except OSError:
            pass
        self.queue.put((sent, ws.close_code(2.0), time.monotonic() - start))
        ws.close()
        if self.repeat:
            self.stop_flag.wait(0.2)
        return self.repeat


# ---------------------------------------------------------------- scenarios

def main_thread_wait_ms(pid):
    """Milliseconds the server's main thread has spent ready to run but
    waiting for a CPU (Linux schedstat), or None."""
    try:
        with open("/proc/%d/task/%d/schedstat" % (pid, pid)) as f:
            return int(f.read().split()[1]) / 1e6
    except (OSError, ValueError, IndexError):
        return None


def demo_config(source_path, storage, server_section):
    """The configuration with the "server" section, its first spectrum as
    (path, channels) or None, and the paths of its accumulating blocks."""
    config = qb.load_config(source_path, storage)
    if server_section:
        config["server"] = server_section
    spectra = [(path, int(qb.block_parameter(block, "ch_number", 1)))
               for path, block in qb.enabled_blocks(config) if block.get("block_type") == "spectrum"]
    return config, spectra[0] if spectra else None, qb.accumulating_paths(config)


def hostile_actors(name, request, args):
    """The hostile clients of a scenario, started."""
    actors = []
    if name in ("never-reading", "both"):
        actors.append(NeverReader(request, args.reader_pause_ms / 1000.0))
    if name in ("big-message", "both"):
        actors.append(BigSender(args.message_mb * 1000000))
    for actor in actors:
        actor.start()
    return actors


def stop_actors(actors):
    """Stops the hostile clients, collects what the big senders report, and
    kills a process that does not end in time."""
    for actor in actors:
        actor.stop_flag.set()
    for actor in actors:
        if isinstance(actor, BigSender):
            actor.collect()
        actor.join(timeout=10.0)
        if actor.is_alive():
            actor.kill()


def run_scenario(name, args, config_path, work, request, accumulating):
    print("\n== scenario %s (load average %s)" % (name, qb.loadavg()), flush=True)
    server = qb.Server(args.build, config_path, os.path.join(work, "server-%s.log" % name))
    server.start()
    for path in accumulating:
        if not qb.set_freerun(path):
            print("  %s did not accept freerun" % path, flush=True)
    time.sleep(1.0)
    rss_before = (server.rss_kb() or 0) / 1024.0

    sampler = Sampler(server)
    observer = Observer(request, args.request_timeout)
    sampler.start()
    observer.start()
    time.sleep(1.0)
    quiet_times = list(observer.times_ms)

    hostile = hostile_actors(name, request, args)
    attack_from = len(observer.times_ms)
    late_from = len(observer.late_ms)
    wait_before = main_thread_wait_ms(server.pid)
    time.sleep(args.seconds)
    wait_after = main_thread_wait_ms(server.pid)
    stop_actors(hostile)
    attack_times = observer.times_ms[attack_from:]
    attack_late = observer.late_ms[late_from:]
    failures_during = observer.failures
    time.sleep(args.settle)
    rss_after = (server.rss_kb() or 0) / 1024.0

    # SIGTERM while the hostile clients are at it again.
    again = hostile_actors(name, request, args)
    time.sleep(2.0)
    peak_hwm = (server.peak_rss_kb() or 0) / 1024.0
    exit_s, status = server.terminate(limit=GOAL_SIGTERM_S, kill_after=10.0)
    observer.stop_flag.set()
    sampler.stop_flag.set()
    stop_actors(again)
    observer.join(timeout=15.0)
    sampler.join(timeout=2.0)

    with open(server.log_path, "rb") as f:
        log = f.read().decode("latin-1")
    result = {
        "name": name,
        "rss_before_mb": rss_before,
        "rss_peak_mb": max(sampler.peak_kb / 1024.0, 0.0),
        "hwm_mb": peak_hwm,
        "rss_after_mb": rss_after,
        "quiet_ms": quiet_times,
        "attack_ms": attack_times,
        "late_ms": attack_late,
        "cpu_wait_ms": None if wait_before is None or wait_after is None else wait_after - wait_before,
        "observer_failures": failures_during,
        "exit_s": exit_s,
        "status": status,
        "log_cutoffs": log.count("of replies left unread"),
        "log_too_big": log.count("closed with code 1009"),
    }
    for actor in hostile:
        if isinstance(actor, NeverReader):
            result["reader"] = actor.figures
        if isinstance(actor, BigSender):
            result["big"] = list(actor.results)
    report(result, args)
    return result


def ms(values, fn):
    return "%.1f ms" % fn(values) if values else "-"


def p99(values):
    return sorted(values)[int(0.99 * (len(values) - 1))]


def report(r, args):
    print("  RSS: before %.0f MB, peak %.0f MB sampled / %.0f MB VmHWM (goal < %.0f), %.0f MB %g s after the "
          "hostile clients left" % (r["rss_before_mb"], r["rss_peak_mb"], r["hwm_mb"], GOAL_RSS_MB, r["rss_after_mb"],
                                    args.settle))
    print("  observer (whole spectrum every 20 ms): quiet median %s max %s; under attack median %s max %s over %d "
          "replies (goal max < %.0f ms); %d failed requests"
          % (ms(r["quiet_ms"], stats.median), ms(r["quiet_ms"], max), ms(r["attack_ms"], stats.median),
             ms(r["attack_ms"], max), len(r["attack_ms"]), GOAL_LATENCY_MS, r["observer_failures"]))
    if r["attack_ms"]:
        over = sum(1 for t in r["attack_ms"] if t >= GOAL_LATENCY_MS)
        print("  observer under attack: p99 %s, %d replies of %d at or over %.0f ms; its own 20 ms pauses "
              "ended up to %s late (machine load, not the server)"
              % (ms(r["attack_ms"], p99), over, len(r["attack_ms"]), GOAL_LATENCY_MS, ms(r["late_ms"], max)))
    if r["cpu_wait_ms"] is not None:
        print("  the server's main thread waited for a CPU %.0f ms in all during the %g s attack"
              % (r["cpu_wait_ms"], args.seconds))
    if "reader" in r:
        connections, cut, sent = r["reader"]
        print("  never-reading clients: %d connections, %d cut off by the server, %d requests sent; server log "
              "lines for cut-offs (replies left unread): %d" % (connections, cut, sent, r["log_cutoffs"]))
    if "big" in r:
        big = r["big"]
        codes = {}
        for _, code, _ in big:
            codes[code] = codes.get(code, 0) + 1
        taken = [s for s, _, _ in big]
        print("  100 MB messages: %d tried; bytes the client got out before the server closed it (read and thrown "
              "away): max %.1f MB, median %.1f MB; close codes received %s; server log lines for code 1009: %d"
              % (len(big), max(taken) / 1e6 if taken else 0, stats.median(taken) / 1e6 if taken else 0,
                 ", ".join("%s x%d" % (c, n) for c, n in sorted(codes.items(), key=lambda i: str(i[0]))),
                 r["log_too_big"]))
    print("  SIGTERM under attack: %s, exit status %s"
          % ("%.2f s" % r["exit_s"] if r["exit_s"] is not None else "no exit within 10 s (killed)", r["status"]),
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    qb.add_common_arguments(parser)
    parser.add_argument("--config", default=qb.DEMO_CONFIG, help="configuration to run (default: the demo configuration)")
    parser.add_argument("--scenarios", default="never-reading,big-message,both",
                        help="comma-separated list of never-reading, big-message, both (default: all)")
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each attack (default 20)")
    parser.add_argument("--settle", type=float, default=3.0,
                        help="seconds after the attack before the memory is read again (default 3)")
    parser.add_argument("--message-mb", type=int, default=100, help="size of the big message, MB (default 100)")
    parser.add_argument("--hostile-nice", type=int, default=0,
                        help="run the hostile clients at this nice value (default 0: the observer's priority); "
                             "a high value stands for hostile clients on other machines, which take no CPU from "
                             "the server's machine")
    parser.add_argument("--reader-pause-ms", type=float, default=0.0,
                        help="pause of the never-reading client after every 20 requests, ms (default 0: none)")
    parser.add_argument("--backlog", type=int, default=0,
                        help="write this \"max_client_backlog_bytes\" into the configuration (default: leave "
                             "the server's default)")
    parser.add_argument("--max-message", type=int, default=0,
                        help="write this \"max_message_bytes\" into the configuration (default: leave the "
                             "server's default)")
    parser.add_argument("--request-timeout", type=float, default=10.0,
                        help="an observer request without a reply for this long counts as failed, s (default 10)")
    args = parser.parse_args()

    private = qb.enter_private_network(not args.host_network)
    global HOSTILE_NICE
    HOSTILE_NICE = args.hostile_nice
    work = qb.work_folder(args, "quarix-hostile-")
    storage = os.path.join(work, "storage")
    os.makedirs(storage, exist_ok=True)
    section = {}
    if args.backlog:
        section["max_client_backlog_bytes"] = args.backlog
    if args.max_message:
        section["max_message_bytes"] = args.max_message
    config, spectrum, accumulating = demo_config(args.config, storage, section)
    if spectrum is None:
        parser.error("no spectrum block in %s" % args.config)
    config_path = os.path.join(work, "hostile_config.json")
    qb.write_config(config_path, config)
    request = json.dumps({"path": spectrum[0], "args": [{"cmd": "get_data"}, {"channels": list(range(spectrum[1]))}]})

    print("hostile clients: build %s, network %s, %g s per attack, spectrum %s (%d channels)"
          % (args.build, "private namespace" if private else "host", args.seconds, spectrum[0], spectrum[1]))
    print("\"server\" section: %s" % (json.dumps(section) if section else "none (the server's defaults)"))
    print("hostile clients at nice %d, %d CPUs" % (args.hostile_nice, os.cpu_count() or 0))
    print("uptime: %s" % os.popen("uptime").read().strip(), flush=True)
    results = []
    for name in [s.strip() for s in args.scenarios.split(",") if s.strip()]:
        if name not in ("never-reading", "big-message", "both"):
            parser.error("unknown scenario %s" % name)
        try:
            results.append(run_scenario(name, args, config_path, work, request, accumulating))
        except (qb.ServerError, OSError, qb.websocket.WebSocketException) as error:
            print("  scenario %s stopped: %s" % (name, error), flush=True)
            results.append(None)
    print("\nuptime at end: %s" % os.popen("uptime").read().strip())

    print("\nsummary (goals: RSS < %.0f MB, observer max < %.0f ms, SIGTERM < %.0f s)"
          % (GOAL_RSS_MB, GOAL_LATENCY_MS, GOAL_SIGTERM_S))
    print("%-14s %9s %9s %9s %12s %12s %12s %9s" % ("scenario", "RSS peak", "VmHWM", "RSS after", "obs. median",
                                                     "obs. p99", "obs. max", "SIGTERM"))
    ok = True
    for r in results:
        if r is None:
            ok = False
            continue
        print("%-14s %6.0f MB %6.0f MB %6.0f MB %12s %12s %12s %9s" % (
            r["name"], r["rss_peak_mb"], r["hwm_mb"], r["rss_after_mb"], ms(r["attack_ms"], stats.median),
            ms(r["attack_ms"], p99), ms(r["attack_ms"], max),
            "%.2f s" % r["exit_s"] if r["exit_s"] is not None else "killed"))
        ok = ok and max(r["rss_peak_mb"], r["hwm_mb"]) < GOAL_RSS_MB and r["attack_ms"] and \
            max(r["attack_ms"]) < GOAL_LATENCY_MS and r["exit_s"] is not None and r["exit_s"] < GOAL_SIGTERM_S \
            and r["observer_failures"] == 0 and r["status"] == 0
    qb.remove_work_folder(args, work)
    print("result: %s" % ("all goals met" if ok else "NOT all goals met"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
