"""Matrices built on a Dask cluster of worker processes and stored in Zarr: equal to the in-memory builds,
surviving a killed worker and an interrupted store, and applied blockwise as the forward model."""

from __future__ import annotations

import os
import pickle
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import velmora

distributed = pytest.importorskip("dask.distributed")
zarr = pytest.importorskip("zarr")
vd = pytest.importorskip("velmora.distributed")
stores = pytest.importorskip("velmora.cli.stores")

TIMEOUT = 120


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def store(array, path, **kwargs):
    """to_zarr on the cluster, with a time limit."""
    return distributed.get_client().compute(vd.to_zarr(array, path, compute=False, **kwargs)).result(TIMEOUT)


def stored(path):
    matrix, description = vd.open_matrix(path)
    return distributed.get_client().compute(matrix).result(TIMEOUT), description


def builds(name, inputs, matrix, **chunking):
    """The in-memory build and the distributed one of the same matrix."""
    if name == "builtin":
        ins = inputs
        if matrix == "in-field":
            args, kwargs = (ins.windows, ins.psfs), {"scheme": "midpoint", "rows_below": 40}
        else:
            args, kwargs = (ins.windows, ins.stray_psfs), {"vignetting": ins.vignetting, "source_step": (2, 2),
                                                            "sample_step": (1, 2)}
    else:
        w, psfs, stray = inputs
        args, kwargs = ((w, psfs), {}) if matrix == "in-field" else ((w, stray), {"source_step": (1, 2)})
    memory = (velmora.infield_matrix if matrix == "in-field" else velmora.stray_light_matrix)(
        *args, threads=1, **kwargs)
    lazy = (vd.infield_matrix if matrix == "in-field" else vd.stray_light_matrix)(*args, **chunking, **kwargs)
    return memory, lazy


@pytest.mark.parametrize("name, matrix, chunking, nchunks", [
    ("builtin", "in-field", {"columns_per_chunk": 5}, 5),        # 24 columns: 4 of 5, one of 4
    ("builtin", "stray-light", {"columns_per_chunk": 7}, 4),
    ("small", "in-field", {"columns_per_chunk": 1}, 4),
    ("small", "stray-light", {"chunk_bytes": 2 * 3 * 12 * 8 + 7}, 2),  # two columns fit
    ("small", "in-field", {"columns_per_chunk": 99}, 1),
])
def test_stored_matrix_is_bitwise_the_in_memory_build(client, tmp_path, velmora_builtin, velmora_small, name,
                                                      matrix, chunking, nchunks):
    inputs = velmora_builtin if name == "builtin" else velmora_small
    memory, lazy = builds(name, inputs, matrix, **chunking)
    assert lazy.numblocks == (nchunks, 1)
    # The inputs are one node of the graph that every chunk shares, not a copy per chunk.
    graph = dict(lazy.__dask_graph__())
    inputs_size = len(pickle.dumps(next(v for k, v in graph.items() if "-inputs-" in str(k))))
    assert len(pickle.dumps(graph)) < inputs_size + 2000 * nchunks
    result = store(lazy, tmp_path / "m.zarr")
    assert (result.chunks, result.written, result.skipped) == (nchunks, nchunks, 0)
    got, description = stored(tmp_path / "m.zarr")
    assert got.tobytes() == memory.tobytes()
    windows = inputs.windows if name == "builtin" else inputs[0]
    psfs = (inputs.psfs if matrix == "in-field" else inputs.stray_psfs) if name == "builtin" else \
        inputs[1 if matrix == "in-field" else 2]
    assert description["matrix"] == matrix and description["velmora_version"] == velmora.__version__
    assert velmora.Windows.from_mapping(description["windows"]) == windows
    sha = description["inputs_sha256"]
    assert sha["psfs.coefficients"] == vd._sha256(psfs.coefficients)
    assert ("vignetting" in sha) == (name == "builtin" and matrix == "stray-light")


