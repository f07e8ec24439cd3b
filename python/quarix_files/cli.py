"""quarix-run: look at a recorded run folder.

    quarix-run info RUN_FOLDER [--clock HZ]
    quarix-run spectrum RUN_FOLDER --channel N [--bins B] [--block NAME] [--png FILE] [--size WxH] [--log]
    quarix-run convert RUN_FOLDER --to hdf5 [--output FILE]

Exit status: 0; 1 when `info` finds damage; 2 for a wrong call or a refused
action (an existing output file, a missing block)."""

import argparse
import os
import signal
import sys

import numpy as np

from . import hdf5
from .recorded import KIND_NAMES, LIST, RATE, WAVEFORM
from .run import read_run

DEFAULT_CLOCK_HZ = 100000000   # the simulated board's time stamp clock
CHANNEL_LIMIT = 1 << 16        # channels counted with bincount; larger numbers with unique
ENERGY_LIMIT = 1 << 24         # raw energies histogrammed with bincount in one pass


class Refused(Exception):
    """A call that cannot be carried out; its text is shown, exit status 2."""


def _accumulate(counts, values):
    """counts with np.bincount(values) added; grows as needed."""
    found = np.bincount(values.astype(np.int64))
    counts = np.pad(counts, (0, max(0, len(found) - len(counts))))
    counts[:len(found)] += found
    return counts


def channel_counts(block):
    """({channel: events}, first time stamp, last time stamp) of a list
    block, in one pass over its files."""
    counts, extra = np.zeros(0, np.int64), {}
    first, last = None, None
    for chunk in block.chunks(reuse_buffer=True):
        channel, stamps = chunk["channel"], chunk["timestamp"]
        low, high = stamps.min(), stamps.max()
        first = low if first is None else min(first, low)
        last = high if last is None else max(last, high)
        if channel.max() < CHANNEL_LIMIT:
            counts = _accumulate(counts, channel)
        else:
            for value, n in zip(*np.unique(channel, return_counts=True)):
                extra[int(value)] = extra.get(int(value), 0) + int(n)
    channels = {c: int(n) for c, n in enumerate(counts) if n}
    for value, n in extra.items():
        channels[value] = channels.get(value, 0) + n
    return dict(sorted(channels.items())), first, last


def _size_text(nbytes):
    for unit in ("bytes", "kB", "MB", "GB", "TB"):
        if nbytes < 1000 or unit == "TB":
            return ("%d %s" if unit == "bytes" else "%.1f %s") % (nbytes, unit)
        nbytes /= 1000.0


def _files_text(block):
    names = [f.name for f in block.files]
    listed = names[0] if len(names) == 1 else "%s … %s" % (names[0], names[-1]) if names else "-"
    return "%d file%s (%s), %s" % (len(names), "" if len(names) == 1 else "s", listed, _size_text(block.size))


def _info_list(block, clock, out):
    channels, first, last = channel_counts(block)
    total = sum(channels.values())
    if len(block.statistics):
        duration = float(block.statistics["running_time_s"][-1])
        how = "running time in the statistics file's last line"
    else:
        duration = (int(last) - int(first)) / clock if total else 0.0
        how = "first to last event time stamp at %g Hz" % clock
    out.write("  %d events, duration %.3f s (%s)\n" % (total, duration, how))
    if channels:
        out.write("  %8s %14s %14s\n" % ("channel", "events", "rate (1/s)"))
        for channel, n in channels.items():
            rate = "%14.1f" % (n / duration) if duration > 0 else "%14s" % "-"
            out.write("  %8d %14d %s\n" % (channel, n, rate))


def _info_waveforms(block, clock, out):
    waves = block.waveforms()
    stamps = waves.timestamps()
    out.write("  %d records" % len(waves))
    if len(waves):
        geometries = ", ".join("N=%d S=%d A=%d D=%d" % g for g in sorted(waves.geometries()))
        out.write(" of %s, time stamps %d … %d (%.3f s at %g Hz)" % (
            geometries, stamps.min(), stamps.max(), (int(stamps.max()) - int(stamps.min())) / clock, clock))
    out.write("\n")


