#!/usr/bin/env python3
"""Benchmark of the correction of frames with the matrix-free forward model.

Through the public API of the installed package, on ``velmora.blurred_instrument`` (9 PSFs on
a 3 x 3 grid, Gaussian cores of sigma 1.2 to 2.3 detector pixels, wings with 1 % of the light
out to the edge of images the detector's size, a ghost, stray light from 64 NOOF columns on
each side):

* ``blurred-1000x256``: L1C 1000 x 256 (F = 256,000), unbinned, stray light on: construction,
  one apply (and the same on one thread), the ``"stray-light"`` correction to the relative residual 1e-6 of one frame and of
  a stack of 8 frames (against 8 frames one at a time, measured in the same run), the
  ``"scene"`` correction to 1e-6 with each preconditioner, and the peak memory;
* ``blurred-256x256-bin2``: L1C 256 x 256 with 2 x 2 binning (F = 65536): the ``"scene"``
  correction to 1e-10 (also with a longer restart);
* ``narrow-256x256-bin2``: the narrow-PSF instrument of ``bench_model.py`` (F = 65536), the
  ``"scene"`` correction to 1e-10, beside the figure of the previous version measured in the same
  run when ``--before PYTHON`` names an interpreter with it installed;
* ``blurred-48x32``: small enough for dense matrices: the split of the ``"stray-light"``
  target and both corrections against dense solves (largest difference relative to the
  largest value).

Each case runs in a fresh process, which reports its peak resident memory. The observed frames
are ``model.apply`` of ``velmora.demo_scene`` plus a uniform texture (a different one per frame).

    python3 bench/bench_correct.py [--threads N] [--repeat N] [--only NAME ...] [--before PYTHON]
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import resource
import subprocess
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = ("blurred-48x32", "blurred-1000x256", "blurred-256x256-bin2", "narrow-256x256-bin2")
# Cases also measured with the previous version when --before names its interpreter.
BEFORE_CASES = ("blurred-1000x256", "blurred-256x256-bin2")


def best(fn, repeat):
    """Best wall time of ``repeat`` calls, and the last result."""
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times), out


def child_json(cmd, what, **kwargs):
    """Run a child process and return the JSON of its last line; SystemExit with its errors if it fails."""
    proc = subprocess.run(cmd, capture_output=True, text=True, **kwargs)
    if proc.returncode:
        print(proc.stderr[-3000:], file=sys.stderr)
        raise SystemExit(f"{what} failed")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def frames(model, count, seed=0):
    import velmora
    rng = np.random.default_rng(seed)
    scene = velmora.demo_scene(model.windows)
    truth = np.stack([scene * (1 + 0.2 * k) + rng.uniform(0, 30, scene.shape) for k in range(count)])
    return truth, model.apply(truth)


def blurred_model(kx, ky, binning, threads, stray=True, repeat=1):
    """The blurred instrument's forward model, and its construction time (best of ``repeat``)."""
    import velmora
    ins = velmora.blurred_instrument(kx, ky, binning=binning, stray_columns=64 if stray else 8)
    kwargs = dict(stray_psfs=ins.stray_psfs, vignetting=ins.vignetting, source_step=ins.source_step,
                  sample_step=ins.sample_step) if stray else {}
    seconds, model = best(lambda: velmora.forward_model(ins.windows, ins.psfs, threads=threads, **kwargs), repeat)
    return ins, model, seconds


def solve(model, observed, repeat, **options):
    import velmora
    corrector = velmora.Corrector(model, on_failure="ignore", **options)
    seconds, (_, info) = best(lambda: corrector.correct(observed, return_info=True), repeat)
    return seconds, info


