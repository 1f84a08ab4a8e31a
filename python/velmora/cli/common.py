"""What every command of ``velmora`` shares: exit statuses, errors, progress, signals and small helpers."""

from __future__ import annotations

import argparse
import dataclasses
import inspect
import logging
import os
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np

from ..builds import resolve_threads
from ..errors import ConfigurationError
from ..preflight import Output, memory_problems, output_problems, space_problems

EXIT_OK, EXIT_BUILD_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143


class InputError(Exception):
    """Bad input to the command: reported as it is, exit status 2."""


class Problems(Exception):
    """Several one-line problems of one run, each reported on its own line (exit status 2)."""

    def __init__(self, problems: list[str]):
        self.problems = problems
        super().__init__("; ".join(problems))


class Progress:
    """A one-line progress bar on a terminal, or plain stage lines elsewhere."""

    def __init__(self, stream, enabled: bool):
        self.stream = stream
        self.bar = enabled and hasattr(stream, "isatty") and stream.isatty()
        self.label = ""

    def start(self, label: str) -> Callable[[int, int], None] | None:
        self.label = label
        if not self.bar:
            print(f"building the {label} matrix ...", file=self.stream, flush=True)
            return None
        self.stream.write(f"\r{label:<12} [{'.' * 30}] starting")
        self.stream.flush()
        return self.update

    def update(self, done: int, total: int) -> None:
        width = 30
        frac = done / total if total > 0 else 1.0
        filled = int(round(width * frac))
        self.stream.write(f"\r{self.label:<12} [{'#' * filled}{'.' * (width - filled)}] {done}/{total} rows")
        self.stream.flush()

    def finish(self, seconds: float) -> None:
        if self.bar:
            self.stream.write(f"\r{self.label:<12} done in {seconds:.2f} s" + " " * 30 + "\n")
            self.stream.flush()


