"""L1C images as :class:`xarray.DataArray`: named dimensions in, named dimensions out.

:func:`velmora.observe`, :meth:`velmora.Corrector.correct` and
:meth:`velmora.ForwardModel.apply` accept a DataArray whose image
dimensions are named (``dims=("y", "x")`` by default). The two image
dimensions may stand anywhere and in either order: they are found by name,
so a DataArray over ``(x, y)`` is never read transposed. The result is a
DataArray of float64 with the input's dimensions (in the input's order),
coordinates, name and attributes, plus velmora's provenance:

``velmora_version``
    The version that computed it.
``velmora_operation``
    ``"observed"`` (forward model) or ``"corrected"``.
``velmora_target``, ``velmora_method``, ``velmora_core``
    Of a correction: what was solved for and how (``velmora_core`` with the
    ``"stray-light"`` target only).

The provenance of an earlier velmora step is replaced (it would describe
another array), and a line is appended to the CF ``history`` attribute.

Dask-backed DataArrays stay lazy: the result is a Dask-backed DataArray
whose chunks along the leading (frame) dimensions are those of the input,
computed chunk by chunk. The image dimensions must lie in one chunk each:
a DataArray split along them is merged into one chunk per frame block
(each chunk then holds whole frames). A correction of a lazy stack reports
convergence when its chunks are computed, as the eager call does with the
corrector's ``on_failure``: ``"raise"`` raises
:class:`velmora.ConvergenceError` from ``compute()``, ``"warn"`` warns then,
``"ignore"`` says nothing. Its info is not known before that, so
``return_info=True`` is refused for a lazy stack.
"""

from __future__ import annotations

import datetime
import sys
from collections.abc import Sequence

import numpy as np

__all__ = ["DEFAULT_DIMS", "apply_dataarray", "correct_dataarray", "is_dataarray", "observe_dataarray",
           "provenance"]

#: The default names of the image dimensions (rows, columns) of an L1C image.
DEFAULT_DIMS = ("y", "x")

_PREFIX = "velmora_"


def is_dataarray(value) -> bool:
    """Whether ``value`` is an :class:`xarray.DataArray` (without importing xarray when it is not loaded)."""
    xr = sys.modules.get("xarray")
    return xr is not None and isinstance(value, xr.DataArray)


def _is_lazy(da) -> bool:
    return da.chunks is not None


def _dims(dims) -> tuple[str, str]:
    """The (y, x) names of ``dims=``, checked."""
    if isinstance(dims, str) or not isinstance(dims, Sequence) or len(dims) != 2 \
            or not all(isinstance(d, str) and d for d in dims) or dims[0] == dims[1]:
        raise ValueError(f"dims must name the two image dimensions (y, x), e.g. ('y', 'x'), got {dims!r}")
    return dims[0], dims[1]


def checked_image_dims(da, dims, shape=None, what: str = "image", hint: str = "dims=(y, x)") -> tuple[str, str]:
    """The image dimensions of a DataArray, refused when absent or not of ``shape`` (Ky, Kx).

    Parameters
    ----------
    da : xarray.DataArray
    dims : (str, str)
        The names of the y and x dimensions.
    shape : (int, int), optional
        The (Ky, Kx) the images must have.
    what : str
        How messages name the DataArray.
    hint : str
        How messages tell to name the image dimensions.

    Returns
    -------
    (str, str)
        The names (y, x).

    Raises
    ------
    ValueError
        A name is not a dimension of ``da``, or the sizes differ from ``shape``.
    """
    y, x = _dims(dims)
    missing = [d for d in (y, x) if d not in da.dims]
    if missing:
        raise ValueError(f"the {what} has the dimensions {tuple(da.dims)}, without {', '.join(map(repr, missing))}; "
                         f"name its image dimensions with {hint}")
    found = (da.sizes[y], da.sizes[x])
    if shape is not None and found != tuple(shape):
        raise ValueError(f"the {what} has the sizes {y}={found[0]}, {x}={found[1]}, but the L1C images have "
                         f"(Ky, Kx) = {tuple(shape)}" + (" (are the dimensions swapped?)" if found == tuple(shape)[::-1]
                                                          else ""))
    return y, x


