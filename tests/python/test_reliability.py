"""Where the Dask scheduler of a build may come from, and the caller's ``out`` after a raising progress callback."""

from __future__ import annotations

import numpy as np
import pytest
import velmora
from test_cli import write_config
from velmora.cli import main

CONFIG_ADDRESS, OPTION_ADDRESS = "tcp://from-config:8786", "tcp://from-option:8786"


def zarr_config(tmp_path, velmora_small, address=None):
    """A configuration whose in-field matrix goes to a .zarr store, naming ``address`` in [dask] when given."""
    path = write_config(tmp_path, velmora_small, stray=False)
    text = path.read_text().replace('"out/infield.npy"', '"out/infield.zarr"')
    if address is not None:
        text += f'[dask]\nscheduler = "{address}"\n'
    path.write_text(text)
    return path


@pytest.fixture
def connections(monkeypatch):
    """The schedulers the command hands to velmora.distributed, which connects to none of them."""
    vd = pytest.importorskip("velmora.distributed")
    stores = pytest.importorskip("velmora.cli.stores")
    seen = []

    def write_zarr_outputs(jobs, *, scheduler=None, **kwargs):
        seen.append(scheduler)
        return [vd.StoreResult(job.output, 1, 1, 0, 0, 0.0) for job in jobs]

    monkeypatch.setattr(stores, "write_zarr_outputs", write_zarr_outputs)
    return seen


@pytest.mark.parametrize("command", ["build", "check", "python"])
def test_a_configuration_naming_a_scheduler_is_refused(tmp_path, velmora_small, connections, capsys, command):
    path = zarr_config(tmp_path, velmora_small, CONFIG_ADDRESS)
    if command == "python":
        with pytest.raises(velmora.PlanError, match=r"dask\.scheduler .*trust_scheduler=True"):
            velmora.load_plan(path)
    else:
        # --scheduler does not make the file's address acceptable: the file itself is refused.
        assert main([command, str(path), "--scheduler", OPTION_ADDRESS]) == 2
        err = capsys.readouterr().err
        assert CONFIG_ADDRESS in err and "runs code" in err and "--trust-config-scheduler" in err
    assert connections == [] and not (tmp_path / "out").exists()


@pytest.mark.parametrize("in_config, options, expected", [
    (None, ["--scheduler", OPTION_ADDRESS], OPTION_ADDRESS),
    (None, [], None),                                     # a local cluster of this machine
    (CONFIG_ADDRESS, ["--trust-config-scheduler"], CONFIG_ADDRESS),
    (CONFIG_ADDRESS, ["--trust-config-scheduler", "--scheduler", OPTION_ADDRESS], OPTION_ADDRESS),
])
def test_the_scheduler_comes_from_the_command_line_or_a_trusted_configuration(
        tmp_path, velmora_small, connections, in_config, options, expected):
    path = zarr_config(tmp_path, velmora_small, in_config)
    assert main(["check", str(path), *options]) == 0
    assert main(["build", str(path), "--no-progress", *options]) == 0
    assert connections == [expected]
    if in_config is not None:
        assert velmora.load_plan(path, trust_scheduler=True).dask.scheduler == in_config


@pytest.mark.parametrize("matrix", ["in-field", "stray-light"])
@pytest.mark.parametrize("failing", ["first", "last"])
@pytest.mark.parametrize("zeroed", [False, True])   # out_zeroed: an output of zeros, set back where written
def test_out_is_zeroed_when_the_progress_callback_raises_after_the_build(velmora_small, matrix, failing, zeroed):
    # Every row reports (done, total), then the build's closing call repeats (total, total): "first"
    # raises at the last row, when the native build has finished or is about to, "last" at the closing call.
    w, psfs, stray = velmora_small
    calls = []

    def progress(done, total):
        calls.append(done)
        if done == total and (failing == "first" or calls.count(total) == 2):
            raise RuntimeError("stop")

    out = np.zeros((w.F, w.F)) if zeroed else np.full((w.F, w.F), 7.0)
    build = velmora.infield_matrix if matrix == "in-field" else velmora.stray_light_matrix
    with pytest.raises(RuntimeError, match="stop"):
        build(w, psfs if matrix == "in-field" else stray, threads=1, progress=progress, out=out, out_zeroed=zeroed)
    assert not out.any()
    assert calls.count(calls[-1]) == (1 if failing == "first" else 2)   # no call after the raising one


