"""Crafted input files are refused with InputFileError before anything is allocated or used.

Readers that might crash, block or fill memory on such a file run in a child process with a time limit
and at most 2 GiB of address space (outside the sanitized run).
"""

import io
import os
import resource
import subprocess
import sys
import zipfile

import numpy as np
import pytest

import velmora

h5py = pytest.importorskip("h5py")
h5netcdf = pytest.importorskip("h5netcdf")
pytest.importorskip("xarray")

CHILD = """
import sys, numpy as np, velmora
try:
    out = getattr(velmora, sys.argv[1])(*sys.argv[2:])
    if sys.argv[1] == "load_matrix":
        print("used", np.sum(out.matrix @ np.ones(out.matrix.shape[1])), out.matrix.toarray().sum())
except velmora.InputFileError as exc:
    print("InputFileError:", exc)
"""


def in_child(*args, timeout=60):
    """What a fresh interpreter prints calling ``velmora.<args[0]>(*args[1:])``."""
    def limit():
        # AddressSanitizer reserves terabytes of address space: the sanitized run keeps its own limits.
        if not os.environ.get("VELMORA_SANITIZED"):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

    try:
        run = subprocess.run([sys.executable, "-c", CHILD, *map(str, args)], capture_output=True, text=True,
                             timeout=timeout, preexec_fn=limit, check=False)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{args} still blocked after {timeout} s")
    assert run.returncode == 0, f"{args}: exit status {run.returncode}\n{run.stderr[-2000:]}"
    return run.stdout


def npy_bytes(array=None, header=None):
    out = io.BytesIO()
    if header is None:
        np.save(out, array, allow_pickle=False)
    else:
        np.lib.format.write_array_header_1_0(out, header)
        out.write(bytes(64))
    return out.getvalue()


def csr_npz(path, **changes):
    arrays = {"format": npy_bytes(np.array("csr")), "shape": npy_bytes(np.array([4, 4])),
              "data": npy_bytes(np.arange(1.0, 6.0)), "indices": npy_bytes(np.array([0, 3, 1, 2, 3], np.int32)),
              "indptr": npy_bytes(np.array([0, 2, 2, 3, 5], np.int32))}
    arrays.update({k: npy_bytes(v) if isinstance(v, np.ndarray) else v for k, v in changes.items()})
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for key, raw in arrays.items():
            archive.writestr(key + ".npy", raw)


@pytest.mark.parametrize("changes, message", [
    ({"indices": np.array([0, 3, 1, 2, 1 << 20], np.int32)}, "column"),
    ({"indices": np.array([0, -5, 1, 2, 3], np.int32)}, "column"),
    ({"indptr": np.array([0, 4, 2, 3, 5], np.int32)}, "decrease"),
    ({"indptr": np.array([0, 2, 2, 3, 4], np.int32)}, "end at"),
    ({"data": npy_bytes(header={"descr": "<f8", "fortran_order": False, "shape": (10 ** 10,)})}, "claims"),
    ({"data": np.array(["a", "b", "c", "d", "e"])}, "not real numbers"),
])
def test_crafted_compact_matrix_is_refused(tmp_path, changes, message):
    csr_npz(tmp_path / "ok.npz")
    assert "used 15.0 15.0" in in_child("load_matrix", tmp_path / "ok.npz")
    csr_npz(tmp_path / "m.npz", **changes)
    out = in_child("load_matrix", tmp_path / "m.npz")
    assert out.startswith("InputFileError:") and message in out and "m.npz" in out


@pytest.mark.parametrize("array, message", [
    *[(np.zeros((3, 3), dtype), "not real numbers") for dtype in ("<U3", "c16", "M8[s]", "f8,i4")],
    (np.eye(3, dtype=bool), "not real numbers"), (np.zeros((3, 4)), "not square"), (np.zeros(9), "not square")])
def test_npy_matrix_is_a_square_array_of_real_numbers(tmp_path, array, message):
    np.save(tmp_path / "m.npy", array)
    with pytest.raises(velmora.InputFileError, match=f"m.npy.*{message}"):
        velmora.load_matrix(tmp_path / "m.npy")
    if array.dtype.kind not in "bf":   # inputs may be booleans (a mask) of any shape
        with pytest.raises(velmora.InputFileError, match="m.npy.*not real numbers"):
            velmora.read_array(tmp_path / "m.npy")


