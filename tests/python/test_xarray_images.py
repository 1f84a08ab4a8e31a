"""L1C images as xarray DataArrays: names, coordinates and attributes kept, lazy stacks, netCDF in the CLI."""

import numpy as np
import pytest
import velmora
from test_cli import write_config
from velmora.cli import main
from velmora.xarray_images import correct_dataarray

xr = pytest.importorskip("xarray")
pytest.importorskip("h5netcdf")


@pytest.fixture
def system(velmora_small):
    """Windows, the in-field matrix, a forward model and a stack of 5 x 2 true scenes (L1C 4 x 3)."""
    w, psfs, _ = velmora_small
    infield = velmora.infield_matrix(w, psfs, scheme="midpoint", rows_below=6, threads=1)
    model = velmora.forward_model(w, psfs, scheme="midpoint", rows_below=6, threads=1)
    scenes = np.random.default_rng(1).uniform(1.0, 2.0, (5, 2, 3, 4))
    return w, infield, model, scenes


def stack(values, dims=("t", "band", "y", "x")):
    """A DataArray over ``dims`` with index and 2-D coordinates and attributes."""
    y, x = dims[-2:]
    return xr.DataArray(values, dims=dims, name="radiance", attrs={"units": "W m-2", "history": "L1B"},
                        coords={"t": ("t", np.arange(5.0), {"units": "s"}), y: [0.5, 1.5, 2.5], x: [10, 11, 12, 13],
                                "lat": ((y, x), np.arange(12.0).reshape(3, 4))})


@pytest.mark.parametrize("dims", [("y", "x"), ("row", "col")])
def test_observe_and_correct_keep_names_coordinates_and_attributes(system, dims):
    w, infield, _, scenes = system
    scene = stack(scenes, ("t", "band", *dims))
    given = scene.transpose(dims[1], "t", dims[0], "band")       # found by name, in any order
    observed = velmora.observe(given, infield, windows=w, dims=dims)
    assert observed.dims == (dims[1], "t", dims[0], "band") and observed.name == "radiance"
    np.testing.assert_array_equal(observed.transpose(*scene.dims).values, velmora.observe(scenes, infield))
    corrected = correct_dataarray(velmora.Corrector(infield, windows=w, target="stray-light", core=(1, 0)),
                                  observed, dims=dims)
    assert corrected.dims == observed.dims
    for name in given.coords:
        xr.testing.assert_identical(corrected.coords[name], given.coords[name])
    attrs = corrected.attrs
    assert attrs["units"] == "W m-2" and attrs["velmora_version"] == velmora.__version__
    assert (attrs["velmora_operation"], attrs["velmora_target"], attrs["velmora_method"]) == \
        ("corrected", "stray-light", "lu")
    assert list(attrs["velmora_core"]) == [1, 0]
    assert attrs["history"].startswith("L1B\n") and attrs["history"].count("\n") == 2


