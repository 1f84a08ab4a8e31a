"""The ``velmora correct`` command: correct observed L1C images.

``velmora correct CONFIG IMAGES.npy -o CORRECTED.npy [--method ...]`` reads
the instrument of a ``velmora build`` configuration file and corrects the
images (shape (..., Ky, Kx), indexed [y, x]) with the matrix-free forward
model, or with stored matrices when ``--infield-matrix`` (and optionally
``--stray-light-matrix``) name them. The result is written whole or not at
all.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import tomllib
from pathlib import Path

import numpy as np

from .correct import METHODS, Corrector

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
    p.add_argument("--infield-matrix", metavar="FILE.npy", help="a stored in-field matrix to use instead of "
                                                                "the forward model")
    p.add_argument("--stray-light-matrix", metavar="FILE.npy", help="a stored stray-light matrix (with "
                                                                    "--infield-matrix)")
    p.add_argument("--rtol", type=float, default=1e-10, help="relative residual of gmres (default: %(default)s)")
    p.add_argument("--maxiter", type=_positive_int, default=None, help="iteration limit of gmres and lsmr")
    p.add_argument("--damp", type=float, default=0.0, help="Tikhonov damping of lsmr (default: %(default)s)")
    p.add_argument("--iterations", type=_positive_int, default=10,
                   help="van Cittert iterations (default: %(default)s)")
    p.add_argument("--threads", type=_positive_int, metavar="N",
                   help="worker threads (default: OMP_NUM_THREADS, else all processors)")
    p.add_argument("-v", "--verbose", action="count", default=0, help="show information messages")
    p.set_defaults(run=run_correct, no_progress=True)
    return p


def _model(config_path: Path, threads, build: bool = True):
    """The forward model of a configuration file, read as ``velmora build`` reads it."""
    from . import cli
    from .errors import ConfigurationError
    from .model import forward_model
    from .windows import PARAMETER_NAMES, Windows

    try:
        with open(config_path, "rb") as f:
            config = tomllib.load(f)
    except FileNotFoundError:
        raise cli.InputError(f"no such configuration file: {config_path}") from None
    except tomllib.TOMLDecodeError as exc:
        raise cli.InputError(f"{config_path} is not valid TOML: {exc}") from None
    except OSError as exc:
        raise cli.InputError(f"cannot read {config_path}: {exc.strerror or exc}") from None
    base = config_path.parent
    unknown = sorted(set(config) - cli._TOP_KEYS)
    if unknown:
        raise cli.InputError(f"unknown key(s) or table(s) in {config_path}: {', '.join(unknown)}")
    try:
        windows = Windows.from_mapping(cli._table(config, "windows", set(PARAMETER_NAMES), True)).validate()
    except (TypeError, ValueError) as exc:
        raise cli.InputError(f"[windows]: {exc}") from None
    psf_table = cli._table(config, "psfs", cli._PSF_KEYS, True)
    missing = sorted(cli._PSF_KEYS - set(psf_table))
    if missing:
        raise cli.InputError(f"[psfs] needs {', '.join(missing)}")
    infield = cli._table(config, "infield", cli._INFIELD_KEYS, False) or {}
    stray = cli._table(config, "stray_light", cli._STRAY_KEYS, False)
    if threads is None and config.get("threads") is not None:
        threads = cli._typed("threads", config["threads"], int, "a positive integer")
    arrays = {k: cli._load_array(base, "psfs", k, psf_table[k]) for k in sorted(cli._PSF_KEYS)}
    options = dict(scheme=cli._typed("infield.scheme", infield.get("scheme", "quadratic"), str, "a string"),
                   lower_edge=cli._typed("infield.lower_edge", infield.get("lower_edge", True), bool,
                                         "true or false"),
                   rows_below=cli._typed("infield.rows_below", infield.get("rows_below", 42), int, "an integer"),
                   rows_above=cli._typed("infield.rows_above", infield.get("rows_above", 42), int, "an integer"))
    psfs = cli._checked_psfs(arrays["images"], arrays["centres"], arrays["coefficients"], arrays["indices"],
                             windows, "detector", "[psfs]")
    if stray is not None:
        for key in ("coefficients", "indices"):
            if key not in stray:
                raise cli.InputError(f"[stray_light] needs {key} (interpolation tables over the NOOF window)")
        options["stray_psfs"] = cli._checked_psfs(
            arrays["images"], arrays["centres"], cli._load_array(base, "stray_light", "coefficients",
                                                                 stray["coefficients"]),
            cli._load_array(base, "stray_light", "indices", stray["indices"]), windows, "noof", "[stray_light]")
        if "vignetting" in stray:
            options["vignetting"] = cli._load_array(base, "stray_light", "vignetting", stray["vignetting"])
        options["source_step"] = cli._pair("stray_light.source_step", stray.get("source_step", [1, 1]))
        options["sample_step"] = cli._pair("stray_light.sample_step", stray.get("sample_step", [1, 1]))
    if not build:
        return windows, None
    try:
        return windows, forward_model(windows, psfs, threads=threads, **options)
    except (ConfigurationError, ValueError, TypeError) as exc:
        raise cli.InputError(f"forward model: {exc}") from None


def _save_whole(path: Path, array: np.ndarray) -> None:
    """Write ``array`` to ``path`` (.npy) through a temporary file, synced, then renamed."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            np.save(f, array)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


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
    velmora.cli.InputError
        Bad input: reported by the command with exit status 2.
    """
    from . import cli

    config_path = Path(args.config)
    output = Path(args.output)
    if output.suffix != ".npy":
        output = output.with_name(output.name + ".npy")
    try:
        images = np.load(args.images, allow_pickle=False)
    except FileNotFoundError:
        raise cli.InputError(f"no such file {args.images}") from None
    except (OSError, ValueError) as exc:
        raise cli.InputError(f"cannot read {args.images}: {exc}") from None
    if images.dtype.kind not in "fiu":
        raise cli.InputError(f"{args.images} must hold real numbers, got dtype {images.dtype}")
    t0 = time.perf_counter()
    if args.infield_matrix is None:
        if args.stray_light_matrix is not None:
            raise cli.InputError("--stray-light-matrix needs --infield-matrix")
        windows, operator = _model(config_path, args.threads)
        what = f"forward model ({operator.terms} terms, {operator.nbytes / 2**20:.0f} MiB)"
        stray = None
    else:
        windows, _ = _model(config_path, args.threads, build=False)
        loaded = []
        for flag, name in (("--infield-matrix", args.infield_matrix), ("--stray-light-matrix",
                                                                      args.stray_light_matrix)):
            if name is None:
                loaded.append(None)
                continue
            try:
                loaded.append(np.load(name, mmap_mode="r", allow_pickle=False))
            except (OSError, ValueError) as exc:
                raise cli.InputError(f"{flag}: cannot read {name}: {exc}") from None
        operator, stray = loaded
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
        raise cli.InputError(f"correction: {exc}") from None
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
    try:
        _save_whole(output, corrected)
    except OSError as exc:
        raise cli.InputError(f"cannot write {output}: {exc.strerror or exc}") from None
    print(f"  -> {output}")
    return cli.EXIT_OK
