#!/usr/bin/env python3
"""Benchmark of the matrix builds: the fast builds against the per-pixel reference builds.

Builds the benchmark program (bench/CMakeLists.txt, linking the same core as the package), then runs
every configuration with the per-pixel reference build and with the fast build, each in a fresh
process with the same thread count, and prints one table row per configuration: F, science pixels,
coefficients per pixel, threads, both times (best of --repeat runs), their ratio, the peak memory of
each build, the rate of multiply-adds of the fast build and the largest difference between the two
matrices relative to the largest element. The table is also written to bench/results/.

    python3 bench/bench_builds.py [--threads N] [--repeat N] [--build-dir DIR] [--only NAME ...]
"""

import argparse
import datetime
import os
import platform
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def build(build_dir):
    subprocess.run(["cmake", "-S", HERE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "bench_builds"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bench_builds")


def run(program, config, which, threads, matrix=None):
    args = [program, config, which, str(threads)] + ([matrix] if matrix else [])
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(args)} failed:\n{done.stdout}{done.stderr}")
    values = dict(line.split("=", 1) for line in done.stdout.split() if "=" in line)
    return {k: (v if k in ("configuration", "build") else float(v)) for k, v in values.items()}


def best(program, config, which, threads, repeat, matrix):
    """Runs `repeat` times (the first one writes the matrix) and keeps the fastest run."""
    runs = [run(program, config, which, threads, matrix if i == 0 else None) for i in range(repeat)]
    return min(runs, key=lambda r: r["seconds"])


def machine():
    model = platform.processor() or platform.machine()
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    return model, os.cpu_count()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count(), help="threads of both builds")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each build; the fastest counts")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--only", nargs="*", help="configurations to run (default: all)")
    parser.add_argument("--output", default=os.path.join(HERE, "results", "bench_builds.md"))
    args = parser.parse_args()

    program = build(args.build_dir)
    configs = subprocess.run([program, "--list"], capture_output=True, text=True, check=True).stdout.split()
    if args.only:
        configs = [c for c in configs if c in args.only]
    model, cores = machine()
    load_before = os.getloadavg()

    header = ("| build | F | Sx·Sy | coeffs/pixel | threads | reference [s] | fast [s] | speed-up "
              "| peak RSS reference [MB] (build) | peak RSS fast [MB] (build) | fast multiply-adds [G/s] "
              "| max abs diff / max abs |")
    rows = [header, "|" + "---|" * (header.count("|") - 1)]
    print(header)
    print(rows[1])
    with tempfile.TemporaryDirectory() as tmp:
        for config in configs:
            mref, mfast = os.path.join(tmp, "reference.bin"), os.path.join(tmp, "fast.bin")
            ref = best(program, config, "reference", args.threads, args.repeat, mref)
            fast = best(program, config, "fast", args.threads, args.repeat, mfast)
            a, b = np.fromfile(mref), np.fromfile(mfast)
            scale = np.max(np.abs(a))
            diff = float(np.max(np.abs(a - b)) / scale) if scale > 0 else float(np.max(np.abs(b)))
            mb = lambda r, k: r[k] / 1024.0
            row = (f"| {config} | {int(fast['F'])} | {int(fast['science_pixels'])} | {int(fast['coefficients'])} "
                   f"| {int(fast['threads'])} | {ref['seconds']:.3f} | {fast['seconds']:.4f} "
                   f"| {ref['seconds'] / fast['seconds']:.1f}x "
                   f"| {mb(ref, 'peak_kb'):.0f} (+{mb(ref, 'peak_kb') - mb(ref, 'rss_before_kb'):.1f}) "
                   f"| {mb(fast, 'peak_kb'):.0f} (+{mb(fast, 'peak_kb') - mb(fast, 'rss_before_kb'):.1f}) "
                   f"| {fast['multiply_adds'] / fast['seconds'] / 1e9:.2f} | {diff:.1e} |")
            rows.append(row)
            print(row, flush=True)
            os.remove(mref)
            os.remove(mfast)
    load_after = os.getloadavg()

    notes = [
        "",
        f"Measured {datetime.date.today().isoformat()} on {model}, {cores} cores, Linux {platform.release()}; "
        f"{args.threads} threads for both builds, best of {args.repeat} runs each, every run in a fresh process.",
        f"Load average before and after: {load_before[0]:.2f}, {load_after[0]:.2f}.",
        "Peak RSS is the process's peak resident size during the build (inputs and the caller's output "
        "matrix included); (build) is what the build added to the resident size it started with.",
        "Multiply-adds count the fast build's table kernels (one per coefficient term and per output "
        "addition).",
    ]
    for line in notes:
        print(line)
    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, "w") as f:
        f.write("\n".join(rows + notes) + "\n")
    print(f"written to {os.path.relpath(args.output, ROOT)}")


if __name__ == "__main__":
    main()
