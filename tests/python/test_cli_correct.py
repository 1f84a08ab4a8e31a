"""The velmora correct command: stray light never dropped silently, failures and refusals, the summary."""

import numpy as np
import pytest
import velmora
from test_cli import write_config
from velmora import io as vio
from velmora.cli import main

VIGNETTING = np.ones((18, 20))


@pytest.fixture
def instrument(tmp_path, velmora_small):
    """The small instrument's configuration, its two matrices on disk and two observed frames."""
    w, psfs, stray_psfs = velmora_small
    config = write_config(tmp_path, velmora_small)
    infield = velmora.infield_matrix(w, psfs, scheme="midpoint", rows_below=6, threads=1)
    stray = velmora.stray_light_matrix(w, stray_psfs, vignetting=VIGNETTING, source_step=(2, 1), threads=1)
    for name, kind, matrix in (("infield.npy", "in-field", infield), ("stray.npy", "stray-light", stray)):
        velmora.save_matrix(tmp_path / name, matrix, vio.matrix_metadata(kind, w, {}, {}))
    scene = np.stack([velmora.demo_scene(w), np.arange(12.0).reshape(3, 4) + 1.0])
    np.save(tmp_path / "observed.npy", velmora.observe(scene, infield, stray))
    return tmp_path, config, scene


def run(folder, config, *extra, images="observed.npy"):
    return main(["correct", str(config), str(folder / images), "-o", str(folder / "corrected.npy"),
                 "--threads", "1", *extra])


@pytest.mark.parametrize("extra, fragment", [
    (["--infield-matrix", "infield.npy"], "no stray-light matrix was given: pass --stray-light-matrix FILE"),
    (["--infield-matrix", "infield.npy", "--stray-light-matrix", "infield.npy"],
     "holds the in-field matrix, not the stray-light matrix; pass it as --infield-matrix"),
    (["--infield-matrix", "stray.npy", "--no-stray-light"],
     "holds the stray-light matrix, not the in-field matrix; pass it as --stray-light-matrix"),
    (["--stray-light-matrix", "stray.npy"], "--stray-light-matrix needs --infield-matrix"),
    (["--mask", "mask_shape.npy"], "(Ky, Kx) = (3, 4)"),
    (["--mask", "mask_dtype.npy"], "must hold booleans"),
    (["--core", "1,1"], "--core applies to --target stray-light only"),
    (["--missing", "raise"], "--missing mask"),  # with observed.npy holding a NaN
    (["--no-stray-light", "--stray-light-matrix", "stray.npy"], "not allowed with"),
    (["--core", "1"], "RX,RY"),
    (["--preconditioner", "jacobi"], "invalid choice"),
])
def test_refusals_exit_2_and_write_nothing(instrument, capsys, extra, fragment):
    folder, config, _ = instrument
    np.save(folder / "mask_shape.npy", np.zeros((4, 3), dtype=bool))
    np.save(folder / "mask_dtype.npy", np.zeros((3, 4)))
    if "--missing" in extra:
        observed = np.load(folder / "observed.npy")
        observed[1, 2, 3] = np.nan
        np.save(folder / "observed.npy", observed)
    extra = [str(folder / e) if e.endswith(".npy") else e for e in extra]
    assert run(folder, config, *extra) == 2
    err = capsys.readouterr().err
    assert fragment in err, err
    assert "Traceback" not in err and not (folder / "corrected.npy").exists()


def test_stored_matrices_with_the_stray_light_matrix_give_the_scene(instrument, capsys):
    folder, config, scene = instrument
    assert run(folder, config, "--infield-matrix", str(folder / "infield.npy"), "--stray-light-matrix",
               str(folder / "stray.npy")) == 0
    np.testing.assert_allclose(np.load(folder / "corrected.npy"), scene, rtol=0, atol=1e-9 * scene.max())
    out = capsys.readouterr().out
    assert "included: the stored stray-light matrix" in out and "target      scene" in out
    assert "method      lu" in out and "masked      none" in out


def test_new_options_reach_the_corrector_and_the_summary_says_what_was_done(instrument, velmora_small, capsys):
    folder, config, _ = instrument
    w, psfs, stray_psfs = velmora_small
    frames = np.stack([np.load(folder / "observed.npy")] * 4).reshape(8, 3, 4) * np.arange(1, 9)[:, None, None]
    np.save(folder / "frames.npy", frames)
    mask = np.zeros((3, 4), dtype=bool)
    mask[0, :2] = True
    np.save(folder / "mask.npy", mask)
    options = {"target": "stray-light", "core": (1, 0), "method": "gmres", "preconditioner": "diagonal",
               "restart": 3, "maxiter": 300}
    assert run(folder, config, "--target", "stray-light", "--core", "1,0", "--method", "gmres",
               "--preconditioner", "diagonal", "--restart", "3", "--maxiter", "300", "--mask",
               str(folder / "mask.npy"), images="frames.npy") == 0
    model = velmora.forward_model(w, psfs, scheme="midpoint", rows_below=6, stray_psfs=stray_psfs,
                                  vignetting=VIGNETTING, source_step=(2, 1), threads=1)
    expected, info = velmora.Corrector(model, **options).correct(frames, mask=mask, return_info=True)
    np.testing.assert_allclose(np.load(folder / "corrected.npy"), expected, rtol=1e-9, atol=1e-12)
    out = capsys.readouterr().out
    for text in ("8 frame(s)", "included: the [stray_light] table of CONFIG", "stray light only",
                 "core of (1, 0) L1C pixels", "gmres, preconditioner diagonal",
                 f"iterations {min(info['iterations'])} .. {max(info['iterations'])}",
                 f"masked      {info['masked']} pixel(s)", "-> "):
        assert text in out, (text, out)


