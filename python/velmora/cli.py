"""The ``velmora`` command.

``velmora demo``
    Builds both matrices of the built-in instrument, prints a summary and
    writes the matrices, figures and the instrument's own input files.
``velmora build CONFIG``
    Builds the matrices of a user's instrument described by a TOML file
    (see :mod:`velmora.config`), after checking every input and output.
``velmora check CONFIG``
    Makes every check of ``build`` and builds nothing.

Exit status: 0 on success, 1 when a matrix could not be built or written, 2
for bad input (command line, configuration file, arrays or output paths),
130 after Ctrl-C and 143 after SIGTERM; in the last four cases no file is
changed.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.util
import inspect
import logging
import os
import signal
import sys
import textwrap
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np

from . import __version__
from . import config as plans
from . import io as vio
from .builds import SCHEMES, infield_matrix, resolve_threads, stray_light_matrix, vignetting_buffer
from .config import ArraySource, InfieldPlan, Plan, PlanError, PSFInputs, StrayLightPlan
from .errors import BuildError, ConfigurationError
from .preflight import Output, memory_problems, output_problems, space_problems
from .psfs import PSFSet
from .windows import Windows

__all__ = ["main"]

EXIT_OK, EXIT_BUILD_FAILED, EXIT_BAD_INPUT, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143


class InputError(Exception):
    """Bad input to the command: reported as it is, exit status 2."""


# ------------------------------------------------------------------ output
class _Progress:
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


def _setup_logging(verbosity: int) -> tuple[logging.Handler, int]:
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


# ------------------------------------------------------------ configuration
_EXAMPLE_WINDOWS = Windows.from_sequence([160, 112, 16, 8, 128, 96, 32, 6, 64, 84, 8, 44,
                                          48, 36, 2, 1, 24, 36, 1, 2, 24, 18])


def _example_plan(windows: Windows = _EXAMPLE_WINDOWS, *, threads: int | None = None,
                  infield: dict | None = None, stray: dict | None = None) -> Plan:
    """The plan of an instrument whose arrays lie beside its configuration file, as the demo writes them."""
    return Plan(
        windows=windows,
        psfs=PSFInputs(*(ArraySource("psfs.npz") for _ in range(4))),
        infield=InfieldPlan(output="matrices/infield.npy", **(infield or {})),
        stray_light=StrayLightPlan(output="matrices/stray_light.npy", coefficients=ArraySource("noof_tables.npz"),
                                   indices=ArraySource("noof_tables.npz"), vignetting=ArraySource("vignetting.npy"),
                                   **(stray or {})),
        threads=threads)


def _config_help() -> str:
    return ("configuration file (TOML); relative paths are taken from the file's folder. An array is\n"
            '"a.npy", "b.npz" (the entry named like the key), "b.npz:entry", or a netCDF-4/HDF5\n'
            'variable "ckd.nc:group/variable" ("ckd.h5:..."). A matrix output is .npy (metadata in\n'
            "<output>.json), .nc (netCDF-4, metadata as attributes) or, for stray light, .npz (compact\n"
            "CSR). At least one of [infield] and [stray_light] is required. Example:\n\n"
            + textwrap.indent(plans.to_toml(_example_plan(threads=2)), "  "))


# ------------------------------------------------------------------ helpers
def _one_line(exc: BaseException) -> str:
    if isinstance(exc, ConfigurationError):
        return f"invalid {exc.what}: " + "; ".join(exc.problems)
    return " ".join(str(exc).split())


def _processors() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def _warn_threads(threads: int | None) -> int:
    """The thread count a build is asked for; a warning when it exceeds the processors."""
    requested = resolve_threads(threads)
    cpus = _processors()
    if requested > cpus:
        print(f"velmora: warning: {requested} threads requested but this process may run on only {cpus} "
              f"processor(s); more threads than processors make the builds no faster", file=sys.stderr)
    return requested


def _build_call(function: Callable, out: np.ndarray | None, **kwargs) -> tuple[np.ndarray, int | None]:
    """Run a build, into ``out`` when given; returns the matrix and the threads the build used."""
    params = inspect.signature(function).parameters
    if "out" in params and "return_report" in params:
        matrix, report = function(out=out, return_report=True, **kwargs)
        return matrix, getattr(report, "threads", None)
    matrix = function(**kwargs)
    if out is not None:
        out[...] = matrix
        matrix = out
    return matrix, None


def _threads_text(used: list[int | None], requested: int) -> str:
    """The threads the builds used, as the summary shows them."""
    known = [u for u in used if u is not None]
    if not known:
        return f"{requested} requested"
    most = max(known)
    return f"{most}" + (f" ({requested} requested)" if most != requested else "")


_PIECE = 64 << 20  # bytes of a large matrix passed over at once: Ctrl-C is seen between pieces


def _rows_per_piece(matrix) -> int:
    return max(1, _PIECE // max(1, matrix.shape[1] * matrix.dtype.itemsize))


def _row_sums(matrix) -> str:
    # Row s of the array holds what source s sends out.
    if isinstance(matrix, np.ndarray):
        step = _rows_per_piece(matrix)
        sums = np.concatenate([matrix[i:i + step].sum(axis=1) for i in range(0, matrix.shape[0], step)])
    else:
        sums = np.asarray(matrix.sum(axis=1)).ravel()
    return (f"row sums {sums.min():.4f} .. {sums.max():.4f} "
            f"(mean {sums.mean():.4f}, spread {sums.max() - sums.min():.4f})")


class _Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread so that the run cleans up as after Ctrl-C."""


