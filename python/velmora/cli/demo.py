"""``velmora demo``: both matrices of the built-in instrument, a summary, the files and figures."""

from __future__ import annotations

import dataclasses
import sys
import time
from pathlib import Path

import numpy as np

from .. import __version__
from .. import config as plans
from .. import io as vio
from ..builds import SCHEMES, infield_matrix, stray_light_matrix
from ..config import InfieldPlan
from ..options import rows_below_for
from ..preflight import Output
from .common import (EXIT_OK, Progress, add_common_options, build_call, non_negative_int, preflight, row_sums,
                     threads_text, warn_threads)
from .plan import example_plan


def run_demo(args) -> int:
    from .. import figures
    from ..instrument import builtin_instrument, demo_scene
    from ..correction import Corrector
    from ..layout import observe

    out = Path(args.output)
    ins = builtin_instrument()
    w = ins.windows
    if args.rows_below is None:
        args.rows_below = rows_below_for(w)
    folder = out / "instrument"
    plan = example_plan(w, threads=args.threads,
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
    preflight(outputs, [], [(f"in-field matrix (F = {w.F})", 16 * w.F * w.F)], args.overwrite,
               hint="add --overwrite to replace {it}, or choose another folder with -o")
    requested = warn_threads(args.threads)
    progress = Progress(sys.stderr, not args.no_progress)

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
        matrix, threads = build_call(function, None, threads=requested, progress=callback, **kwargs)
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
    print(f"  threads     {threads_text(used, requested)}")
    print(f"  in-field    {w.F} x {w.F} matrix, {args.scheme} scheme, {edge}, {t_in:.2f} s")
    print(f"  stray light {w.F} x {w.F} matrix, source step {ins.source_step}, sample step "
          f"{ins.sample_step}, vignetting {ins.vignetting.min():.2f} .. {ins.vignetting.max():.2f}, {t_sl:.2f} s")
    print(f"  energy      in-field {row_sums(infield)}")
    print(f"              in-field + stray light {row_sums(infield + stray)}")
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


def add_parser(sub) -> None:
    """Add ``demo`` to the command's sub-parsers."""
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
    demo.add_argument("--rows-below", type=non_negative_int, default=infield["rows_below"], metavar="N",
                      help="detector rows below the science window used as lower-edge sources "
                           "(default: min(42, SOFSy), 42 on the built-in detector, which has 44)")
    demo.add_argument("--rows-above", type=non_negative_int, default=infield["rows_above"], metavar="N",
                      help="height of the strip above the bottom edge that the lower-edge correction reaches "
                           "(default: %(default)s)")
    demo.add_argument("--no-figures", action="store_true", help="write no PNG figures")
    add_common_options(demo)
    demo.set_defaults(run=run_demo)
