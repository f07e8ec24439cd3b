"""Helpers for the text forms: checking a file's records against their
pattern in large steps, and reading the decimal numbers of checked text."""

import json
import re

import numpy as np

from .problems import Problem

# Every byte that is not a decimal digit becomes a blank.
_NUMBERS_ONLY = bytes(c if 48 <= c <= 57 else 32 for c in range(256))


def intact_prefix(data, record_pattern, start=0, step=4096):
    """The end of the longest run of whole records from `start` (a record is
    `record_pattern`, bytes). The regular expression takes up to `step`
    records per match, so the Python loop runs once per `step` records."""
    many = re.compile(b"(?:" + record_pattern + b"){1,%d}" % step)
    pos = start
    while True:
        match = many.match(data, pos)
        if not match:
            return pos
        pos = match.end()


def unsigned_numbers(text, columns):
    """The decimal numbers of checked text (digit runs separated by anything
    else) as uint64, `columns` per row."""
    values = np.fromstring(text.translate(_NUMBERS_ONLY), dtype=np.uint64, sep=" ")
    return values.reshape(-1, columns)


def line_start(data, pos):
    """The offset of the start of the line holding `pos`."""
    return data.rfind(b"\n", 0, pos) + 1


def line_records(data, start, convert, what, problems, path):
    """convert(line) for each "\\n"-ended line from `start`; stops at the first
    line that is cut short or that convert refuses (ValueError), with a
    Problem at the line's start."""
    records, pos = [], start
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            problems.append(Problem(path, pos, "line cut short"))
            break
        try:
            records.append(convert(data[pos:end]))
        except ValueError as error:
            problems.append(Problem(path, pos, "not a %s line: %s" % (what, error)))
            break
        pos = end + 1
    return records


def json_records(data, convert, what, problems, path):
    """convert(value) for each value of a file "[" value ("," value)* "]".
    Stops at the first damage with a Problem at its offset; a file without
    its closing "]" (not closed by the server) yields its whole records."""
    text = data.decode("latin-1")   # one character per byte: positions are byte offsets
    if not text.startswith("["):
        problems.append(Problem(path, 0, "a JSON file of %s records starts with '['" % what))
        return []
    records, pos, decoder = [], 1, json.JSONDecoder()
    closed = text[1:] == "]"
    while not closed:
        if pos == len(text):
            problems.append(Problem(path, pos, "no closing ']': the file was not closed"))
            break
        try:
            value, end = decoder.raw_decode(text, pos)
            records.append(convert(value))
        except (ValueError, KeyError, TypeError) as error:
            problems.append(Problem(path, pos, "not a %s record: %s" % (what, error)))
            break
        closed = text[end:] == "]"
        if not closed and text[end:end + 1] != ",":
            message = "',' or ']' expected after a record" if end < len(text) else \
                "no closing ']': the file was not closed"
            problems.append(Problem(path, end, message))
            break
        pos = end + 1
    return records
