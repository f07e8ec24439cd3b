#!/usr/bin/python3
"""Highest event rate the real server carries without losing an event.

For each rate of a ladder, a fresh server is started from a configuration
written here: one burst board (boards/libVRAXDig2Burst.so) whose endpoint
delivers a known burst of `rate x duration` events paced by the wall clock,
and one chain, either

    sorted:  source -> time_sorting -> tee -> spectrum + dumper
    direct:  source -> tee -> spectrum + dumper

A client sets the spectrum counting and starts a recorded run (which resets
and starts the board's endpoint, so the burst begins with the run); when the
board reports the whole burst delivered and the chain has drained, the
spectrum is read and compared bin by bin with the burst, the run is stopped,
the server is asked for its block statistics and stopped with SIGTERM, and the
recorded list files are compared byte for byte with the burst.

A rate passes when every event reached both the spectrum and the file,
exactly once and in order, and the server exited by itself within 2 s.

The chain `replay` plays a recorded run instead (boards/libVRAXDig2Replay.so,
pace=fast): the same burst is first written as the list dumper's BIN files,
then replayed as fast as the server reads it through the `--replay-chain`
chain; the run is timed from start_dump until the spectrum and the dumper
hold every event, and checked the same way.
"""

import argparse
import glob
import json
import os
import re
import shutil
import sys
import time

sys.dont_write_bytecode = True   # no __pycache__ left in the checkout
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pytools"))

import quarix_bench as qb  # noqa: E402

try:
    import numpy as np
except ImportError:
    sys.stderr.write("NumPy is missing: run bench/install-bench-packages.sh and start with /usr/bin/python3.\n")
    raise

CHANNELS = 16
ENERGY_PERIOD = 4096          # channel and raw energy of event k depend on k mod 4096
RECORD = np.dtype([("timestamp", "<u8"), ("channel", "<u8"), ("energy", "<u8"), ("flags", "u1")])
assert RECORD.itemsize == 25
BIN_MAGIC = b"QRXS"
BIN_TIME_DIGITS = 10
CHAIN_NAME = "burst"
SOURCE = "burst_source"
SPECTRUM = "burst_spectrum"
DUMPER = "burst_dump"
SPECTRUM_PATH = "processing/0/filter_chain/%s/chain/%s" % (CHAIN_NAME, SPECTRUM)

DEFAULT_LADDER = [200e3, 400e3, 600e3, 800e3, 1e6, 1.5e6, 2e6, 3e6, 4e6, 5e6, 6e6, 8e6, 10e6, 12e6]


def parse_rate(text):
    text = text.strip().lower()
    scale = 1.0
    if text.endswith("k"):
        scale, text = 1e3, text[:-1]
    elif text.endswith("m"):
        scale, text = 1e6, text[:-1]
    return float(text) * scale


def rate_label(rate):
    if rate >= 1e6:
        return ("%.2f" % (rate / 1e6)).rstrip("0").rstrip(".") + "M"
    return ("%.1f" % (rate / 1e3)).rstrip("0").rstrip(".") + "k"


# ---------------------------------------------------------------- the burst

def burst_records(k0, n, spacing):
    """Records k0 .. k0+n-1 exactly as the dumper writes them."""
    k = np.arange(k0, k0 + n, dtype=np.uint64)
    out = np.zeros(n, dtype=RECORD)
    out["timestamp"] = k * np.uint64(spacing)
    out["channel"] = k % np.uint64(CHANNELS)
    out["energy"] = (k * np.uint64(7919)) % np.uint64(4096) + np.uint64(1)
    return out


def expected_spectrum(events, bins, gain=1):
    """Counts per channel and bin of events 0 .. events-1 (gain 1)."""
    spectrum = np.zeros((CHANNELS, bins), dtype=np.int64)
    full, rest = divmod(events, ENERGY_PERIOD)
    for r in range(ENERGY_PERIOD):
        count = full + (1 if r < rest else 0)
        if count:
            energy = (r * 7919) % 4096 + 1
            spectrum[r % CHANNELS, min(int(energy * gain), bins - 1)] += count
    return spectrum


