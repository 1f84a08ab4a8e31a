"""The ``velmora correct`` command: correct observed L1C images.

``velmora correct CONFIG IMAGES.npy -o CORRECTED.npy [--method ...]`` reads
the instrument of a ``velmora build`` configuration file and corrects the
images (shape (..., Ky, Kx), indexed [y, x]) with the matrix-free forward
model, or with stored matrices when ``--infield-matrix`` (and
``--stray-light-matrix``) name them (files of ``velmora build``, read by
:func:`velmora.load_matrix`).

The images may also come from a netCDF-4 file (``IMAGES.nc``, its variable
named by ``--variable`` when it has several, its image dimensions by
``--dims Y,X``; default ``y,x``), and a result path ending in ``.nc`` gets a
netCDF-4 file: the corrected variable over the input's dimensions, with its
coordinates and attributes, the input file's global attributes and
velmora's provenance (:mod:`velmora.xarray_images`).

Stray light is never left out silently: with stored matrices and a
configuration that has a ``[stray_light]`` table, either its matrix
(``--stray-light-matrix``) or ``--no-stray-light`` must be given, and a
matrix whose metadata names the other kind is refused.

The result is written whole or not at all: nothing is written when a frame
did not converge (exit status 1) or the input is bad (exit status 2), and an
existing file is replaced only with ``--overwrite``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from .. import __version__
from .. import config as plans
from .. import io as vio
from .. import xarray_images as ximages
from ..correction import DEFAULT_CORE, METHODS, PRECONDITIONERS, Corrector
from ..errors import ConfigurationError
from ..model import forward_model
from ..uncertainty import save_corrected
from .common import EXIT_BUILD_FAILED, EXIT_OK, InputError, one_line, positive_int
from .plan import read_inputs

__all__ = ["add_parser", "run_correct"]

#: The ``--preconditioner`` choices; "none" is no preconditioner.
PRECONDITIONER_CHOICES = tuple(p or "none" for p in PRECONDITIONERS)

#: Frames listed one by one in the summary and in the failure message; more are summarised.
_LISTED = 6


def _core(text: str) -> tuple[int, int]:
    """``RX,RY`` as a pair of non-negative integers (an argparse type)."""
    parts = text.replace(" ", "").split(",")
    try:
        rx, ry = (int(p) for p in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected RX,RY (two non-negative integers), got {text!r}") from None
    if rx < 0 or ry < 0:
        raise argparse.ArgumentTypeError(f"expected RX,RY (two non-negative integers), got {text!r}")
    return rx, ry


def _noise(text: str) -> tuple[float, float]:
    """``READ,GAIN``: the read noise and the gain (an argparse type)."""
    try:
        read, gain = (float(part) for part in text.replace(" ", "").split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected READ,GAIN (two numbers), got {text!r}") from None
    if not (np.isfinite(read) and np.isfinite(gain) and read >= 0 and gain > 0):
        raise argparse.ArgumentTypeError(f"expected a read noise >= 0 and a gain > 0, got {text!r}")
    return read, gain


def _fraction_or_file(text: str):
    """A number (a fraction of the observed image) or the name of an array file (an argparse type)."""
    try:
        value = float(text)
    except ValueError:
        return text
    if not (np.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"expected a fraction >= 0 or an array file, got {text!r}")
    return value


def _dims(text: str) -> tuple[str, str]:
    """``Y,X`` as two different dimension names (an argparse type)."""
    parts = [p.strip() for p in text.split(",")]
    if len(parts) != 2 or not all(parts) or parts[0] == parts[1]:
        raise argparse.ArgumentTypeError(f"expected Y,X (two different dimension names), got {text!r}")
    return parts[0], parts[1]


def add_parser(subparsers) -> argparse.ArgumentParser:
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
    p = subparsers.add_parser(
        "correct", help="correct observed L1C images with the forward model or stored matrices",
        description="Correct observed L1C images (a .npy array of shape (..., Ky, Kx), indexed [y, x], or a "
                    "variable of a netCDF-4 file with named image dimensions) for "
                    "the in-field and stray light of the instrument described by CONFIG (the file of "
                    "'velmora build'). Without --infield-matrix the matrix-free forward model is built from "
                    "the configuration, with the stray light of its [stray_light] table unless "
                    "--no-stray-light is given. With --infield-matrix and a CONFIG that has a [stray_light] "
                    "table, --stray-light-matrix or --no-stray-light is required: stray light is never left "
                    "out silently.",
        epilog="Exit status: 0 when every frame was corrected and written; 1 when a frame did not converge "
               "(its residual and iterations are named) or the result cannot be written; 2 for bad input "
               "(options, files, shapes, a matrix of the other kind, observed pixels that are not finite "
               "without --missing mask). Nothing is written unless the exit status is 0.")
    p.add_argument("config", metavar="CONFIG", help="the TOML configuration file")
    p.add_argument("images", metavar="IMAGES.npy", help="the observed images: .npy, or a netCDF-4 file .nc "
                                                        "(see --variable, --dims)")
    p.add_argument("-o", "--output", required=True, metavar="CORRECTED.npy",
                   help="where to write the result: .npy, or .nc for a netCDF-4 file with the input's "
                        "dimensions, coordinates and attributes")
    p.add_argument("--variable", metavar="NAME",
                   help="the data variable of IMAGES.nc to correct (required when it has more than one)")
    p.add_argument("--dims", type=_dims, metavar="Y,X",
                   help="the names of the image dimensions (rows, columns) in the netCDF files (default: y,x)")
    p.add_argument("--infield-matrix", metavar="FILE", help="a stored in-field matrix to use instead of "
                                                                "the forward model")
    stray = p.add_mutually_exclusive_group()
    stray.add_argument("--stray-light-matrix", metavar="FILE",
                       help="a stored stray-light matrix (with --infield-matrix); required then when CONFIG has "
                            "a [stray_light] table, unless --no-stray-light is given")
    stray.add_argument("--no-stray-light", action="store_true",
                       help="correct for the in-field light only: leave out the stray light of CONFIG's "
                            "[stray_light] table")
    p.add_argument("--target", choices=("scene", "stray-light"), default="scene",
                   help="scene: solve T x = b for the true scene (default); stray-light: remove only the far "
                        "field outside a core of L1C pixels around each pixel (see --core)")
    p.add_argument("--core", type=_core, metavar="RX,RY",
                   help="with --target stray-light: the core (x, y) in L1C pixels that is kept (default: "
                        f"{DEFAULT_CORE[0]},{DEFAULT_CORE[1]})")
    p.add_argument("--method", choices=METHODS, default=None,
                   help="lu (dense; default with matrices), gmres (default with the forward model), lsmr "
                        "(Tikhonov damping, see --damp) or van-cittert (fixed iterations, see --iterations)")
    p.add_argument("--preconditioner", choices=PRECONDITIONER_CHOICES, default="auto",
                   help="preconditioner of gmres: auto (the best the operator allows; default), kernel, "
                        "diagonal or none")
    p.add_argument("--mask", metavar="MASK.npy",
                   help="a boolean image of shape (Ky, Kx), indexed [y, x]: True = pixel left out of the fit "
                        "in every frame")
    p.add_argument("--missing", choices=("raise", "mask"), default="raise",
                   help="observed pixels that are not finite: raise (refuse the images; default) or mask "
                        "(leave them out of the fit)")
    p.add_argument("--rtol", type=float, default=1e-10,
                   help="relative residual |b - T x| / |b| at which gmres and lsmr stop (default: %(default)s)")
    p.add_argument("--maxiter", type=positive_int, default=None, metavar="N",
                   help="iteration limit of gmres and lsmr (default: the Corrector's)")
    p.add_argument("--restart", type=positive_int, default=50, metavar="N",
                   help="inner iterations of gmres between restarts (default: %(default)s)")
    p.add_argument("--damp", type=float, default=0.0, help="Tikhonov damping of lsmr (default: %(default)s)")
    p.add_argument("--iterations", type=positive_int, default=10, metavar="N",
                   help="van Cittert iterations (default: %(default)s)")
    p.add_argument("--relaxation", type=float, default=1.0, metavar="R",
                   help="step of the van Cittert iterations (default: %(default)s)")
    unc = p.add_argument_group(
        "uncertainty", "propagate the observed images' uncertainty through the correction; the output must "
        "then be a netCDF file (.nc), which holds the corrected images and each component in the "
        "obsarray/FIDUCEO layout (unc_comps, err_corr)")
    noise = unc.add_mutually_exclusive_group()
    noise.add_argument("--noise", type=_noise, metavar="READ,GAIN",
                       help="independent pixel noise u^2 = READ^2 + observed/GAIN")
    noise.add_argument("--u-random", metavar="FILE",
                       help="the standard uncertainty of every observed pixel, independent between pixels: an "
                            "array of the images' shape or of one image")
    unc.add_argument("--u-systematic", type=_fraction_or_file, metavar="FRACTION|FILE",
                     help="an uncertainty fully correlated across the image: a fraction of the observed image "
                          "(0.01 for 1 %%) or an array file")
    unc.add_argument("--operator-uncertainty", type=float, metavar="REL",
                     help="the relative standard uncertainty of the far field (--target stray-light) or of the "
                          "stray light (--target scene), propagated to first order")
    unc.add_argument("--units", metavar="UNITS", help="the units of the images, written to the file")
    p.add_argument("--overwrite", action="store_true", help="replace CORRECTED.npy if it exists")
    p.add_argument("--threads", type=positive_int, metavar="N",
                   help="worker threads (default: OMP_NUM_THREADS, else all processors)")
    p.add_argument("-v", "--verbose", action="count", default=0, help="show information messages")
    p.set_defaults(run=run_correct, no_progress=True)
    return p


# ----------------------------------------------------------------- inputs
def _plan(config_path: Path):
    """The plan of a configuration file and its checked windows."""
    plan = plans.load_plan(config_path, trust_scheduler=True)  # a correction connects to no Dask scheduler
    problems = plan.windows.problems()
    if problems:
        raise InputError(one_line(ConfigurationError("windows", problems)))
    return plan, plan.windows


def _model(plan, threads, stray_light: bool):
    """The forward model of a plan, read as ``velmora build`` reads it.

    The in-field options come from its [infield] table (the defaults without
    one), the stray light from its [stray_light] table when ``stray_light``.
    """
    inputs = read_inputs(plan, stray_light=stray_light)
    options = dict(inputs.infield_options)
    if inputs.stray_psfs is not None:
        options.update(stray_psfs=inputs.stray_psfs, vignetting=inputs.vignetting, **inputs.stray_options)
    try:
        return forward_model(inputs.windows, inputs.psfs, threads=threads if threads is not None else plan.threads,
                             **options)
    except (ConfigurationError, ValueError, TypeError) as exc:
        raise InputError(f"forward model: {one_line(exc)}") from None


_OPTION = {"in-field": "--infield-matrix", "stray-light": "--stray-light-matrix"}


def _matrix(path: str, kind: str):
    """A stored matrix, refused when its metadata names another kind of matrix."""
    loaded = vio.load_matrix(path)
    found = loaded.metadata.get("matrix")
    if found is not None and found != kind:
        hint = f"; pass it as {_OPTION[found]}" if found in _OPTION else ""
        raise InputError(f"{_OPTION[kind]} {path}: its metadata says it holds the {found} matrix, not the "
                         f"{kind} matrix{hint}")
    return loaded


def _mask(path: str, windows) -> np.ndarray:
    """The ``--mask`` image: booleans of the shape (Ky, Kx)."""
    mask = vio.read_array(Path(path), None, what="--mask")
    if mask.dtype != np.bool_:
        raise InputError(f"--mask {path} must hold booleans (True = pixel left out of the fit), got dtype "
                         f"{mask.dtype}")
    if mask.shape != windows.l1c_image_shape:
        raise InputError(f"--mask {path} has the shape {mask.shape}; it must be one L1C image of the shape "
                         f"(Ky, Kx) = ({windows.Ky}, {windows.Kx})")
    return mask


# ---------------------------------------------------------------- reports
def _frame(n: int, stack: tuple[int, ...]) -> str:
    """Frame ``n`` of the flattened stack, by its index in the images' leading dimensions."""
    if len(stack) <= 1:
        return str(n)
    return str(tuple(int(i) for i in np.unravel_index(n, stack)))


