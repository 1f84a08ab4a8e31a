"""Measured PSFs and their interpolation tables: :class:`PSFSet`.

Array layouts (x before y, as the native module reads them):

``images``, shape (M, Nx, Ny), float64
    ``images[i, x, y]`` is sample (x, y) of measured PSF ``i``, on the pitch
    of the detector pixels.
``centres``, shape (M, 3) or (M, 2), float64
    One row per PSF: ``Y, X`` and optionally a window-type number. The centre
    is the position of the PSF's core inside its image, counted in pixel
    edges: sample (x, y) spans [x, x+1) x [y, y+1), so a core centred on
    sample (48, 44) is at ``X = 48.5, Y = 44.5``. Note the order: Y first.
    The window-type number is kept by the module but used by no computation;
    when omitted it is 3 (the detector window).
``coefficients``, shape (Wx, Wy, N), float64, and ``indices``, same shape, int32
    For every pixel (x, y) of the working window, ``N`` weights and the
    numbers of the measured PSFs they weigh: the PSF of a point source at
    (x, y) is ``sum_k coefficients[x, y, k] * images[indices[x, y, k]]``.
    The working window is the detector window (``Dx, Dy``) for the in-field
    matrix and the NOOF window (``NOOFx, NOOFy``) for the stray-light matrix.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from os import PathLike

import numpy as np

from .errors import ConfigurationError
from .windows import Windows

__all__ = ["PSFSet", "bilinear_tables", "MAX_COEFFICIENTS", "WORKING_WINDOWS"]

#: The native PSF lookup holds at most this many coefficients per pixel.
MAX_COEFFICIENTS = 100

#: Working windows of the interpolation tables, with the builder that uses each.
WORKING_WINDOWS = {"detector": "in-field matrix", "noof": "stray-light matrix"}

_DETECTOR_WINDOW_TYPE = 3.0


def _inside(x: np.ndarray, y: np.ndarray, nx: int, ny: int) -> np.ndarray:
    """Whether pixel-edge positions (x, y) lie in an nx x ny image."""
    return (x >= 0) & (x <= nx) & (y >= 0) & (y <= ny)


def _swapped_centres(images: np.ndarray, centres: np.ndarray) -> np.ndarray:
    """The PSFs whose centres, all inside their images, read better as (X, Y) than as (Y, X).

    A centre looks swapped when the other order puts it on (or next to) the
    PSF's brightest sample while the given order does not. (Centres outside
    their images are refused, naming those that would fit the other way.)
    """
    nx, ny = images.shape[1:]
    y, x = centres[:, 0], centres[:, 1]
    peak_x, peak_y = np.unravel_index(np.argmax(images.reshape(len(images), -1), axis=1), (nx, ny))

    def near_peak(px, py):
        return np.maximum(np.abs(np.floor(px) - peak_x), np.abs(np.floor(py) - peak_y)) <= 1

    return np.flatnonzero(_inside(y, x, nx, ny) & near_peak(y, x) & ~near_peak(x, y))


def _float_array(name: str, value, problems: list[str]) -> np.ndarray | None:
    arr = np.asarray(value)
    if arr.dtype.kind not in "fiu":
        problems.append(f"{name} must hold real numbers, got an array of dtype {arr.dtype}")
        return None
    return np.array(arr, dtype=np.float64, order="C", copy=True)


def _index_array(name: str, value, problems: list[str]) -> np.ndarray | None:
    arr = np.asarray(value)
    if arr.dtype.kind not in "iu":
        problems.append(f"{name} must be an integer array (PSF numbers), got an array of dtype {arr.dtype}")
        return None
    if arr.size and (arr.min() < np.iinfo(np.int32).min or arr.max() > np.iinfo(np.int32).max):
        problems.append(f"{name} holds values that do not fit a 32-bit integer")
        return None
    return np.array(arr, dtype=np.int32, order="C", copy=True)


class PSFSet:
    """Measured PSF images, their centres and the interpolation tables.

    The arrays are converted once, at construction, into read-only contiguous
    copies of the types the native module takes (float64, and int32 for the
    indices), and checked for consistency with each other. Whether they fit
    an instrument's windows is checked by :meth:`check`, which the matrix
    builders call.

    Parameters
    ----------
    images : array_like, shape (M, Nx, Ny)
        The measured PSFs, indexed ``[psf, x, y]``.
    centres : array_like, shape (M, 2) or (M, 3)
        Per PSF ``Y, X`` of its core in pixel-edge coordinates inside its
        image, optionally followed by a window-type number (default 3).
    coefficients : array_like, shape (Wx, Wy, N)
        Interpolation weights per working-window pixel, indexed ``[x, y, k]``.
    indices : array_like of int, shape (Wx, Wy, N)
        The PSF numbers (0 to M-1) that the weights refer to.

    Raises
    ------
    ConfigurationError
        A :class:`ValueError` listing every problem: wrong ranks or shapes,
        wrong kinds of numbers, non-finite values, more than
        :data:`MAX_COEFFICIENTS` coefficients per pixel, PSF numbers outside
        0..M-1, or centres outside their images (naming those that would
        fit with their two columns swapped).

    Warns
    -----
    UserWarning
        Once per set, when centres look given as ``X, Y``: read the other way
        round, they put the PSF on its brightest sample (within one sample)
        while the given order does not.

    Attributes
    ----------
    images, centres, coefficients, indices : numpy.ndarray
        The converted, read-only arrays (``centres`` always has 3 columns).
    """

    def __init__(self, images, centres, coefficients, indices, *, _warn: bool = True):
        problems: list[str] = []
        img = _float_array("images", images, problems)
        cen = _float_array("centres", centres, problems)
        coe = _float_array("coefficients", coefficients, problems)
        idx = _index_array("indices", indices, problems)

        if img is not None:
            if img.ndim != 3:
                problems.append(f"images must have shape (M, Nx, Ny), got shape {img.shape}")
                img = None
            elif img.shape[0] < 1 or img.shape[1] < 1 or img.shape[2] < 1:
                problems.append(f"images must hold at least one PSF of at least one sample, got shape {img.shape}")
            elif not np.all(np.isfinite(img)):
                problems.append("images hold values that are not finite")
        m = img.shape[0] if img is not None else None

        if cen is not None:
            if cen.ndim != 2 or cen.shape[1] not in (2, 3):
                problems.append(f"centres must have shape (M, 2) or (M, 3) with rows (Y, X[, window]), "
                                f"got shape {cen.shape}")
                cen = None
            else:
                if cen.shape[1] == 2:
                    cen = np.column_stack([cen, np.full(len(cen), _DETECTOR_WINDOW_TYPE)])
                if m is not None and cen.shape[0] != m:
                    problems.append(f"there are {m} PSF images but {cen.shape[0]} centres")
                if not np.all(np.isfinite(cen)):
                    problems.append("centres hold values that are not finite")
                elif img is not None and img.ndim == 3:
                    nx, ny = img.shape[1:]
                    outside = np.flatnonzero(~_inside(cen[:, 1], cen[:, 0], nx, ny))
                    if outside.size:
                        swapped = np.flatnonzero(_inside(cen[outside, 0], cen[outside, 1], nx, ny))
                        hint = (f"; those of PSF(s) {outside[swapped].tolist()} would fit as X, Y: "
                                "are the two columns swapped?") if swapped.size else ""
                        problems.append(
                            f"the centres of PSF(s) {outside.tolist()} lie outside their {nx} x {ny} images "
                            f"(rows are Y, X in pixel-edge coordinates: 0 <= X <= {nx}, 0 <= Y <= {ny})"
                            + hint)

        if coe is not None and coe.ndim != 3:
            problems.append(f"coefficients must have shape (Wx, Wy, N), got shape {coe.shape}")
            coe = None
        if idx is not None and idx.ndim != 3:
            problems.append(f"indices must have shape (Wx, Wy, N), got shape {idx.shape}")
            idx = None
        if coe is not None and idx is not None and coe.shape != idx.shape:
            problems.append(f"coefficients {coe.shape} and indices {idx.shape} must have the same shape")
        if coe is not None:
            n = coe.shape[2]
            if n < 1 or n > MAX_COEFFICIENTS:
                problems.append(f"there must be 1 to {MAX_COEFFICIENTS} interpolation coefficients per pixel, got {n}")
            if not np.all(np.isfinite(coe)):
                problems.append("coefficients hold values that are not finite")
        if idx is not None and m is not None and idx.size:
            used = idx if coe is None or coe.shape != idx.shape else idx[coe != 0]
            bad = used[(used < 0) | (used >= m)]
            if bad.size:
                problems.append(f"indices must be PSF numbers 0 to {m - 1}; found {np.unique(bad)[:10].tolist()}")

        if problems:
            raise ConfigurationError("PSF set", problems)
        for arr in (img, cen, coe, idx):
            arr.setflags(write=False)
        self.images: np.ndarray = img
        self.centres: np.ndarray = cen
        self.coefficients: np.ndarray = coe
        self.indices: np.ndarray = idx
        if _warn:
            swapped = _swapped_centres(img, cen)
            if swapped.size:
                warnings.warn(
                    f"the centres of PSF(s) {swapped.tolist()} look swapped: read as X, Y they lie on the "
                    "PSFs' brightest samples, read as given (Y, X) they do not; each row of centres is "
                    "Y, X (Y first)", UserWarning, stacklevel=2)

    # ------------------------------------------------------------ properties
    @property
    def M(self) -> int:
        """Number of measured PSFs."""
        return self.images.shape[0]

    @property
    def psf_shape(self) -> tuple[int, int]:
        """Size of each PSF image, ``(Nx, Ny)``."""
        return self.images.shape[1], self.images.shape[2]

    @property
    def table_shape(self) -> tuple[int, int]:
        """Working-window size that the tables cover, ``(Wx, Wy)``."""
        return self.coefficients.shape[0], self.coefficients.shape[1]

    @property
    def ncoeffs(self) -> int:
        """Number of interpolation coefficients per pixel."""
        return self.coefficients.shape[2]

    def __repr__(self) -> str:
        return (f"PSFSet(M={self.M}, psf_shape={self.psf_shape}, table_shape={self.table_shape}, "
                f"ncoeffs={self.ncoeffs})")

    # ------------------------------------------------------------- checking
    def problems(self, windows: Windows, window: str = "detector") -> list[str]:
        """Every mismatch between this set and the windows (empty when it fits).

        Parameters
        ----------
        windows : Windows
        window : {"detector", "noof"}
            The working window of the tables: ``"detector"`` for the in-field
            matrix, ``"noof"`` for the stray-light matrix.

        Returns
        -------
        list of str
        """
        if window not in WORKING_WINDOWS:
            raise ValueError(f"window must be one of {sorted(WORKING_WINDOWS)}, got {window!r}")
        use = WORKING_WINDOWS[window]
        p = []
        nx, ny = self.psf_shape
        if window == "detector":
            need, names, table, tnames = (windows.Dx, windows.Dy), "detector window (Dx, Dy)", \
                windows.detector_table_shape, "detector window (Dx, Dy)"
        else:
            need, names, table, tnames = (windows.Sx, windows.Sy), "science window (Sx, Sy)", \
                windows.noof_table_shape, "NOOF window (NOOFx, NOOFy)"
        if nx < need[0] or ny < need[1]:
            p.append(f"the PSF images ({nx} x {ny}) must be at least as large as the {names} = "
                     f"({need[0]}, {need[1]}) for the {use}")
        if self.table_shape != table:
            p.append(f"the interpolation tables cover {self.table_shape[0]} x {self.table_shape[1]} pixels, "
                     f"but the {use} needs them over the {tnames} = ({table[0]}, {table[1]})")
        return p

    def check(self, windows: Windows, window: str = "detector") -> PSFSet:
        """Check that the set fits the windows.

        Parameters
        ----------
        windows : Windows
        window : {"detector", "noof"}
            The working window of the tables: ``"detector"`` for the in-field
            matrix (images at least ``Dx x Dy``, tables over the detector
            window), ``"noof"`` for the stray-light matrix (images at least
            ``Sx x Sy``, tables over the NOOF window).

        Returns
        -------
        PSFSet
            ``self``.

        Raises
        ------
        ConfigurationError
            A :class:`ValueError` naming every mismatch.
        """
        problems = self.problems(windows, window)
        if problems:
            raise ConfigurationError("PSF set", problems)
        return self

    # ------------------------------------------------------------ using it
    def __setstate__(self, state: dict) -> None:
        # Arrays that arrive through pickle (from another process, say) can sit
        # at any offset of the received buffer: copy those out of alignment, so
        # that the native builds read whole numbers.
        for name, value in state.items():
            if isinstance(value, np.ndarray) and not value.flags.aligned:
                value = value.copy()
                value.setflags(write=False)
                state[name] = value
        self.__dict__.update(state)

    def with_tables(self, coefficients, indices) -> PSFSet:
        """The same PSFs with other interpolation tables (e.g. over the NOOF window).

        The new set does not repeat a warning about the centres that this one gave.
        """
        return PSFSet(self.images, self.centres, coefficients, indices, _warn=False)

    def psf_at(self, x: int, y: int) -> np.ndarray:
        """The interpolated PSF image of a point source at working-window pixel (x, y).

        Returns
        -------
        numpy.ndarray, shape (Nx, Ny)
            ``sum_k coefficients[x, y, k] * images[indices[x, y, k]]``, indexed [x, y].
        """
        c = self.coefficients[x, y]
        return np.tensordot(c, self.images[self.indices[x, y]], axes=1)

    def save(self, path: str | PathLike) -> None:
        """Write the four arrays to an ``.npz`` file (keys images, centres, coefficients, indices)."""
        np.savez(path, images=self.images, centres=self.centres,
                 coefficients=self.coefficients, indices=self.indices)

    @classmethod
    def load(cls, path: str | PathLike) -> PSFSet:
        """Read a set written by :meth:`save` (or any ``.npz`` with the same four keys)."""
        with np.load(path) as data:
            missing = [k for k in ("images", "centres", "coefficients", "indices") if k not in data]
            if missing:
                raise ConfigurationError("PSF set", [f"{path} has no array(s) named {', '.join(missing)}"])
            return cls(data["images"], data["centres"], data["coefficients"], data["indices"])


def bilinear_tables(nodes_x: Sequence[float], nodes_y: Sequence[float],
                    shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray]:
    """Interpolation tables that blend a rectangular grid of measured PSFs.

    The PSFs are measured at the grid positions ``(nodes_x[i], nodes_y[j])``
    of the working window, and PSF number ``i * len(nodes_y) + j`` belongs to
    node (i, j). Every pixel gets the bilinear blend of the four nodes around
    it; beyond the outermost nodes the edge PSFs are used as they are.

    Parameters
    ----------
    nodes_x, nodes_y : sequence of float
        Strictly increasing pixel positions of the grid along x and y.
    shape : (int, int)
        Size ``(Wx, Wy)`` of the working window.

    Returns
    -------
    coefficients : numpy.ndarray, shape (Wx, Wy, 4), float64
    indices : numpy.ndarray, shape (Wx, Wy, 4), int32
        Weights (summing to 1 at every pixel) and PSF numbers.

    Raises
    ------
    ValueError
        Empty or not strictly increasing nodes, or a size below 1.
    """
    def axis(nodes, size, name):
        nodes = np.asarray(nodes, dtype=np.float64)
        if nodes.ndim != 1 or nodes.size < 1 or np.any(np.diff(nodes) <= 0):
            raise ValueError(f"{name} must be a non-empty, strictly increasing sequence")
        if size < 1:
            raise ValueError(f"the working window size must be at least 1, got {size}")
        pos = np.arange(size, dtype=np.float64)
        if nodes.size == 1:
            zero = np.zeros(size, dtype=np.int64)
            return zero, zero, np.zeros(size)
        lo = np.clip(np.searchsorted(nodes, pos, side="right") - 1, 0, nodes.size - 2)
        t = np.clip((pos - nodes[lo]) / (nodes[lo + 1] - nodes[lo]), 0.0, 1.0)
        return lo, lo + 1, t

    wx, wy = shape
    x0, x1, tx = axis(nodes_x, wx, "nodes_x")
    y0, y1, ty = axis(nodes_y, wy, "nodes_y")
    ny = len(nodes_y)
    tx, ty = tx[:, None], ty[None, :]
    coefficients = np.stack([(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty], axis=-1)
    indices = np.stack([x0[:, None] * ny + y0[None, :], x1[:, None] * ny + y0[None, :],
                        x0[:, None] * ny + y1[None, :], x1[:, None] * ny + y1[None, :]], axis=-1)
    return np.ascontiguousarray(coefficients), np.ascontiguousarray(indices, dtype=np.int32)
