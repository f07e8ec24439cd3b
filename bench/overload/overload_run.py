#!/usr/bin/python3
"""Does the server stay in control when the board delivers more than the
chains can take?

The demo configuration is copied with its simulated boards at full speed
(rate 0: every read delivers a full batch) and its spectrum enlarged to
32 channels x 16384 bins; every accumulating block is set counting. The
server runs for --minutes; every --interval seconds the driver samples the
server's memory, times 20 get_data requests of all 32 spectrum channels and
checks that a new client connects within 1 s. At the end it records a run
for a few seconds, stops the server with SIGTERM, times the exit and checks
that the recorded files are complete.
"""

import argparse
import glob
import json
import os
import statistics as stats
import sys
import time

sys.dont_write_bytecode = True   # no __pycache__ left in the checkout
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pytools"))

import quarix_bench as qb  # noqa: E402

SPECTRUM_CHANNELS = 32
SPECTRUM_BINS = 16384
LIST_RECORD = 25
LIST_HEADER = 14          # "QRXS" and ten digits of creation time


def full_speed(connection):
    """The sim connection string with rate=0 (replacing any rate item)."""
    if not connection.startswith("sim"):
        return connection
    items = [] if connection in ("sim", "sim:") else connection[4:].split(";")
    items = [i for i in items if i.strip() and i.split("=", 1)[0].strip() != "rate"]
    return "sim:" + ";".join(items + ["rate=0"])


def overload_config(source_path, storage, spectrum_name):
    """The demo configuration at full speed with the enlarged spectrum.
    Returns (configuration, spectrum full path, paths of accumulating blocks)."""
    config = qb.load_config(source_path, storage)
    for board in config.get("Hardware", []):
        if board.get("board_plugin", "").lower() != "libvraxdig2sim":
            continue
        board["board_connection_string"] = full_speed(board.get("board_connection_string", "sim"))
        # The configuration's own rate setting is applied after the open and would win.
        for group in board.get("configs", []):
            for element in group.get("elements", []):
                if element.get("path") == "sim\\rate":
                    element["value"] = "0"
    spectrum_path = None
    for path, block in qb.enabled_blocks(config):
        if block.get("block_type") == "spectrum" and spectrum_name in (None, block["name"]):
            spectrum_path = path
            params = [p for p in block.get("parameters", []) if p.get("param_name") not in ("bin_number", "ch_number")]
            block["parameters"] = params + [{"param_name": "bin_number", "param_value": SPECTRUM_BINS},
                                            {"param_name": "ch_number", "param_value": SPECTRUM_CHANNELS}]
            break
    return config, spectrum_path, qb.accumulating_paths(config)


class Spectrum:
    """A client of the spectrum that survives a request that timed out."""

    def __init__(self, path, timeout):
        self.path = path
        self.timeout = timeout
        self.client = None

    def get_all(self):
        """Seconds one get_data of every channel takes, or None on a failure
        (no reply within the timeout, or a reply of the wrong shape)."""
        if self.client is None:
            try:
                self.client = qb.Client("query_by_json", timeout=self.timeout, connect_timeout=self.timeout)
            except (OSError, qb.websocket.WebSocketException):
                return None
        message = json.dumps({"path": self.path,
                              "args": [{"cmd": "get_data"}, {"channels": list(range(SPECTRUM_CHANNELS))}]})
        start = time.monotonic()
        try:
            text = self.client.ask(message)
        except (OSError, qb.websocket.WebSocketException):
            self.client.close()
            self.client = None
            return None
        elapsed = time.monotonic() - start
        # A cheap shape check: one {"data": [...]} per channel.
        if text.count('"data"') != SPECTRUM_CHANNELS:
            return None
        return elapsed

    def close(self):
        if self.client:
            self.client.close()


def check_files(run_dir, file_format):
    """Checks every recorded file. Returns (lines describing them, all complete)."""
    lines = []
    complete = True
    paths = sorted(glob.glob(os.path.join(run_dir, "*")))
    if not paths:
        return ["no file recorded in %s" % run_dir], False
    for path in paths:
        name = os.path.basename(path)
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            head = f.read(16)
            f.seek(max(0, size - 1))
            tail = f.read(1)
        verdict = ""
        if name.endswith(".bin") and head[:4] == b"QRXS":
            body = size - LIST_HEADER
            ok = body >= 0 and body % LIST_RECORD == 0 and head[4:14].isdigit()
            verdict = "%d events, %s" % (body // LIST_RECORD, "complete" if ok else
                                         "NOT whole records (%d bytes over)" % (body % LIST_RECORD))
            complete &= ok
        elif name.endswith(".bin"):
            ok = head[:3] == b"QRX" and size >= 16
            verdict = "header %s" % ("ok" if ok else "BAD")
            complete &= ok
        elif name.endswith(".json") or file_format == "JSON" and not name.endswith((".stat", ".csv")):
            ok = tail == b"]"
            verdict = "ends with ]" if ok else "does NOT end with ]"
            complete &= ok
        elif name.endswith(".stat"):
            with open(path, "rb") as f:
                text = f.read().decode("latin-1")
            ok = text.endswith("\n") or not text
            verdict = "%d lines%s" % (text.count("\n"), "" if ok else ", last line cut")
            complete &= ok
        elif name.endswith(".csv"):
            ok = tail in (b"\n", b"")
            verdict = "ends with a line end" if ok else "last line cut"
            complete &= ok
        lines.append("%-28s %12d bytes  %s" % (name, size, verdict))
    return lines, complete