def provenance(attrs, operation: str, **details) -> dict:
    """The attributes ``attrs`` with velmora's provenance of ``operation`` in place of an earlier one.

    Parameters
    ----------
    attrs : mapping
        The input's own attributes (kept).
    operation : str
        ``"observed"`` or ``"corrected"``.
    **details
        Further ``velmora_<name>`` attributes; None values are left out.

    Returns
    -------
    dict
    """
    from . import __version__

    out = {k: v for k, v in attrs.items() if not str(k).startswith(_PREFIX)}
    out[_PREFIX + "version"] = __version__
    out[_PREFIX + "operation"] = operation
    for name, value in details.items():
        if value is not None:
            out[_PREFIX + name] = list(value) if isinstance(value, tuple) else value
    said = ", ".join(f"{k} {v}" for k, v in details.items() if v is not None)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    line = f"{stamp} velmora {__version__}: {operation}" + (f" ({said})" if said else "")
    previous = out.get("history")
    out["history"] = f"{previous}\n{line}" if isinstance(previous, str) and previous else line
    return out


def _apply(func, da, y: str, x: str, attrs: dict, extra=None):
    """``func`` over the (..., y, x) blocks of ``da`` (and of ``extra``, a DataArray), lazily for Dask."""
    import xarray as xr

    lazy = _is_lazy(da)
    args = [da] if extra is None else [da, extra]
    if lazy:
        args = [a.chunk({y: -1, x: -1}) if _is_lazy(a) or a is da else a for a in args]
    out = xr.apply_ufunc(func, *args, input_core_dims=[[y, x]] * len(args), output_core_dims=[[y, x]],
                         dask="parallelized" if lazy else "forbidden", output_dtypes=[np.float64],
                         keep_attrs=True)
    out = out.transpose(*da.dims)
    out.attrs = attrs
    out.name = da.name
    out.encoding = {}
    return out


def _real(da, what: str) -> None:
    if da.dtype.kind not in "fiu":
        raise TypeError(f"the {what} must hold real numbers, got dtype {da.dtype}")


def observe_dataarray(scene, infield, stray_light=None, *, windows=None, dims=DEFAULT_DIMS):
    """:func:`velmora.observe` of a DataArray scene: the observed DataArray.

    Parameters
    ----------
    scene : xarray.DataArray
        True L1C image(s) with the image dimensions ``dims``; Dask-backed stays lazy.
    infield, stray_light, windows
        As :func:`velmora.observe`.
    dims : (str, str)
        The names of the y and x dimensions.

    Returns
    -------
    xarray.DataArray
        The observed image(s), float64, with the scene's dimensions, coordinates
        and attributes and ``velmora_operation = "observed"``.

    Raises
    ------
    ValueError
        A dimension is missing, the sizes do not fit the windows or the matrix,
        or the matrices do not fit each other.
    TypeError
        The scene does not hold real numbers.
    """
    from .layout import image_to_vector, total_bytes, vector_to_image

    total, windows = total_bytes(infield, stray_light, windows)
    y, x = checked_image_dims(scene, dims, None if windows is None else windows.l1c_image_shape, "scene")
    _real(scene, "scene")
    ky, kx = scene.sizes[y], scene.sizes[x]
    if ky * kx != total.shape[0]:
        raise ValueError(f"the scene has {ky * kx} pixels ({y}={ky}, {x}={kx}) but the matrix is {total.shape}")

    def observe_block(block):
        block = np.asarray(block, dtype=np.float64)
        return vector_to_image(image_to_vector(block) @ total, block.shape[-2:])

    return _apply(observe_block, scene, y, x, provenance(scene.attrs, "observed"))


def apply_dataarray(model, images, *, adjoint: bool = False, dims=DEFAULT_DIMS):
    """:meth:`velmora.ForwardModel.apply` (or its adjoint) of a DataArray.

    Parameters
    ----------
    model : velmora.ForwardModel
    images : xarray.DataArray
        L1C image(s) with the image dimensions ``dims``; Dask-backed stays lazy.
    adjoint : bool
        Apply the adjoint instead.
    dims : (str, str)
        The names of the y and x dimensions.

    Returns
    -------
    xarray.DataArray
        float64, with the input's dimensions, coordinates and attributes and
        ``velmora_operation = "observed"`` (``"adjoint"`` for the adjoint).

    Raises
    ------
    ValueError
        A dimension is missing or the sizes do not fit the model's windows.
    TypeError
        The images do not hold real numbers.
    """
    y, x = checked_image_dims(images, dims, model.windows.l1c_image_shape, "images")
    _real(images, "images")
    func = model.apply_adjoint if adjoint else model.apply
    return _apply(lambda block: func(np.asarray(block)), images, y, x,
                  provenance(images.attrs, "adjoint" if adjoint else "observed"))


