"""PSF sets as self-describing netCDF-4 files: :func:`save_psfs` and :func:`load_psfs`.

One file holds everything a matrix build needs besides its options: the
measured PSF images and their centres, the interpolation tables over the
detector window (in-field matrix) and, where given, over the NOOF window
(stray-light matrix), the grid nodes of tables that are bilinear blends, and
the 22 windowing parameters, with units, long names and CF-1.11 / ACDD-1.3
attributes. Everything sits in the root group:

========================  ===================================  =========  ==========================================
variable                  dimensions                           type       holds
========================  ===================================  =========  ==========================================
``images``                (psf, image_x, image_y)              float64    sample (x, y) of measured PSF ``psf``
``centres``               (psf, yx)                            float64    Y, X of each PSF's core (Y first), in
                                                                          pixel-edge coordinates of its image
``centre_window_type``    (psf)                                float64    the window-type number kept with each
                                                                          centre (3: the detector window)
``coefficients``          (detector_x, detector_y,             float64    weights of the PSFs per detector-window
                          coefficient)                                    pixel (x, y)
``indices``               (detector_x, detector_y,             int32      the PSF numbers the weights refer to
                          coefficient)
``noof_coefficients``     (noof_x, noof_y, noof_coefficient)   float64    optional: the tables over the NOOF window
``noof_indices``          (noof_x, noof_y, noof_coefficient)   int32      optional, with ``noof_coefficients``
``node_x``, ``node_y``    (node_x), (node_y)                   float64    optional: the grid of bilinear detector
                                                                          tables, in detector-window pixels
``noof_node_x``,          (noof_node_x), (noof_node_y)         float64    optional: the grid of bilinear NOOF
``noof_node_y``                                                           tables, in NOOF-window pixels
========================  ===================================  =========  ==========================================

The windowing parameters are global ``int32`` attributes named as in
:data:`velmora.PARAMETER_NAMES`, as in the matrix files. :func:`load_psfs`
checks everything before it is used: a regular file, data held in the file
itself (no soft or external links, external storage or virtual datasets),
the types and shapes of the variables against what the file holds and the
memory available, consistent windows, PSF numbers inside the set, tables of
the windows' sizes, and nodes that give the stored tables.
"""

from __future__ import annotations

import contextlib
import datetime
import os
import secrets
import shutil
import stat
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import io as vio
from .errors import ConfigurationError
from .psfs import PSFSet, bilinear_tables
from .windows import PARAMETER_NAMES, Windows

__all__ = ["PSFFile", "load_psfs", "save_psfs", "PSF_FILE_KIND"]

#: The global attribute ``velmora_file`` of a PSF-set file.
PSF_FILE_KIND = "PSF set"

_SUFFIXES = (".nc", ".h5", ".hdf5", ".zarr")
_FLOAT, _INDEX = "iuf", "iu"
_NONE = vio.NO_STANDARD_NAME

