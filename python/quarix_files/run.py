"""A whole run folder: the files of each writer block joined in index order
(roll-over), with the list files' statistics and every damage found."""

import os

import numpy as np

from . import listfile, rates, statistics, waveforms
from .problems import Problem, settle
from .recorded import LIST, RATE, STATISTICS, WAVEFORM, RecordedFile, parse_name, sniff

READERS = {LIST: listfile.read_list_file, WAVEFORM: waveforms.read_waveform_file, RATE: rates.read_rate_file,
           STATISTICS: statistics.read_statistics_file}
RUN_STAT_DTYPE = np.dtype([("file_index", "<i4")] + statistics.STAT_DTYPE.descr)


def read_file(path, strict=True):
    """Any recorded file, its kind told by its magic or content: a
    RecordedFile (see the readers). An empty file, which shows no kind,
    comes back with kind None and no records."""
    kind = sniff(path)
    if kind in READERS:
        return READERS[kind](path, strict)
    result = RecordedFile(path)
    if kind == "unknown":
        result.problems.append(Problem(path, 0, "no known file form"))
    return settle(result, strict)


class Block:
    """The files one writer block wrote in a run.

    name, kind (LIST, WAVEFORM, RATE), format, files (RecordedFile in index
    order), statistics (RUN_STAT_DTYPE rows of its .stat files, in index
    order), problems. records and size add up its files."""

    def __init__(self, name):
        self.name = name
        self.kind = None
        self.format = None
        self.files = []
        self.statistics = np.zeros(0, RUN_STAT_DTYPE)
        self.problems = []

    @property
    def records(self):
        return sum(f.records for f in self.files)

    @property
    def size(self):
        return sum(f.size for f in self.files)

    def chunks(self, size=1 << 18, reuse_buffer=False):
        """The list events in slices of at most `size` records, file after
        file: views of the files, or with reuse_buffer read through one
        buffer, each slice valid only until the next (listfile.chunks)."""
        for f in self.files:
            yield from listfile.chunks(f, size, reuse_buffer)

    def events(self):
        """All list events in one array (a copy: mind the size)."""
        return np.concatenate([f.data for f in self.files if f.data is not None] or [np.zeros(0, listfile.EVENT_DTYPE)])

    def waveforms(self):
        return waveforms.Waveforms.join([f.data for f in self.files if f.data is not None])

    def rates(self):
        return rates.join_snapshots([f.data for f in self.files if f.data is not None])

    def __repr__(self):
        return "Block(%r, kind=%r, files=%d, records=%d)" % (self.name, self.kind, len(self.files), self.records)


class Run:
    """path, id (the folder's name), blocks (name -> Block, by name),
    other_files (names that follow no recorded-file naming), problems (every
    damage of every block)."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.id = os.path.basename(self.path.rstrip("/"))
        self.blocks = {}
        self.other_files = []
        self.problems = []

    def __repr__(self):
        return "Run(%r, blocks=%r, problems=%d)" % (self.path, sorted(self.blocks), len(self.problems))


def _read_block(folder, block, data_files, stat_files):
    """data_files: index -> [file names]; stat_files: index -> file name."""
    kinds = {}
    for index, names in sorted(data_files.items()):
        for extra in sorted(names)[1:]:
            block.problems.append(Problem(os.path.join(folder, extra), 0,
                                          "a second file of index %d: left out" % index))
        kinds[index] = sniff(os.path.join(folder, sorted(names)[0]))
    known = [k for k in kinds.values() if k in READERS]
    block.kind = known[0] if known else None
    last = max(list(data_files) + list(stat_files))
    extension = os.path.splitext(sorted(data_files[min(data_files)])[0])[1] if data_files else ".bin"
    for index in range(last + 1):
        if index not in data_files:
            name = "%s_%d%s" % (block.name, index, extension)
            block.problems.append(Problem(os.path.join(folder, name), 0, "missing: file %d of the roll-over is absent"
                                          % index))
            continue
        path = os.path.join(folder, sorted(data_files[index])[0])
        kind = kinds[index]
        if kind is None or (kind in READERS and kind == block.kind):
            recorded = READERS[block.kind](path, False) if block.kind else RecordedFile(path)
        else:
            recorded = RecordedFile(path, kind)
            what = "a %s file among %s files" % (kind, block.kind) if kind in READERS else \
                "empty file" if recorded.size == 0 else "no known file form"
            block.problems.append(Problem(path, 0, what + ": left out"))
        block.problems.extend(recorded.problems)
        block.files.append(recorded)
    block.format = block.files[0].format if block.files else None
    rows = []
    for index, name in sorted(stat_files.items()):
        recorded = statistics.read_statistics_file(os.path.join(folder, name), False)
        block.problems.extend(recorded.problems)
        part = np.zeros(len(recorded.data), RUN_STAT_DTYPE)
        part["file_index"] = index
        for field in statistics.STAT_DTYPE.names:
            part[field] = recorded.data[field]
        rows.append(part)
    if rows:
        block.statistics = np.concatenate(rows)


def read_run(folder, strict=True):
    """Every recorded file of a run folder, grouped by writer block: a Run.
    With strict (the default) any damage raises DamagedFileError (its
    `partial` is the Run as read); otherwise it is in run.problems and each
    block's problems, beside the intact records."""
    run = Run(folder)
    data_files, stat_files = {}, {}
    for name in sorted(os.listdir(folder)):
        parsed = parse_name(name) if os.path.isfile(os.path.join(folder, name)) else None
        if not parsed:
            run.other_files.append(name)
            continue
        block, index, extension = parsed
        if extension == ".stat":
            stat_files.setdefault(block, {})[index] = name
        else:
            data_files.setdefault(block, {}).setdefault(index, []).append(name)
    for name in sorted(set(data_files) | set(stat_files)):
        block = Block(name)
        _read_block(run.path, block, data_files.get(name, {}), stat_files.get(name, {}))
        run.blocks[name] = block
        run.problems.extend(block.problems)
    return settle(run, strict)
