#!/usr/bin/env python3
"""How long ``velmora build`` takes to stop after Ctrl-C, against the time of the whole build.

The instrument is the blurred instrument with L1C 128 x 96 (F = 12288): both matrices go to ``.npy``
files of 1.2 GB each. The command runs in its own process group and gets SIGINT as a terminal sends it
(to the whole group) at evenly spread moments of the build; the latency is the time from the signal to
the process's exit. The reference is the uninterrupted build, measured in the same run.

    python3 bench/bench_interrupt.py [--kx 128 --ky 96] [--points 12] [--repeat 2]
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import velmora

HERE = os.path.dirname(os.path.abspath(__file__))


def write_instrument(folder: str, kx: int, ky: int) -> str:
    """The inputs and configuration of the blurred instrument; returns the configuration's path."""
    inst = velmora.blurred_instrument(kx, ky, binning=1)
    arrays = {"images": inst.psfs.images, "centres": inst.psfs.centres, "coefficients": inst.psfs.coefficients,
              "indices": inst.psfs.indices, "noof_coefficients": inst.stray_psfs.coefficients,
              "noof_indices": inst.stray_psfs.indices, "vignetting": inst.vignetting}
    for name, array in arrays.items():
        np.save(os.path.join(folder, name + ".npy"), array)
    w = inst.windows
    lines = ["[windows]"] + [f"{k} = {getattr(w, k)}" for k in velmora.PARAMETER_NAMES]
    lines += ["[psfs]"] + [f'{k} = "{k}.npy"' for k in ("images", "centres", "coefficients", "indices")]
    lines += ["[infield]", 'output = "out/infield.npy"',
              "[stray_light]", 'output = "out/stray.npy"', 'coefficients = "noof_coefficients.npy"',
              'indices = "noof_indices.npy"', 'vignetting = "vignetting.npy"',
              f"source_step = {list(inst.source_step)}", f"sample_step = {list(inst.sample_step)}"]
    path = os.path.join(folder, "instrument.toml")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path


def run(config: str, delay: float | None) -> tuple[int, float, float]:
    """One build, interrupted ``delay`` s after it started (None: not at all): (status, seconds, latency)."""
    command = [sys.executable, "-m", "velmora", "build", config, "--overwrite", "--no-progress"]
    t0 = time.perf_counter()
    proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    latency = float("nan")
    if delay is not None:
        try:
            proc.wait(timeout=delay)
        except subprocess.TimeoutExpired:
            sent = time.perf_counter()
            os.killpg(proc.pid, signal.SIGINT)
            proc.wait()
            latency = time.perf_counter() - sent
    status = proc.wait()
    return status, time.perf_counter() - t0, latency


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kx", type=int, default=128)
    parser.add_argument("--ky", type=int, default=96)
    parser.add_argument("--points", type=int, default=12, help="moments of the build to interrupt at")
    parser.add_argument("--repeat", type=int, default=2, help="runs of the whole sweep")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.getcwd()) as folder:
        config = write_instrument(folder, args.kx, args.ky)
        whole = min(run(config, None)[1] for _ in range(2))
        latencies, seen = [], []
        for _ in range(args.repeat):
            for k in range(args.points):
                delay = 0.3 + (whole - 0.3) * k / args.points
                status, _, latency = run(config, delay)
                seen.append(f"{delay:.1f} s: {latency:.2f} s" if status == 130 else f"{delay:.1f} s: exit {status}")
                if status == 130:
                    latencies.append(latency)
                left = [name for name in os.listdir(os.path.join(folder, "out"))
                        if name not in ("infield.npy", "infield.npy.json", "stray.npy", "stray.npy.json")]
                assert not left, f"temporaries left behind: {left}"
    F = args.kx * args.ky
    rows = [f"| uninterrupted build (reference) | {whole:.2f} s |",
            f"| Ctrl-C to exit, median of {len(latencies)} | {statistics.median(latencies):.2f} s |",
            f"| Ctrl-C to exit, worst | {max(latencies):.2f} s |"]
    text = "\n".join([
        f"# Ctrl-C latency of velmora build (F = {F}, both matrices to .npy)", "",
        f"{datetime.date.today()}, {platform.machine()}, {os.cpu_count()} processors, Python "
        f"{platform.python_version()}; `python3 bench/bench_interrupt.py --kx {args.kx} --ky {args.ky} "
        f"--points {args.points} --repeat {args.repeat}`", "",
        "| | time |", "|---|---|", *rows, "",
        "Signal sent after: latency (or the exit status of a run that ended first): " + "; ".join(seen), ""])
    print(text)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "bench_interrupt.md"), "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
