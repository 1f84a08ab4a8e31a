"""The ``velmora`` command.

``velmora demo``
    Builds both matrices of the built-in instrument, prints a summary and
    writes the matrices, figures and the instrument's own input files.
``velmora build CONFIG``
    Builds the matrices of a user's instrument described by a TOML file.

Exit status: 0 on success, 1 when a matrix could not be built, 2 for bad
input (command line, configuration file or arrays).
"""

from __future__ import annotations

import argparse
import logging
import math
import sys
import textwrap
import time
import tomllib
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np

from . import __version__
from .builds import SCHEMES, infield_matrix, resolve_threads, stray_light_matrix
from .errors import BuildError, ConfigurationError
from .psfs import PSFSet
from .windows import PARAMETER_NAMES, Windows

__all__ = ["main"]

EXIT_OK, EXIT_BUILD_FAILED, EXIT_BAD_INPUT = 0, 1, 2

_CONFIG_HELP = """\
configuration file (TOML); paths are relative to the file's folder:

  threads = 2                       # optional, default: all processors

  [windows]                         # the 22 windowing parameters
  FULLCONVx = 160                   # FULLCONVx FULLCONVy NOFSx NOFSy NOOFx NOOFy
  ...                               # DOFSx DOFSy Dx Dy SOFSx SOFSy Sx Sy
                                    # LBINx LBINy Lx Ly KBINx KBINy Kx Ky
  [psfs]                            # arrays: "a.npy", "b.npz" (key = the
  images = "psfs.npz"               #   entry's name) or "b.npz:key"
  centres = "psfs.npz"              # (M, Nx, Ny) [psf, x, y]; (M, 2|3) rows Y, X
  coefficients = "psfs.npz"         # (Dx, Dy, N) [x, y, k]
  indices = "psfs.npz"              # (Dx, Dy, N) PSF numbers

  [infield]                         # optional: the in-field matrix
  output = "out/infield.npy"
  scheme = "quadratic"              # or "midpoint"
  lower_edge = true
  rows_below = 42
  rows_above = 42

  [stray_light]                     # optional: the stray-light matrix
  output = "out/stray_light.npy"
  coefficients = "noof.npz"         # tables over the NOOF window,
  indices = "noof.npz"              #   (NOOFx, NOOFy, N)
  vignetting = "vignetting.npy"     # optional, (NOOFy, NOOFx) indexed [y, x]
  source_step = [1, 1]              # (x, y)
  sample_step = [1, 1]              # (x, y)

At least one of [infield] and [stray_light] is required."""


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


def _column_sums(matrix: np.ndarray) -> str:
    sums = matrix.sum(axis=1)  # row s of the array holds what source s sends out
    return (f"column sums {sums.min():.4f} .. {sums.max():.4f} "
            f"(mean {sums.mean():.4f}, spread {sums.max() - sums.min():.4f})")


def _timed(progress: _Progress, label: str, build: Callable) -> tuple[np.ndarray, float]:
    callback = progress.start(label)
    t0 = time.perf_counter()
    result = build(callback)
    seconds = time.perf_counter() - t0
    progress.finish(seconds)
    return result, seconds


# --------------------------------------------------------------------- demo
def _write_instrument_inputs(folder: Path, instrument, args) -> Path:
    """The built-in instrument as files that ``velmora build`` reads back."""
    folder.mkdir(parents=True, exist_ok=True)
    instrument.psfs.save(folder / "psfs.npz")
    np.savez(folder / "noof_tables.npz", coefficients=instrument.stray_psfs.coefficients,
             indices=instrument.stray_psfs.indices)
    np.save(folder / "vignetting.npy", instrument.vignetting)
    w = instrument.windows
    lines = [f"# {instrument.name}, as written by 'velmora demo'.",
             "# Rebuild its matrices with: velmora build instrument.toml", ""]
    if args.threads is not None:
        lines += [f"threads = {args.threads}", ""]
    lines += ["[windows]"] + [f"{name} = {getattr(w, name)}" for name in PARAMETER_NAMES]
    lines += ["", "[psfs]", 'images = "psfs.npz"', 'centres = "psfs.npz"', 'coefficients = "psfs.npz"',
              'indices = "psfs.npz"', "", "[infield]", 'output = "matrices/infield.npy"',
              f'scheme = "{args.scheme}"', f"lower_edge = {'false' if args.no_lower_edge else 'true'}",
              f"rows_below = {args.rows_below}", f"rows_above = {args.rows_above}", "",
              "[stray_light]", 'output = "matrices/stray_light.npy"', 'coefficients = "noof_tables.npz"',
              'indices = "noof_tables.npz"', 'vignetting = "vignetting.npy"',
              f"source_step = [{instrument.source_step[0]}, {instrument.source_step[1]}]",
              f"sample_step = [{instrument.sample_step[0]}, {instrument.sample_step[1]}]", ""]
    path = folder / "instrument.toml"
    path.write_text("\n".join(lines))
    return path