def test_out_is_zeroed_when_a_successful_build_reported_errors(velmora_fake_module, velmora_small):
    w, psfs, _ = velmora_small
    velmora_fake_module.fill = 1.0
    velmora_fake_module.records.append((0, "a PSF look-up failed"))
    out = np.full((w.F, w.F), 7.0)
    with pytest.raises(velmora.BuildError, match="reported errors although it returned success"):
        velmora.infield_matrix(w, psfs, out=out)
    assert not out.any()


# ------------------------------------------------------------ stores in a run of the command
def store_and_file_config(tmp_path, velmora_small, store="out/infield.zarr"):
    """The in-field matrix to a .zarr store, the stray-light matrix to out/stray.npy."""
    path = write_config(tmp_path, velmora_small)
    path.write_text(path.read_text().replace('"out/infield.npy"', f'"{store}"'))
    return path


@pytest.mark.parametrize("command", ["check", "build"])
def test_a_store_that_cannot_be_written_is_refused_before_anything_is_built(
        tmp_path, velmora_small, capsys, command):
    pytest.importorskip("velmora.distributed")
    # /proc takes no new files, not even from root (for whom permission bits mean nothing).
    path = store_and_file_config(tmp_path, velmora_small, "/proc/velmora-test.zarr")
    assert main([command, str(path), "--no-progress"] if command == "build" else [command, str(path)]) == 2
    assert "cannot be written" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("failure, status, end", [
    (OSError(28, "No space left on device"), 1, "left incomplete: run the same command again to complete it"),
    (KeyboardInterrupt(), 130, "left incomplete: run the same command again to complete it"),
])
def test_files_are_put_in_place_only_after_the_stores(tmp_path, velmora_small, monkeypatch, capsys,
                                                      failure, status, end):
    stores = pytest.importorskip("velmora.cli.stores")

    def write_zarr_outputs(jobs, **kwargs):
        raise failure

    monkeypatch.setattr(stores, "write_zarr_outputs", write_zarr_outputs)
    path = store_and_file_config(tmp_path, velmora_small)
    assert main(["build", str(path), "--no-progress"]) == status
    err = capsys.readouterr().err
    assert f"no file was changed except {tmp_path / 'out' / 'infield.zarr'}, {end}" in err
    assert not (tmp_path / "out" / "stray.npy").exists()


_INTERRUPTED_STORE = r"""
import os, signal, subprocess, sys, time
proc = subprocess.Popen([sys.executable, "-m", "velmora", "build", sys.argv[1], "--no-progress"],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
line = ""
while "dask" not in line:                     # the cluster is starting: Ctrl-C at the terminal
    line = proc.stdout.readline()
    if not line:
        break
time.sleep(float(sys.argv[2]))
os.killpg(proc.pid, signal.SIGINT)            # what the terminal does: the whole process group
out, err = proc.communicate(timeout=60)
print(proc.returncode, "finished" if "chunks written" in line + out else "running")
print(err)
"""


@pytest.mark.parametrize("delay", [0.2, 2.0])
def test_ctrl_c_while_a_store_is_built_is_quiet_and_the_store_resumable(tmp_path, velmora_small, delay):
    pytest.importorskip("velmora.distributed")
    import subprocess
    import sys

    path = store_and_file_config(tmp_path, velmora_small)
    child = subprocess.run([sys.executable, "-c", _INTERRUPTED_STORE, str(path), str(delay)],
                           capture_output=True, text=True, timeout=240, cwd=tmp_path)
    first, _, err = child.stdout.partition("\n")
    status, stage = first.split()
    if stage == "finished":  # the small build was faster than the Ctrl-C: nothing to see
        pytest.skip("the build finished before the interrupt")
    assert status == "130", child.stdout
    assert "Traceback" not in err and "Exception" not in err, err
    assert "velmora: interrupted; no file was changed" in err.strip().splitlines()[-1]
    assert not (tmp_path / "out" / "stray.npy").exists()
    assert main(["build", str(path), "--no-progress"]) == 0
    assert main(["check", str(tmp_path / "out" / "infield.zarr")]) == 0


@pytest.mark.parametrize("matrix", ["in-field", "stray-light"])
def test_an_output_known_to_hold_zeros_gives_the_same_matrix(velmora_small, matrix):
    w, psfs, stray = velmora_small
    build = velmora.infield_matrix if matrix == "in-field" else velmora.stray_light_matrix
    kwargs = dict(threads=2, source_step=(2, 1)) if matrix == "stray-light" else dict(threads=2)
    expected = build(w, psfs if matrix == "in-field" else stray, out=np.full((w.F, w.F), 7.0), **kwargs)
    out = np.zeros((w.F, w.F))
    build(w, psfs if matrix == "in-field" else stray, out=out, out_zeroed=True, **kwargs)
    assert out.tobytes() == expected.tobytes()