REFUSALS = {
    "missing dimension": (ValueError, "without 'x'"),
    "bad dims": (ValueError, "dims must name"),
    "wrong size": (ValueError, "y=3, x=3"),
    "swapped": (ValueError, "y=4, x=3, but the L1C images have (Ky, Kx) = (3, 4) (are the dimensions swapped?)"),
    "lazy info": (ValueError, "return_info=True needs the images computed"),
    "uncertainty": (ValueError, "u_random: the uncertainty"),
    "mask shape": (ValueError, "(y, x) = (3, 4)"),
    "booleans": (TypeError, "must hold real numbers"),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_name_the_problem(system, case):
    w, infield, model, scenes = system
    corrector = velmora.Corrector(infield, windows=w)
    good = stack(scenes)
    calls = {
        "missing dimension": lambda: velmora.observe(good.rename(x="col"), infield, windows=w),
        "bad dims": lambda: velmora.observe(good, infield, dims=("y", "y")),
        "wrong size": lambda: model.apply(good.isel(x=slice(0, 3))),
        "swapped": lambda: correct_dataarray(corrector, xr.DataArray(scenes.swapaxes(-1, -2),
                                                                     dims=("t", "band", "y", "x"))),
        "lazy info": lambda: correct_dataarray(corrector, good.chunk(t=2), return_info=True),
        "uncertainty": lambda: correct_dataarray(corrector, good, u_random=1.0),
        "mask shape": lambda: correct_dataarray(corrector, good, mask=np.zeros((4, 3), bool)),
        "booleans": lambda: correct_dataarray(corrector, good > 1.5),
    }
    kind, fragment = REFUSALS[case]
    with pytest.raises(kind) as caught:
        calls[case]()
    assert fragment in str(caught.value)


def test_dask_stacks_stay_lazy_and_equal_the_eager_results(system):
    dask = pytest.importorskip("dask")
    w, infield, model, scenes = system
    eager = stack(scenes)
    lazy = eager.chunk({"t": 2, "x": 2})           # split along x: merged into whole frames
    mask = xr.DataArray(np.zeros((5, 3, 4), bool), dims=("t", "y", "x"))
    mask[1, 0, 2] = True
    corrector = velmora.Corrector(infield, windows=w)
    for run in (lambda a: velmora.observe(a, infield, windows=w), model.apply, model.apply_adjoint,
                lambda a: correct_dataarray(corrector, a, mask=mask)):
        result = run(lazy)
        assert dask.is_dask_collection(result) and result.chunks == ((2, 2, 1), (2,), (3,), (4,))
        np.testing.assert_allclose(result.compute().values, run(eager).values, rtol=0, atol=1e-12)
    failing = velmora.Corrector(infield, windows=w, method="gmres", preconditioner=None, maxiter=1,
                                restart=1, rtol=1e-14, on_failure="raise")
    pending = correct_dataarray(failing, lazy)      # nothing solved yet: convergence is told on compute
    with pytest.raises(velmora.ConvergenceError, match="did not converge"):
        pending.compute()


@pytest.fixture
def netcdf(tmp_path, velmora_small, system):
    """A configuration and a netCDF file of observed images over (x, t, y) with a second variable."""
    w, infield, _, scenes = system
    config = write_config(tmp_path, velmora_small, stray=False)
    scene = stack(scenes[:, 0], ("t", "y", "x"))
    observed = velmora.observe(scene, infield, windows=w).transpose("x", "t", "y")
    observed.attrs = {"units": "W m-2"}
    ds = xr.Dataset({"radiance": observed, "quality": ("t", np.zeros(5, np.int8))}, attrs={"title": "L1C"})
    ds.to_netcdf(tmp_path / "observed.nc", engine="h5netcdf")
    velmora.save_matrix(tmp_path / "infield.npy", infield, velmora.io.matrix_metadata("in-field", w, {}, {}))
    return tmp_path, config, scene


def correct_cli(folder, config, *extra, out="corrected.nc"):
    return main(["correct", str(config), str(folder / "observed.nc"), "-o", str(folder / out), "--threads", "1",
                 "--infield-matrix", str(folder / "infield.npy"), *extra])


def test_cli_netcdf_round_trip(netcdf):
    folder, config, scene = netcdf
    assert correct_cli(folder, config, "--variable", "radiance") == 0
    with xr.open_dataset(folder / "corrected.nc", engine="h5netcdf") as ds:
        out = ds["radiance"].load()
        assert list(ds.data_vars) == ["radiance"] and ds.attrs["title"] == "L1C"
    assert out.dims == ("x", "t", "y") and out.attrs["units"] == "W m-2"
    assert out.attrs["velmora_operation"] == "corrected" and out.attrs["velmora_method"] == "lu"
    for name, values in scene.transpose("x", "t", "y").coords.items():
        xr.testing.assert_identical(out.coords[name], values)
    np.testing.assert_allclose(out.transpose(*scene.dims).values, scene.values, rtol=0, atol=1e-9)
    assert correct_cli(folder, config, "--variable", "radiance", out="corrected.npy") == 0
    np.testing.assert_allclose(np.load(folder / "corrected.npy"), scene.values, rtol=0, atol=1e-9)
    assert main(["correct", str(config), str(folder / "corrected.npy"), "-o", str(folder / "again.nc"),
                 "--infield-matrix", str(folder / "infield.npy"), "--dims", "row,col"]) == 0
    with xr.open_dataset(folder / "again.nc", engine="h5netcdf") as ds:
        assert ds["corrected"].dims == ("frame", "row", "col")


@pytest.mark.parametrize("extra, fragment", [
    ([], "2 data variables (radiance, quality); name one with --variable"),
    (["--variable", "flux"], "no data variable 'flux' (it has radiance, quality)"),
    (["--variable", "quality"], "without 'y', 'x'"),
    (["--variable", "radiance", "--dims", "row,col"], "without 'row', 'col'"),
    (["--variable", "radiance", "--dims", "x,y"], "x=4, y=3"),
    (["--variable", "radiance", "--dims", "y"], "Y,X"),
    (["--variable", "radiance", "--overwrite"], "reaches outside itself"),   # with an external link
])
def test_cli_netcdf_refusals_exit_2_and_write_nothing(netcdf, capsys, extra, fragment):
    folder, config, _ = netcdf
    if "--overwrite" in extra:
        import h5py
        with h5py.File(folder / "observed.nc", "a") as f:
            f["elsewhere"] = h5py.ExternalLink("/etc/hostname", "/")
    assert correct_cli(folder, config, *extra) == 2
    err = capsys.readouterr().err
    assert fragment in err, err
    assert "Traceback" not in err and not (folder / "corrected.nc").exists()
