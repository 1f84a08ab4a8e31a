"""Using the matrices: flat vectors, L1C pixels and the forward operator.

Conventions
-----------
L1C image
    A natural NumPy image indexed ``[y, x]``, shape ``(Ky, Kx)``; row 0 is the
    bottom edge of the L1C window. Stacks of images, shape ``(..., Ky, Kx)``,
    are accepted everywhere.
Flat vector
    The F = Kx * Ky values of an L1C image in matrix order: L1C pixel (x, y)
    has the flat index ``x * Ky + y``, so y varies fastest and the pixels of
    one L1C column are consecutive.
Matrix
    Shape (F, F). The share of the signal of source pixel ``s`` that arrives
    in receiving pixel ``r`` is stored at ``matrix[s, r]``: row ``s`` of the
    NumPy array holds everything that source ``s`` sends out. The observed
    flat vector is therefore ``o[r] = sum_s matrix[s, r] * t[s]``, i.e.
    ``o = t @ matrix`` or ``o = matrix.T @ t``. The stray-light matrix,
    whose only non-zero rows are its sources next to the science window, may
    also be given in compact form: a :mod:`scipy.sparse` matrix (CSR) of
    shape (F, F) in the same ``[s, r]`` layout.
Windows
    F alone cannot tell an image of shape (Ky, Kx) from its transpose. Pass
    ``windows=`` (a :class:`~velmora.Windows`, or the metadata of a loaded
    matrix) and every image must have the shape (Ky, Kx) of its L1C window,
    and every matrix the shape (F, F). A :class:`LoadedMatrix` brings its
    windows along by itself.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np

from .windows import Windows

__all__ = [
    "LoadedMatrix",
    "flat_index",
    "forward_operator",
    "image_to_vector",
    "l1c_pixel",
    "observe",
    "vector_to_image",
]


class LoadedMatrix(NamedTuple):
    """A matrix together with the metadata it was stored with.

    A named tuple ``(matrix, metadata)``: it unpacks as such, and when it is
    passed whole to :func:`observe`, :class:`Corrector`,
    :func:`forward_operator` or :func:`correct`, the windows in its metadata
    are used as ``windows=``.

    Attributes
    ----------
    matrix : numpy.ndarray or scipy.sparse matrix, shape (F, F)
        The matrix in the velmora layout (``[s, r]``).
    metadata : dict
        What was stored with it; ``metadata["windows"]``, when present, is a
        :class:`~velmora.Windows`.
    """

    matrix: Any
    metadata: dict

    @property
    def windows(self) -> Windows | None:
        """The windows of the metadata, or None when it holds none."""
        return _windows_of(self.metadata, "the matrix's metadata")


def _windows_of(value, what: str) -> Windows | None:
    """The windows given as ``windows=``: Windows, metadata holding them, or None."""
    if value is None or isinstance(value, Windows):
        return value
    if isinstance(value, LoadedMatrix):
        return value.windows
    if isinstance(value, Mapping):
        found = value.get("windows")
        if found is None or isinstance(found, Windows):
            return found
        raise TypeError(f"the \"windows\" entry of {what} must be a velmora.Windows, "
                        f"got {type(found).__name__}")
    raise TypeError(f"{what} must be a velmora.Windows or metadata holding one under \"windows\", "
                    f"got {type(value).__name__}")


def unwrap(matrices, windows) -> tuple[list, Windows | None]:
    """The bare matrices and the one set of windows that the call and the matrices name."""
    found = [("windows=", _windows_of(windows, "windows="))]
    bare = []
    for name, matrix in matrices:
        if isinstance(matrix, LoadedMatrix):
            found.append((f"the {name} matrix's metadata", matrix.windows))
            matrix = matrix.matrix
        bare.append(matrix)
    named = [(what, w) for what, w in found if w is not None]
    for what, w in named[1:]:
        if w != named[0][1]:
            raise ValueError(f"the windows of {what} differ from those of {named[0][0]}: "
                             f"L1C {w.Kx} x {w.Ky} against {named[0][1].Kx} x {named[0][1].Ky}")
    return bare, (named[0][1] if named else None)


def check_image(image: np.ndarray, windows: Windows | None, what: str) -> None:
    if image.ndim < 2:
        raise ValueError(f"the {what} needs at least 2 dimensions (Ky, Kx), got shape {image.shape}")
    if windows is not None and image.shape[-2:] != windows.l1c_image_shape:
        raise ValueError(f"the {what} has the shape {image.shape[-2:]} in its last two dimensions, but the "
                         f"windows' L1C images have the shape (Ky, Kx) = {windows.l1c_image_shape}"
                         + (" (is it transposed?)" if image.shape[-2:] == windows.l1c_image_shape[::-1]
                            else ""))


def _l1c_shape(shape) -> tuple[int, int]:
    if isinstance(shape, Windows):
        return shape.l1c_image_shape
    try:
        ky, kx = (int(v) for v in shape)
    except (TypeError, ValueError):
        raise TypeError(f"expected Windows or an L1C image shape (Ky, Kx), got {shape!r}") from None
    if ky < 1 or kx < 1:
        raise ValueError(f"an L1C image shape (Ky, Kx) must be positive, got {(ky, kx)}")
    return ky, kx


def image_to_vector(image, windows: Windows | None = None) -> np.ndarray:
    """The flat vector (matrix order) of an L1C image.

    Parameters
    ----------
    image : array_like, shape (..., Ky, Kx)
        L1C image(s) indexed ``[y, x]``.
    windows : Windows, optional
        When given, the image must have the shape ``(Ky, Kx)`` of its L1C window.

    Returns
    -------
    numpy.ndarray, shape (..., F)
        ``vector[..., x * Ky + y] == image[..., y, x]``.

    Raises
    ------
    ValueError
        The image has fewer than 2 dimensions or does not match ``windows``.
    """
    image = np.asarray(image)
    if image.ndim < 2:
        raise ValueError(f"an L1C image needs at least 2 dimensions (Ky, Kx), got shape {image.shape}")
    if windows is not None and image.shape[-2:] != windows.l1c_image_shape:
        raise ValueError(f"the L1C image must have the shape (Ky, Kx) = {windows.l1c_image_shape}, "
                         f"got {image.shape[-2:]}")
    ky, kx = image.shape[-2:]
    return np.swapaxes(image, -1, -2).reshape(*image.shape[:-2], kx * ky)


def vector_to_image(vector, shape) -> np.ndarray:
    """The L1C image of a flat vector; the inverse of :func:`image_to_vector`.

    Parameters
    ----------
    vector : array_like, shape (..., F)
    shape : Windows or (int, int)
        The windows, or the image shape ``(Ky, Kx)``.

    Returns
    -------
    numpy.ndarray, shape (..., Ky, Kx)
        ``image[..., y, x] == vector[..., x * Ky + y]``.

    Raises
    ------
    ValueError
        The vector's last dimension is not ``Kx * Ky``.
    """
    ky, kx = _l1c_shape(shape)
    vector = np.asarray(vector)
    if vector.ndim < 1 or vector.shape[-1] != kx * ky:
        raise ValueError(f"the flat vector must have Kx * Ky = {kx * ky} values in its last dimension, "
                         f"got shape {vector.shape}")
    return np.swapaxes(vector.reshape(*vector.shape[:-1], kx, ky), -1, -2)


def flat_index(x, y, shape):
    """Flat index ``x * Ky + y`` of L1C pixel (x, y); works element-wise on arrays.

    Raises
    ------
    IndexError
        A pixel lies outside the L1C image.
    """
    ky, kx = _l1c_shape(shape)
    x, y = np.asarray(x), np.asarray(y)
    if np.any((x < 0) | (x >= kx) | (y < 0) | (y >= ky)):
        raise IndexError(f"L1C pixel outside the {kx} x {ky} image")
    result = x * ky + y
    return int(result) if result.ndim == 0 else result


def l1c_pixel(index, shape):
    """L1C pixel ``(x, y)`` of a flat index; the inverse of :func:`flat_index`.

    Raises
    ------
    IndexError
        The index lies outside 0 .. F-1.
    """
    ky, kx = _l1c_shape(shape)
    index = np.asarray(index)
    if np.any((index < 0) | (index >= kx * ky)):
        raise IndexError(f"flat index outside 0 .. {kx * ky - 1}")
    x, y = np.divmod(index, ky)
    return (int(x), int(y)) if index.ndim == 0 else (x, y)


def is_sparse(matrix) -> bool:
    try:
        from scipy import sparse
    except ImportError:  # pragma: no cover - scipy is a dependency
        return False
    return sparse.issparse(matrix)


def square_matrix(name: str, matrix) -> np.ndarray:
    if is_sparse(matrix):
        matrix = matrix.toarray()
    matrix = np.asarray(matrix, dtype=np.float64)
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError(f"the {name} matrix must be square (F, F), got shape {matrix.shape}")
    return matrix


def total_bytes(infield, stray_light, windows=None) -> tuple[np.ndarray, Windows | None]:
    """In-field plus stray-light matrix as one dense array, and the windows it was checked against."""
    (infield, stray_light), windows = unwrap((("in-field", infield), ("stray-light", stray_light)), windows)
    total = square_matrix("in-field", infield)
    if windows is not None and total.shape != windows.matrix_shape:
        raise ValueError(f"the in-field matrix has the shape {total.shape}, but the windows' matrices have "
                         f"the shape (F, F) = {windows.matrix_shape}")
    if stray_light is None:
        return total, windows
    if is_sparse(stray_light):
        # Only the stored entries are added, so the result equals that of the dense form.
        if stray_light.ndim != 2 or stray_light.shape != total.shape:
            raise ValueError(f"the stray-light matrix {stray_light.shape} and the in-field matrix "
                             f"{total.shape} must have the same shape")
        entries = stray_light.tocoo(copy=True)
        entries.sum_duplicates()
        if np.may_share_memory(total, infield):
            total = total.copy()
        total[entries.row, entries.col] += entries.data.astype(np.float64, copy=False)
        return total, windows
    stray = square_matrix("stray-light", stray_light)
    if stray.shape != total.shape:
        raise ValueError(f"the stray-light matrix {stray.shape} and the in-field matrix {total.shape} "
                         "must have the same shape")
    return total + stray, windows


def forward_operator(infield, stray_light=None, *, windows=None) -> np.ndarray:
    """The operator ``T`` with ``observed_vector = T @ true_vector``.

    Parameters
    ----------
    infield : array_like or LoadedMatrix, shape (F, F)
        In-field matrix in the velmora layout (``[s, r]``).
    stray_light : array_like, scipy.sparse matrix or LoadedMatrix, shape (F, F), optional
        Stray-light matrix, dense or compact (CSR), added to the in-field
        one; both forms give the same result.
    windows : Windows or mapping, optional
        The windows of the matrices, or metadata holding them under
        ``"windows"`` (as :func:`velmora.load_matrix` returns it). When given
        (or brought by a :class:`LoadedMatrix`), the matrices must have the
        shape (F, F) and every image the shape (..., Ky, Kx) of these windows;
        without them only the pixel count F is checked.

    Returns
    -------
    numpy.ndarray, shape (F, F)
        ``T[r, s]`` = share of source ``s`` in receiving pixel ``r``: the
        transpose of the (summed) matrices, as a new C-contiguous array.

    Raises
    ------
    ValueError
        The matrices are not square, differ in shape, or do not fit the windows.
    """
    return np.ascontiguousarray(total_bytes(infield, stray_light, windows)[0].T)


def observe(scene, infield, stray_light=None, *, windows=None, dims=("y", "x")):
    """The forward model: the image observed from a true L1C scene.

    Parameters
    ----------
    scene : array_like, shape (..., Ky, Kx), or xarray.DataArray
        True L1C image(s) indexed ``[y, x]``; or a DataArray with the image
        dimensions ``dims`` (see :mod:`velmora.xarray_images`; Dask-backed
        stays lazy).
    infield : array_like or LoadedMatrix, shape (F, F)
        In-field matrix in the velmora layout (``[s, r]``).
    stray_light : array_like, scipy.sparse matrix or LoadedMatrix, shape (F, F), optional
        Stray-light matrix, dense or compact (CSR), added to the in-field
        one; both forms give the same result.
    windows : Windows or mapping, optional
        The windows of the matrices, or metadata holding them under
        ``"windows"`` (as :func:`velmora.load_matrix` returns it). When given
        (or brought by a :class:`LoadedMatrix`), the matrices must have the
        shape (F, F) and every image the shape (..., Ky, Kx) of these windows;
        without them only the pixel count F is checked.
    dims : (str, str)
        With a DataArray scene: the names of its y and x dimensions.

    Returns
    -------
    numpy.ndarray, shape (..., Ky, Kx), or xarray.DataArray
        The observed image(s); a DataArray for a DataArray scene, with its
        dimensions, coordinates and attributes and velmora's provenance.

    Raises
    ------
    ValueError
        The scene does not have F pixels, or not the shape (..., Ky, Kx) of
        the windows (a DataArray: lacks a dimension of ``dims``); the matrices
        are not square, differ in shape, or do not fit the windows.
    """
    from .xarray_images import is_dataarray, observe_dataarray

    if is_dataarray(scene):
        return observe_dataarray(scene, infield, stray_light, windows=windows, dims=dims)
    scene = np.asarray(scene, dtype=np.float64)
    total, windows = total_bytes(infield, stray_light, windows)
    check_image(scene, windows, "scene")
    vector = image_to_vector(scene)
    if vector.shape[-1] != total.shape[0]:
        raise ValueError(f"the scene has {vector.shape[-1]} pixels but the matrix is {total.shape}")
    return vector_to_image(vector @ total, scene.shape[-2:])

