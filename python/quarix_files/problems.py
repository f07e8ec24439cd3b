"""What a reader reports about a damaged file: the file, the byte offset where
the damage starts, and what is wrong there."""


class Problem:
    """One damage found in a recorded file (or a file missing from a run)."""

    __slots__ = ("path", "offset", "message")

    def __init__(self, path, offset, message):
        self.path = str(path)
        self.offset = int(offset)
        self.message = message

    def __str__(self):
        return "%s: byte %d: %s" % (self.path, self.offset, self.message)

    def __repr__(self):
        return "Problem(%r, %d, %r)" % (self.path, self.offset, self.message)

    def __eq__(self, other):
        return isinstance(other, Problem) and (self.path, self.offset, self.message) == (
            other.path, other.offset, other.message)

    def __hash__(self):
        return hash((self.path, self.offset, self.message))


class DamagedFileError(ValueError):
    """Raised by a strict read at the first damage. `problem` is it (with
    `path` and `offset`), `problems` every damage found, and `partial` what
    the reader could still read before it (a RecordedFile or a Run)."""

    def __init__(self, problems, partial=None):
        self.problems = list(problems)
        self.problem = self.problems[0]
        self.partial = partial
        super().__init__(str(self.problem))

    @property
    def path(self):
        return self.problem.path

    @property
    def offset(self):
        return self.problem.offset


def settle(result, strict):
    """Returns the result, or raises DamagedFileError when strict and the
    result holds problems."""
    if strict and result.problems:
        raise DamagedFileError(result.problems, result)
    return result
