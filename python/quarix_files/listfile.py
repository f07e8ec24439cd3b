"""List-event files of the data dumper, in the three forms, as one NumPy
structured array of EVENT_DTYPE (the 25-byte BIN record).

BIN files are mapped, not read: the array is a view of the file's pages from
the end of the header on. CSV and JSON files are checked against their
record pattern and their numbers read in one pass; they carry no flags, so
their "flags" field is 0."""

import mmap

import numpy as np

from . import _text
from .problems import Problem, settle
from .recorded import LIST, RecordedFile

EVENT_DTYPE = np.dtype({"names": ["timestamp", "channel", "energy_raw", "flags"],
                        "formats": ["<u8", "<u8", "<u8", "u1"],
                        "offsets": [0, 8, 16, 24], "itemsize": 25})
RECORD_BYTES = 25
MAGIC = b"QRXS"
HEADER_BYTES = 14   # "QRXS" + ten decimal digits of the creation time

_CSV_RECORD = rb"\d+,\d+,\d+,\n"
_JSON_RECORD = rb'\{"timestamp":\d+,"channel":\d+,"energy_raw":\d+\}\n'


def _events_from_numbers(numbers):
    events = np.zeros(len(numbers), EVENT_DTYPE)
    events["timestamp"], events["channel"], events["energy_raw"] = numbers.T
    return events


def _read_bin(result):
    with open(result.path, "rb") as f:
        header = f.read(HEADER_BYTES)
    if header[:4] != MAGIC:
        what = "empty file" if not header else "magic %r, not %r" % (header[:4], MAGIC)
        result.problems.append(Problem(result.path, 0, "not a list-event file: " + what))
        result.data = np.zeros(0, EVENT_DTYPE)
        return
    if len(header) < HEADER_BYTES or not header[4:].isdigit():
        result.problems.append(Problem(result.path, 4, "header cut short or not ten digits: %r" % header[4:]))
        result.data = np.zeros(0, EVENT_DTYPE)
        return
    result.created = int(header[4:])
    count, rest = divmod(result.size - HEADER_BYTES, RECORD_BYTES)
    if rest:
        result.problems.append(Problem(result.path, HEADER_BYTES + count * RECORD_BYTES,
                                       "record %d cut short: %d of %d bytes" % (count, rest, RECORD_BYTES)))
    if count == 0:
        result.data = np.zeros(0, EVENT_DTYPE)
        return
    result.data = np.memmap(result.path, EVENT_DTYPE, "r", offset=HEADER_BYTES, shape=(count,))
    # The readers of a run walk the file once from start to end.
    mapping = getattr(result.data, "_mmap", None)
    if mapping is not None and hasattr(mapping, "madvise"):
        mapping.madvise(mmap.MADV_SEQUENTIAL)


def _read_text(result, is_json):
    with open(result.path, "rb") as f:
        data = f.read()
    if not is_json:
        end = _text.intact_prefix(data, _CSV_RECORD)
        if end < len(data):
            what = "line cut short" if b"\n" not in data[end:] else "not a list-event line"
            result.problems.append(Problem(result.path, end, "%s: %r" % (what, data[end:end + 40])))
        result.data = _events_from_numbers(_text.unsigned_numbers(data[:end], 3))
        return
    # "[" record (",\n" record)* "]"
    if not data.startswith(b"["):
        result.problems.append(Problem(result.path, 0, "a JSON list file starts with '['"))
        result.data = np.zeros(0, EVENT_DTYPE)
        return
    end = _text.intact_prefix(data, _JSON_RECORD, 1, 1)
    if end > 1:
        end = _text.intact_prefix(data, b",\n" + _JSON_RECORD, end)
    tail = data[end:]
    if tail != b"]":
        if tail in (b"", b",\n"):   # ended before its closing "]" (a record after ",\n" never came)
            result.problems.append(Problem(result.path, len(data), "no closing ']': the file was not closed"))
        else:
            result.problems.append(Problem(result.path, end, "not a list-event record: %r" % data[end:end + 40]))
    result.data = _events_from_numbers(_text.unsigned_numbers(data[1:end], 3))


def read_list_file(path, strict=True):
    """The list events of one file as a RecordedFile whose `data` is an array
    of EVENT_DTYPE (timestamp, channel, energy_raw as uint64, flags as uint8).
    With strict (the default) damage raises DamagedFileError; otherwise the
    intact records come back with `problems` listing the damage."""
    result = RecordedFile(path, LIST)
    if result.format == "BIN":
        _read_bin(result)
    else:
        _read_text(result, result.format == "JSON")
    return settle(result, strict)


def chunks(recorded, size=1 << 18, reuse_buffer=False):
    """The events of a RecordedFile in consecutive slices of at most `size`
    records. Slices of the array (views, no copy); with reuse_buffer, BIN
    files are read through one buffer instead, which is faster for one pass
    over a large file, and each slice is valid only until the next is taken."""
    events = recorded.data
    if events is None or not len(events):
        return
    if not (reuse_buffer and isinstance(events, np.memmap)):
        for start in range(0, len(events), size):
            yield events[start:start + size]
        return
    buffer = bytearray(size * RECORD_BYTES)
    view = memoryview(buffer)
    with open(recorded.path, "rb", buffering=0) as f:
        f.seek(HEADER_BYTES)
        left = len(events) * RECORD_BYTES   # the intact records only
        while left:
            wanted, filled = min(left, len(buffer)), 0
            while filled < wanted:
                got = f.readinto(view[filled:wanted])
                if not got:
                    return   # the file shrank since it was read
                filled += got
            left -= filled
            yield np.frombuffer(buffer, EVENT_DTYPE, filled // RECORD_BYTES)
