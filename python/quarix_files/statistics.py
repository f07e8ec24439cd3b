"""Statistics files (<block>_<index>.stat) of the data dumper: a header line,
then one line per statistics interval."""

import numpy as np

from . import _text
from .problems import Problem, settle
from .recorded import STATISTICS, RecordedFile

HEADER = b"RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte"
STAT_DTYPE = np.dtype([("running_time_s", "<f8"), ("total_events", "<i8"), ("event_rate_hz", "<f8"),
                       ("used_space_byte", "<i8")])


def _row(line):
    fields = line.split(b",")
    if len(fields) != 4:
        raise ValueError("%d fields, not 4" % len(fields))
    return float(fields[0]), int(fields[1]), float(fields[2]), int(fields[3])


def read_statistics_file(path, strict=True):
    """The lines of a statistics file as a RecordedFile whose `data` is an
    array of STAT_DTYPE (running_time_s, total_events, event_rate_hz,
    used_space_byte)."""
    result = RecordedFile(path, STATISTICS)
    with open(result.path, "rb") as f:
        data = f.read()
    rows = []
    if not data.startswith(HEADER + b"\n"):
        result.problems.append(Problem(result.path, 0, "not the statistics header line"))
    else:
        rows = _text.line_records(data, len(HEADER) + 1, _row, "statistics", result.problems, result.path)
    result.data = np.array(rows, STAT_DTYPE)
    return settle(result, strict)