def _on_sigterm(signum, frame):
    raise _Terminated()


@dataclasses.dataclass
class _Outcome:
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


@contextlib.contextmanager
def _deferred_signals():
    """Hold Ctrl-C and SIGTERM back while outputs are renamed into place; they take effect after."""
    held: list[int] = []
    try:
        previous = {sig: signal.signal(sig, lambda signum, frame: held.append(signum))
                    for sig in (signal.SIGINT, signal.SIGTERM)}
    except ValueError:  # not the main thread: Python runs no signal handler here anyway
        yield
        return
    try:
        yield
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        if held and callable(previous[held[0]]):
            previous[held[0]](held[0], None)


# -------------------------------------------------------------------- a run
@dataclasses.dataclass
class _Job:
    """One matrix of a run: what to build and where it goes."""

    label: str
    output: Path
    F: int
    nonzero_rows: int
    compact: bool = False
    build: Callable[..., np.ndarray] | None = None
    kwargs: dict = dataclasses.field(default_factory=dict)
    options: dict = dataclasses.field(default_factory=dict)
    inputs: dict[str, Path] = dataclasses.field(default_factory=dict)

    @property
    def suffix(self) -> str:
        return self.output.suffix.lower()

    @property
    def sidecar(self) -> Path | None:
        return Path(f"{self.output}.json") if self.suffix in (".npy", ".npz") else None

    @property
    def zarr(self) -> bool:
        """Whether the output is a Zarr store, built on a Dask cluster in blocks of L1C columns."""
        return self.suffix == ".zarr"

    def outputs(self) -> list[Output]:
        """The files the job writes, with their sizes as far as known beforehand."""
        if self.zarr:  # a store is a folder that a second run completes: checked by its own rules
            return []
        stored = (self.nonzero_rows if self.compact else self.F) * self.F * 8
        files = [Output(f"{self.label} matrix", self.output, stored + 4096)]
        if self.sidecar is not None:
            files.append(Output(f"{self.label} metadata", self.sidecar, 4096))
        return files

    def memory(self) -> int:
        """Bytes the job holds at once: the dense matrix, and its non-zero rows when stored compact."""
        if self.zarr:  # built and written by the cluster's workers, a block at a time
            return 0
        return self.F * self.F * 8 + (2 * self.nonzero_rows * self.F * 8 if self.compact else 0)


def _stray_rows(windows: Windows) -> int:
    """Rows of the stray-light matrix that can be non-zero: the leftmost and rightmost L1C columns' sources."""
    return min(windows.F, 2 * windows.Ky)


def _preflight(outputs: list[Output], inputs: list[tuple[str, Path]], needs: list[tuple[str, int]],
               overwrite: bool, **hint) -> None:
    problems = output_problems(outputs, inputs, overwrite=overwrite, **hint)
    problems += memory_problems(needs) + space_problems(outputs)
    if problems:
        raise _Problems(problems)


def _flush(out: np.memmap) -> None:
    """Write a mapped matrix's pages to its file, a piece at a time (so that Ctrl-C is seen between pieces)."""
    mapped = getattr(out, "_mmap", None)
    if mapped is None:
        out.flush()
        return
    import mmap

    step = max(mmap.ALLOCATIONGRANULARITY, _PIECE - _PIECE % mmap.ALLOCATIONGRANULARITY)
    for offset in range(0, len(mapped), step):
        mapped.flush(offset, min(step, len(mapped) - offset))


class _Problems(Exception):
    """Several one-line problems of one run, each reported on its own line (exit status 2)."""

    def __init__(self, problems: list[str]):
        self.problems = problems
        super().__init__("; ".join(problems))


