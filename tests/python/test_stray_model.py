"""The stray-light convolution of the forward model against the dense stray-light matrix."""

from __future__ import annotations

import functools
import types

import numpy as np
import pytest

import velmora
from velmora import _native, builds
from velmora._stray_model import build_stray

INSTRUMENTS = {
    "builtin": velmora.builtin_instrument,
    "blurred-bin2": lambda: velmora.blurred_instrument(Kx=24, Ky=16, binning=2, stray_columns=8),
    "blurred-bin1": lambda: velmora.blurred_instrument(Kx=20, Ky=12, binning=1, stray_columns=6),
}


@functools.cache
def instrument(name):
    ins = INSTRUMENTS[name]()
    return ins, velmora.infield_matrix(ins.windows, ins.psfs, threads=2)


def stray(ins, psfs=None, vignetting=None, dn=(1, 1), ds=(1, 1), exact=False):
    w = ins.windows
    return build_stray(_native, w.to_array(), builds.vignetting_buffer(w, vignetting), psfs or ins.stray_psfs,
                       *dn, *ds, 2, w, exact=exact)


def matrix_of(sc):
    """The dense [s, r] matrix of a StrayConvolution from products with every unit image, and of its adjoint."""
    eye = np.eye(sc.F).reshape(sc.F, sc.Kx, sc.Ky)
    return sc.apply(eye).reshape(sc.F, sc.F), sc.adjoint(eye).reshape(sc.F, sc.F).T


@pytest.mark.parametrize("name", sorted(INSTRUMENTS))
@pytest.mark.parametrize("vignetting", [False, True], ids=["plain", "vignetted"])
@pytest.mark.parametrize("dn, ds", [((1, 1), (1, 1)), ((2, 2), (2, 2)), ((3, 1), (1, 3)), ((1, 3), (3, 2))])
def test_convolution_equals_the_dense_matrix(name, vignetting, dn, ds):
    ins, infield = instrument(name)
    w = ins.windows
    vig = ins.vignetting if vignetting else None
    S = velmora.stray_light_matrix(w, ins.stray_psfs, vignetting=vig, source_step=dn, sample_step=ds, threads=2)
    tol = 1e-12 * np.abs(S).max()
    sc = stray(ins, vignetting=vig, dn=dn, ds=ds)
    assert sc.exact_sources == 0 and sc.sources == np.count_nonzero(np.any(S != 0, axis=1))
    forward, backward = matrix_of(sc)
    np.testing.assert_allclose(forward, S, rtol=0, atol=tol)
    np.testing.assert_allclose(backward, S, rtol=0, atol=tol)
    np.testing.assert_allclose(sc.diagonal().reshape(-1), np.diag(S), rtol=0, atol=tol)
    # The whole model, against the dense operator.
    model = velmora.forward_model(w, ins.psfs, stray_psfs=ins.stray_psfs, vignetting=vig, source_step=dn,
                                  sample_step=ds, threads=2)
    T = velmora.forward_operator(infield, S)
    v = np.random.default_rng(1).standard_normal((w.F, 2))
    for got, A in ((model @ v, T), (model.H @ v, T.T)):
        np.testing.assert_allclose(got, A @ v, rtol=0, atol=1e-12 * np.max(np.abs(A) @ np.abs(v)))
    np.testing.assert_allclose(model.diagonal(), np.diag(T), rtol=0, atol=1e-12 * np.abs(T).max())
    assert model.stray_sources == sc.sources


def test_a_stack_equals_its_images_one_by_one():
    ins, _ = instrument("blurred-bin2")
    sc = stray(ins, vignetting=ins.vignetting, dn=(2, 1), ds=(1, 2))
    sc._batch = 2   # batches of 2 images: a stack of 5 takes three
    t = np.random.default_rng(2).standard_normal((5, sc.Kx, sc.Ky))
    for f in (sc.apply, sc.adjoint):
        np.testing.assert_allclose(f(t), np.concatenate([f(image[None]) for image in t]), rtol=0, atol=1e-15)
    with pytest.raises(ValueError, match=r"\(n, Kx, Ky\)"):
        sc.apply(t[0])
    with pytest.raises(ValueError, match=r"\(n, Kx, Ky\)"):
        sc.adjoint(np.swapaxes(t, 1, 2))


def test_sources_evaluated_per_receiver():
    """All sources per receiver equal the dense matrix; a source with a NaN coefficient alone takes that path."""
    ins, _ = instrument("builtin")
    dn, ds = (2, 1), (1, 2)
    S = velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting, source_step=dn,
                                   sample_step=ds, threads=2)
    exact = stray(ins, vignetting=ins.vignetting, dn=dn, ds=ds, exact=True)
    assert exact.exact_sources == exact.sources > 0 and exact.shape == (0, 0)
    tol = 1e-12 * np.abs(S).max()
    for got in matrix_of(exact):
        np.testing.assert_allclose(got, S, rtol=0, atol=tol)
    np.testing.assert_allclose(exact.diagonal().reshape(-1), np.diag(S), rtol=0, atol=tol)
    # One NaN coefficient at a source pixel of the first sampled row's left side.
    p = ins.stray_psfs
    coefficients = np.array(p.coefficients)
    k = _native.stray_kernels(ins.windows.to_array(), np.zeros((0, 0)), p.images, p.centres, p.coefficients,
                              p.indices, *dn, *ds, threads=1)
    coefficients[k["col_x"][0], k["row_y"][0], 0] = np.nan
    bad = types.SimpleNamespace(images=p.images, centres=p.centres, coefficients=coefficients, indices=p.indices)
    mixed, reference = stray(ins, psfs=bad, dn=dn, ds=ds), stray(ins, psfs=bad, dn=dn, ds=ds, exact=True)
    assert mixed.exact_sources == 1 and mixed.slots > 0
    # Its row is NaN (and so is every product with the matrix, 0 x NaN being NaN): the adjoint
    # products with unit images give the other rows.
    got, want = matrix_of(mixed)[1], matrix_of(reference)[1]
    assert np.isnan(got).any(axis=1).sum() == 1
    tol = 1e-12 * np.nanmax(np.abs(want))
    np.testing.assert_allclose(got, want, rtol=0, atol=tol)
    np.testing.assert_allclose(mixed.diagonal(), reference.diagonal(), rtol=0, atol=tol)
    with pytest.raises(MemoryError, match="more than the 0 MiB allowed"):
        _native.stray_kernels(ins.windows.to_array(), np.zeros((0, 0)), p.images, p.centres, p.coefficients,
                              p.indices, *dn, *ds, threads=1, exact=True, max_exact_bytes=0.0)