_UNCERTAINTY = ("u_random", "u_systematic", "noise", "operator_uncertainty")


def correct_dataarray(corrector, observed, *, mask=None, return_info: bool = False, dims=DEFAULT_DIMS,
                      **options):
    """:meth:`velmora.Corrector.correct` of a DataArray: the corrected DataArray.

    Parameters
    ----------
    corrector : velmora.Corrector
    observed : xarray.DataArray
        Observed L1C image(s) with the image dimensions ``dims``. Dask-backed
        stays lazy: the result is computed chunk by chunk, and convergence is
        reported then, through the corrector's ``on_failure``.
    mask : array_like of bool, shape (Ky, Kx), or xarray.DataArray, optional
        True for pixels left out of the fit: one image indexed ``[y, x]``, or
        a boolean DataArray with the image dimensions and any of the leading
        ones of ``observed`` (broadcast against it).
    return_info : bool
        Also return the info of the call (eager DataArrays only; its ``mask``
        is ordered (..., y, x)).
    dims : (str, str)
        The names of the y and x dimensions.
    **options
        Nothing else: the uncertainty arguments of :meth:`~velmora.Corrector.correct`
        take NumPy images (``observed.transpose(..., y, x).values``).

    Returns
    -------
    corrected : xarray.DataArray
        float64, with the input's dimensions, coordinates and attributes and
        ``velmora_operation = "corrected"``, ``velmora_target``,
        ``velmora_method`` (and ``velmora_core``).
    info : dict
        With ``return_info=True``.

    Raises
    ------
    ValueError
        A dimension is missing, the sizes do not fit the corrector, the mask
        does not fit, ``return_info`` is asked of a lazy stack, or an
        uncertainty argument is given; and what :meth:`~velmora.Corrector.correct`
        raises (for a lazy stack, when it is computed).
    TypeError
        The images or the mask do not hold real numbers or booleans.
    """
    import xarray as xr

    asked = [k for k in _UNCERTAINTY if options.get(k) is not None]
    unknown = [k for k in options if k not in _UNCERTAINTY and k not in
               ("propagation", "probes", "seed", "covariance")]
    if unknown:
        raise TypeError(f"correct() got unexpected keyword argument(s) {', '.join(unknown)}")
    if asked:
        raise ValueError(f"{', '.join(asked)}: the uncertainty of a correction takes NumPy images; pass "
                         "observed.transpose(..., y, x).values")
    y, x = checked_image_dims(observed, dims, corrector.windows.l1c_image_shape
                              if corrector.windows is not None else None, "observed image")
    _real(observed, "observed image")
    if corrector.windows is None and observed.sizes[y] * observed.sizes[x] != corrector.F:
        raise ValueError(f"the observed image has {observed.sizes[y] * observed.sizes[x]} pixels, the corrector "
                         f"{corrector.F}")
    lazy = _is_lazy(observed)
    if lazy and return_info:
        raise ValueError("return_info=True needs the images computed: the info of a Dask-backed stack is known "
                         "only when its chunks are (convergence is then reported through on_failure); call "
                         "observed.compute() first")
    extra = None
    if isinstance(mask, xr.DataArray):
        if mask.dtype != bool:
            raise TypeError(f"mask must hold booleans, got dtype {mask.dtype}")
        checked_image_dims(mask, (y, x), (observed.sizes[y], observed.sizes[x]), "mask")
        foreign = [d for d in mask.dims if d not in observed.dims]
        if foreign:
            raise ValueError(f"the mask has the dimension(s) {foreign} that the observed images "
                             f"{tuple(observed.dims)} do not have")
        extra, mask = mask, None
    elif mask is not None:
        mask = np.asarray(mask)
        if mask.dtype != bool:
            raise TypeError(f"mask must be a boolean image, got dtype {mask.dtype}")
        if mask.shape != (observed.sizes[y], observed.sizes[x]):
            raise ValueError(f"mask has the shape {mask.shape}; a NumPy mask must be one image of the shape "
                             f"({y}, {x}) = ({observed.sizes[y]}, {observed.sizes[x]}); pass a DataArray for "
                             "one per frame")
    infos = []

    def correct_block(block, block_mask=None):
        m = mask if block_mask is None else block_mask
        result = corrector.correct(np.asarray(block), mask=m, return_info=return_info)
        if return_info:
            result, info = result
            infos.append(info)
        return result

    attrs = provenance(observed.attrs, "corrected", target=corrector.target, method=corrector.method,
                       core=corrector.core)
    out = _apply(correct_block, observed, y, x, attrs, extra)
    return (out, infos[0]) if return_info else out