def _run_jobs(jobs: list[_Job], windows: Windows, threads: int | None, progress: _Progress,
              outcome: _Outcome | None = None, before_commit: Callable[[], None] | None = None):
    """Build every job into temporaries and put them in place together; returns the summary rows.

    ``before_commit`` runs after the builds and before the files are put in
    place (the run's Zarr stores): should it fail, no file is changed.
    """
    outcome = outcome if outcome is not None else _Outcome()
    rows = []
    with vio.AtomicOutputs() as outputs:
        for job in jobs:
            metadata = vio.matrix_metadata(job.label, windows, job.options, job.inputs)
            callback = progress.start(job.label)
            t0 = time.perf_counter()
            out = None
            if job.suffix == ".npy":
                out = vio.open_npy(outputs.temporary(job.output), (job.F, job.F))
            try:
                matrix, used = _build_call(job.build, out, threads=threads, progress=callback, **job.kwargs)
            except (ConfigurationError, ValueError, TypeError) as exc:
                raise InputError(f"{job.label} matrix: {_one_line(exc)}") from None
            seconds = time.perf_counter() - t0
            progress.finish(seconds)
            sums = _row_sums(matrix)
            if job.suffix == ".npy":
                _flush(out)
            elif job.suffix == ".nc":
                vio.write_netcdf(outputs.temporary(job.output), matrix, metadata, compact=job.compact)
            else:
                vio.write_csr(outputs.temporary(job.output), matrix)
            if job.sidecar is not None:
                vio.write_json(outputs.temporary(job.sidecar), metadata)
            rows.append((job, matrix.shape, seconds, used, sums))
            del matrix, out
        if before_commit is not None:
            before_commit()
        outcome.check()
        with _deferred_signals():
            outputs.commit()
            outcome.committed = True
    return rows


def _load(plan: Plan, key: str, source: ArraySource) -> np.ndarray:
    name = key.rsplit(".", 1)[1]
    path = plan.path(source.file)
    suffix = path.suffix.lower()
    default_key = None if suffix == ".npy" else name
    return vio.read_array(path, source.key or default_key, what=key)


def _checked_psfs(images, centres, coefficients, indices, windows: Windows, window: str, where: str) -> PSFSet:
    try:
        return PSFSet(images, centres, coefficients, indices).check(windows, window)
    except ConfigurationError as exc:
        raise InputError(f"{where}: {_one_line(exc)}") from None


def _jobs(plan: Plan) -> list[_Job]:
    """Read and check every input of the plan; the builds it asks for."""
    windows = plan.windows
    problems = windows.problems()
    if problems:
        raise InputError(_one_line(ConfigurationError("windows", problems)))
    sources = plan.array_sources()
    files = {key: plan.path(source.file) for key, source in sources.items()}
    arrays = {key: _load(plan, key, source) for key, source in sources.items()}
    psf_arrays = [arrays[f"psfs.{n}"] for n in ("images", "centres", "coefficients", "indices")]
    psf_files = {k: v for k, v in files.items() if k.startswith("psfs.")}
    jobs = []
    if plan.infield is not None:
        p = plan.infield
        options = {"scheme": p.scheme, "lower_edge": p.lower_edge, "rows_below": p.rows_below,
                   "rows_above": p.rows_above}
        psfs = _checked_psfs(*psf_arrays, windows, "detector", "[psfs]")
        problems = windows.problems(rows_below=p.rows_below if p.lower_edge else None)
        if problems:
            raise InputError(_one_line(ConfigurationError("windows", problems)))
        jobs.append(_Job("in-field", plan.path(p.output), windows.F, windows.F, build=infield_matrix,
                         kwargs=dict(windows=windows, psfs=psfs, **options), options=options, inputs=psf_files))
    if plan.stray_light is not None:
        p = plan.stray_light
        psfs = _checked_psfs(psf_arrays[0], psf_arrays[1], arrays["stray_light.coefficients"],
                             arrays["stray_light.indices"], windows, "noof", "[stray_light]")
        vignetting = arrays.get("stray_light.vignetting")
        if vignetting is not None and np.shape(vignetting) != windows.vignetting_shape:
            raise InputError(f"stray_light.vignetting must have the shape (NOOFy, NOOFx) = "
                             f"{windows.vignetting_shape} (indexed [y, x]), got {np.shape(vignetting)}")
        if vignetting is not None:
            vignetting_buffer(windows, vignetting)  # values that are not finite are refused before any build
        options = {"source_step": p.source_step, "sample_step": p.sample_step, "compact": p.compact}
        inputs = {k: v for k, v in files.items() if k in ("psfs.images", "psfs.centres") or
                  k.startswith("stray_light.")}
        jobs.append(_Job("stray-light", plan.path(p.output), windows.F, _stray_rows(windows), p.compact,
                         build=stray_light_matrix,
                         kwargs=dict(windows=windows, psfs=psfs, vignetting=vignetting, source_step=p.source_step,
                                     sample_step=p.sample_step), options=options, inputs=inputs))
    return jobs


