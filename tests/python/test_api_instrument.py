"""The built-in instrument and the figures of the demo."""

import struct
import zlib

import numpy as np
import pytest

import velmora
from velmora import figures


def test_builtin_instrument_is_consistent_and_deterministic(velmora_builtin):
    ins = velmora_builtin
    w = ins.windows
    w.validate(rows_below=42)
    assert 200 <= w.F <= 600 and (w.Bx, w.By) != (1, 1)
    ins.psfs.check(w, "detector")
    ins.stray_psfs.check(w, "noof")
    np.testing.assert_allclose(ins.psfs.images.sum(axis=(1, 2)), 1.0)
    np.testing.assert_allclose(ins.psfs.coefficients.sum(-1), 1.0)
    np.testing.assert_allclose(ins.stray_psfs.coefficients.sum(-1), 1.0)
    assert ins.vignetting.shape == w.vignetting_shape and 0 < ins.vignetting.min() <= ins.vignetting.max() <= 1
    # Core, wings and ghost: most energy in the central samples, a faint secondary peak away from them.
    psf = ins.psfs.images[4]
    cx, cy = 48, 44
    assert 0.3 < psf[cx, cy] and psf[cx - 2:cx + 3, cy - 2:cy + 3].sum() > 0.9
    far = psf.copy()
    far[cx - 5:cx + 6, cy - 5:cy + 6] = 0
    gx, gy = np.unravel_index(np.argmax(far), far.shape)
    assert (gx - cx, gy - cy) == (9, -7)
    # Neighbouring pixels blend neighbouring PSFs.
    between = ins.psfs.psf_at(20, 44)
    assert np.all(np.minimum(ins.psfs.images[0], ins.psfs.images[3]) <= between + 1e-15)
    rebuilt = velmora.instrument._build.__wrapped__()
    np.testing.assert_array_equal(rebuilt.psfs.images, ins.psfs.images)
    with pytest.raises(ValueError):
        ins.psfs.images[0, 0, 0] = 1.0


def _png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    return width, height


def test_figures_without_matplotlib(tmp_path, monkeypatch, velmora_builtin):
    monkeypatch.setattr(figures, "have_matplotlib", lambda: False)
    matrix = np.eye(12) * 0.5
    figures.matrix_figure(tmp_path / "m.png", matrix, "m")
    figures.psf_figure(tmp_path / "p.png", velmora_builtin.psfs.images, velmora_builtin.psf_nodes)
    figures.images_figure(tmp_path / "i.png", [np.zeros((3, 4)), np.ones((3, 4))], ["a", "b"])
    assert _png_size(tmp_path / "m.png")[0] == _png_size(tmp_path / "m.png")[1]
    width, height = _png_size(tmp_path / "i.png")
    assert width == 2 * 4 * (height // 3) + 2
    # The image rows decode to what was drawn: the first panel dark, the second bright.
    raw = zlib.decompress((tmp_path / "i.png").read_bytes()[41:-16])
    row = np.frombuffer(raw[: 1 + 3 * width], np.uint8)[1:].reshape(width, 3)
    assert row[0].sum() < row[-1].sum()
