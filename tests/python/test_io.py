"""Matrix files and their metadata, netCDF/HDF5 inputs, compact stray light, atomic outputs."""

import datetime
import hashlib

import numpy as np
import pytest
import scipy.sparse

import velmora
from test_cli import write_config
from velmora.cli import main
from velmora.io import AtomicOutputs

xr = pytest.importorskip("xarray")
pytest.importorskip("h5netcdf")
h5py = pytest.importorskip("h5py")


@pytest.fixture(scope="module")
def small_matrices(velmora_small):
    w, psfs, stray = velmora_small
    return (velmora.infield_matrix(w, psfs, scheme="midpoint", rows_below=6, threads=1),
            velmora.stray_light_matrix(w, stray, vignetting=np.ones((18, 20)), source_step=(2, 1), threads=1))


def _build(tmp_path, velmora_small, infield, stray, extra=""):
    path = write_config(tmp_path, velmora_small)
    text = path.read_text().replace("out/infield.npy", infield).replace('output = "out/stray"',
                                                                        f'output = "{stray}"{extra}')
    path.write_text(text)
    assert main(["build", str(path), "--no-progress"]) == 0
    return tmp_path


@pytest.mark.parametrize("suffix", [".nc", ".npy"])
def test_matrices_come_back_with_their_metadata(tmp_path, velmora_small, small_matrices, suffix):
    w = velmora_small[0]
    _build(tmp_path, velmora_small, f"out/infield{suffix}", f"out/stray{suffix}")
    infield, meta = velmora.load_matrix(tmp_path / "out" / f"infield{suffix}")
    np.testing.assert_array_equal(infield, small_matrices[0])
    assert meta["matrix"] == "in-field" and meta["windows"] == w
    assert meta["options"] == {"scheme": "midpoint", "lower_edge": True, "rows_below": 6, "rows_above": 42}
    images = meta["inputs"]["psfs.images"]   # the same roles from every kind of file
    assert images["sha256"] == hashlib.sha256((tmp_path / "data" / "psfs.npz").read_bytes()).hexdigest()
    assert meta["velmora_version"] == velmora.__version__
    assert datetime.datetime.fromisoformat(meta["created"]).tzinfo is not None
    stray, meta = velmora.load_matrix(tmp_path / "out" / f"stray{suffix}")
    np.testing.assert_array_equal(stray, small_matrices[1])
    assert meta["options"]["source_step"] == (2, 1) and len(meta["inputs"]) == 5
    if suffix == ".nc":
        with xr.open_dataset(tmp_path / "out" / "infield.nc", engine="h5netcdf") as ds:
            assert ds["matrix"].dims == ("source", "receiver") and ds.attrs["Conventions"] == "CF-1.11, ACDD-1.3"
            assert ds.attrs["Ky"] == 3 and ds.attrs["scheme"] == "midpoint"
    else:
        (tmp_path / "out" / "infield.npy.json").unlink()
        assert velmora.load_matrix(tmp_path / "out" / "infield.npy")[1] == {"windows": None}


@pytest.mark.parametrize("suffix", [".npz", ".nc"])
def test_compact_stray_light_round_trip(tmp_path, velmora_small, small_matrices, suffix):
    _build(tmp_path, velmora_small, "out/infield.npy", f"out/stray{suffix}", extra="\ncompact = true")
    stray, meta = velmora.load_matrix(tmp_path / "out" / f"stray{suffix}")
    assert scipy.sparse.issparse(stray) and stray.format == "csr" and meta["windows"] == velmora_small[0]
    np.testing.assert_array_equal(stray.toarray(), small_matrices[1])
    assert len(np.unique(stray.nonzero()[0])) <= 2 * velmora_small[0].Ky


def test_inputs_from_netcdf_and_hdf5_variables(tmp_path, velmora_small, small_matrices, capsys):
    _, psfs, stray = velmora_small
    xr.Dataset({name: (tuple(f"{name}_{i}" for i in range(arr.ndim)), arr)
                for name, arr in (("images", psfs.images), ("centres", psfs.centres))}
               ).to_netcdf(tmp_path / "ckd.nc", engine="h5netcdf", group="psf")
    with h5py.File(tmp_path / "tables.h5", "w") as f:
        f["detector/coefficients"], f["detector/indices"] = psfs.coefficients, psfs.indices
        f["noof/coefficients"], f["noof/indices"] = stray.coefficients, stray.indices
    path = write_config(tmp_path, velmora_small)
    text = path.read_text()
    for key, source in (("images", "ckd.nc:psf/images"), ("centres", "ckd.nc:psf/centres"),
                        ("coefficients", "tables.h5:detector/coefficients"),
                        ("indices", "tables.h5:/detector/indices")):
        text = text.replace(f'{key} = "data/psfs.npz"', f'{key} = "{source}"')
    text = text.replace('"data/noof_coeffs.npy"', '"tables.h5:noof/coefficients"')
    path.write_text(text.replace('"data/noof.npz:idx"', '"tables.h5:noof/indices"'))
    assert main(["build", str(path), "--no-progress"]) == 0
    np.testing.assert_array_equal(np.load(tmp_path / "out" / "infield.npy"), small_matrices[0])
    np.testing.assert_array_equal(np.load(tmp_path / "out" / "stray.npy"), small_matrices[1])
    path.write_text(path.read_text().replace("noof/indices", "noof/idx"))
    assert main(["check", str(path)]) == 2
    assert "has no variable 'noof/idx' (it has detector/coefficients" in capsys.readouterr().err


def test_atomic_outputs_leave_existing_files_on_any_failure(tmp_path):
    (tmp_path / "a.npy").write_bytes(b"old a")
    with pytest.raises(KeyboardInterrupt), AtomicOutputs() as outputs:
        outputs.temporary(tmp_path / "a.npy").write_bytes(b"new a")
        outputs.temporary(tmp_path / "new" / "deeper" / "b.npy").write_bytes(b"new b")
        raise KeyboardInterrupt
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.npy"]
    # A rename that fails midway puts back the files already replaced.
    (tmp_path / "c.npy").mkdir()
    with pytest.raises(OSError), AtomicOutputs() as outputs:
        outputs.temporary(tmp_path / "a.npy").write_bytes(b"new a")
        outputs.temporary(tmp_path / "b.npy").write_bytes(b"new b")
        outputs.temporary(tmp_path / "c.npy").write_bytes(b"new c")
        outputs.commit()
    assert (tmp_path / "a.npy").read_bytes() == b"old a" and not (tmp_path / "b.npy").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.npy", "c.npy"]
