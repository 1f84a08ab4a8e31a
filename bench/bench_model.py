#!/usr/bin/env python3
"""Benchmark of the matrix-free forward model and the correction it serves.

Through the public API of the installed package (``pip install .`` first):

* one apply of ``velmora.forward_model`` against the dense product ``T @ v`` with the in-field
  matrix that ``velmora.infield_matrix`` builds from the same arguments, at F = 1024, 4096 and
  16384 (with the largest difference relative to ``max(|T| @ |v|)``);
* at F = 65536 (256 x 256 L1C pixels, 2 x 2 binning), where the dense matrix would take 32 GiB:
  the construction of the model, one apply, and a GMRES correction to the relative residual
  1e-10, beside one dense-free reference measured in the same run (an FFT of the L1C image
  padded to the model's grid, the floor of any FFT-based apply).

Every configuration runs in a fresh process, which reports its peak resident memory. The
instruments are synthetic: 9 measured PSFs on a 3 x 3 grid across the science window, blended
bilinearly (velmora.bilinear_tables), each an image at least as large as the detector window
with a narrow core, broad wings holding 4 % of the light and a faint ghost.

    python3 bench/bench_model.py [--threads N] [--repeat N] [--only NAME ...]
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

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))

CONFIGS = {
    # name: (Kx, Ky, binning, dense reference)
    "apply-32x32-bin2": (32, 32, 2, True),
    "apply-64x64-bin2": (64, 64, 2, True),
    "apply-128x128-bin2": (128, 128, 2, True),
    "correct-256x256-bin2": (256, 256, 2, False),
}


def synthetic_instrument(kx: int, ky: int, binning: int, rows_below: int = 42):
    """Windows and PSF set of a synthetic instrument with kx x ky L1C pixels of binning x binning.

    Parameters
    ----------
    kx, ky : int
        L1C pixels along x and y.
    binning : int
        Detector pixels per L1C pixel along each axis (all of it L1B-to-L1C binning).
    rows_below : int
        Detector rows below the science window (the lower-edge sources).

    Returns
    -------
    windows : velmora.Windows
    psfs : velmora.PSFSet
        9 PSFs on a 3 x 3 grid, tables over the detector window.
    """
    import velmora

    sx, sy = binning * kx, binning * ky
    sofsx, sofsy = 8, rows_below
    dx, dy = sx + 16, sy + rows_below + 8
    w = velmora.Windows(FULLCONVx=dx + 80, FULLCONVy=dy + 24, NOFSx=8, NOFSy=8, NOOFx=dx + 64, NOOFy=dy + 12,
                        DOFSx=32, DOFSy=6, Dx=dx, Dy=dy, SOFSx=sofsx, SOFSy=sofsy, Sx=sx, Sy=sy, LBINx=1,
                        LBINy=1, Lx=sx, Ly=sy, KBINx=binning, KBINy=binning, Kx=kx, Ky=ky).validate(
        rows_below=rows_below)
    nx, ny = dx + 1, dy + 1
    cx, cy = nx // 2, ny // 2
    ox = np.arange(nx, dtype=np.float64) - cx
    oy = np.arange(ny, dtype=np.float64) - cy
    images, nodes_x, nodes_y = [], sofsx + np.array([0.1, 0.5, 0.9]) * sx, sofsy + np.array([0.1, 0.5, 0.9]) * sy
    for i in range(3):
        for j in range(3):
            fx, fy = i - 1.0, j - 1.0
            sgx, sgy = 0.6 + 0.2 * abs(fx), 0.65 + 0.25 * abs(fy)
            core = np.outer(np.exp(-0.5 * (ox / sgx) ** 2), np.exp(-0.5 * (oy / sgy) ** 2))
            wings = (1.0 + (ox[:, None] / 7.0) ** 2 + (oy[None, :] / 6.0) ** 2) ** -1.6
            ghost = np.outer(np.exp(-0.5 * ((ox - 9 - 6 * fx) / 2.2) ** 2),
                             np.exp(-0.5 * ((oy + 7 - 5 * fy) / 1.8) ** 2))
            psf = 0.955 * core / core.sum() + 0.04 * wings / wings.sum() + 0.005 * ghost / ghost.sum()
            images.append(psf / psf.sum())
    centres = np.array([[cy + 0.5, cx + 0.5]] * 9)
    coefficients, indices = velmora.bilinear_tables(nodes_x, nodes_y, w.detector_table_shape)
    return w, velmora.PSFSet(np.stack(images), centres, coefficients, indices)


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def best_of(repeat: int, function):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - t0)
    return min(times), result


def child(name: str, threads: int, repeat: int) -> dict:
    """One configuration, in this process; returns its figures."""
    import velmora
    from scipy import fft as sfft

    kx, ky, binning, dense = CONFIGS[name]
    w, psfs = synthetic_instrument(kx, ky, binning)
    out = {"name": name, "F": w.F, "threads": threads, "binning": f"{binning}x{binning}"}
    start_mb = peak_mb()
    t0 = time.perf_counter()
    model = velmora.forward_model(w, psfs, threads=threads)
    out["construct_s"] = time.perf_counter() - t0
    out["terms"] = model.terms
    out["model_mb"] = model.nbytes / 2**20
    rng = np.random.default_rng(0)
    v = rng.standard_normal(w.F)
    model @ v  # warm-up
    out["apply_s"], got = best_of(repeat, lambda: model @ v)
    out["adjoint_s"], _ = best_of(repeat, lambda: model.H @ v)
    # The floor of an FFT apply: one real transform pair of the padded grid.
    grid = model._infield.Nx, model._infield.Ny
    image = rng.standard_normal((kx, ky))
    out["fft_pair_s"], _ = best_of(repeat, lambda: sfft.irfft2(sfft.rfft2(image, s=grid, workers=threads),
                                                               s=grid, workers=threads))
    if dense:
        t0 = time.perf_counter()
        matrix = velmora.infield_matrix(w, psfs, threads=threads)  # [s, r]: T = matrix.T
        out["dense_build_s"] = time.perf_counter() - t0
        T = matrix.T
        T @ v
        out["dense_apply_s"], ref = best_of(repeat, lambda: T @ v)
        out["rel_diff"] = float(np.max(np.abs(got - ref)) / np.max(np.abs(T) @ np.abs(v)))
        del matrix, T
    else:
        scene = velmora.demo_scene(w) if hasattr(velmora, "demo_scene") else rng.uniform(1, 2, (ky, kx))
        observed = model.apply(scene)
        corrector = velmora.Corrector(model, rtol=1e-10)
        t0 = time.perf_counter()
        corrected = corrector.correct(observed)
        out["correct_s"] = time.perf_counter() - t0
        out["iterations"] = corrector.last_info["iterations"][0]
        out["residual"] = corrector.last_info["residual"][0]
        out["scene_error"] = float(np.max(np.abs(corrected - scene)) / np.max(np.abs(scene)))
    out["peak_mb"] = peak_mb()
    out["start_mb"] = start_mb
    return out


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--repeat", type=int, default=3, help="runs of each timed step; the fastest counts")
    parser.add_argument("--only", nargs="*", help="configurations to run (default: all)")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "bench_model.md"))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.threads, args.repeat)))
        return
    names = [n for n in CONFIGS if not args.only or n in args.only]
    load = os.getloadavg()
    rows = []
    for name in names:
        done = subprocess.run([sys.executable, __file__, "--child", name, "--threads", str(args.threads),
                               "--repeat", str(args.repeat)], capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"{name} failed:\n{done.stdout}{done.stderr}")
        rows.append(json.loads(done.stdout.strip().splitlines()[-1]))
        print(rows[-1], file=sys.stderr)

    lines = ["| configuration | F | terms | threads | construction [s] | apply [s] | adjoint [s] "
             "| FFT pair [s] | dense apply [s] | apply / dense | correction [s] (iterations, residual) "
             "| peak RSS [MB] | model [MB] | max diff / max(abs(T) @ abs(v)) |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        dense = f"{r['dense_apply_s']:.4f}" if "dense_apply_s" in r else "(32 GiB matrix)"
        ratio = f"{r['apply_s'] / r['dense_apply_s']:.2f}" if "dense_apply_s" in r else "-"
        corr = (f"{r['correct_s']:.2f} ({r['iterations']}, {r['residual']:.1e})" if "correct_s" in r else "-")
        diff = f"{r['rel_diff']:.1e}" if "rel_diff" in r else f"scene error {r['scene_error']:.1e}"
        lines.append(f"| {r['name']} | {r['F']} | {r['terms']} | {r['threads']} | {r['construct_s']:.2f} "
                     f"| {r['apply_s']:.4f} | {r['adjoint_s']:.4f} | {r['fft_pair_s']:.4f} | {dense} | {ratio} "
                     f"| {corr} | {r['peak_mb']:.0f} | {r['model_mb']:.0f} | {diff} |")
    note = (f"\nMeasured on {machine()}, {datetime.date.today().isoformat()}, load average before the run "
            f"{load[0]:.1f} (shared machine). Times are the best of {args.repeat} runs; peak RSS is the "
            "child process's peak resident size, the dense matrix included where there is one.\n")
    text = "\n".join(lines) + "\n" + note
    print(text)
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
