#!/usr/bin/env python3
"""Benchmark of the uncertainty propagated through the correction.

Through the public API of the installed package:

* ``dense-4096``: ``velmora.blurred_instrument(64, 64, binning=1)`` as dense matrices (F = 4096), the
  ``"stray-light"`` target with ``"lu"``. A stack of 64 observed frames is corrected alone and with all
  three components (random from ``noise=``, systematic from an image, operator); the time of the second
  over the first, beside the one-time forming of ``C o C``. Every component is compared with a
  reference computed independently in the same run: the inverse of ``I + D`` written out from the
  matrices with ``numpy.linalg.inv``.
* ``matrix-free-1000x256``: the blurred instrument of ``bench_correct.py`` (L1C 1000 x 256, F = 256,000,
  64 NOOF columns of stray light), the ``"stray-light"`` target with GMRES to 1e-6, one frame. The
  time of the random component (probes) and of all three components, in units of one correction's time
  measured in the same run; the probes' error bound relative to the value over all pixels; and, at a
  sample of pixels, the exact random component from the rows of ``C`` (one adjoint solve each, to
  1e-12) against which the estimate and its bound are checked. The systematic and operator components
  are checked by the residuals of the systems they solve.

Each case runs in a fresh process, which reports its peak resident memory.

    python3 bench/bench_uncertainty.py [--threads N] [--repeat N] [--only NAME ...] [--sample N]
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import resource
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_correct as bc  # noqa: E402  (its helpers: best, frames, blurred_model)

best = bc.best

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = ("dense-4096", "matrix-free-1000x256")
NOISE = (5.0, 2.0)          # read noise and gain: u^2 = 25 + observed / 2
OPERATOR = 0.1              # relative uncertainty of the far field


def frames(model, count, seed=0):
    """Observed frames of the correction benchmark's scenes (its ``frames``, without the truth)."""
    return bc.frames(model, count, seed)[1]


def flat(images, F):
    import velmora
    return velmora.image_to_vector(images).reshape(-1, F)


def flat_field_error(observed):
    """A smooth systematic error map: 0.5 % of the signal, growing towards the edges of the image."""
    ky, kx = observed.shape[-2:]
    y, x = np.meshgrid(np.linspace(-1, 1, ky), np.linspace(-1, 1, kx), indexing="ij")
    return 0.005 * (1 + 0.5 * (x ** 2 + y ** 2)) * np.abs(observed)


def case_dense(args):
    import velmora
    from velmora.correction import DEFAULT_CORE
    ins = velmora.blurred_instrument(64, 64, binning=1, stray_columns=16)
    w = ins.windows
    stray = dict(vignetting=ins.vignetting, source_step=ins.source_step, sample_step=ins.sample_step)
    model = velmora.forward_model(w, ins.psfs, stray_psfs=ins.stray_psfs, threads=args.threads, **stray)
    infield = velmora.infield_matrix(w, ins.psfs, threads=args.threads)
    straylight = velmora.stray_light_matrix(w, ins.stray_psfs, threads=args.threads, **stray)
    observed = frames(model, 64)
    u_sys = flat_field_error(observed[0])
    t = time.perf_counter()
    corrector = velmora.Corrector(infield, straylight, windows=w, target="stray-light")
    factorise = time.perf_counter() - t
    kwargs = dict(noise=NOISE, u_systematic=u_sys, operator_uncertainty=OPERATOR)
    t = time.perf_counter()
    corrector.correct(observed[:1], u_random=np.ones(observed.shape[-2:]))       # forms C o C
    forming = time.perf_counter() - t
    plain, _ = best(lambda: corrector.correct(observed), args.repeat)
    full, result = best(lambda: corrector.correct(observed, **kwargs), args.repeat)
    random_only, _ = best(lambda: corrector.correct(observed, noise=NOISE), args.repeat)
    # The reference: I + (T - T_core) diag(1 / c) from the matrices, inverted by numpy.
    t = time.perf_counter()
    T = (infield + straylight).T
    xs, ys = np.divmod(np.arange(w.F), w.Ky)
    near = ((np.abs(xs[:, None] - xs[None, :]) <= DEFAULT_CORE[0])
            & (np.abs(ys[:, None] - ys[None, :]) <= DEFAULT_CORE[1]))
    core = np.where(near, infield.T, 0.0)
    A = np.eye(w.F) + (T - core) / core.sum(axis=0)[None, :]
    del T, core, near
    C = np.linalg.inv(A)
    b = flat(observed, w.F)
    y = b @ C.T
    u2 = NOISE[0] ** 2 + np.maximum(b, 0) / NOISE[1]
    random = np.sqrt(u2 @ (C * C).T)
    systematic = np.abs(flat(u_sys, w.F)[0] @ C.T)
    operator = OPERATOR * np.abs((y @ (A - np.eye(w.F)).T) @ C.T)
    reference = time.perf_counter() - t

    def error(got, want):
        return float(np.max(np.abs(flat(got, w.F) - want) / np.abs(want)))

    return {"F": w.F, "frames": 64, "factorise": factorise, "forming": forming, "plain": plain, "full": full,
            "random_only": random_only, "reference_seconds": reference,
            "cond": float(np.linalg.cond(A)),
            "error_random": error(result.u_random, random),
            "error_systematic": error(result.u_systematic, np.broadcast_to(systematic, b.shape)),
            "error_operator": error(result.u_operator, operator),
            "corrected_error": float(np.max(np.abs(flat(result.corrected, w.F) - y)) / np.abs(y).max())}


