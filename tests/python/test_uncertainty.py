"""Uncertainty of corrected images against independent references: explicit inverses, the masked map, finite
differences of the operator, the probes' own error bounds, and the obsarray reading of the files."""

from __future__ import annotations

import os

import numpy as np
import pytest
import velmora
from test_correction import far_field_reference
from velmora import uncertainty

# obsarray's own deprecation notices and its (y.x, y.x) matrices
pytestmark = [pytest.mark.filterwarnings("ignore:The return type of `Dataset.dims`:FutureWarning"),
              pytest.mark.filterwarnings("ignore:Duplicate dimension names:UserWarning")]


@pytest.fixture(scope="module")
def builtin():
    """The built-in instrument: windows, forward model, in-field and stray-light matrices, observed stack."""
    ins = velmora.builtin_instrument()
    w = ins.windows
    stray = dict(vignetting=ins.vignetting, source_step=ins.source_step, sample_step=ins.sample_step)
    model = velmora.forward_model(w, ins.psfs, stray_psfs=ins.stray_psfs, threads=2, **stray)
    infield = velmora.infield_matrix(w, ins.psfs, threads=2)
    straylight = velmora.stray_light_matrix(w, ins.stray_psfs, threads=2, **stray)
    scene = velmora.demo_scene(w)
    observed = velmora.observe(np.stack([scene, scene[::-1] + 5.0]), infield, straylight, windows=w)
    return w, model, infield, straylight, observed


def reference_operator(w, infield, straylight, target):
    """``A`` ([r, s]) and the part that operator_uncertainty scales, from the definitions."""
    if target == "scene":
        return (infield + straylight).T, straylight.T
    A = far_field_reference(w, infield, straylight, velmora.correction.DEFAULT_CORE)
    return A, A - np.eye(w.F)


def flat(images):
    return velmora.image_to_vector(images).reshape(-1, images.shape[-1] * images.shape[-2])


@pytest.mark.parametrize("source", ["matrices", "model"])
@pytest.mark.parametrize("target", ["scene", "stray-light"])
def test_exact_components_equal_an_explicit_inverse(builtin, target, source):
    w, model, infield, straylight, observed = builtin
    A, P = reference_operator(w, infield, straylight, target)
    C = np.linalg.inv(A)
    corrector = (velmora.Corrector(infield, straylight, windows=w, target=target) if source == "matrices"
                 else velmora.Corrector(model, target=target, method="lu"))
    u_sys = np.random.default_rng(0).uniform(0.0, 3.0, w.l1c_image_shape)     # errors of both signs come out
    result = corrector.correct(observed, noise=(2.0, 4.0), u_systematic=u_sys, operator_uncertainty=0.1,
                               covariance=True)
    assert isinstance(result, velmora.CorrectionResult) and result.info["uncertainty"]["propagation"] == "exact"
    # Without uncertainty arguments the call is what it always was.
    plain = corrector.correct(observed)
    assert isinstance(plain, np.ndarray) and np.array_equal(plain, result.corrected)
    b = flat(observed)
    y = b @ C.T
    u2 = 4.0 + np.maximum(b, 0.0) / 4.0
    expected_random = np.sqrt(u2 @ (C ** 2).T)
    expected_systematic = flat(u_sys[None])[0] @ C.T
    expected_operator = -0.1 * (y @ P.T) @ C.T
    np.testing.assert_allclose(flat(result.u_random), expected_random, rtol=1e-12, atol=0)
    for got, want in ((result.u_systematic, expected_systematic), (result.u_operator, expected_operator)):
        np.testing.assert_allclose(flat(got), np.abs(np.broadcast_to(want, b.shape)), rtol=0,
                                   atol=1e-12 * np.abs(want).max())
    for q in range(2):
        s, o = expected_systematic, expected_operator[q]
        cov = C @ np.diag(u2[q]) @ C.T + np.outer(s, s) + np.outer(o, o)
        np.testing.assert_allclose(result.covariance[q], cov, rtol=0, atol=1e-12 * np.abs(cov).max())


