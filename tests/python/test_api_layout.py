"""Flat vectors, the forward model and the correction (velmora.layout)."""

import numpy as np
import pytest

import velmora
from velmora import Corrector, flat_index, image_to_vector, l1c_pixel, observe, vector_to_image


def test_flat_index_is_x_times_ky_plus_y(velmora_builtin):
    w = velmora_builtin.windows
    image = np.arange(w.Ky * w.Kx, dtype=float).reshape(w.l1c_image_shape)
    vector = image_to_vector(image, w)
    for x, y in [(0, 0), (0, 1), (1, 0), (w.Kx - 1, w.Ky - 1), (7, 11)]:
        assert vector[x * w.Ky + y] == image[y, x]
        assert flat_index(x, y, w) == x * w.Ky + y
        assert l1c_pixel(x * w.Ky + y, w) == (x, y)
    np.testing.assert_array_equal(vector_to_image(vector, w), image)
    with pytest.raises(IndexError):
        flat_index(w.Kx, 0, w)
    with pytest.raises(ValueError):
        image_to_vector(image.T, w)
    with pytest.raises(ValueError):
        vector_to_image(vector[:-1], w)


def test_stacks_round_trip():
    images = np.random.default_rng(1).random((2, 3, 5, 4))
    vectors = image_to_vector(images)
    assert vectors.shape == (2, 3, 20)
    np.testing.assert_array_equal(vector_to_image(vectors, (5, 4)), images)
    np.testing.assert_array_equal(vectors[1, 2], image_to_vector(images[1, 2]))


def test_observe_reads_the_matrix_as_source_by_receiver():
    # Kx = 3, Ky = 2: source pixel (x=2, y=0) sends 0.7 to itself and 0.2 to pixel (x=0, y=1).
    shape = (2, 3)
    s, r = flat_index(2, 0, shape), flat_index(0, 1, shape)
    matrix = np.zeros((6, 6))
    matrix[s, s], matrix[s, r] = 0.7, 0.2
    scene = np.zeros(shape)
    scene[0, 2] = 10.0
    observed = observe(scene, matrix)
    expected = np.zeros(shape)
    expected[0, 2], expected[1, 0] = 7.0, 2.0
    np.testing.assert_allclose(observed, expected)
    stray = np.zeros((6, 6)); stray[s, r] = 0.05
    assert observe(scene, matrix, stray)[1, 0] == pytest.approx(2.5)
    np.testing.assert_allclose(velmora.forward_operator(matrix, stray) @ image_to_vector(scene),
                               image_to_vector(observe(scene, matrix, stray)))


def test_corrector_inverts_the_forward_model_for_many_images():
    rng = np.random.default_rng(7)
    shape = (4, 5)
    matrix = np.eye(20) * 0.8 + rng.random((20, 20)) * 0.01
    stray = np.zeros((20, 20)); stray[0] = rng.random(20) * 0.02
    scenes = rng.random((3,) + shape) * 100
    corrector = Corrector(matrix, stray)
    np.testing.assert_allclose(corrector.correct(observe(scenes, matrix, stray)), scenes, rtol=1e-10)
    np.testing.assert_allclose(velmora.correct(observe(scenes[0], matrix), matrix), scenes[0], rtol=1e-10)


@pytest.mark.parametrize("matrix, error", [
    (np.zeros((6, 6)), np.linalg.LinAlgError),
    (np.ones((6, 6)), np.linalg.LinAlgError),
    (np.full((6, 6), np.nan), np.linalg.LinAlgError),
    (np.eye(6)[:5], ValueError),
])
def test_corrector_refuses_unusable_matrices(matrix, error):
    with pytest.raises(error):
        Corrector(matrix)


def _operator(windows, seed=3):
    rng = np.random.default_rng(seed)
    infield = np.eye(windows.F) * 0.8 + rng.random((windows.F, windows.F)) * 1e-3
    stray = np.zeros_like(infield)
    stray[:windows.Ky] = rng.random((windows.Ky, windows.F)) * 1e-3
    return infield, stray


