"""Figures of the matrices, the PSFs and the images: ``velmora.plot``.

Every function draws one figure with matplotlib (``pip install 'velmora[demo]'``)
and returns the :class:`matplotlib.figure.Figure`; nothing is shown or written,
so the caller decides: ``fig.savefig("infield.png")``, or let a notebook
display it. Pass ``ax=`` to draw into Axes of your own (one Axes, or a sequence
of Axes for the figures with several panels); the figure those Axes belong to
is returned. The figures are made without :mod:`matplotlib.pyplot`, so no
backend or global state is touched.

Scales
------
Values of both signs (the quadratic scheme gives the in-field matrix small
negative elements; PSFs with their background subtracted dip below 0) are drawn
on a symmetric logarithmic scale centred on 0 with a diverging colour map, so
no negative value is hidden. Values that are all positive are drawn on a
logarithmic scale, with zero elements in light grey. Images of a scene use a
linear scale, their residuals a diverging one centred on 0.

Functions
---------
infield
    The in-field matrix, every row.
stray_light
    The stray-light matrix on its non-zero rows (the sources next to the
    science window), each labelled with its source pixel.
matrix
    Either matrix, with the choice of rows left to the caller.
psfs
    The measured PSFs, one panel each, with detector (x, y) axes.
scene
    A true scene, its observation and correction, and the residuals
    observed - true and corrected - true.
images
    L1C images side by side on one scale.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

__all__ = ["infield", "stray_light", "matrix", "psfs", "scene", "images"]

#: Colour of zero elements on a logarithmic scale (they have no logarithm).
ZERO_COLOUR = "#e6e6e6"


# ------------------------------------------------------------------ helpers
def _mpl():
    try:
        import matplotlib
        from matplotlib import colors
        from matplotlib.figure import Figure
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError("velmora.plot needs matplotlib: pip install 'velmora[demo]'") from exc
    return matplotlib, colors, Figure


def _root_figure(ax):
    _, _, Figure = _mpl()
    fig = ax.figure
    while not isinstance(fig, Figure):  # a SubFigure belongs to a figure
        fig = fig.figure
    return fig


def _panels(ax, count: int, layout: tuple[int, int], figsize: tuple[float, float]):
    """The figure and ``count`` Axes to draw into: the caller's, or new ones."""
    if ax is None:
        _, _, Figure = _mpl()
        fig = Figure(figsize=figsize, dpi=110, layout="constrained")
        grid = fig.subplots(*layout, squeeze=False).ravel()
        for spare in grid[count:]:
            spare.set_axis_off()
        return fig, list(grid[:count]), True
    axes = [ax] if hasattr(ax, "imshow") else list(np.ravel(np.asarray(ax, dtype=object)))
    if len(axes) < count or not all(hasattr(a, "imshow") for a in axes):
        raise ValueError(f"ax must be {'an Axes or ' if count == 1 else ''}a sequence of at least {count} "
                         f"Axes for this figure, got {ax!r}")
    return _root_figure(axes[0]), axes[:count], False


def _signed_or_log_norm(values: np.ndarray, decades: float):
    """A norm that shows every value: symmetric log when there are negatives, log otherwise.

    Returns the norm and the colour map.
    """
    matplotlib, colors, _ = _mpl()
    finite = values[np.isfinite(values)]
    top = float(np.max(np.abs(finite))) if finite.size else 0.0
    if top == 0.0:
        return colors.Normalize(vmin=-1.0, vmax=1.0), matplotlib.colormaps["RdBu_r"]
    if np.any(finite < 0):
        return (colors.SymLogNorm(linthresh=top * 10.0 ** -decades, linscale=0.5, vmin=-top, vmax=top),
                matplotlib.colormaps["RdBu_r"])
    positive = finite[finite > 0]
    cmap = matplotlib.colormaps["viridis"].with_extremes(bad=ZERO_COLOUR, under=ZERO_COLOUR)
    return colors.LogNorm(vmin=max(float(positive.min()), top * 10.0 ** -decades), vmax=top), cmap


def _colorbar(fig, im, ax, label: str, **kwargs):
    """A colour bar; on a symmetric log scale with a tick every few decades and at 0."""
    from matplotlib.colors import SymLogNorm

    bar = fig.colorbar(im, ax=ax, label=label, **kwargs)
    norm = im.norm
    if isinstance(norm, SymLogNorm):
        top = np.floor(np.log10(norm.vmax))
        low = np.log10(norm.linthresh)
        step = max(1.0, np.ceil((top - low) / 4))
        powers = 10.0 ** np.arange(top, low - 0.5, -step)
        bar.set_ticks(np.concatenate([-powers, [0.0], powers[::-1]]))
    return bar