def setup_logging(verbosity: int) -> tuple[logging.Handler, int]:
    """Show the ``velmora`` logger's records on standard error; returns what to undo."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("velmora: %(levelname)s: %(message)s"))
    level = logging.WARNING if verbosity <= 0 else logging.INFO if verbosity == 1 else logging.DEBUG
    handler.setLevel(level)
    log = logging.getLogger("velmora")
    previous = log.level
    log.addHandler(handler)
    log.setLevel(level)
    return handler, previous


def one_line(exc: BaseException) -> str:
    if isinstance(exc, ConfigurationError):
        return f"invalid {exc.what}: " + "; ".join(exc.problems)
    return " ".join(str(exc).split())


def processors() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def warn_threads(threads: int | None) -> int:
    """The thread count a build is asked for; a warning when it exceeds the processors."""
    requested = resolve_threads(threads)
    cpus = processors()
    if requested > cpus:
        print(f"velmora: warning: {requested} threads requested but this process may run on only {cpus} "
              f"processor(s); more threads than processors make the builds no faster", file=sys.stderr)
    return requested


def build_call(function: Callable, out: np.ndarray | None, **kwargs) -> tuple[np.ndarray, int | None]:
    """Run a build, into ``out`` (a new file's mapping: zeros) when given; returns the matrix and its threads."""
    params = inspect.signature(function).parameters
    if "out" in params and "return_report" in params:
        if out is not None and "out_zeroed" in params:
            kwargs["out_zeroed"] = True   # the run's outputs are new files: zeros until written
        matrix, report = function(out=out, return_report=True, **kwargs)
        return matrix, getattr(report, "threads", None)
    matrix = function(**kwargs)
    if out is not None:
        out[...] = matrix
        matrix = out
    return matrix, None


def threads_text(used: list[int | None], requested: int) -> str:
    """The threads the builds used, as the summary shows them."""
    known = [u for u in used if u is not None]
    if not known:
        return f"{requested} requested"
    most = max(known)
    return f"{most}" + (f" ({requested} requested)" if most != requested else "")


PIECE = 64 << 20  # bytes of a large matrix passed over at once: Ctrl-C is seen between pieces


def rows_per_piece(matrix) -> int:
    return max(1, PIECE // max(1, matrix.shape[1] * matrix.dtype.itemsize))


def row_sums(matrix) -> str:
    # Row s of the array holds what source s sends out.
    if isinstance(matrix, np.ndarray):
        step = rows_per_piece(matrix)
        sums = np.concatenate([matrix[i:i + step].sum(axis=1) for i in range(0, matrix.shape[0], step)])
    else:
        sums = np.asarray(matrix.sum(axis=1)).ravel()
    return (f"row sums {sums.min():.4f} .. {sums.max():.4f} "
            f"(mean {sums.mean():.4f}, spread {sums.max() - sums.min():.4f})")


def flush(out: np.memmap) -> None:
    """Write a mapped matrix's pages to its file, a piece at a time (so that Ctrl-C is seen between pieces)."""
    mapped = getattr(out, "_mmap", None)
    if mapped is None:
        out.flush()
        return
    import mmap

    step = max(mmap.ALLOCATIONGRANULARITY, PIECE - PIECE % mmap.ALLOCATIONGRANULARITY)
    for offset in range(0, len(mapped), step):
        mapped.flush(offset, min(step, len(mapped) - offset))


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread so that the run cleans up as after Ctrl-C."""


def on_sigterm(signum, frame):
    raise Terminated()


@dataclasses.dataclass
class Outcome:
    """What a run has changed on disk so far: the truth for its last line when it stops early."""

    stores: list[Path] = dataclasses.field(default_factory=list)  # Zarr stores being written
    stores_done: bool = False
    overwrite: bool = False
    committed: bool = False
    interrupted: bool = False  # Ctrl-C seen, even where its KeyboardInterrupt was swallowed

    def text(self) -> str:
        """How the files stand, as the end of a one-line message."""
        if self.committed:
            return "every output had been written"
        if not self.stores:
            return "no file was changed"
        names = " and ".join(str(store) for store in self.stores)
        if self.stores_done:
            return f"no file was changed except {names}, which holds the finished matrix"
        again = "rebuild it" if self.overwrite else "complete it (its finished chunks are kept)"
        return f"no file was changed except {names}, left incomplete: run the same command again to {again}"

    def on_sigint(self, signum, frame):
        self.interrupted = True
        raise KeyboardInterrupt

    def check(self) -> None:
        """Raise KeyboardInterrupt for a Ctrl-C whose exception was lost (say, in a finaliser)."""
        if self.interrupted:
            raise KeyboardInterrupt


def preflight(outputs: list[Output], inputs: list[tuple[str, Path]], needs: list[tuple[str, int]],
               overwrite: bool, **hint) -> None:
    problems = output_problems(outputs, inputs, overwrite=overwrite, **hint)
    problems += memory_problems(needs) + space_problems(outputs)
    if problems:
        raise Problems(problems)


def _int_at_least(text: str, minimum: int, kind: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a {kind} integer, got {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(f"expected a {kind} integer, got {value}")
    return value


def positive_int(text: str) -> int:
    """An argparse type: an integer of at least 1."""
    return _int_at_least(text, 1, "positive")


def non_negative_int(text: str) -> int:
    """An argparse type: an integer of at least 0."""
    return _int_at_least(text, 0, "non-negative")


def add_common_options(p: argparse.ArgumentParser, builds: bool = True) -> None:
    """The options every command has: --threads, --overwrite, -v, and --no-progress for those that build."""
    p.add_argument("--threads", type=positive_int, metavar="N",
                   help="worker threads of each build (default: OMP_NUM_THREADS, else all processors)")
    p.add_argument("--overwrite", action="store_true",
                   help="replace existing output files (without it they are refused before any build)")
    if builds:
        p.add_argument("--no-progress", action="store_true",
                       help="do not show the progress bar (it is shown only when standard error is a "
                            "terminal)")
    p.add_argument("-v", "--verbose", action="count", default=0,
                   help="show the builds' information records on standard error (default: warnings and "
                        "errors only)")
