"""Reading a ``velmora build`` configuration: its plan, its input arrays as checked PSF sets and options, its jobs.

:func:`read_inputs` is the one reader of a plan's arrays, used by ``build``,
``check`` and ``correct``.
"""

from __future__ import annotations

import dataclasses
import importlib.util
import os
import textwrap
from collections.abc import Callable
from pathlib import Path

import numpy as np

from .. import config as plans
from .. import options
from .. import io as vio
from ..builds import infield_matrix, stray_light_matrix, vignetting_buffer
from ..config import ArraySource, InfieldPlan, Plan, PSFInputs, StrayLightPlan
from ..errors import ConfigurationError
from ..preflight import Output
from ..psfs import PSFSet
from ..windows import Windows
from .common import InputError, Problems, one_line, preflight


EXAMPLE_WINDOWS = Windows.from_sequence([160, 112, 16, 8, 128, 96, 32, 6, 64, 84, 8, 44,
                                          48, 36, 2, 1, 24, 36, 1, 2, 24, 18])


def example_plan(windows: Windows = EXAMPLE_WINDOWS, *, threads: int | None = None,
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


def config_help() -> str:
    return ("configuration file (TOML); relative paths are taken from the file's folder. An array is\n"
            '"a.npy", "b.npz" (the entry named like the key), "b.npz:entry", or a netCDF-4/HDF5\n'
            'variable "ckd.nc:group/variable" ("ckd.h5:..."). A matrix output is .npy (metadata in\n'
            "<output>.json), .nc (netCDF-4, metadata as attributes) or, for stray light, .npz (compact\n"
            "CSR). At least one of [infield] and [stray_light] is required. Example:\n\n"
            + textwrap.indent(plans.to_toml(example_plan(threads=2)), "  "))


@dataclasses.dataclass
class Job:
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


def stray_rows(windows: Windows) -> int:
    """Rows of the stray-light matrix that can be non-zero: the leftmost and rightmost L1C columns' sources."""
    return min(windows.F, 2 * windows.Ky)


def load_array(plan: Plan, key: str, source: ArraySource) -> np.ndarray:
    name = key.rsplit(".", 1)[1]
    path = plan.path(source.file)
    suffix = path.suffix.lower()
    default_key = None if suffix == ".npy" else name
    return vio.read_array(path, source.key or default_key, what=key)


def checked_psfs(images, centres, coefficients, indices, windows: Windows, window: str, where: str) -> PSFSet:
    try:
        return PSFSet(images, centres, coefficients, indices).check(windows, window)
    except ConfigurationError as exc:
        raise InputError(f"{where}: {one_line(exc)}") from None


@dataclasses.dataclass
class PlanInputs:
    """A plan's arrays, read and checked: the PSF sets, the vignetting and the options of each matrix.

    Attributes
    ----------
    windows : Windows
    psfs : PSFSet or None
        The PSFs with their tables over the detector window (the in-field matrix and the forward model),
        when they were asked for.
    stray_psfs : PSFSet or None
        The same PSFs with the tables over the NOOF window, when the stray light was read.
    vignetting : numpy.ndarray or None
    infield_options, stray_options : dict
        The keyword options of the builds, as the plan gives them (the defaults without a table).
    files : dict of str to pathlib.Path
        The file of every array read, by its key (``psfs.images``, ``stray_light.indices``, ...).
    """

    windows: Windows
    psfs: PSFSet | None
    stray_psfs: PSFSet | None
    vignetting: np.ndarray | None
    infield_options: dict
    stray_options: dict
    files: dict[str, Path]


def read_inputs(plan: Plan, *, infield: bool = True, stray_light: bool = True) -> PlanInputs:
    """Read and check the input arrays of a plan.

    The PSF tables over the detector are checked only when ``infield``, the
    arrays of ``[stray_light]`` read only when ``stray_light`` (and the plan
    has that table).

    Raises
    ------
    InputError
        An array that does not fit the windows (or the windows themselves).
    velmora.InputFileError
        A file that cannot be read as the array asked for.
    """
    windows = plan.windows
    problems = windows.problems()
    if problems:
        raise InputError(one_line(ConfigurationError("windows", problems)))
    stray_light = stray_light and plan.stray_light is not None
    sources = {key: source for key, source in plan.array_sources().items()
               if stray_light or not key.startswith("stray_light.")}
    files = {key: plan.path(source.file) for key, source in sources.items()}
    arrays = {key: load_array(plan, key, source) for key, source in sources.items()}
    images, centres = arrays["psfs.images"], arrays["psfs.centres"]
    psfs = None
    if infield:
        psfs = checked_psfs(images, centres, arrays["psfs.coefficients"], arrays["psfs.indices"], windows,
                            "detector", "[psfs]")
    infield_options = {}
    if plan.infield is not None:
        p = plan.infield
        try:
            o = options.infield_options(windows, p.scheme, p.lower_edge, p.rows_below, p.rows_above)
        except (ValueError, TypeError) as exc:
            raise InputError(f"[infield]: {one_line(exc)}") from None
        infield_options = dataclasses.asdict(o)
    stray_psfs = vignetting = None
    stray_options = {}
    if stray_light:
        p = plan.stray_light
        stray_psfs = checked_psfs(images, centres, arrays["stray_light.coefficients"],
                                  arrays["stray_light.indices"], windows, "noof", "[stray_light]")
        vignetting = arrays.get("stray_light.vignetting")
        if vignetting is not None and np.shape(vignetting) != windows.vignetting_shape:
            raise InputError(f"stray_light.vignetting must have the shape (NOOFy, NOOFx) = "
                             f"{windows.vignetting_shape} (indexed [y, x]), got {np.shape(vignetting)}")
        if vignetting is not None:
            vignetting_buffer(windows, vignetting)  # values that are not finite are refused before any build
        stray_options = {"source_step": p.source_step, "sample_step": p.sample_step}
    return PlanInputs(windows, psfs, stray_psfs, vignetting, infield_options, stray_options, files)


def read_jobs(plan: Plan) -> list[Job]:
    """Read and check every input of the plan; the builds it asks for."""
    inputs = read_inputs(plan, infield=plan.infield is not None)
    windows = inputs.windows
    jobs = []
    if plan.infield is not None:
        p = plan.infield
        chosen = inputs.infield_options
        problems = windows.problems(rows_below=chosen["rows_below"] if chosen["lower_edge"] else None)
        if problems:
            raise InputError(one_line(ConfigurationError("windows", problems)))
        psf_files = {k: v for k, v in inputs.files.items() if k.startswith("psfs.")}
        jobs.append(Job("in-field", plan.path(p.output), windows.F, windows.F, build=infield_matrix,
                        kwargs=dict(windows=windows, psfs=inputs.psfs, **chosen), options=chosen,
                        inputs=psf_files))
    if plan.stray_light is not None:
        p = plan.stray_light
        files = {k: v for k, v in inputs.files.items()
                 if k in ("psfs.images", "psfs.centres") or k.startswith("stray_light.")}
        jobs.append(Job("stray-light", plan.path(p.output), windows.F, stray_rows(windows), p.compact,
                        build=stray_light_matrix,
                        kwargs=dict(windows=windows, psfs=inputs.stray_psfs, vignetting=inputs.vignetting,
                                    **inputs.stray_options),
                        options={**inputs.stray_options, "compact": p.compact}, inputs=files))
    return jobs


def plan_preflight(plan: Plan, config_path: Path | None) -> list[Job]:
    """Every check of a run, before anything is read in bulk or built."""
    w = plan.windows
    problems = w.problems()
    if problems:
        raise Problems([one_line(ConfigurationError("windows", problems))])
    jobs_outputs = [Job(label, plan.path(p.output), w.F, w.F if label == "in-field" else stray_rows(w),
                         getattr(p, "compact", False)) for label, p in plan.jobs()]
    inputs = [(key, plan.path(source.file)) for key, source in plan.array_sources().items()]
    if config_path is not None:
        inputs.append(("configuration file", config_path))
    outputs = [o for job in jobs_outputs for o in job.outputs()]
    zarr_jobs = [job for job in jobs_outputs if job.zarr]
    if zarr_jobs:
        missing = [name for name in ("dask", "distributed", "zarr") if importlib.util.find_spec(name) is None]
        if missing:
            raise Problems([f"writing .zarr stores needs {', '.join(missing)}: pip install 'velmora[distributed]'"])
        stores = [os.path.realpath(job.output) for job in zarr_jobs]
        taken = {os.path.realpath(path): key for key, path in inputs}
        taken.update({os.path.realpath(o.path): o.role for o in outputs})
        problems = [f"the {job.label} store {job.output} is also the {taken[store]}"
                    for job, store in zip(zarr_jobs, stores, strict=True) if store in taken]
        if len(set(stores)) < len(stores):
            problems.append(f"both matrices would be written to the one store {zarr_jobs[0].output}")
        if problems:
            raise Problems(problems)
    if any(job.suffix == ".nc" for job in jobs_outputs):
        missing = [name for name in ("xarray", "h5netcdf") if importlib.util.find_spec(name) is None]
        if missing:
            raise Problems([f"writing .nc files needs {' and '.join(missing)}: pip install 'velmora[io]'"])
    preflight(outputs, inputs, [(f"{j.label} matrix (F = {j.F})", j.memory()) for j in jobs_outputs],
               plan.overwrite)
    return jobs_outputs


def plan_from_args(args) -> tuple[Plan, Path]:
    config_path = Path(args.config)
    plan = plans.load_plan(config_path, trust_scheduler=getattr(args, "trust_config_scheduler", False))
    changes = {}
    if args.threads is not None:
        changes["threads"] = args.threads
    if getattr(args, "overwrite", False):
        changes["overwrite"] = True
    return dataclasses.replace(plan, **changes), config_path
