"""velmora.plot: every figure returns a Figure, draws into given Axes and hides no negative value."""

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from matplotlib.figure import Figure  # noqa: E402

from velmora import plot  # noqa: E402

KY, KX = 3, 4
F = KX * KY


def _data():
    rng = np.random.default_rng(5)
    infield = np.eye(F) * 0.8 + rng.random((F, F)) * 1e-3
    infield[0, 1] = -2e-3                                     # the quadratic scheme's negative elements
    stray = np.zeros((F, F))
    stray[[0, KY * (KX - 1)]] = rng.random((2, F)) * 1e-3    # two source rows only
    stray[0, 5] = -1e-6
    images = rng.random((4, 9, 7)) * 1e-3
    images[:, 4, 3] = 1.0
    images[:, 0, 0] = -1e-4                                   # background subtracted below 0
    true = rng.random((KY, KX)) * 100
    observed = true + rng.normal(size=(KY, KX))
    return infield, stray, images, true, observed


INFIELD, STRAY, PSF_IMAGES, TRUE, OBSERVED = _data()

FIGURES = {
    "infield": (1, lambda ax: plot.infield(INFIELD, ax=ax)),
    "stray_light": (1, lambda ax: plot.stray_light(STRAY, ax=ax)),
    "stray_light compact": (1, lambda ax: plot.stray_light(pytest.importorskip("scipy.sparse").csr_array(STRAY),
                                                           ax=ax)),
    "matrix": (1, lambda ax: plot.matrix(INFIELD, rows="all", title="t", ax=ax)),
    "psfs": (4, lambda ax: plot.psfs(PSF_IMAGES, ax=ax)),
    "scene": (5, lambda ax: plot.scene(TRUE, OBSERVED, TRUE - 1e-3, ax=ax)),
    "images": (2, lambda ax: plot.images([TRUE - 200, OBSERVED], ["a", "b"], ax=ax)),
}


@pytest.mark.parametrize("name", FIGURES)
def test_each_figure_returns_a_figure_honours_ax_and_shows_negatives(name):
    count, draw = FIGURES[name]
    fig = draw(None)
    assert isinstance(fig, Figure)
    drawn = [im for a in fig.axes for im in a.images]
    assert drawn and min(im.norm.vmin for im in drawn) < 0 < max(im.norm.vmax for im in drawn)
    for im in drawn:  # no negative value falls off the scale
        values = np.ma.compressed(im.get_array())
        if values.min() < 0:
            assert im.norm.vmin <= values.min()

    own = Figure()
    axes = own.subplots(1, count, squeeze=False)[0]
    assert draw(axes if count > 1 else axes[0]) is own
    assert all(a.images for a in axes)
    with pytest.raises(ValueError, match="Axes"):
        draw(list(axes[:count - 1]) if count > 1 else [])


def test_figures_name_their_layout():
    import velmora

    w = velmora.builtin_instrument().windows.replace(Kx=KX, Ky=KY)
    fig = plot.stray_light(STRAY, windows=w)  # the non-zero rows only, labelled with their sources
    (image,) = fig.axes[0].images
    assert image.get_array().shape == (2, F)
    labels = [t.get_text() for t in fig.axes[0].get_yticklabels()]
    assert labels == ["0 (x 0, y 0)", f"{KY * (KX - 1)} (x {KX - 1}, y 0)"]
    panel = plot.psfs(PSF_IMAGES).axes[3]  # images[psf, x, y] drawn with x across, y up
    assert panel.get_title().startswith("PSF 3") and "images[3, x, y]" in panel.get_title()
    assert panel.get_xlabel().startswith("detector x") and panel.get_ylabel().startswith("detector y")
    assert panel.images[0].get_array().shape == (PSF_IMAGES.shape[2], PSF_IMAGES.shape[1])


def test_scene_figure_has_residual_panels():
    corrected = TRUE + 1e-9
    fig = plot.scene(TRUE, OBSERVED, corrected)
    panels = {a.get_title().split(" (")[0]: a for a in fig.axes if a.images}
    assert list(panels) == ["true scene", "observed", "corrected", "observed − true", "corrected − true"]
    np.testing.assert_allclose(panels["observed − true"].images[0].get_array(), OBSERVED - TRUE)
    residual = panels["corrected − true"].images[0]
    assert residual.norm.vmin == -residual.norm.vmax and residual.norm.vmax < 1e-8  # its own scale