# name: (kinds, rank, long name, coverage_content_type, comment)
_VARIABLES = {
    "images": (_FLOAT, 3, "measured PSF images", "physicalMeasurement",
               "images[psf, x, y] is sample (x, y) of measured PSF psf, on the pitch of the detector pixels; "
               "each PSF is the share of a point source's light per sample"),
    "centres": (_FLOAT, 2, "centres of the PSF cores in their images", "referenceInformation",
                "row psf: Y, X (Y first) of the core of PSF psf in pixel-edge coordinates of its image: "
                "sample (x, y) spans [x, x+1) x [y, y+1)"),
    "centre_window_type": (_FLOAT, 1, "window-type number kept with each PSF centre", "auxiliaryInformation",
                           "3 is the detector window; kept with the PSFs, used by no computation"),
    "coefficients": (_FLOAT, 3, "PSF interpolation weights over the detector window", "auxiliaryInformation",
                     "the PSF of a point source at detector-window pixel (x, y) is "
                     "sum over k of coefficients[x, y, k] * images[indices[x, y, k]]"),
    "indices": (_INDEX, 3, "PSF numbers of the interpolation weights over the detector window",
                "referenceInformation", "numbers 0 to M-1 along the dimension psf of images"),
    "noof_coefficients": (_FLOAT, 3, "PSF interpolation weights over the NOOF window", "auxiliaryInformation",
                          "as coefficients, for a point source at NOOF-window pixel (x, y): the tables of the "
                          "stray-light matrix"),
    "noof_indices": (_INDEX, 3, "PSF numbers of the interpolation weights over the NOOF window",
                     "referenceInformation", "numbers 0 to M-1 along the dimension psf of images"),
    "node_x": (_FLOAT, 1, "detector-window x of the columns of the grid of measured PSFs", "coordinate",
               "PSF number i * len(node_y) + j belongs to grid node (node_x[i], node_y[j]); the detector "
               "tables are the bilinear blend of the four nodes around each pixel"),
    "node_y": (_FLOAT, 1, "detector-window y of the rows of the grid of measured PSFs", "coordinate",
               "see node_x"),
    "noof_node_x": (_FLOAT, 1, "NOOF-window x of the columns of the grid of measured PSFs", "coordinate",
                    "as node_x, for the NOOF tables"),
    "noof_node_y": (_FLOAT, 1, "NOOF-window y of the rows of the grid of measured PSFs", "coordinate",
                    "see noof_node_x"),
}
_DIMENSIONS = {"images": ("psf", "image_x", "image_y"), "centres": ("psf", "yx"), "centre_window_type": ("psf",),
               "coefficients": ("detector_x", "detector_y", "coefficient"),
               "indices": ("detector_x", "detector_y", "coefficient"),
               "noof_coefficients": ("noof_x", "noof_y", "noof_coefficient"),
               "noof_indices": ("noof_x", "noof_y", "noof_coefficient"),
               "node_x": ("node_x",), "node_y": ("node_y",), "noof_node_x": ("noof_node_x",),
               "noof_node_y": ("noof_node_y",)}
_REQUIRED = ("images", "centres", "coefficients", "indices")


@dataclass(frozen=True)
class PSFFile:
    """What a PSF-set file holds (:func:`load_psfs`).

    Attributes
    ----------
    psfs : PSFSet
        The PSFs with their tables over the detector window (in-field matrix).
    windows : Windows
        The windows the tables were made for (consistent, and fitting the tables).
    stray_psfs : PSFSet or None
        The same PSFs with their tables over the NOOF window (stray-light
        matrix), or None when the file holds none.
    nodes, stray_nodes : (numpy.ndarray, numpy.ndarray) or None
        ``(nodes_x, nodes_y)`` of bilinear detector and NOOF tables
        (:func:`velmora.bilinear_tables`), or None.
    attributes : dict
        The file's global attributes (title, summary, history, ...).
    """

    psfs: PSFSet
    windows: Windows
    stray_psfs: PSFSet | None = None
    nodes: tuple[np.ndarray, np.ndarray] | None = None
    stray_nodes: tuple[np.ndarray, np.ndarray] | None = None
    attributes: dict = field(default_factory=dict, compare=False)


# ------------------------------------------------------------------ writing
def _checked_nodes(nodes, psfs: PSFSet, what: str) -> tuple[np.ndarray, np.ndarray] | None:
    if nodes is None:
        return None
    nodes_x, nodes_y = (np.array(n, dtype=np.float64) for n in nodes)
    coefficients, indices = bilinear_tables(nodes_x, nodes_y, psfs.table_shape)
    if not (np.array_equal(coefficients, psfs.coefficients) and np.array_equal(indices, psfs.indices)):
        raise ValueError(f"{what}: the tables are not the bilinear tables of these nodes")
    return nodes_x, nodes_y


