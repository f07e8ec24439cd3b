"""Helpers shared by the benchmark drivers: run the real server from a
configuration, talk to it over its WebSocket routes, read its memory figures.

Every wait here is bounded in time, and a server started here is killed if it
does not go away by itself.
"""

import atexit
import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

try:
    import websocket  # Debian package python3-websocket (websocket-client)
except ImportError:  # pragma: no cover - reported to the user
    sys.stderr.write("The Python module 'websocket' is missing: run bench/install-bench-packages.sh "
                     "and start the driver with /usr/bin/python3.\n")
    raise

PORT = 51234
SERVER_EXECUTABLE = "quarix-boards-server"
_NETNS_MARK = "QUARIX_BENCH_PRIVATE_NETWORK"
CHECKOUT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DEMO_CONFIG = os.path.join(CHECKOUT, "quarix_config_qdcpos.json")
ACCUMULATING = ("spectrum", "tof_histogram", "position", "image")
ACCEPTED = [{"response": True}]   # the reply to a command the server carried out


# ------------------------------------------------------------ command line

def add_common_arguments(parser, work_what="the configuration and logs", keep_what="the work folder"):
    """--build, --work-dir, --keep and --host-network, the same in every driver."""
    parser.add_argument("--build", default=os.path.join(CHECKOUT, "build-rel"),
                        help="build folder holding quarix-boards-server and boards/ (default %(default)s)")
    parser.add_argument("--work-dir", help="folder for %s (default: a temp dir)" % work_what)
    parser.add_argument("--keep", action="store_true", help="keep %s" % keep_what)
    parser.add_argument("--host-network", action="store_true",
                        help="run on the machine's network instead of a private network namespace")


def add_max_rss_argument(parser, what):
    parser.add_argument("--max-rss-mb", type=float, default=min(8192.0, machine_memory_mb() / 3.0),
                        help="%s when its memory passes this (default: a third of the machine's memory, at "
                             "most 8192)" % what)


def work_folder(args, prefix):
    """The folder a run keeps its files in: --work-dir, or a new temporary one."""
    work = args.work_dir or tempfile.mkdtemp(prefix=prefix)
    os.makedirs(work, exist_ok=True)
    return work


def remove_work_folder(args, work):
    """Removes a temporary work folder unless --keep; says where a kept one is."""
    if not args.keep and not args.work_dir:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("work folder kept: %s" % work)


# ----------------------------------------------------------- configuration

def load_config(source_path, storage):
    """A configuration file with its recordings moved to `storage`."""
    with open(source_path) as f:
        config = json.load(f)
    config["storage"]["file_path"] = storage
    return config


def write_config(path, config):
    with open(path, "w") as f:
        json.dump(config, f, indent=1)


def enabled_blocks(config):
    """(full path, block) of every block of the enabled chains, in order."""
    for k, processing in enumerate(config.get("processing", [])):
        for chain in processing.get("filter_chain", []):
            if chain.get("enable", True):
                for block in chain.get("chain", []):
                    yield "processing/%d/filter_chain/%s/chain/%s" % (k, chain["name"], block["name"]), block


def accumulating_paths(config):
    return [path for path, block in enabled_blocks(config) if block.get("block_type") in ACCUMULATING]


def block_parameter(block, name, default=None):
    for p in block.get("parameters", []):
        if p.get("param_name") == name:
            return p.get("param_value")
    return default


def _loopback_up():
    """Brings the loopback interface of a fresh network namespace up."""
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, siocgifflags, request))[1]
        fcntl.ioctl(s, siocsifflags, struct.pack("16sH14x", b"lo", flags | iff_up))


