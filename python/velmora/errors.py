"""Exceptions raised by the :mod:`velmora` package."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

__all__ = ["BuildError", "ConfigurationError", "ConvergenceError", "ConvergenceWarning"]


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

    The message names the matrix and carries the error and warning lines that
    the module printed during the call; all of its lines are kept in
    :attr:`lines`.

    Parameters
    ----------
    matrix : str
        Which matrix was being built (``"in-field"`` or ``"stray-light"``).
    lines : sequence of str
        Every line the module printed during the call, status prefix included.
    reason : str, optional
        One sentence that says why the build counts as failed.
    report : BuildReport, optional
        What the build did, its records included (:attr:`report`).
    """

    def __init__(self, matrix: str, lines: Sequence[str], reason: str = "the module refused the request",
                 report=None):
        self.matrix = matrix
        self.reason = reason
        self.report = report
        self.lines: list[str] = list(lines)
        text = [f"building the {matrix} matrix failed: {reason}"]
        reasons = [line for line, status in zip(self.lines, record_statuses(self.lines), strict=True)
                   if status in ("ERROR", "WARNING")]
        if reasons:
            text.append("the module reported:")
            text += [f"  {_readable(line)}" for line in reasons]
        else:
            text.append("the module printed no error or warning line")
        super().__init__("\n".join(text))

    def __reduce__(self):
        return (type(self), (self.matrix, self.lines, self.reason, self.report))

    @property
    def errors(self) -> list[str]:
        """Lines of error records (continuation lines included), as printed."""
        return self._with_status("ERROR")

    @property
    def warnings(self) -> list[str]:
        """Lines of warning records (continuation lines included), as printed."""
        return self._with_status("WARNING")

    def _with_status(self, wanted: str) -> list[str]:
        return [line for line, status in zip(self.lines, record_statuses(self.lines), strict=True) if status == wanted]


STATUS_PREFIXES = {"ERROR\t:": "ERROR", "WARNING\t:": "WARNING", "INFO\t:": "INFO"}


def split_status(line: str) -> tuple[str, str]:
    """Split one printed module line into its status and its text.

    Returns
    -------
    status : str
        ``"ERROR"``, ``"WARNING"``, ``"INFO"``, ``"CONTINUATION"`` for the
        second and later lines of a record (a leading tab), or ``""`` for a
        line without a status prefix.
    text : str
        The line without its prefix.
    """
    for prefix, status in STATUS_PREFIXES.items():
        if line.startswith(prefix):
            return status, line[len(prefix):]
    if line.startswith("\t"):
        return "CONTINUATION", line[1:]
    return "", line


def record_statuses(lines: Sequence[str]) -> list[str]:
    """The status of the record each line belongs to.

    A continuation line takes the status of the line that opened its record.
    """
    statuses = []
    current = ""
    for line in lines:
        status, _ = split_status(line)
        if status != "CONTINUATION":
            current = status
        statuses.append(current)
    return statuses


def _readable(line: str) -> str:
    status, text = split_status(line)
    if status == "CONTINUATION":
        return "    " + text
    return f"{status}: {text}" if status else text


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
