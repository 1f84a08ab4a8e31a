"""velmora.PSFSet and bilinear_tables: conversion, checks against the windows, blending."""

import numpy as np
import pytest

from velmora import ConfigurationError, PSFSet, bilinear_tables


def arrays(m=2, nx=13, ny=15, wx=12, wy=14, n=4):
    images = np.ones((m, nx, ny))
    centres = np.tile([ny / 2, nx / 2], (m, 1))
    coeffs = np.full((wx, wy, n), 1.0 / n)
    indices = np.zeros((wx, wy, n), dtype=np.int64)
    return images, centres, coeffs, indices


def test_converts_once_to_native_types():
    images, centres, coeffs, indices = arrays()
    s = PSFSet(images.astype(np.float32), centres, np.asfortranarray(coeffs), indices)
    assert s.images.dtype == np.float64 and s.coefficients.dtype == np.float64 and s.indices.dtype == np.int32
    for a in (s.images, s.centres, s.coefficients, s.indices):
        assert a.flags.c_contiguous and not a.flags.writeable
    assert s.centres.shape == (2, 3) and np.all(s.centres[:, 2] == 3.0)
    assert (s.M, s.psf_shape, s.table_shape, s.ncoeffs) == (2, (13, 15), (12, 14), 4)
    # The caller's arrays stay theirs.
    images[0, 0, 0] = 5.0
    assert s.images[0, 0, 0] == 1.0


def _with(i, value):
    a = list(arrays())
    a[i] = value(a[i]) if callable(value) else value
    return a


@pytest.mark.parametrize("args, fragment", [
    (_with(0, lambda a: a[0]), "images must have shape (M, Nx, Ny)"),
    (_with(0, lambda a: a.astype(complex)), "images must hold real numbers"),
    (_with(1, lambda a: a[:1]), "2 PSF images but 1 centres"),
    (_with(1, lambda a: a[:, ::-1] * [3, 1]), "lie outside their 13 x 15 images"),
    (_with(2, lambda a: a[..., :3]), "must have the same shape"),
    (_with(2, lambda a: np.where(a > 0, np.nan, a)), "coefficients hold values that are not finite"),
    (_with(3, lambda a: a.astype(float)), "indices must be an integer array"),
    (_with(3, lambda a: a + 2), "PSF numbers 0 to 1; found [2]"),
    (_with(0, lambda a: a * np.inf), "images hold values that are not finite"),
])
def test_inconsistent_sets_are_refused(args, fragment):
    with pytest.raises(ConfigurationError) as err:
        PSFSet(*args)
    assert fragment in str(err.value)


def test_coefficient_count_limit_and_zero_weights():
    images, centres, _, _ = arrays()
    PSFSet(images, centres, np.full((2, 2, 100), 0.01), np.zeros((2, 2, 100), int))
    with pytest.raises(ConfigurationError, match="1 to 100 interpolation coefficients"):
        PSFSet(images, centres, np.full((2, 2, 101), 0.01), np.zeros((2, 2, 101), int))
    # A PSF number beside a zero weight is never used, so it is not an error.
    coeffs = np.zeros((2, 2, 2)); coeffs[..., 0] = 1
    PSFSet(images, centres, coeffs, np.stack([np.zeros((2, 2)), np.full((2, 2), 7)], -1).astype(int))


def test_check_against_the_windows(velmora_small):
    w, infield, stray = velmora_small
    assert infield.check(w, "detector") is infield
    stray.check(w, "noof")
    with pytest.raises(ConfigurationError, match=r"over the NOOF window \(NOOFx, NOOFy\) = \(20, 18\)"):
        infield.check(w, "noof")
    with pytest.raises(ConfigurationError, match=r"detector window \(Dx, Dy\) = \(12, 14\)"):
        stray.check(w, "detector")
    small = PSFSet(infield.images[:, :11, :], infield.centres, infield.coefficients, infield.indices)
    assert small.problems(w, "detector")[0].startswith("the PSF images (11 x 15) must be at least as large")
    with pytest.raises(ValueError):
        infield.check(w, "science")


def test_bilinear_tables_blend_neighbouring_psfs():
    c, i = bilinear_tables([2.0, 6.0, 10.0], [1.0, 5.0], (12, 7))
    assert c.shape == i.shape == (12, 7, 4) and i.dtype == np.int32
    np.testing.assert_allclose(c.sum(-1), 1.0)
    weights = lambda x, y: {int(k): w for k, w in zip(i[x, y], c[x, y]) if w != 0}
    assert weights(6, 5) == {1 * 2 + 1: 1.0}          # on node (1, 1)
    assert weights(4, 1) == {0: 0.5, 2: 0.5}          # half-way between nodes (0, 0) and (1, 0)
    assert weights(8, 2) == pytest.approx({2: 0.375, 4: 0.375, 3: 0.125, 5: 0.125})
    assert weights(0, 0) == {0: 1.0} and weights(11, 6) == {5: 1.0}  # clamped outside the grid
    with pytest.raises(ValueError):
        bilinear_tables([3.0, 2.0], [1.0], (4, 4))


def test_psf_at_and_file_round_trip(tmp_path, velmora_small):
    _, psfs, _ = velmora_small
    c, i = psfs.coefficients[5, 6], psfs.indices[5, 6]
    np.testing.assert_allclose(psfs.psf_at(5, 6), sum(w * psfs.images[k] for w, k in zip(c, i)))
    psfs.save(tmp_path / "set.npz")
    again = PSFSet.load(tmp_path / "set.npz")
    for name in ("images", "centres", "coefficients", "indices"):
        np.testing.assert_array_equal(getattr(again, name), getattr(psfs, name))


@pytest.mark.parametrize("order, ny, outcome", [
    ("YX", None, None),
    ("XY", None, "warning"),
    ("XY", 46, "error"),  # outside as given, inside the other way round
])
def test_swapped_centres_are_named(velmora_builtin, order, ny, outcome):
    import warnings

    p = velmora_builtin.psfs
    images = p.images[:, :, :ny]
    centres = p.centres if order == "YX" else p.centres[:, [1, 0, 2]]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if outcome == "error":
            with pytest.raises(ConfigurationError, match=r"would fit as X, Y: are the two columns swapped"):
                PSFSet(images, centres, p.coefficients, p.indices)
            return
        s = PSFSet(images, centres, p.coefficients, p.indices)
        s.with_tables(p.coefficients, p.indices)  # the same PSFs: no second warning
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    if outcome is None:
        assert messages == []
    else:
        assert len(messages) == 1 and "look swapped" in messages[0] and "0, 1, 2" in messages[0]