def save_psfs(path: str | os.PathLike, psfs: PSFSet, windows: Windows, *, stray_psfs: PSFSet | None = None,
              nodes=None, stray_nodes=None, title: str | None = None, summary: str | None = None,
              creator_name: str | None = None, history: str | None = None, comment: str | None = None,
              overwrite: bool = False) -> Path:
    """Write a PSF set, its tables and its windows to a netCDF-4 file, atomically.

    Parameters
    ----------
    path : path-like
        The file, ``.nc`` (netCDF-4), or a Zarr (format 3) store ``.zarr``
        with the same variables and attributes.
    psfs : PSFSet
        The PSFs with tables over the detector window.
    windows : Windows
        Consistent windows that the tables fit.
    stray_psfs : PSFSet, optional
        The same images and centres with tables over the NOOF window.
    nodes, stray_nodes : (sequence of float, sequence of float), optional
        The grid ``(nodes_x, nodes_y)`` of bilinear detector (NOOF) tables;
        the tables must be exactly :func:`velmora.bilinear_tables` of them.
    title, summary, creator_name, history, comment : str, optional
        Global attributes (defaults describe the set).
    overwrite : bool
        Replace an existing file; otherwise :class:`FileExistsError`.

    Returns
    -------
    pathlib.Path
        The file written (symbolic links followed).

    Raises
    ------
    ValueError
        Another suffix, inconsistent windows, tables that do not fit them,
        NOOF tables for other images or centres, or nodes that do not give the
        tables (:class:`velmora.ConfigurationError` is a ValueError).
    FileExistsError
        The file exists and ``overwrite`` is false.
    """
    from . import __version__

    path = Path(path)
    if path.suffix.lower() not in (".nc", ".zarr"):
        raise ValueError(f"{path}: a PSF set is written to a netCDF-4 .nc file or a Zarr .zarr store")
    if not isinstance(psfs, PSFSet) or not isinstance(windows, Windows):
        raise TypeError("save_psfs takes a PSFSet and Windows")
    windows.validate()
    psfs.check(windows, "detector")
    if stray_psfs is not None:
        if not isinstance(stray_psfs, PSFSet):
            raise TypeError("stray_psfs must be a PSFSet")
        if not (np.array_equal(stray_psfs.images, psfs.images) and np.array_equal(stray_psfs.centres, psfs.centres)):
            raise ValueError("stray_psfs must hold the same images and centres as psfs (other tables only)")
        stray_psfs.check(windows, "noof")
    elif stray_nodes is not None:
        raise ValueError("stray_nodes describe NOOF tables: pass stray_psfs too")
    grid = _checked_nodes(nodes, psfs, "nodes")
    stray_grid = _checked_nodes(stray_nodes, stray_psfs, "stray_nodes") if stray_psfs is not None else None
    if os.path.lexists(path) and not overwrite:
        raise FileExistsError(f"{path} exists (pass overwrite=True to replace it)")

    arrays = {"images": psfs.images, "centres": psfs.centres[:, :2], "centre_window_type": psfs.centres[:, 2],
              "coefficients": psfs.coefficients, "indices": psfs.indices}
    if stray_psfs is not None:
        arrays.update(noof_coefficients=stray_psfs.coefficients, noof_indices=stray_psfs.indices)
    if grid is not None:
        arrays.update(node_x=grid[0], node_y=grid[1])
    if stray_grid is not None:
        arrays.update(noof_node_x=stray_grid[0], noof_node_y=stray_grid[1])
    created = datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")
    tables = "detector and NOOF windows" if stray_psfs is not None else "detector window"
    attrs = vio.acdd_attributes(
        title or f"velmora PSF set: {psfs.M} measured PSFs of {psfs.psf_shape[0]} x {psfs.psf_shape[1]} samples",
        summary or (f"Measured point spread functions of the TORVEN instrument with their centres and "
                    f"interpolation tables over the {tables}"
                    + (" (bilinear blends of a grid of PSFs)" if grid is not None else "")
                    + ", and the windowing and binning of the detector they were made for: the inputs of "
                    "velmora's in-field" + (" and stray-light matrices." if stray_psfs is not None else " matrix.")),
        "TORVEN, level 1, point spread function, PSF, interpolation tables, calibration", created, __version__,
        creator_name, history)
    attrs["velmora_file"] = PSF_FILE_KIND
    if comment:
        attrs["comment"] = comment
    attrs.update({n: np.int32(v) for n, v in windows.to_dict().items()})
    return _write(path, arrays, attrs, overwrite)