def test_frames_that_do_not_converge_exit_1_and_are_named(instrument, capsys):
    folder, config, _ = instrument
    assert run(folder, config, "--method", "gmres", "--preconditioner", "none", "--maxiter", "1", "--restart",
               "1", "--rtol", "1e-14") == 1
    err = capsys.readouterr().err
    assert "2 of 2 frame(s) did not converge (frame 0: relative residual" in err and "; frame 1: " in err
    assert "nothing was written" in err and not (folder / "corrected.npy").exists()


def test_observed_pixels_that_are_not_finite_are_masked_on_request(instrument, capsys):
    folder, config, _ = instrument
    observed = np.load(folder / "observed.npy")[0]
    observed[2, 1] = np.inf
    np.save(folder / "one.npy", observed)
    assert run(folder, config, "--no-stray-light", images="one.npy") == 2
    err = capsys.readouterr().err
    assert "(1, 2)" in err and "pass --missing mask" in err
    assert run(folder, config, "--no-stray-light", "--missing", "mask", images="one.npy") == 0
    out = capsys.readouterr().out
    assert "left out (--no-stray-light)" in out and "masked      1 pixel(s)" in out
    assert np.isfinite(np.load(folder / "corrected.npy")[np.isfinite(observed)]).all()


@pytest.mark.parametrize("command", ["check", "correct", "api"])
def test_vignetting_that_is_not_finite_is_refused(instrument, velmora_small, capsys, command):
    folder, config, _ = instrument
    w, _, stray_psfs = velmora_small
    vignetting = VIGNETTING.copy()
    vignetting[5, 7] = vignetting[9, 2] = np.nan
    np.save(folder / "data" / "vig.npy", vignetting)
    fragment = "2 vignetting value(s) are not finite (NaN or infinite), the first at NOOF pixel (x, y) = (7, 5)"
    if command == "api":
        with pytest.raises(velmora.ConfigurationError, match=r"the first at NOOF pixel \(x, y\) = \(7, 5\)"):
            velmora.stray_light_matrix(w, stray_psfs, vignetting=vignetting, source_step=(2, 1), threads=1)
        return
    assert (main(["check", str(config)]) if command == "check" else run(folder, config)) == 2
    assert fragment in capsys.readouterr().err


@pytest.mark.parametrize("target", ["scene", "stray-light"])
def test_the_uncertainty_goes_with_the_corrected_images_and_obsarray_reads_it(instrument, capsys, target):
    obsarray = pytest.importorskip("obsarray")
    xr = pytest.importorskip("xarray")
    folder, config, _ = instrument
    observed = np.load(folder / "observed.npy")
    args = ["correct", str(config), str(folder / "observed.npy"), "-o", str(folder / "corrected.nc"),
            "--threads", "1", "--infield-matrix", str(folder / "infield.npy"), "--stray-light-matrix",
            str(folder / "stray.npy"), "--method", "lu", "--target", target, "--noise", "2,4",
            "--u-systematic", "0.01", "--operator-uncertainty", "0.1"]
    assert main(args) == 0, capsys.readouterr().err
    assert "u_random, u_systematic, u_operator (exact propagation)" in capsys.readouterr().out
    expected = velmora.Corrector(velmora.load_matrix(folder / "infield.npy"),
                                 velmora.load_matrix(folder / "stray.npy"), method="lu", target=target).correct(
        observed, noise=(2, 4), u_systematic=0.01, operator_uncertainty=0.1)
    with xr.open_dataset(folder / "corrected.nc") as ds:
        assert obsarray is not None and set(ds["corrected"].attrs["unc_comps"]) >= {"u_random", "u_systematic"}
        np.testing.assert_allclose(ds["corrected"].values, expected.corrected, rtol=1e-12, atol=0)
        np.testing.assert_allclose(ds.unc["corrected"].total_unc().values, expected.total(), rtol=1e-10)
    assert main(args[:3] + ["-o", str(folder / "corrected.npy"), "--noise", "2,4"]) == 2  # .npy cannot hold it
    assert "name the output .nc" in capsys.readouterr().err