def _plan_preflight(plan: Plan, config_path: Path | None) -> list[_Job]:
    """Every check of a run, before anything is read in bulk or built."""
    w = plan.windows
    problems = w.problems()
    if problems:
        raise _Problems([_one_line(ConfigurationError("windows", problems))])
    jobs_outputs = [_Job(label, plan.path(p.output), w.F, w.F if label == "in-field" else _stray_rows(w),
                         getattr(p, "compact", False)) for label, p in plan.jobs()]
    inputs = [(key, plan.path(source.file)) for key, source in plan.array_sources().items()]
    if config_path is not None:
        inputs.append(("configuration file", config_path))
    outputs = [o for job in jobs_outputs for o in job.outputs()]
    zarr_jobs = [job for job in jobs_outputs if job.zarr]
    if zarr_jobs:
        missing = [name for name in ("dask", "distributed", "zarr") if importlib.util.find_spec(name) is None]
        if missing:
            raise _Problems([f"writing .zarr stores needs {', '.join(missing)}: pip install 'velmora[distributed]'"])
        stores = [os.path.realpath(job.output) for job in zarr_jobs]
        taken = {os.path.realpath(path): key for key, path in inputs}
        taken.update({os.path.realpath(o.path): o.role for o in outputs})
        problems = [f"the {job.label} store {job.output} is also the {taken[store]}"
                    for job, store in zip(zarr_jobs, stores, strict=True) if store in taken]
        if len(set(stores)) < len(stores):
            problems.append(f"both matrices would be written to the one store {zarr_jobs[0].output}")
        if problems:
            raise _Problems(problems)
    if any(job.suffix == ".nc" for job in jobs_outputs):
        missing = [name for name in ("xarray", "h5netcdf") if importlib.util.find_spec(name) is None]
        if missing:
            raise _Problems([f"writing .nc files needs {' and '.join(missing)}: pip install 'velmora[io]'"])
    _preflight(outputs, inputs, [(f"{j.label} matrix (F = {j.F})", j.memory()) for j in jobs_outputs],
               plan.overwrite)
    return jobs_outputs


def _plan_from_args(args) -> tuple[Plan, Path]:
    config_path = Path(args.config)
    plan = plans.load_plan(config_path, trust_scheduler=getattr(args, "trust_config_scheduler", False))
    changes = {}
    if args.threads is not None:
        changes["threads"] = args.threads
    if getattr(args, "overwrite", False):
        changes["overwrite"] = True
    return dataclasses.replace(plan, **changes), config_path