def slope_per_minute(samples):
    """Least-squares slope of (seconds, MB) samples, in MB per minute."""
    if len(samples) < 2:
        return None
    xs = [s[0] for s in samples]
    ys = [s[1] for s in samples]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    if sxx == 0:
        return None
    return 60.0 * sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx


def print_statistics(label, reply):
    if reply is None:
        print("%s: statistics: n/a" % label)
        return
    lost, dropped_events, dropped_messages = qb.statistics_totals(reply)
    delivered = sum(int(b.get("events_out", 0) or 0) for b in reply if b.get("type") == "source")
    print("%s: sources handed on %d payloads; lost %d (of which dropped at output pins: %d payloads in %d messages)"
          % (label, delivered, lost, dropped_events, dropped_messages))
    for line in qb.block_lines(reply):
        print("    " + line)


def record_run(seconds, timeout=10.0):
    """Statistics, a recorded run of `seconds`, statistics again. Returns
    (statistics before, statistics after, notes on what did not answer)."""
    notes = []
    before = after = None
    try:
        commands = qb.Client("commands", timeout=timeout, connect_timeout=timeout)
    except (OSError, qb.websocket.WebSocketException) as error:
        return None, None, ["commands route: no connection within %g s (%s)" % (timeout, error)]
    try:
        before = qb.fetch_statistics(timeout)
        reply = commands.ask_json({"cmd": "start_dump", "run_id": "1"}, timeout=timeout)
        if reply != qb.ACCEPTED:
            notes.append("start_dump answered %r" % (reply,))
    except (OSError, ValueError, qb.websocket.WebSocketException) as error:
        notes.append("start_dump: no reply within %g s (%s)" % (timeout, error))
        commands.close()
        time.sleep(seconds)
        return before, None, notes
    time.sleep(seconds)
    after = qb.fetch_statistics(timeout)
    commands.close()
    return before, after, notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    qb.add_common_arguments(parser, "the configuration, log and recording")
    qb.add_max_rss_argument(parser, "end the run early")
    parser.add_argument("--config", default=qb.DEMO_CONFIG, help="configuration to overload (default: the demo configuration)")
    parser.add_argument("--spectrum", default=None, help="name of the spectrum block to enlarge (default: the first)")
    parser.add_argument("--minutes", type=float, default=10.0, help="length of the run (default 10)")
    parser.add_argument("--interval", type=float, default=10.0, help="seconds between samples (default 10)")
    parser.add_argument("--requests", type=int, default=20, help="get_data requests per sample (default 20)")
    parser.add_argument("--request-timeout", type=float, default=10.0,
                        help="a get_data without a reply for this long counts as failed, s (default 10)")
    parser.add_argument("--dump-seconds", type=float, default=5.0, help="length of the final recording (default 5)")
    args = parser.parse_args()

    private = qb.enter_private_network(not args.host_network)
    work = qb.work_folder(args, "quarix-overload-")
    storage = os.path.join(work, "storage")
    os.makedirs(storage, exist_ok=True)
    config, spectrum_path, accumulating = overload_config(args.config, storage, args.spectrum)
    if spectrum_path is None:
        parser.error("no spectrum block in %s" % args.config)
    config_path = os.path.join(work, "overload_config.json")
    qb.write_config(config_path, config)
    file_format = str(config["storage"].get("format", "BIN")).upper()

    print("overload run: build %s, %g min, sample every %g s, network %s"
          % (args.build, args.minutes, args.interval, "private namespace" if private else "host"))
    print("configuration %s (simulated boards at rate 0, %s: %d channels x %d bins)"
          % (config_path, spectrum_path, SPECTRUM_CHANNELS, SPECTRUM_BINS))
    print("load average at start: %s" % qb.loadavg(), flush=True)

    server = qb.Server(args.build, config_path, os.path.join(work, "server.log"))
    samples = []        # (seconds, rss MB, median ms, max ms, unanswered, connect ms or None, answered)
    all_requests = []
    stopped_early = None
    statistics_before = statistics_after = None
    end_notes = []
    max_rss_kb = 0
    exit_s = exit_status = None
    file_lines, files_ok = [], False
    spectrum = Spectrum(spectrum_path, args.request_timeout)
    try:
        server.start()
        for path in accumulating:
            if not qb.set_freerun(path, args.request_timeout):
                end_notes.append("run_control freerun of %s: no reply within %g s" % (path, args.request_timeout))
        t0 = time.monotonic()
        end = t0 + args.minutes * 60.0
        print("%8s %9s %10s %12s %12s %12s" % ("t s", "RSS MB", "answered", "get_data med", "get_data max",
                                              "new client"), flush=True)
        next_sample = t0
        while time.monotonic() < end:
            if not server.alive():
                stopped_early = "server exited with status %s" % server.proc.returncode
                break
            sample_start = time.monotonic()
            rss = server.rss_kb() or 0
            times = []
            unanswered = 0
            for _ in range(args.requests):
                # A request left without a reply ends the sample's requests,
                # and so does a sample that has taken far too long already.
                if time.monotonic() - sample_start > max(3.0 * args.interval, 30.0):
                    break
                elapsed = spectrum.get_all()
                if elapsed is None:
                    unanswered += 1
                    break
                times.append(elapsed * 1000.0)
            connect = qb.connects_within("commands", 1.0)
            rss = max(rss, server.rss_kb() or 0)
            max_rss_kb = max(max_rss_kb, rss)
            t = sample_start - t0
            median = stats.median(times) if times else None
            peak = max(times) if times else None
            all_requests += times
            samples.append((t, rss / 1024.0, median, peak, unanswered,
                            None if connect is None else connect * 1000.0, len(times)))
            print("%8.0f %9.0f %10s %12s %12s %12s" % (
                t, rss / 1024.0, "%d/%d" % (len(times), len(times) + unanswered),
                "-" if median is None else "%.1f ms" % median, "-" if peak is None else "%.1f ms" % peak,
                "FAILED" if connect is None else "%.1f ms" % (connect * 1000.0)), flush=True)
            next_sample += args.interval
            while time.monotonic() < min(next_sample, end) and stopped_early is None:
                current = server.rss_kb() or 0
                max_rss_kb = max(max_rss_kb, current)
                if current / 1024.0 > args.max_rss_mb:
                    stopped_early = "server memory passed %.0f MB" % args.max_rss_mb
                time.sleep(0.2)
            if stopped_early:
                break

        if server.alive() and stopped_early is None:
            statistics_before, statistics_after, notes = record_run(args.dump_seconds)
            end_notes += notes
    except (RuntimeError, OSError, ValueError, qb.ServerError, qb.websocket.WebSocketException) as error:
        stopped_early = "error: %s" % error
    finally:
        spectrum.close()
        peak_kb = server.peak_rss_kb() if server.proc else None
        if server.proc is not None:
            exit_s, exit_status, notes = qb.stop_server(server, kill_after=10.0)
            end_notes += notes
    if os.path.isdir(os.path.join(storage, "1")):
        file_lines, files_ok = check_files(os.path.join(storage, "1"), file_format)

    print("load average at end: %s" % qb.loadavg())
    print()
    print("summary")
    if stopped_early:
        print("  stopped early: %s" % stopped_early)
    for note in end_notes:
        print("  " + note)
    print("  samples: %d over %.1f min" % (len(samples), (samples[-1][0] / 60.0) if samples else 0.0))
    print("  max RSS seen (sampled every 0.2 s): %s MB; peak RSS (VmHWM) before SIGTERM: %s MB" % (
        "%.0f" % (max_rss_kb / 1024.0) if max_rss_kb else "-", "%.0f" % (peak_kb / 1024.0) if peak_kb else "-"))
    if samples:
        half = samples[0][0] + (samples[-1][0] - samples[0][0]) / 2.0
        slope = slope_per_minute([(s[0], s[1]) for s in samples if s[0] >= half])
        print("  RSS growth over the second half: %s MB/min" % ("-" if slope is None else "%.1f" % slope))
    if all_requests:
        print("  get_data of %d channels x %d bins: median %.1f ms, max %.1f ms over %d answered; "
              "%d left without a reply within %g s; %d not sent (a sample ends at its first unanswered request)"
              % (SPECTRUM_CHANNELS, SPECTRUM_BINS, stats.median(all_requests), max(all_requests), len(all_requests),
                 sum(s[4] for s in samples), args.request_timeout,
                 args.requests * len(samples) - len(all_requests) - sum(s[4] for s in samples)))
    else:
        print("  get_data: no request answered (%d left without a reply within %g s)"
              % (sum(s[4] for s in samples), args.request_timeout))
    clients_ok = sum(1 for s in samples if s[5] is not None)
    print("  new clients connected within 1 s: %d of %d" % (clients_ok, len(samples)))
    if exit_s is None:
        print("  exit after SIGTERM: none (see above), status %s" % exit_status)
    else:
        print("  exit after SIGTERM: %.2f s (%s), status %s" % (exit_s, "ok" if exit_s <= 2.0 else "TOO SLOW",
                                                             exit_status))
    if file_lines:
        print("  recorded files (%s):" % ("all complete" if files_ok else "NOT all complete"))
        for line in file_lines:
            print("    " + line)
    else:
        print("  recorded files: none")
    print_statistics("  statistics before the recording", statistics_before)
    print_statistics("  statistics at the end", statistics_after)
    qb.remove_work_folder(args, work)
    ok = (stopped_early is None and not end_notes and exit_s is not None and exit_s <= 2.0 and files_ok
          and clients_ok == len(samples) and all(s[4] == 0 and s[6] == args.requests for s in samples))
    print("result: %s" % ("PASS" if ok else "FAIL"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