def _demo(args) -> int:
    from . import figures
    from .instrument import builtin_instrument, demo_scene
    from .layout import Corrector, observe

    out = Path(args.output)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise InputError(f"cannot create the output folder {out}: {exc.strerror or exc}") from None
    ins = builtin_instrument()
    w = ins.windows
    threads = resolve_threads(args.threads)
    progress = _Progress(sys.stderr, not args.no_progress)

    print(f"velmora {__version__} demo: {ins.name}")
    print(f"  windows     science {w.Sx} x {w.Sy} detector pixels in a {w.Dx} x {w.Dy} detector window, "
          f"binning {w.Bx} x {w.By} -> L1C {w.Kx} x {w.Ky} = {w.F} pixels")
    print(f"  PSFs        {ins.psfs.M} measured, {ins.psfs.psf_shape[0]} x {ins.psfs.psf_shape[1]} samples, "
          f"{ins.psfs.ncoeffs} interpolation coefficients per pixel")
    print(f"  threads     {threads}")
    sys.stdout.flush()

    infield, t_in = _timed(progress, "in-field", lambda cb: infield_matrix(
        w, ins.psfs, scheme=args.scheme, lower_edge=not args.no_lower_edge, rows_below=args.rows_below,
        rows_above=args.rows_above, threads=threads, progress=cb))
    stray, t_sl = _timed(progress, "stray-light", lambda cb: stray_light_matrix(
        w, ins.stray_psfs, vignetting=ins.vignetting, source_step=ins.source_step,
        sample_step=ins.sample_step, threads=threads, progress=cb))

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
    print(f"  in-field    {w.F} x {w.F} matrix, {args.scheme} scheme, {edge}, {t_in:.2f} s")
    print(f"  stray light {w.F} x {w.F} matrix, source step {ins.source_step}, sample step "
          f"{ins.sample_step}, vignetting {ins.vignetting.min():.2f} .. {ins.vignetting.max():.2f}, {t_sl:.2f} s")
    print(f"  energy      in-field {_column_sums(infield)}")
    print(f"              in-field + stray light {_column_sums(infield + stray)}")
    print(f"  correction  {correction}")

    written = []
    for name, array in (("infield.npy", infield), ("stray_light.npy", stray)):
        np.save(out / name, array)
        written.append(out / name)
    if not args.no_figures:
        written.append(figures.matrix_figure(out / "infield_matrix.png", infield,
                                             "in-field matrix (log scale)"))
        written.append(figures.matrix_figure(out / "stray_light_matrix.png", stray,
                                             "horizontal stray-light matrix (log scale)"))
        written.append(figures.psf_figure(out / "psfs.png", ins.psfs.images, ins.psf_nodes))
        panels = [scene, observed] + ([corrected] if corrected is not None else [])
        written.append(figures.images_figure(out / "scene_observed_corrected.png", panels,
                                             ["true scene", "observed (in-field + stray light)", "corrected"]))
    written.append(_write_instrument_inputs(out / "instrument", ins, args))
    print("  files       " + "\n              ".join(str(p) for p in written))
    if not args.no_figures and not figures.have_matplotlib():
        print("  note        matplotlib is not installed: the PNG files are plain images without axes "
              "(pip install 'velmora[demo]')")
    return EXIT_OK


