"""velmora's builds in hostile programs: many threads with different options, other threads printing,
a printing log handler, Ctrl-C, a raising progress callback, fork, the caller's OpenMP settings and the
interpreter lock. Each case runs in a child process with a time limit (concurrency_worker.py)."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

WORKER = Path(__file__).with_name("concurrency_worker.py")


def run(scenario: str, timeout: float = 120.0) -> dict:
    proc = subprocess.run([sys.executable, str(WORKER), scenario], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, PYTHONFAULTHANDLER="1"))
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = [line for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
    assert lines, proc.stdout[-2000:] + proc.stderr[-2000:]
    return json.loads(lines[-1][len("RESULT "):])


def test_threads_with_different_options_get_their_own_matrices():
    assert run("threads_with_different_options", timeout=300) == {"wrong": 0, "calls": 2400}


def test_threads_sharing_a_forward_model_get_their_own_products():
    assert run("model_products_in_threads") == {"wrong": 0, "pickled": True}


@pytest.mark.parametrize("scenario, expected", [
    ("print_during_builds", {"same_stdout": True}),
    ("openmp_settings_untouched", {"max_threads": 3, "dynamic": 1}),
    ("fork_after_build", {"equal": True}),
    ("sequential_builds_keep_one_team", {"added": 0}),
])
def test_the_program_around_a_build_is_left_alone(scenario, expected):
    assert run(scenario) == expected


def test_a_printing_log_handler_gets_every_record():
    got = run("printing_log_handler", timeout=60)
    assert got["success"] and got["records"] >= 5


def test_the_interpreter_lock_is_free_during_a_build():
    got = run("ticker_runs_during_build")
    # A 10 ms ticker ticks about 100 times a second when it can run at all.
    assert got["ticks"] >= 0.3 * got["seconds"] / 0.01


def test_a_raising_progress_callback_stops_the_build():
    got = run("raising_callback")
    assert got["raised"] == "enough" and got["calls"] == 2 and got["zeroed"]
    assert got["seconds"] < got["full_seconds"]


def test_ctrl_c_interrupts_a_build_within_a_second():
    proc = subprocess.Popen([sys.executable, str(WORKER), "interrupted_build"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "STARTED"
        time.sleep(0.2)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    got = json.loads(out.strip().splitlines()[-1][len("RESULT "):])
    assert got["interrupted"] and got["zeroed"], err
    assert got["caught"] - sent < 1.0   # the build stopped and the exception reached Python
