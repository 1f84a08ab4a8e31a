"""PSF sets as netCDF-4 files: bit-exact round trips, plans that name one, crafted files refused."""

import numpy as np
import pytest

import velmora
from test_cli import write_config
from test_hostile_files import in_child
from velmora.cli import main

h5py = pytest.importorskip("h5py")
pytest.importorskip("h5netcdf")
pytest.importorskip("xarray")


def _grid(instrument):
    xs, ys = zip(*instrument.psf_nodes, strict=True)
    nodes = (sorted(set(xs)), sorted(set(ys)))
    w = instrument.windows
    return nodes, (np.add(nodes[0], w.DOFSx), np.add(nodes[1], w.DOFSy))


def _kinds(velmora_small):
    """(windows, psfs, keywords of save_psfs) for every kind of PSF set."""
    ins = velmora.builtin_instrument()
    nodes, stray_nodes = _grid(ins)
    w, psfs, stray = velmora_small
    rng = np.random.default_rng(5)
    shape = (*w.detector_table_shape, 3)   # blends of three PSFs that no grid gives, window types kept
    odd = velmora.PSFSet(psfs.images, np.column_stack([psfs.centres[:, :2], [3.9, 7.0]]),
                         rng.random(shape), rng.integers(0, 2, shape, dtype=np.int32))
    noof = odd.with_tables(rng.random((*w.noof_table_shape, 1)), np.ones((*w.noof_table_shape, 1), np.int64))
    return {"bilinear, both tables, with nodes": (ins.windows, ins.psfs, dict(stray_psfs=ins.stray_psfs,
                                                  nodes=nodes, stray_nodes=stray_nodes)),
            "in-field tables only": (w, psfs, {}),
            "both tables, no nodes": (w, psfs, dict(stray_psfs=stray)),
            "free tables, window types": (w, odd, dict(stray_psfs=noof))}


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("kind", ["bilinear, both tables, with nodes", "in-field tables only",
                                  "both tables, no nodes", "free tables, window types"])
def test_every_kind_of_psf_set_comes_back_bit_exact(tmp_path, velmora_small, kind, suffix):
    if suffix == ".zarr":
        pytest.importorskip("zarr")
    windows, psfs, extra = _kinds(velmora_small)[kind]
    path = velmora.save_psfs(tmp_path / f"set{suffix}", psfs, windows, creator_name="A. Tester", **extra)
    back = velmora.load_psfs(path)
    assert back.windows == windows
    pairs = [(back.psfs, psfs)] + ([(back.stray_psfs, extra["stray_psfs"])] if "stray_psfs" in extra else [])
    assert (back.stray_psfs is None) == ("stray_psfs" not in extra)
    for got, want in pairs:
        for name in ("images", "centres", "coefficients", "indices"):
            a, b = getattr(got, name), getattr(want, name)
            assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), name
    for got, want in ((back.nodes, extra.get("nodes")), (back.stray_nodes, extra.get("stray_nodes"))):
        assert (got is None) == (want is None)
        if want is not None:
            assert all(np.array_equal(g, w) for g, w in zip(got, want, strict=True))
    assert back.attributes["Conventions"] == "CF-1.11, ACDD-1.3"
    assert back.attributes["creator_name"] == "A. Tester"
    if suffix == ".zarr":
        return
    with h5py.File(path) as f:
        dims = {name: [d[0].name for d in f[name].dims] for name in ("images", "centres", "coefficients")}
        assert dims == {"images": ["/psf", "/image_x", "/image_y"], "centres": ["/psf", "/yx"],
                        "coefficients": ["/detector_x", "/detector_y", "/coefficient"]}
        assert f.attrs["Kx"].dtype == np.int32 and f["indices"].dtype == np.int32


