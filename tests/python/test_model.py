"""The matrix-free forward model against the dense matrices, and the corrections that use it."""

from __future__ import annotations

import numpy as np
import pytest

import velmora
from velmora import _native

from matrix_inputs import mixed_tables, window_specs


def instrument(Kx, Ky, kbin, lbin, ncoeffs, on_sample, seed):
    """Small windows with 4 rows below the science window, random PSFs and tables of `ncoeffs` terms."""
    w = velmora.Windows.from_sequence(window_specs(Kx=Kx, Ky=Ky, kbin=kbin, lbin=lbin, sofs=(2, 4),
                                                   dextra=(3, 2), dofs=(5, 3), nextra=(6, 4)))
    rng = np.random.default_rng(seed)
    M = 3
    nx, ny = w.Dx + 3, w.Dy + 2
    images = rng.uniform(0.0, 1.0, (M, nx, ny)) ** 4
    images[:, nx // 2, ny // 2] += 5.0
    images /= images.sum(axis=(1, 2), keepdims=True)
    shift = 0.5 if on_sample else 0.3
    centres = np.array([[ny // 2 + shift + k % 2, nx // 2 + shift - k % 2] for k in range(M)])
    c, i = mixed_tables(w.Dx, w.Dy, M, ncoeffs, seed=seed)
    c2, i2 = mixed_tables(w.NOOFx, w.NOOFy, M, ncoeffs, seed=seed + 1)
    psfs = velmora.PSFSet(images, centres, c, i)
    return w, psfs, psfs.with_tables(c2, i2)


# Kx, Ky, kbin, lbin, coefficients, on-sample, scheme, lower edge, rows above, source step, sample step, vignetting
CASES = [
    (4, 3, (1, 1), (1, 1), 1, True, "quadratic", True, 42, (1, 1), (1, 1), False),
    (3, 4, (2, 1), (1, 2), 3, False, "midpoint", False, 42, (2, 1), (1, 3), True),
    (3, 3, (3, 1), (1, 1), 5, False, "quadratic", True, 3, (3, 4), (2, 2), True),
    (5, 2, (1, 2), (1, 2), 2, True, "quadratic", True, 5, (4, 2), (4, 1), False),
    (2, 3, (2, 3), (2, 1), 4, True, "midpoint", True, 42, (1, 3), (3, 4), True),
    (4, 1, (1, 3), (1, 1), 3, False, "quadratic", False, 42, (2, 2), (1, 2), False),
]


@pytest.fixture(scope="module", params=CASES, ids=lambda c: f"K{c[0]}x{c[1]}-B{c[2][0]*c[3][0]}x{c[2][1]*c[3][1]}"
                                                           f"-n{c[4]}-{c[6]}-edge{int(c[7])}")
def case(request):
    Kx, Ky, kbin, lbin, n, on, scheme, edge, above, dn, ds, vig = request.param
    w, psfs, stray_psfs = instrument(Kx, Ky, kbin, lbin, n, on, seed=Kx * 10 + Ky)
    vignetting = (np.random.default_rng(3).uniform(0.2, 1.0, w.vignetting_shape) if vig else None)
    infield = velmora.infield_matrix(w, psfs, scheme=scheme, lower_edge=edge, rows_above=above, threads=2)
    stray = velmora.stray_light_matrix(w, stray_psfs, vignetting=vignetting, source_step=dn, sample_step=ds,
                                       threads=2)
    model = velmora.forward_model(w, psfs, scheme=scheme, lower_edge=edge, rows_above=above,
                                  stray_psfs=stray_psfs, vignetting=vignetting, source_step=dn, sample_step=ds,
                                  threads=2)
    return model, velmora.forward_operator(infield, stray)


def test_products_and_adjoint_products_equal_the_dense_operator(case):
    model, T = case
    assert model.shape == T.shape and np.count_nonzero(T) > 0
    v = np.random.default_rng(0).standard_normal((T.shape[0], 3))
    for got, A, x in ((model @ v, T, v), (model.H @ v, T.T, v), (model.matvec(v[:, 0]), T, v[:, 0]),
                      (model.rmatvec(v[:, 0]), T.T, v[:, 0])):
        assert got.shape == x.shape
        assert np.max(np.abs(got - A @ x)) <= 1e-12 * np.max(np.abs(A) @ np.abs(x))
    np.testing.assert_allclose(model.todense(), T, rtol=0, atol=1e-12 * np.abs(T).max())
    np.testing.assert_allclose(model.diagonal(), np.diag(T), rtol=0, atol=1e-12 * np.abs(T).max())


def test_adjoint_passes_the_dot_test_on_images(case):
    model, _ = case
    ky, kx = model.windows.l1c_image_shape
    rng = np.random.default_rng(1)
    x, y = rng.standard_normal((2, 2, ky, kx))
    lhs = np.sum(model.apply(x) * y, axis=(-2, -1))
    rhs = np.sum(x * model.apply_adjoint(y), axis=(-2, -1))
    np.testing.assert_allclose(lhs, rhs, rtol=1e-12)


def test_gmres_recovers_a_known_scene_and_reports_it(case):
    model, T = case
    ky, kx = model.windows.l1c_image_shape
    scene = np.random.default_rng(2).uniform(1.0, 2.0, (2, ky, kx))
    observed = model.apply(scene)
    corrector = velmora.Corrector(model)
    corrected = corrector.correct(observed)
    info = corrector.last_info
    assert info["method"] == "gmres" and info["converged"] and len(info["iterations"]) == 2
    assert max(info["residual"]) <= 1e-10
    np.testing.assert_allclose(corrected, scene, rtol=1e-7)
    # The dense solution of the same system agrees.
    np.testing.assert_allclose(velmora.Corrector(np.ascontiguousarray(T.T)).correct(observed), corrected,
                               rtol=1e-7)


@pytest.mark.parametrize("method, options", [("lsmr", {"damp": 0.0}), ("van-cittert", {"iterations": 60}),
                                             ("lu", {})])
def test_other_methods_recover_the_built_in_scene(method, options, velmora_builtin):
    ins = velmora.builtin_instrument()
    model = velmora.forward_model(ins.windows, ins.psfs, threads=2)
    scene = velmora.demo_scene(ins.windows)
    corrector = velmora.Corrector(model, method=method, **options)
    np.testing.assert_allclose(corrector.correct(model.apply(scene)), scene, rtol=0, atol=1e-7 * scene.max())
    assert corrector.last_info["method"] == method


def test_damping_trades_residual_for_smaller_noise():
    ins = velmora.builtin_instrument()
    model = velmora.forward_model(ins.windows, ins.psfs, threads=2)
    noise = np.random.default_rng(4).standard_normal(ins.windows.l1c_image_shape)
    exact = velmora.Corrector(model).correct(noise)
    damped = velmora.Corrector(model, method="lsmr", damp=0.5).correct(noise)
    assert np.std(damped) < np.std(exact)


@pytest.mark.parametrize("shape", ["transposed", "flat", "other"])
def test_apply_refuses_images_of_other_shapes(shape, velmora_small):
    w, psfs, _ = velmora_small
    model = velmora.forward_model(w, psfs, threads=1)
    ky, kx = w.l1c_image_shape
    image = {"transposed": np.ones((2, kx, ky)), "flat": np.ones(w.F), "other": np.ones((ky + 1, kx))}[shape]
    for apply in (model.apply, model.apply_adjoint):
        with pytest.raises(ValueError, match=r"\(\.\.\., Ky, Kx\)" + (".*transposed" if shape == "transposed"
                                                                        else "")):
            apply(image)


def test_corrector_refuses_stray_light_beside_a_model(velmora_small):
    w, psfs, _ = velmora_small
    model = velmora.forward_model(w, psfs, threads=1)
    with pytest.raises(ValueError, match="holds its own stray light"):
        velmora.Corrector(model, np.zeros((w.F, w.F)))
    with pytest.raises(ValueError, match="method must be one of"):
        velmora.Corrector(model, method="cg")


@pytest.mark.parametrize("fault, text", [
    ("specs", "22 are needed"),
    ("nan", "not finite"),
    ("tables", "shape \\(Dx, Dy, N\\)"),
    ("psf", "smaller than the science window"),
])
def test_native_tables_refuse_what_they_cannot_describe(fault, text, velmora_small):
    w, psfs, _ = velmora_small
    specs, images, coeffs = w.to_array(), psfs.images, psfs.coefficients.copy()
    indices = psfs.indices
    if fault == "specs":
        specs = specs[:21].copy()
    elif fault == "nan":
        coeffs[3, 7, 0] = np.nan
    elif fault == "tables":
        coeffs, indices = coeffs[:-1].copy(), indices[:-1].copy()
    else:
        images = np.ascontiguousarray(images[:, :4, :4])
    with pytest.raises(ValueError, match=text):
        _native.infield_kernels(specs, images, psfs.centres, coeffs, indices, quadratic=True, lower_edge=True,
                                rows_below=6, rows_above=42, threads=1)


@pytest.mark.parametrize("extra, status", [([], 0), (["--matrices"], 0), (["--maxiter", "2"], 1)])
def test_correct_command(extra, status, tmp_path, capsys):
    from velmora.cli import main

    ins = velmora.builtin_instrument()
    w = ins.windows
    ins.psfs.save(tmp_path / "psfs.npz")
    np.savez(tmp_path / "noof.npz", coefficients=ins.stray_psfs.coefficients, indices=ins.stray_psfs.indices)
    np.save(tmp_path / "vignetting.npy", ins.vignetting)
    lines = ["[windows]"] + [f"{n} = {getattr(w, n)}" for n in velmora.PARAMETER_NAMES]
    lines += ["[psfs]"] + [f'{k} = "psfs.npz"' for k in ("images", "centres", "coefficients", "indices")]
    lines += ["[infield]", 'output = "infield.npy"']
    lines += ["[stray_light]", 'output = "stray.npy"', 'coefficients = "noof.npz"', 'indices = "noof.npz"',
              'vignetting = "vignetting.npy"',
              f"source_step = {list(ins.source_step)}", f"sample_step = {list(ins.sample_step)}"]
    (tmp_path / "instrument.toml").write_text("\n".join(lines))
    infield = velmora.infield_matrix(w, ins.psfs, threads=2)
    stray = velmora.stray_light_matrix(w, ins.stray_psfs, vignetting=ins.vignetting, source_step=ins.source_step,
                                       sample_step=ins.sample_step, threads=2)
    scene = np.stack([velmora.demo_scene(w)] * 2)
    np.save(tmp_path / "observed.npy", velmora.observe(scene, infield, stray))
    if extra == ["--matrices"]:
        np.save(tmp_path / "infield.npy", infield)
        np.save(tmp_path / "stray.npy", stray)
        extra = ["--infield-matrix", str(tmp_path / "infield.npy"), "--stray-light-matrix",
                 str(tmp_path / "stray.npy")]
    out = tmp_path / "corrected.npy"
    code = main(["correct", str(tmp_path / "instrument.toml"), str(tmp_path / "observed.npy"), "-o", str(out),
                 "--threads", "2"] + extra)
    assert code == status
    if status == 0:
        np.testing.assert_allclose(np.load(out), scene, rtol=0, atol=1e-8 * scene.max())
    else:
        assert not out.exists() and "did not reach" in capsys.readouterr().err