def list_files(run_dir):
    """The run's BIN list files in the order they were written."""
    found = []
    for path in glob.glob(os.path.join(run_dir, DUMPER + "_*.bin")):
        m = re.match(re.escape(DUMPER) + r"_(\d+)\.bin$", os.path.basename(path))
        if m:
            found.append((int(m.group(1)), path))
    return [p for _, p in sorted(found)]


def check_list_files(run_dir, events, spacing, chunk=4 * 1024 * 1024):
    """Compares the recorded files with the burst.

    Returns a dict: files, records (all records read), present (distinct
    burst events found), exact (the files hold events 0 .. events-1 once
    each, in order, byte for byte), problem (first thing that went wrong)."""
    files = list_files(run_dir)
    result = {"files": len(files), "records": 0, "present": 0, "exact": False, "problem": None}
    if not files:
        result["problem"] = "no list file"
        return result
    seen = np.zeros(events, dtype=bool)
    duplicates = foreign = disorder = 0
    next_k = 0          # the next event expected while everything is in order
    in_order = True
    last_k = -1
    for path in files:
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            header = f.read(len(BIN_MAGIC) + BIN_TIME_DIGITS)
            if header[:4] != BIN_MAGIC or not header[4:].isdigit() or len(header) != 14:
                result["problem"] = result["problem"] or "bad header in %s" % os.path.basename(path)
                in_order = False
                continue
            body = size - len(header)
            if body % RECORD.itemsize:
                result["problem"] = result["problem"] or "%s: %d bytes after the header, not whole records" % (
                    os.path.basename(path), body)
                in_order = False
            while True:
                raw = f.read(chunk * RECORD.itemsize)
                n = len(raw) // RECORD.itemsize
                if n == 0:
                    break
                block = np.frombuffer(raw[: n * RECORD.itemsize], dtype=RECORD)
                result["records"] += n
                # Fast path: exactly the next events of the burst, byte for byte.
                if in_order and next_k + n <= events and raw[: n * RECORD.itemsize] == \
                        burst_records(next_k, n, spacing).tobytes():
                    seen[next_k: next_k + n] = True
                    next_k += n
                    last_k = next_k - 1
                    continue
                # Otherwise sort out what the block holds.
                if in_order:
                    in_order = False
                    result["problem"] = result["problem"] or "first difference at record %d of the run" % (
                        result["records"] - n + first_difference(block, next_k, spacing))
                ts = block["timestamp"]
                k = ts // np.uint64(spacing)
                valid = (k < np.uint64(events)) & ((ts % np.uint64(spacing)) == 0)
                kk = np.minimum(k, np.uint64(max(events - 1, 0)))
                expect = burst_records_values(kk)
                valid &= (block["channel"] == expect[0]) & (block["energy"] == expect[1]) & (block["flags"] == 0)
                foreign += int(n - valid.sum())
                kv = k[valid].astype(np.int64)
                if kv.size:
                    order = np.concatenate(([last_k], kv))
                    disorder += int((np.diff(order) <= 0).sum())
                    last_k = int(kv[-1])
                    already = seen[kv]
                    duplicates += int(already.sum())
                    # repeats inside the block itself
                    uniq, counts = np.unique(kv, return_counts=True)
                    duplicates += int((counts - 1).sum())
                    seen[uniq] = True
    result["present"] = int(seen.sum())
    missing = np.flatnonzero(~seen)
    if missing.size:
        # Whether only the end of the burst is missing (held back somewhere) or events in between.
        first = int(missing[0])
        result["missing_range"] = (first, int(missing[-1]))
        result["tail_only"] = missing.size == events - first
    result["duplicates"] = duplicates
    result["foreign"] = foreign
    result["out_of_order"] = disorder
    result["exact"] = in_order and next_k == events and result["records"] == events
    if not result["exact"] and result["problem"] is None:
        result["problem"] = "%d of %d events in the files" % (result["present"], events)
    return result


def burst_records_values(k):
    return (k % np.uint64(CHANNELS), (k * np.uint64(7919)) % np.uint64(4096) + np.uint64(1))


def first_difference(block, k0, spacing):
    """Index of the first record of `block` that is not burst event k0 + index."""
    a = np.frombuffer(block.tobytes(), dtype=np.uint8).reshape(-1, RECORD.itemsize)
    b = np.frombuffer(burst_records(k0, len(block), spacing).tobytes(), dtype=np.uint8).reshape(-1, RECORD.itemsize)
    rows = np.nonzero((a != b).any(axis=1))[0]
    return int(rows[0]) if rows.size else len(block)