def test_a_plan_naming_one_psf_file_builds_the_same_matrices(tmp_path, velmora_small):
    w, psfs, stray = velmora_small
    (tmp_path / "loose").mkdir()
    loose = write_config(tmp_path / "loose", velmora_small)
    assert main(["build", str(loose), "--no-progress"]) == 0
    one = tmp_path / "one"
    one.mkdir()
    velmora.save_psfs(one / "calibration" / "set.nc", psfs, w, stray_psfs=stray)
    text = loose.read_text().replace("out/", "../one/out/")
    head, rest = text.split("[psfs]")
    rest = rest[rest.index("[infield]"):]
    rest = rest.replace('coefficients = "data/noof_coeffs.npy"\nindices = "data/noof.npz:idx"\n', "")
    rest = rest.replace('"data/vig.npy"', '"../loose/data/vig.npy"')
    (one / "plan.toml").write_text(head + '[psfs]\nfile = "calibration/set.nc"\n' + rest)
    assert main(["build", str(one / "plan.toml"), "--no-progress"]) == 0
    for name in ("infield.npy", "stray.npy"):
        assert np.load(one / "out" / name).tobytes() == np.load(tmp_path / "loose" / "out" / name).tobytes()
    # The file names the whole set: a loose array beside it is refused.
    (one / "bad.toml").write_text(head + '[psfs]\nfile = "calibration/set.nc"\nimages = "x.npy"\n' + rest)
    with pytest.raises(velmora.PlanError, match="psfs.file names the whole PSF set; leave out psfs.images"):
        velmora.load_plan(one / "bad.toml")


def _drop(name):
    def change(f):
        del f[name]
    return change


def _replace(name, value):
    def change(f):
        dims = [d.label for d in f[name].dims]
        attrs = dict(f[name].attrs)
        for i in range(len(dims)):   # detach the dimension scales before the variable goes
            for scale in list(f[name].dims[i].values()):
                f[name].dims[i].detach_scale(scale)
        del f[name]
        f[name] = value
        for k, v in attrs.items():
            if k != "DIMENSION_LIST":
                f[name].attrs[k] = v
    return change


def _set(name, index, value):
    def change(f):
        f[name][index] = value
    return change


def _attr(name, value):
    def change(f):
        f.attrs[name] = value
    return change


def _external(f):
    import os

    f.create_dataset("elsewhere", data=np.zeros(4),
                     external=[(os.path.join(os.path.dirname(f.filename), "secret.bin"), 0, 32)])


@pytest.mark.parametrize("change, message", [
    (_drop("indices"), "holds no variable 'indices'"),
    (_drop("noof_indices"), "holds the variable 'noof_coefficients' without 'noof_indices'"),
    (_replace("images", np.array([b"a"] * 4).reshape(1, 2, 2)), r"variable 'images' holds \|S1, not real numbers"),
    (_replace("indices", np.zeros((2, 2), np.int32)), r"variable 'indices' has the shape \(2, 2\), not 3"),
    (_set("indices", (0, 0, 0), 5), r"indices must be PSF numbers 0 to 1; found \[5\]"),
    (_set("images", (1, 0, 0), np.nan), "images hold values that are not finite"),
    (_set("node_x", 1, 9.5), "the tables are not the bilinear tables of these nodes"),
    (_attr("Sx", np.int32(9)), "the stored windows are inconsistent"),
    (_attr("Kx", 4.0), "windowing parameter Kx must be an integer"),
    (_attr("velmora_file", "matrix"), "is not a velmora PSF-set file"),
    (lambda f: f.__setitem__("soft", h5py.SoftLink("/images")), "reaches outside itself: 'soft' is a soft link"),
    (lambda f: f.__setitem__("ext", h5py.ExternalLink("other.nc", "/images")), "'ext' is an external link"),
    (_external, "'elsewhere' uses external storage"),
    (_replace("images", h5py.Empty("f8")), "variable 'images' holds no array"),
])
def test_a_crafted_psf_file_is_refused(tmp_path, velmora_small, change, message):
    w, psfs, stray = velmora_small
    path = velmora.save_psfs(tmp_path / "set.nc", psfs, w, stray_psfs=stray, nodes=([2.0, 9.0], [6.0]))
    with h5py.File(path, "r+") as f:
        change(f)
    with pytest.raises(velmora.InputFileError, match=str(path).replace(".", r"\.") + ".*(" + message + ")"):
        velmora.load_psfs(path)