# --------------------------------------------------------------------- demo
def _demo(args) -> int:
    from . import figures
    from .instrument import builtin_instrument, demo_scene
    from .correction import Corrector
    from .layout import observe

    out = Path(args.output)
    ins = builtin_instrument()
    w = ins.windows
    folder = out / "instrument"
    plan = _example_plan(w, threads=args.threads,
                         infield=dict(scheme=args.scheme, lower_edge=not args.no_lower_edge,
                                      rows_below=args.rows_below, rows_above=args.rows_above),
                         stray=dict(source_step=tuple(ins.source_step), sample_step=tuple(ins.sample_step)))
    plan = dataclasses.replace(plan, base=folder)
    figure_names = [] if args.no_figures else ["infield_matrix.png", "stray_light_matrix.png", "psfs.png",
                                               "scene_observed_corrected.png"]
    matrix_files = [("in-field matrix", out / "infield.npy"), ("in-field metadata", out / "infield.npy.json"),
                    ("stray-light matrix", out / "stray_light.npy"),
                    ("stray-light metadata", out / "stray_light.npy.json")]
    instrument_files = [("instrument PSFs", folder / "psfs.npz"), ("instrument tables", folder / "noof_tables.npz"),
                        ("instrument vignetting", folder / "vignetting.npy"),
                        ("instrument configuration", folder / "instrument.toml")]
    outputs = [Output(role, path, 8 * w.F * w.F if path.suffix == ".npy" else 4096)
               for role, path in matrix_files + instrument_files]
    outputs += [Output(f"figure {name}", out / name, 1 << 20) for name in figure_names]
    _preflight(outputs, [], [(f"in-field matrix (F = {w.F})", 16 * w.F * w.F)], args.overwrite,
               hint="add --overwrite to replace {it}, or choose another folder with -o")
    requested = _warn_threads(args.threads)
    progress = _Progress(sys.stderr, not args.no_progress)

    print(f"velmora {__version__} demo: {ins.name}")
    print(f"  windows     science {w.Sx} x {w.Sy} detector pixels in a {w.Dx} x {w.Dy} detector window, "
          f"binning {w.Bx} x {w.By} -> L1C {w.Kx} x {w.Ky} = {w.F} pixels")
    print(f"  PSFs        {ins.psfs.M} measured, {ins.psfs.psf_shape[0]} x {ins.psfs.psf_shape[1]} samples, "
          f"{ins.psfs.ncoeffs} interpolation coefficients per pixel")
    sys.stdout.flush()

    used = []

    def timed(label, function, **kwargs):
        callback = progress.start(label)
        t0 = time.perf_counter()
        matrix, threads = _build_call(function, None, threads=requested, progress=callback, **kwargs)
        seconds = time.perf_counter() - t0
        progress.finish(seconds)
        used.append(threads)
        return matrix, seconds

    infield, t_in = timed("in-field", infield_matrix, windows=w, psfs=ins.psfs, scheme=args.scheme,
                          lower_edge=not args.no_lower_edge, rows_below=args.rows_below,
                          rows_above=args.rows_above)
    stray, t_sl = timed("stray-light", stray_light_matrix, windows=w, psfs=ins.stray_psfs,
                        vignetting=ins.vignetting, source_step=ins.source_step, sample_step=ins.sample_step)

    scene = demo_scene(w)
    observed = observe(scene, infield, stray)
    try:
        corrected = Corrector(infield, stray).correct(observed)
        correction = (f"test scene observed and corrected: largest error "
                      f"{np.max(np.abs(corrected - scene)) / np.max(np.abs(scene)):.1e} of the peak")
    except np.linalg.LinAlgError as exc:
        corrected, correction = None, f"not possible: {exc}"

    edge = f"lower-edge correction {args.rows_below} rows below, {args.rows_above} above" \
        if not args.no_lower_edge else "no lower-edge correction"
    print(f"  threads     {_threads_text(used, requested)}")
    print(f"  in-field    {w.F} x {w.F} matrix, {args.scheme} scheme, {edge}, {t_in:.2f} s")
    print(f"  stray light {w.F} x {w.F} matrix, source step {ins.source_step}, sample step "
          f"{ins.sample_step}, vignetting {ins.vignetting.min():.2f} .. {ins.vignetting.max():.2f}, {t_sl:.2f} s")
    print(f"  energy      in-field {_row_sums(infield)}")
    print(f"              in-field + stray light {_row_sums(infield + stray)}")
    print(f"  correction  {correction}")

    with vio.AtomicOutputs() as files:
        ins.psfs.save(files.temporary(folder / "psfs.npz"))
        with open(files.temporary(folder / "noof_tables.npz"), "wb") as f:
            np.savez(f, coefficients=ins.stray_psfs.coefficients, indices=ins.stray_psfs.indices)
        with open(files.temporary(folder / "vignetting.npy"), "wb") as f:
            np.save(f, ins.vignetting)
        files.temporary(folder / "instrument.toml").write_text(plans.to_toml(
            plan, header=f"{ins.name}, as written by 'velmora demo'.\n"
                         "Rebuild its matrices with: velmora build instrument.toml"))
        for name, matrix, options in (
                ("infield", infield, {"scheme": args.scheme, "lower_edge": not args.no_lower_edge,
                                      "rows_below": args.rows_below, "rows_above": args.rows_above}),
                ("stray_light", stray, {"source_step": tuple(ins.source_step),
                                        "sample_step": tuple(ins.sample_step), "compact": False})):
            with open(files.temporary(out / f"{name}.npy"), "wb") as f:
                np.save(f, matrix)
            vio.write_json(files.temporary(out / f"{name}.npy.json"), {
                **vio.matrix_metadata("in-field" if name == "infield" else "stray-light", w, options, {}),
                "inputs": {"instrument": {"path": "velmora.builtin_instrument()", "sha256": ""}}})
        written = [path for path in files.commit() if path.suffix != ".json"]
    if not args.no_figures:
        written.append(figures.matrix_figure(out / "infield_matrix.png", infield,
                                             "in-field matrix (symmetric log scale)"))
        written.append(figures.matrix_figure(out / "stray_light_matrix.png", stray,
                                             "horizontal stray-light matrix, its non-zero rows (log scale)"))
        written.append(figures.psf_figure(out / "psfs.png", ins.psfs.images, ins.psf_nodes))
        written.append(figures.scene_figure(out / "scene_observed_corrected.png", scene, observed, corrected))
    print("  files       " + "\n              ".join(str(p) for p in written))
    if not args.no_figures and not figures.have_matplotlib():
        print("  note        matplotlib is not installed: the PNG files are plain images without axes "
              "(pip install 'velmora[demo]')")
    return EXIT_OK