def _residual(value) -> str:
    return "-" if value is None else f"{value:.1e}"


def _per_frame(info: dict) -> str:
    """Iterations and relative residuals of every frame, listed when few, as ranges when many."""
    iterations, residuals = list(info["iterations"]), list(info["residual"])
    known = [r for r in residuals if r is not None]
    if len(iterations) <= _LISTED:
        text = "iterations " + ", ".join(str(i) for i in iterations)
        if known:
            text += "; relative residual " + ", ".join(_residual(r) for r in residuals)
        return text
    text = f"iterations {min(iterations)} .. {max(iterations)}"
    if known:
        text += f"; relative residual {min(known):.1e} .. {max(known):.1e}"
    return text


def _failures(info: dict, stack: tuple[int, ...]) -> str:
    """The frames that did not converge, with their residuals and iterations."""
    failed = [n for n, ok in enumerate(info["frames_converged"]) if not ok]
    listed = "; ".join(f"frame {_frame(n, stack)}: relative residual {_residual(info['residual'][n])} after "
                       f"{info['iterations'][n]} iterations" for n in failed[:_LISTED])
    more = f"; and {len(failed) - _LISTED} more" if len(failed) > _LISTED else ""
    return f"{len(failed)} of {len(info['frames_converged'])} frame(s) did not converge ({listed}{more})"