@pytest.mark.parametrize("function, name, key", [("read_array", "a.npy", ""), ("read_array", "a.h5", "x"),
                                                 ("load_matrix", "m.nc", ""), ("load_matrix", "m.npz", "")])
def test_a_fifo_is_refused_without_blocking(tmp_path, function, name, key):
    os.mkfifo(tmp_path / name)
    out = in_child(function, tmp_path / name, *([key] if key else []), timeout=30)
    assert out.startswith("InputFileError:") and f"{name} is a FIFO, not a regular file" in out


def hdf5_reaching_out(tmp_path, how):
    """An HDF5 file whose variable 'grp/x' takes its values from the file 'secret'."""
    secret = np.arange(4.0)
    secret.tofile(tmp_path / "secret")
    with h5py.File(tmp_path / "secret.h5", "w") as f:
        f["grp/x"] = secret
    with h5py.File(tmp_path / "a.h5", "w") as f:
        if how == "external storage":
            f.create_dataset("grp/x", shape=(4,), dtype="<f8", external=[(str(tmp_path / "secret"), 0, 32)])
        elif how == "virtual dataset":
            layout = h5py.VirtualLayout(shape=(4,), dtype="<f8")
            layout[:] = h5py.VirtualSource(str(tmp_path / "secret.h5"), "grp/x", shape=(4,))
            f.create_group("grp").create_virtual_dataset("x", layout)
        elif how == "external link":
            f["grp"] = h5py.ExternalLink(str(tmp_path / "secret.h5"), "/grp")
        else:
            f["real/x"] = secret
            f["grp"] = h5py.SoftLink("/real")
    return tmp_path / "a.h5"


@pytest.mark.parametrize("how", ["external storage", "virtual dataset", "external link", "soft link"])
def test_hdf5_input_reaching_other_files_is_refused(tmp_path, how):
    path = hdf5_reaching_out(tmp_path, how)
    with pytest.raises(velmora.InputFileError, match=f"a.h5.*'grp.*{how}"):
        velmora.read_array(path, "grp/x")


def dense_claim(path):
    """A dense matrix file of a few KiB whose header claims 3000 x 3000 values that were never written."""
    with h5netcdf.File(path, "w") as f:
        f.dimensions = {"source": 3000, "receiver": 3000}
        f.create_variable("matrix", ("source", "receiver"), "<f8", chunks=(500, 500), compression="gzip")
        f.attrs.update({"matrix_layout": "dense", "matrix_order": 3000})


def set_attr(name, value):
    return lambda f: f.attrs.__setitem__(name, value)


def set_index(i, value):
    return lambda f: f["source_index"].__setitem__(i, value)


@pytest.mark.parametrize("change, message", [
    (set_index(1, 2), "source_index holds row 2 twice"),
    (set_index(0, -1), "source_index holds row -1, outside 0 to 11"),
    (set_index(-1, 12), "source_index holds row 12, outside 0 to 11"),
    (lambda f: f.attrs.update({"Kx": 3, "Ky": 4}), "L1B size Lx = 4 differs"),
    (set_attr("Kx", 4.7), "Kx must be an integer"),
    (set_attr("Ky", "three"), "Ky must be an integer"),
    (set_attr("matrix_order", 12.5), "matrix_order"),
    (lambda f: f.__setitem__("extra", h5py.ExternalLink("/etc/hostname", "/")), "'extra' is an external link"),
    (dense_claim, "claims"),
])
def test_crafted_netcdf_matrix_is_refused(tmp_path, velmora_small, change, message):
    w = velmora_small[0]
    matrix = np.zeros((w.F, w.F))
    matrix[[2, 5, 9]] = 1.0
    path = velmora.save_matrix(tmp_path / "m.nc", matrix, {"matrix": "in-field", "windows": w}, compact=True)
    if change is dense_claim:
        path.unlink()
        dense_claim(path)
    else:
        with h5py.File(path, "r+") as f:
            change(f)
    with pytest.raises(velmora.InputFileError, match="m.nc") as caught:
        velmora.load_matrix(path)
    assert message in str(caught.value)