# -------------------------------------------------------------- build, check
def _build(args) -> int:
    plan, config_path = _plan_from_args(args)
    _plan_preflight(plan, config_path)
    jobs = _jobs(plan)
    requested = _warn_threads(plan.threads)
    windows = plan.windows
    progress = _Progress(sys.stderr, not args.no_progress)
    print(f"velmora {__version__} build: {config_path}")
    print(f"  windows     L1C {windows.Kx} x {windows.Ky} = {windows.F} pixels, "
          f"binning {windows.Bx} x {windows.By}")
    sys.stdout.flush()
    zarr_jobs = _zarr_jobs(plan, [job for job in jobs if job.zarr])
    outcome = getattr(args, "outcome", None) or _Outcome()
    # The stores come first: their build is the long, fallible part, and the
    # other files are put in place only once every store is finished.
    rows = _run_jobs([job for job in jobs if not job.zarr], windows, requested, progress, outcome,
                     (lambda: _write_zarr(plan, args, zarr_jobs, outcome)) if zarr_jobs else None)
    if rows:
        print(f"  threads     {_threads_text([u for _, _, _, u, _ in rows], requested)}")
    for job, shape, seconds, _, sums in rows:
        layout = ", compact" if job.compact else ""
        print(f"  {job.label:<11} {shape[0]} x {shape[1]}{layout}, {seconds:.2f} s, {sums} -> {job.output}")
    return EXIT_OK


def _scheduler(plan: Plan, args) -> str | None:
    from . import distributed as vd

    table = {"scheduler": plan.dask.scheduler} if plan.dask is not None and plan.dask.scheduler else None
    try:
        return vd.scheduler_address(getattr(args, "scheduler", None), table)
    except ValueError as exc:
        raise InputError(_one_line(exc)) from None


def _zarr_jobs(plan: Plan, jobs: list[_Job]) -> list:
    """The .zarr outputs of a run as jobs of velmora.distributed, their stores checked (nothing written)."""
    if not jobs:
        return []
    from . import distributed as vd

    zjobs = [vd.ZarrJob(job.label, job.output, job.kwargs["windows"], job.kwargs["psfs"],
                        options={k: v for k, v in job.kwargs.items() if k not in ("windows", "psfs")},
                        attrs=vio._json_ready(vio.matrix_metadata(job.label, job.kwargs["windows"], job.options,
                                                                  job.inputs)))
             for job in jobs]
    try:
        problems = vd.zarr_output_problems(zjobs, overwrite=plan.overwrite)
    except (ConfigurationError, ValueError, TypeError) as exc:
        raise InputError(_one_line(exc)) from None
    if problems:
        raise _Problems(problems)
    return zjobs


def _write_zarr(plan: Plan, args, zjobs: list, outcome: _Outcome) -> None:
    """Build the .zarr outputs on a Dask cluster (an existing one, or a local cluster of processes)."""
    from . import distributed as vd

    address = _scheduler(plan, args)
    where = address or "a local cluster of processes"
    print(f"  dask        {where}")
    sys.stdout.flush()
    outcome.overwrite = plan.overwrite
    outcome.stores = [job.output for job in zjobs]
    try:
        results = vd.write_zarr_outputs(zjobs, scheduler=address, overwrite=plan.overwrite,
                                        n_workers=plan.threads)
    except (OSError, TimeoutError) as exc:
        if address is None:
            raise
        raise InputError(f"cannot reach the Dask scheduler {address}: {_one_line(exc)}") from None
    outcome.stores_done = True
    for job, r in zip(zjobs, results, strict=True):
        F = job.windows.F
        print(f"  {job.matrix:<11} {F} x {F}, {r.seconds:.2f} s, {r.written} of {r.chunks} chunks written "
              f"({r.skipped} already complete) -> {job.output}")