def _info_rates(block, out):
    snapshots = block.rates()
    out.write("  %d snapshots" % len(snapshots))
    if len(snapshots):
        out.write(" over %.3f s (file times)\n" % (snapshots["time_ms"].max() / 1000.0))
        out.write("  %8s %14s %14s %16s %16s\n" % ("channel", "mean rate_in", "mean rate_out", "last counts_in",
                                                  "last counts_out"))
        last = snapshots[-1]
        # Every column up to the widest snapshot's n holds a rate of some snapshot.
        mean_in, mean_out = np.nanmean(snapshots["rate_in"], 0), np.nanmean(snapshots["rate_out"], 0)
        for c in range(int(last["n"])):
            out.write("  %8d %14.1f %14.1f %16d %16d\n" % (c, mean_in[c], mean_out[c], last["counts_in"][c],
                                                           last["counts_out"][c]))
    else:
        out.write("\n")


def info(args, out=sys.stdout):
    run = read_run(args.run_folder, strict=False)
    out.write("run %s: %s\n" % (run.id, run.path))
    for name, block in run.blocks.items():
        kind = KIND_NAMES.get(block.kind, "no records")
        out.write("%s: %s, %s, %s\n" % (name, kind, block.format or "-", _files_text(block)))
        if block.kind == LIST:
            _info_list(block, args.clock, out)
        elif block.kind == WAVEFORM:
            _info_waveforms(block, args.clock, out)
        elif block.kind == RATE:
            _info_rates(block, out)
    if run.other_files:
        out.write("other files: %s\n" % ", ".join(run.other_files))
    out.write("problems: %s\n" % (len(run.problems) or "none"))
    for problem in run.problems:
        out.write("  %s\n" % problem)
    return 1 if run.problems else 0


def _list_block(run, name):
    blocks = [b for b in run.blocks.values() if b.kind == LIST and (name is None or b.name == name)]
    if len(blocks) != 1:
        found = ", ".join(b.name for b in run.blocks.values() if b.kind == LIST) or "none"
        what = "several list blocks: choose one with --block" if blocks else \
            "no list block" + (" named %r" % name if name else "")
        raise Refused("%s in %s (list blocks: %s)" % (what, run.path, found))
    return blocks[0]