def exact_rows(corrector, pixels, rtol=1e-12):
    """Rows ``C[i, :]`` of the inverse for the flat pixels given: ``A^T x = e_i`` by GMRES (one solve each)."""
    from velmora.correction import _gmres
    system = corrector._system
    E = np.zeros((len(pixels), corrector.F))
    E[np.arange(len(pixels)), pixels] = 1.0
    rows, its = _gmres(lambda X, active: system.adjoint(X), E, np.zeros_like(E), None, rtol, 50, 500)
    residual = np.linalg.norm(system.adjoint(rows) - E, axis=1)
    return rows, float(residual.max()), int(max(its))


def case_full(args):
    import velmora
    ins, model, construction = bc.blurred_model(1000, 256, 1, args.threads)
    F = ins.windows.F
    observed = frames(model, 1)[0]
    u_sys = flat_field_error(observed)
    corrector = velmora.Corrector(model, target="stray-light", rtol=1e-6, on_failure="raise")
    one, (_, info) = best(lambda: corrector.correct(observed, return_info=True), args.repeat)
    random_s, random = best(lambda: corrector.correct(observed, noise=NOISE, propagation="probes"), args.repeat)
    full_s, full = best(lambda: corrector.correct(observed, noise=NOISE, u_systematic=u_sys,
                                                  operator_uncertainty=OPERATOR, propagation="probes"), args.repeat)
    u = random.u_random
    relative = (random.u_random_bound / u).reshape(-1)
    # Exact values at a sample of pixels: the darkest next to the brightest (where the far field of the
    # neighbours weighs most), the largest bounds, and random ones.
    rng = np.random.default_rng(1)
    flat_relative = flat(random.u_random_bound / u, F)[0]
    order = np.argsort(flat_relative)
    pixels = np.unique(np.concatenate([order[-args.sample // 4:], rng.choice(F, args.sample - args.sample // 4,
                                                                            replace=False)]))
    t = time.perf_counter()
    rows, row_residual, row_its = exact_rows(corrector, pixels)
    rows_s = time.perf_counter() - t
    u_in = np.sqrt(NOISE[0] ** 2 + np.maximum(flat(observed, F)[0], 0) / NOISE[1])
    exact = np.sqrt((rows ** 2) @ (u_in ** 2))
    estimate = flat(u, F)[0][pixels]
    bound = flat(random.u_random_bound, F)[0][pixels]
    err = np.abs(estimate - exact)
    # The systematic and operator components: the residuals of the systems they solve.
    system = corrector._system
    e_sys = flat(full.systematic_error, F)
    r_sys = np.linalg.norm(system.apply(e_sys) - flat(u_sys, F)) / np.linalg.norm(flat(u_sys, F))
    y = flat(full.corrected, F)
    shift = OPERATOR * system.perturbation(y)
    r_op = np.linalg.norm(system.apply(flat(full.operator_error, F)) + shift) / np.linalg.norm(shift)
    return {"F": F, "construction": construction, "one": one, "iterations": info["iterations"][0],
            "residual": info["residual"][0], "random_s": random_s, "full_s": full_s,
            "probes": random.info["uncertainty"]["probes"],
            "solves_full": full.info["uncertainty"]["solves_per_frame"],
            "bound_median": float(np.median(relative)), "bound_p95": float(np.percentile(relative, 95)),
            "bound_p99": float(np.percentile(relative, 99)), "bound_max": float(relative.max()),
            "within_1pc": float(np.mean(relative <= 0.01)),
            "sample": int(len(pixels)), "sample_seconds": rows_s, "sample_row_residual": row_residual,
            "sample_row_iterations": row_its,
            "sample_holds": float(np.mean(err <= bound)), "sample_err_max": float(np.max(err / exact)),
            "sample_err_median": float(np.median(err / exact)),
            "sample_bound_median": float(np.median(bound / exact)),
            "residual_systematic": float(r_sys), "residual_operator": float(r_op)}