def _write_zarr(path: Path, ds, encoding: dict, overwrite: bool) -> Path:
    """Write a store beside the target and rename it into place: an existing store stays whole until then."""
    _zarr(ImportError)
    target = Path(os.path.realpath(path))
    if os.path.lexists(target) and not (overwrite and (target / "zarr.json").is_file()):
        raise FileExistsError(f"{path} exists" + (" and is no Zarr store: not replaced" if overwrite else
                                                  " (pass overwrite=True to replace it)"))
    made = [folder for folder in target.parents if not folder.exists()]
    for folder in reversed(made):
        folder.mkdir()
    tmp = target.with_name(f".{target.name}.{secrets.token_hex(4)}{vio._TEMP_MARK}.zarr")
    try:
        ds.to_zarr(tmp, mode="w-", encoding=encoding, consolidated=False, zarr_format=3)
        if os.path.lexists(target):
            old = target.with_name(f".{target.name}.{secrets.token_hex(4)}.velmora-old")
            os.rename(target, old)
            try:
                os.rename(tmp, target)
            except BaseException:
                os.rename(old, target)   # the old store back as it was
                raise
            shutil.rmtree(old)
        else:
            os.rename(tmp, target)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        for folder in made:
            with contextlib.suppress(OSError):
                folder.rmdir()
        raise
    return target


def _write(path: Path, arrays: dict, attrs: dict, overwrite: bool) -> Path:
    xr = vio.optional_module("xarray")
    if path.suffix.lower() != ".zarr":
        vio.optional_module("h5netcdf")

    variables, coords = {}, {}
    for name, array in arrays.items():
        _, _, long_name, content, comment = _VARIABLES[name]
        described = {"long_name": long_name, "units": "1", "coverage_content_type": content,
                     "comment": f"{comment}. {_NONE}"}
        (coords if content == "coordinate" else variables)[name] = (_DIMENSIONS[name], array, described)
    ds = xr.Dataset(variables, coords=coords, attrs=attrs)
    encoding = {name: {"_FillValue": None} for name in ds.variables}
    if path.suffix.lower() == ".zarr":
        return _write_zarr(path, ds, encoding, overwrite)
    with vio.AtomicOutputs() as outputs:
        if os.path.lexists(path) and not overwrite:
            raise FileExistsError(f"{path} exists (pass overwrite=True to replace it)")
        ds.to_netcdf(outputs.temporary(path), engine="h5netcdf", format="NETCDF4", encoding=encoding)
        return outputs.commit()[0]


# ------------------------------------------------------------------ reading
def _windows(path: Path, attrs: dict) -> Windows:
    missing = [n for n in PARAMETER_NAMES if n not in attrs]
    if missing:
        raise vio.InputFileError(f"{path}: the windowing parameter(s) {', '.join(missing)} are missing")
    values = {}
    for n in PARAMETER_NAMES:
        value = attrs[n]
        if isinstance(value, np.ndarray) and value.size == 1:
            value = value.ravel()[0]
        if not isinstance(value, (int, np.integer)) or isinstance(value, (bool, np.bool_)):
            raise vio.InputFileError(f"{path}: the windowing parameter {n} must be an integer, not {value!r}")
        values[n] = value
    try:
        windows = Windows(**values)
    except (TypeError, ValueError) as exc:
        raise vio.InputFileError(f"{path}: {exc}") from None
    problems = windows.problems()
    if problems:
        raise vio.InputFileError(f"{path}: the stored windows are inconsistent: {'; '.join(problems)}")
    return windows


def _text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray) and value.size == 1:
        value = value.ravel()[0]
    return value.item() if isinstance(value, np.generic) else value


