"""Building the matrices: :func:`infield_matrix` and :func:`stray_light_matrix`.

Both functions check their inputs, allocate the output, apply the options of
this one call to the native module's process-wide settings, call the module,
and put the settings back to the module's defaults afterwards, so that no call
changes the next one. Everything the module prints during the call is routed
to the standard :mod:`logging` logger ``"velmora"`` instead of the terminal.

Matrix layout: both matrices are float64 arrays of shape (F, F), F = Kx * Ky.
The element for receiving L1C pixel ``r`` and source L1C pixel ``s`` is at
``[s, r]``; the flat index of L1C pixel (x, y) is ``x * Ky + y`` (see
:mod:`velmora.layout`).
"""

from __future__ import annotations

import contextlib
import importlib
import logging
import os
import re
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

import numpy as np

from .errors import BuildError, ConfigurationError, split_status
from .psfs import PSFSet
from .windows import Windows

__all__ = ["infield_matrix", "stray_light_matrix", "resolve_threads", "SCHEMES", "MODULE_DEFAULTS"]

logger = logging.getLogger("velmora")
# A library leaves the showing of its records to the application (the command
# line tool adds its own handler); the reasons of a failure travel in BuildError.
logger.addHandler(logging.NullHandler())

#: Interpolation schemes of the in-field matrix and the value of the module's
#: ``use_simpsons`` option that selects each.
SCHEMES = {"quadratic": 1, "midpoint": 0}

#: The native module's own settings when it is loaded; every build restores them.
MODULE_DEFAULTS = {
    "use_simpsons": 1,
    "create_lower_edge_adjustment": 1,
    "lower_edge_rows_below": 42,
    "lower_edge_rows_above": 42,
    "numthreads": 0,
    "diagnostic": 0,
}

ProgressCallback = Callable[[int, int], None]

_NATIVE_NAME = "_velmora_if"


def _module():
    """The native module, imported on first use."""
    try:
        return importlib.import_module(_NATIVE_NAME)
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError(
            f"the native module {_NATIVE_NAME} is not available ({exc}); install velmora with "
            "'pip install .' from its source folder so that the extension is built"
        ) from exc


