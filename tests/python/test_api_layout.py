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