# ----------------------------------------------------------- configuration

def board_entry(connection, plugin="libVRAXDig2Burst"):
    def command(word):
        return {"name": "list " + word, "path": "endpoints\\list\\" + word, "command_type": word,
                "endpoint_type": "list"}
    return {
        "enable": True, "id": "1", "board_name": "burst", "board_type": "burst digitizer",
        "board_family": "VRAXDig2", "board_plugin": plugin,
        "board_connection_string": connection,
        "configs": [],
        "endpoints": [{"name": "list", "text": "List events", "path": "endpoints\\list", "enable": True}],
        "commands": [command("start"), command("stop"), command("reset")],
    }


def chain_blocks(kind, download_interval, bins, order_buffer_limit=None):
    blocks = [{
        "block_type": "source", "name": SOURCE, "data_type": "energy", "input_count": 0,
        "sources": [{"source": "burst", "pin": "endpoints\\list"}],
        "parameters": [{"param_name": "download_interval", "param_value": download_interval}],
    }]
    upstream = SOURCE
    if kind == "sorted":
        blocks.append({
            "block_type": "time_sorting", "name": "burst_sorter", "data_type": "energy", "input_count": 1,
            "sources": [{"source": SOURCE, "pin": "0"}],
            "parameters": [{"param_name": "n_windows", "param_value": 1},
                           {"param_name": "timestamp_delta", "param_value": 100}],
        })
        if order_buffer_limit:
            blocks[-1]["parameters"].append({"param_name": "order_buffer_limit", "param_value": order_buffer_limit})
        upstream = "burst_sorter"
    blocks.append({
        "block_type": "tee", "name": "burst_tee", "data_type": "energy", "input_count": 1,
        "sources": [{"source": upstream, "pin": "0"}], "output_count": 2,
    })
    blocks.append({
        "block_type": "spectrum", "name": SPECTRUM, "data_type": "energy", "input_count": 1,
        "sources": [{"source": "burst_tee", "pin": "0"}],
        "parameters": [{"param_name": "bin_number", "param_value": bins},
                       {"param_name": "ch_number", "param_value": CHANNELS},
                       {"param_name": "gain", "param_value": 1}],
    })
    blocks.append({
        "block_type": "dumper", "name": DUMPER, "data_type": "energy", "input_count": 1,
        "sources": [{"source": "burst_tee", "pin": "1"}],
    })
    return blocks


def burst_config(storage, connection, kind, args, plugin="libVRAXDig2Burst"):
    return {
        "storage": {"file_path": storage, "events_per_file": args.events_per_file, "wavedump_time_interval": 1000,
                    "format": "BIN", "enable_wave": False, "enable_list": True, "enable_mcs": False},
        "Hardware": [board_entry(connection, plugin)],
        "processing": [{"filter_chain": [{"enable": True, "name": CHAIN_NAME,
                                          "chain": chain_blocks(kind, args.download_interval, args.bins, args.order_buffer_limit)}]}],
    }


# ------------------------------------------------------------------ a run

