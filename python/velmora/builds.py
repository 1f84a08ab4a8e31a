"""Building the matrices: :func:`infield_matrix` and :func:`stray_light_matrix`.

Each call is one native build request: the options of this call travel with
it as values, so concurrent calls from several threads never see each other's
options, and nothing process-wide is changed. While the native code works the
interpreter lock is released; the calling thread takes it back only to check
for signals (Ctrl-C raises :class:`KeyboardInterrupt` within a fraction of a
second) and to call the ``progress`` callback. The build's records come back
as data and go to the standard :mod:`logging` logger ``"velmora"`` on the
calling thread; nothing is printed.

Matrix layout: both matrices are float64 arrays of shape (F, F), F = Kx * Ky.
The element for receiving L1C pixel ``r`` and source L1C pixel ``s`` is at
``[s, r]``; the flat index of L1C pixel (x, y) is ``x * Ky + y`` (see
:mod:`velmora.layout`).
"""

from __future__ import annotations

import importlib
import logging
import os
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from .errors import BuildError, ConfigurationError, Record
from .psfs import PSFSet
from .options import (DEFAULT_ROWS_ABOVE, DEFAULT_ROWS_BELOW, DEFAULT_SCHEME, DEFAULT_STEP, SCHEMES, as_windows,
                      infield_options, int_option, per_pixel, stray_light_options)
from .windows import Windows

__all__ = ["infield_matrix", "stray_light_matrix", "resolve_threads", "available_memory", "BuildReport",
           "Record", "SCHEMES", "DEFAULT_ROWS_BELOW"]

logger = logging.getLogger("velmora")
# A library leaves the showing of its records to the application (the command
# line tool adds its own handler); the reasons of a failure travel in BuildError.
logger.addHandler(logging.NullHandler())

ProgressCallback = Callable[[int, int], None]

_NATIVE_NAME = "velmora._native"

#: Record statuses of the native builds, as their names and logging levels.
_STATUS_NAMES = {0: "ERROR", 1: "WARNING", 2: "INFO", 3: "INFO"}
_LEVELS = {"ERROR": logging.ERROR, "WARNING": logging.WARNING, "INFO": logging.INFO}


def _module():
    """The package's native module, imported on first use."""
    try:
        return importlib.import_module(_NATIVE_NAME)
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError(
            f"the native module {_NATIVE_NAME} is not available ({exc}); install velmora with "
            "'pip install .' from its source folder so that the extension is built"
        ) from exc


def native_module():
    """The package's native module ``velmora._native``, imported on first use (ImportError when it is missing)."""
    return _module()