def test_masked_frames_propagate_through_the_map_they_are_corrected_by(builtin):
    w, _, infield, straylight, observed = builtin
    mask = np.zeros(observed.shape, dtype=bool)
    mask[0, 3, 4] = mask[0, 0, 0] = mask[1, 10, 7] = True
    corrector = velmora.Corrector(infield, straylight, windows=w)
    u = np.full(observed.shape, 1.5)
    u[mask] = np.nan                                   # ignored where masked
    result = corrector.correct(observed, mask=mask, u_random=u, u_systematic=0.02, operator_uncertainty=0.05)
    for q in range(2):
        # The correction of a masked frame is linear: its map, row by row, from the unit images.
        units = velmora.vector_to_image(np.eye(w.F), w.l1c_image_shape)
        rows = flat(corrector.correct(units, mask=mask[q]))
        expected = np.sqrt(flat(np.where(mask[q], 0.0, 1.5)[None])[0] ** 2 @ rows ** 2)
        got = flat(result.u_random[q][None])[0]
        masked = flat(mask[q][None])[0]
        assert np.all(np.isnan(got[masked])) and np.all(np.isnan(flat(result.u_operator[q][None])[0][masked]))
        np.testing.assert_allclose(got[~masked], expected[~masked], rtol=1e-12, atol=0)
    # The operator component is the derivative of the masked correction with respect to the stray light.
    h = 1e-4
    plus, minus = (velmora.Corrector(infield, straylight * (1 + s), windows=w).correct(observed, mask=mask)
                   for s in (h, -h))
    derivative = 0.05 * np.abs(plus - minus) / (2 * h)
    np.testing.assert_allclose(result.u_operator[~mask], derivative[~mask], rtol=1e-6,
                               atol=1e-6 * derivative.max())
    np.testing.assert_allclose(result.u_systematic[~mask], 0.02 * np.abs(result.corrected[~mask]), rtol=1e-12)


@pytest.mark.parametrize("case", ["stray-light", "stray-light-masked", "scene"])
def test_the_probes_bound_their_own_error(builtin, case):
    if case == "scene":
        _, model, *_ = builtin
        target = "scene"
    else:
        ins = velmora.blurred_instrument(Kx=48, Ky=32, binning=1, stray_columns=8)
        model = velmora.forward_model(ins.windows, ins.psfs, stray_psfs=ins.stray_psfs, threads=2,
                                      vignetting=ins.vignetting, source_step=ins.source_step,
                                      sample_step=ins.sample_step)
        target = "stray-light"
    observed = model.apply(velmora.demo_scene(model.windows))
    mask = None
    if case.endswith("masked"):
        mask = np.zeros(observed.shape, dtype=bool)
        mask[5, 6] = mask[20, 30] = True
    corrector = velmora.Corrector(model, target=target, rtol=1e-12)
    kwargs = dict(mask=mask, noise=(1.0, 1.0), u_systematic=0.01, operator_uncertainty=0.2)
    exact = corrector.correct(observed, propagation="exact", **kwargs)
    probed = corrector.correct(observed, propagation="probes", seed=7, **kwargs)
    info = probed.info["uncertainty"]
    assert info["propagation"] == "probes" and info["probes"] == uncertainty.DEFAULT_PROBES
    assert info["solves_per_frame"] <= 16
    valid = np.isfinite(exact.u_random)
    error = np.abs(probed.u_random - exact.u_random)[valid]
    bound = probed.u_random_bound[valid]
    assert np.mean(error <= bound) >= 0.95
    if case == "stray-light":        # the first order exact: the bound is small where the far field is
        assert np.median(bound / exact.u_random[valid]) <= 0.01
    # The systematic and operator components are solves, the same on both paths.
    for name in ("u_systematic", "u_operator"):
        a, b = getattr(probed, name)[valid], getattr(exact, name)[valid]
        np.testing.assert_allclose(a, b, rtol=0, atol=1e-9 * b.max())


@pytest.fixture
def saved(builtin, tmp_path):
    """A stack corrected with all three components and its covariance, and xarray."""
    w, _, infield, straylight, observed = builtin
    xr = pytest.importorskip("xarray")
    pytest.importorskip("obsarray")
    pytest.importorskip("h5netcdf")
    corrector = velmora.Corrector(infield, straylight, windows=w)
    u_sys = np.random.default_rng(1).uniform(0.0, 2.0, observed.shape)
    result = corrector.correct(observed, noise=(2.0, 4.0), u_systematic=u_sys, operator_uncertainty=0.1,
                               covariance=True)
    return xr, result, tmp_path