def read_report(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def read_spectrum(client, bins, timeout=30.0):
    reply = client.ask_json({"path": SPECTRUM_PATH,
                             "args": [{"cmd": "get_data"}, {"channels": list(range(CHANNELS))}]}, timeout=timeout)
    if not isinstance(reply, list) or len(reply) != CHANNELS:
        raise RuntimeError("unexpected spectrum reply: %r" % (str(reply)[:200],))
    data = np.zeros((CHANNELS, bins), dtype=np.int64)
    for c, item in enumerate(reply):
        row = item.get("data") if isinstance(item, dict) else None
        if not isinstance(row, list) or len(row) != bins:
            raise RuntimeError("spectrum channel %d: %r" % (c, str(item)[:100]))
        data[c] = row
    return data


def stored_events(client):
    reply = client.ask_json({"cmd": "get_run_info"}, timeout=10.0)
    if isinstance(reply, list):
        for item in reply:
            if isinstance(item, dict) and item.get("name") == DUMPER:
                return int(item.get("stored_events", 0))
    return None


def guard_memory(server, args):
    """Stops a run whose server grows past --max-rss-mb: the machine is shared."""
    rss = server.rss_kb()
    if rss is not None and args.max_rss_mb > 0 and rss / 1024.0 > args.max_rss_mb:
        server.kill()
        raise RuntimeError("server memory passed %.0f MB: killed" % args.max_rss_mb)


def run_one(kind, rate, run_index, work, args):
    events = max(1, int(round(rate * args.duration)))
    storage = os.path.join(work, "storage")
    os.makedirs(storage, exist_ok=True)
    report_path = os.path.join(work, "report-%s-%d.json" % (kind, run_index))
    config_path = os.path.join(work, "config-%s-%d.json" % (kind, run_index))
    log_path = os.path.join(work, "server-%s-%d.log" % (kind, run_index))
    connection = ("burst:events=%d;rate=%.0f;channels=%d;spacing=%d;max_batch=%d;delay_ms=%d;report=%s"
                  % (events, rate, CHANNELS, args.spacing, args.max_batch, args.start_delay_ms, report_path))
    qb.write_config(config_path, burst_config(storage, connection, kind, args))
    row = new_row(kind, rate, events)
    run_id = fresh_run_id(storage, run_index)

    def burst(server, commands, query):
        dump_sent, _ = start_run(commands, run_id, row)
        # What a client sends to start a source; the burst itself begins with
        # the reset and start the run sends to the board's endpoint.
        commands.ask({"cmd": "start", "endpoint": SOURCE})

        # The burst: its due span plus slack for a reader that falls behind.
        span = args.start_delay_ms / 1000.0 + events / rate
        deadline = time.monotonic() + span + max(10.0, span) + args.drain_timeout
        report = None
        while time.monotonic() < deadline and server.alive():
            report = read_report(report_path)
            if report and report.get("complete"):
                break
            guard_memory(server, args)
            time.sleep(0.1)
        report = read_report(report_path)
        if not server.alive():
            raise RuntimeError("server died during the burst (status %s)" % server.proc.returncode)
        if not report or not report.get("complete"):
            row["notes"].append("burst not delivered in time (%s of %d)"
                                % (report.get("delivered") if report else 0, events))
        if report:
            row["delivered"] = report.get("delivered")
            row["max_lag"] = report.get("max_lag_ms")
            row["p99_lag"] = report.get("p99_lag_ms")
            row["late"] = row["max_lag"] is not None and row["max_lag"] > args.max_lag_ms
            if report.get("delivered_total") != report.get("delivered"):
                row["notes"].append("the board delivered %s events before the run's burst"
                                    % (report.get("delivered_total", 0) - report.get("delivered", 0)))
            if report.get("start_epoch_s", 0) < dump_sent - 0.001:
                row["notes"].append("the burst began before start_dump")

        # Drain: until the dumper and the spectrum hold everything, or nothing moves any more.
        target = row["delivered"] or events
        drain_end = time.monotonic() + args.drain_timeout
        last = None
        still = 0
        spectrum_sum = None
        while time.monotonic() < drain_end and server.alive():
            stored = stored_events(commands)
            spectrum_sum = int(read_spectrum(query, args.bins).sum())
            if stored == target and spectrum_sum == target:
                break
            now = (stored, spectrum_sum)
            still = still + 1 if now == last else 0
            last = now
            if still >= args.settle:
                break
            guard_memory(server, args)
            time.sleep(1.0)
        return check_spectrum(query, row, args)

    serve_run(args, config_path, log_path, os.path.join(storage, run_id), row, burst)
    if not args.keep:
        try:
            os.remove(report_path)
        except OSError:
            pass
    return row


def fresh_run_id(storage, run_index):
    """A numeric run id (get_run_info writes it unquoted) that names no folder yet."""
    run_number = run_index
    while os.path.exists(os.path.join(storage, str(run_number))):
        run_number += 1000
    return str(run_number)


def new_row(kind, rate, events):
    return {"kind": kind, "rate": rate, "events": events, "delivered": None, "in_file": None, "in_spectrum": None,
            "lost": None, "dropped": None, "max_lag": None, "p99_lag": None, "peak_rss_mb": None, "exit_s": None,
            "ok": False, "late": False, "notes": []}


def serve_run(args, config_path, log_path, run_dir, row, drive):
    """Starts a server on the configuration and lets drive(server, commands,
    query) run it: it sets row["recorded"] once start_dump was accepted and
    returns whether the spectrum holds the burst exactly. Then stops the
    recording, takes the block statistics (losses counted from
    row["lost_before"]) and the peak memory, stops the server, judges the run
    with its files and removes them unless --keep."""
    server = qb.Server(args.build, config_path, log_path)
    commands = query = None
    spectrum_exact = False
    try:
        server.start()
        commands = qb.Client("commands")
        query = qb.Client("query_by_json")
        spectrum_exact = drive(server, commands, query)
        if commands.ask_json({"cmd": "stop_dump"}) != qb.ACCEPTED:
            row["notes"].append("stop_dump refused")
        row["statistics"] = qb.fetch_statistics()
        if row["statistics"] is not None:
            lost, dropped, _ = qb.statistics_totals(row["statistics"])
            before = row.get("lost_before", (0, 0))
            row["lost"], row["dropped"] = lost - before[0], dropped - before[1]
        hwm = server.peak_rss_kb()
        row["peak_rss_mb"] = hwm / 1024.0 if hwm else None
    except (RuntimeError, OSError, ValueError, qb.ServerError, qb.websocket.WebSocketException) as error:
        row["notes"].append("error: %s" % error)
        spectrum_exact = False
    finally:
        for c in (commands, query):
            if c:
                c.close()
        if server.proc is not None:
            elapsed, status, notes = qb.stop_server(server)
            row["exit_s"] = elapsed
            row["notes"] += notes
            if elapsed is not None and elapsed > 2.0:
                row["notes"].append("exit took %.2f s" % elapsed)
            if status not in (0, None) and elapsed is not None:
                row["notes"].append("exit status %s" % status)
    judge_run(row, run_dir if row.get("recorded") else None, spectrum_exact, args)
    if not args.keep:
        shutil.rmtree(run_dir, ignore_errors=True)


def start_run(commands, run_id, row):
    """Sets the spectrum counting and starts the recorded run, which resets and
    starts the board's endpoint. Returns when start_dump was sent: the system
    clock and the monotonic clock."""
    if not qb.set_freerun(SPECTRUM_PATH):
        row["notes"].append("spectrum did not accept freerun")
    sent = (time.time(), time.monotonic())
    reply = commands.ask_json({"cmd": "start_dump", "run_id": run_id})
    if reply != qb.ACCEPTED:
        raise RuntimeError("start_dump answered %r" % (reply,))
    row["recorded"] = True
    return sent


def check_spectrum(query, row, args):
    """Reads the spectrum; whether it equals the burst's bin by bin."""
    spectrum = read_spectrum(query, args.bins)
    row["in_spectrum"] = int(spectrum.sum())
    exact = np.array_equal(spectrum, expected_spectrum(row["events"], args.bins))
    if not exact:
        row["notes"].append("spectrum differs from the burst")
    return exact


def judge_run(row, run_dir, spectrum_exact, args):
    """Checks the recorded files (none when run_dir is None) and sets row["ok"]."""
    events = row["events"]
    if run_dir:
        files = check_list_files(run_dir, events, args.spacing)
    else:
        files = {"files": 0, "present": None, "exact": False, "problem": "no recording"}
    row["in_file"] = files["present"]
    row["files"] = files["files"]
    if not files["exact"]:
        row["notes"].append("file: %s" % files["problem"])
        if files["present"] is not None and files["present"] < events:
            first, last = files["missing_range"]
            row["notes"].append("missing %d%s" % (
                events - files["present"],
                ": only the last events, from k=%d" % first if files["tail_only"]
                else ", from k=%d to k=%d" % (first, last)))
        for key in ("duplicates", "foreign", "out_of_order"):
            if files.get(key):
                row["notes"].append("%s %d" % (key.replace("_", " "), files[key]))
    row["ok"] = (files["exact"] and spectrum_exact and row["delivered"] == events and
                 (row["lost"] in (None, 0)) and (row["dropped"] in (None, 0)) and
                 row["exit_s"] is not None and row["exit_s"] <= 2.0 and
                 not any(n.startswith(("error", "the board delivered", "the burst began", "exit status"))
                         for n in row["notes"]))


# ------------------------------------------------------------ replay

REPLAY_BLOCK = "recorded"


def write_recorded_run(folder, events, spacing, per_file, chunk=1 << 20):
    """The burst as the list dumper records it: files <REPLAY_BLOCK>_<n>.bin
    of per_file events, each "QRXS", the creation time in ten digits and the
    25-byte records. Written in pieces of `chunk` events."""
    os.makedirs(folder, exist_ok=True)
    header = BIN_MAGIC + (b"%d" % int(time.time()))
    for index, first in enumerate(range(0, events, per_file)):
        end = min(first + per_file, events)
        with open(os.path.join(folder, "%s_%d.bin" % (REPLAY_BLOCK, index)), "wb") as f:
            f.write(header)
            for k in range(first, end, chunk):
                f.write(burst_records(k, min(chunk, end - k), spacing).tobytes())


def chain_counts(client):
    """(events the source handed on, taken by the spectrum, taken by the dumper), from get_statistics."""
    reply = client.ask_json({"cmd": "get_statistics"}, timeout=10.0)
    blocks = {b.get("name"): b for b in reply if isinstance(b, dict)} if isinstance(reply, list) else {}
    return tuple(int(blocks.get(name, {}).get("events_" + way, 0) or 0)
                 for name, way in ((SOURCE, "out"), (SPECTRUM, "in"), (DUMPER, "in")))


def wait_for_counts(client, events, server, args, base=(0, 0, 0), poll=0.05):
    """Polls until the spectrum and the dumper took `events` more events than
    in `base`, or nothing moved for --settle seconds. Returns the moment they
    were reached (None if not) and the counts."""
    last, moved = None, time.monotonic()
    while server.alive():
        counts = chain_counts(client)
        now = time.monotonic()
        if counts[1] - base[1] >= events and counts[2] - base[2] >= events:
            return now, counts
        if counts != last:
            last, moved = counts, now
        if now - moved > args.settle:
            return None, counts
        guard_memory(server, args)
        time.sleep(poll)
    raise RuntimeError("server died during the replay (status %s)" % server.proc.returncode)


def run_replay(run_index, work, args, recorded_dir, events):
    """Replays the recorded burst at pace=fast through --replay-chain, timed
    from start_dump until the spectrum and the dumper took every event."""
    storage = os.path.join(work, "storage")
    os.makedirs(storage, exist_ok=True)
    config_path = os.path.join(work, "config-replay-%d.json" % run_index)
    log_path = os.path.join(work, "server-replay-%d.log" % run_index)
    connection = "replay:run=%s;block=%s;pace=fast;max_batch=%d" % (recorded_dir, REPLAY_BLOCK, args.max_batch)
    qb.write_config(config_path, burst_config(storage, connection, args.replay_chain, args, "libVRAXDig2Replay"))
    row = new_row("replay", None, events)
    run_id = fresh_run_id(storage, run_index)

    def replay(server, commands, query):
        # The board's start at start-up plays the run once into the idle
        # chain (the dumper not recording): wait until it is through.
        reached, before = wait_for_counts(commands, events, server, args)
        if reached is None:
            row["notes"].append("the play at start-up stopped at %d of %d events" % (before[2], events))
        row["lost_before"] = qb.statistics_totals(qb.fetch_statistics()) or (0, 0)
        # start_dump resets and starts the board's endpoint: the run plays again from its first event.
        _, started = start_run(commands, run_id, row)
        reached, counts = wait_for_counts(commands, events, server, args, before)
        if reached is None:
            row["notes"].append("the chain stopped at %d of %d events" % (counts[2] - before[2], events))
        else:
            row["rate"] = events / (reached - started)
        row["delivered"] = counts[0] - before[0]
        info = commands.ask_json({"cmd": "get_run_info"}, timeout=10.0)
        for item in info if isinstance(info, list) else []:
            if isinstance(item, dict) and item.get("name") == DUMPER and item.get("running_time"):
                row["dumper_rate"] = item.get("stored_events", 0) / item["running_time"]
        return check_spectrum(query, row, args)

    serve_run(args, config_path, log_path, os.path.join(storage, run_id), row, replay)
    return row


def replay_row(run_index, work, args):
    """Writes the recorded run, replays it once, and removes it again unless --keep."""
    events = int(parse_rate(args.replay_events))
    recorded_dir = os.path.join(work, "recorded")
    started = time.monotonic()
    write_recorded_run(recorded_dir, events, args.spacing, args.events_per_file)
    print("        replay: %d events written as %s_<n>.bin in %.1f s (%s)"
          % (events, REPLAY_BLOCK, time.monotonic() - started, recorded_dir), flush=True)
    row = run_replay(run_index, work, args, recorded_dir, events)
    if not args.keep:
        shutil.rmtree(recorded_dir, ignore_errors=True)
    return row


def replay_summary(row, args, results):
    """The replay's rate and losses beside the direct chain's lossless rate of this run."""
    line = "replay through the %s chain, pace=fast: %d events, %s end to end, lost %s" % (
        args.replay_chain, row["events"], rate_label(row["rate"]) + "/s" if row["rate"] else "no rate",
        fmt(row["lost"]))
    if row.get("dumper_rate"):
        line += " (dumper: %s/s over its running time)" % rate_label(row["dumper_rate"])
    if "direct" in results:
        direct = highest_lossless(results["direct"])
        line += "; direct chain lossless up to %s" % (rate_label(direct) + "/s" if direct else "no rate")
    return line


def highest_lossless(rows):
    """The rate up to which every rate of a ladder passed (None when the lowest failed)."""
    lossless = None
    for row in rows:
        if not row["ok"]:
            break
        lossless = row["rate"]
    return lossless


# ------------------------------------------------------------------ output

def fmt(value, pattern="%d"):
    return "-" if value is None else pattern % value


HEADER = "%-7s %8s %11s %11s %11s %9s %10s %10s %9s %7s  %s" % (
    "chain", "rate/s", "delivered", "in file", "in spectr.", "lost", "max lag ms", "p99 lag ms", "peak MB",
    "exit s", "result")


def print_row(row, blocks):
    # A block's lost_events already include what its output pins dropped.
    lost = "n/a" if row.get("statistics") is None else "%d" % row["lost"]
    result = "PASS" if row["ok"] else "FAIL"
    if row["late"]:
        result += " late"
    line = "%-7s %8s %11s %11s %11s %9s %10s %10s %9s %7s  %s" % (
        row["kind"], rate_label(row["rate"]) if row["rate"] else "-", fmt(row["delivered"]), fmt(row["in_file"]), fmt(row["in_spectrum"]),
        lost, fmt(row["max_lag"], "%.1f"), fmt(row["p99_lag"], "%.1f"), fmt(row["peak_rss_mb"], "%.0f"),
        fmt(row["exit_s"], "%.2f"), result)
    if row["notes"]:
        line += "  (" + "; ".join(row["notes"]) + ")"
    print(line, flush=True)
    if row.get("statistics") is None:
        print("        statistics: n/a", flush=True)
    elif blocks or not row["ok"]:
        for line in qb.block_lines(row["statistics"]):
            print("        " + line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    qb.add_common_arguments(parser, "configurations, logs and recordings", "the recordings and reports")
    qb.add_max_rss_argument(parser, "kill the server")
    parser.add_argument("--chains", default="sorted,direct",
                        help="sorted, direct and replay, comma separated (default %(default)s)")
    parser.add_argument("--replay-events", default="20M",
                        help="events of the recorded run the replay chain plays (default %(default)s)")
    parser.add_argument("--replay-chain", default="direct", choices=("direct", "sorted"),
                        help="the chain the replay goes through (default %(default)s)")
    parser.add_argument("--rates", help="comma separated rates, e.g. 200k,1M (default: the ladder up to --max-rate)")
    parser.add_argument("--max-rate", default=None,
                        help="highest rate of the default ladder (default 12M)")
    parser.add_argument("--duration", type=float, default=10.0, help="seconds of burst per rate (default 10)")
    parser.add_argument("--stop-after-fails", type=int, default=2,
                        help="stop a chain's ladder after this many failures in a row (0: never; default 2)")
    parser.add_argument("--order-buffer-limit", type=int, default=None,
                        help="the time sorting block's order_buffer_limit (default: its own, 10000)")
    parser.add_argument("--download-interval", type=float, default=2.0, help="source pause in ms (default 2)")
    parser.add_argument("--bins", type=int, default=8192, help="spectrum bins (default 8192)")
    parser.add_argument("--events-per-file", type=int, default=1000000,
                        help="list file size before the next file (default 1000000)")
    parser.add_argument("--spacing", type=int, default=1000, help="timestamp units between events (default 1000)")
    parser.add_argument("--max-batch", type=int, default=262144, help="most events per board read, the board's readout buffer (default 262144, 16 MB of records)")
    parser.add_argument("--start-delay-ms", type=int, default=1000,
                        help="time from the board's start to the first event (default 1000)")
    parser.add_argument("--drain-timeout", type=float, default=30.0,
                        help="longest wait after the burst for the chain to drain, s (default 30)")
    parser.add_argument("--settle", type=int, default=3,
                        help="drain ends after this many 1 s polls without progress (default 3)")
    parser.add_argument("--max-lag-ms", type=float, default=500.0,
                        help="a run whose board read lag exceeded this is marked late (default 500)")
    parser.add_argument("--blocks", action="store_true",
                        help="print every block's statistics for every rate (default: for failed rates only)")
    args = parser.parse_args()
    if args.spacing < 1:
        parser.error("--spacing must be at least 1: the check finds event k by its timestamp")

    for plugin in ("libVRAXDig2Burst.so", "libVRAXDig2Replay.so"):
        if not os.path.exists(os.path.join(args.build, "boards", plugin)):
            parser.error("boards/%s is missing: build %s with -DQUARIX_BUILD_BENCH=ON" % (plugin, args.build))
    private = qb.enter_private_network(not args.host_network)
    kinds = [k.strip() for k in args.chains.split(",") if k.strip()]
    for kind in kinds:
        if kind not in ("sorted", "direct", "replay"):
            parser.error("unknown chain %r" % kind)
    work = qb.work_folder(args, "quarix-lossless-")

    print("lossless rate: build %s, %s s per rate, download interval %g ms, network %s"
          % (args.build, args.duration, args.download_interval, "private namespace" if private else "host"))
    print("work folder %s" % work)
    print("load average at start: %s" % qb.loadavg(), flush=True)
    print(HEADER, flush=True)
    run_index = 0
    results = {}
    for kind in kinds:
        if kind == "replay":
            results[kind] = [replay_row(run_index + 1, work, args)]
            run_index += 1
            print_row(results[kind][0], args.blocks)
            continue
        if args.rates:
            ladder = [parse_rate(r) for r in args.rates.split(",") if r.strip()]
        else:
            top = parse_rate(args.max_rate) if args.max_rate else 12e6
            ladder = [r for r in DEFAULT_LADDER if r <= top]
        fails = 0
        results[kind] = []
        for rate in ladder:
            run_index += 1
            row = run_one(kind, rate, run_index, work, args)
            results[kind].append(row)
            print_row(row, args.blocks)
            fails = 0 if row["ok"] else fails + 1
            if args.stop_after_fails and fails >= args.stop_after_fails:
                print("        (%d failures in a row: %s ladder stopped)" % (fails, kind), flush=True)
                break

    print("load average at end: %s" % qb.loadavg())
    for kind in kinds:
        rows = results[kind]
        if kind == "replay":
            print(replay_summary(rows[0], args, results))
            continue
        lossless = highest_lossless(rows)
        passed_above = [r["rate"] for r in rows if r["ok"] and lossless is not None and r["rate"] > lossless]
        line = "%s: highest lossless rate %s" % (kind, rate_label(lossless) + "/s" if lossless else "none")
        line += " (every rate up to it passed)" if lossless else " (the lowest rate failed)"
        late = [rate_label(r["rate"]) for r in rows if r["ok"] and r["late"]]
        if late:
            line += "; board read lag above %g ms at %s" % (args.max_lag_ms, ", ".join(late))
        if passed_above:
            line += "; also passed higher, after a failure: %s" % ", ".join(rate_label(r) for r in passed_above)
        print(line)
    qb.remove_work_folder(args, work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