def enter_private_network(enabled=True):
    """Runs the calling script again inside a network namespace of its own.

    The server listens on every address of the machine; inside a namespace
    with only the loopback interface it is reachable on 127.0.0.1 alone, and
    its port cannot collide with another server on the machine. Returns True
    when the script runs in such a namespace, False when it runs on the
    machine's network (not root, no `unshare`, or disabled).
    """
    if os.environ.get(_NETNS_MARK) == "1":
        _loopback_up()
        return True
    if not enabled or shutil.which("unshare") is None:
        return False
    probe = subprocess.run(["unshare", "-n", "true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        return False
    env = dict(os.environ)
    env[_NETNS_MARK] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    os.execvpe("unshare", ["unshare", "-n", "--", sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:], env)
    return False  # not reached


def port_in_use(port=PORT):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "n/a"


def proc_status_kb(pid, key):
    """A 'kB' figure (VmRSS, VmHWM, ...) of /proc/<pid>/status, or None."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


def machine_memory_mb():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) // 1024
    except (OSError, ValueError):
        pass
    return 0


class ServerError(RuntimeError):
    pass


class Server:
    """One server process, started from the build folder so that its boards/
    folder is found, with its console output in a log file."""

    _live = []

    def __init__(self, build_dir, config_path, log_path):
        self.build_dir = os.path.abspath(build_dir)
        self.config_path = os.path.abspath(config_path)
        self.log_path = log_path
        self.proc = None
        self._log = None

    @classmethod
    def _kill_leftovers(cls):
        for server in list(cls._live):
            server.kill()

    def start(self, ready_timeout=20.0):
        executable = os.path.join(self.build_dir, SERVER_EXECUTABLE)
        if not os.access(executable, os.X_OK):
            raise ServerError("no server executable at %s" % executable)
        if port_in_use():
            raise ServerError("port %d is already in use on 127.0.0.1" % PORT)
        self._log = open(self.log_path, "ab")
        self.proc = subprocess.Popen([executable, "-c", self.config_path], cwd=self.build_dir,
                                     stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT)
        if not Server._live:
            atexit.register(Server._kill_leftovers)
        Server._live.append(self)
        deadline = time.monotonic() + ready_timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise ServerError("server exited with status %s during start-up; log: %s\n%s"
                                  % (self.proc.returncode, self.log_path, self.log_tail()))
            try:
                ws = websocket.create_connection("ws://127.0.0.1:%d/commands" % PORT, timeout=1.0)
                ws.close()
                return
            except (OSError, websocket.WebSocketException):
                time.sleep(0.05)
        self.kill()
        raise ServerError("server not answering on port %d after %.0f s; log: %s"
                          % (PORT, ready_timeout, self.log_path))

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def rss_kb(self):
        return proc_status_kb(self.proc.pid, "VmRSS") if self.alive() else None

    def peak_rss_kb(self):
        return proc_status_kb(self.proc.pid, "VmHWM") if self.alive() else None

    def terminate(self, limit=2.0, kill_after=5.0):
        """SIGTERM; returns (seconds until exit or None when it took longer
        than kill_after and was killed, exit status)."""
        if not self.alive():
            return (0.0, self.proc.returncode if self.proc else None)
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=max(limit, kill_after))
            elapsed = time.monotonic() - start
        except subprocess.TimeoutExpired:
            self.kill()
            elapsed = None
        self._close()
        return (elapsed, self.proc.returncode)

    def kill(self):
        if self.alive():
            self.proc.kill()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self._close()

    def _close(self):
        if self in Server._live and not self.alive():
            Server._live.remove(self)
        if self._log:
            self._log.close()
            self._log = None

    def log_tail(self, lines=15):
        try:
            with open(self.log_path, "rb") as f:
                f.seek(0, os.SEEK_END)
                f.seek(max(0, f.tell() - 8192))
                return "\n".join(f.read().decode("latin-1").splitlines()[-lines:])
        except OSError:
            return ""


class Client:
    """A WebSocket client on one route; every request gets exactly one reply."""

    def __init__(self, route, timeout=10.0, connect_timeout=5.0):
        self.route = route
        # The client's own UTF-8 check of a reply, in pure Python, takes longer
        # than the server takes to make a 1 MB spectrum reply: leave it out,
        # so that what is timed is the server.
        self.ws = websocket.create_connection("ws://127.0.0.1:%d/%s" % (PORT, route), timeout=connect_timeout,
                                              skip_utf8_validation=True)
        self.ws.settimeout(timeout)

    def ask(self, message, timeout=None):
        """Sends a message (a dict is sent as JSON) and returns the reply text."""
        if timeout is not None:
            self.ws.settimeout(timeout)
        self.ws.send(message if isinstance(message, str) else json.dumps(message))
        reply = self.ws.recv()
        return reply.decode("latin-1") if isinstance(reply, bytes) else reply

    def ask_json(self, message, timeout=None):
        """The reply parsed as JSON; None for an empty reply."""
        text = self.ask(message, timeout)
        if not text.strip():
            return None
        return json.loads(text)

    def close(self):
        try:
            self.ws.close()
        except (OSError, websocket.WebSocketException):
            pass


def set_freerun(path, timeout=10.0):
    """Sets an accumulating block counting, on a client of its own; False when
    it did not accept or answer in time."""
    try:
        client = Client("query_by_json", timeout=timeout, connect_timeout=timeout)
    except (OSError, websocket.WebSocketException):
        return False
    try:
        return client.ask_json({"path": path, "args": [{"cmd": "run_control", "status": "freerun"}]}) == ACCEPTED
    except (OSError, ValueError, websocket.WebSocketException):
        return False
    finally:
        client.close()


def stop_server(server, limit=2.0, kill_after=5.0):
    """SIGTERM to a started server: (seconds until it exited, or None when it
    had exited before or was killed; exit status; notes on what went wrong)."""
    was_running = server.alive()
    elapsed, status = server.terminate(limit=limit, kill_after=kill_after)
    if not was_running:
        return None, status, ["server not running at the end (status %s)" % status]
    if elapsed is None:
        return None, status, ["server killed: no exit within %g s of SIGTERM" % max(limit, kill_after)]
    return elapsed, status, []


def connects_within(route, limit):
    """Seconds a new client takes to connect, or None when it does not within `limit`."""
    start = time.monotonic()
    try:
        ws = websocket.create_connection("ws://127.0.0.1:%d/%s" % (PORT, route), timeout=limit)
    except (OSError, websocket.WebSocketException):
        return None
    elapsed = time.monotonic() - start
    try:
        ws.close()
    except (OSError, websocket.WebSocketException):
        pass
    return elapsed if elapsed <= limit else None


def statistics_totals(reply):
    """Sums a get_statistics reply (one object per block) into (events lost,
    events dropped at output pins, messages dropped at output pins); a
    block's lost_events already count what its output pins dropped. None
    when the reply is not such a list."""
    if not isinstance(reply, list) or not reply or not all(isinstance(b, dict) for b in reply):
        return None
    lost = dropped_events = dropped_messages = 0
    for block in reply:
        lost += int(block.get("lost_events", 0) or 0)
        for pin in block.get("outputs", []) or []:
            if isinstance(pin, dict):
                dropped_events += int(pin.get("dropped_events", 0) or 0)
                dropped_messages += int(pin.get("dropped_messages", 0) or 0)
    return lost, dropped_events, dropped_messages


def block_lines(reply):
    """One line per block of a get_statistics reply: its counts, what its
    output pins dropped and hold queued, and its losses by cause."""
    lines = []
    for block in reply:
        pins = [p for p in block.get("outputs", []) or [] if isinstance(p, dict)]
        dropped = sum(int(p.get("dropped_events", 0) or 0) for p in pins)
        queued = sum(int(p.get("queued", 0) or 0) for p in pins)
        losses = block.get("losses") or {}
        lines.append("%-16s %-18s in %12s out %12s lost %10s dropped %9s queued %6d%s" % (
            block.get("name"), block.get("type"), block.get("events_in"), block.get("events_out"),
            block.get("lost_events"), dropped, queued, ("  " + json.dumps(losses)) if losses else ""))
    return lines


def fetch_statistics(timeout=10.0):
    """The parsed get_statistics reply, on a client of its own (so a late
    reply cannot be taken for the answer to a later request), or None when
    the server does not answer the command (yet), or not in time."""
    try:
        client = Client("commands", timeout=timeout, connect_timeout=timeout)
    except (OSError, websocket.WebSocketException):
        return None
    try:
        reply = client.ask_json({"cmd": "get_statistics"})
    except (ValueError, OSError, websocket.WebSocketException):
        return None
    finally:
        client.close()
    return reply if statistics_totals(reply) is not None else None
