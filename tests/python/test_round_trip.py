"""The real server records a run from the scripted test board in BIN, CSV
and JSON; quarix_files returns exactly the records the board delivered (the
formulas of tests/plugins/scripted/scripted_data.h), roll-over files joined in
order. quarix-run info, spectrum and convert then run on a recorded folder.

Environment: QUARIX_SERVER (the server executable), QUARIX_SCRIPTED_PLUGIN
(libVRAXDig2Scripted.so); the server binds port 51234."""

import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import h5py
import numpy as np
import websocket  # Debian python3-websocket

import quarix_files as qf

EVENTS, BATCH, CHANNELS, PER_FILE, RATES, SAMPLES, TRACES, DIGITAL = 20, 3, 4, 6, 3, 4, 2, 3


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def block(kind, name, source, pin, parameters=(), data_type="energy"):
    return {"block_type": kind, "name": name, "data_type": data_type, "input_count": 1, "output_count": 1,
            "sources": [{"source": source, "pin": pin}],
            "parameters": [{"param_name": k, "param_value": v} for k, v in parameters]}


def board(name, connection, endpoints):
    return {"enable": True, "id": "1", "board_name": name, "board_type": "digitizer", "board_family": "scripted",
            "board_plugin": "libVRAXDig2Scripted", "board_connection_string": "after=global_on;" + connection,
            "endpoints": [{"name": e, "path": "endpoints\\" + e, "enable": True} for e in endpoints]}


def config(storage, file_format):
    """Boards deliver once "hv_on" switched them on; the oscilloscope's one
    record is wave record 1, which comes 300 ms after record 0 opened the file."""
    chain = [block("source", "ev", "B1", "endpoints\\events"), block("dumper", "list", "ev", "0"),
             block("source", "rt", "B1", "endpoints\\rates", data_type="rate_counters"),
             block("rate_counters_sink", "rates", "rt", "0", data_type="rate_counters"),
             block("source", "wv", "B2", "endpoints\\waves", [("download_interval", 300)], "waveform"),
             block("oscilloscope", "scope", "wv", "0", [("sample_number", SAMPLES), ("ch_number", TRACES),
                                                        ("ch_analog", 1), ("ch_digital", DIGITAL)], "waveform")]
    chain += [{"block_type": "hv", "name": "hv_" + b, "sources": [{"source": b}],
               "parameters": [{"param_name": "n_channels", "param_value": 1}]} for b in ("B1", "B2")]
    return {"storage": {"file_path": storage, "events_per_file": PER_FILE, "format": file_format,
                        "wavedump_time_interval": 100, "enable_list": True, "enable_mcs": True, "enable_wave": True},
            "Hardware": [board("B1", "events=%d;rates=%d;channels=%d;batch=%d" % (EVENTS, RATES, CHANNELS, BATCH),
                               ["events", "rates"]),
                         board("B2", "waves=2;batch=1;samples=%d;traces=%d" % (SAMPLES, TRACES), ["waves"])],
            "processing": [{"filter_chain": [{"enable": True, "name": "c", "chain": chain}]}]}


def record_run(work, file_format):
    """Runs a private copy of the server until the board's records are all
    written and closed; returns the run folder."""
    bin_dir, storage = os.path.join(work, "bin"), os.path.join(work, "storage")
    os.makedirs(os.path.join(bin_dir, "boards"))
    os.makedirs(storage)
    server = shutil.copy(os.environ["QUARIX_SERVER"], bin_dir)
    shutil.copy(os.environ["QUARIX_SCRIPTED_PLUGIN"], os.path.join(bin_dir, "boards"))
    with open(os.path.join(work, "config.json"), "w") as f:
        json.dump(config(storage, file_format), f)
    log_path = os.path.join(work, "server.log")
    with open(log_path, "wb") as log:
        process = subprocess.Popen([server, "-c", os.path.join(work, "config.json")], cwd=bin_dir, stdout=log,
                                   stderr=subprocess.STDOUT)

    def console():
        with open(log_path, "rb") as f:
            return f.read().decode(errors="replace")

    try:
        wait_for(lambda: "QUARIX IS STARTED AND READY" in console() or process.poll() is not None, 30, "start")
        commands = websocket.create_connection("ws://127.0.0.1:51234/commands", timeout=20)
        ask = lambda message: (commands.send(json.dumps(message)), json.loads(commands.recv()))[1]
        assert ask({"cmd": "start_dump", "run_id": "r"}) == [{"response": True}], console()
        assert ask({"cmd": "hv_on"}) == [{"response": True}], console()
        wanted = {"list": EVENTS, "rates": RATES, "scope": 2}
        taken = lambda: {b["name"]: b["events_in"] for b in ask({"cmd": "get_statistics"}) if b["name"] in wanted}
        wait_for(lambda: taken() == wanted, 30, "the records, now %s" % taken())
        commands.close()
        process.send_signal(signal.SIGTERM)   # closes every file
        assert process.wait(30) == 0, console()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert "Sanitizer" not in console() and "runtime error" not in console(), console()
    return os.path.join(storage, "r")


