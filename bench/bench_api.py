#!/usr/bin/env python3
"""Benchmark of the matrix builds through the public API, against the time to fill the matrix.

Every case builds one matrix with :func:`velmora.infield_matrix` or :func:`velmora.stray_light_matrix`
in a fresh process, from valid inputs: 9 measured PSFs on a 3 x 3 grid, blended bilinearly (4
coefficients per pixel), with images at least as large as the detector window, the quadratic scheme and
the lower-edge correction (42 rows), no vignetting and steps of 1. In the same process it measures the
time to fill an already-touched float64 array of the matrix's size once (``numpy.ndarray.fill``) and
reports the best build into an already-touched output (``out=``) as a multiple of the best fill (both
repeated until they have taken a quarter of a second, at most 50 times, and at least ``--repeat`` times); it also gives the time
of one build that allocates its own output (whose first touch costs the page faults), the process's peak
resident size and, where the per-pixel build is affordable, the largest difference from it relative to
the matrix's largest element (the per-pixel build is chosen with ``VELMORA_KERNEL=per-pixel``; larger
cases are compared with the SSE2 kernels instead, which the C++ tests compare with the per-pixel build).

    python3 bench/bench_api.py [--repeat N] [--threads 1 2] [--F 1024 4096 16384] [--binning 1 2 4]
                               [--matrix infield stray] [--output FILE] [--label TEXT]

Writes a markdown table to bench/results/ (``--output``).
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
# Largest science window (Sx * Sy) for which the per-pixel build runs as the accuracy reference.
PER_PIXEL_LIMIT = 16384
MARGIN = 16  # detector columns beside the science window
ROWS_BELOW = 42  # lower-edge rows below the bottom edge
NOOF_SIDE = 64  # NOOF columns either side of the detector window
# Short builds and fills are repeated (beyond --repeat) until they have taken BUSY seconds, at most
# MAX_RUNS times: the best of a few runs of a millisecond is mostly noise.
BUSY = 0.25
MAX_RUNS = 50


def windows_for(F: int, B: int):
    import velmora

    K = int(round(np.sqrt(F)))
    if K * K != F:
        raise SystemExit(f"F = {F} is not a square number")
    S = K * B
    Dx, Dy = S + 2 * MARGIN, S + ROWS_BELOW + MARGIN
    NOOFx, NOOFy = Dx + 2 * NOOF_SIDE, Dy + 16
    return velmora.Windows(
        FULLCONVx=NOOFx, FULLCONVy=NOOFy, NOFSx=0, NOFSy=0, NOOFx=NOOFx, NOOFy=NOOFy,
        DOFSx=NOOF_SIDE, DOFSy=8, Dx=Dx, Dy=Dy, SOFSx=MARGIN, SOFSy=ROWS_BELOW, Sx=S, Sy=S,
        LBINx=1, LBINy=1, Lx=S, Ly=S, KBINx=B, KBINy=B, Kx=K, Ky=K,
    ).validate(rows_below=ROWS_BELOW)


def psf_images(nx: int, ny: int) -> tuple[np.ndarray, np.ndarray]:
    """9 PSFs of nx x ny samples: a core that widens across the field plus broad wings."""
    ox = np.arange(nx, dtype=np.float64) - nx // 2
    oy = np.arange(ny, dtype=np.float64) - ny // 2
    images = []
    for i in range(3):
        for j in range(3):
            sx, sy = 0.6 + 0.2 * i, 0.7 + 0.15 * j
            core = np.exp(-0.5 * (ox[:, None] / sx) ** 2 - 0.5 * (oy[None, :] / sy) ** 2)
            wings = (1.0 + (ox[:, None] / 7.0) ** 2 + (oy[None, :] / 6.0) ** 2) ** -1.6
            psf = 0.96 * core / core.sum() + 0.04 * wings / wings.sum()
            images.append(psf / psf.sum())
    centres = np.array([[ny // 2 + 0.5, nx // 2 + 0.5]] * 9)
    return np.stack(images), centres


def inputs(matrix: str, F: int, B: int):
    import velmora

    w = windows_for(F, B)
    images, centres = psf_images(w.Dx | 1, w.Dy | 1)  # odd sizes, at least the detector window
    if matrix == "infield":
        nodes_x, nodes_y = np.linspace(0, w.Dx - 1, 3), np.linspace(0, w.Dy - 1, 3)
        c, k = velmora.bilinear_tables(nodes_x, nodes_y, w.detector_table_shape)
        return w, velmora.PSFSet(images, centres, c, k).check(w, "detector")
    nodes_x = np.linspace(0, w.Dx - 1, 3) + w.DOFSx
    nodes_y = np.linspace(0, w.Dy - 1, 3) + w.DOFSy
    c, k = velmora.bilinear_tables(nodes_x, nodes_y, w.noof_table_shape)
    return w, velmora.PSFSet(images, centres, c, k).check(w, "noof")


def build(matrix: str, w, psfs, threads: int, out: np.ndarray | None = None) -> np.ndarray:
    import velmora

    if matrix == "infield":
        return velmora.infield_matrix(w, psfs, threads=threads, out=out)
    return velmora.stray_light_matrix(w, psfs, threads=threads, out=out)


def run_case(matrix: str, F: int, B: int, threads: int, repeat: int, compare: str | None) -> dict:
    """One case in this process: fill time, build times, peak memory, accuracy."""
    w, psfs = inputs(matrix, F, B)
    # The reference: filling an already-touched array of the output's size once.
    a = np.empty((F, F))
    a.fill(0.0)
    fills = []
    while len(fills) < max(repeat, 3) or (sum(fills) < BUSY and len(fills) < MAX_RUNS):
        t = time.perf_counter()
        a.fill(float(len(fills) + 1))
        fills.append(time.perf_counter() - t)
    del a
    # The builds write into one output array, already touched like the filled one; one more build
    # allocates its own output, as a call without ``out`` does (the page faults of a fresh array).
    out = np.zeros((F, F))
    out.fill(0.0)
    times = []
    while len(times) < repeat or (sum(times) < BUSY and len(times) < MAX_RUNS):
        t = time.perf_counter()
        build(matrix, w, psfs, threads, out)
        times.append(time.perf_counter() - t)
    del out
    t = time.perf_counter()
    out = build(matrix, w, psfs, threads)
    fresh = time.perf_counter() - t
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0  # MiB
    diff = None
    if compare is not None:
        saved = os.environ.get("VELMORA_KERNEL")
        os.environ["VELMORA_KERNEL"] = compare
        try:
            ref = build(matrix, w, psfs, threads)
        finally:
            if saved is None:
                del os.environ["VELMORA_KERNEL"]
            else:
                os.environ["VELMORA_KERNEL"] = saved
        scale = float(np.max(np.abs(ref)))
        diff = float(np.max(np.abs(out - ref))) / scale if scale > 0 else 0.0
    return {"fill": min(fills), "build": min(times), "fresh": fresh, "peak_mib": peak, "matrix_mib": F * F * 8 / 2**20,
            "diff": diff, "compare": compare}


def machine() -> str:
    model = platform.machine()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3,
                        help="builds per case at least (short ones run more often); the fastest counts")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--F", type=int, nargs="+", default=[1024, 4096, 16384])
    parser.add_argument("--binning", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--matrix", nargs="+", default=["infield", "stray"], choices=["infield", "stray"])
    parser.add_argument("--accuracy", choices=["auto", "none"], default="auto",
                        help="compare with the per-pixel build where affordable, else with the SSE2 kernels")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "bench_api.md"))
    parser.add_argument("--label", default="", help="a note for the table's heading (e.g. the commit)")
    parser.add_argument("--before", metavar="PYTHON",
                        help="also run every case with this interpreter (another installation of velmora, such "
                             "as the previous version) in the same run, and report the speed-up")
    parser.add_argument("--case", help=argparse.SUPPRESS)  # matrix,F,B,threads,compare: run one case
    args = parser.parse_args()

    if args.case:
        matrix, F, B, threads, compare = args.case.split(",")
        result = run_case(matrix, int(F), int(B), int(threads), args.repeat, compare or None)
        print(json.dumps(result))
        return

    rows = []
    header = ("| matrix | F | binning | threads | fill [ms] | build [ms] | build / fill | new output [ms] "
              "| peak RSS [MiB] | matrix [MiB] | max diff / max | compared with |")
    if args.before:
        header += " before [ms] | before / fill | speed-up |"
    ncol = header.count("|") - 1
    print(header)
    print("|" + "---|" * ncol)
    for matrix in args.matrix:
        for F in args.F:
            for B in args.binning:
                for threads in args.threads:
                    compare = None
                    if args.accuracy == "auto" and threads == max(args.threads):
                        compare = "per-pixel" if F * B * B <= PER_PIXEL_LIMIT else "sse2"
                    case = f"{matrix},{F},{B},{threads},{compare or ''}"
                    def child(python, case):
                        done = subprocess.run([python, __file__, "--case", case, "--repeat", str(args.repeat)],
                                              capture_output=True, text=True)
                        if done.returncode != 0:
                            sys.exit(f"case {case} failed with {python}:\n{done.stdout}{done.stderr}")
                        return json.loads(done.stdout.strip().splitlines()[-1])

                    if args.before:
                        b = child(args.before, f"{matrix},{F},{B},{threads},")
                    r = child(sys.executable, case)
                    diff = "" if r["diff"] is None else f"{r['diff']:.1e}"
                    row = (f"| {matrix} | {F} | {B} | {threads} | {r['fill'] * 1e3:.1f} | {r['build'] * 1e3:.1f} "
                           f"| {r['build'] / r['fill']:.2f} | {r['fresh'] * 1e3:.1f} | {r['peak_mib']:.0f} "
                           f"| {r['matrix_mib']:.0f} | {diff} "
                           f"| {r['compare'] or ''} |")
                    if args.before:
                        row += (f" {b['build'] * 1e3:.1f} | {b['build'] / b['fill']:.2f} "
                                f"| {b['build'] / r['build']:.1f}x |")
                    print(row, flush=True)
                    rows.append(row)
    load = os.getloadavg()
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    with open(args.output, "w") as f:
        f.write(f"# Matrix builds through the public API {args.label}\n\n")
        f.write(f"{machine()}; {datetime.date.today().isoformat()}; best of at least {args.repeat} builds per case "
                f"(short ones repeated for {BUSY} s, at most {MAX_RUNS} times), "
                f"each case in a fresh process; load average afterwards {load[0]:.1f}.\n\n")
        f.write(header + "\n|" + "---|" * ncol + "\n" + "\n".join(rows) + "\n")
    print(f"written to {args.output}")


if __name__ == "__main__":
    main()