def _check_store(path: Path) -> int:
    """``velmora check STORE.zarr``: read every chunk of a store and check it against its digests."""
    try:
        from . import distributed as vd
    except ImportError as exc:
        raise InputError(f"checking a Zarr store needs velmora's distributed extra ({_one_line(exc)}): "
                         "pip install 'velmora[distributed]'") from None
    problems = vd.verify(path)
    if problems:
        raise _Problems(problems)
    print(f"velmora {__version__} check: {path}")
    print("  store       sound: every chunk complete and equal to the digest recorded when it was written")
    return 0


def _check(args) -> int:
    if Path(args.config).is_dir():
        return _check_store(Path(args.config))
    plan, config_path = _plan_from_args(args)
    problems = []
    try:
        jobs = _plan_preflight(plan, config_path)
    except _Problems as exc:
        problems += exc.problems
    try:
        checked = _jobs(plan)
        _zarr_jobs(plan, [job for job in checked if job.zarr])
        if any(job.zarr for job in checked):
            _scheduler(plan, args)
    except _Problems as exc:
        problems += exc.problems
    except (InputError, vio.InputFileError, ConfigurationError) as exc:
        problems.append(_one_line(exc))
    if problems:
        raise _Problems(problems)
    requested = _warn_threads(plan.threads)
    free = vio.available_memory()
    print(f"velmora {__version__} check: {config_path}")
    print(f"  windows     L1C {plan.windows.Kx} x {plan.windows.Ky} = {plan.windows.F} pixels; "
          f"threads {requested}")
    for job in jobs:
        if job.zarr:
            state = "completes or replaces the existing store" if job.output.exists() else "new store"
        else:
            state = "replaces the existing file" if job.output.exists() else "new file"
        print(f"  {job.label:<11} {job.F} x {job.F}, needs {vio._size(job.memory())} of memory "
              f"({vio._size(free) + ' available' if free is not None else 'available memory unknown'}) "
              f"-> {job.output} ({state})")
    print("  ok          every input, output and limit checked; nothing was built")
    return EXIT_OK