def _checked_variables(path: Path, attrs: dict, get, kind_of) -> tuple[Windows, dict]:
    """The windows and the variables (name -> array object) of a file, every header checked before any data
    is read: ``get(name)`` gives the file's object or None, ``kind_of(obj)`` its data bytes held or why it
    is no array."""
    if attrs.get("velmora_file") != PSF_FILE_KIND:
        raise vio.InputFileError(f"{path} is not a velmora PSF-set file (its global attribute velmora_file "
                                 f"is {attrs.get('velmora_file')!r}, not {PSF_FILE_KIND!r})")
    windows = _windows(path, attrs)
    present = {}
    for name, (kinds, rank, *_) in _VARIABLES.items():
        obj = get(name)
        if obj is None:
            if name in _REQUIRED:
                raise vio.InputFileError(f"{path} holds no variable '{name}'")
            continue
        what = f"{path}: variable '{name}'"
        held = kind_of(obj)
        if isinstance(held, str):
            raise vio.InputFileError(f"{what} {held}")
        if len(obj.shape) != rank:
            raise vio.InputFileError(f"{what} has the shape {obj.shape}, not {rank} dimensions "
                                     f"({', '.join(_DIMENSIONS[name])})")
        vio.check_claim(what, obj.shape, np.dtype(obj.dtype), held, memory=False, kinds=kinds,
                         want="integers" if kinds == _INDEX else "real numbers")
        present[name] = obj
    pairs = (("noof_coefficients", "noof_indices"), ("node_x", "node_y"), ("noof_node_x", "noof_node_y"))
    for a, b in pairs:
        if (a in present) != (b in present):
            one, other = (a, b) if a in present else (b, a)
            raise vio.InputFileError(f"{path} holds the variable '{one}' without '{other}'")
    if "noof_node_x" in present and "noof_coefficients" not in present:
        raise vio.InputFileError(f"{path} holds NOOF grid nodes but no NOOF tables")
    vio.check_memory(str(path), 2 * sum(int(np.prod(o.shape)) * 8 for o in present.values()))
    return windows, present


def _read_netcdf(path: Path, size: int) -> PSFFile:
    h5py = vio.optional_module("h5py")
    try:
        f = h5py.File(path, "r")
    except OSError:
        raise vio.InputFileError(f"{path} is not a netCDF-4 file") from None
    with f:
        problem = f.visititems_links(lambda name, link: vio.foreign_link(h5py, f, name, link))  # stops at the first
        if problem is not None:
            raise vio.InputFileError(f"{path} reaches outside itself: {problem}")

        def held(obj):
            if not isinstance(obj, h5py.Dataset):
                return "is a group, not a variable"
            return "holds no array (an empty dataspace)" if obj.shape is None else vio.hdf5_held(obj, size)

        attrs = {k: _text(v) for k, v in f.attrs.items()}
        windows, present = _checked_variables(path, attrs, f.get, held)
        return _assembled(path, attrs, windows, {name: obj[()] for name, obj in present.items()})


def _zarr(error):
    try:
        import zarr
    except ImportError:
        raise error("Zarr stores need the package zarr: pip install 'velmora[distributed]'") from None
    return zarr


def _read_zarr(path: Path) -> PSFFile:
    zarr = _zarr(vio.InputFileError)
    if not path.is_dir():
        raise vio.InputFileError(f"{path} is not a Zarr store (a folder)")
    # Every entry a regular file or folder of the store itself: a symbolic link could reach any file.
    for root, folders, files in os.walk(path, followlinks=False):
        for name in folders + files:
            entry = Path(root, name)
            mode = os.lstat(entry).st_mode
            if stat.S_ISLNK(mode):
                raise vio.InputFileError(f"{path} reaches outside itself: {entry.relative_to(path)} is a "
                                         "symbolic link")
            if name in files and not stat.S_ISREG(mode):
                raise vio.InputFileError(f"{path}: {entry.relative_to(path)} is not a regular file")
    try:
        group = zarr.open_group(str(path), mode="r")
        attrs = dict(group.attrs)
    except Exception as exc:   # zarr raises many kinds for a store it cannot read
        raise vio.InputFileError(f"{path} is not a Zarr store: {' '.join(str(exc).split())}") from None

    def get(name):
        return group.get(name)

    def held(obj):
        # Chunks not written read as the fill value, so the store may hold less than the array: the
        # memory check bounds it.
        return None if isinstance(obj, zarr.Array) else "is a group, not a variable"

    windows, present = _checked_variables(path, attrs, get, held)
    return _assembled(path, attrs, windows, {name: obj[...] for name, obj in present.items()})


