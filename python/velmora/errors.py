"""Every exception and warning velmora raises, and the records of its native builds.

Which to raise
--------------
:class:`ConfigurationError`
    Inputs given in Python that cannot describe one consistent instrument
    (windows that contradict each other, an array that does not fit them);
    lists every problem found.
:class:`PlanError`
    A configuration file (TOML plan) that cannot be read as a plan: one line
    naming the key.
:class:`InputFileError`
    A file that cannot be read as what it should hold (a matrix, an array, a
    PSF set, a store): one line naming the file and the problem.
:class:`BuildError`
    The native module did not build a matrix; carries its records.
:class:`ConvergenceError`, :class:`ConvergenceWarning`
    A correction that did not reach its tolerance.

Arguments of the wrong type or value that are not about the instrument raise
Python's own ``TypeError`` and ``ValueError``; the command line maps all of
these to its exit statuses (2 for bad input, 1 for a failed build).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass

__all__ = ["BuildError", "ConfigurationError", "ConvergenceError", "ConvergenceWarning", "InputFileError", "PlanError",
           "Record"]

#: The prefix of each status in the module's printed lines.
_PREFIXES = {"ERROR": "ERROR\t:", "WARNING": "WARNING\t:", "INFO": "INFO\t:"}


@dataclass(frozen=True)
class Record:
    """One record of a native build.

    Attributes
    ----------
    status : {"ERROR", "WARNING", "INFO"}
        The record's status.
    text : str
        Its text; a record of several lines keeps them together, separated by
        newlines.
    """

    status: str
    text: str

    def lines(self) -> list[str]:
        """The record as the native module prints it: one status-prefixed line,
        then a tab before each further line."""
        parts = self.text.split("\n")
        return [_PREFIXES[self.status] + parts[0]] + ["\t" + p for p in parts[1:]]


class ConfigurationError(ValueError):
    """Inputs that cannot describe one consistent instrument.

    Raised before anything is handed to the native module: the windowing
    parameters contradict each other, or an array does not match the windows.
    The message lists every problem found, one per line; the same texts are
    available as :attr:`problems`.

    Parameters
    ----------
    what : str
        What was checked, e.g. ``"windows"``.
    problems : iterable of str
        One sentence per inconsistency.
    """

    def __init__(self, what: str, problems: Iterable[str]):
        self.what = what
        self.problems: list[str] = list(problems)
        lines = [f"invalid {what}: {len(self.problems)} problem(s)"]
        lines += [f"  - {p}" for p in self.problems]
        super().__init__("\n".join(lines))

    def __reduce__(self):
        return (type(self), (self.what, self.problems))


class BuildError(RuntimeError):
    """The native module did not build a matrix.

    The message names the matrix and carries the texts of the build's error
    and warning records; every record is kept in :attr:`records`.

    Parameters
    ----------
    matrix : str
        Which matrix was being built (``"in-field"`` or ``"stray-light"``).
    records : sequence of Record
        Every record of the build, in order.
    reason : str, optional
        One sentence that says why the build counts as failed.
    report : BuildReport, optional
        What the build did (:attr:`report`).
    """

    def __init__(self, matrix: str, records: Sequence[Record], reason: str = "the module refused the request",
                 report=None):
        self.matrix = matrix
        self.reason = reason
        self.report = report
        self.records: tuple[Record, ...] = tuple(records)
        text = [f"building the {matrix} matrix failed: {reason}"]
        reasons = [r for r in self.records if r.status in ("ERROR", "WARNING")]
        if reasons:
            text.append("the module reported:")
            for r in reasons:
                first, *more = r.text.split("\n")
                text.append(f"  {r.status}: {first}")
                text += [f"      {line}" for line in more]
        else:
            text.append("the module printed no error or warning line")
        super().__init__("\n".join(text))

    def __reduce__(self):
        return (type(self), (self.matrix, self.records, self.reason, self.report))

    @property
    def errors(self) -> list[Record]:
        """The error records."""
        return [r for r in self.records if r.status == "ERROR"]

    @property
    def warnings(self) -> list[Record]:
        """The warning records."""
        return [r for r in self.records if r.status == "WARNING"]

    @property
    def lines(self) -> list[str]:
        """Every record as the module prints it, one string per line."""
        return [line for r in self.records for line in r.lines()]


class PlanError(ValueError):
    """A configuration that cannot be a plan; the message is one line naming the key."""


class InputFileError(ValueError):
    """A file that cannot be read as what it should hold; the message is one line naming the file."""


class ConvergenceWarning(UserWarning):
    """A correction that did not reach its tolerance (``on_failure="warn"``).

    The corrected images are returned all the same; the info of the call
    (``return_info=True``) says which frames missed, with their residuals.
    """


class ConvergenceError(RuntimeError):
    """A correction that did not reach its tolerance (``on_failure="raise"``).

    Parameters
    ----------
    message : str
        Which frames missed, with their residuals and iterations.
    result : numpy.ndarray
        The partial result, shaped as the corrected images would be.
    info : dict
        The info of the call (as ``return_info=True`` returns it).
    """

    def __init__(self, message: str, result, info: dict):
        super().__init__(message)
        self.result = result
        self.info = info