@pytest.mark.parametrize("apply", [
    lambda image, m, s, kw: observe(image, m, s, **kw),
    lambda image, m, s, kw: Corrector(m, s, **kw).correct(image),
    lambda image, m, s, kw: velmora.correct(image, m, s, **kw),
], ids=["observe", "Corrector.correct", "correct"])
@pytest.mark.parametrize("how", ["Windows", "metadata", "LoadedMatrix"])
def test_transposed_images_are_refused_with_windows_and_accepted_without(velmora_builtin, apply, how):
    w = velmora_builtin.windows
    infield, stray = _operator(w)
    scene = np.random.default_rng(4).random(w.l1c_image_shape)
    assert apply(scene.T, infield, stray, {}).shape == (w.Kx, w.Ky)  # F alone cannot tell
    given = {"Windows": ({"windows": w}, infield), "metadata": ({"windows": {"windows": w}}, infield),
             "LoadedMatrix": ({}, velmora.LoadedMatrix(infield, {"windows": w}))}
    kw, matrix = given[how]
    assert apply(scene, matrix, stray, kw).shape == w.l1c_image_shape
    with pytest.raises(ValueError, match=r"\(24, 18\).*\(Ky, Kx\) = \(18, 24\)"):
        apply(scene.T, matrix, stray, kw)
    with pytest.raises(ValueError, match=r"\(24, 18\).*\(18, 24\)"):
        apply(np.stack([scene.T, scene.T]), matrix, stray, kw)  # a stack of them too


@pytest.mark.parametrize("windows, metadata, error", [
    ("same", None, None),
    ("same", "same", None),
    ("transposed", "same", r"windows of the in-field matrix's metadata differ from those of windows="),
    ("smaller", None, r"\(432, 432\).*\(F, F\) = \(414, 414\)"),
])
def test_forward_operator_checks_the_matrices_against_the_windows(velmora_builtin, windows, metadata, error):
    w = velmora_builtin.windows
    named = {"same": w, "transposed": w.replace(Kx=w.Ky, Ky=w.Kx), "smaller": w.replace(Kx=w.Kx - 1)}
    infield, stray = _operator(w)
    matrix = infield if metadata is None else velmora.LoadedMatrix(infield, {"windows": named[metadata]})
    if error is None:
        np.testing.assert_array_equal(velmora.forward_operator(matrix, stray, windows=named[windows]),
                                      (infield + stray).T)
    else:
        with pytest.raises(ValueError, match=error):
            velmora.forward_operator(matrix, stray, windows=named[windows])


@pytest.mark.parametrize("compact", ["csr_array", "csr_matrix", "LoadedMatrix"])
def test_compact_stray_light_gives_the_results_of_the_dense_form(velmora_builtin, velmora_builtin_matrices, compact):
    sparse = pytest.importorskip("scipy.sparse")
    w = velmora_builtin.windows
    infield, stray = velmora_builtin_matrices
    assert 0 < np.count_nonzero(stray.any(axis=1)) < w.F  # a real compact case
    form = {"csr_array": lambda: sparse.csr_array(stray), "csr_matrix": lambda: sparse.csr_matrix(stray),
            "LoadedMatrix": lambda: velmora.LoadedMatrix(sparse.csr_array(stray), {"windows": w})}[compact]()
    scene = velmora.demo_scene(w)
    before = infield.copy()
    np.testing.assert_array_equal(velmora.forward_operator(infield, form), velmora.forward_operator(infield, stray))
    observed = observe(scene, infield, form)
    np.testing.assert_array_equal(observed, observe(scene, infield, stray))
    np.testing.assert_array_equal(Corrector(infield, form).correct(observed),
                                  Corrector(infield, stray).correct(observed))
    np.testing.assert_array_equal(infield, before)  # the in-field matrix is not changed in place
    with pytest.raises(ValueError, match="same shape"):
        observe(scene, infield, sparse.csr_array(stray[:-1]))
