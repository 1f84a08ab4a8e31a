"""Scenarios run in a child process by test_concurrency.py: threads, signals, forks, logging and the
OpenMP settings of the calling thread around velmora's builds.

Each scenario prints one line ``RESULT <json>`` at its end; a crash, a hang (the parent's time limit)
or a missing line fails the test.
"""

from __future__ import annotations

import ctypes
import json
import logging
import multiprocessing
import os
import sys
import threading
import time

import numpy as np

import velmora


def long_instrument(kx: int = 64, ky: int = 48):
    """An instrument whose per-pixel in-field build takes a second or more: L1C kx x ky, 2 x 2 binning."""
    sx, sy = 2 * kx, 2 * ky
    w = velmora.Windows(FULLCONVx=sx + 64, FULLCONVy=sy + 80, NOFSx=16, NOFSy=8, NOOFx=sx + 48, NOOFy=sy + 64,
                        DOFSx=16, DOFSy=6, Dx=sx + 16, Dy=sy + 48, SOFSx=8, SOFSy=44, Sx=sx, Sy=sy,
                        LBINx=2, LBINy=1, Lx=kx, Ly=sy, KBINx=1, KBINy=2, Kx=kx, Ky=ky)
    nx, ny = w.Dx + 1, w.Dy + 1
    ox, oy = np.meshgrid(np.arange(nx) - nx // 2, np.arange(ny) - ny // 2, indexing="ij")
    images = np.stack([np.exp(-(ox ** 2 + oy ** 2) / s) + 1e-4 / (1.0 + (ox ** 2 + oy ** 2) / 50.0)
                       for s in (1.0, 2.0)])
    images /= images.sum(axis=(1, 2), keepdims=True)
    centres = np.array([[ny // 2 + 0.5, nx // 2 + 0.5]] * 2)
    c, i = velmora.bilinear_tables([0.0, float(w.Dx)], [float(w.Dy) / 2], w.detector_table_shape)
    return w, velmora.PSFSet(images, centres, c, i)


def small_instrument():
    w = velmora.Windows(FULLCONVx=24, FULLCONVy=24, NOFSx=2, NOFSy=1, NOOFx=20, NOOFy=18, DOFSx=4, DOFSy=2,
                        Dx=12, Dy=14, SOFSx=2, SOFSy=6, Sx=8, Sy=6, LBINx=2, LBINy=1, Lx=4, Ly=6,
                        KBINx=1, KBINy=2, Kx=4, Ky=3)
    ox, oy = np.meshgrid(np.arange(13) - 6.0, np.arange(15) - 7.0, indexing="ij")
    images = np.stack([np.exp(-(ox ** 2 + oy ** 2) / s) for s in (0.8, 1.2)])
    images /= images.sum(axis=(1, 2), keepdims=True)
    c, i = velmora.bilinear_tables([2.0, 9.0], [6.0], w.detector_table_shape)
    return w, velmora.PSFSet(images, np.array([[7.5, 6.5], [7.5, 6.5]]), c, i)


def result(**values):
    print("RESULT " + json.dumps(values), flush=True)


# --------------------------------------------------------------------------
def threads_with_different_options(calls: int = 2400):
    """Threads calling with different options get their own options' matrix, bitwise."""
    sys.setswitchinterval(1e-6)
    w, psfs = small_instrument()
    variants = [dict(scheme=s, lower_edge=e, rows_below=r, threads=1 + n % 2)
                for n, (s, e, r) in enumerate((s, e, r) for s in ("quadratic", "midpoint")
                                              for e, r in ((True, 6), (True, 3), (False, 6)))]
    solo = [velmora.infield_matrix(w, psfs, **v) for v in variants]
    assert len({m.tobytes() for m in solo}) == len(solo), "the variants must give different matrices"
    wrong = []

    def work(k):
        for n in range(calls // 8):
            v = (k + n) % len(variants)
            if not np.array_equal(velmora.infield_matrix(w, psfs, **variants[v]), solo[v]):
                wrong.append(v)

    pool = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    result(wrong=len(wrong), calls=calls)


def print_during_builds(builds: int = 300):
    """Another thread printing all the time: no crash, sys.stdout left as it was."""
    w, psfs = small_instrument()
    before = sys.stdout
    stop = threading.Event()

    def chatter():
        while not stop.is_set():
            print("chatter", flush=False)

    t = threading.Thread(target=chatter)
    t.start()
    for _ in range(builds):
        velmora.infield_matrix(w, psfs, threads=2)
    stop.set()
    t.join()
    result(same_stdout=sys.stdout is before)


def printing_log_handler():
    """A handler that prints each record (as rich's handler does) neither hangs nor loses a record."""
    seen = []

    class Printing(logging.Handler):
        def emit(self, record):
            print("handler:", record.getMessage())
            seen.append(record.getMessage())

    log = logging.getLogger("velmora")
    log.addHandler(Printing())
    log.setLevel(logging.INFO)
    w, psfs = small_instrument()
    velmora.infield_matrix(w, psfs, threads=2)
    result(records=len(seen), success=any("Successfuly generated" in s for s in seen))


def interrupted_build():
    """SIGINT during a long build: KeyboardInterrupt within a second, the output zeroed."""
    w, psfs = long_instrument()
    out = np.full((w.F, w.F), 7.0)
    started = []

    def progress(done, total):
        if not started:
            started.append(time.monotonic())
            print("STARTED", flush=True)

    t0 = time.monotonic()
    try:
        velmora.infield_matrix(w, psfs, path="per-pixel", threads=2, progress=progress, out=out)
    except KeyboardInterrupt:
        # CLOCK_MONOTONIC is the same clock in every process of the machine.
        result(interrupted=True, caught=time.monotonic(), zeroed=bool(np.all(out == 0.0)))
        return
    result(interrupted=False, seconds=time.monotonic() - t0)


def raising_callback():
    """An exception of the progress callback stops the build and is raised; no further call."""
    w, psfs = long_instrument(32, 24)
    calls = []

    def progress(done, total):
        calls.append(done)
        if len(calls) == 2:
            raise ValueError("enough")

    out = np.full((w.F, w.F), 7.0)
    velmora.infield_matrix(w, psfs, path="per-pixel", threads=2, out=out)  # threads, pages: warm for both
    full = time.monotonic()
    velmora.infield_matrix(w, psfs, path="per-pixel", threads=2, out=out)
    full_seconds = time.monotonic() - full
    out[...] = 7.0
    t0 = time.monotonic()
    try:
        velmora.infield_matrix(w, psfs, path="per-pixel", threads=2, progress=progress, out=out)
        raised = None
    except ValueError as exc:
        raised = str(exc)
    seconds = time.monotonic() - t0
    result(raised=raised, calls=len(calls), zeroed=bool(np.all(out == 0.0)), seconds=seconds,
           full_seconds=full_seconds)


def _child_build(k):
    w, psfs = small_instrument()
    return velmora.infield_matrix(w, psfs, threads=2, rows_below=3 + k % 3).tobytes()


def fork_after_build():
    """Workers forked after a multi-threaded build can build, and give the parent's matrices."""
    w, psfs = long_instrument(16, 12)
    velmora.infield_matrix(w, psfs, threads=2)
    expected = [_child_build(k) for k in range(6)]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        got = pool.map(_child_build, range(6))
    result(equal=got == expected)


def openmp_settings_untouched():
    """A build leaves the calling thread's OpenMP thread count and dynamic adjustment as they were."""
    gomp = ctypes.CDLL("libgomp.so.1")
    gomp.omp_set_num_threads(3)
    gomp.omp_set_dynamic(1)
    w, psfs = small_instrument()
    velmora.infield_matrix(w, psfs, threads=1)
    velmora.infield_matrix(w, psfs, threads=2)
    result(max_threads=gomp.omp_get_max_threads(), dynamic=gomp.omp_get_dynamic())


def sequential_builds_keep_one_team():
    """Builds one after another reuse the first build's thread and OpenMP team: no thread is added."""
    w, psfs = small_instrument()
    out = np.zeros((w.Kx * w.Ky, w.Kx * w.Ky))
    velmora.infield_matrix(w, psfs, threads=2, out=out)
    before = len(os.listdir("/proc/self/task"))
    for _ in range(300):
        velmora.infield_matrix(w, psfs, threads=2, out=out)
    result(added=len(os.listdir("/proc/self/task")) - before)


def ticker_runs_during_build():
    """The interpreter lock is free while a build works: a 10 ms ticker keeps ticking."""
    w, psfs = long_instrument()
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    t = threading.Thread(target=ticker)
    t.start()
    t0 = time.monotonic()
    velmora.infield_matrix(w, psfs, path="per-pixel", threads=2)
    seconds = time.monotonic() - t0
    stop.set()
    t.join()
    during = sum(t0 <= x <= t0 + seconds for x in ticks)
    result(seconds=seconds, ticks=during)


def model_products_in_threads(rounds: int = 40):
    """Threads applying one forward model (and its adjoint) to different frames get each frame's own
    product, bitwise; so does a copy of the model that went through pickle."""
    import pickle
    sys.setswitchinterval(1e-6)
    ins = velmora.blurred_instrument(40, 24, stray_columns=8)
    model = velmora.forward_model(ins.windows, ins.psfs, threads=1)
    frames = np.random.default_rng(1).uniform(0.0, 1.0, (6,) + ins.windows.l1c_image_shape)
    solo = [(model.apply(f), model.apply_adjoint(f)) for f in frames]
    wrong = []

    def work(k):
        for n in range(rounds):
            q = (k + n) % len(frames)
            if not (np.array_equal(model.apply(frames[q]), solo[q][0])
                    and np.array_equal(model.apply_adjoint(frames[q]), solo[q][1])):
                wrong.append(q)

    pool = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    copy = pickle.loads(pickle.dumps(model))
    result(wrong=len(wrong), pickled=bool(np.array_equal(copy.apply(frames[0]), solo[0][0])))


if __name__ == "__main__":
    globals()[sys.argv[1]]()