def resolve_threads(threads: int | None) -> int:
    """The number of worker threads a build will use.

    Parameters
    ----------
    threads : int or None
        A positive count, or None for the default: the first number of the
        ``OMP_NUM_THREADS`` environment variable when it is set, otherwise
        the number of processors this process may run on.

    Returns
    -------
    int
        A count of at least 1. The module is always given a positive count,
        so that a previous call's thread limit never carries over.

    Raises
    ------
    ValueError
        ``threads`` is not a positive integer.
    """
    if threads is None:
        env = os.environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
        if env.isdigit() and int(env) > 0:
            return int(env)
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):  # pragma: no cover - not Linux
            return max(1, os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a positive integer or None, got {threads!r}")
    return int(threads)


# --------------------------------------------------------------------------
# Routing the module's printed lines
# --------------------------------------------------------------------------

_LEVELS = {"ERROR": logging.ERROR, "WARNING": logging.WARNING, "INFO": logging.INFO, "": logging.INFO}
_PROGRESS_RE = re.compile(r"Processing (?:L1C pixel )?row \[(-?\d+)\] of \[(-?\d+)\]")
_THREADS_RE = re.compile(r"Processing with a maximum of (\d+) threads")


@dataclass
class _Capture:
    """A stand-in for ``sys.stdout`` that turns the module's lines into log records."""

    matrix: str
    progress: ProgressCallback | None = None
    total: int = 0
    terminal: object = None
    lines: list[str] = field(default_factory=list)
    threads: int | None = None
    _pending: str = ""
    _status: str = ""
    _done: int = 0
    _lock: threading.Lock = field(default_factory=threading.Lock)

    # The file-like interface that PySys_WriteStdout and print() need.
    def write(self, text: str) -> int:
        with self._lock:
            self._pending += text
            *complete, self._pending = self._pending.split("\n")
            for line in complete:
                self._line(line)
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    def close(self) -> None:
        with self._lock:
            if self._pending:
                self._line(self._pending)
                self._pending = ""

    def _line(self, line: str) -> None:
        self.lines.append(line)
        status, text = split_status(line)
        if status == "CONTINUATION":
            status = self._status
        else:
            self._status = status
        match = _PROGRESS_RE.search(text)
        if match:
            # Progress records of the diagnostic mode: one per row of work.
            logger.debug("%s: %s", self.matrix, text)
            self._done += 1
            if self.progress is not None:
                # Whatever the callback prints goes to the real output.
                saved, sys.stdout = sys.stdout, self.terminal
                try:
                    self.progress(min(self._done, self.total), self.total)
                finally:
                    sys.stdout = saved
            return
        if text.startswith("Processing L1C pixel ["):
            logger.debug("%s: %s", self.matrix, text)
            return
        match = _THREADS_RE.search(text)
        if match:
            self.threads = int(match.group(1))
        logger.log(_LEVELS.get(status, logging.INFO), "%s", text)


@contextlib.contextmanager
def _routed_output(matrix: str, progress: ProgressCallback | None, total: int) -> Iterator[_Capture]:
    previous = sys.stdout
    capture = _Capture(matrix, progress, total, previous)
    sys.stdout = capture
    try:
        yield capture
    finally:
        sys.stdout = previous
        capture.close()


def _apply(module, settings: dict[str, int]) -> None:
    for name in ("use_simpsons", "create_lower_edge_adjustment", "lower_edge_rows_below", "lower_edge_rows_above"):
        module.cimpl_set_option(name, int(settings[name]))
    module.cimpl_set_numthreads(int(settings["numthreads"]))
    module.cimpl_set_diagnostic(int(settings["diagnostic"]))


def _run(matrix: str, function_name: str, args: tuple, settings: dict[str, int],
         progress: ProgressCallback | None, total: int) -> _Capture:
    module = _module()
    function = getattr(module, function_name, None)
    if function is None:
        raise NotImplementedError(f"the installed native module {_NATIVE_NAME} has no {function_name}; "
                                  "rebuild velmora from a newer source tree")
    with _routed_output(matrix, progress, total) as capture:
        try:
            _apply(module, settings)
            ok = function(*args)
        finally:
            _apply(module, MODULE_DEFAULTS)
    if not ok:
        raise BuildError(matrix, capture.lines)
    errors = [line for line in capture.lines if split_status(line)[0] == "ERROR"]
    if errors:
        # The module can log failed PSF look-ups and still report success;
        # such a matrix lacks part of the light, so it is not handed out.
        raise BuildError(matrix, capture.lines, "the module reported errors although it returned success")
    if progress is not None:
        progress(total, total)
    return capture


def _int_option(name: str, value, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if value > np.iinfo(np.int32).max:
        raise ValueError(f"{name} = {value} does not fit a 32-bit signed integer")
    return int(value)


def _step(name: str, value) -> tuple[int, int]:
    try:
        sx, sy = value
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a pair (x, y) of positive integers, got {value!r}") from None
    return _int_option(f"{name}[0]", sx, 1), _int_option(f"{name}[1]", sy, 1)


def _windows(windows) -> Windows:
    if isinstance(windows, Windows):
        return windows
    return Windows.from_sequence(windows)


# --------------------------------------------------------------------------
# The two builders
# --------------------------------------------------------------------------

def infield_matrix(windows: Windows, psfs: PSFSet, *, scheme: str = "quadratic", lower_edge: bool = True,
                   rows_below: int = 42, rows_above: int = 42, threads: int | None = None,
                   progress: ProgressCallback | None = None, check: bool = True) -> np.ndarray:
    """Build the in-field convolution matrix.

    Parameters
    ----------
    windows : Windows
        The windowing parameters (a sequence of 22 integers is accepted too).
    psfs : PSFSet
        The measured PSFs, with interpolation tables over the detector window.
    scheme : {"quadratic", "midpoint"}
        How the light of each detector row of a source pixel is charged:
        ``"quadratic"`` spreads it over the source L1C pixel and its lower and
        upper neighbours with weights of a parabola through the three pixels;
        ``"midpoint"`` charges it all to the source pixel.
    lower_edge : bool
        Add the lower-edge correction: the ``rows_below`` detector rows below
        the science window act as extra sources carrying the value of the
        bottom L1C row above them.
    rows_below : int
        Detector rows below the bottom edge treated as sources; they must lie
        in the detector window (``rows_below <= SOFSy``).
    rows_above : int
        Height, in detector rows, of the strip above the bottom edge that the
        correction reaches, and its half-width in columns.
    threads : int, optional
        Worker threads; see :func:`resolve_threads` for the default.
    progress : callable, optional
        ``progress(done, total)`` is called as rows of source pixels are
        finished (``total`` = Ky) and once more at the end. Passing it turns
        on the module's diagnostic records.
    check : bool
        Validate the inputs in Python first (the default). With False they go
        to the module as they are and only its own checks apply.

    Returns
    -------
    numpy.ndarray, shape (F, F), float64
        The matrix; the element for receiving L1C pixel ``r`` and source L1C
        pixel ``s`` is at ``[s, r]``.

    Raises
    ------
    ConfigurationError
        (a ValueError) The windows are inconsistent or the PSF set does not fit them.
    ValueError, TypeError
        An option has a wrong value or type.
    BuildError
        The module refused the request or the build failed; the message
        carries the module's error and warning lines.

    Notes
    -----
    The module's options are process-wide; this function sets all of them for
    the call and restores the module's defaults afterwards. The module's
    printed lines go to the ``"velmora"`` logger: errors and warnings at their
    levels, information at INFO and progress records at DEBUG.
    """
    windows = _windows(windows)
    if scheme not in SCHEMES:
        raise ValueError(f"scheme must be one of {sorted(SCHEMES)}, got {scheme!r}")
    rows_below = _int_option("rows_below", rows_below, 0)
    rows_above = _int_option("rows_above", rows_above, 0)
    nthreads = resolve_threads(threads)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    if check:
        problems = windows.problems(rows_below=rows_below if lower_edge else None)
        if problems:
            raise ConfigurationError("windows", problems)
        psfs.check(windows, "detector")
    out = np.zeros((windows.F, windows.F), dtype=np.float64)
    settings = {
        "use_simpsons": SCHEMES[scheme],
        "create_lower_edge_adjustment": int(bool(lower_edge)),
        "lower_edge_rows_below": rows_below,
        "lower_edge_rows_above": rows_above,
        "numthreads": nthreads,
        "diagnostic": int(progress is not None),
    }
    args = (windows.to_array(), psfs.images, psfs.centres, psfs.coefficients, psfs.indices, out)
    _run("in-field", "cimpl_create_deconvolution", args, settings, progress, max(windows.Ky, 0))
    return out


def stray_light_matrix(windows: Windows, psfs: PSFSet, *, vignetting=None, source_step=(1, 1),
                       sample_step=(1, 1), threads: int | None = None,
                       progress: ProgressCallback | None = None, check: bool = True) -> np.ndarray:
    """Build the horizontal stray-light matrix.

    Light from the NOOF window left and right of the science window is
    modelled by extending every row of the L1C image horizontally (the
    leftmost L1C pixel's value to the left, the rightmost's to the right), so
    only the columns of the leftmost and rightmost L1C pixels of each row are
    non-zero.

    Parameters
    ----------
    windows : Windows
        The windowing parameters (a sequence of 22 integers is accepted too).
    psfs : PSFSet
        The measured PSFs (images at least ``Sx x Sy``) with interpolation
        tables over the NOOF window (shape ``(NOOFx, NOOFy, N)``).
    vignetting : array_like, shape (NOOFy, NOOFx), optional
        Vignetting factors of the NOOF window as a natural image indexed
        ``[y, x]``; None means no vignetting (a factor of 1 everywhere).
        The layout the module reads is made here.
    source_step : (int, int)
        Sampling steps ``(x, y)`` of the stray-light sources in the NOOF
        window; each sample stands for a block of that many pixels.
    sample_step : (int, int)
        Sampling steps ``(x, y)`` of the receiving science-window pixels.
    threads : int, optional
        Worker threads; see :func:`resolve_threads` for the default.
    progress : callable, optional
        ``progress(done, total)`` per sampled source row, and once at the end.
    check : bool
        Validate the inputs in Python first (the default).

    Returns
    -------
    numpy.ndarray, shape (F, F), float64
        The element for receiving L1C pixel ``r`` and source L1C pixel ``s``
        is at ``[s, r]``.

    Raises
    ------
    ConfigurationError
        (a ValueError) Inconsistent windows, a PSF set that does not fit them,
        or a vignetting image of the wrong shape.
    ValueError, TypeError
        A step or another option has a wrong value or type.
    BuildError
        The module refused the request or the build failed.

    Notes
    -----
    The in-field options (scheme, lower edge) play no part in this matrix.
    The module reads the vignetting factor of NOOF pixel (x, y) at position
    ``x + NOOFx * y`` of the buffer it is given, which is exactly where a
    C-ordered ``[y, x]`` image holds it; the image's buffer is therefore
    passed under the shape (NOOFx, NOOFy) that the module expects, without
    transposing the data.
    """
    windows = _windows(windows)
    dnx, dny = _step("source_step", source_step)
    dsx, dsy = _step("sample_step", sample_step)
    nthreads = resolve_threads(threads)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    if check:
        problems = windows.problems()
        if problems:
            raise ConfigurationError("windows", problems)
        psfs.check(windows, "noof")
    if vignetting is None:
        vig = np.zeros((0, 0), dtype=np.float64)
    else:
        image = np.asarray(vignetting)
        if image.dtype.kind not in "fiu":
            raise ConfigurationError("vignetting", [f"vignetting must hold real numbers, got dtype {image.dtype}"])
        if image.shape != windows.vignetting_shape:
            raise ConfigurationError("vignetting", [
                f"the vignetting image must have the shape (NOOFy, NOOFx) = {windows.vignetting_shape} "
                f"of the NOOF window indexed [y, x], got {image.shape}"])
        vig = np.ascontiguousarray(image, dtype=np.float64).reshape(windows.NOOFx, windows.NOOFy)
    out = np.zeros((windows.F, windows.F), dtype=np.float64)
    settings = dict(MODULE_DEFAULTS, numthreads=nthreads, diagnostic=int(progress is not None))
    args = (windows.to_array(), vig, psfs.images, psfs.centres, psfs.coefficients, psfs.indices, out,
            dnx, dny, dsx, dsy)
    total = len(range(dny // 2, windows.Sy, dny)) if windows.Sy > 0 else 0
    _run("stray-light", "cimpl_create_horizontal_stray_light_matrix", args, settings, progress, total)
    return out
