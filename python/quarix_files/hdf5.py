"""A run folder as one HDF5 file (h5py), written in bounded chunks.

Layout (one group per writer block):
    /                     attributes run_id, source_folder, files, problems
    /<block>              attributes kind, format, files, problems
    /<block>/events       list events, EVENT_DTYPE (25-byte compound records)
    /<block>/statistics   RUN_STAT_DTYPE rows of the block's .stat files
    /<block>/waveforms/<k>  the k-th run of waveform records of one geometry
    /<block>/rates        rate snapshots, rate_dtype(n)
"""

import os
import sys
import time

import h5py
import numpy as np

from . import listfile
from .listfile import EVENT_DTYPE
from .recorded import LIST, RATE, WAVEFORM

CHUNK_RECORDS = 1 << 18   # list events copied per write: 6.5 MB


class Progress:
    """Percent done on a stream, at most once a second (and at the end)."""

    def __init__(self, total_bytes, stream=sys.stderr, interval=1.0):
        self.total, self.done, self.stream, self.interval = max(total_bytes, 1), 0, stream, interval
        self.last = time.monotonic()

    def add(self, nbytes, final=False):
        self.done = self.total if final else self.done + nbytes
        now = time.monotonic()
        if self.stream is not None and (final or now - self.last >= self.interval):
            self.last = now
            self.stream.write("convert: %3d%% (%.1f of %.1f MB)\n" % (
                min(100, 100 * self.done // self.total), self.done / 1e6, self.total / 1e6))
            self.stream.flush()


def _strings(values):
    return np.array([str(v) for v in values], dtype=h5py.string_dtype())


def _storable(records):
    """The records without fields of no bytes (the traces of a record of no
    channels or samples, the arrays of snapshots of no channels), which HDF5
    cannot store."""
    names = [n for n in records.dtype.names if records.dtype[n].itemsize > 0]
    if len(names) == len(records.dtype.names):
        return records
    kept = np.zeros(len(records), np.dtype([(n, records.dtype[n]) for n in names]))
    for n in names:
        kept[n] = records[n]
    return kept


def _write_block(group, block, progress):
    group.attrs["kind"] = block.kind or ""
    group.attrs["format"] = block.format or ""
    group.attrs["files"] = _strings(f.name for f in block.files)
    group.attrs["problems"] = _strings(block.problems)
    if len(block.statistics):
        group.create_dataset("statistics", data=block.statistics)
    if block.kind == LIST:
        events = group.create_dataset("events", shape=(block.records,), dtype=EVENT_DTYPE,
                                      chunks=(min(max(block.records, 1), 1 << 16),))
        row = 0
        for f in block.files:
            for chunk in listfile.chunks(f, CHUNK_RECORDS, reuse_buffer=True):
                events[row:row + len(chunk)] = chunk
                row += len(chunk)
                progress.add(f.size * len(chunk) // f.records)   # the share of the file's bytes
        return
    if block.kind == WAVEFORM:
        waves = group.create_group("waveforms")
        for k, segment in enumerate(block.waveforms().segments):
            waves.create_dataset(str(k), data=_storable(segment))
    elif block.kind == RATE:
        group.create_dataset("rates", data=_storable(block.rates()))
    progress.add(block.size)


def convert_run(run, output, stream=sys.stderr):
    """Writes the Run to a new HDF5 file `output`. An existing file is never
    replaced (FileExistsError); a conversion that fails removes its own
    unfinished output."""
    progress = Progress(sum(b.size for b in run.blocks.values()), stream)
    try:
        out = h5py.File(output, "x")   # "x": fails when the file exists
    except (FileExistsError, OSError) as error:
        if os.path.exists(output):
            raise FileExistsError("%s exists: a file is never replaced" % output) from error
        raise
    try:
        with out:
            out.attrs["run_id"] = run.id
            out.attrs["source_folder"] = run.path
            out.attrs["files"] = _strings(f.name for b in run.blocks.values() for f in b.files)
            out.attrs["problems"] = _strings(run.problems)
            for name, block in run.blocks.items():
                _write_block(out.create_group(name), block, progress)
        progress.add(0, final=True)
    except BaseException:
        os.remove(output)
        raise