def resolve_threads(threads: int | None) -> int:
    """The number of worker threads a build will ask for.

    Parameters
    ----------
    threads : int or None
        A positive count, or None for the default: the first number of the
        ``OMP_NUM_THREADS`` environment variable when it is set, otherwise
        the number of processors this process may run on.

    Returns
    -------
    int
        A count of at least 1. The build may use fewer (see
        :attr:`BuildReport.threads`): the OpenMP runtime caps a count above its
        thread limit or above 8 threads per processor, with a warning.

    Raises
    ------
    ValueError
        ``threads`` is not a positive integer.
    """
    if threads is None:
        env = os.environ.get("OMP_NUM_THREADS", "").split(",")[0].strip()
        if env.isdigit() and int(env) > 0:
            return min(int(env), np.iinfo(np.int32).max)
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):  # pragma: no cover - not Linux
            return max(1, os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a positive integer or None, got {threads!r}")
    return int(min(threads, np.iinfo(np.int32).max))


def available_memory() -> int | None:
    """Bytes of memory available to new allocations without swapping.

    Returns
    -------
    int or None
        ``MemAvailable`` of ``/proc/meminfo``, or None where the system does not
        tell.
    """
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


# --------------------------------------------------------------------------
# Records and reports
# --------------------------------------------------------------------------

@dataclass(frozen=True)
class BuildReport:
    """What one build did.

    Attributes
    ----------
    matrix : str
        ``"in-field"`` or ``"stray-light"``.
    outcome : {"succeeded", "failed", "cancelled", "not run"}
        ``"not run"``: the request was refused before the build started.
    fast_path : bool
        Whether the table-based build ran (otherwise the per-pixel build).
    threads : int
        Threads of the build's team: the requested count, capped by the runtime.
    seconds : float
        Time of the native request, checks included.
    table_seconds : float
        Time spent building the fast path's tables.
    table_bytes : int
        Memory of the fast path's tables and per-thread scratch.
    multiply_adds : float
        Multiply-adds of the fast path's kernels.
    kernel : str
        The fast path's vector kernels, ``"sse2"`` or ``"avx2"`` (chosen for
        the processor at run time; ``""`` for the per-pixel build).
    work_items, items_done : int
        Work items of the build, and how many were finished.
    records : tuple of Record
        Every record of the build, in order.
    """

    matrix: str
    outcome: str
    fast_path: bool
    threads: int
    seconds: float
    table_seconds: float
    table_bytes: int
    multiply_adds: float
    kernel: str
    work_items: int
    items_done: int
    records: tuple[Record, ...]

    @property
    def lines(self) -> list[str]:
        """The records as the native module prints them, one string per line."""
        return [line for r in self.records for line in r.lines()]


def _run(matrix: str, function_name: str, args: tuple, kwargs: dict, progress: ProgressCallback | None,
         total: int, out_index: int) -> BuildReport:
    module = _module()
    function = getattr(module, function_name, None)
    if function is None:
        raise NotImplementedError(f"the installed native module {_NATIVE_NAME} has no {function_name}; "
                                  "rebuild velmora from a newer source tree")
    from . import __version__

    # The native code reads whole doubles and integers: inputs in misaligned
    # memory (a view into a byte buffer, say) are copied; the output is checked.
    args = tuple(a.copy() if isinstance(a, np.ndarray) and not a.flags.aligned and a is not args[out_index] else a
                 for a in args)
    ok, raw, info = function(*args, threads=kwargs.pop("threads"), diagnostic=False,
                             version=f"velmora {__version__}", progress=progress, rows=int(total), **kwargs)
    records = tuple(Record(_STATUS_NAMES.get(int(status), "INFO"), str(text)) for status, text in raw)
    for record in records:
        logger.log(_LEVELS[record.status], "%s: %s", matrix, record.text)
    report = BuildReport(matrix=matrix, records=records, **info)
    if not ok:  # the native build has zeroed the output
        raise BuildError(matrix, report.records, report=report)
    try:
        if any(r.status == "ERROR" for r in records):
            # A build can log failed PSF look-ups and still report success; such a
            # matrix lacks part of the light, so it is not handed out.
            raise BuildError(matrix, report.records, "the module reported errors although it returned success",
                             report=report)
        if progress is not None:
            progress(total, total)
    except BaseException:
        # The output holds the whole matrix here; a call that raises leaves it zeroed.
        args[out_index].fill(0.0)
        raise
    return report


def _columns(windows: Windows, columns) -> tuple[int, int]:
    """The L1C column range ``[x0, x1)`` of a build, checked."""
    if columns is None:
        return 0, max(windows.Kx, 0)
    try:
        x0, x1 = columns
    except (TypeError, ValueError):
        raise ValueError(f"columns must be a pair (x0, x1) of L1C columns, got {columns!r}") from None
    x0, x1 = int_option("columns[0]", x0, 0), int_option("columns[1]", x1, 0)
    if not x0 < x1 <= windows.Kx:
        raise ValueError(f"columns = ({x0}, {x1}) must satisfy 0 <= x0 < x1 <= Kx = {windows.Kx}")
    return x0, x1


def _output(matrix: str, windows: Windows, out, columns: tuple[int, int]) -> np.ndarray:
    """The array the build writes: the caller's ``out``, checked, or a new one."""
    F = windows.F
    shape = ((columns[1] - columns[0]) * windows.Ky, F)
    if out is not None:
        if not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy.ndarray (or numpy.memmap), got {type(out).__name__}")
        problems = []
        if out.dtype != np.float64:
            problems.append(f"dtype float64, got {out.dtype}")
        if out.shape != shape:
            problems.append(f"shape {shape}, got {out.shape}")
        if not out.flags.c_contiguous:
            problems.append("C-contiguous memory")
        if not out.flags.aligned:
            problems.append("aligned memory")
        if not out.flags.writeable:
            problems.append("to be writeable")
        if problems:
            raise ValueError(f"out for the {matrix} matrix needs " + "; ".join(problems))
        return out
    nbytes = shape[0] * shape[1] * 8
    free = available_memory()
    if free is not None and nbytes > free:
        raise MemoryError(
            f"the {matrix} matrix needs {nbytes / 2**30:.2f} GiB ({shape[0]} x {shape[1]} float64) but only "
            f"{free / 2**30:.2f} GiB of memory are available; build it into a file instead with "
            f"out=numpy.lib.format.open_memmap(path, mode='w+', dtype='float64', shape={shape})")
    return np.zeros(shape, dtype=np.float64)


def vignetting_buffer(windows: Windows, vignetting) -> np.ndarray:
    """The vignetting factors in the layout the native builds read.

    Parameters
    ----------
    windows : Windows
    vignetting : array_like, shape (NOOFy, NOOFx), or None
        A natural image of the NOOF window indexed ``[y, x]``; None for none.

    Returns
    -------
    numpy.ndarray
        The image's own C-ordered buffer under the shape (NOOFx, NOOFy) (the
        factor of NOOF pixel (x, y) at ``x + NOOFx * y``), aligned float64; an
        empty (0, 0) array for None.

    Raises
    ------
    ConfigurationError
        The image holds no real numbers, has another shape, or has values
        that are not finite.
    """
    if vignetting is None:
        return np.zeros((0, 0), dtype=np.float64)
    image = np.asarray(vignetting)
    if image.dtype.kind not in "fiu":
        raise ConfigurationError("vignetting", [f"vignetting must hold real numbers, got dtype {image.dtype}"])
    if image.shape != windows.vignetting_shape:
        raise ConfigurationError("vignetting", [
            (f"the vignetting image must have the shape (NOOFy, NOOFx) = {windows.vignetting_shape} "
             f"of the NOOF window indexed [y, x], got {image.shape}")])
    bad = ~np.isfinite(image)
    if bad.any():
        y, x = np.argwhere(bad)[0]
        raise ConfigurationError("vignetting", [
            (f"{int(bad.sum())} vignetting value(s) are not finite (NaN or infinite), the first at NOOF "
             f"pixel (x, y) = ({x}, {y}); a source without vignetting has the factor 1, a blocked one 0")])
    return np.require(image, dtype=np.float64, requirements=["C", "A"]).reshape(windows.NOOFx, windows.NOOFy)


# --------------------------------------------------------------------------
# The two builders
# --------------------------------------------------------------------------

def infield_matrix(windows: Windows, psfs: PSFSet, *, scheme: str = DEFAULT_SCHEME, lower_edge: bool = True,
                   rows_below: int | None = None, rows_above: int = DEFAULT_ROWS_ABOVE, threads: int | None = None,
                   progress: ProgressCallback | None = None, check: bool = True, out: np.ndarray | None = None,
                   return_report: bool = False, path: str = "auto", columns: tuple[int, int] | None = None,
                   out_zeroed: bool = False):
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
    rows_below : int, optional
        Detector rows below the bottom edge treated as sources; they must lie
        in the detector window (``rows_below <= SOFSy``). The default, None,
        takes ``min(42, SOFSy)``: 42 rows where the detector window has them,
        otherwise every row it has below the science window (the same matrix
        that 42 rows would give, since rows outside the detector window add
        nothing).
    rows_above : int
        Height, in detector rows, of the strip above the bottom edge that the
        correction reaches, and its half-width in columns.
    threads : int, optional
        Worker threads; see :func:`resolve_threads` for the default.
    progress : callable, optional
        ``progress(done, total)`` is called on the calling thread once per row
        of source pixels finished (``total`` = Ky), and once more at the end.
        An exception it raises stops the build and is raised from this call,
        with ``out`` zeroed (also when it comes from the last call, after the
        build has finished); the callback is not called again.
    check : bool
        Validate the inputs in Python first (the default). With False they go
        to the native build as they are and only its own checks apply.
    out : numpy.ndarray, optional
        A writeable C-contiguous float64 array of shape (F, F) to build into,
        for example a ``numpy.memmap`` (``numpy.lib.format.open_memmap``) for a
        matrix larger than the memory. It is overwritten in full, and set to 0
        whenever the call raises once the build has started: a failed or
        interrupted build, or an exception of ``progress``.
    out_zeroed : bool
        ``out`` holds zeros already (``numpy.zeros``, or a new file mapping):
        the build does not write zeros again where it needs them, and an
        interrupted or failed build sets back to 0 only what it wrote, which
        keeps Ctrl-C quick on a large mapped output. An ``out`` that does not
        hold zeros gives a wrong matrix. Ignored without ``out``.
    return_report : bool
        Return ``(matrix, report)`` instead of the matrix alone.
    path : {"auto", "per-pixel"}
        ``"auto"`` runs the fast, table-based build wherever it applies and the
        per-pixel build elsewhere; ``"per-pixel"`` always runs the per-pixel
        build, the reference of the fast one (the same matrix to rounding, many
        times slower), for checking.
    columns : (int, int), optional
        Build only the sources of the L1C columns ``x0 <= x < x1``: the rows
        ``[x0 * Ky, x1 * Ky)`` of the whole matrix, which the fast build gives
        bitwise equal to those rows of a whole build. The result (and ``out``)
        then has the shape ``((x1 - x0) * Ky, F)``. Blocks of columns can be
        built independently, anywhere (see :mod:`velmora.distributed`).

    Returns
    -------
    matrix : numpy.ndarray, shape (F, F), float64
        The matrix (``out`` when given); the element for receiving L1C pixel
        ``r`` and source L1C pixel ``s`` is at ``[s, r]``.
    report : BuildReport
        Only with ``return_report=True``: which path ran, the threads used,
        the time, the table bytes and every record.

    Raises
    ------
    ConfigurationError
        (a ValueError) The windows are inconsistent or the PSF set does not fit them.
    ValueError, TypeError
        An option has a wrong value or type.
    MemoryError
        Without ``out``: the matrix is larger than the memory available
        (``MemAvailable``); the message names the size and how to build into a
        memory map instead.
    BuildError
        The request was refused or the build failed; the message carries the
        build's error and warning records.
    KeyboardInterrupt
        Ctrl-C during the build, which stops at its next work item.

    Notes
    -----
    The options are those of this call only; calls from several threads at
    once are independent. The build's records go to the ``"velmora"`` logger
    on the calling thread: errors and warnings at their levels, the rest at
    INFO.
    """
    windows = as_windows(windows)
    o = infield_options(windows, scheme, lower_edge, rows_below, rows_above)
    nthreads = resolve_threads(threads)
    native_per_pixel = per_pixel(path)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    if check:
        problems = windows.problems(rows_below=o.rows_below if o.lower_edge else None)
        if problems:
            raise ConfigurationError("windows", problems)
        psfs.check(windows, "detector")
    block = _columns(windows, columns)
    zeroed = out is None or bool(out_zeroed)   # a new output is made of zeros
    out = _output("in-field", windows, out, block)
    options = {"use_simpsons": SCHEMES[o.scheme], "lower_edge": o.lower_edge, "rows_below": o.rows_below,
               "rows_above": o.rows_above, "threads": nthreads, "per_pixel": native_per_pixel,
               "column_begin": block[0], "column_end": block[1], "out_zeroed": zeroed}
    args = (windows.to_array(), psfs.images, psfs.centres, psfs.coefficients, psfs.indices, out)
    report = _run("in-field", "build_infield", args, options, progress, max(windows.Ky, 0), out_index=5)
    return (out, report) if return_report else out


def stray_light_matrix(windows: Windows, psfs: PSFSet, *, vignetting=None, source_step=DEFAULT_STEP,
                       sample_step=DEFAULT_STEP, threads: int | None = None,
                       progress: ProgressCallback | None = None, check: bool = True,
                       out: np.ndarray | None = None, return_report: bool = False, path: str = "auto",
                       columns: tuple[int, int] | None = None, out_zeroed: bool = False):
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
        ``progress(done, total)`` per sampled source row, and once at the end,
        as in :func:`infield_matrix`.
    check : bool
        Validate the inputs in Python first (the default).
    out : numpy.ndarray, optional
        An array to build into, as in :func:`infield_matrix`.
    out_zeroed : bool
        ``out`` holds zeros already, as in :func:`infield_matrix`: the build
        writes only the rows that can be non-zero (2 Ky of the F).
    return_report : bool
        Return ``(matrix, report)`` instead of the matrix alone.
    path : {"auto", "per-pixel"}
        Which build runs, as in :func:`infield_matrix`.
    columns : (int, int), optional
        Build only the rows of the sources of these L1C columns, as in
        :func:`infield_matrix`.

    Returns
    -------
    matrix : numpy.ndarray, shape (F, F), float64
        The element for receiving L1C pixel ``r`` and source L1C pixel ``s``
        is at ``[s, r]``.
    report : BuildReport
        Only with ``return_report=True``.

    Raises
    ------
    ConfigurationError
        (a ValueError) Inconsistent windows, a PSF set that does not fit them,
        or a vignetting image of the wrong shape.
    ValueError, TypeError
        A step or another option has a wrong value or type.
    MemoryError
        Without ``out``: the matrix is larger than the memory available.
    BuildError
        The request was refused or the build failed.
    KeyboardInterrupt
        Ctrl-C during the build.

    Notes
    -----
    The in-field options (scheme, lower edge) play no part in this matrix.
    The module reads the vignetting factor of NOOF pixel (x, y) at position
    ``x + NOOFx * y`` of the buffer it is given, which is exactly where a
    C-ordered ``[y, x]`` image holds it; the image's buffer is therefore
    passed under the shape (NOOFx, NOOFy) that the module expects, without
    transposing the data.
    """
    windows = as_windows(windows)
    o = stray_light_options(source_step, sample_step)
    (dnx, dny), (dsx, dsy) = o.source_step, o.sample_step
    nthreads = resolve_threads(threads)
    native_per_pixel = per_pixel(path)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    if check:
        problems = windows.problems()
        if problems:
            raise ConfigurationError("windows", problems)
        psfs.check(windows, "noof")
    vig = vignetting_buffer(windows, vignetting)
    block = _columns(windows, columns)
    zeroed = out is None or bool(out_zeroed)   # a new output is made of zeros
    out = _output("stray-light", windows, out, block)
    args = (windows.to_array(), vig, psfs.images, psfs.centres, psfs.coefficients, psfs.indices, out,
            dnx, dny, dsx, dsy)
    total = len(range(dny // 2, windows.Sy, dny)) if windows.Sy > 0 else 0
    options = {"threads": nthreads, "per_pixel": native_per_pixel, "column_begin": block[0],
               "column_end": block[1], "out_zeroed": zeroed}
    report = _run("stray-light", "build_stray_light", args, options, progress, total, out_index=6)
    return (out, report) if return_report else out