def test_a_worker_killed_during_the_build_loses_nothing(client, velmora_builtin):
    ins = velmora_builtin
    memory = velmora.infield_matrix(ins.windows, ins.psfs, threads=1)
    lazy = vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=1)
    persisted = client.persist(lazy)
    futures = distributed.futures_of(persisted)
    deadline = time.monotonic() + TIMEOUT
    while not any(f.done() for f in futures):
        assert time.monotonic() < deadline
        time.sleep(0.005)
    holders = {w for ws in client.who_has(futures).values() for w in ws}
    victim = sorted(holders)[0]
    lost = [f.key for f in futures if victim in client.who_has([f]).get(f.key, ())]
    pid = client.run(os.getpid, workers=[victim])[victim]
    os.kill(pid, signal.SIGKILL)
    got = client.compute(persisted).result(TIMEOUT)
    assert lost and got.tobytes() == memory.tobytes()
    client.wait_for_workers(2, timeout=TIMEOUT)


INTERRUPTED = textwrap.dedent("""
    import os, sys
    import dask, numpy as np, velmora, velmora.distributed as vd
    write, calls = vd._store_block, []
    def interrupted(block, target, index, row0, *rest):
        calls.append(index)
        if len(calls) == 4:  # the process dies half-way through its fourth chunk
            import zarr
            zarr.open_array(target, path="matrix", mode="r+")[row0:row0 + len(block)] = 7.0
            os._exit(17)
        return write(block, target, index, row0, *rest)
    vd._store_block = interrupted
    ins = velmora.builtin_instrument()
    with dask.config.set(scheduler="synchronous"):
        vd.to_zarr(vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=4), sys.argv[1])
""")


def test_an_interrupted_store_is_completed_by_a_second_run(client, tmp_path, velmora_builtin):
    path = tmp_path / "m.zarr"
    child = subprocess.run([sys.executable, "-c", INTERRUPTED, str(path)], capture_output=True, text=True,
                           timeout=TIMEOUT)
    assert child.returncode == 17, child.stderr[-3000:]
    with pytest.raises(ValueError, match="incomplete: 3 of 6 chunks"):
        vd.open_matrix(path)
    ins = velmora_builtin
    result = store(vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=4), path)
    assert (result.written, result.skipped) == (3, 3)
    assert stored(path)[0].tobytes() == velmora.infield_matrix(ins.windows, ins.psfs, threads=1).tobytes()
    again = store(vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=4), path)
    assert (again.written, again.skipped) == (0, 6)


def test_a_store_of_another_matrix_is_refused_unless_overwritten_and_other_files_always(client, tmp_path,
                                                                                        velmora_small):
    w, psfs, _ = velmora_small
    path = tmp_path / "m.zarr"
    store(vd.infield_matrix(w, psfs, columns_per_chunk=2), path)
    for other, differs in ((vd.infield_matrix(w, psfs, scheme="midpoint", columns_per_chunk=2), "options"),
                           (vd.infield_matrix(w, psfs, columns_per_chunk=1), "chunk")):
        with pytest.raises(ValueError, match=f"holds a different matrix .*{differs}"):
            vd.to_zarr(other, path)
    assert store(other, path, overwrite=True).written == 4
    assert stored(path)[1]["columns_per_chunk"] == 1
    folder = tmp_path / "notes"
    folder.mkdir()
    (folder / "keep.txt").write_text("mine")
    for overwrite in (False, True):
        with pytest.raises(ValueError, match="not a Zarr store: velmora does not replace it"):
            vd.to_zarr(other, folder, overwrite=overwrite)
    assert [p.name for p in folder.iterdir()] == ["keep.txt"]