def expected_events(file_format):
    i = np.arange(EVENTS, dtype=np.uint64)
    events = np.zeros(EVENTS, qf.EVENT_DTYPE)
    events["timestamp"], events["channel"], events["energy_raw"] = 1000 + 10 * i, i % CHANNELS, 100 + (37 * i) % 4000
    if file_format == "BIN":   # flag2 * 2 + flag1; the text forms carry no flags
        events["flags"] = (i // 2) % 2 * 2 + i % 2
    return events


def cli(*args):
    return subprocess.run([sys.executable, "-m", "quarix_files.cli"] + list(args), capture_output=True, text=True)


class RoundTrip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quarix-py-")
        cls.runs = {f: record_run(os.path.join(cls.work, f), f) for f in ("BIN", "CSV", "JSON")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def test_reader_returns_what_the_board_delivered(self):
        for file_format, folder in self.runs.items():
            with self.subTest(file_format):
                run = qf.read_run(folder)   # strict: any damage raises
                self.assertEqual(sorted(run.blocks), ["list", "rates", "scope"])
                lists = run.blocks["list"]
                self.assertGreater(len(lists.files), 1)
                self.assertEqual([f.index for f in lists.files], list(range(len(lists.files))))
                self.assertEqual(lists.events().tolist(), expected_events(file_format).tolist())

                snapshots = run.blocks["rates"].rates()
                i, c = np.arange(RATES)[:, None], np.arange(CHANNELS)[None, :]
                self.assertEqual(snapshots["n"].tolist(), [CHANNELS] * RATES)
                self.assertTrue(np.all(np.diff(snapshots["time_ms"]) >= 0))
                self.assertEqual(snapshots["rate_in"].tolist(), (1000 * (c + 1) + i).tolist())
                self.assertEqual(snapshots["rate_out"].tolist(), (900 * (c + 1) + i).tolist())
                self.assertEqual(snapshots["counts_in"].tolist(), (100 * (c + 1) * (i + 1)).tolist())
                self.assertEqual(snapshots["counts_out"].tolist(), (90 * (c + 1) * (i + 1) + c).tolist())

                (wave,) = list(run.blocks["scope"].waveforms())
                t, s = np.arange(TRACES)[:, None], np.arange(SAMPLES)[None, :]
                self.assertEqual(wave[:5], (TRACES, SAMPLES, 1, DIGITAL, 5000 + 100 * 1))
                self.assertEqual(wave.analog.tolist(), ((7 * s + 13 * t + 1) % 200 - 100).tolist())
                self.assertEqual(wave.digital.tolist(), ((s // 2 + t + 1) & 0xF & (2 ** DIGITAL - 1)).tolist())

    def test_quarix_run_on_a_recorded_folder(self):
        folder = self.runs["BIN"]
        info = cli("info", folder)
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertIn("list: list events, BIN, 3 files (list_0.bin … list_2.bin)", info.stdout)
        self.assertIn("%d events" % EVENTS, info.stdout)
        self.assertIn("problems: none", info.stdout)

        png = os.path.join(self.work, "spectrum.png")
        drawn = cli("spectrum", folder, "--channel", "1", "--bins", "64", "--size", "640x360", "--png", png)
        self.assertEqual(drawn.returncode, 0, drawn.stderr)
        with open(png, "rb") as f:
            head = f.read(24)
        self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(head[12:16], b"IHDR")
        self.assertEqual(struct.unpack(">II", head[16:24]), (640, 360))

        output = os.path.join(self.work, "r.h5")
        self.assertEqual(cli("convert", folder, "--to", "hdf5", "--output", output).returncode, 0)
        with h5py.File(output, "r") as f:
            self.assertEqual(f["list/events"].shape, (EVENTS,))
            self.assertEqual(f["list/events"][:].tolist(), expected_events("BIN").tolist())
            self.assertEqual(f.attrs["run_id"], "r")
        again = cli("convert", folder, "--to", "hdf5", "--output", output)
        self.assertEqual(again.returncode, 2)
        self.assertIn("never replaced", again.stderr)


if __name__ == "__main__":
    unittest.main()