def case_small(args):
    import velmora
    ins = velmora.blurred_instrument(48, 32, binning=1, stray_columns=16)
    w = ins.windows
    stray = dict(vignetting=ins.vignetting, source_step=ins.source_step, sample_step=ins.sample_step)
    model = velmora.forward_model(w, ins.psfs, stray_psfs=ins.stray_psfs, threads=args.threads, **stray)
    infield = velmora.infield_matrix(w, ins.psfs, threads=args.threads)
    straylight = velmora.stray_light_matrix(w, ins.stray_psfs, threads=args.threads, **stray)
    _, observed = frames(model, 1)
    out = {"F": w.F}
    # The split, written out on the dense matrices.
    from velmora.correction import DEFAULT_CORE
    T = (infield + straylight).T
    xs, ys = np.divmod(np.arange(w.F), w.Ky)
    near = (np.abs(xs[:, None] - xs[None, :]) <= DEFAULT_CORE[0]) & \
        (np.abs(ys[:, None] - ys[None, :]) <= DEFAULT_CORE[1])
    core = np.where(near, infield.T, 0.0)
    A = np.eye(w.F) + (T - core) / core.sum(axis=0)
    b = velmora.image_to_vector(observed[0])
    seconds, info = solve(model, observed, args.repeat, target="stray-light", rtol=1e-10)
    y, _ = velmora.Corrector(model, target="stray-light", rtol=1e-10).correct(observed, return_info=True)
    ref = np.linalg.solve(A, b)
    out["stray-light"] = {"seconds": seconds, "iterations": info["iterations"][0], "residual": info["residual"][0],
                          "error": float(np.abs(velmora.image_to_vector(y[0]) - ref).max() / np.abs(ref).max())}
    for pc in ("kernel", None):
        seconds, info = solve(model, observed, args.repeat, rtol=1e-10, preconditioner=pc, restart=100)
        x = velmora.Corrector(model, rtol=1e-10, preconditioner=pc, restart=100, on_failure="ignore").correct(observed)
        ref = np.linalg.solve(T, b)
        out[f"scene-{pc}"] = {"seconds": seconds, "iterations": info["iterations"][0],
                              "residual": info["residual"][0],
                              "error": float(np.abs(velmora.image_to_vector(x[0]) - ref).max() / np.abs(ref).max())}
    return out


def case_full(args):
    ins, model, construction = blurred_model(1000, 256, 1, args.threads, repeat=max(3, args.repeat))
    truth, observed = frames(model, 8)
    one = observed[0]
    apply_s, _ = best(lambda: model.apply(truth[0]), max(10, args.repeat))
    # The same product on one thread: how far a second core speeds up a frame's product.
    _, single, _ = blurred_model(1000, 256, 1, 1)
    apply_1, _ = best(lambda: single.apply(truth[0]), max(10, args.repeat))
    out = {"F": ins.windows.F, "terms": model.terms, "construction": construction, "apply": apply_s,
           "apply-1": apply_1}
    seconds, info = solve(model, one, args.repeat, target="stray-light", rtol=1e-6)
    out["stray-light"] = {"seconds": seconds, "iterations": info["iterations"][0], "residual": info["residual"][0]}
    alone = sum(solve(model, observed[k], 1, target="stray-light", rtol=1e-6)[0] for k in range(8))
    together, info = solve(model, observed, 1, target="stray-light", rtol=1e-6)
    out["stack"] = {"alone": alone, "together": together, "iterations": info["iterations"]}
    for pc in ("kernel", None):
        seconds, info = solve(model, one, 1, rtol=1e-6, preconditioner=pc, maxiter=100)
        out[f"scene-{pc}"] = {"seconds": seconds, "iterations": info["iterations"][0],
                              "residual": info["residual"][0]}
    return out


def case_binned(args):
    ins, model, construction = blurred_model(256, 256, 2, args.threads, repeat=max(3, args.repeat))
    _, observed = frames(model, 1)
    out = {"F": ins.windows.F, "terms": model.terms, "construction": construction}
    for pc, restart in (("kernel", 50), ("kernel", 200), (None, 50)):
        seconds, info = solve(model, observed, 1, rtol=1e-10, preconditioner=pc, maxiter=600, restart=restart)
        out[f"scene-{pc}" + ("" if restart == 50 else f"-restart{restart}")] = {
            "seconds": seconds, "iterations": info["iterations"][0], "residual": info["residual"][0]}
    return out


def narrow_script(threads):
    """The narrow-PSF correction of bench_model.py, as a script any installed velmora runs."""
    return f"""
import sys, time, json, numpy as np
sys.path.insert(0, {HERE!r})
import velmora
from bench_model import synthetic_instrument
w, psfs = synthetic_instrument(256, 256, 2)
model = velmora.forward_model(w, psfs, threads={threads})
rng = np.random.default_rng(0)
scene = rng.uniform(1, 2, w.l1c_image_shape)
observed = model.apply(scene)
c = velmora.Corrector(model, rtol=1e-10)
t = time.perf_counter(); x = c.correct(observed); s = time.perf_counter() - t
info = c.last_info
print(json.dumps({{"seconds": s, "iterations": info["iterations"][0], "residual": info["residual"][0],
                  "error": float(np.abs(x - scene).max() / np.abs(scene).max())}}))
"""


