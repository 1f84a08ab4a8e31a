"""PNG files of the figures, for the command-line tool.

With matplotlib installed (``pip install 'velmora[demo]'``) each function
saves the figure of :mod:`velmora.plot` (axes, titles, colour bars). Without
it, plain false-colour PNG images are written by a small built-in encoder, so
the command-line tool works on a machine with NumPy alone. To draw figures
of your own, use :mod:`velmora.plot`.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Sequence
from os import PathLike
from pathlib import Path

import numpy as np

__all__ = ["have_matplotlib", "matrix_figure", "psf_figure", "images_figure", "scene_figure", "write_png"]

# A perceptually ordered colour ramp (dark blue - teal - green - yellow).
_RAMP = np.array([[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]], dtype=np.float64)


def have_matplotlib() -> bool:
    """Whether matplotlib can be imported (figures with axes and colour bars)."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _save(fig, path: Path) -> Path:
    fig.savefig(path)
    return path


# ---------------------------------------------------------------- plain PNG
def write_png(path: str | PathLike, rgb: np.ndarray) -> None:
    """Write an 8-bit RGB image, shape (height, width, 3), top row first, as PNG."""
    rgb = np.ascontiguousarray(rgb, dtype=np.uint8)
    if rgb.ndim != 3 or rgb.shape[2] != 3:
        raise ValueError(f"expected an RGB image of shape (height, width, 3), got {rgb.shape}")
    height, width = rgb.shape[:2]
    raw = b"".join(b"\x00" + rgb[row].tobytes() for row in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


def _colour(values: np.ndarray, lo: float, hi: float) -> np.ndarray:
    t = np.nan_to_num((values - lo) / (hi - lo) if hi > lo else np.zeros_like(values), nan=0.0)
    t = np.clip(t, 0.0, 1.0) * (len(_RAMP) - 1)
    i = np.minimum(t.astype(int), len(_RAMP) - 2)
    f = (t - i)[..., None]
    return (_RAMP[i] * (1 - f) + _RAMP[i + 1] * f).round().astype(np.uint8)


def _plain_panels(path, panels: Sequence[np.ndarray], log: bool, shared: bool) -> None:
    """Panels side by side, each drawn with row 0 at the bottom, 2 px white gaps."""
    def prepare(a):
        a = np.asarray(a, dtype=np.float64)
        return np.log10(np.where(a > 0, a, np.nan)) if log else a

    data = [prepare(p) for p in panels]
    finite = [d[np.isfinite(d)] for d in data]
    if shared:
        allv = np.concatenate(finite) if finite else np.array([0.0])
        ranges = [(allv.min(), allv.max()) if allv.size else (0.0, 1.0)] * len(data)
    else:
        ranges = [(v.min(), v.max()) if v.size else (0.0, 1.0) for v in finite]
    height = max(d.shape[0] for d in data)
    scale = max(1, 256 // max(height, 1))
    tiles = []
    for d, (lo, hi) in zip(data, ranges, strict=False):
        tile = _colour(d, lo, hi)
        tile[~np.isfinite(d)] = _RAMP[0]
        tile = np.repeat(np.repeat(tile[::-1], scale, axis=0), scale, axis=1)
        pad = np.full((height * scale, tile.shape[1], 3), 255, np.uint8)
        pad[height * scale - tile.shape[0]:] = tile
        tiles += [pad, np.full((height * scale, 2, 3), 255, np.uint8)]
    write_png(path, np.concatenate(tiles[:-1], axis=1))


# ---------------------------------------------------------------- figures
def matrix_figure(path: str | PathLike, matrix: np.ndarray, title: str) -> Path:
    """The matrix (source pixel s down, receiving pixel r across), see :func:`velmora.plot.matrix`.

    Negative elements are shown on a symmetric log scale; a matrix whose rows
    are mostly zero (the stray-light matrix) is drawn on its non-zero rows.
    Without matplotlib: a plain log-scale image of the positive elements.
    """
    path = Path(path)
    if not have_matplotlib():
        _plain_panels(path, [np.asarray(matrix, dtype=np.float64)[::-1]], log=True, shared=False)
        return path
    from . import plot

    return _save(plot.matrix(matrix, rows="auto", title=title), path)


def psf_figure(path: str | PathLike, images: np.ndarray, nodes: Sequence[tuple[float, float]] | None = None,
               crop: int = 24) -> Path:
    """The measured PSFs around their centres, one panel each, see :func:`velmora.plot.psfs`.

    Parameters
    ----------
    path : str or os.PathLike
        The PNG file to write.
    images : ndarray, shape (M, Nx, Ny)
        PSFs indexed [psf, x, y], their cores in the middle; drawn with x across and y up.
    nodes : sequence of (x, y), optional
        Field position of each PSF, used in the panel titles.
    crop : int
        Half-size of the cut-out around the image centre.

    Returns
    -------
    pathlib.Path
    """
    path = Path(path)
    images = np.asarray(images, dtype=np.float64)
    if not have_matplotlib():
        m, nx, ny = images.shape
        cx, cy = nx // 2, ny // 2
        cut = images[:, max(cx - crop, 0):cx + crop + 1, max(cy - crop, 0):cy + crop + 1]
        _plain_panels(path, [c.T for c in cut], log=True, shared=True)
        return path
    from . import plot

    return _save(plot.psfs(images, nodes=nodes, crop=crop), path)


def images_figure(path: str | PathLike, images: Sequence[np.ndarray], titles: Sequence[str]) -> Path:
    """L1C images indexed [y, x] side by side on one colour scale, see :func:`velmora.plot.images`."""
    path = Path(path)
    if not have_matplotlib():
        _plain_panels(path, list(images), log=False, shared=True)
        return path
    from . import plot

    return _save(plot.images(images, titles), path)


def scene_figure(path: str | PathLike, true: np.ndarray, observed: np.ndarray,
                 corrected: np.ndarray | None = None) -> Path:
    """A scene observed and corrected, with the residuals, see :func:`velmora.plot.scene`."""
    path = Path(path)
    if not have_matplotlib():
        panels = [true, observed] + ([corrected] if corrected is not None else [])
        residuals = [np.asarray(p, dtype=np.float64) - np.asarray(true, dtype=np.float64) for p in panels[1:]]
        _plain_panels(path, panels + residuals, log=False, shared=False)
        return path
    from . import plot

    return _save(plot.scene(true, observed, corrected), path)
