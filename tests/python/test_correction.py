"""Correction against dense references: the targets, the solvers, stacks, masks and outcomes."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
import velmora


@pytest.fixture(scope="module", params=["builtin", "blurred"])
def instrument(request):
    """An instrument with stray light, its forward model and its dense matrices."""
    if request.param == "builtin":
        ins = velmora.builtin_instrument()
    else:
        ins = velmora.blurred_instrument(Kx=14, Ky=10, binning=1, stray_columns=8)
    w = ins.windows
    stray = dict(vignetting=ins.vignetting, source_step=ins.source_step, sample_step=ins.sample_step)
    model = velmora.forward_model(w, ins.psfs, stray_psfs=ins.stray_psfs, threads=2, **stray)
    infield = velmora.infield_matrix(w, ins.psfs, threads=2)
    straylight = velmora.stray_light_matrix(w, ins.stray_psfs, threads=2, **stray)
    return w, model, infield, straylight


def far_field_reference(w, infield, straylight, core):
    """I + (T - T_core) diag(1 / c), written out from the definition on the dense matrices ([r, s])."""
    T = (infield + straylight).T
    xs, ys = np.divmod(np.arange(w.F), w.Ky)
    near = (np.abs(xs[:, None] - xs[None, :]) <= core[0]) & (np.abs(ys[:, None] - ys[None, :]) <= core[1])
    T_core = np.where(near, infield.T, 0.0)
    return np.eye(w.F) + (T - T_core) / T_core.sum(axis=0)[None, :]


@pytest.mark.parametrize("core", [(0, 0), (1, 2), (3, 3)])
def test_the_stray_light_target_splits_the_model_as_the_dense_matrices(instrument, core):
    w, model, infield, straylight = instrument
    A = far_field_reference(w, infield, straylight, core)
    rng = np.random.default_rng(0)
    scene = rng.uniform(1, 2, (2,) + w.l1c_image_shape)
    observed = velmora.observe(scene, infield, straylight, windows=w)
    # The split operator of the model, applied through its corrector, equals the definition.
    # A core of one pixel leaves most of a wide PSF in the far field: solved densely.
    method = "lu" if core == (0, 0) else "gmres"
    corrector = velmora.Corrector(model, target="stray-light", core=core, rtol=1e-12, method=method)
    applied = velmora.Corrector(model, target="stray-light", core=core)._system.apply(np.eye(w.F)).T
    assert np.max(np.abs(applied - A)) <= 1e-12 * np.abs(A).max()
    expected = np.linalg.solve(A, velmora.image_to_vector(observed).T).T
    for c in (corrector, velmora.Corrector(infield, straylight, windows=w, target="stray-light", core=core)):
        y, info = c.correct(observed, return_info=True)
        assert info["converged"] and info["target"] == "stray-light" and info["core"] == core
        tol = (1e-10 + 1e-14 * np.linalg.cond(A)) * np.abs(expected).max()
        np.testing.assert_allclose(velmora.image_to_vector(y), expected, rtol=0, atol=tol)


@pytest.mark.parametrize("target", ["scene", "stray-light"])
def test_the_adjoint_of_every_system_passes_the_dot_test(instrument, target):
    # LSMR walks with the adjoint: the far field's includes the transposed core.
    w, model, infield, straylight = instrument
    X, Y = np.random.default_rng(3).standard_normal((2, 2, w.F))
    for corrector in (velmora.Corrector(model, target=target, method="lsmr"),
                      velmora.Corrector(infield, straylight, windows=w, target=target, method="lsmr")):
        system = corrector._system
        lhs = np.sum(system.apply(X) * Y, axis=1)
        rhs = np.sum(X * system.adjoint(Y), axis=1)
        np.testing.assert_allclose(lhs, rhs, rtol=1e-12)


@pytest.mark.parametrize("method, preconditioner", [("gmres", "kernel"), ("gmres", "diagonal"), ("gmres", None),
                                                    ("lu", "auto"), ("lsmr", "auto")])
def test_every_solver_of_the_scene_target_agrees_with_a_dense_solve(instrument, method, preconditioner):
    w, model, infield, straylight = instrument
    if method == "lsmr" and w.Kx == 14:
        pytest.skip("lsmr squares the condition number (1e8) of the wide PSFs")
    T = (infield + straylight).T
    scene = np.random.default_rng(1).uniform(1, 2, (3,) + w.l1c_image_shape)
    observed = velmora.observe(scene, infield, straylight, windows=w)
    expected = np.linalg.solve(T, velmora.image_to_vector(observed).T).T
    corrector = velmora.Corrector(model, method=method, preconditioner=preconditioner, rtol=1e-11,
                                  maxiter=3000, restart=200, on_failure="raise")
    x, info = corrector.correct(observed, return_info=True)
    assert info["converged"] and len(info["residual"]) == 3 and max(info["residual"]) <= 1e-8
    scale = np.linalg.cond(T) * 1e-11
    np.testing.assert_allclose(velmora.image_to_vector(x), expected, rtol=0,
                               atol=max(1e-9, scale) * np.abs(expected).max())


def test_a_stack_is_solved_as_each_frame_alone(instrument, monkeypatch):
    w, model, *_ = instrument
    rng = np.random.default_rng(2)
    stack = model.apply(rng.uniform(0, 5, (2, 2) + w.l1c_image_shape))
    stack[1, 1] *= 1e3                       # frames of very different levels converge at their own pace
    stack[0, 1] = stack[0, 0]                # and two alike: their block columns become dependent
    for target in ("scene", "stray-light"):
        corrector = velmora.Corrector(model, target=target, rtol=1e-10, restart=200)
        together, info = corrector.correct(stack, return_info=True)
        assert together.shape == stack.shape and len(info["iterations"]) == 4 and info["converged"]
        assert max(info["residual"]) <= 1e-10
        system = corrector._system
        for index in np.ndindex(2, 2):
            alone = corrector.correct(stack[index])
            # Equal within the tolerance: what the operator makes of both solutions.
            a, b = (system.apply(velmora.image_to_vector(v)[None]) for v in (together[index], alone))
            assert np.linalg.norm(a - b) <= 2e-10 * np.linalg.norm(velmora.image_to_vector(stack[index]))
        np.testing.assert_allclose(together[0, 0], together[0, 1], rtol=1e-12, atol=0)
        # A stack whose Krylov bases do not fit the memory at once goes in groups, with the same result.
        with monkeypatch.context() as m:
            m.setattr(velmora.builds, "available_memory", lambda: 4 * 2 * 201 * w.F * 8)
            grouped, info = corrector.correct(stack, return_info=True)
        assert info["converged"] and len(info["iterations"]) == 4
        np.testing.assert_allclose(grouped, together, rtol=0, atol=1e-9 * np.abs(together).max())


@pytest.mark.parametrize("method", ["gmres", "lu", "lsmr", "van-cittert"])
def test_masked_pixels_do_not_reach_the_fit(instrument, method):
    w, model, infield, straylight = instrument
    scene = velmora.demo_scene(w)
    observed = velmora.observe(scene, infield, straylight, windows=w)
    mask = np.zeros(w.l1c_image_shape, dtype=bool)
    mask[2, 3] = mask[-1, 0] = mask[4, -2] = True
    spoiled = observed.copy()
    spoiled[mask] = [np.nan, 1e30, -5.0]
    kwargs = dict(method=method, rtol=1e-11, maxiter=3000, restart=200, on_failure="ignore")
    clean, info = velmora.correct(observed, infield, straylight, windows=w, mask=mask, return_info=True, **kwargs)
    dirty = velmora.correct(spoiled, infield, straylight, windows=w, mask=mask, **kwargs)
    assert info["masked"] == 3 and info["mask"].sum() == 3
    # What the masked pixels held changes nothing, and the corrected image is finite everywhere.
    np.testing.assert_allclose(dirty, clean, rtol=1e-8, atol=1e-8 * np.abs(clean).max())
    assert np.all(np.isfinite(dirty))
    if method in ("gmres", "lu"):
        residual = np.where(mask, 0.0, velmora.observe(dirty, infield, straylight, windows=w) - observed)
        assert np.linalg.norm(residual) <= 1e-9 * np.linalg.norm(np.where(mask, 0.0, observed))
    # missing="mask" masks the non-finite pixels by itself.
    only_nan = observed.copy()
    only_nan[2, 3] = np.inf
    _, info = velmora.correct(only_nan, infield, straylight, windows=w, missing="mask", return_info=True, **kwargs)
    assert info["masked"] == 1 and info["mask"][2, 3]


def test_outcomes_are_told(velmora_builtin, velmora_builtin_matrices):
    ins = velmora_builtin
    infield, stray = velmora_builtin_matrices
    observed = velmora.observe(velmora.demo_scene(ins.windows), infield, stray, windows=ins.windows)
    nan = observed.copy()
    nan[4, 7] = nan[5, 1] = np.nan
    with pytest.raises(ValueError, match=r"2 pixel\(s\) that are not finite, the first at \(x, y\) = \(7, 4\)"):
        velmora.correct(nan, infield, stray, windows=ins.windows)
    short = dict(method="gmres", preconditioner=None, maxiter=2)
    with pytest.warns(velmora.ConvergenceWarning, match="1 of 1 frame"):
        velmora.correct(observed, infield, stray, windows=ins.windows, **short)
    with pytest.raises(velmora.ConvergenceError) as caught:
        velmora.correct(observed[None], infield, stray, windows=ins.windows, on_failure="raise", **short)
    assert caught.value.result.shape == (1,) + observed.shape and not caught.value.info["converged"]
    assert caught.value.info["iterations"] == [2]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _, info = velmora.correct(observed, infield, stray, windows=ins.windows, on_failure="ignore",
                                  return_info=True, **short)
        assert not info["converged"]
        x, info = velmora.correct(observed, infield, stray, windows=ins.windows, return_info=True)
    assert info["method"] == "lu" and info["converged"] and info["residual"][0] < 1e-12
    for method in ("lu", "gmres"):      # frames near the end of the float range do not overflow the solvers
        big, info = velmora.correct(observed * 1e300, infield, stray, windows=ins.windows, method=method,
                                    return_info=True)
        assert info["converged"]
        np.testing.assert_allclose(big / 1e300, x, rtol=1e-8)
    with pytest.warns(velmora.ConvergenceWarning):          # diverging van Cittert iterations
        velmora.correct(observed, infield, stray, windows=ins.windows, method="van-cittert", relaxation=30.0)
    with pytest.raises(np.linalg.LinAlgError, match="holds no light"):
        velmora.Corrector(np.eye(ins.windows.F) * 0.0 + np.diag(np.r_[0.0, np.ones(ins.windows.F - 1)]),
                          windows=ins.windows, target="stray-light")
    for bad in (dict(target="both"), dict(core=(1, 2, 3)), dict(core=(-1, 0)), dict(on_failure="shout"),
                dict(missing="fill"), dict(preconditioner="kernel")):
        with pytest.raises(ValueError):
            velmora.Corrector(infield, stray, windows=ins.windows, method="gmres", **bad)


def test_one_corrector_serves_threads_at_once(tmp_path):
    # The LU factors and the GMRES state are shared read-only; each call gets its own info.
    script = textwrap.dedent("""
        import threading, numpy as np, velmora
        ins = velmora.builtin_instrument()
        inf = velmora.infield_matrix(ins.windows, ins.psfs, threads=1)
        model = velmora.forward_model(ins.windows, ins.psfs, threads=1)
        rng = np.random.default_rng(0)
        images = [rng.uniform(1, 2, (k + 1,) + ins.windows.l1c_image_shape) for k in range(4)]
        for corrector in (velmora.Corrector(inf, windows=ins.windows), velmora.Corrector(model, rtol=1e-9)):
            alone = [corrector.correct(im) for im in images]
            results = [None] * 4
            def work(k):
                for _ in range(20):
                    got, info = corrector.correct(images[k], return_info=True)
                    assert len(info["iterations"]) == k + 1
                    assert np.array_equal(got, alone[k]), "a thread saw another's state"
                results[k] = True
            threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
            [t.start() for t in threads]; [t.join() for t in threads]
            assert all(results), results
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and "ok" in proc.stdout, proc.stderr[-2000:]