def _assembled(path: Path, attrs: dict, windows: Windows, data: dict) -> PSFFile:
    """The PSF set of a file's arrays, checked against each other and the windows."""
    centres = data["centres"]
    if centres.shape[1:] != (2,):
        raise vio.InputFileError(f"{path}: variable 'centres' has the shape {centres.shape}, not (psf, 2): rows Y, X")
    if "centre_window_type" in data:
        types = data["centre_window_type"]
        if types.shape != centres.shape[:1]:
            raise vio.InputFileError(f"{path}: variable 'centre_window_type' has the shape {types.shape}; there "
                                     f"are {centres.shape[0]} centres")
        centres = np.column_stack([centres, types])
    try:
        psfs = PSFSet(data["images"], centres, data["coefficients"], data["indices"])
        psfs.check(windows, "detector")
        stray = None
        if "noof_coefficients" in data:
            stray = psfs.with_tables(data["noof_coefficients"], data["noof_indices"]).check(windows, "noof")
    except ConfigurationError as exc:
        raise vio.InputFileError(f"{path}: {'; '.join(exc.problems)}") from None
    grids = []
    for prefix, tables in (("", psfs), ("noof_", stray)):
        if f"{prefix}node_x" not in data:
            grids.append(None)
            continue
        try:
            grids.append(_checked_nodes((data[f"{prefix}node_x"], data[f"{prefix}node_y"]), tables,
                                        f"{prefix}node_x, {prefix}node_y"))
        except ValueError as exc:
            raise vio.InputFileError(f"{path}: {exc}") from None
    return PSFFile(psfs, windows, stray, grids[0], grids[1], attrs)


def load_psfs(path: str | os.PathLike) -> PSFFile:
    """Read a PSF-set file written by :func:`save_psfs`, checking everything before it is used.

    Parameters
    ----------
    path : path-like
        A netCDF-4 file (``.nc``; ``.h5`` and ``.hdf5`` are read too) or a
        Zarr store (``.zarr``), whose entries must all be regular files and
        folders of the store itself (no symbolic links).

    Returns
    -------
    PSFFile
        The PSFs with their detector tables, the windows, the NOOF tables
        and the grid nodes where the file holds them, and its attributes.

    Raises
    ------
    InputFileError
        (a ValueError) The file is missing, not a regular file, not a
        netCDF-4 PSF-set file, takes data from elsewhere (soft or external
        links, external storage, virtual datasets), lacks a variable or holds
        one of the wrong type or rank or larger than the file or the memory,
        its windows are missing or inconsistent, or its arrays do not make a
        PSF set that fits them (shapes, non-finite values, PSF numbers
        outside the set, nodes that do not give the tables). The message names
        the file and the problem.
    """
    path = Path(path)
    if path.suffix.lower() not in _SUFFIXES:
        raise vio.InputFileError(f"{path}: a PSF-set file is a netCDF-4 .nc file or a Zarr .zarr store")
    try:
        if path.suffix.lower() == ".zarr":
            return _read_zarr(path)
        return _read_netcdf(path, vio.regular_file(path))
    except FileNotFoundError:
        raise vio.InputFileError(f"no such file {path}") from None
    except IsADirectoryError:
        raise vio.InputFileError(f"{path} is a folder") from None
    except (OSError, EOFError) as exc:
        raise vio.InputFileError(f"cannot read {path}: {getattr(exc, 'strerror', None) or exc}") from None
    except (ValueError, TypeError, KeyError) as exc:
        if isinstance(exc, vio.InputFileError):
            raise
        raise vio.InputFileError(f"cannot read {path}: {' '.join(str(exc).split())}") from None
