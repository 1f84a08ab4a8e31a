"""``velmora build CONFIG`` and ``velmora check CONFIG|STORE``."""

from __future__ import annotations

import argparse
import signal
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

from .. import __version__
from .. import io as vio
from ..config import Plan
from ..errors import ConfigurationError
from ..signals import HeldSignals
from ..windows import Windows
from .common import (EXIT_OK, InputError, Outcome, Problems, Progress, add_common_options, build_call,
                     flush, one_line, row_sums, threads_text, warn_threads)
from .plan import Job, config_help, plan_from_args, plan_preflight, read_jobs


def run_jobs(jobs: list[Job], windows: Windows, threads: int | None, progress: Progress,
              outcome: Outcome | None = None, before_commit: Callable[[], None] | None = None,
              base: Path | None = None):
    """Build every job into temporaries and put them in place together; returns the summary rows.

    ``before_commit`` runs after the builds and before the files are put in
    place (the run's Zarr stores): should it fail, no file is changed. Input
    paths are recorded relative to ``base`` (the configuration file's folder).
    """
    outcome = outcome if outcome is not None else Outcome()
    rows = []
    with vio.AtomicOutputs() as outputs:
        for job in jobs:
            metadata = vio.matrix_metadata(job.label, windows, job.options, job.inputs, base=base)
            callback = progress.start(job.label)
            t0 = time.perf_counter()
            out = None
            if job.suffix == ".npy":
                out = vio.open_npy(outputs.temporary(job.output), (job.F, job.F))
            try:
                matrix, used = build_call(job.build, out, threads=threads, progress=callback, **job.kwargs)
            except (ConfigurationError, ValueError, TypeError) as exc:
                raise InputError(f"{job.label} matrix: {one_line(exc)}") from None
            seconds = time.perf_counter() - t0
            progress.finish(seconds)
            sums = row_sums(matrix)
            if job.suffix == ".npy":
                flush(out)
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
        # Ctrl-C and SIGTERM wait until every output is in place.
        with HeldSignals((signal.SIGINT, signal.SIGTERM)) as held:
            outputs.commit()
            outcome.committed = True
        held.release()
    return rows


def run_build(args) -> int:
    plan, config_path = plan_from_args(args)
    plan_preflight(plan, config_path)
    jobs = read_jobs(plan)
    requested = warn_threads(plan.threads)
    windows = plan.windows
    progress = Progress(sys.stderr, not args.no_progress)
    print(f"velmora {__version__} build: {config_path}")
    print(f"  windows     L1C {windows.Kx} x {windows.Ky} = {windows.F} pixels, "
          f"binning {windows.Bx} x {windows.By}")
    sys.stdout.flush()
    zarr_jobs = store_jobs(plan, [job for job in jobs if job.zarr])
    outcome = getattr(args, "outcome", None) or Outcome()
    # The stores come first: their build is the long, fallible part, and the
    # other files are put in place only once every store is finished.
    rows = run_jobs([job for job in jobs if not job.zarr], windows, requested, progress, outcome,
                     (lambda: write_zarr(plan, args, zarr_jobs, outcome)) if zarr_jobs else None, plan.base)
    if rows:
        print(f"  threads     {threads_text([u for _, _, _, u, _ in rows], requested)}")
    for job, shape, seconds, _, sums in rows:
        layout = ", compact" if job.compact else ""
        print(f"  {job.label:<11} {shape[0]} x {shape[1]}{layout}, {seconds:.2f} s, {sums} -> {job.output}")
    return EXIT_OK


def scheduler(plan: Plan, args) -> str | None:
    from .. import distributed as vd

    table = {"scheduler": plan.dask.scheduler} if plan.dask is not None and plan.dask.scheduler else None
    try:
        return vd.scheduler_address(getattr(args, "scheduler", None), table)
    except ValueError as exc:
        raise InputError(one_line(exc)) from None


def store_jobs(plan: Plan, jobs: list[Job]) -> list:
    """The .zarr outputs of a run as jobs of velmora.distributed, their stores checked (nothing written)."""
    if not jobs:
        return []
    from . import stores

    zjobs = [stores.ZarrJob(job.label, job.output, job.kwargs["windows"], job.kwargs["psfs"],
                            options={k: v for k, v in job.kwargs.items() if k not in ("windows", "psfs")},
                            attrs=vio.json_ready(vio.matrix_metadata(job.label, job.kwargs["windows"],
                                                                      job.options, job.inputs, base=plan.base)))
             for job in jobs]
    try:
        problems = stores.zarr_output_problems(zjobs, overwrite=plan.overwrite)
    except (ConfigurationError, ValueError, TypeError) as exc:
        raise InputError(one_line(exc)) from None
    if problems:
        raise Problems(problems)
    return zjobs


