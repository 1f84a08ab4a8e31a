"""The netCDF files velmora writes meet CF-1.11 and ACDD-1.3; matrix files: coordinates, paths, old files,
and matrices with values that are not finite refused by every reader."""

import os

import numpy as np
import pytest
import scipy.sparse

import velmora
from velmora import io as vio

xr = pytest.importorskip("xarray")
pytest.importorskip("h5netcdf")
h5py = pytest.importorskip("h5py")


@pytest.fixture(scope="module")
def written(tmp_path_factory, velmora_small):
    """A PSF-set file and the dense and compact netCDF files of a stray-light-like matrix."""
    folder = tmp_path_factory.mktemp("written")
    w, psfs, stray = velmora_small
    (folder / "calibration").mkdir()
    psfs.save(folder / "calibration" / "psfs.npz")
    matrix = np.zeros(w.matrix_shape)
    matrix[[1, 7], :] = np.arange(w.F) / w.F
    meta = vio.matrix_metadata("stray-light", w, {"compact": True, "source_step": (2, 1)},
                               {"psfs.images": folder / "calibration" / "psfs.npz"}, base=folder)
    return {"psfs": velmora.save_psfs(folder / "set.nc", psfs, w, stray_psfs=stray, nodes=([2.0, 9.0], [6.0])),
            "dense": velmora.save_matrix(folder / "dense.nc", matrix, meta),
            "compact": velmora.save_matrix(folder / "compact.nc", matrix, meta, compact=True), "matrix": matrix}


@pytest.mark.parametrize("name", ["psfs", "dense", "compact"])
def test_files_meet_cf_and_acdd(written, name):
    suite_module = pytest.importorskip("compliance_checker.suite")
    suite = suite_module.CheckSuite()
    suite.load_all_available_checkers()
    cf = "cf:1.11" if "cf:1.11" in suite.checkers else max(c for c in suite.checkers if c.startswith("cf:1."))
    path = written[name]
    dataset = suite.load_dataset(str(path))
    failures = []
    for checker, (groups, errors) in suite.run_all(dataset, [cf, "acdd:1.3"], skip_checks=[]).items():
        assert not errors, f"{checker}: {errors}"
        failures += [(checker, r.name, m) for r in suite.build_structure(checker, groups, str(path))["high_priorities"]
                     for m in r.msgs]
    assert failures, "the checker ran no high-priority checks that fail: the allowance below is never used"
    with h5py.File(path) as f:
        for checker, check, message in failures:
            # The one failure allowed: no standard_name where no CF standard name fits, said in the comment.
            variable = check.split('"')[1] if check.startswith('variable "') else None
            assert message == "standard_name" and variable in f, (checker, check, message)
            assert vio.NO_STANDARD_NAME in f[variable].attrs["comment"], variable
        assert all(isinstance(f[v], h5py.Dataset) for v in f), "data outside the root group"


def test_matrix_files_carry_coordinates_and_relative_inputs(written, velmora_small):
    w = velmora_small[0]
    with xr.open_dataset(written["dense"], engine="h5netcdf") as ds:
        assert ds["matrix"].dims == ("source", "receiver") and ds.attrs["Conventions"] == "CF-1.11, ACDD-1.3"
        np.testing.assert_array_equal(ds["source"], np.arange(w.F))
        np.testing.assert_array_equal(ds["receiver_x"] * w.Ky + ds["receiver_y"], np.arange(w.F))
        assert set(ds["matrix"].coords) == {"source", "receiver", "source_x", "source_y", "receiver_x", "receiver_y"}
    with xr.open_dataset(written["compact"], engine="h5netcdf") as ds:
        np.testing.assert_array_equal(ds["source_index"], [1, 7])
        assert ds["source_x"].values.tolist() == [0, 2] and ds["source_y"].values.tolist() == [1, 1]
        assert "source_index" in ds["matrix"].coords and ds["matrix"].dims == ("nonzero_source", "receiver")
    for name in ("dense", "compact"):
        matrix, meta = velmora.load_matrix(written[name])
        np.testing.assert_array_equal(scipy.sparse.csr_matrix(matrix).toarray(), written["matrix"])
        entry = meta["inputs"]["psfs.images"]
        assert entry["path"] == os.path.join("calibration", "psfs.npz") and len(entry["sha256"]) == 64


@pytest.mark.parametrize("layout", ["dense", "nonzero_rows"])
def test_matrix_files_of_the_earlier_layout_still_read(tmp_path, velmora_small, layout):
    """As the files were written before coordinates, ACDD attributes and relative input paths."""
    w = velmora_small[0]
    matrix = np.zeros(w.matrix_shape)
    matrix[5] = 0.25
    attrs = {"Conventions": "CF-1.11", "matrix": "stray-light", "matrix_layout": layout, "matrix_order": np.int32(12),
             "options": "", "inputs": "psfs.images", "input_psfs_images": "/abs/psfs.npz sha256:" + "0" * 64,
             **{n: np.int32(v) for n, v in w.to_dict().items()}}
    data = ({"matrix": (("source", "receiver"), matrix)} if layout == "dense" else
            {"matrix": (("nonzero_source", "receiver"), matrix[5:6]),
             "source_index": (("nonzero_source",), np.array([5], np.int32))})
    xr.Dataset(data, attrs=attrs).to_netcdf(tmp_path / "old.nc", engine="h5netcdf")
    back, meta = velmora.load_matrix(tmp_path / "old.nc")
    np.testing.assert_array_equal(scipy.sparse.csr_matrix(back).toarray(), matrix)
    assert meta["windows"] == w and meta["inputs"]["psfs.images"]["path"] == "/abs/psfs.npz"


@pytest.mark.parametrize("bad", [np.nan, -np.inf])
@pytest.mark.parametrize("name, compact", [("m.npy", False), ("m.npz", True), ("m.nc", False),
                                           ("c.nc", True), ("m.h5", False)])
def test_every_matrix_reader_refuses_values_that_are_not_finite(tmp_path, velmora_small, name, compact, bad):
    w = velmora_small[0]
    matrix = np.zeros(w.matrix_shape)
    matrix[[2, 9], 4] = 1.0
    matrix[9, 7] = matrix[9, 10] = bad   # two, the first at [9, 7]
    meta = vio.matrix_metadata("stray-light", w, {}, {})
    target = tmp_path / name
    written = velmora.save_matrix(target.with_suffix(".nc") if name.endswith(".h5") else target,
                                  scipy.sparse.csr_matrix(matrix) if name.endswith(".npz") else matrix, meta,
                                  compact=compact)
    if written != target:
        written.rename(target)
    message = (rf"{name}: the matrix holds 2 values that are not finite \(NaN or infinite\), "
               r"the first at \[source, receiver\] = \[9, 7\]")
    with pytest.raises(velmora.InputFileError, match=message):
        velmora.load_matrix(target)
    if name == "m.npy":   # mapped, too
        with pytest.raises(velmora.InputFileError, match="not finite"):
            velmora.load_matrix(target, mmap_mode="r")
