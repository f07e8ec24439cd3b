"""Damaged files are reported with the file and the byte offset where the
damage starts; a salvaging read still returns the intact records."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import quarix_files as qf


def events(n, first=0):
    records = np.zeros(n, qf.EVENT_DTYPE)
    records["timestamp"] = 1000 + 10 * np.arange(first, first + n)
    records["channel"], records["energy_raw"], records["flags"] = 3, 700, 1
    return records


LIST_BIN = b"QRXS1700000000" + events(3).tobytes()   # 14 + 75 bytes
JSON_RECORD = b'{"timestamp":1,"channel":2,"energy_raw":3}\n'
WAVE = struct.pack("<6IQ", 1, 2, 1, 1, 0, 1, 77) + struct.pack("<2d2I", -3.7, 1.0, 1, 0)   # 32 + 24 bytes
WAVE_BIN = b"QRXO" + bytes(4) + struct.pack("<Q", 1700000000)
RATE_BIN = b"QRXR" + bytes(4) + struct.pack("<Q", 1700000000)
RATE = struct.pack("<qi2f2Q", 5, 1, 10.0, 9.0, 100, 90)   # 12 + 24 bytes
STAT_HEADER = b"RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte\n"

# (files of the run folder, damaged file, byte offset, start of the message)
CASES = [
    ({"list_0.bin": LIST_BIN[:14 + 2 * 25 + 10]}, "list_0.bin", 64, "record 2 cut short: 10 of 25"),
    ({"list_0.json": b"[" + JSON_RECORD + b",\n" + JSON_RECORD}, "list_0.json", 89, "no closing ']'"),
    ({"list_0.bin": LIST_BIN, "list_2.bin": LIST_BIN}, "list_1.bin", 0, "missing: file 1"),
    ({"list_0.bin": b"QRXZ" + LIST_BIN[4:]}, "list_0.bin", 0, "no known file form"),
    ({"list_0.csv": b"1,2,3,\n4,x,6,\n7,8,9,\n"}, "list_0.csv", 7, "not a list-event line"),
    ({"scope_0.bin": WAVE_BIN + WAVE + WAVE[:40]}, "scope_0.bin", 72, "record cut short: 40 of 56"),
    ({"rates_0.bin": RATE_BIN + RATE + RATE[:12]}, "rates_0.bin", 52, "record cut short: 12 of 36"),
    ({"list_0.bin": LIST_BIN, "list_0.stat": STAT_HEADER + b"1.5,3,2,89\n1.5\n"}, "list_0.stat", 69,
     "not a statistics line"),
]


class DamagedFiles(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quarix-py-")
        self.addCleanup(shutil.rmtree, self.folder)

    def write(self, files):
        for name, data in files.items():
            with open(os.path.join(self.folder, name), "wb") as f:
                f.write(data)

    def test_damage_is_reported_with_file_and_offset(self):
        for files, damaged, offset, message in CASES:
            with self.subTest(damaged=damaged, message=message):
                shutil.rmtree(self.folder)
                os.mkdir(self.folder)
                self.write(files)
                with self.assertRaises(qf.DamagedFileError) as raised:
                    qf.read_run(self.folder)
                self.assertEqual((raised.exception.path, raised.exception.offset),
                                 (os.path.join(self.folder, damaged), offset))
                self.assertTrue(raised.exception.problem.message.startswith(message), raised.exception.problem)

    def test_salvage_returns_the_intact_records_in_order(self):
        self.write({"list_0.bin": LIST_BIN, "list_1.bin": b"QRXS1700000001" + events(2, 3).tobytes()[:40]})
        run = qf.read_run(self.folder, strict=False)
        self.assertEqual(run.blocks["list"].events().tolist(), events(4).tolist())
        self.assertEqual(run.problems, [qf.Problem(os.path.join(self.folder, "list_1.bin"), 39,
                                                   "record 1 cut short: 15 of 25 bytes")])
        info = subprocess.run([sys.executable, "-m", "quarix_files.cli", "info", self.folder], capture_output=True,
                              text=True)
        self.assertEqual(info.returncode, 1)
        self.assertIn("4 events", info.stdout)
        self.assertIn("list_1.bin: byte 39: record 1 cut short", info.stdout)


if __name__ == "__main__":
    unittest.main()
