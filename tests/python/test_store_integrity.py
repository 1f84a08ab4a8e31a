"""Zarr stores of matrices cannot pass for something else: damaged, edited or half-written stores are refused,
concurrent writers are kept apart, and plain Zarr arrays are read as what they are."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import velmora
from velmora import cli

dask = pytest.importorskip("dask")
zarr = pytest.importorskip("zarr")
vd = pytest.importorskip("velmora.distributed")
da = pytest.importorskip("dask.array")

TIMEOUT = 120


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


@pytest.fixture(scope="module")
def built(velmora_builtin):
    """The built-in in-field matrix (4 chunks of 6 L1C columns)."""
    ins = velmora_builtin
    return ins, velmora.infield_matrix(ins.windows, ins.psfs, threads=1)


def lazy(ins, **kwargs):
    return vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=6, **kwargs)


def edit_json(path, edit):
    meta = json.loads(path.read_text())
    edit(meta)
    path.write_text(json.dumps(meta))


def transpose_windows(meta):
    w = meta["attributes"]["velmora"]["windows"]
    w.update({k[:-1] + {"x": "y", "y": "x"}[k[-1]]: v for k, v in w.items()})


def flip_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x10
    path.write_bytes(bytes(data))


def swap(a, b):
    data = a.read_bytes()
    a.write_bytes(b.read_bytes())
    b.write_bytes(data)


DAMAGE = {
    "deleted chunk": (lambda p: (p / "matrix/c/1/0").unlink(), "chunk 1 .* does not have the SHA-256"),
    "swapped chunks": (lambda p: swap(p / "matrix/c/0/0", p / "matrix/c/2/0"), r"chunk [02] .* does not have"),
    "flipped byte": (lambda p: flip_byte(p / "matrix/c/3/0"), "chunk 3 "),
    "dtype": (lambda p: edit_json(p / "matrix/zarr.json", lambda m: m.update(data_type="int64")),
              "stored as int64, .* description says float64"),
    "windows transposed": (lambda p: edit_json(p / "zarr.json", transpose_windows), "windows are inconsistent"),
    "options edited": (lambda p: edit_json(p / "zarr.json", lambda m: m["attributes"]["velmora"]["options"].update(
        scheme="midpoint")), r"chunk \d .* does not have the SHA-256"),
    "digest array gone": (lambda p: edit_json(p / "sha256/zarr.json", lambda m: m.update(shape=[3, 32])),
                          "digests have the shape"),
}


@pytest.mark.parametrize("damage", sorted(DAMAGE))
def test_a_damaged_store_is_refused_by_every_reader(tmp_path, built, damage):
    ins, memory = built
    path = tmp_path / "m.zarr"
    vd.to_zarr(lazy(ins), path)
    assert vd.verify(path) == [] and cli.main(["check", str(path)]) == 0
    assert vd.open_matrix(path)[0].compute().tobytes() == memory.tobytes()
    make, why = DAMAGE[damage]
    make(path)
    assert cli.main(["check", str(path)]) == 2          # the command line verifies a store too
    problems = vd.verify(path)
    assert problems and all(str(path) in p for p in problems)
    assert any(re.search(why, p) for p in problems), problems
    with pytest.raises(velmora.InputFileError, match=f"{path}.*{why}"):
        vd.forward_operator(path) @ np.ones(ins.windows.F)


LOCKED = textwrap.dedent("""
    import os, sys, time
    import dask, velmora, velmora.distributed as vd
    path, started, go = sys.argv[1:]
    write = vd._store_block
    def held(*args):
        open(started, "w").close()  # the store is prepared: hold it until the test lets go
        while not os.path.exists(go):
            time.sleep(0.01)
        return write(*args)
    vd._store_block = held
    ins = velmora.builtin_instrument()
    with dask.config.set(scheduler="synchronous"):
        vd.to_zarr(vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=6), path, overwrite=True)
""")


def test_a_second_writer_is_refused_while_the_first_one_writes(tmp_path, built):
    ins, memory = built
    path, started, go = tmp_path / "m.zarr", tmp_path / "started", tmp_path / "go"
    first = subprocess.Popen([sys.executable, "-c", LOCKED, str(path), str(started), str(go)],
                             stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + TIMEOUT
        while not started.exists():
            assert first.poll() is None and time.monotonic() < deadline, first.stderr.read()
            time.sleep(0.01)
        with pytest.raises(velmora.InputFileError, match=f"{path} is being written by another process .*pid "
                                                         f"{first.pid}"):
            vd.to_zarr(lazy(ins, scheme="midpoint"), path, overwrite=True)
        go.touch()
        assert first.wait(TIMEOUT) == 0, first.stderr.read()
    finally:
        first.kill()
        first.wait(TIMEOUT)
    assert vd.verify(path) == [] and not (path / ".velmora-writer").exists()
    assert vd.open_matrix(path)[0].compute().tobytes() == memory.tobytes()
    assert vd.to_zarr(lazy(ins, scheme="midpoint"), path, overwrite=True).written == 4  # the lock is gone


def test_an_array_that_is_not_a_build_never_resumes_a_store(tmp_path):
    path = tmp_path / "m.zarr"
    ones = np.ones((12, 12))
    assert vd.to_zarr(da.from_array(ones, chunks=(4, 12)), path).written == 3
    with pytest.raises(ValueError, match="cannot be shown to be the array being written"):
        vd.to_zarr(da.from_array(2 * ones, chunks=(4, 12)), path)
    assert vd.to_zarr(da.from_array(2 * ones, chunks=(4, 12)), path, overwrite=True).written == 3
    assert vd.verify(path) == []
    np.testing.assert_array_equal(vd.open_matrix(path)[0].compute(), 2 * ones)


def test_a_plain_zarr_array_is_read_as_the_matrix_it_is(tmp_path, built):
    ins, memory = built
    path = tmp_path / "plain.zarr"
    da.from_array(memory, chunks=(100, 432)).to_zarr(str(path))
    matrix, description = vd.open_matrix(path)
    assert description is None and matrix.compute().tobytes() == memory.tobytes()
    x = np.random.default_rng(1).normal(size=ins.windows.F)
    op = vd.forward_operator(path, windows=ins.windows)
    np.testing.assert_allclose(op @ x, memory.T @ x, rtol=0, atol=1e-12 * np.abs(memory).sum(axis=0).max())
    assert op.windows == ins.windows and "plain Zarr array" in vd.verify(path)[0]
    group = zarr.open_group(str(tmp_path / "g.zarr"), mode="w")
    group.create_array("matrix", shape=(4, 4), dtype="float64")
    with pytest.raises(velmora.InputFileError, match="no 'velmora' description"):
        vd.open_matrix(tmp_path / "g.zarr")
    assert os.path.isdir(tmp_path / "g.zarr")
