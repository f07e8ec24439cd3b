"""Waveform files of the oscilloscope. A record is one snapshot of N
channels of S samples: per channel its analog trace (float64) and its digital
words (uint32, bit d = digital trace d).

Records of one geometry (N, S) in a row form a segment: a NumPy structured
array of wave_dtype(N, S), which for BIN files is a view of the file itself.
Waveforms holds the segments of a file or of a whole block."""

import collections
import mmap

import numpy as np

from . import _text
from .problems import Problem, settle
from .recorded import WAVEFORM, RecordedFile

MAGIC = b"QRXO"
HEADER_BYTES = 16
RECORD_HEADER = np.dtype([("n_channels", "<u4"), ("n_samples", "<u4"), ("n_analog", "<u4"), ("n_digital", "<u4"),
                          ("reserved0", "<u4"), ("reserved1", "<u4"), ("timestamp", "<u8")])

WaveformRecord = collections.namedtuple(
    "WaveformRecord", "n_channels n_samples n_analog n_digital timestamp analog digital")


def wave_dtype(n_channels, n_samples):
    """The BIN record of N channels of S samples, field by field:
    n_channels, n_samples, n_analog, n_digital, reserved0 (0), reserved1 (1),
    timestamp, then channels[N] of (analog float64[S], digital uint32[S])."""
    channel = np.dtype([("analog", "<f8", (n_samples,)), ("digital", "<u4", (n_samples,))])
    return np.dtype(RECORD_HEADER.descr + [("channels", channel, (n_channels,))])


class Waveforms:
    """The waveform records of a file or a block, in file order.

    len(w), w[i] and iteration give WaveformRecord tuples (analog and digital
    of shape (N, S)); `segments` are the structured arrays behind them;
    timestamps() the record timestamps; analog() and digital() arrays of
    shape (records, N, S) when every record has one geometry."""

    def __init__(self, segments=()):
        self.segments = [s for s in segments if len(s)]

    @classmethod
    def join(cls, parts):
        return cls([segment for part in parts for segment in part.segments])

    def __len__(self):
        return sum(len(s) for s in self.segments)

    def __iter__(self):
        for segment in self.segments:
            for row in segment:
                yield WaveformRecord(int(row["n_channels"]), int(row["n_samples"]), int(row["n_analog"]),
                                     int(row["n_digital"]), int(row["timestamp"]),
                                     row["channels"]["analog"], row["channels"]["digital"])

    def __getitem__(self, index):
        if index < 0:
            index += len(self)
        for segment in self.segments:
            if index < len(segment):
                return next(iter(Waveforms([segment[index:index + 1]])))
            index -= len(segment)
        raise IndexError("waveform record out of range")

    def geometries(self):
        """The distinct (N, S, A, D) of the records."""
        found = set()
        for s in self.segments:
            found.update(zip(s["n_channels"].tolist(), s["n_samples"].tolist(),
                             s["n_analog"].tolist(), s["n_digital"].tolist()))
        return found

    def timestamps(self):
        return np.concatenate([s["timestamp"] for s in self.segments]) if self.segments else np.zeros(0, np.uint64)

    def _traces(self, field):
        if len({s.dtype for s in self.segments}) > 1:
            raise ValueError("records of different channel or sample counts: use the segments")
        if not self.segments:
            return np.zeros((0, 0, 0))
        return np.concatenate([s["channels"][field] for s in self.segments])

    def analog(self):
        return self._traces("analog")

    def digital(self):
        return self._traces("digital")


def _segments_from_records(records):
    """Segments from (N, S, A, D, T, analog[N][S], digital[N][S]) tuples."""
    segments, run = [], []
    for record in records + [None]:
        if run and (record is None or record[:2] != run[0][:2]):
            n, s = run[0][:2]
            segment = np.zeros(len(run), wave_dtype(n, s))
            for column, name in enumerate(("n_channels", "n_samples", "n_analog", "n_digital", "timestamp")):
                segment[name] = [r[column] for r in run]
            segment["reserved1"] = 1
            segment["channels"]["analog"] = np.asarray([r[5] for r in run], np.float64).reshape(len(run), n, s)
            segment["channels"]["digital"] = np.asarray([r[6] for r in run], np.uint32).reshape(len(run), n, s)
            segments.append(segment)
            run = []
        if record is not None:
            run.append(record)
    return segments