def child(name, args):
    warnings.simplefilter("ignore")
    out = {"dense-4096": case_dense, "matrix-free-1000x256": case_full}[name](args)
    out["peak_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(out))


def table(results, args):
    lines = ["| case | F | figure | result | reference in the same run |", "|---|---|---|---|---|"]
    for name, r in results.items():
        rows = []
        if name == "dense-4096":
            rows += [
                ("stack of 64: correction with all three components / correction alone",
                 f"{r['full']:.3f} s / {r['plain']:.3f} s = **{r['full'] / r['plain']:.2f}x** (target <= 2x); "
                 f"the uncertainty alone {(r['full'] - r['plain']) / r['plain']:.2f}x",
                 f"correction alone {r['plain']:.3f} s"),
                ("stack of 64: correction with the random component / correction alone",
                 f"{r['random_only']:.3f} s = {r['random_only'] / r['plain']:.2f}x; the random component alone "
                 f"{(r['random_only'] - r['plain']) / r['plain']:.2f}x", ""),
                ("once per corrector: LU / C o C", f"{r['factorise']:.2f} s / {r['forming']:.2f} s", ""),
                ("largest relative error: random / systematic / operator",
                 f"{r['error_random']:.1e} / {r['error_systematic']:.1e} / {r['error_operator']:.1e} "
                 "(target <= 1e-12)",
                 f"numpy.linalg.inv of I + D from the matrices ({r['reference_seconds']:.1f} s), cond "
                 f"{r['cond']:.2f}"),
            ]
        else:
            rows += [
                ("one correction (stray-light, 1e-6)",
                 f"{r['one']:.2f} s ({r['iterations']} it, {r['residual']:.1e})", "the unit below"),
                (f"correction with the random component, {r['probes']} probes",
                 f"{r['random_s']:.2f} s = {r['random_s'] / r['one']:.1f} corrections, of which the random "
                 f"component **{(r['random_s'] - r['one']) / r['one']:.1f}** (target <= 16)", f"{r['one']:.2f} s"),
                (f"correction with all three components ({r['solves_full']} solves)",
                 f"{r['full_s']:.2f} s = {r['full_s'] / r['one']:.1f} corrections, of which the uncertainty "
                 f"{(r['full_s'] - r['one']) / r['one']:.1f}", f"{r['one']:.2f} s"),
                ("error bound / value, all pixels: median, 95 %, 99 %, max",
                 f"**{r['bound_median']:.1e}**, {r['bound_p95']:.1e}, {r['bound_p99']:.1e}, {r['bound_max']:.1e}; "
                 f"{100 * r['within_1pc']:.1f} % of pixels <= 1 % (target <= 1 %)", ""),
                (f"{r['sample']} sampled pixels: error / exact, median and max",
                 f"{r['sample_err_median']:.1e}, {r['sample_err_max']:.1e}; the bound holds at "
                 f"{100 * r['sample_holds']:.0f} % (median bound {r['sample_bound_median']:.1e})",
                 f"rows of C by adjoint GMRES ({r['sample_row_iterations']} it, residual "
                 f"{r['sample_row_residual']:.0e}, {r['sample_seconds']:.0f} s)"),
                ("systematic / operator: residual of their solves",
                 f"{r['residual_systematic']:.1e} / {r['residual_operator']:.1e}", "rtol 1e-6 of the corrector"),
            ]
        rows.append(("peak RSS", f"{r['peak_rss_mb']:.0f} MB", ""))
        for k, (fig, val, ref) in enumerate(rows):
            lines.append(f"| {name if k == 0 else ''} | {r['F'] if k == 0 else ''} | {fig} | {val} | {ref} |")
    load = os.getloadavg()[0]
    lines += ["", f"Measured on {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
              f"{datetime.date.today()}, {args.threads} threads, best of {args.repeat} where repeated; "
              f"load average after the run {load:.1f} (shared machine)."]
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--sample", type=int, default=64, help="pixels whose exact random component is computed")
    p.add_argument("--only", nargs="*", choices=CASES)
    p.add_argument("--child", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        return child(args.child, args)
    results = {}
    for name in args.only or CASES:
        cmd = [sys.executable, __file__, "--child", name, "--threads", str(args.threads), "--repeat",
               str(args.repeat), "--sample", str(args.sample)]
        results[name] = bc.child_json(cmd, name)
        print(name, results[name], flush=True)
    text = table(results, args)
    print(text)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "bench_uncertainty.md"), "w") as f:
        f.write(text + "\n")


if __name__ == "__main__":
    main()