def energy_histogram(block, channel, bins):
    """(counts, edges): the raw energies of one channel in `bins` bins of one
    whole-number width, from 0 to past the largest raw energy."""
    counts = np.zeros(0, np.int64)
    for chunk in block.chunks(reuse_buffer=True):
        energies = chunk["energy_raw"][chunk["channel"] == channel]
        if len(energies) and energies.max() >= ENERGY_LIMIT:
            counts = None
            break
        counts = _accumulate(counts, energies)
    if counts is not None:
        width = max(1, -(-len(counts) // bins))
        edges = np.arange(bins + 1) * width
        return np.pad(counts, (0, bins * width - len(counts))).reshape(bins, width).sum(1), edges
    # Raw energies too large for one count per value: a pass for the range, one to count.
    top = max(int(c["energy_raw"][c["channel"] == channel].max(initial=0))
              for c in block.chunks(reuse_buffer=True))
    edges = np.arange(bins + 1) * (top // bins + 1)
    hist = np.zeros(bins, np.int64)
    for chunk in block.chunks(reuse_buffer=True):
        hist += np.histogram(chunk["energy_raw"][chunk["channel"] == channel], edges)[0]
    return hist, edges


def spectrum(args, out=sys.stdout):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    run = read_run(args.run_folder, strict=False)
    block = _list_block(run, args.block)
    hist, edges = energy_histogram(block, args.channel, args.bins)
    width, height = args.size
    figure = Figure(figsize=(width / 100.0, height / 100.0), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    axes.stairs(hist, edges, fill=True, color="tab:blue")
    axes.set_xlim(edges[0], edges[-1])
    if args.log:
        axes.set_yscale("log")
    axes.set_xlabel("energy_raw")
    axes.set_ylabel("events per bin (bin width %g)" % (edges[1] - edges[0]))
    axes.set_title("run %s, %s, channel %d: %d events" % (run.id, block.name, args.channel, hist.sum()))
    figure.tight_layout()
    png = args.png or "%s_%s_ch%d.png" % (run.id, block.name, args.channel)
    figure.savefig(png, dpi=100)
    out.write("%s: %d events of channel %d in %d bins, %dx%d pixels\n" % (
        png, hist.sum(), args.channel, args.bins, width, height))
    for problem in run.problems:
        sys.stderr.write("problem: %s\n" % problem)
    return 0


def convert(args, out=sys.stdout):
    run = read_run(args.run_folder, strict=False)
    output = args.output or run.id + ".h5"
    if os.path.exists(output):
        raise Refused("%s exists: a file is never replaced; name another with --output" % output)
    try:
        hdf5.convert_run(run, output)
    except FileExistsError as error:
        raise Refused(str(error))
    records = sum(b.records for b in run.blocks.values())
    out.write("%s: %d records of %d blocks, %d problems\n" % (output, records, len(run.blocks), len(run.problems)))
    for problem in run.problems:
        sys.stderr.write("problem: %s\n" % problem)
    return 0


def _size(text):
    try:
        width, height = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("WxH expected, for example 1000x600")
    if not (50 <= width <= 20000 and 50 <= height <= 20000):
        raise argparse.ArgumentTypeError("width and height from 50 to 20000 pixels")
    return width, height


def parser():
    main = argparse.ArgumentParser(prog="quarix-run", description="Look at a run folder recorded by the Quarix "
                                   "board server: list events, waveforms, rate counters and statistics.")
    commands = main.add_subparsers(dest="command", required=True)
    p = commands.add_parser("info", help="files, records, duration, rates per channel and damage of each block")
    p.add_argument("run_folder")
    p.add_argument("--clock", type=float, default=DEFAULT_CLOCK_HZ,
                   help="time stamp clock in Hz for durations without a statistics file (default %(default)d)")
    p.set_defaults(action=info)
    p = commands.add_parser("spectrum", help="energy spectrum of one channel of a list block, as a PNG")
    p.add_argument("run_folder")
    p.add_argument("--channel", type=int, required=True)
    p.add_argument("--bins", type=int, default=1024,
                   help="bins of one whole-number width from 0 past the largest raw energy (default 1024)")
    p.add_argument("--block", help="list block name (needed when the run has several)")
    p.add_argument("--png", help="output file (default <run>_<block>_ch<N>.png here)")
    p.add_argument("--size", type=_size, default=(1000, 600), help="WxH pixels (default 1000x600)")
    p.add_argument("--log", action="store_true", help="logarithmic count axis")
    p.set_defaults(action=spectrum)
    p = commands.add_parser("convert", help="the whole run as one new HDF5 file")
    p.add_argument("run_folder")
    p.add_argument("--to", choices=["hdf5"], required=True)
    p.add_argument("--output", help="output file (default <run>.h5 here); never replaced")
    p.set_defaults(action=convert)
    return main


def main(argv=None):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)   # quietly end when the reader of our output goes (| head)
    args = parser().parse_args(argv)
    if not os.path.isdir(args.run_folder):
        sys.stderr.write("quarix-run: %s is not a folder\n" % args.run_folder)
        return 2
    if getattr(args, "bins", 1) < 1:
        sys.stderr.write("quarix-run: --bins must be at least 1\n")
        return 2
    try:
        return args.action(args)
    except Refused as error:
        sys.stderr.write("quarix-run: %s\n" % error)
        return 2


if __name__ == "__main__":
    sys.exit(main())