# ---------------------------------------------------------------- outputs
def _corrected_dataarray(corrected: np.ndarray, source, order, dims: tuple[str, str], info: dict):
    """The corrected images as a DataArray: like ``source`` (the netCDF input, ordered (..., Y, X)) over
    its dimensions in their original ``order``, else over (frame..., Y, X) named ``corrected``; with
    velmora's provenance."""
    import xarray as xr

    details = {"target": info["target"], "method": info["method"],
               "core": info["core"] if info["target"] == "stray-light" else None}
    if source is None:
        lead = corrected.ndim - 2
        names = ["frame"] if lead == 1 else [f"frame_{i}" for i in range(lead)]
        return xr.DataArray(corrected, dims=(*names, *dims), name="corrected",
                            attrs=ximages.provenance({}, "corrected", **details))
    out = source.copy(data=corrected)
    out.attrs = ximages.provenance(source.attrs, "corrected", **details)
    out.encoding = {}
    return out.transpose(*order)


# -------------------------------------------------------------------- run
def _uncertainty(args, shape: tuple[int, ...], windows) -> dict:
    """The uncertainty arguments of Corrector.correct from the command line."""
    def image(path: str, what: str) -> np.ndarray:
        array = vio.read_array(Path(path), None, what=what)
        if array.dtype.kind not in "fiu":
            raise InputError(f"{what} {path} must hold real numbers, got dtype {array.dtype}")
        if array.shape not in (tuple(shape), windows.l1c_image_shape):
            raise InputError(f"{what} {path} has the shape {array.shape}; it must have that of the images "
                             f"{tuple(shape)} or of one image {windows.l1c_image_shape}")
        return array

    options = {}
    if args.noise is not None:
        options["noise"] = args.noise
    if args.u_random is not None:
        options["u_random"] = image(args.u_random, "--u-random")
    if args.u_systematic is not None:
        options["u_systematic"] = (args.u_systematic if isinstance(args.u_systematic, float)
                                   else image(args.u_systematic, "--u-systematic"))
    if args.operator_uncertainty is not None:
        options["operator_uncertainty"] = args.operator_uncertainty
    return options


