"""One recorded file: its name, format, kind of writer, records and damage.

Names in a run folder are <block>_<index><extension>: ".bin", ".csv" or
".json" for data files, ".stat" for the statistics file of a list file. BIN
files are told apart by their magic, CSV and JSON files by their content."""

import os
import re

LIST, WAVEFORM, RATE, STATISTICS = "list", "waveform", "rate", "statistics"
KIND_NAMES = {LIST: "list events", WAVEFORM: "waveforms", RATE: "rate counters", STATISTICS: "statistics"}
FORMATS = {".bin": "BIN", ".csv": "CSV", ".json": "JSON", ".stat": "STAT"}
MAGICS = {b"QRXS": LIST, b"QRXO": WAVEFORM, b"QRXR": RATE}

_NAME = re.compile(r"^(?P<block>.+)_(?P<index>0|[1-9][0-9]*)(?P<ext>\.bin|\.csv|\.json|\.stat)$")


def parse_name(file_name):
    """(block, index, extension) of a recorded file's name, or None."""
    match = _NAME.match(file_name)
    if not match:
        return None
    return match.group("block"), int(match.group("index")), match.group("ext")


class RecordedFile:
    """What a reader found in one file.

    path, name, block and index (from the name; None when it does not follow
    the naming), format ("BIN", "CSV", "JSON", "STAT"), kind (LIST, WAVEFORM,
    RATE, STATISTICS, or None for an empty file that shows no kind), created
    (the creation time in the BIN header, seconds since the epoch, else None),
    size (bytes), data (the records: see the readers), records (how many),
    problems (list of Problem; empty for an intact file)."""

    def __init__(self, path, kind=None):
        self.path = str(path)
        self.name = os.path.basename(self.path)
        parsed = parse_name(self.name)
        self.block, self.index, extension = parsed if parsed else (None, None, os.path.splitext(self.name)[1])
        self.format = FORMATS.get(extension.lower())
        self.kind = kind
        self.created = None
        self.size = os.path.getsize(self.path)
        self.data = None
        self.problems = []

    @property
    def records(self):
        return 0 if self.data is None else len(self.data)

    def __repr__(self):
        return "RecordedFile(%r, kind=%r, records=%d, problems=%d)" % (
            self.path, self.kind, self.records, len(self.problems))


def sniff(path):
    """The kind of writer behind a data file, from its first bytes: LIST,
    WAVEFORM, RATE; None when the file holds no record to tell by (an empty
    CSV file, a JSON file "[" or "[]"); "unknown" for a BIN file without a
    known magic and for text of no known form."""
    extension = os.path.splitext(path)[1].lower()
    if extension == ".stat":
        return STATISTICS
    with open(path, "rb") as f:
        head = f.read(64 * 1024)
    if extension == ".bin":   # an empty BIN file lacks even its header
        return MAGICS.get(head[:4], "unknown")
    if extension == ".json":
        body = head[1:].lstrip()
        if not body or body.startswith(b"]"):
            return None
        if body.startswith(b'{"n_channels"'):
            return WAVEFORM
        if re.match(rb'\{"timestamp":\d+,"channel"', body):
            return LIST
        if re.match(rb'\{"timestamp":-?\d+,"rate_in"', body):
            return RATE
        return "unknown"
    if extension == ".csv":
        if not head:
            return None
        if head.startswith(b"timestamp,"):
            return RATE
        first = head.split(b"\n", 1)[0]
        # A list line is "T,C,E," (four fields, the last empty); a waveform
        # line has at least N, S, A, D, T and an empty last field.
        return LIST if first.count(b",") == 3 else WAVEFORM
    return "unknown"