def _read_bin(result):
    size = result.size
    if size < HEADER_BYTES:
        result.problems.append(Problem(result.path, 0, "not a waveform file: header cut short"))
        return []
    with open(result.path, "rb") as f:
        buffer = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    if buffer[:4] != MAGIC:
        result.problems.append(Problem(result.path, 0, "not a waveform file: magic %r, not %r" % (buffer[:4], MAGIC)))
        return []
    result.created = int(np.frombuffer(buffer, "<u8", 1, 8)[0])
    if size >= HEADER_BYTES + RECORD_HEADER.itemsize:
        # One geometry throughout: every header at its place says so.
        first = np.frombuffer(buffer, RECORD_HEADER, 1, HEADER_BYTES)[0]
        record_bytes = RECORD_HEADER.itemsize + int(first["n_channels"]) * int(first["n_samples"]) * 12
        count, rest = divmod(size - HEADER_BYTES, record_bytes)
        heads = np.ndarray((count,), RECORD_HEADER, buffer, HEADER_BYTES, (record_bytes,))
        if rest == 0 and (np.all(heads["n_channels"] == first["n_channels"])
                          and np.all(heads["n_samples"] == first["n_samples"])
                          and np.all(heads["reserved0"] == 0) and np.all(heads["reserved1"] == 1)):
            return [np.frombuffer(buffer, wave_dtype(int(first["n_channels"]), int(first["n_samples"])), count,
                                  HEADER_BYTES)]
    # Record by record: the geometry changes, or the file is damaged.
    segments, pos, start, geometry, count = [], HEADER_BYTES, HEADER_BYTES, None, 0
    while pos < size:
        if size - pos < RECORD_HEADER.itemsize:
            result.problems.append(Problem(result.path, pos, "record header cut short"))
            break
        head = np.frombuffer(buffer, RECORD_HEADER, 1, pos)[0]
        if head["reserved0"] != 0 or head["reserved1"] != 1:
            result.problems.append(Problem(result.path, pos, "not a waveform record header"))
            break
        n, s = int(head["n_channels"]), int(head["n_samples"])
        record_bytes = RECORD_HEADER.itemsize + n * s * 12
        if pos + record_bytes > size:
            result.problems.append(Problem(result.path, pos, "record cut short: %d of %d bytes" % (
                size - pos, record_bytes)))
            break
        if (n, s) != geometry:
            if count:
                segments.append(np.frombuffer(buffer, wave_dtype(*geometry), count, start))
            start, geometry, count = pos, (n, s), 0
        count += 1
        pos += record_bytes
    if count:
        segments.append(np.frombuffer(buffer, wave_dtype(*geometry), count, start))
    return segments


def _csv_record(line):
    fields = line.split(b",")
    n, s, a, d, t = (int(v) for v in fields[:5])
    if len(fields) != 5 + 2 * n * s + 1 or fields[-1] != b"":
        raise ValueError("%d fields where N = %d and S = %d make %d" % (len(fields), n, s, 5 + 2 * n * s + 1))
    values = np.array(fields[5:-1], np.float64).reshape(n, 2, s)
    if np.any(values[:, 1] != np.floor(values[:, 1])) or np.any(values[:, 1] < 0):
        raise ValueError("a digital word that is no whole number")
    return n, s, a, d, t, values[:, 0], values[:, 1]


def _json_record(value):
    n, s = value["n_channels"], value["n_samples"]
    channels = value["channels"]
    if len(channels) != n or any(len(c["analog_traces"]) != s or len(c["digital_traces"]) != s for c in channels):
        raise ValueError("channel or sample count differs from n_channels or n_samples")
    return (n, s, value["n_analog"], value["n_digital"], value["timestamp"],
            [c["analog_traces"] for c in channels], [c["digital_traces"] for c in channels])


def read_waveform_file(path, strict=True):
    """The waveform records of one file as a RecordedFile whose `data` is a
    Waveforms. Text forms: CSV analog samples have six significant digits,
    JSON ones are truncated to integers (as written)."""
    result = RecordedFile(path, WAVEFORM)
    if result.format == "BIN":
        segments = _read_bin(result)
    else:
        with open(result.path, "rb") as f:
            data = f.read()
        if result.format == "JSON":
            records = _text.json_records(data, _json_record, "waveform", result.problems, result.path)
        else:
            records = _text.line_records(data, 0, _csv_record, "waveform", result.problems, result.path)
        segments = _segments_from_records(records)
    result.data = Waveforms(segments)
    return settle(result, strict)
