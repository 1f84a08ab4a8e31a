#!/usr/bin/env python3
"""Benchmark of the distributed builds: a matrix larger than any worker's memory, built on a Dask cluster and
stored in Zarr, beside the in-memory build of the same matrix measured in the same run.

For each matrix (in-field, stray-light) of an instrument with L1C 128 x 128 (F = 16384, a 2 GiB matrix):

* the reference: ``velmora.infield_matrix`` / ``velmora.stray_light_matrix`` building the whole matrix in
  memory, in a fresh process, with the cluster's total thread count; its time, and the rate at which it
  produces matrix bytes; the matrix is then saved (outside the timing) for the comparison;
* the distributed build: a ``LocalCluster`` of two worker processes with one thread and a memory limit of
  1 GiB each (less than half the matrix), building the matrix chunk by chunk into a Zarr store with
  ``velmora.distributed.to_zarr``; its time and the rate of matrix bytes written (uncompressed), the
  store's size on disk, the peak resident size of each worker and of this process, whether any worker was
  restarted, and whether the stored matrix equals the reference bitwise (compared chunk by chunk).

The table is printed and written to bench/results/bench_distributed.md.

    python3 bench/bench_distributed.py [--kx 128] [--ky 128] [--memory-limit 1GiB] [--chunk-bytes 128MiB]
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The in-memory reference build, in a fresh process: its time, then the matrix saved for the comparison.
REFERENCE = """
import json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
from bench_distributed import instrument, build_kwargs
import velmora
kx, ky, matrix, threads, path = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5]), sys.argv[6]
windows, psfs, stray_psfs, vignetting = instrument(kx, ky)
builder, args, kwargs = build_kwargs(velmora, matrix, windows, psfs, stray_psfs, vignetting)
t0 = time.perf_counter()
result = builder(*args, threads=threads, **kwargs)
seconds = time.perf_counter() - t0
np.save(path, result)
print("RESULT " + json.dumps({"seconds": seconds, "bytes": result.nbytes}))
"""


def instrument(kx, ky):
    """Windows and PSFs of a TORVEN-like instrument with an L1C image of kx x ky pixels (binning 1 x 1).

    Nine measured PSFs (light within 81 x 81 samples) on a 3 x 3 grid, blended bilinearly; 42 detector rows
    below the science window for the lower-edge correction; 64 NOOF columns on either side of the science
    window.
    """
    import velmora

    sofs, dofs = (8, 42), (56, 4)
    d = (sofs[0] + kx + 8, sofs[1] + ky + 8)
    noof = (dofs[0] + d[0] + 56, dofs[1] + d[1] + 4)
    windows = velmora.Windows(FULLCONVx=noof[0], FULLCONVy=noof[1], NOFSx=0, NOFSy=0, NOOFx=noof[0],
                              NOOFy=noof[1], DOFSx=dofs[0], DOFSy=dofs[1], Dx=d[0], Dy=d[1], SOFSx=sofs[0],
                              SOFSy=sofs[1], Sx=kx, Sy=ky, LBINx=1, LBINy=1, Lx=kx, Ly=ky, KBINx=1, KBINy=1,
                              Kx=kx, Ky=ky).validate(rows_below=42)
    # The images cover the detector window (as the in-field build requires): a core and wings of about
    # 81 x 81 samples of light, padded with zeros.
    nx, ny = d[0] | 1, d[1] | 1
    ox, oy = np.arange(nx) - nx // 2, np.arange(ny) - ny // 2
    reach = (np.abs(ox[:, None]) <= 40) & (np.abs(oy[None, :]) <= 40)
    images = []
    for i in range(9):
        sx, sy = 0.9 + 0.1 * (i // 3), 1.0 + 0.1 * (i % 3)
        core = np.exp(-0.5 * ((ox[:, None] / sx) ** 2 + (oy[None, :] / sy) ** 2))
        wings = reach * (1.0 + (ox[:, None] / 8.0) ** 2 + (oy[None, :] / 7.0) ** 2) ** -1.5
        psf = 0.97 * core / core.sum() + 0.03 * wings / wings.sum()
        images.append(psf / psf.sum())
    centres = np.array([[ny // 2 + 0.5, nx // 2 + 0.5]] * 9)
    nodes_x = np.linspace(sofs[0], sofs[0] + kx, 3)
    nodes_y = np.linspace(sofs[1], sofs[1] + ky, 3)
    coefficients, indices = velmora.bilinear_tables(nodes_x, nodes_y, windows.detector_table_shape)
    psfs = velmora.PSFSet(np.stack(images), centres, coefficients, indices)
    noof_c, noof_i = velmora.bilinear_tables(nodes_x + dofs[0], nodes_y + dofs[1], windows.noof_table_shape)
    x = np.linspace(-1.0, 1.0, windows.NOOFx)
    y = np.linspace(-1.0, 1.0, windows.NOOFy)
    vignetting = 1.0 - 0.3 * x[None, :] ** 2 - 0.1 * y[:, None] ** 2
    return windows, psfs, psfs.with_tables(noof_c, noof_i), vignetting


def build_kwargs(module, matrix, windows, psfs, stray_psfs, vignetting):
    """The builder of ``module`` (velmora or velmora.distributed) and its arguments for one matrix."""
    if matrix == "in-field":
        return module.infield_matrix, (windows, psfs), {}
    return module.stray_light_matrix, (windows, stray_psfs), {"vignetting": vignetting}


def reference(kx, ky, matrix, threads, path):
    done = subprocess.run([sys.executable, "-c", REFERENCE, HERE, str(kx), str(ky), matrix, str(threads), path],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"the in-memory {matrix} build failed:\n{done.stdout}{done.stderr}")
    return json.loads([line for line in done.stdout.splitlines() if line.startswith("RESULT ")][-1][7:])


def peak_rss_mb():
    """This process's peak resident size (Linux: VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def folder_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def machine():
    model = platform.processor() or platform.machine()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return model, os.cpu_count()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kx", type=int, default=128, help="L1C columns")
    parser.add_argument("--ky", type=int, default=128, help="L1C rows")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-limit", default="1GiB", help="memory limit of each worker")
    parser.add_argument("--chunk-bytes", default="128MiB", help="largest chunk of the distributed build")
    parser.add_argument("--only", nargs="*", choices=["in-field", "stray-light"])
    parser.add_argument("--folder", default=None, help="where the stores go (default: a temporary folder)")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "bench_distributed.md"))
    args = parser.parse_args()

    import dask
    import zarr
    from dask.distributed import Client, LocalCluster

    import velmora
    import velmora.distributed as vd

    windows, psfs, stray_psfs, vignetting = instrument(args.kx, args.ky)
    F = windows.F
    model, cores = machine()
    load_before = os.getloadavg()
    header = ("| matrix | F | matrix [MiB] | in-memory build [s] | in-memory [MB/s] | workers x memory limit "
              "| chunks x [MiB] | distributed to Zarr [s] | written [MB/s] | store on disk [MiB] "
              "| peak RSS per worker [MiB] | peak RSS client [MiB] | workers restarted | bitwise equal |")
    rows = [header, "|" + "---|" * (header.count("|") - 1)]
    print(header)
    print(rows[1], flush=True)
    tmp = args.folder or tempfile.mkdtemp(prefix="velmora-bench-")
    try:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          memory_limit=args.memory_limit, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            limit = dask.utils.parse_bytes(args.memory_limit) if isinstance(args.memory_limit, str) \
                else int(args.memory_limit)
            client.run(_warm_up)
            for matrix in args.only or ["in-field", "stray-light"]:
                npy = os.path.join(tmp, "reference.npy")
                ref = reference(args.kx, args.ky, matrix, args.workers, npy)
                store = os.path.join(tmp, f"{matrix}.zarr")
                shutil.rmtree(store, ignore_errors=True)
                client.run(_reset_peak)
                _reset_peak()
                pids = client.run(os.getpid)
                builder, bargs, bkwargs = build_kwargs(vd, matrix, windows, psfs, stray_psfs, vignetting)
                lazy = builder(*bargs, chunk_bytes=args.chunk_bytes, **bkwargs)
                t0 = time.perf_counter()
                result = vd.to_zarr(lazy, store)
                seconds = time.perf_counter() - t0
                peaks = client.run(_peak_mb)
                client_peak = peak_rss_mb()
                restarted = sum(1 for w, p in client.run(os.getpid).items() if pids.get(w) != p) + \
                    (len(pids) - len(client.run(os.getpid)))
                # Bitwise comparison, one chunk at a time so that this process never holds the matrix.
                expected = np.load(npy, mmap_mode="r")
                stored = zarr.open_array(store, path="matrix", mode="r")
                step = result.bytes_written // result.chunks // (F * 8) or 1
                equal = all(np.array_equal(stored[r:r + step], expected[r:r + step]) for r in range(0, F, step))
                del expected
                os.remove(npy)
                mib = F * F * 8 / 2**20
                row = (f"| {matrix} | {F} | {mib:.0f} | {ref['seconds']:.2f} "
                       f"| {ref['bytes'] / ref['seconds'] / 1e6:.0f} "
                       f"| {args.workers} x {limit / 2**30:.1f} GiB "
                       f"| {result.chunks} x {lazy.chunks[0][0] * F * 8 / 2**20:.0f} | {seconds:.2f} "
                       f"| {result.bytes_written / seconds / 1e6:.0f} | {folder_bytes(store) / 2**20:.1f} "
                       f"| {', '.join(f'{p:.0f}' for p in peaks.values())} | {client_peak:.0f} "
                       f"| {restarted} | {'yes' if equal else 'NO'} |")
                rows.append(row)
                print(row, flush=True)
                shutil.rmtree(store, ignore_errors=True)
    finally:
        if args.folder is None:
            shutil.rmtree(tmp, ignore_errors=True)
    load_after = os.getloadavg()
    notes = [
        "",
        f"Measured {datetime.date.today().isoformat()} on {model}, {cores} cores, Linux {platform.release()}, "
        f"velmora {velmora.__version__}, dask {dask.__version__}, zarr {zarr.__version__}; "
        f"load average before and after: {load_before[0]:.2f}, {load_after[0]:.2f}.",
        f"In-memory: one build of the whole matrix with {args.workers} threads in a fresh process (the rate is "
        "matrix bytes per second). Distributed: a LocalCluster of "
        f"{args.workers} worker processes with 1 thread each, chunks of whole L1C columns of at most "
        f"{args.chunk_bytes}, each built with 1 thread and written to a local Zarr store (zstd, "
        "chunks of zeros not written); the rate is uncompressed matrix bytes written per second, "
        "cluster start-up excluded, graph construction and the completion marks included.",
        "Peak RSS is the peak resident size during the store of each worker process and of the client (this "
        "benchmark process, which only submits the work); the bitwise comparison with the in-memory build "
        "runs afterwards, one chunk at a time.",
    ]
    for line in notes:
        print(line)
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w") as f:
        f.write("\n".join(rows + notes) + "\n")
    print(f"written to {os.path.relpath(args.output, ROOT)}")


def _reset_peak():
    """Reset the peak resident size of this (worker) process (Linux: write 5 to clear_refs)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def _warm_up():
    """Import what the chunk tasks need, so that the first store does not pay for it."""
    import velmora.distributed  # noqa: F401


def _peak_mb():
    return peak_rss_mb()


if __name__ == "__main__":
    main()
