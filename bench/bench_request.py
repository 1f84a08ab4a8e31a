#!/usr/bin/env python3
"""Cost of the per-call build request: velmora's builds against the same builds through _velmora_if.

The package builds through ``velmora._native``: one request per call, the GIL released, the build on a
thread of its own, records returned as data. ``_velmora_if`` runs the same core on the calling thread
with the interpreter lock held and prints its records. Both are timed here in the same run, on the same
inputs and thread counts (best of --repeat), for the built-in instrument and larger synthetic ones;
the table is printed and written to bench/results/bench_request.md.

    python3 bench/bench_request.py [--repeat N] [--threads N ...]
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import io
import os
import platform
import time

import numpy as np

import _velmora_if
import velmora

HERE = os.path.dirname(os.path.abspath(__file__))


def synthetic(kx: int, ky: int, binning: int = 2):
    """An instrument of kx x ky L1C pixels, binning x binning detector pixels each, 4 PSFs blended bilinearly."""
    sx, sy = binning * kx, binning * ky
    w = velmora.Windows(FULLCONVx=sx + 64, FULLCONVy=sy + 80, NOFSx=16, NOFSy=8, NOOFx=sx + 48, NOOFy=sy + 64,
                        DOFSx=16, DOFSy=6, Dx=sx + 16, Dy=sy + 48, SOFSx=8, SOFSy=44, Sx=sx, Sy=sy,
                        LBINx=binning, LBINy=1, Lx=kx, Ly=sy, KBINx=1, KBINy=binning, Kx=kx, Ky=ky)
    nx, ny = w.Dx + 1, w.Dy + 1
    ox, oy = np.meshgrid(np.arange(nx) - nx // 2, np.arange(ny) - ny // 2, indexing="ij")
    images = np.stack([np.exp(-(ox ** 2 + oy ** 2) / s) + 1e-4 / (1.0 + (ox ** 2 + oy ** 2) / 50.0)
                       for s in (1.0, 1.5, 2.0, 2.5)])
    images /= images.sum(axis=(1, 2), keepdims=True)
    centres = np.array([[ny // 2 + 0.5, nx // 2 + 0.5]] * 4)
    c, i = velmora.bilinear_tables([0.0, float(w.Dx)], [0.0, float(w.Dy)], w.detector_table_shape)
    return w, velmora.PSFSet(images, centres, c, i)


def best(run, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return min(times)


def module_build(w, psfs, threads: int):
    """The in-field build through _velmora_if, as velmora 0.1.0 made it (its printed lines discarded)."""
    out = np.zeros((w.F, w.F))
    _velmora_if.cimpl_set_numthreads(threads)
    with contextlib.redirect_stdout(io.StringIO()):
        ok = _velmora_if.cimpl_create_deconvolution(w.to_array(), psfs.images, psfs.centres, psfs.coefficients,
                                                    psfs.indices, out)
    assert ok
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()
    ins = velmora.builtin_instrument()
    cases = [("built-in, L1C 24 x 18, 2 x 2 binning", ins.windows, ins.psfs)]
    cases += [(f"synthetic, L1C {kx} x {ky}, 2 x 2 binning", *synthetic(kx, ky)) for kx, ky in ((64, 64), (96, 96))]
    rows = ["| case | F | threads | `_velmora_if` (ms) | `velmora.infield_matrix` (ms) | ratio |",
            "|---|---|---|---|---|---|"]
    for name, w, psfs in cases:
        for t in args.threads:
            np.testing.assert_array_equal(module_build(w, psfs, t), velmora.infield_matrix(w, psfs, threads=t))
            old = best(lambda: module_build(w, psfs, t), args.repeat)
            new = best(lambda: velmora.infield_matrix(w, psfs, threads=t), args.repeat)
            rows.append(f"| {name} | {w.F} | {t} | {old * 1e3:.2f} | {new * 1e3:.2f} | {new / old:.2f} |")
            print(rows[-1], flush=True)
    _velmora_if.cimpl_set_numthreads(0)
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    text = "\n".join([f"# The build request against _velmora_if ({stamp}, {platform.processor() or platform.machine()}, "
                      f"{os.cpu_count()} processors, best of {args.repeat})", ""] + rows) + "\n"
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "bench_request.md"), "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
