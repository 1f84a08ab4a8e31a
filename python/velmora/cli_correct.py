"""The ``velmora correct`` command: correct observed L1C images.

``velmora correct CONFIG IMAGES.npy -o CORRECTED.npy [--method ...]`` reads
the instrument of a ``velmora build`` configuration file and corrects the
images (shape (..., Ky, Kx), indexed [y, x]) with the matrix-free forward
model, or with stored matrices when ``--infield-matrix`` (and optionally
``--stray-light-matrix``) name them (files of ``velmora build``, read by
:func:`velmora.load_matrix`). The result is written whole or not at all, and
an existing file is replaced only with ``--overwrite``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from .correction import METHODS, Corrector

__all__ = ["add_correct_parser", "run_correct"]

def add_correct_parser(subparsers) -> argparse.ArgumentParser:
    """Add the ``correct`` command to the ``velmora`` command's sub-parsers.

    Parameters
    ----------
    subparsers : argparse._SubParsersAction
        What ``ArgumentParser.add_subparsers`` returned.

    Returns
    -------
    argparse.ArgumentParser
        The command's parser; it runs :func:`run_correct`.
    """
    from .cli import _positive_int

    p = subparsers.add_parser(
        "correct", help="correct observed L1C images with the forward model or stored matrices",
        description="Correct observed L1C images (a .npy array of shape (..., Ky, Kx), indexed [y, x]) for "
                    "the in-field and stray light of the instrument described by CONFIG (the file of "
                    "'velmora build'). Without --infield-matrix the matrix-free forward model is built from "
                    "the configuration; the stray light is included when CONFIG has a [stray_light] table.")
    p.add_argument("config", metavar="CONFIG", help="the TOML configuration file")
    p.add_argument("images", metavar="IMAGES.npy", help="the observed images")
    p.add_argument("-o", "--output", required=True, metavar="CORRECTED.npy", help="where to write the result")
    p.add_argument("--method", choices=METHODS, default=None,
                   help="lu (dense; default with matrices), gmres (default with the forward model), lsmr "
                        "(Tikhonov damping, see --damp) or van-cittert (fixed iterations, see --iterations)")
    p.add_argument("--infield-matrix", metavar="FILE", help="a stored in-field matrix to use instead of "
                                                                "the forward model")
    p.add_argument("--stray-light-matrix", metavar="FILE", help="a stored stray-light matrix (with "
                                                                    "--infield-matrix)")
    p.add_argument("--rtol", type=float, default=1e-10, help="relative residual of gmres (default: %(default)s)")
    p.add_argument("--maxiter", type=_positive_int, default=None, help="iteration limit of gmres and lsmr")
    p.add_argument("--damp", type=float, default=0.0, help="Tikhonov damping of lsmr (default: %(default)s)")
    p.add_argument("--iterations", type=_positive_int, default=10,
                   help="van Cittert iterations (default: %(default)s)")
    p.add_argument("--overwrite", action="store_true", help="replace CORRECTED.npy if it exists")
    p.add_argument("--threads", type=_positive_int, metavar="N",
                   help="worker threads (default: OMP_NUM_THREADS, else all processors)")
    p.add_argument("-v", "--verbose", action="count", default=0, help="show information messages")
    p.set_defaults(run=run_correct, no_progress=True)
    return p

def _model(config_path: Path, threads, build: bool = True):
    """The forward model of a configuration file, read as ``velmora build`` reads it."""


def _model(config_path: Path, threads, build: bool = True):
    """The windows and forward model of a configuration file, read as ``velmora build`` reads it.

    The in-field options come from its [infield] table (the defaults without
    one), the stray light from its [stray_light] table when it has one. With
    ``build=False`` only the windows are read.
    """
    from . import cli
    from . import config as plans
    from .errors import ConfigurationError
    from .model import forward_model

    plan = plans.load_plan(config_path)
    windows = plan.windows
    problems = windows.problems()
    if problems:
        raise cli.InputError(cli._one_line(ConfigurationError("windows", problems)))
    if not build:
        return windows, None
    arrays = {key: cli._load(plan, key, source) for key, source in plan.array_sources().items()}
    images, centres = arrays["psfs.images"], arrays["psfs.centres"]
    psfs = cli._checked_psfs(images, centres, arrays["psfs.coefficients"], arrays["psfs.indices"], windows,
                             "detector", "[psfs]")
    options = {}
    if plan.infield is not None:
        p = plan.infield
        options.update(scheme=p.scheme, lower_edge=p.lower_edge, rows_below=p.rows_below,
                       rows_above=p.rows_above)
    if plan.stray_light is not None:
        p = plan.stray_light
        options.update(stray_psfs=cli._checked_psfs(images, centres, arrays["stray_light.coefficients"],
                                                    arrays["stray_light.indices"], windows, "noof",
                                                    "[stray_light]"),
                       vignetting=arrays.get("stray_light.vignetting"), source_step=p.source_step,
                       sample_step=p.sample_step)
    try:
        return windows, forward_model(windows, psfs, threads=threads if threads is not None else plan.threads,
                                      **options)
    except (ConfigurationError, ValueError, TypeError) as exc:
        raise cli.InputError(f"forward model: {cli._one_line(exc)}") from None


def run_correct(args) -> int:
    """Run ``velmora correct`` with parsed arguments; returns the exit status.

    Parameters
    ----------
    args : argparse.Namespace
        As :func:`add_correct_parser`'s parser makes it.

    Returns
    -------
    int
        0 when the images were corrected and written, 1 when the correction
        did not converge (nothing is written), 2 for bad input.

    Raises
    ------
    velmora.cli.InputError, velmora.PlanError, velmora.InputFileError
        Bad input, reported by the command with exit status 2.
    OSError
        The result cannot be written; reported by the command with exit status 1.
    """
    from . import cli
    from . import io as vio

    config_path = Path(args.config)
    output = Path(args.output)
    if output.suffix != ".npy":
        output = output.with_name(output.name + ".npy")
    if output.is_dir():
        raise cli.InputError(f"{output} is a folder")
    if output.exists() and not args.overwrite:
        raise cli.InputError(f"{output} exists; pass --overwrite to replace it")
    if args.stray_light_matrix is not None and args.infield_matrix is None:
        raise cli.InputError("--stray-light-matrix needs --infield-matrix")
    images = vio.read_array(Path(args.images), None, what="IMAGES")
    if images.dtype.kind not in "fiu":
        raise cli.InputError(f"{args.images} must hold real numbers, got dtype {images.dtype}")
    t0 = time.perf_counter()
    if args.infield_matrix is None:
        windows, operator = _model(config_path, args.threads)
        what = f"forward model ({operator.terms} terms, {operator.nbytes / 2**20:.0f} MiB)"
        stray = None
    else:
        windows, _ = _model(config_path, args.threads, build=False)
        operator, stray = (None if name is None else vio.load_matrix(name)
                           for name in (args.infield_matrix, args.stray_light_matrix))
        what = "stored matrices"
    built = time.perf_counter() - t0
    if images.ndim < 2 or images.shape[-2:] != windows.l1c_image_shape:
        raise cli.InputError(f"{args.images} has the shape {images.shape}; the instrument's L1C images have "
                             f"the shape (..., Ky, Kx) = (..., {windows.Ky}, {windows.Kx})")
    try:
        corrector = Corrector(operator, stray, windows=windows, method=args.method, rtol=args.rtol,
                              maxiter=args.maxiter, damp=args.damp, iterations=args.iterations)
        corrected = corrector.correct(images)
    except (ValueError, np.linalg.LinAlgError) as exc:
        raise cli.InputError(f"correction: {cli._one_line(exc)}") from None
    info = corrector.last_info
    seconds = time.perf_counter() - t0 - built
    residuals = [r for r in info["residual"] if r is not None]
    print(f"velmora correct: {len(info['iterations'])} image(s) with {what}, method {info['method']}: "
          f"{max(info['iterations'])} iterations at most"
          + (f", relative residual {max(residuals):.1e} at most" if residuals else "")
          + f"; {built:.2f} s to build, {seconds:.2f} s to correct")
    if not info["converged"]:
        print(f"velmora: error: the correction did not reach the relative residual {args.rtol:g}; "
              "nothing was written (raise --maxiter or --rtol)", file=sys.stderr)
        return cli.EXIT_BUILD_FAILED
    with vio.AtomicOutputs() as outputs:
        np.save(outputs.temporary(output), corrected)
        outputs.commit()
    print(f"  -> {output}")
    return cli.EXIT_OK