def case_narrow(args):
    out = {}
    for who, python in (("now", sys.executable), ("before", args.before)):
        if not python:
            continue
        runs = []
        for _ in range(args.repeat):
            runs.append(child_json([python, "-c", narrow_script(args.threads)], f"narrow-PSF correction ({who})",
                                   cwd="/", timeout=3600))
        out[who] = min(runs, key=lambda r: r["seconds"])
    return out


def child(name, args):
    warnings.simplefilter("ignore")
    run = {"blurred-48x32": case_small, "blurred-1000x256": case_full, "blurred-256x256-bin2": case_binned,
           "narrow-256x256-bin2": case_narrow}[name]
    out = run(args)
    out["peak_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(out))


def fmt_solve(r):
    return f"{r['seconds']:.2f} s ({r['iterations']} it, {r['residual']:.1e})"


def case_rows(name, r):
    """The (figure, value) rows of one case's results."""
    rows = []
    if name == "blurred-48x32":
        rows.append(("stray-light 1e-10 vs dense", f"{fmt_solve(r['stray-light'])}, error {r['stray-light']['error']:.1e}"))
        for pc in ("kernel", "None"):
            rows.append((f"scene 1e-10, {pc}", f"{fmt_solve(r['scene-' + pc])}, error {r['scene-' + pc]['error']:.1e}"))
    elif name == "blurred-1000x256":
        rows += [("construction", f"{r['construction']:.2f} s"),
                 ("one apply (on 1 thread)", f"{r['apply']:.3f} s" + (f" ({r['apply-1']:.3f} s)" if "apply-1" in r else "")),
                 ("stray-light 1e-6, one frame", fmt_solve(r["stray-light"])),
                 ("stack of 8: together / one at a time",
                  f"{r['stack']['together']:.2f} s / {r['stack']['alone']:.2f} s "
                  f"({r['stack']['alone'] / r['stack']['together']:.2f}x the frames per second)")]
        for pc in ("kernel", "None"):
            rows.append((f"scene 1e-6, {pc} (at most 100 it)", fmt_solve(r["scene-" + pc])))
    elif name == "blurred-256x256-bin2":
        rows.append(("construction", f"{r['construction']:.2f} s"))
        for pc in ("kernel", "kernel-restart200", "None"):
            label = pc.replace("-restart200", ", restart=200")
            if "scene-" + pc in r:
                rows.append((f"scene 1e-10, {label} (at most 600 it)", fmt_solve(r["scene-" + pc])))
    else:
        for who in ("now", "before"):
            if who in r:
                rows.append((f"scene 1e-10 ({who})", f"{fmt_solve(r[who])}, scene error {r[who]['error']:.1e}"))
    rows.append(("peak RSS", f"{r['peak_rss_mb']:.0f} MB"))
    return rows


def table(results, args):
    before = any("before-run" in r for r in results.values())
    lines = ["| case | F | figure | result |" + (" before |" if before else ""),
             "|---|---|---|---|" + ("---|" if before else "")]
    for name, r in results.items():
        F = r.get("F", 65536)
        old = dict(case_rows(name, r["before-run"])) if "before-run" in r else {}
        for k, (fig, val) in enumerate(case_rows(name, r)):
            line = f"| {name if k == 0 else ''} | {F if k == 0 else ''} | {fig} | {val} |"
            lines.append(line + (f" {old.get(fig, '')} |" if before else ""))
    load = os.getloadavg()[0]
    lines += ["", f"Measured on {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
              f"{datetime.date.today()}, {args.threads} threads, best of {args.repeat} where repeated; "
              f"load average after the run {load:.1f} (shared machine)."]
    if before:
        lines.append("The column \"before\" is the previous version (`--before`), measured in the same run, "
                     "each case right after the current one.")
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--only", nargs="*", choices=CASES)
    p.add_argument("--before", help="python of the previous version, for the narrow-PSF figure")
    p.add_argument("--child", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        return child(args.child, args)
    results = {}
    for name in args.only or CASES:
        cmd = [sys.executable, __file__, "--child", name, "--threads", str(args.threads), "--repeat",
               str(args.repeat)] + (["--before", args.before] if args.before else [])
        results[name] = child_json(cmd, name)
        if args.before and name in BEFORE_CASES:
            # The same case through the previous version's public API, in the same run.
            results[name]["before-run"] = child_json([args.before, os.path.abspath(__file__)] + cmd[2:8],
                                                     f"{name} with the previous version", cwd="/")
        print(name, results[name], flush=True)
    text = table(results, args)
    print(text)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "bench_correct.md"), "w") as f:
        f.write(text + "\n")


if __name__ == "__main__":
    main()