# -------------------------------------------------------------------- build
_TOP_KEYS = {"threads", "windows", "psfs", "infield", "stray_light"}
_PSF_KEYS = {"images", "centres", "coefficients", "indices"}
_INFIELD_KEYS = {"output", "scheme", "lower_edge", "rows_below", "rows_above"}
_STRAY_KEYS = {"output", "coefficients", "indices", "vignetting", "source_step", "sample_step"}


def _table(config: dict, key: str, allowed: set[str], required: bool) -> dict | None:
    if key not in config:
        if required:
            raise InputError(f"the configuration has no [{key}] table")
        return None
    table = config[key]
    if not isinstance(table, dict):
        raise InputError(f"'{key}' must be a table ([{key}])")
    unknown = sorted(set(table) - allowed)
    if unknown:
        raise InputError(f"unknown key(s) in [{key}]: {', '.join(unknown)} (allowed: {', '.join(sorted(allowed))})")
    return table


def _load_array(base: Path, where: str, name: str, spec) -> np.ndarray:
    if not isinstance(spec, str) or not spec:
        raise InputError(f"{where}.{name} must be a file name, got {spec!r}")
    path_text, key = spec, name
    if ".npz:" in spec:
        path_text, key = spec.rsplit(":", 1)
    path = base / path_text
    try:
        if path.suffix == ".npz":
            with np.load(path) as data:
                if key not in data:
                    raise InputError(f"{where}.{name}: {path} has no array '{key}' "
                                     f"(it has {', '.join(data.files) or 'none'})")
                return data[key]
        if path.suffix == ".npy":
            return np.load(path)
    except FileNotFoundError:
        raise InputError(f"{where}.{name}: no such file {path}") from None
    except (OSError, ValueError) as exc:
        raise InputError(f"{where}.{name}: cannot read {path}: {exc}") from None
    raise InputError(f"{where}.{name}: {spec!r} is neither a .npy nor a .npz file")


def _output_path(base: Path, where: str, table: dict) -> Path:
    if "output" not in table:
        raise InputError(f"[{where}] needs an output file name")
    spec = table["output"]
    if not isinstance(spec, str) or not spec:
        raise InputError(f"{where}.output must be a file name, got {spec!r}")
    path = base / spec
    if path.suffix != ".npy":
        path = path.with_name(path.name + ".npy")
    return path


def _typed(where: str, value, kind, what: str):
    if kind is int and (isinstance(value, bool) or not isinstance(value, int)):
        raise InputError(f"{where} must be {what}, got {value!r}")
    if kind is not int and not isinstance(value, kind):
        raise InputError(f"{where} must be {what}, got {value!r}")
    return value


def _pair(where: str, value) -> tuple[int, int]:
    if not isinstance(value, list) or len(value) != 2 or not all(
            isinstance(v, int) and not isinstance(v, bool) and v >= 1 for v in value):
        raise InputError(f"{where} must be a pair [x, y] of positive integers, got {value!r}")
    return value[0], value[1]


def _checked_psfs(images, centres, coefficients, indices, windows: Windows, window: str, where: str) -> PSFSet:
    try:
        return PSFSet(images, centres, coefficients, indices).check(windows, window)
    except ConfigurationError as exc:
        raise InputError(f"{where}: {exc}") from None