def _for_log(values: np.ndarray, norm) -> np.ndarray:
    """Zeros masked on a pure log scale (drawn in the 'bad' colour); values as they are otherwise."""
    from matplotlib.colors import LogNorm

    return np.ma.masked_less_equal(values, 0.0) if isinstance(norm, LogNorm) else values


class _Rows:
    """A square matrix (dense, scipy.sparse or LoadedMatrix) read row by row, never densified whole
    when it is sparse and only some of its rows are drawn."""

    def __init__(self, matrix, what: str):
        from .layout import LoadedMatrix, is_sparse

        self.windows = None
        if isinstance(matrix, LoadedMatrix):
            matrix, self.windows = matrix.matrix, matrix.windows
        if is_sparse(matrix):
            matrix = matrix.tocsr(copy=True)
            matrix.eliminate_zeros()
            self.used = np.flatnonzero(np.diff(matrix.indptr) > 0)
        else:
            matrix = np.asarray(matrix, dtype=np.float64)
            self.used = np.flatnonzero(np.any(matrix != 0, axis=1)) if matrix.ndim == 2 else None
        if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
            raise ValueError(f"the {what} must be square (F, F), got shape {matrix.shape}")
        self._matrix = matrix
        self.F = matrix.shape[0]

    def take(self, rows: np.ndarray | None) -> np.ndarray:
        """The given rows (None: all) as a dense float array."""
        picked = self._matrix if rows is None else self._matrix[rows]
        return np.asarray(picked.toarray() if hasattr(picked, "toarray") else picked, dtype=np.float64)


def _pixel_label(s: int, windows) -> str:
    if windows is None or windows.F <= s:
        return f"{s}"
    x, y = divmod(int(s), windows.Ky)
    return f"{s} (x {x}, y {y})"


# ----------------------------------------------------------------- matrices
def matrix(matrix, *, rows: str = "auto", windows=None, title: str | None = None, ax=None):
    """One matrix as an image: source pixel ``s`` down, receiving pixel ``r`` across.

    Parameters
    ----------
    matrix : array_like, scipy.sparse matrix or LoadedMatrix, shape (F, F)
        A matrix in the velmora layout (element ``[s, r]``).
    rows : {"auto", "all", "nonzero"}
        Which rows (sources) to draw: every one, only those with a non-zero
        element (each labelled with its source pixel), or ``"auto"``: the
        non-zero ones when at most half of the rows hold any.
    windows : Windows, optional
        When given (or brought by a LoadedMatrix), row labels also name the
        L1C pixel (x, y) of each source.
    title : str, optional
    ax : matplotlib.axes.Axes, optional
        Draw into this Axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        The matrix is not square, or ``rows`` is not one of the choices.
    """
    return _matrix(matrix, rows, windows, title, ax)


def _matrix(matrix, rows, windows, title, ax):
    if rows not in ("auto", "all", "nonzero"):
        raise ValueError(f"rows must be 'auto', 'all' or 'nonzero', got {rows!r}")
    source = _Rows(matrix, "matrix")
    windows = windows if windows is not None else source.windows
    f, used = source.F, source.used
    if rows == "auto":
        rows = "nonzero" if used.size <= f // 2 else "all"
    if used.size == 0:
        rows = "all"
    shown = used if rows == "nonzero" else np.arange(f)
    fig, (axes,), _ = _panels(ax, 1, (1, 1), (6.8, 5.6))
    data = source.take(shown if rows == "nonzero" else None)
    norm, cmap = _signed_or_log_norm(data, decades=9)
    im = axes.imshow(_for_log(data, norm), norm=norm, cmap=cmap, interpolation="nearest",
                     aspect="auto", extent=(-0.5, f - 0.5, len(shown) - 0.5, -0.5))
    _colorbar(fig, im, axes, "share of the source's signal")
    axes.set_xlabel("receiving L1C pixel r (flat index x·Ky + y)")
    if rows == "nonzero":
        step = max(1, int(np.ceil(len(shown) / 36)))
        ticks = np.arange(0, len(shown), step)
        axes.set_yticks(ticks, [_pixel_label(s, windows) for s in shown[ticks]],
                        fontsize=6 if len(ticks) > 18 else 8)
        for gap in np.flatnonzero(np.diff(shown) > 1):
            axes.axhline(gap + 0.5, color="0.6", linewidth=0.5)
        axes.set_ylabel(f"source L1C pixel s: the {len(shown)} non-zero rows of {f}")
    else:
        axes.set_ylabel("source L1C pixel s")
    if title is not None:
        axes.set_title(title)
    return fig


def infield(matrix, *, windows=None, title: str = "in-field matrix", ax=None):
    """The in-field matrix, every row, negative elements shown.

    Parameters
    ----------
    matrix : array_like or LoadedMatrix, shape (F, F)
        The in-field matrix (element ``[s, r]``).
    windows : Windows, optional
    title : str
    ax : matplotlib.axes.Axes, optional
        Draw into this Axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure
    """
    return _matrix(matrix, "all", windows, title, ax)