def test_forward_operator_of_stores_applies_the_forward_model_blockwise(client, tmp_path, velmora_builtin):
    from scipy.sparse.linalg import gmres

    ins = velmora_builtin
    infield, lazy_in = builds("builtin", ins, "in-field", columns_per_chunk=5)
    stray, lazy_stray = builds("builtin", ins, "stray-light", columns_per_chunk=3)
    store(lazy_in, tmp_path / "in.zarr")
    op = vd.forward_operator(tmp_path / "in.zarr", lazy_stray)
    dense = velmora.forward_operator(infield, stray)
    assert op.shape == dense.shape and op.windows == ins.windows
    rng = np.random.default_rng(3)
    x, y = rng.normal(size=(2, ins.windows.F))
    scale = np.abs(dense).sum(axis=1).max() * np.abs(x).max()
    np.testing.assert_allclose(op @ x, dense @ x, rtol=0, atol=1e-13 * scale)
    np.testing.assert_allclose(op.H @ y, dense.T @ y, rtol=0, atol=1e-13 * scale)
    np.testing.assert_array_equal(op.diagonal(), np.diag(dense))
    scenes = np.stack([velmora.demo_scene(ins.windows)] * 2)
    observed = vd.observe(scenes, op)
    np.testing.assert_allclose(observed, velmora.observe(scenes, infield, stray), rtol=1e-13)
    with pytest.raises(ValueError, match="transposed"):
        op.apply(scenes[0].T)
    import dask
    with dask.config.set(scheduler="threads"):  # the solvers' products, without the cluster's latency
        true, info = gmres(op, dense @ x, rtol=1e-12, atol=0.0, restart=60, maxiter=20)
        corrected = velmora.Corrector(op, method="gmres", rtol=1e-12).correct(observed[0])
    assert info == 0 and np.max(np.abs(true - x)) < 1e-9 * np.abs(x).max()
    np.testing.assert_allclose(corrected, scenes[0], rtol=1e-9)


def test_velmora_imports_without_dask():
    code = ("import sys; sys.modules['dask'] = None; import velmora\n"
            "try:\n    import velmora.distributed\nexcept ImportError as e:\n    print(e)")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT)
    assert child.returncode == 0 and "pip install 'velmora[distributed]'" in child.stdout, child.stderr


def test_the_commands_stores_are_checked_before_any_is_written(client, tmp_path, velmora_small):
    w, psfs, stray = velmora_small
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "keep.txt").write_text("mine")
    jobs = [stores.ZarrJob("in-field", tmp_path / "in.zarr", w, psfs, {"scheme": "midpoint"}, attrs={"run": 1}),
            stores.ZarrJob("stray-light", tmp_path / "notes", w, stray, {"source_step": (1, 2)})]
    assert len(stores.zarr_output_problems(jobs)) == 1
    with pytest.raises(ValueError, match="the stray-light matrix: .*notes is a file or a folder of files"):
        stores.write_zarr_outputs(jobs, scheduler=client.scheduler.address)
    assert not (tmp_path / "in.zarr").exists()
    jobs[1] = stores.ZarrJob("stray-light", tmp_path / "sl.zarr", w, stray, {"source_step": (1, 2)})
    address = vd.scheduler_address(None, {"scheduler": client.scheduler.address})
    assert [r.written for r in stores.write_zarr_outputs(jobs, scheduler=address)] == [1, 1]
    infield = velmora.infield_matrix(w, psfs, scheme="midpoint")
    assert stored(tmp_path / "in.zarr")[0].tobytes() == infield.tobytes()
    stray_light = velmora.stray_light_matrix(w, stray, source_step=(1, 2))
    assert stored(tmp_path / "sl.zarr")[0].tobytes() == stray_light.tobytes()
    assert zarr.open_group(str(tmp_path / "in.zarr"), mode="r").attrs["run"] == 1


def test_the_command_writes_zarr_outputs_on_the_given_scheduler(client, tmp_path, velmora_small):
    from test_cli import write_config

    from velmora.cli import main

    path = write_config(tmp_path, velmora_small)
    text = path.read_text().replace('"out/infield.npy"', '"out/infield.zarr"')
    path.write_text(text)
    w, psfs, _ = velmora_small
    expected = velmora.infield_matrix(w, psfs, scheme="midpoint", rows_below=6)
    assert main(["build", str(path), "--no-progress", "--scheduler", client.scheduler.address]) == 0
    assert stored(tmp_path / "out" / "infield.zarr")[0].tobytes() == expected.tobytes()
    assert np.load(tmp_path / "out" / "stray.npy").shape == (w.F, w.F)
    # A second run completes nothing more and needs no --overwrite for the store (only for the .npy).
    assert main(["build", str(path), "--no-progress", "--overwrite", "--scheduler", client.scheduler.address]) == 0
    assert main(["check", str(path), "--scheduler", ""]) == 2