def _build(args) -> int:
    config_path = Path(args.config)
    try:
        with open(config_path, "rb") as f:
            config = tomllib.load(f)
    except FileNotFoundError:
        raise InputError(f"no such configuration file: {config_path}") from None
    except tomllib.TOMLDecodeError as exc:
        raise InputError(f"{config_path} is not valid TOML: {exc}") from None
    except OSError as exc:
        raise InputError(f"cannot read {config_path}: {exc.strerror or exc}") from None
    base = config_path.parent
    unknown = sorted(set(config) - _TOP_KEYS)
    if unknown:
        raise InputError(f"unknown key(s) or table(s) in {config_path}: {', '.join(unknown)}")

    windows_table = _table(config, "windows", set(PARAMETER_NAMES), True)
    try:
        windows = Windows.from_mapping(windows_table).validate()
    except (TypeError, ValueError) as exc:
        raise InputError(f"[windows]: {exc}") from None
    psf_table = _table(config, "psfs", _PSF_KEYS, True)
    missing = sorted(_PSF_KEYS - set(psf_table))
    if missing:
        raise InputError(f"[psfs] needs {', '.join(missing)}")
    infield = _table(config, "infield", _INFIELD_KEYS, False)
    stray = _table(config, "stray_light", _STRAY_KEYS, False)
    if infield is None and stray is None:
        raise InputError("nothing to build: add an [infield] or a [stray_light] table")

    threads = args.threads if args.threads is not None else config.get("threads")
    if threads is not None:
        _typed("threads", threads, int, "a positive integer")
        if threads < 1:
            raise InputError(f"threads must be a positive integer, got {threads}")
    arrays = {k: _load_array(base, "psfs", k, psf_table[k]) for k in sorted(_PSF_KEYS)}

    jobs = []
    if infield is not None:
        out = _output_path(base, "infield", infield)
        scheme = _typed("infield.scheme", infield.get("scheme", "quadratic"), str, "a string")
        if scheme not in SCHEMES:
            raise InputError(f"infield.scheme must be one of {', '.join(sorted(SCHEMES))}, got {scheme!r}")
        options = dict(scheme=scheme,
                       lower_edge=_typed("infield.lower_edge", infield.get("lower_edge", True), bool, "true or false"),
                       rows_below=_typed("infield.rows_below", infield.get("rows_below", 42), int, "an integer"),
                       rows_above=_typed("infield.rows_above", infield.get("rows_above", 42), int, "an integer"))
        psfs = _checked_psfs(arrays["images"], arrays["centres"], arrays["coefficients"], arrays["indices"],
                             windows, "detector", "[psfs]")
        problems = windows.problems(rows_below=options["rows_below"] if options["lower_edge"] else None)
        if problems:
            raise InputError(str(ConfigurationError("windows", problems)))
        jobs.append(("in-field", out, lambda cb, p=psfs, o=options: infield_matrix(
            windows, p, threads=threads, progress=cb, **o)))
    if stray is not None:
        out = _output_path(base, "stray_light", stray)
        for key in ("coefficients", "indices"):
            if key not in stray:
                raise InputError(f"[stray_light] needs {key} (interpolation tables over the NOOF window)")
        coefficients = _load_array(base, "stray_light", "coefficients", stray["coefficients"])
        indices = _load_array(base, "stray_light", "indices", stray["indices"])
        vignetting = (_load_array(base, "stray_light", "vignetting", stray["vignetting"])
                      if "vignetting" in stray else None)
        source_step = _pair("stray_light.source_step", stray.get("source_step", [1, 1]))
        sample_step = _pair("stray_light.sample_step", stray.get("sample_step", [1, 1]))
        psfs = _checked_psfs(arrays["images"], arrays["centres"], coefficients, indices,
                             windows, "noof", "[stray_light]")
        if vignetting is not None and np.shape(vignetting) != windows.vignetting_shape:
            raise InputError(f"stray_light.vignetting must have the shape (NOOFy, NOOFx) = "
                             f"{windows.vignetting_shape} (indexed [y, x]), got {np.shape(vignetting)}")
        jobs.append(("stray-light", out, lambda cb, p=psfs: stray_light_matrix(
            windows, p, vignetting=vignetting, source_step=source_step, sample_step=sample_step,
            threads=threads, progress=cb)))

    progress = _Progress(sys.stderr, not args.no_progress)
    print(f"velmora {__version__} build: {config_path}")
    print(f"  windows     L1C {windows.Kx} x {windows.Ky} = {windows.F} pixels, "
          f"binning {windows.Bx} x {windows.By}; threads {resolve_threads(threads)}")
    results = []
    for label, out, job in jobs:
        try:
            matrix, seconds = _timed(progress, label, job)
        except (ConfigurationError, ValueError, TypeError) as exc:
            raise InputError(f"{label} matrix: {exc}") from None
        results.append((label, out, matrix, seconds))
    for label, out, matrix, seconds in results:
        try:
            out.parent.mkdir(parents=True, exist_ok=True)
            np.save(out, matrix)
        except OSError as exc:
            raise InputError(f"cannot write {out}: {exc.strerror or exc}") from None
        print(f"  {label:<11} {matrix.shape[0]} x {matrix.shape[1]}, {seconds:.2f} s, "
              f"{_column_sums(matrix)} -> {out}")
    return EXIT_OK


