"""PNG figures of matrices, PSFs and images.

With matplotlib installed (``pip install 'velmora[demo]'``) the figures have
axes, titles and colour bars. Without it, plain false-colour PNG images are
written by a small built-in encoder, so the command-line tool works on a
machine with NumPy alone.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Sequence
from os import PathLike
from pathlib import Path

import numpy as np

__all__ = ["have_matplotlib", "matrix_figure", "psf_figure", "images_figure", "write_png"]

# A perceptually ordered colour ramp (dark blue - teal - green - yellow).
_RAMP = np.array([[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]], dtype=np.float64)


def have_matplotlib() -> bool:
    """Whether matplotlib can be imported (figures with axes and colour bars)."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _pyplot():
    import matplotlib

    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    return plt


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
    for d, (lo, hi) in zip(data, ranges):
        tile = _colour(d, lo, hi)
        tile[~np.isfinite(d)] = _RAMP[0]
        tile = np.repeat(np.repeat(tile[::-1], scale, axis=0), scale, axis=1)
        pad = np.full((height * scale, tile.shape[1], 3), 255, np.uint8)
        pad[height * scale - tile.shape[0]:] = tile
        tiles += [pad, np.full((height * scale, 2, 3), 255, np.uint8)]
    write_png(path, np.concatenate(tiles[:-1], axis=1))


# ---------------------------------------------------------------- figures
def matrix_figure(path: str | PathLike, matrix: np.ndarray, title: str) -> Path:
    """The matrix on a log scale, receiving pixel r across and source pixel s down.

    Zero elements are left blank (they have no logarithm).
    """
    path = Path(path)
    matrix = np.asarray(matrix, dtype=np.float64)
    if not have_matplotlib():
        _plain_panels(path, [matrix[::-1]], log=True, shared=False)
        return path
    from matplotlib.colors import LogNorm

    plt = _pyplot()
    positive = matrix[matrix > 0]
    fig, ax = plt.subplots(figsize=(6.4, 5.6), dpi=110)
    if positive.size:
        vmax = positive.max()
        vmin = max(positive.min(), vmax * 1e-9)
        im = ax.imshow(np.where(matrix > 0, matrix, np.nan), norm=LogNorm(vmin=vmin, vmax=vmax),
                       cmap="viridis", interpolation="nearest")
        fig.colorbar(im, ax=ax, label="share of the source's signal")
    else:
        ax.imshow(np.zeros_like(matrix), cmap="gray_r", interpolation="nearest")
        ax.text(0.5, 0.5, "all elements are zero", transform=ax.transAxes, ha="center")
    ax.set_xlabel("receiving L1C pixel r (flat index x·Ky + y)")
    ax.set_ylabel("source L1C pixel s")
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return path


def psf_figure(path: str | PathLike, images: np.ndarray, nodes: Sequence[tuple[float, float]] | None = None,
               crop: int = 24) -> Path:
    """The measured PSFs (log scale), cropped around their centres, one panel each.

    Parameters
    ----------
    images : ndarray, shape (M, Nx, Ny)
        PSFs indexed [psf, x, y]; drawn with x across and y up.
    nodes : sequence of (x, y), optional
        Field position of each PSF, used in the panel titles.
    crop : int
        Half-size of the cut-out around the image centre.
    """
    path = Path(path)
    images = np.asarray(images, dtype=np.float64)
    m, nx, ny = images.shape
    cx, cy = nx // 2, ny // 2
    cut = images[:, max(cx - crop, 0):cx + crop + 1, max(cy - crop, 0):cy + crop + 1]
    panels = [c.T for c in cut]  # [y, x] for drawing
    if not have_matplotlib():
        _plain_panels(path, panels, log=True, shared=True)
        return path
    from matplotlib.colors import LogNorm

    plt = _pyplot()
    # Panels where the PSFs belong in the field when they form a grid, else row by row.
    xs = sorted({x for x, _ in nodes}) if nodes is not None else []
    ys = sorted({y for _, y in nodes}, reverse=True) if nodes is not None else []
    if nodes is not None and len(xs) * len(ys) == m:
        cols, rows = len(xs), len(ys)
        place = [ys.index(y) * cols + xs.index(x) for x, y in nodes]
    else:
        cols = int(np.ceil(np.sqrt(m)))
        rows = int(np.ceil(m / cols))
        place = list(range(m))
    fig, axes = plt.subplots(rows, cols, figsize=(2.4 * cols + 1, 2.4 * rows), dpi=110, squeeze=False)
    for ax in axes.ravel():
        ax.set_axis_off()
    vmax = images.max()
    norm = LogNorm(vmin=vmax * 1e-6, vmax=vmax)
    im = None
    for k in range(m):
        ax = axes.ravel()[place[k]]
        im = ax.imshow(np.clip(panels[k], vmax * 1e-6, None), origin="lower", norm=norm, cmap="magma",
                       extent=(-crop - 0.5, crop + 0.5, -crop - 0.5, crop + 0.5))
        label = f"PSF {k}" if nodes is None else f"PSF {k} at ({nodes[k][0]:g}, {nodes[k][1]:g})"
        ax.set_title(label, fontsize=8)
    if im is not None:
        fig.colorbar(im, ax=axes.ravel().tolist(), shrink=0.8, label="fraction of the PSF's energy")
    fig.suptitle("measured PSFs, placed as in the field (log scale: core, wings and ghost)")
    fig.savefig(path)
    plt.close(fig)
    return path


def images_figure(path: str | PathLike, images: Sequence[np.ndarray], titles: Sequence[str]) -> Path:
    """L1C images indexed [y, x] side by side on one colour scale, row 0 at the bottom."""
    path = Path(path)
    if not have_matplotlib():
        _plain_panels(path, list(images), log=False, shared=True)
        return path
    plt = _pyplot()
    lo = min(float(np.min(i)) for i in images)
    hi = max(float(np.max(i)) for i in images)
    fig, axes = plt.subplots(1, len(images), figsize=(3.6 * len(images) + 1, 3.4), dpi=110, squeeze=False,
                             layout="constrained")
    im = None
    for k, (ax, image, title) in enumerate(zip(axes[0], images, titles)):
        im = ax.imshow(image, origin="lower", vmin=lo, vmax=hi, cmap="viridis", interpolation="nearest")
        ax.set_title(title, fontsize=9)
        ax.set_xlabel("L1C x")
        if k == 0:
            ax.set_ylabel("L1C y")
    fig.colorbar(im, ax=axes[0].tolist(), shrink=0.9, label="signal")
    fig.savefig(path)
    plt.close(fig)
    return path