# ------------------------------------------------------------------- files
def read_dataarray(path, variable: str | None = None, *, what: str | None = None):
    """One variable of a netCDF-4 file as an in-memory DataArray, read as safely as :func:`velmora.read_array`.

    Parameters
    ----------
    path : path-like
        The netCDF-4 file (root group).
    variable : str, optional
        The data variable to read; required when the file has more than one.
    what : str, optional
        How messages name the file (default: the path).

    Returns
    -------
    data : xarray.DataArray
        The variable with its dimensions, coordinates and attributes, loaded.
    attrs : dict
        The file's global attributes.

    Raises
    ------
    velmora.InputFileError
        The file is missing, not a regular file or not netCDF-4, takes data
        from elsewhere (soft or external links, external storage, virtual
        datasets), has no such variable (the message lists those it has), or a
        variable or coordinate claims more data than the file holds or than
        the memory available; all checked before any data is read.
    """
    from pathlib import Path

    from . import io as vio
    from .errors import InputFileError

    path = Path(path)
    what = what or str(path)
    vio.optional_module("h5netcdf")
    xr = vio.optional_module("xarray")
    try:
        size = vio.regular_file(path, what)
        vio.hdf5_sizes(path, size, ())           # refuses links and external data anywhere in the file
        try:
            ds = xr.open_dataset(path, engine="h5netcdf", cache=False)
        except (OSError, ValueError, TypeError) as exc:
            raise InputFileError(f"{what}: {path} is not a netCDF-4 file: {' '.join(str(exc).split())}") from None
        with ds:
            names = [str(n) for n in ds.data_vars]
            if variable is None:
                if len(names) != 1:
                    raise InputFileError(f"{what}: {path} has {len(names)} data variables "
                                         f"({', '.join(names) or 'none'}); name one with --variable")
                variable = names[0]
            if variable not in names:
                raise InputFileError(f"{what}: {path} has no data variable '{variable}' (it has "
                                     f"{', '.join(names) or 'none'})")
            da = ds[variable]
            parts = [variable, *(str(c) for c in da.coords)]
            held = vio.hdf5_sizes(path, size, parts)
            for name in parts:
                item = da if name == variable else da.coords[name]
                where = f"{what} ({path}:{name})"
                stored = np.dtype(item.encoding.get("dtype", item.dtype))   # before unpacking (scale_factor)
                if stored.kind in "biufcMmSV" and name in held:
                    vio.check_claim(where, item.shape, stored, held[name], memory=False, kinds=stored.kind)
                if name == variable:
                    vio.check_claim(where, item.shape, item.dtype, None)   # real numbers, and memory
            return da.load(), dict(ds.attrs)
    except FileNotFoundError:
        raise InputFileError(f"{what}: no such file {path}") from None
    except IsADirectoryError:
        raise InputFileError(f"{what}: {path} is a folder") from None
    except OSError as exc:
        raise InputFileError(f"{what}: cannot read {path}: {getattr(exc, 'strerror', None) or exc}") from None


def write_dataarray(path, da, attrs=None) -> None:
    """Write a DataArray as the one data variable of a netCDF-4 file (root group).

    Parameters
    ----------
    path : path-like
        The file, replaced if it exists (give the temporary of
        :class:`velmora.io.AtomicOutputs` to put it in place atomically).
    da : xarray.DataArray
        Named; written with its dimensions, coordinates and attributes.
    attrs : mapping, optional
        The file's global attributes.
    """
    ds = da.to_dataset()
    ds.attrs = dict(attrs or {})
    ds.to_netcdf(path, mode="w", engine="h5netcdf")