# ----------------------------------------------------------------- parsing
def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmora",
        description="Build the convolution (deconvolution) matrix and the horizontal stray-light matrix "
                    "of the TORVEN level-1 processing.",
        epilog="Exit status: 0 on success, 1 when a matrix could not be built, 2 for bad input. "
               "Run 'velmora COMMAND --help' for the options of each command.",
    )
    parser.add_argument("--version", action="version", version=f"velmora {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def common(p):
        p.add_argument("--threads", type=_positive_int, metavar="N",
                       help="worker threads of each build (default: OMP_NUM_THREADS, else all processors)")
        p.add_argument("--no-progress", action="store_true",
                       help="do not show the progress bar (it is shown only when standard error is a terminal)")
        p.add_argument("-v", "--verbose", action="count", default=0,
                       help="show the module's information messages on standard error; twice: also its "
                            "per-row progress records (default: warnings and errors only)")

    demo = sub.add_parser(
        "demo", help="build both matrices of the built-in instrument and write them with figures",
        description="Build the in-field and the stray-light matrix of the built-in synthetic TORVEN-like "
                    "instrument, print a summary (sizes, time, threads, energy conservation as the spread "
                    "of the column sums, and how well a test scene observed through the matrices is "
                    "corrected), and write to the output folder: infield.npy and stray_light.npy (matrices "
                    "of shape (F, F), element [s, r] for source pixel s and receiving pixel r), PNG figures "
                    "(infield_matrix.png, stray_light_matrix.png, psfs.png, scene_observed_corrected.png) and "
                    "instrument/ with the instrument's arrays and a configuration file for 'velmora build'.")
    demo.add_argument("-o", "--output", default="velmora-out", metavar="DIR",
                      help="output folder, created if needed (default: %(default)s)")
    demo.add_argument("--scheme", choices=sorted(SCHEMES), default="quadratic",
                      help="in-field interpolation across L1C rows (default: %(default)s)")
    demo.add_argument("--no-lower-edge", action="store_true",
                      help="leave out the lower-edge correction of the in-field matrix")
    demo.add_argument("--rows-below", type=_non_negative_int, default=42, metavar="N",
                      help="detector rows below the science window used as lower-edge sources "
                           "(default: %(default)s; the built-in detector has 44)")
    demo.add_argument("--rows-above", type=_non_negative_int, default=42, metavar="N",
                      help="height of the strip above the bottom edge that the lower-edge correction reaches "
                           "(default: %(default)s)")
    demo.add_argument("--no-figures", action="store_true", help="write no PNG figures")
    common(demo)
    demo.set_defaults(run=_demo)

    build = sub.add_parser(
        "build", help="build the matrices of an instrument described by a TOML file",
        description=textwrap.fill(
            "Build the matrices of your own instrument. CONFIG is a TOML file with the 22 windowing "
            "parameters, the options and the paths of .npy/.npz arrays; the matrices are written as .npy "
            "files (shape (F, F), element [s, r] for source pixel s and receiving pixel r) where it says. "
            "Every input is checked before the first build, and nothing is written unless every matrix "
            "was built.", 79),
        epilog=_CONFIG_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    build.add_argument("config", metavar="CONFIG", help="the TOML configuration file")
    common(build)
    build.set_defaults(run=_build)
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
        The exit status: 0 on success, 1 when a matrix could not be built,
        2 for bad input.
    """
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help and --version (0), usage errors (2)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    handler, previous_level = _setup_logging(args.verbose)
    try:
        return args.run(args)
    except InputError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except ConfigurationError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BuildError as exc:
        # The module's error and warning lines have been shown as they came.
        print(f"velmora: error: building the {exc.matrix} matrix failed: {exc.reason} "
              "(see the module's messages above)", file=sys.stderr)
        return EXIT_BUILD_FAILED
    except NotImplementedError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    finally:
        log = logging.getLogger("velmora")
        log.removeHandler(handler)
        log.setLevel(previous_level)
        sys.stdout.flush()
