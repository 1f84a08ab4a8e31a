"""The builders against the native module, on the built-in instrument and a small one."""

import logging

import numpy as np
import pytest

import velmora
from velmora import BuildError



def test_builtin_matrices_conserve_energy_and_have_the_stray_light_layout(velmora_builtin, velmora_builtin_matrices):
    w = velmora_builtin.windows
    infield, stray = velmora_builtin_matrices
    assert infield.shape == stray.shape == (w.F, w.F)
    assert np.all(np.isfinite(infield)) and np.all(np.isfinite(stray))
    sums = infield.sum(axis=1)                   # what each source pixel sends out
    assert 0.5 < sums.min() and sums.max() < 1.1
    centre = velmora.flat_index(w.Kx // 2, w.Ky // 2, w)
    assert infield[centre, centre] == infield[centre].max() > 0.2
    # Only the leftmost and rightmost L1C pixels of each row carry horizontal stray light.
    sources = np.flatnonzero(np.any(stray != 0, axis=1))
    assert set(sources // w.Ky) == {0, w.Kx - 1}


def test_correction_recovers_a_scene_observed_through_the_builtin_matrices(velmora_builtin, velmora_builtin_matrices):
    infield, stray = velmora_builtin_matrices
    scene = velmora.demo_scene(velmora_builtin.windows)
    for matrices in ((infield,), (infield, stray)):
        observed = velmora.observe(scene, *matrices)
        assert np.max(np.abs(observed - scene)) > 0.05 * scene.max()   # the blur is visible
        np.testing.assert_allclose(velmora.Corrector(*matrices).correct(observed), scene, rtol=1e-9, atol=1e-9)


def test_options_change_only_their_own_call(velmora_small):
    w, psfs, _ = velmora_small
    quadratic = velmora.infield_matrix(w, psfs, rows_below=6, threads=1)
    midpoint = velmora.infield_matrix(w, psfs, scheme="midpoint", rows_below=6, threads=1)
    no_edge = velmora.infield_matrix(w, psfs, lower_edge=False, rows_below=6, threads=1)
    again = velmora.infield_matrix(w, psfs, rows_below=6, threads=1)
    np.testing.assert_array_equal(again, quadratic)
    assert not np.allclose(midpoint, quadratic)
    # The lower-edge correction adds only to the sources of the bottom L1C row (y = 0).
    bottom = np.arange(w.F) % w.Ky == 0
    np.testing.assert_allclose(no_edge[~bottom], quadratic[~bottom], rtol=1e-12, atol=1e-15)
    assert np.all(quadratic[bottom].sum(axis=1) > no_edge[bottom].sum(axis=1))


def test_vignetting_is_read_as_a_natural_image(velmora_small):
    w, _, stray = velmora_small
    right_half = np.zeros(w.vignetting_shape)
    right_half[:, w.NOOFx // 2:] = 1.0           # sources left of the science window are dark
    full = velmora.stray_light_matrix(w, stray, threads=1)
    dark_left = velmora.stray_light_matrix(w, stray, vignetting=right_half, threads=1)
    left_sources, right_sources = slice(0, w.Ky), slice(w.F - w.Ky, w.F)
    assert np.any(full[left_sources] != 0) and np.all(dark_left[left_sources] == 0)
    np.testing.assert_allclose(dark_left[right_sources], full[right_sources], rtol=1e-12)


def test_module_refusals_raise_build_error_with_its_reasons(velmora_small, caplog, capsys):
    w, psfs, _ = velmora_small
    with caplog.at_level(logging.INFO, logger="velmora"):
        with pytest.raises(BuildError) as err:
            velmora.infield_matrix(w.replace(Sx=7, Lx=3), psfs, rows_below=6, check=False)
    assert any("The science window size" in r.text for r in err.value.errors)
    assert "The science window size" in str(err.value)
    assert capsys.readouterr().out == ""
    assert any(r.levelno == logging.ERROR for r in caplog.records if r.name == "velmora")


def test_module_lines_are_logged_and_progress_is_reported(velmora_small, caplog, capsys):
    w, psfs, _ = velmora_small
    seen = []
    with caplog.at_level(logging.DEBUG, logger="velmora"):
        velmora.infield_matrix(w, psfs, rows_below=6, threads=2, progress=lambda d, t: seen.append((d, t)))
    assert capsys.readouterr().out == ""
    messages = [r.getMessage() for r in caplog.records if r.name == "velmora"]
    assert any("Processing with a maximum of 2 threads" in m for m in messages)
    assert seen[-1] == (w.Ky, w.Ky) and len(seen) == w.Ky + 1


def test_element_s_r_is_the_psf_of_source_s_at_receiver_r():
    # No binning, one asymmetric PSF everywhere, the midpoint scheme: element [s, r] is that PSF,
    # centred on L1C pixel s, read at L1C pixel r; this pins the matrix layout and the flat index.
    w = velmora.Windows(FULLCONVx=16, FULLCONVy=16, NOFSx=0, NOFSy=0, NOOFx=16, NOOFy=16, DOFSx=0, DOFSy=0,
                        Dx=8, Dy=7, SOFSx=1, SOFSy=2, Sx=5, Sy=4, LBINx=1, LBINy=1, Lx=5, Ly=4,
                        KBINx=1, KBINy=1, Kx=5, Ky=4)
    image = np.random.default_rng(3).random((11, 9))           # [x, y], core at sample (5, 4)
    psfs = velmora.PSFSet(image[None], [[4.5, 5.5]], np.ones((8, 7, 1)), np.zeros((8, 7, 1), int))
    matrix = velmora.infield_matrix(w, psfs, scheme="midpoint", lower_edge=False, threads=2)
    expected = np.zeros((w.F, w.F))
    for xs in range(w.Kx):
        for ys in range(w.Ky):
            for xr in range(w.Kx):
                for yr in range(w.Ky):
                    expected[xs * w.Ky + ys, xr * w.Ky + yr] = image[5 + xr - xs, 4 + yr - ys]
    np.testing.assert_allclose(matrix, expected, rtol=1e-13)


@pytest.mark.parametrize("columns", [(0, 1), (3, 7), (23, 24), (0, 24)])
@pytest.mark.parametrize("matrix", ["in-field quadratic", "in-field midpoint", "stray-light"])
def test_column_blocks_are_bitwise_the_rows_of_the_whole_matrix(velmora_builtin, matrix, columns):
    ins = velmora_builtin
    if matrix == "stray-light":
        build = lambda **k: velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting,
                                                       source_step=ins.source_step, **k)
    else:
        build = lambda **k: velmora.infield_matrix(ins.windows, ins.psfs, scheme=matrix.split()[1], **k)
    whole = build(threads=1)
    x0, x1 = columns
    block, report = build(columns=columns, threads=2, return_report=True)
    assert report.fast_path
    np.testing.assert_array_equal(block, whole[x0 * ins.windows.Ky:x1 * ins.windows.Ky])
    out = np.full(block.shape, 3.0)
    assert build(columns=columns, out=out) is out and np.array_equal(out, block)


@pytest.mark.parametrize("columns", [(0, 0), (5, 3), (-1, 2), (0, 25), (1.5, 2), 3])
def test_column_ranges_outside_the_l1c_window_are_refused(velmora_builtin, columns):
    ins = velmora_builtin
    with pytest.raises((ValueError, TypeError), match="columns"):
        velmora.infield_matrix(ins.windows, ins.psfs, columns=columns)