def stray_light(matrix, *, windows=None, title: str = "horizontal stray-light matrix", ax=None):
    """The stray-light matrix on its non-zero rows, each labelled with its source.

    Only the sources next to the science window (2·Ky of the F rows for the
    horizontal stray light) send light; the other rows are left out.

    Parameters
    ----------
    matrix : array_like, scipy.sparse matrix or LoadedMatrix, shape (F, F)
        The stray-light matrix (element ``[s, r]``), dense or compact.
    windows : Windows, optional
        When given, row labels also name each source's L1C pixel (x, y).
    title : str
    ax : matplotlib.axes.Axes, optional
        Draw into this Axes instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure
    """
    return _matrix(matrix, "nonzero", windows, title, ax)


# --------------------------------------------------------------------- PSFs
def psfs(psfs, centres=None, *, nodes: Sequence[tuple[float, float]] | None = None, crop: int = 24, ax=None):
    """The measured PSFs, one panel each, around their centres, on detector (x, y) axes.

    Each panel shows ``images[k, x, y]`` with detector x across and y up,
    the axes counting detector pixels from the PSF's centre. When the PSFs'
    field positions form a grid, the panels are placed as in the field.

    Parameters
    ----------
    psfs : PSFSet or array_like, shape (M, Nx, Ny)
        The PSF set, or the PSF images indexed ``[psf, x, y]``.
    centres : array_like, shape (M, 2) or (M, 3), optional
        Rows ``Y, X`` (Y first) of each core in pixel-edge coordinates, when
        ``psfs`` is an array; by default the middle of the image. A PSFSet
        brings its own.
    nodes : sequence of (x, y), optional
        Field position of each PSF, named in the panel titles.
    crop : int
        Half-size, in samples, of the cut-out around each centre.
    ax : matplotlib.axes.Axes or sequence of Axes, optional
        At least M Axes to draw into, one per PSF, instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        The images are not (M, Nx, Ny), the centres not one row per PSF, or
        too few Axes are given.
    """
    from .psfs import PSFSet

    if isinstance(psfs, PSFSet):
        images, centres = psfs.images, psfs.centres if centres is None else centres
    else:
        images = np.asarray(psfs, dtype=np.float64)
    if images.ndim != 3:
        raise ValueError(f"the PSF images must have shape (M, Nx, Ny), got {images.shape}")
    m, nx, ny = images.shape
    if centres is None:
        centres = np.tile([ny / 2.0, nx / 2.0], (m, 1))
    centres = np.asarray(centres, dtype=np.float64)
    if centres.ndim != 2 or centres.shape[0] != m or centres.shape[1] < 2:
        raise ValueError(f"expected one centre row (Y, X) per PSF, {m} in all, got shape {centres.shape}")
    crop = max(int(crop), 0)

    # Panels where the PSFs belong in the field when they form a grid, else row by row.
    xs = sorted({x for x, _ in nodes}) if nodes is not None else []
    ys = sorted({y for _, y in nodes}, reverse=True) if nodes is not None else []
    if nodes is not None and len(nodes) == m and len(xs) * len(ys) == m:
        cols, rows = len(xs), len(ys)
        place = [ys.index(y) * cols + xs.index(x) for x, y in nodes]
    else:
        cols = int(np.ceil(np.sqrt(m)))
        rows = int(np.ceil(m / cols))
        place = list(range(m))
    fig, axes, new = _panels(ax, m if ax is not None else rows * cols, (rows, cols),
                             (2.5 * cols + 1.2, 2.5 * rows + 0.6))
    if ax is not None:
        place = list(range(m))

    cuts = []
    for k in range(m):
        cy, cx = centres[k, 0], centres[k, 1]
        x0, y0 = max(int(np.floor(cx)) - crop, 0), max(int(np.floor(cy)) - crop, 0)
        x1, y1 = min(int(np.floor(cx)) + crop + 1, nx), min(int(np.floor(cy)) + crop + 1, ny)
        cuts.append((images[k, x0:x1, y0:y1], (x0 - cx, x1 - cx, y0 - cy, y1 - cy)))
    norm, cmap = _signed_or_log_norm(np.concatenate([c.ravel() for c, _ in cuts]), decades=6)
    im = None
    for k, (cut, extent) in enumerate(cuts):
        a = axes[place[k]]
        a.set_axis_on()
        im = a.imshow(_for_log(cut.T, norm), origin="lower", norm=norm, cmap=cmap, extent=extent,
                      interpolation="nearest")
        where = "" if nodes is None or len(nodes) != m else f" at ({nodes[k][0]:g}, {nodes[k][1]:g})"
        a.set_title(f"PSF {k}{where}\nimages[{k}, x, y]", fontsize=8)
        a.set_xlabel("detector x − X [px]", fontsize=7)
        a.set_ylabel("detector y − Y [px]", fontsize=7)
        a.tick_params(labelsize=6)
    _colorbar(fig, im, [axes[p] for p in place], "fraction of the PSF's energy", shrink=0.8)
    if new:
        fig.suptitle("measured PSFs images[psf, x, y], x across and y up, around their centres (Y, X)")
    return fig