def test_hazardous_psf_files_are_refused_before_any_use(tmp_path, velmora_small):
    import os

    w, psfs, _ = velmora_small
    os.mkfifo(tmp_path / "fifo.nc")
    assert "fifo.nc is a FIFO, not a regular file" in in_child("load_psfs", tmp_path / "fifo.nc", timeout=30)
    path = velmora.save_psfs(tmp_path / "set.nc", psfs, w)
    with h5py.File(path, "r+") as f:   # a header that claims 800 GB, with no data behind it
        del f["images"]
        f.create_dataset("images", shape=(10 ** 5, 10 ** 3, 10 ** 3), dtype="f8", chunks=(1, 100, 100))
    out = in_child("load_psfs", path, timeout=60)
    assert out.startswith("InputFileError:") and ("claims" in out or "memory" in out), out


@pytest.mark.parametrize("case, error", [
    ("other images", "the same images and centres"), ("wrong nodes", "not the bilinear tables of these nodes"),
    ("suffix", "netCDF-4 .nc"), ("exists", "exists"), ("tables too small", "interpolation tables cover"),
])
def test_save_psfs_refuses_what_the_file_could_not_say_truly(tmp_path, velmora_small, case, error):
    w, psfs, stray = velmora_small
    kwargs, path = {}, tmp_path / "set.nc"
    if case == "other images":
        kwargs["stray_psfs"] = velmora.PSFSet(psfs.images * 2, psfs.centres, stray.coefficients, stray.indices)
    elif case == "wrong nodes":
        kwargs["nodes"] = ([2.0, 9.5], [6.0])
    elif case == "suffix":
        path = tmp_path / "set.h5"
    elif case == "exists":
        path.write_bytes(b"keep me")
    else:
        psfs = psfs.with_tables(psfs.coefficients[:-1], psfs.indices[:-1])
    with pytest.raises((ValueError, FileExistsError), match=error):
        velmora.save_psfs(path, psfs, w, **kwargs)
    assert sorted(p.name for p in tmp_path.iterdir()) == (["set.nc"] if case == "exists" else [])
    if case == "exists":
        assert path.read_bytes() == b"keep me"


def test_a_zarr_store_reaching_outside_itself_or_claiming_too_much_is_refused(tmp_path, velmora_small):
    import json
    import os

    pytest.importorskip("zarr")
    w, psfs, _ = velmora_small
    store = velmora.save_psfs(tmp_path / "set.zarr", psfs, w)
    chunk = next(p for p in (store / "images").rglob("*") if p.is_file() and p.name != "zarr.json")
    saved = chunk.read_bytes()
    chunk.unlink()
    (tmp_path / "elsewhere").write_bytes(saved)
    chunk.symlink_to(tmp_path / "elsewhere")
    with pytest.raises(velmora.InputFileError, match=r"set\.zarr reaches outside itself: .* is a symbolic link"):
        velmora.load_psfs(store)
    chunk.unlink()
    os.mkfifo(chunk)
    assert "is not a regular file" in in_child("load_psfs", store, timeout=30)
    chunk.unlink()
    chunk.write_bytes(saved)
    meta = store / "images" / "zarr.json"
    header = json.loads(meta.read_text())
    header["shape"] = [10 ** 5, 10 ** 3, 10 ** 3]
    meta.write_text(json.dumps(header))
    out = in_child("load_psfs", store, timeout=60)
    assert out.startswith("InputFileError:") and "of memory are available" in out, out