def test_obsarray_reads_the_saved_uncertainty(saved):
    xr, result, tmp_path = saved
    path = velmora.save_corrected(tmp_path / "corrected.nc", result, units="W m-2 sr-1 um-1")
    with xr.open_dataset(path) as ds:
        unc = ds.unc["corrected"]
        assert sorted(unc.keys()) == ["u_operator", "u_random", "u_systematic"]
        np.testing.assert_allclose(unc.total_unc().values, result.total(), rtol=1e-14)
        # The correlation forms rebuild the whole covariance of the stack: the random part within each
        # frame, the shared systematic and operator errors across both frames.
        n, (ky, kx) = result.corrected.shape[0], result.corrected.shape[1:]
        order = (np.arange(ky)[:, None] + ky * np.arange(kx)[None, :]).reshape(-1)
        expected = np.zeros((n * ky * kx,) * 2)
        for q in range(n):
            block = slice(q * ky * kx, (q + 1) * ky * kx)
            expected[block, block] = result.random_covariance[q][np.ix_(order, order)]
        for e in (result.systematic_error, result.operator_error):
            expected += np.outer(e.reshape(-1), e.reshape(-1))
        got = unc.total_err_cov_matrix().values
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-12 * np.abs(expected).max())
    # Refusals leave the directory as it was.
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(FileExistsError):
        velmora.save_corrected(path, result)
    with pytest.raises(ValueError, match=r"\.nc"):
        velmora.save_corrected(tmp_path / "corrected.h5", result)
    with pytest.raises(TypeError, match="CorrectionResult"):
        velmora.save_corrected(tmp_path / "other.nc", result.corrected)
    assert sorted(os.listdir(tmp_path)) == before


def test_without_a_covariance_matrix_the_total_still_reads_back(saved, monkeypatch):
    # Too large for explicit matrices: the errors of both signs keep their magnitudes and signs.
    xr, result, tmp_path = saved
    monkeypatch.setattr(uncertainty, "MATRIX_CORRELATION_LIMIT", 0)
    path = velmora.save_corrected(tmp_path / "large.nc", result, frames_correlated=False)
    with xr.open_dataset(path) as ds:
        assert ds["u_random"].attrs["err_corr_1_form"] == "random"
        assert np.array_equal(ds["u_systematic_sign"].values, np.sign(result.systematic_error))
        np.testing.assert_allclose(ds.unc["corrected"].total_unc().values, result.total(), rtol=1e-14)


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(u_random=-1.0 * np.ones((18, 24))), ValueError, "negative or not finite"),
    (dict(u_random=np.full((18, 24), np.nan)), ValueError, "negative or not finite"),
    (dict(u_random=np.ones((24, 18))), ValueError, "shape"),
    (dict(u_random=np.ones((3, 18, 24))), ValueError, "shape"),
    (dict(u_random=np.ones((18, 24)), noise=(1.0, 1.0)), ValueError, "not both"),
    (dict(noise=(1.0, 0.0)), ValueError, "gain"),
    (dict(noise=1.0), ValueError, "pair"),
    (dict(u_systematic=np.inf), ValueError, "finite"),
    (dict(u_systematic=True), ValueError, "number"),
    (dict(operator_uncertainty=-0.1), ValueError, "operator_uncertainty"),
    (dict(u_random=np.ones((18, 24)), propagation="guess"), ValueError, "propagation"),
    (dict(u_random=np.ones((18, 24)), probes=1), ValueError, "probes"),
    (dict(u_random=np.ones((18, 24)), propagation="probes", covariance=True), ValueError, "covariance"),
    (dict(u_random=np.array([["a"] * 24] * 18)), TypeError, "real numbers"),
])
def test_bad_uncertainty_arguments_are_refused(builtin, kwargs, error, match):
    w, _, infield, straylight, observed = builtin
    with pytest.raises(error, match=match):
        velmora.Corrector(infield, straylight, windows=w).correct(observed, **kwargs)


def test_refusals_that_depend_on_the_corrector(builtin):
    w, model, infield, _, observed = builtin
    with pytest.raises(ValueError, match="no stray light"):
        velmora.Corrector(infield, windows=w).correct(observed, operator_uncertainty=0.1)
    with pytest.raises(ValueError, match="method"):
        velmora.Corrector(infield, windows=w, method="van-cittert").correct(observed, u_systematic=0.1)
    # A solve of the propagation that does not converge is not reported as a success.
    short = velmora.Corrector(model, preconditioner=None, maxiter=2, on_failure="raise")
    with pytest.raises(velmora.ConvergenceError) as caught:
        short.correct(observed, u_random=np.ones(observed.shape[-2:]), propagation="probes")
    assert isinstance(caught.value.result, velmora.CorrectionResult)
    assert not caught.value.info["uncertainty_converged"]
