"""Rate files of the rate-counter sink: one snapshot per record, as a NumPy
structured array of rate_dtype(n): time_ms (milliseconds since the file was
opened), n (the snapshot's channel count), rate_in, rate_out (float64) and
counts_in, counts_out (uint64) of n entries. Snapshots with fewer channels
than the widest one are padded with NaN rates and 0 counts."""

import mmap

import numpy as np

from . import _text
from .problems import Problem, settle
from .recorded import RATE, RecordedFile

MAGIC = b"QRXR"
HEADER_BYTES = 16
RECORD_HEAD_BYTES = 12
CSV_HEADER = ("timestamp" + "".join(",rate_in_ch%d" % i for i in range(32)) + ",rate_in_T0"
              + "".join(",rate_out_ch%d" % i for i in range(32)) + ",DUMMY1"
              + "".join(",counts_in_ch%d" % i for i in range(32)) + ",counts_in_T0"
              + "".join(",counts_out_ch%d" % i for i in range(32)) + ",DUMMY2").encode()


def rate_dtype(n):
    return np.dtype([("time_ms", "<i8"), ("n", "<i4"), ("rate_in", "<f8", (n,)), ("rate_out", "<f8", (n,)),
                     ("counts_in", "<u8", (n,)), ("counts_out", "<u8", (n,))])


def _bin_record_dtype(n):
    return np.dtype([("time_ms", "<i8"), ("n", "<i4"), ("rate_in", "<f4", (n,)), ("rate_out", "<f4", (n,)),
                     ("counts_in", "<u8", (n,)), ("counts_out", "<u8", (n,))])


def join_snapshots(parts):
    """One array of rate_dtype(widest n) from arrays of rate_dtype or of the
    BIN record, of any channel counts."""
    parts = [p for p in parts if len(p)]
    width = max((p.dtype["rate_in"].shape[0] for p in parts), default=0)
    out = np.zeros(sum(len(p) for p in parts), rate_dtype(width))
    out["rate_in"] = out["rate_out"] = np.nan
    row = 0
    for p in parts:
        n = p.dtype["rate_in"].shape[0]
        block = out[row:row + len(p)]
        block["time_ms"], block["n"] = p["time_ms"], p["n"]
        for field in ("rate_in", "rate_out", "counts_in", "counts_out"):
            block[field][:, :n] = p[field]
        row += len(p)
    return out


def _snapshot(time_ms, rate_in, rate_out, counts_in, counts_out):
    record = np.zeros(1, rate_dtype(len(rate_in)))
    record["time_ms"], record["n"] = time_ms, len(rate_in)
    record["rate_in"], record["rate_out"] = rate_in, rate_out
    record["counts_in"], record["counts_out"] = counts_in, counts_out
    return record


def _read_bin(result):
    size = result.size
    with open(result.path, "rb") as f:
        head = f.read(HEADER_BYTES)
        buffer = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else b""
    if head[:4] != MAGIC or len(head) < HEADER_BYTES:
        result.problems.append(Problem(result.path, 0, "not a rate file: magic %r, not %r" % (head[:4], MAGIC)))
        return []
    result.created = int(np.frombuffer(head, "<u8", 1, 8)[0])
    parts, pos = [], HEADER_BYTES
    while pos < size:
        if size - pos < RECORD_HEAD_BYTES:
            result.problems.append(Problem(result.path, pos, "record cut short"))
            break
        n = max(int(np.frombuffer(buffer, "<i4", 1, pos + 8)[0]), 0)
        if pos + RECORD_HEAD_BYTES + 24 * n > size:
            result.problems.append(Problem(result.path, pos, "record cut short: %d of %d bytes" % (
                size - pos, RECORD_HEAD_BYTES + 24 * n)))
            break
        record = _bin_record_dtype(n)
        # All further records of this channel count at once, as long as their
        # counts say so; the loop turns only where the count changes.
        count = (size - pos) // record.itemsize
        counts = np.ndarray((count,), "<i4", buffer, pos + 8, (record.itemsize,))
        changed = np.flatnonzero(counts != counts[0]) if count else []
        count = int(changed[0]) if len(changed) else count
        parts.append(np.frombuffer(buffer, record, count, pos))
        pos += count * record.itemsize
    return parts


def _csv_record(line):
    fields = line.split(b",")
    n, rest = divmod(len(fields) - 1, 4)
    if rest:
        raise ValueError("%d fields: not 4 n + 1" % len(fields))
    values = fields[1:]
    return _snapshot(int(fields[0]), np.array(values[:n], np.float64), np.array(values[n:2 * n], np.float64),
                     [int(v) for v in values[2 * n:3 * n]], [int(v) for v in values[3 * n:]])


def _json_record(value):
    arrays = [value[k] for k in ("rate_in", "rate_out", "counts_in", "counts_out")]
    if len({len(a) for a in arrays}) != 1:
        raise ValueError("arrays of different lengths")
    return _snapshot(int(value["timestamp"]), *arrays)


def read_rate_file(path, strict=True):
    """The snapshots of one rate file as a RecordedFile whose `data` is an
    array of rate_dtype. BIN rates are 32-bit floats in the file; CSV and
    JSON rates have six significant digits."""
    result = RecordedFile(path, RATE)
    if result.format == "BIN":
        result.data = join_snapshots(_read_bin(result))
        return settle(result, strict)
    with open(result.path, "rb") as f:
        data = f.read()
    if result.format == "JSON":
        records = _text.json_records(data, _json_record, "rate", result.problems, result.path)
    elif data and not data.startswith(CSV_HEADER + b"\n"):
        result.problems.append(Problem(result.path, 0, "not the rate file's CSV header line"))
        records = []
    else:
        records = _text.line_records(data, len(CSV_HEADER) + 1 if data else 0, _csv_record, "rate",
                                     result.problems, result.path)
    result.data = join_snapshots(records)
    return settle(result, strict)