# ------------------------------------------------------------------- images
def _image_panel(a, image, title, norm, cmap, first: bool):
    im = a.imshow(image, origin="lower", norm=norm, cmap=cmap, interpolation="nearest")
    a.set_title(title, fontsize=9)
    a.set_xlabel("L1C x")
    if first:
        a.set_ylabel("L1C y")
    return im


def _as_images(images) -> list[np.ndarray]:
    out = [np.asarray(i, dtype=np.float64) for i in images]
    if not out or any(i.ndim != 2 for i in out) or len({i.shape for i in out}) != 1:
        raise ValueError(f"expected one or more L1C images (Ky, Kx) of one shape, got shapes "
                         f"{[i.shape for i in out]}")
    return out


def images(images, titles: Sequence[str] | None = None, *, ax=None):
    """L1C images indexed ``[y, x]`` side by side on one linear scale, row 0 at the bottom.

    Parameters
    ----------
    images : sequence of array_like, each of shape (Ky, Kx)
    titles : sequence of str, optional
    ax : sequence of matplotlib.axes.Axes, optional
        One Axes per image to draw into, instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        The images are not 2-dimensional or differ in shape, or too few Axes
        are given.
    """
    _, colors, _ = _mpl()
    panels = _as_images(images)
    titles = list(titles) if titles is not None else [""] * len(panels)
    fig, axes, _ = _panels(ax, len(panels), (1, len(panels)), (3.6 * len(panels) + 1, 3.4))
    lo = min(float(np.nanmin(p)) for p in panels)
    hi = max(float(np.nanmax(p)) for p in panels)
    norm = colors.Normalize(vmin=lo, vmax=hi if hi > lo else lo + 1.0)
    im = None
    for k, (a, image) in enumerate(zip(axes, panels, strict=False)):
        im = _image_panel(a, image, titles[k] if k < len(titles) else "", norm, "viridis", k == 0)
    fig.colorbar(im, ax=axes, shrink=0.9, label="signal")
    return fig


def scene(true, observed, corrected=None, *, ax=None):
    """A true scene, what is observed of it and its correction, with the residuals.

    Panels: the true scene, the observed image and (when given) the corrected
    one on one linear scale, then ``observed - true`` and ``corrected - true``,
    each on its own diverging scale centred on 0.

    Parameters
    ----------
    true, observed : array_like, shape (Ky, Kx)
        L1C images indexed ``[y, x]``.
    corrected : array_like, shape (Ky, Kx), optional
    ax : sequence of matplotlib.axes.Axes, optional
        Five Axes (three without ``corrected``) to draw into, in the order
        above, instead of a new figure.

    Returns
    -------
    matplotlib.figure.Figure

    Raises
    ------
    ValueError
        The images are not 2-dimensional or differ in shape, or too few Axes
        are given.
    """
    matplotlib, colors, _ = _mpl()
    given = [true, observed] + ([corrected] if corrected is not None else [])
    panels = _as_images(given)
    names = ["true scene", "observed", "corrected"][:len(panels)]
    residuals = [(p - panels[0], f"{n} − true") for p, n in zip(panels[1:], names[1:], strict=False)]
    count = len(panels) + len(residuals)
    fig, axes, _ = _panels(ax, count, (1, count), (3.3 * count + 1.5, 3.2))
    lo = min(float(np.nanmin(p)) for p in panels)
    hi = max(float(np.nanmax(p)) for p in panels)
    norm = colors.Normalize(vmin=lo, vmax=hi if hi > lo else lo + 1.0)
    im = None
    for k, (a, image, name) in enumerate(zip(axes, panels, names, strict=False)):
        im = _image_panel(a, image, name, norm, "viridis", k == 0)
    fig.colorbar(im, ax=axes[:len(panels)], shrink=0.9, label="signal")
    diverging = matplotlib.colormaps["RdBu_r"]
    for a, (residual, name) in zip(axes[len(panels):], residuals, strict=False):
        top = float(np.nanmax(np.abs(residual))) if residual.size else 0.0
        top = top if top > 0 else 1.0
        im = _image_panel(a, residual, f"{name} (largest {top:.2g})", colors.Normalize(-top, top),
                          diverging, False)
        fig.colorbar(im, ax=a, shrink=0.9, label="residual")
    return fig