def write_zarr(plan: Plan, args, zjobs: list, outcome: Outcome) -> None:
    """Build the .zarr outputs on a Dask cluster (an existing one, or a local cluster of processes)."""
    from . import stores

    address = scheduler(plan, args)
    where = address or "a local cluster of processes"
    print(f"  dask        {where}")
    sys.stdout.flush()
    outcome.overwrite = plan.overwrite
    outcome.stores = [job.output for job in zjobs]
    try:
        results = stores.write_zarr_outputs(zjobs, scheduler=address, overwrite=plan.overwrite,
                                        n_workers=plan.threads)
    except (OSError, TimeoutError) as exc:
        if address is None:
            raise
        raise InputError(f"cannot reach the Dask scheduler {address}: {one_line(exc)}") from None
    outcome.stores_done = True
    for job, r in zip(zjobs, results, strict=True):
        F = job.windows.F
        print(f"  {job.matrix:<11} {F} x {F}, {r.seconds:.2f} s, {r.written} of {r.chunks} chunks written "
              f"({r.skipped} already complete) -> {job.output}")


def check_store(path: Path) -> int:
    """``velmora check STORE.zarr``: read every chunk of a store and check it against its digests."""
    try:
        from .. import distributed as vd
    except ImportError as exc:
        raise InputError(f"checking a Zarr store needs velmora's distributed extra ({one_line(exc)}): "
                         "pip install 'velmora[distributed]'") from None
    problems = vd.verify(path)
    if problems:
        raise Problems(problems)
    print(f"velmora {__version__} check: {path}")
    print("  store       sound: every chunk complete and equal to the digest recorded when it was written")
    return 0


def run_check(args) -> int:
    if Path(args.config).is_dir():
        return check_store(Path(args.config))
    plan, config_path = plan_from_args(args)
    problems = []
    try:
        jobs = plan_preflight(plan, config_path)
    except Problems as exc:
        problems += exc.problems
    try:
        checked = read_jobs(plan)
        store_jobs(plan, [job for job in checked if job.zarr])
        if any(job.zarr for job in checked):
            scheduler(plan, args)
    except Problems as exc:
        problems += exc.problems
    except (InputError, vio.InputFileError, ConfigurationError) as exc:
        problems.append(one_line(exc))
    if problems:
        raise Problems(problems)
    requested = warn_threads(plan.threads)
    free = vio.available_memory()
    print(f"velmora {__version__} check: {config_path}")
    print(f"  windows     L1C {plan.windows.Kx} x {plan.windows.Ky} = {plan.windows.F} pixels; "
          f"threads {requested}")
    for job in jobs:
        if job.zarr:
            state = "completes or replaces the existing store" if job.output.exists() else "new store"
        else:
            state = "replaces the existing file" if job.output.exists() else "new file"
        print(f"  {job.label:<11} {job.F} x {job.F}, needs {vio.format_size(job.memory())} of memory "
              f"({vio.format_size(free) + ' available' if free is not None else 'available memory unknown'}) "
              f"-> {job.output} ({state})")
    print("  ok          every input, output and limit checked; nothing was built")
    return EXIT_OK


def add_parsers(sub) -> None:
    """Add ``build`` and ``check`` to the command's sub-parsers."""
    build = sub.add_parser(
        "build", help="build the matrices of an instrument described by a TOML file",
        description=textwrap.fill(
            "Build the matrices of your own instrument. CONFIG is a TOML file with the 22 windowing "
            "parameters, the options and the paths of the input arrays; the matrices are written where it "
            "says (shape (F, F), element [s, r] for source pixel s and receiving pixel r). Every input "
            "and output is checked before the first build, and no file is changed unless every matrix "
            "was built and written.", 79),
        epilog=config_help(), formatter_class=argparse.RawDescriptionHelpFormatter)
    build.add_argument("config", metavar="CONFIG", help="the TOML configuration file")
    add_common_options(build)
    build.add_argument("--scheduler", metavar="ADDRESS",
                       help="the Dask scheduler (tcp://host:port, or a scheduler file .json) that builds the .zarr "
                            "outputs (default: a local cluster of processes). Connect only to a cluster you "
                            "trust: whoever runs it runs code in this process")
    build.add_argument("--trust-config-scheduler", action="store_true",
                       help="use the [dask] scheduler that CONFIG names (without this, a CONFIG that names one is "
                            "refused, since a configuration file is no place to choose whose code this process "
                            "runs); --scheduler still takes precedence")
    build.set_defaults(run=run_build)

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
    add_common_options(check, builds=False)
    check.add_argument("--scheduler", metavar="ADDRESS", help="as for 'velmora build'")
    check.add_argument("--trust-config-scheduler", action="store_true", help="as for 'velmora build'")
    for action in check._actions:
        if action.dest == "overwrite":
            action.help = "accept existing output files, as a build with --overwrite would"
    check.set_defaults(run=run_check)
