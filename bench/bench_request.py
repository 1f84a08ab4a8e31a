#!/usr/bin/env python3
"""Cost of the per-call build request: velmora's builds now against velmora's builds before it.

Before the request, ``velmora.infield_matrix`` and ``velmora.stray_light_matrix`` drove the process-wide
settings of ``_velmora_if`` and read its printed lines back; now each call is one native request with the
interpreter lock released and its records returned as data. Give the interpreter of an installation of
the earlier velmora with ``--before PYTHON``; without it the builds are compared with the same builds
made through ``_velmora_if`` directly. Every case runs in fresh processes of both, alternately, through
the public API (best of --repeat calls each); the table is printed and written to
bench/results/bench_request.md.

    python3 bench/bench_request.py [--before PYTHON] [--repeat N] [--threads N ...]
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs in each measuring process: builds one case `repeat` times and prints the best time.
_MEASURE = r"""
import json, sys, time
import numpy as np
import velmora

kind, kx, ky, threads, repeat, direct = json.loads(sys.argv[1])

def synthetic(kx, ky, b=2):
    sx, sy = b * kx, b * ky
    w = velmora.Windows(FULLCONVx=sx + 64, FULLCONVy=sy + 80, NOFSx=16, NOFSy=8, NOOFx=sx + 48, NOOFy=sy + 64,
                        DOFSx=16, DOFSy=6, Dx=sx + 16, Dy=sy + 48, SOFSx=8, SOFSy=44, Sx=sx, Sy=sy,
                        LBINx=b, LBINy=1, Lx=kx, Ly=sy, KBINx=1, KBINy=b, Kx=kx, Ky=ky)
    nx, ny = w.NOOFx + 1, w.NOOFy + 1
    ox, oy = np.meshgrid(np.arange(nx) - nx // 2, np.arange(ny) - ny // 2, indexing="ij")
    images = np.stack([np.exp(-(ox ** 2 + oy ** 2) / s) + 1e-4 / (1.0 + (ox ** 2 + oy ** 2) / 50.0)
                       for s in (1.0, 1.5, 2.0, 2.5)])
    images /= images.sum(axis=(1, 2), keepdims=True)
    centres = np.array([[ny // 2 + 0.5, nx // 2 + 0.5]] * 4)
    c, i = velmora.bilinear_tables([0.0, float(w.Dx)], [0.0, float(w.Dy)], w.detector_table_shape)
    n, m = velmora.bilinear_tables([float(w.DOFSx), float(w.DOFSx + w.Dx)], [float(w.DOFSy), float(w.DOFSy + w.Dy)],
                                   w.noof_table_shape)
    psfs = velmora.PSFSet(images, centres, c, i)
    return w, psfs, psfs.with_tables(n, m), None

if kx == 0:
    ins = velmora.builtin_instrument()
    w, psfs, stray, vig = ins.windows, ins.psfs, ins.stray_psfs, ins.vignetting
else:
    w, psfs, stray, vig = synthetic(kx, ky)

if direct:
    import contextlib, io
    import _velmora_if as mod
    mod.cimpl_set_numthreads(threads)
    def build():
        out = np.zeros((w.F, w.F))
        with contextlib.redirect_stdout(io.StringIO()):
            if kind == "in-field":
                ok = mod.cimpl_create_deconvolution(w.to_array(), psfs.images, psfs.centres, psfs.coefficients,
                                                    psfs.indices, out)
            else:
                v = np.zeros((0, 0)) if vig is None else np.ascontiguousarray(vig).reshape(w.NOOFx, w.NOOFy)
                ok = mod.cimpl_create_horizontal_stray_light_matrix(
                    w.to_array(), v, stray.images, stray.centres, stray.coefficients, stray.indices, out, 2, 2, 1, 1)
        assert ok
        return out
elif kind == "in-field":
    build = lambda: velmora.infield_matrix(w, psfs, rows_below=42, threads=threads)
else:
    build = lambda: velmora.stray_light_matrix(w, stray, vignetting=vig, source_step=(2, 2), threads=threads)

build()
times = []
for _ in range(repeat):
    t0 = time.perf_counter()
    build()
    times.append(time.perf_counter() - t0)
print(json.dumps({"F": w.F, "seconds": min(times)}))
"""


def measure(python: str, case: list) -> dict:
    done = subprocess.run([python, "-c", _MEASURE, json.dumps(case)], capture_output=True, text=True, cwd="/")
    if done.returncode != 0:
        sys.exit(f"{python}: {case} failed:\n{done.stdout}{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="interpreter of an installation of the earlier velmora")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()
    before = args.before or sys.executable
    label = "velmora before the request" if args.before else "`_velmora_if` directly"
    sizes = [("built-in, L1C 24 x 18", 0, 0), ("L1C 64 x 64", 64, 64), ("L1C 128 x 64", 128, 64)]
    rows = [f"| matrix | case (2 x 2 binning) | F | threads | {label} (ms) | now (ms) | now / before |",
            "|---|---|---|---|---|---|---|"]
    for kind in ("in-field", "stray-light"):
        for name, kx, ky in sizes:
            for t in args.threads:
                old = measure(before, [kind, kx, ky, t, args.repeat, not args.before])
                new = measure(sys.executable, [kind, kx, ky, t, args.repeat, False])
                rows.append(f"| {kind} | {name} | {new['F']} | {t} | {old['seconds'] * 1e3:.2f} | "
                            f"{new['seconds'] * 1e3:.2f} | {new['seconds'] / old['seconds']:.2f} |")
                print(rows[-1], flush=True)
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    head = (f"# velmora's builds now against {label} ({stamp}, {platform.machine()}, {os.cpu_count()} processors, "
            f"best of {args.repeat} calls in fresh processes)")
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "bench_request.md"), "w", encoding="utf-8") as f:
        f.write("\n".join([head, ""] + rows) + "\n")


if __name__ == "__main__":
    main()