def run_correct(args) -> int:
    """Run ``velmora correct`` with parsed arguments; returns the exit status.

    Parameters
    ----------
    args : argparse.Namespace
        As :func:`add_correct_parser`'s parser makes it.

    Returns
    -------
    int
        0 when the images were corrected and written, 1 when a frame did not
        converge (nothing is written), 2 for bad input.

    Raises
    ------
    velmora.InputError, velmora.PlanError, velmora.InputFileError
        Bad input, reported by the command with exit status 2.
    OSError
        The result cannot be written; reported by the command with exit status 1.
    """
    config_path = Path(args.config)
    output = Path(args.output)
    netcdf_in, netcdf_out = Path(args.images).suffix.lower() == ".nc", output.suffix.lower() == ".nc"
    if not netcdf_out and output.suffix != ".npy":
        output = output.with_name(output.name + ".npy")
    if args.variable is not None and not netcdf_in:
        raise InputError(f"--variable names a variable of a netCDF input (.nc); {args.images} is none")
    if args.dims is not None and not (netcdf_in or netcdf_out):
        raise InputError("--dims names the image dimensions of netCDF files (.nc); neither IMAGES nor the "
                         "output is one")
    dims = args.dims or ximages.DEFAULT_DIMS
    uncertain = any(v is not None for v in (args.noise, args.u_random, args.u_systematic,
                                            args.operator_uncertainty))
    if uncertain and not netcdf_out:
        raise InputError("the uncertainty (--noise, --u-random, --u-systematic, --operator-uncertainty) is written "
                         f"with the corrected images to a netCDF file: name the output .nc, not {output.name}")
    if uncertain and args.method in ("lsmr", "van-cittert"):
        raise InputError(f"--method {args.method} does not apply the inverse of the operator, so the uncertainty "
                         "cannot be propagated through it: use gmres or lu")
    if output.is_dir():
        raise InputError(f"{output} is a folder")
    if output.exists() and not args.overwrite:
        raise InputError(f"{output} exists; pass --overwrite to replace it")
    if args.stray_light_matrix is not None and args.infield_matrix is None:
        raise InputError("--stray-light-matrix needs --infield-matrix (without it the forward model of "
                         "CONFIG brings the stray light of its [stray_light] table)")
    if args.core is not None and args.target != "stray-light":
        raise InputError("--core applies to --target stray-light only")

    plan, windows = _plan(config_path)
    configured = plan.stray_light is not None
    if args.infield_matrix is not None and configured and args.stray_light_matrix is None \
            and not args.no_stray_light:
        raise InputError(
            f"{config_path} has a [stray_light] table but no stray-light matrix was given: pass "
            f"--stray-light-matrix FILE (its matrix, written to {plan.path(plan.stray_light.output)} by "
            "'velmora build') or --no-stray-light to correct for the in-field light only")
    infield = stray = None
    if args.infield_matrix is not None:
        infield = _matrix(args.infield_matrix, "in-field")
        stray = None if args.stray_light_matrix is None else _matrix(args.stray_light_matrix, "stray-light")
    source, order, file_attrs = None, None, {}
    if netcdf_in:
        source, file_attrs = ximages.read_dataarray(args.images, args.variable, what="IMAGES")
        try:
            y, x = ximages.checked_image_dims(source, dims, windows.l1c_image_shape, f"variable '{source.name}'",
                                              hint="--dims Y,X")
        except ValueError as exc:
            raise InputError(f"{args.images}: {one_line(exc)}") from None
        order, source = source.dims, source.transpose(..., y, x)
        images = source.values
    else:
        images = vio.read_array(Path(args.images), None, what="IMAGES")
    if images.dtype.kind not in "fiu":
        raise InputError(f"{args.images} must hold real numbers, got dtype {images.dtype}")
    if images.ndim < 2 or images.shape[-2:] != windows.l1c_image_shape:
        raise InputError(f"{args.images} has the shape {images.shape}; the instrument's L1C images have "
                         f"the shape (..., Ky, Kx) = (..., {windows.Ky}, {windows.Kx})")
    mask = None if args.mask is None else _mask(args.mask, windows)

    t0 = time.perf_counter()
    if args.infield_matrix is None:
        with_stray = configured and not args.no_stray_light
        operator = _model(plan, args.threads, with_stray)
        what = f"forward model ({operator.terms} terms, {operator.nbytes / 2**20:.0f} MiB)"
        if with_stray:
            light = f"included: the [stray_light] table of CONFIG ({operator.stray_sources} source pixels)"
        else:
            light = "left out (--no-stray-light)" if configured else "none (CONFIG has no [stray_light] table)"
    else:
        operator = infield
        what = f"stored in-field matrix {args.infield_matrix}"
        if stray is not None:
            light = f"included: the stored stray-light matrix {args.stray_light_matrix}"
        else:
            light = "left out (--no-stray-light)" if args.no_stray_light else \
                "none (CONFIG has no [stray_light] table)"
    built = time.perf_counter() - t0
    try:
        corrector = Corrector(
            operator, stray, windows=windows, target=args.target, core=args.core, method=args.method,
            preconditioner=None if args.preconditioner == "none" else args.preconditioner, rtol=args.rtol,
            maxiter=args.maxiter, restart=args.restart, damp=args.damp, iterations=args.iterations,
            relaxation=args.relaxation, on_failure="ignore", missing=args.missing)
        if uncertain:
            result = corrector.correct(images, mask=mask, **_uncertainty(args, images.shape, windows))
            corrected, info = result.corrected, result.info
        else:
            result = None
            corrected, info = corrector.correct(images, mask=mask, return_info=True)
    except (ValueError, np.linalg.LinAlgError) as exc:
        hint = ""
        if args.missing == "raise" and images.dtype.kind == "f" and not np.isfinite(images).all():
            hint = " (pass --missing mask to leave the pixels that are not finite out of the fit)"
        raise InputError(f"correction: {one_line(exc)}{hint}") from None
    seconds = time.perf_counter() - t0 - built
    stack = images.shape[:-2]
    if not (info["converged"] and info.get("uncertainty_converged", True)):
        print(f"velmora: error: the correction did not reach the relative residual {args.rtol:g} with "
              f"{info['method']}: {_failures(info, stack)}; nothing was written (raise --maxiter, relax --rtol, "
              "or choose another --method or --preconditioner)", file=sys.stderr)
        return EXIT_BUILD_FAILED

    if info["target"] == "stray-light":
        rx, ry = info["core"]
        target = f"stray light only: the far field outside a core of ({rx}, {ry}) L1C pixels (x, y) is removed"
    else:
        target = "scene (T x = b)"
    frames = int(np.prod(stack, dtype=np.int64))
    masked = int(info["masked"])
    print(f"velmora {__version__} correct: {args.images}")
    print(f"  images      {frames} frame(s) of L1C {windows.Kx} x {windows.Ky} = {windows.F} pixels")
    print(f"  operator    {what}, {built:.2f} s")
    print(f"  stray light {light}")
    print(f"  target      {target}")
    preconditioner = (f", preconditioner {info['preconditioner']}" if info["preconditioner"] is not None else
                      ", no preconditioner" if info["method"] == "gmres" else "")
    print(f"  method      {info['method']}{preconditioner}, {seconds:.2f} s")
    print(f"  frames      {_per_frame(info)}")
    print(f"  masked      {masked} pixel(s) left out of the fit" if masked else "  masked      none")
    if result is not None:
        parts = [name for name in ("u_random", "u_systematic", "u_operator") if getattr(result, name) is not None]
        print(f"  uncertainty {', '.join(parts)} ({info['uncertainty']['propagation']} propagation)")
        save_corrected(output, result, units=args.units, overwrite=True,
                       attributes={"source": f"velmora {__version__} correct {args.images}"})
        print(f"  -> {output}")
        return EXIT_OK
    with vio.AtomicOutputs() as outputs:
        if netcdf_out:
            ximages.write_dataarray(outputs.temporary(output),
                                    _corrected_dataarray(corrected, source, order, dims, info), file_attrs)
        else:
            np.save(outputs.temporary(output), corrected)
        outputs.commit()
    print(f"  -> {output}")
    return EXIT_OK
