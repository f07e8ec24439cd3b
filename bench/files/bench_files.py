#!/usr/bin/python3
"""Speed of quarix_files and quarix-run on large recorded runs.

Generates in a temporary folder a run of list-event BIN files (`--files`
files of `--gb` GB each, 16 channels, raw energies below 8192; the first
file is copied to the others), then times:
  1. read_list_file on one file: mapping it, then one pass over every column;
  2. `quarix-run info` on the whole folder, page cache warm, then cold
     (with --cold, as root: the page cache is dropped first);
  3. `quarix-run convert --to hdf5` of a run of `--convert-files` of the files
     (hard links, no copy), in MB/s of list files.
Prints the figures and the machine's load; removes everything it made.

    /usr/bin/python3 bench/files/bench_files.py [--files 10] [--gb 1] [--cold]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

CHECKOUT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(CHECKOUT, "python"))
import quarix_files as qf  # noqa: E402


def write_list_file(path, records, chunk=1 << 22):
    rng = np.random.default_rng(1)
    with open(path, "wb") as f:
        f.write(b"QRXS%010d" % int(time.time()))
        for start in range(0, records, chunk):
            n = min(chunk, records - start)
            events = np.zeros(n, qf.EVENT_DTYPE)
            events["timestamp"] = 1000 * np.arange(start, start + n, dtype=np.uint64)
            events["channel"] = rng.integers(0, 16, n)
            events["energy_raw"] = rng.integers(1, 8192, n)
            f.write(events.tobytes())


def timed(what, function):
    start = time.perf_counter()
    result = function()
    seconds = time.perf_counter() - start
    print("%-58s %8.3f s" % (what, seconds), flush=True)
    return result, seconds


def quarix_run(*args):
    environment = dict(os.environ, PYTHONPATH=os.path.join(CHECKOUT, "python"))
    done = subprocess.run([sys.executable, "-m", "quarix_files.cli"] + list(args), env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise SystemExit("quarix-run %s failed:\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    return done.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=10)
    parser.add_argument("--gb", type=float, default=1.0, help="size of each file (default 1)")
    parser.add_argument("--convert-files", type=int, default=2)
    parser.add_argument("--cold", action="store_true", help="also time info with the page cache dropped (root)")
    parser.add_argument("--work-dir", default=tempfile.gettempdir())
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quarix-bench-files-", dir=args.work_dir)
    try:
        run = os.path.join(work, "run")
        os.mkdir(run)
        records = int(args.gb * 1e9) // qf.EVENT_DTYPE.itemsize
        first = os.path.join(run, "list_0.bin")
        timed("write one list file of %.2f GB (%d events)" % (records * 25 / 1e9, records),
              lambda: write_list_file(first, records))
        for index in range(1, args.files):
            shutil.copyfile(first, os.path.join(run, "list_%d.bin" % index))
        total = sum(os.path.getsize(os.path.join(run, n)) for n in os.listdir(run))
        print("run folder: %d files, %.2f GB" % (args.files, total / 1e9))

        def column_pass():
            events = qf.read_list_file(first).data
            return [int(events[field].sum()) for field in ("timestamp", "channel", "energy_raw", "flags")]
        timed("read_list_file, 1 file: map it", lambda: qf.read_list_file(first))
        _, seconds = timed("read_list_file, 1 file: map + one pass over all 4 columns", column_pass)
        print("%-58s %8.2f GB/s" % ("", os.path.getsize(first) / seconds / 1e9))

        quarix_run("info", run)   # warms the page cache
        out, seconds = timed("quarix-run info, %.1f GB, warm page cache" % (total / 1e9),
                             lambda: quarix_run("info", run))
        print("%-58s %8.2f GB/s" % ("", total / seconds / 1e9))
        if args.cold:
            subprocess.run(["sync"], check=True)
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
            _, seconds = timed("quarix-run info, %.1f GB, cold page cache" % (total / 1e9),
                               lambda: quarix_run("info", run))
            print("%-58s %8.2f GB/s" % ("", total / seconds / 1e9))
        print("  " + "\n  ".join(out.splitlines()[:4]))

        part = os.path.join(work, "part")
        os.mkdir(part)
        for index in range(args.convert_files):
            os.link(os.path.join(run, "list_%d.bin" % index), os.path.join(part, "list_%d.bin" % index))
        size = sum(os.path.getsize(os.path.join(part, n)) for n in os.listdir(part))
        output = os.path.join(work, "part.h5")
        quarix_run("info", part)
        _, seconds = timed("quarix-run convert --to hdf5, %.1f GB" % (size / 1e9),
                           lambda: quarix_run("convert", part, "--to", "hdf5", "--output", output))
        print("%-58s %8.0f MB/s" % ("", size / seconds / 1e6))
        with open("/proc/loadavg") as f:
            print("load average (1, 5, 15 min): %s" % " ".join(f.read().split()[:3]))
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