# ----------------------------------------------------------------- parsing
def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmora",
        description="Build the convolution (deconvolution) matrix and the horizontal stray-light matrix "
                    "of the TORVEN level-1 processing.",
        epilog="Exit status: 0 on success, 1 when a matrix could not be built or written, 2 for bad input "
               "(nothing is built), 130 after Ctrl-C and 143 after SIGTERM (no file is changed). "
               "Run 'velmora COMMAND --help' for the options of each command.",
    )
    parser.add_argument("--version", action="version", version=f"velmora {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(p, builds=True):
        p.add_argument("--threads", type=_positive_int, metavar="N",
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

    infield = plans.defaults(InfieldPlan)
    demo = sub.add_parser(
        "demo", help="build both matrices of the built-in instrument and write them with figures",
        description="Build the in-field and the stray-light matrix of the built-in synthetic TORVEN-like "
                    "instrument, print a summary (sizes, time, threads, energy conservation as the spread "
                    "of the row sums, and how well a test scene observed through the matrices is "
                    "corrected), and write to the output folder: infield.npy and stray_light.npy (matrices "
                    "of shape (F, F), element [s, r] for source pixel s and receiving pixel r, each with "
                    "its metadata in a .npy.json file), PNG figures "
                    "(infield_matrix.png, stray_light_matrix.png, psfs.png, scene_observed_corrected.png) and "
                    "instrument/ with the instrument's arrays and a configuration file for 'velmora build'. "
                    "Files of an earlier run are replaced only with --overwrite.")
    demo.add_argument("-o", "--output", default="velmora-out", metavar="DIR",
                      help="output folder, created if needed (default: %(default)s)")
    demo.add_argument("--scheme", choices=sorted(SCHEMES), default=infield["scheme"],
                      help="in-field interpolation across L1C rows (default: %(default)s)")
    demo.add_argument("--no-lower-edge", action="store_true",
                      help="leave out the lower-edge correction of the in-field matrix")
    demo.add_argument("--rows-below", type=_non_negative_int, default=infield["rows_below"], metavar="N",
                      help="detector rows below the science window used as lower-edge sources "
                           "(default: %(default)s; the built-in detector has 44)")
    demo.add_argument("--rows-above", type=_non_negative_int, default=infield["rows_above"], metavar="N",
                      help="height of the strip above the bottom edge that the lower-edge correction reaches "
                           "(default: %(default)s)")
    demo.add_argument("--no-figures", action="store_true", help="write no PNG figures")
    common(demo)
    demo.set_defaults(run=_demo)

    build = sub.add_parser(
        "build", help="build the matrices of an instrument described by a TOML file",
        description=textwrap.fill(
            "Build the matrices of your own instrument. CONFIG is a TOML file with the 22 windowing "
            "parameters, the options and the paths of the input arrays; the matrices are written where it "
            "says (shape (F, F), element [s, r] for source pixel s and receiving pixel r). Every input "
            "and output is checked before the first build, and no file is changed unless every matrix "
            "was built and written.", 79),
        epilog=_config_help(), formatter_class=argparse.RawDescriptionHelpFormatter)
    build.add_argument("config", metavar="CONFIG", help="the TOML configuration file")
    common(build)
    build.add_argument("--scheduler", metavar="ADDRESS",
                       help="the Dask scheduler (tcp://host:port, or a scheduler file .json) that builds the .zarr "
                            "outputs (default: a local cluster of processes). Connect only to a cluster you "
                            "trust: whoever runs it runs code in this process")
    build.add_argument("--trust-config-scheduler", action="store_true",
                       help="use the [dask] scheduler that CONFIG names (without this, a CONFIG that names one is "
                            "refused, since a configuration file is no place to choose whose code this process "
                            "runs); --scheduler still takes precedence")
    build.set_defaults(run=_build)

    check = sub.add_parser(
        "check", help="check a configuration file, its inputs and outputs, and build nothing",
        description=textwrap.fill(
            "Run every check that 'velmora build CONFIG' makes before its first build (the configuration, "
            "every input array, the windows, the output files and folders, memory and disk space) and "
            "build nothing. Exit status 0 when the build may run, 2 otherwise. Given a Zarr store "
            "(a folder) instead of CONFIG, read every chunk and check it against the digest recorded "
            "when it was written: exit status 0 when the store is sound, 2 otherwise.", 79),
        epilog="See 'velmora build --help' for the configuration file.")
    check.add_argument("config", metavar="CONFIG", help="the TOML configuration file, or a Zarr store to verify")
    common(check, builds=False)
    check.add_argument("--scheduler", metavar="ADDRESS", help="as for 'velmora build'")
    check.add_argument("--trust-config-scheduler", action="store_true", help="as for 'velmora build'")
    for action in check._actions:
        if action.dest == "overwrite":
            action.help = "accept existing output files, as a build with --overwrite would"
    check.set_defaults(run=_check)
    from .cli_correct import add_correct_parser
    add_correct_parser(sub)
    return parser


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {value}")
    return value


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {value}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velmora`` command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status: 0 on success, 1 when a matrix could not be built
        or written, 2 for bad input, 130 after Ctrl-C, 143 after SIGTERM.
    """
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help and --version (0), usage errors (2)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    handler, previous_level = _setup_logging(args.verbose)
    outcome = args.outcome = _Outcome()
    try:
        previous_sigterm = signal.signal(signal.SIGTERM, _on_sigterm)
        previous_sigint = signal.signal(signal.SIGINT, outcome.on_sigint)
    except ValueError:  # not the main thread: leave the signals alone
        previous_sigterm = previous_sigint = None
    try:
        return args.run(args)
    except (InputError, PlanError, vio.InputFileError, ConfigurationError) as exc:
        print(f"velmora: error: {_one_line(exc)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except _Problems as exc:
        for problem in exc.problems:
            print(f"velmora: error: {problem}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BuildError as exc:
        # The module's error and warning lines have been shown as they came.
        print(f"velmora: error: building the {exc.matrix} matrix failed: {exc.reason} "
              f"(see the module's messages above); {outcome.text()}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    except (NotImplementedError, MemoryError) as exc:
        print(f"velmora: error: {_one_line(exc) or type(exc).__name__}; {outcome.text()}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    except OSError as exc:
        where = f" {exc.filename}" if exc.filename else ""
        print(f"velmora: error: writing{where} failed: {exc.strerror or _one_line(exc)}; {outcome.text()}",
              file=sys.stderr)
        return EXIT_BUILD_FAILED
    except _Terminated:
        print(f"\nvelmora: terminated (SIGTERM); {outcome.text()}", file=sys.stderr)
        return EXIT_TERMINATED
    except KeyboardInterrupt:
        print(f"\nvelmora: interrupted; {outcome.text()}", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        if previous_sigterm is not None:
            signal.signal(signal.SIGTERM, previous_sigterm)
            signal.signal(signal.SIGINT, previous_sigint)
        log = logging.getLogger("velmora")
        log.removeHandler(handler)
        log.setLevel(previous_level)
        sys.stdout.flush()
