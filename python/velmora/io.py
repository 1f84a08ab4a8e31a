"""Reading input arrays and writing matrices safely, with their metadata.

Inputs
    :func:`read_array` reads one array from ``.npy``, ``.npz`` or a netCDF-4 /
    HDF5 file (``.nc``, ``.h5``, ``.hdf5``). Before reading any data it
    refuses what is not a regular file (a FIFO would block for ever), arrays
    of anything but real numbers or booleans, an array whose header claims
    more bytes than the file holds or than the memory available, and HDF5
    data taken from elsewhere (soft or external links, external storage,
    virtual datasets), which would let a file read any other file.

Outputs
    :class:`AtomicOutputs` puts every file of a run into a temporary file in
    its target folder; :meth:`AtomicOutputs.commit` flushes them to disk and
    renames them into place together, and leaving the block without a commit
    (a failure, Ctrl-C, SIGTERM) removes them, so that existing files stay as
    they were. A matrix goes to ``.npy`` (with a JSON sidecar
    ``<name>.npy.json`` holding its metadata), to netCDF-4 ``.nc`` (the
    matrix over the dimensions (source, receiver) with the L1C pixels of its
    rows and columns as coordinates, its metadata as CF-1.11 and ACDD-1.3
    attributes) or, compact, to ``.npz`` as a :mod:`scipy.sparse` CSR matrix.

:func:`load_matrix` reads any of them back as ``(matrix, metadata)``.

netCDF and HDF5 need the optional packages of ``pip install 'velmora[io]'``
(xarray, h5netcdf, h5py); they are imported only when such a file is used.
"""

from __future__ import annotations

import dataclasses
import datetime
import functools
import hashlib
import json
import math
import os
import secrets
import stat
import zipfile
from collections.abc import Mapping
from pathlib import Path
from typing import Self

import numpy as np

from .builds import available_memory
from .errors import InputFileError
from .windows import PARAMETER_NAMES, Windows

__all__ = [
    "CONVENTIONS",
    "AtomicOutputs",
    "InputFileError",
    "available_memory",
    "load_matrix",
    "matrix_metadata",
    "read_array",
    "save_matrix",
    "sha256_file",
]

#: The metadata conventions of the netCDF files.
CONVENTIONS = "CF-1.11, ACDD-1.3"

_NETCDF_SUFFIXES = (".nc", ".h5", ".hdf5")
_TEMP_MARK = ".velmora-tmp"




def format_size(n: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n} bytes"




def sha256_file(path: str | os.PathLike) -> str:
    """The SHA-256 of a file's bytes, as hexadecimal digits."""
    real = os.path.realpath(path)
    st = os.stat(real)
    return _sha256(real, st.st_size, st.st_mtime_ns)


@functools.lru_cache(maxsize=64)
def _sha256(real: str, size: int, mtime_ns: int) -> str:
    # Keyed by size and modification time too, so that a changed file is read again.
    digest = hashlib.sha256()
    with open(real, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def optional_module(module: str):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise InputFileError(f"netCDF and HDF5 files need the package {module}: "
                             "pip install 'velmora[io]'") from None


# ------------------------------------------------------------------ inputs
_NUMBERS = "biuf"    # the dtype kinds of an input array: booleans, integers, floats
_MATRIX = "iuf"      # of a stored matrix
_DEFLATE_RATIO = 1032  # deflate never expands data more than this (a zip member, an HDF5 gzip chunk)


def regular_file(path: Path, what: str | None = None) -> int:
    """The size of ``path``, refused unless it is a regular file (symbolic links followed).

    Checked before opening: a FIFO would block the reader for ever, and a
    folder or a device is no array file.
    """
    st = os.stat(path)
    mode = st.st_mode
    if not stat.S_ISREG(mode):
        kind = ("a folder" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode) else
                "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else
                "a socket" if stat.S_ISSOCK(mode) else "a special file")
        named = "" if what is None or what == str(path) else f"{what}: "
        raise InputFileError(f"{named}{path} is {kind}, not a regular file")
    return st.st_size


def check_memory(what: str, nbytes: int, shape=None) -> None:
    free = available_memory()
    if free is not None and nbytes > free:
        of = f"the array of shape {tuple(shape)}" if shape is not None else "it"
        raise InputFileError(f"{what}: {of} needs {format_size(nbytes)} but only {format_size(free)} of memory are available")


def check_claim(what: str, shape, dtype: np.dtype, held: int | None, memory: bool = True,
                 kinds: str = _NUMBERS, want: str = "real numbers") -> None:
    """Refuse an array of another kind than ``kinds``, or whose header claims more than ``held`` bytes
    or the available memory."""
    if dtype.hasobject:
        raise InputFileError(f"{what} holds Python objects, which are not read")
    if dtype.kind not in kinds:
        raise InputFileError(f"{what} holds {dtype}, not {want}")
    if any(int(n) < 0 for n in shape):
        raise InputFileError(f"{what}: its header claims the impossible shape {tuple(shape)}")
    claimed = math.prod(int(n) for n in shape) * dtype.itemsize
    if held is not None and claimed > held:
        raise InputFileError(f"{what}: its header claims an array of shape {tuple(shape)} ({format_size(claimed)}) "
                             f"but the file holds at most {format_size(max(held, 0))} of data for it")
    if memory:
        check_memory(what, claimed, shape)


def _check_square(what: str, shape, order: int | None = None) -> None:
    """Refuse a matrix that is not square, or not of ``order`` rows (the F of its stored windows)."""
    if len(shape) != 2 or shape[0] != shape[1]:
        raise InputFileError(f"{what}: the matrix has the shape {tuple(shape)}, not square (F, F)")
    if order is not None and shape[0] != order:
        raise InputFileError(f"{what}: the matrix has the shape {tuple(shape)} but its windows give "
                             f"F = Kx * Ky = {order}")


_FINITE_BLOCK = 1 << 22   # elements per pass of the finiteness check: a 4 MB mask at most


def _check_finite(what: str, values: np.ndarray, rows=None) -> None:
    """Refuse a matrix (or its stored rows) holding NaN or infinite values, naming how many and the first.

    ``values`` is 2-D, or the 1-D values of a sparse matrix (then ``rows`` is ``(row_of, column_of)``,
    two functions of a value's position); ``rows`` of a 2-D array are the matrix rows of its rows. Checked
    in blocks, so a memory-mapped file is read once and no full-size mask is made.
    """
    if values.dtype.kind != "f":
        return
    count, first = 0, None
    if values.ndim == 1:
        for start in range(0, values.size, _FINITE_BLOCK):
            bad = np.flatnonzero(~np.isfinite(values[start:start + _FINITE_BLOCK]))
            if bad.size and first is None:
                first = start + int(bad[0])
            count += bad.size
        if count:
            row_of, column_of = rows
            first = (row_of(first), column_of(first))
    else:
        step = max(1, _FINITE_BLOCK // max(1, values.shape[1]))
        for start in range(0, values.shape[0], step):
            bad = ~np.isfinite(values[start:start + step])
            n = int(np.count_nonzero(bad))
            if n and first is None:
                i, j = np.unravel_index(int(np.argmax(bad)), bad.shape)
                first = (start + int(i) if rows is None else int(rows[start + i]), int(j))
            count += n
    if count:
        raise InputFileError(f"{what}: the matrix holds {count} value{'s' if count > 1 else ''} that "
                             f"{'are' if count > 1 else 'is'} not finite (NaN or infinite), the first at "
                             f"[source, receiver] = [{first[0]}, {first[1]}]")


def _npy_header(stream, what: str):
    fmt = np.lib.format
    try:
        version = fmt.read_magic(stream)
        read = fmt.read_array_header_1_0 if version == (1, 0) else fmt.read_array_header_2_0
        shape, _, dtype = read(stream)
    except (ValueError, OSError, SyntaxError, EOFError) as exc:
        raise InputFileError(f"{what} is not a NumPy .npy array: {' '.join(str(exc).split())}") from None
    return shape, dtype


def _read_npy(path: Path, what: str, mmap_mode=None, *, kinds: str = _NUMBERS, square: bool = False,
              order: int | None = None) -> np.ndarray:
    with open(path, "rb") as f:
        shape, dtype = _npy_header(f, what)
        held = os.fstat(f.fileno()).st_size - f.tell()
    check_claim(what, shape, dtype, held, memory=mmap_mode is None, kinds=kinds)
    if square:
        _check_square(what, shape, order)
    array = np.load(path, mmap_mode=mmap_mode, allow_pickle=False)
    if square:
        _check_finite(what, array)
    return array


def _member_header(archive: zipfile.ZipFile, info: zipfile.ZipInfo, what: str, size: int):
    """Shape, dtype and the most data bytes the ``.npy`` member can hold (its size as the archive's
    directory claims it, bounded by its compressed size in a file of ``size`` bytes)."""
    with archive.open(info) as member:
        shape, dtype = _npy_header(member, what)
        header = member.tell()
    stored = min(info.compress_size, size)
    bound = {zipfile.ZIP_STORED: stored, zipfile.ZIP_DEFLATED: stored * _DEFLATE_RATIO}
    return shape, dtype, min(info.file_size, bound.get(info.compress_type, info.file_size)) - header


def _read_npz(path: Path, key: str, what: str, size: int) -> np.ndarray:
    try:
        archive = zipfile.ZipFile(path)
    except zipfile.BadZipFile:
        raise InputFileError(f"{path} is not a NumPy .npz archive") from None
    with archive:
        names = [n[:-4] for n in archive.namelist() if n.endswith(".npy")]
        if key not in names:
            raise InputFileError(f"{what}: {path} has no array '{key}' (it has {', '.join(names) or 'none'})")
        info = archive.getinfo(key + ".npy")
        shape, dtype, held = _member_header(archive, info, f"{what} ({path}:{key})", size)
        check_claim(f"{what} ({path}:{key})", shape, dtype, held)
        with archive.open(info) as member:
            return np.lib.format.read_array(member, allow_pickle=False)


def foreign_link(h5py, f, name: str, link=None) -> str | None:
    """Why the object ``name`` of the open HDF5 file ``f`` would take data from elsewhere, or None.

    Soft and external links, external storage and virtual datasets let a
    file pull in any file the reader may read: only data held in the file
    itself, under its own name, is read.
    """
    link = f.get(name, getlink=True) if link is None else link
    if isinstance(link, h5py.SoftLink):
        return f"'{name}' is a soft link (to {link.path})"
    if isinstance(link, h5py.ExternalLink):
        return f"'{name}' is an external link (to {link.filename}:{link.path})"
    if link is not None and not isinstance(link, h5py.HardLink):
        return f"'{name}' is a link of an unknown kind"
    obj = f.get(name) if link is not None else None
    if isinstance(obj, h5py.Dataset):
        if obj.is_virtual:
            return f"'{name}' is a virtual dataset"
        if obj.external:
            return f"'{name}' uses external storage ({', '.join(str(e[0]) for e in obj.external)})"
    return None


def hdf5_held(dataset, size: int) -> int:
    """The most data bytes an HDF5 dataset can hold: what the file stores for it, times the deflate
    bound when it is filtered."""
    stored = min(int(dataset.id.get_storage_size()), size)
    return stored * _DEFLATE_RATIO if dataset.id.get_create_plist().get_nfilters() else stored


def _read_hdf5(path: Path, key: str, what: str, size: int) -> np.ndarray:
    h5py = optional_module("h5py")
    try:
        f = h5py.File(path, "r")
    except OSError:
        raise InputFileError(f"{what}: {path} is not a netCDF-4 or HDF5 file") from None
    with f:
        parts = [part for part in key.split("/") if part]
        for i in range(len(parts)):
            problem = foreign_link(h5py, f, "/".join(parts[:i + 1]))
            if problem is not None:
                raise InputFileError(f"{what}: {path} reaches outside itself: {problem}")
        obj = f.get("/".join(parts)) if parts else None
        if not isinstance(obj, h5py.Dataset):
            names: list[str] = []
            f.visititems(lambda name, item: names.append(name) if isinstance(item, h5py.Dataset) else None)
            shown = ", ".join(names[:12]) + (", ..." if len(names) > 12 else "")
            raise InputFileError(f"{what}: {path} has no variable '{key}' (it has {shown or 'none'})")
        check_claim(f"{what} ({path}:{key})", obj.shape, obj.dtype, hdf5_held(obj, size))
        return obj[()]


def read_array(path: str | os.PathLike, key: str | None = None, *, what: str | None = None) -> np.ndarray:
    """Read one array from a ``.npy``, ``.npz``, ``.nc``, ``.h5`` or ``.hdf5`` file.

    Parameters
    ----------
    path : path-like
        The file.
    key : str, optional
        The ``.npz`` entry or the netCDF/HDF5 variable path (``"group/variable"``);
        required for those files, not allowed for ``.npy``.
    what : str, optional
        How messages name the array (default: the path).

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    InputFileError
        (a ValueError) The file is missing, not a regular file, unreadable,
        of another kind, has no such entry, holds anything but real numbers or
        booleans, its header claims more data than the file holds or than the
        memory available, or (HDF5) the entry is reached through a soft or
        external link, or is a virtual dataset or one with external storage.
        All checked before any data is read.
    """
    path = Path(path)
    what = what or str(path)
    suffix = path.suffix.lower()
    try:
        if suffix == ".npy":
            if key is not None:
                raise InputFileError(f"{what}: a .npy file holds one array; ':{key}' names none")
            regular_file(path, what)
            return _read_npy(path, what)
        if key is None:
            raise InputFileError(f"{what}: name the entry of {path} to read")
        if suffix == ".npz":
            return _read_npz(path, key, what, regular_file(path, what))
        if suffix in _NETCDF_SUFFIXES:
            return _read_hdf5(path, key, what, regular_file(path, what))
    except FileNotFoundError:
        raise InputFileError(f"{what}: no such file {path}") from None
    except IsADirectoryError:
        raise InputFileError(f"{what}: {path} is a folder") from None
    except (OSError, EOFError, zipfile.BadZipFile) as exc:
        text = getattr(exc, "strerror", None) or " ".join(str(exc).split())
        raise InputFileError(f"{what}: cannot read {path}: {text}") from None
    except (ValueError, TypeError) as exc:
        if isinstance(exc, InputFileError):
            raise
        raise InputFileError(f"{what}: cannot read {path}: {' '.join(str(exc).split())}") from None
    raise InputFileError(f"{what}: {path} is not a .npy, .npz, .nc or .h5 file")


# ---------------------------------------------------------------- metadata
def matrix_metadata(kind: str, windows: Windows, options: Mapping, inputs: Mapping[str, str | os.PathLike],
                    *, base: str | os.PathLike | None = None) -> dict:
    """The metadata stored with a matrix.

    Parameters
    ----------
    kind : {"in-field", "stray-light"}
    windows : Windows
    options : mapping
        The build options (scheme, lower_edge, rows, steps, ...).
    inputs : mapping
        Input files by role (``"psfs.images"``, ...); each file's SHA-256 is taken.
    base : path-like, optional
        The folder the stored paths are relative to (the configuration
        file's folder), so that the metadata name the inputs wherever the
        calibration folder is moved to; None stores absolute paths.

    Returns
    -------
    dict
        Keys ``matrix``, ``windows`` (a :class:`Windows`), ``options``,
        ``inputs`` (role -> ``{"path", "sha256"}``), ``velmora_version``,
        ``created`` (ISO 8601, UTC) and ``Conventions``.
    """
    from . import __version__

    def stored(path) -> str:
        real = os.path.realpath(path)
        return real if base is None else os.path.relpath(real, os.path.realpath(base))

    files = {role: {"path": stored(path), "sha256": sha256_file(path)} for role, path in inputs.items()}
    return {"matrix": kind, "windows": windows, "options": dict(options), "inputs": files,
            "velmora_version": __version__, "Conventions": CONVENTIONS,
            "created": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds")}


def json_ready(metadata: Mapping) -> dict:
    out = dict(metadata)
    if isinstance(out.get("windows"), Windows):
        out["windows"] = out["windows"].to_dict()
    out["options"] = {k: list(v) if isinstance(v, tuple) else v for k, v in out.get("options", {}).items()}
    return out


def _from_json(data: Mapping) -> dict:
    if not isinstance(data, Mapping):
        raise TypeError("it is not a JSON object")
    meta = dict(data)
    windows, options = meta.get("windows"), meta.get("options", {})
    if not isinstance(windows, (Mapping, type(None))) or not isinstance(options, Mapping):
        raise TypeError("its 'windows' and 'options' must be JSON objects")
    meta["windows"] = None if windows is None else Windows.from_mapping(windows)
    meta["options"] = {k: tuple(v) if isinstance(v, list) else v for k, v in options.items()}
    return meta


def _attribute_name(role: str) -> str:
    return "input_" + role.replace(".", "_")


#: What no CF standard name describes, said in the ``comment`` of such variables.
NO_STANDARD_NAME = "No CF standard name describes this quantity, so it has none."


def acdd_attributes(title: str, summary: str, keywords: str, created: str, version: str,
                    creator_name: str | None = None, history: str | None = None) -> dict:
    """The global attributes that CF-1.11 and ACDD-1.3 ask of every netCDF file velmora writes.

    Parameters
    ----------
    title, summary, keywords : str
        What the file holds: a title, a paragraph, comma-separated keywords.
    created : str
        ISO 8601 time of creation.
    version : str
        The velmora version that wrote it.
    creator_name : str, optional
        Who made the file (default: velmora).
    history : str, optional
        Earlier history lines; the writing is appended.

    Returns
    -------
    dict
    """
    source = f"velmora {version}".strip()
    line = f"{created} written by {source}"
    return {"Conventions": CONVENTIONS, "title": title, "summary": summary, "keywords": keywords,
            "keywords_vocabulary": "velmora: words of the TORVEN level-1 processing",
            "source": source, "history": f"{history.rstrip()}\n{line}" if history else line,
            "date_created": created, "date_modified": created, "date_issued": created,
            "creator_name": creator_name or "velmora",
            "processing_level": "L1 calibration", "product_version": version,
            "velmora_version": version}


def _netcdf_attributes(metadata: Mapping, layout: str) -> dict:
    kind = metadata.get("matrix", "")
    version = str(metadata.get("velmora_version", "") or "")
    created = str(metadata.get("created", "") or "")
    summary = ("Square matrix of the TORVEN level-1 processing over the L1C pixels: element [s, r] is the "
               f"share of the light entering at source L1C pixel s that arrives in receiving L1C pixel r "
               f"({kind or 'matrix'}, built by velmora from the measured PSFs, their interpolation tables "
               "and the windows of the detector).")
    attrs = acdd_attributes(f"velmora {kind} matrix".replace("  ", " "), summary,
                            f"TORVEN, level 1, L1C, point spread function, {kind or 'convolution'} matrix, "
                            "deconvolution", created, version, metadata.get("creator_name"))
    attrs.update({"matrix": kind, "matrix_layout": layout})
    windows = metadata.get("windows")
    if isinstance(windows, Windows):
        attrs.update({n: np.int32(v) for n, v in windows.to_dict().items()})
    options = metadata.get("options", {})
    attrs["options"] = " ".join(options)
    for name, value in options.items():
        if isinstance(value, bool):
            attrs[name] = np.int8(value)
        elif isinstance(value, (tuple, list)):
            attrs[name] = np.asarray(value, dtype=np.int32)
        else:
            attrs[name] = value
    inputs = metadata.get("inputs", {})
    attrs["inputs"] = " ".join(inputs)   # the roles, as given: attribute names cannot hold every character
    for role, entry in inputs.items():
        attrs[_attribute_name(role)] = f"{entry['path']} sha256:{entry['sha256']}"
    return attrs


def _metadata_from_attributes(attrs: Mapping) -> dict:
    def plain(v):
        if isinstance(v, np.ndarray):
            return tuple(x.item() for x in v.ravel()) if v.size != 1 else plain(v.ravel()[0])
        return v.item() if isinstance(v, np.generic) else v

    attrs = {k: plain(v) for k, v in attrs.items()}
    windows = None
    missing = [n for n in PARAMETER_NAMES if n not in attrs]
    if len(missing) < len(PARAMETER_NAMES):
        if missing:
            raise ValueError(f"the windowing parameter(s) {', '.join(missing)} are missing")
        windows = Windows(**{n: attrs[n] for n in PARAMETER_NAMES})   # refuses 12.7 and "12"
    from .config import InfieldPlan, StrayLightPlan

    kinds = {f.name: f.metadata.get("kind") for cls in (InfieldPlan, StrayLightPlan)
             for f in dataclasses.fields(cls)}
    options = {}
    for name in str(attrs.get("options", "")).split():
        value = attrs.get(name)
        kind = kinds.get(name)
        options[name] = (bool(value) if kind == "bool" else
                         tuple(value) if kind == "pair" and isinstance(value, tuple) else value)
    names = {key[len("input_"):]: key for key in attrs if key.startswith("input_")}
    if isinstance(attrs.get("inputs"), str):   # the roles as they were given
        names = {role: _attribute_name(role) for role in attrs["inputs"].split()}
    inputs = {}
    for role, key in names.items():
        value = attrs.get(key)
        if isinstance(value, str) and " sha256:" in value:
            path, digest = value.rsplit(" sha256:", 1)
            inputs[role] = {"path": path, "sha256": digest}
    return {"matrix": attrs.get("matrix"), "windows": windows, "options": options, "inputs": inputs,
            "velmora_version": attrs.get("velmora_version"), "created": attrs.get("date_created"),
            "Conventions": attrs.get("Conventions")}


# ------------------------------------------------------------------ writing
def _fsync(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_folder(path: Path) -> None:
    try:
        _fsync(path)
    except OSError:  # pragma: no cover - file systems without folder fsync
        pass


def _umask_mode() -> int:
    """The mode a new file gets (0o666 less the umask), read without changing the umask where possible."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            mask = next(int(line.split()[1], 8) for line in f if line.startswith("Umask:"))
    except (OSError, StopIteration, ValueError, IndexError):
        mask = os.umask(0o022)
        os.umask(mask)
    return 0o666 & ~mask


class AtomicOutputs:
    """The files of one run, put in place together or not at all.

    Use it as a context manager: :meth:`temporary` gives a temporary file
    beside each target; after writing them all, :meth:`commit` flushes them
    to disk and renames each over its target. Leaving the block without a
    commit (any exception, including KeyboardInterrupt) removes every
    temporary and every folder it created, so existing files are never
    touched. Should a rename fail midway, the targets already replaced are
    put back as they were.

    Examples
    --------
    >>> with AtomicOutputs() as outputs:                      # doctest: +SKIP
    ...     tmp = outputs.temporary("out/matrix.npy")
    ...     np.save(tmp, matrix)
    ...     outputs.commit()
    """

    def __init__(self):
        self._pending: list[tuple[Path, Path]] = []
        self._folders: list[Path] = []
        self.committed = False

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if not self.committed:
            self.discard()

    def temporary(self, target: str | os.PathLike) -> Path:
        """A new, empty temporary file in the folder of ``target`` (symbolic links followed).

        Folders that do not exist yet are created (and removed again by :meth:`discard`).
        """
        target = Path(os.path.realpath(target))
        missing = []
        folder = target.parent
        while not folder.exists():
            missing.append(folder)
            folder = folder.parent
        for folder in reversed(missing):
            folder.mkdir()
            self._folders.append(folder)
        mode = target.stat().st_mode & 0o777 if target.is_file() else _umask_mode()
        while True:
            # The target's suffix last, for writers that go by it (numpy.savez, matplotlib).
            tmp = target.with_name(f".{target.name}.{secrets.token_hex(4)}{_TEMP_MARK}{target.suffix}")
            try:
                fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
                break
            except FileExistsError:  # pragma: no cover - 32 random bits taken
                continue
        os.close(fd)
        os.chmod(tmp, mode)
        self._pending.append((tmp, target))
        return tmp

    def discard(self) -> None:
        """Remove every temporary and the folders made for them."""
        for tmp, _ in self._pending:
            try:
                tmp.unlink()
            except FileNotFoundError:
                pass
        self._pending.clear()
        for folder in reversed(self._folders):
            try:
                folder.rmdir()
            except OSError:
                pass
        self._folders.clear()

    def commit(self) -> list[Path]:
        """Flush every temporary to disk and rename it over its target.

        Returns
        -------
        list of pathlib.Path
            The targets, in the order their temporaries were made.
        """
        for tmp, _ in self._pending:
            _fsync(tmp)
        replaced: list[tuple[Path, Path | None]] = []
        try:
            for tmp, target in self._pending:
                backup = None
                if target.exists():
                    backup = target.with_name(f".{target.name}.{secrets.token_hex(4)}.velmora-old")
                    try:
                        os.link(target, backup)
                    except OSError:
                        backup = None
                os.replace(tmp, target)
                replaced.append((target, backup))
        except BaseException:
            for target, backup in reversed(replaced):
                if backup is not None:
                    os.replace(backup, target)
                else:
                    target.unlink(missing_ok=True)
            raise
        finally:
            for _, backup in replaced:
                if backup is not None:
                    backup.unlink(missing_ok=True)
        for folder in {target.parent for _, target in self._pending}:
            _fsync_folder(folder)
        targets = [target for _, target in self._pending]
        self._pending.clear()
        self._folders.clear()
        self.committed = True
        return targets


def open_npy(path: Path, shape: tuple[int, int]) -> np.memmap:
    """A writeable, C-contiguous float64 ``.npy`` file mapped into memory, zero-filled."""
    return np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=shape)


def write_json(path: Path, metadata: Mapping) -> None:
    """Write metadata as the JSON sidecar text."""
    with open(path, "w", encoding="utf-8") as f:
        json.dump(json_ready(metadata), f, indent=1)
        f.write("\n")


def _nonzero_rows(matrix) -> tuple[np.ndarray, np.ndarray]:
    """The numbers of the rows that hold a non-zero element, and those rows (dense)."""
    import scipy.sparse

    if scipy.sparse.issparse(matrix):
        csr = scipy.sparse.csr_matrix(matrix)
        rows = np.flatnonzero(np.diff(csr.indptr))
        return rows, csr[rows].toarray()
    matrix = np.asarray(matrix)
    block = max(1, (1 << 24) // max(1, matrix.shape[1]))  # rows per pass: a 16 MB mask at most
    rows = np.concatenate([start + np.flatnonzero(np.any(matrix[start:start + block] != 0, axis=1))
                           for start in range(0, matrix.shape[0], block)] or [np.zeros(0, np.intp)])
    return rows, matrix[rows]


def _csr_from_rows(rows: np.ndarray, values: np.ndarray, shape: tuple[int, int]):
    import scipy.sparse

    part = scipy.sparse.csr_matrix(values)
    indptr = np.zeros(shape[0] + 1, dtype=part.indptr.dtype)
    indptr[np.asarray(rows) + 1] = np.diff(part.indptr)
    return scipy.sparse.csr_matrix((part.data, part.indices, np.cumsum(indptr)), shape=shape)


def write_csr(path: Path, matrix) -> None:
    """Write a matrix as a compressed :mod:`scipy.sparse` CSR ``.npz`` file."""
    import scipy.sparse

    csr = matrix.tocsr() if scipy.sparse.issparse(matrix) else _csr_from_rows(*_nonzero_rows(matrix), matrix.shape)
    with open(path, "wb") as f:
        scipy.sparse.save_npz(f, csr, compressed=True)


def _l1c_coordinates(dim: str, who: str, flat: np.ndarray, windows) -> dict:
    """The L1C x and y of the flat indices ``flat`` (x * Ky + y), as auxiliary coordinates over ``dim``."""
    if not isinstance(windows, Windows) or windows.Ky < 1:
        return {}
    x, y = np.divmod(flat.astype(np.int64), windows.Ky)
    return {f"{who}_{axis}": ((dim,), v.astype(np.int32),
                              {"long_name": f"L1C {name} of the {who} pixel", "units": "1",
                               "coverage_content_type": "coordinate", "comment": NO_STANDARD_NAME})
            for axis, name, v in (("x", "column (x)", x), ("y", "row (y)", y))}


def write_netcdf(path: Path, matrix, metadata: Mapping, *, compact: bool = False) -> None:
    """Write a matrix and its metadata as a netCDF-4 file (xarray with h5netcdf), CF-1.11 and ACDD-1.3.

    Dense: the variable ``matrix`` over (source, receiver). Compact: only the
    rows that hold a non-zero element, ``matrix`` over (nonzero_source,
    receiver), with their row numbers in ``source_index``. The coordinate
    variables ``source`` and ``receiver`` hold the flat L1C index
    ``x * Ky + y``; ``source_x``, ``source_y``, ``receiver_x``, ``receiver_y``
    (when the windows are known) the L1C pixel of each row and column, and
    the compact file's ``source_index`` is the coordinate of its rows.
    """
    optional_module("h5netcdf")
    xr = optional_module("xarray")

    n = matrix.shape[0]
    windows = metadata.get("windows")
    flat = np.arange(n, dtype=np.int32)

    def index(who: str) -> dict:
        return {"long_name": f"flat L1C index of the {who} pixel, x * Ky + y", "units": "1",
                "coverage_content_type": "coordinate", "comment": NO_STANDARD_NAME}

    described = {"units": "1", "coverage_content_type": "modelResult",
                 "comment": "element [s, r]: the share of the light of source L1C pixel s that arrives in "
                 "receiving L1C pixel r; flat L1C index x * Ky + y. " + NO_STANDARD_NAME}
    coords = {"receiver": (("receiver",), flat, index("receiving"))}
    coords.update(_l1c_coordinates("receiver", "receiver", flat, windows))
    if compact:
        rows, values = _nonzero_rows(matrix)
        rows = rows.astype(np.int32)
        data = {"matrix": (("nonzero_source", "receiver"), values,
                           dict(described, long_name="non-zero rows of the matrix"))}
        coords["source_index"] = (("nonzero_source",), rows,
                                  dict(index("source"), long_name="source L1C pixel (row of the matrix) of each "
                                       "stored row, flat L1C index x * Ky + y"))
        coords.update(_l1c_coordinates("nonzero_source", "source", rows, windows))
        layout = "nonzero_rows"
    else:
        import scipy.sparse

        dense = matrix.toarray() if scipy.sparse.issparse(matrix) else np.asarray(matrix)
        data = {"matrix": (("source", "receiver"), dense, dict(described, long_name="velmora matrix"))}
        coords["source"] = (("source",), flat, index("source"))
        coords.update(_l1c_coordinates("source", "source", flat, windows))
        layout = "dense"
    ds = xr.Dataset(data, coords=coords, attrs=_netcdf_attributes(metadata, layout))
    ds.attrs["matrix_order"] = np.int32(n)
    encoding = {name: {"_FillValue": None} for name in ds.variables}
    ds.to_netcdf(path, engine="h5netcdf", format="NETCDF4", encoding=encoding)


def _output_kind(path: Path) -> str:
    suffix = path.suffix.lower()
    if suffix not in (".npy", ".npz", ".nc"):
        raise ValueError(f"{path}: a matrix is written to .npy, .npz (compact) or .nc")
    return suffix


def save_matrix(path: str | os.PathLike, matrix, metadata: Mapping | None = None, *, compact: bool = False,
                overwrite: bool = False) -> Path:
    """Write a matrix and its metadata atomically.

    Parameters
    ----------
    path : path-like
        ``.npy`` (metadata in a sidecar ``<path>.json``), ``.nc`` (netCDF-4,
        metadata as attributes) or ``.npz`` (compact: a CSR matrix, sidecar
        JSON).
    matrix : numpy.ndarray or scipy.sparse matrix, shape (F, F)
    metadata : mapping, optional
        As :func:`matrix_metadata` makes it; written to the sidecar or the
        attributes.
    compact : bool
        In ``.nc``, store only the non-zero rows and their indices.
    overwrite : bool
        Replace an existing file; otherwise :class:`FileExistsError`.

    Returns
    -------
    pathlib.Path
        The file written (symbolic links followed).
    """
    import scipy.sparse

    path = Path(path)
    suffix = _output_kind(path)
    targets = [path] + ([Path(f"{path}.json")] if suffix != ".nc" and metadata is not None else [])
    if not overwrite:
        for target in targets:
            if os.path.lexists(target):
                raise FileExistsError(f"{target} exists (pass overwrite=True to replace it)")
    metadata = dict(metadata or {})
    with AtomicOutputs() as outputs:
        tmp = outputs.temporary(path)
        if suffix == ".npz":
            write_csr(tmp, matrix)
        elif suffix == ".nc":
            write_netcdf(tmp, matrix, metadata, compact=compact)
        else:
            dense = matrix.toarray() if scipy.sparse.issparse(matrix) else matrix
            with open(tmp, "wb") as f:
                np.save(f, np.asarray(dense), allow_pickle=False)
        if len(targets) > 1:
            write_json(outputs.temporary(targets[1]), metadata)
        return outputs.commit()[0]


# ------------------------------------------------------------------ reading
_SIDECAR_LIMIT = 16 << 20   # metadata are a few KiB


def _checked_windows(where: str, metadata: dict) -> dict:
    """Refuse stored windows that are inconsistent."""
    windows = metadata.get("windows")
    problems = windows.problems() if windows is not None else []
    if problems:
        raise InputFileError(f"{where}: the stored windows are inconsistent: {'; '.join(problems)}")
    return metadata


def _sidecar(path: Path) -> dict:
    sidecar = Path(f"{path}.json")
    try:
        size = regular_file(sidecar)
    except FileNotFoundError:
        return {"windows": None}
    except OSError as exc:
        raise InputFileError(f"cannot read the metadata {sidecar}: {exc.strerror or exc}") from None
    if size > _SIDECAR_LIMIT:
        raise InputFileError(f"the metadata {sidecar} hold {format_size(size)}, more than metadata ever need "
                             f"({format_size(_SIDECAR_LIMIT)})")
    try:
        with open(sidecar, encoding="utf-8") as f:
            return _checked_windows(str(sidecar), _from_json(json.load(f)))
    except (OSError, ValueError, TypeError) as exc:
        if isinstance(exc, InputFileError):
            raise
        raise InputFileError(f"cannot read the metadata {sidecar}: {' '.join(str(exc).split())}") from None


def load_matrix(path: str | os.PathLike, *, mmap_mode: str | None = None):
    """Read a matrix written by ``velmora build`` or :func:`save_matrix`, with its metadata.

    Everything is checked before it is read or used: the file must be a
    regular file; its header's sizes must fit the file and the available
    memory; the matrix must be square and hold real numbers (integers or
    floats); a compact matrix's structure must be sound (row pointers that
    start at 0, never decrease and end at the number of values, column
    indices inside the matrix, each stored row once); an HDF5/netCDF file
    must hold its data itself (no soft or external links, external storage
    or virtual datasets); stored windows must be consistent; no element may
    be NaN or infinite (checked in blocks, without a second copy of the
    matrix).

    Parameters
    ----------
    path : path-like
        A ``.nc``, ``.npy`` or compact ``.npz`` file.
    mmap_mode : {None, "r", "r+", "c"}, optional
        For ``.npy``: map the file instead of reading it (see :func:`numpy.load`).

    Returns
    -------
    LoadedMatrix
        A named tuple ``(matrix, metadata)``; passed whole to
        :func:`velmora.observe`, :class:`velmora.Corrector` or
        :func:`velmora.forward_operator`, it brings its windows along.
    matrix : numpy.ndarray, shape (F, F), or scipy.sparse.csr_matrix
        The CSR form for a compact file (``.npz``, or ``.nc`` holding only the
        non-zero rows).
    metadata : dict
        ``matrix`` (``"in-field"`` or ``"stray-light"``), ``windows`` (a
        :class:`velmora.Windows`, or None when the file carries none, e.g. a
        ``.npy`` without its ``.json`` sidecar), ``options``, ``inputs``
        (role -> ``{"path", "sha256"}``), ``velmora_version``, ``created``.

    Raises
    ------
    InputFileError
        (a ValueError) The file is missing, not a regular file, of another
        kind, fails one of the checks above, or the metadata's windows do not
        match the matrix's size.
    """
    path = Path(path)
    suffix = path.suffix.lower()
    try:
        if suffix not in (".npy", ".npz", *_NETCDF_SUFFIXES):
            raise InputFileError(f"{path}: a matrix file is .nc, .npy or .npz")
        size = regular_file(path)
        if suffix in (".npy", ".npz"):
            metadata = _sidecar(path)
            order = None if metadata["windows"] is None else metadata["windows"].F
            matrix = (_read_npy(path, str(path), mmap_mode, kinds=_MATRIX, square=True, order=order)
                      if suffix == ".npy" else _load_csr(path, size, order))
        else:
            matrix, metadata = _load_netcdf(path, size)
    except FileNotFoundError:
        raise InputFileError(f"no such file {path}") from None
    except OSError as exc:
        raise InputFileError(f"cannot read {path}: {exc.strerror or exc}") from None
    except (ValueError, TypeError, EOFError, zipfile.BadZipFile) as exc:
        if isinstance(exc, InputFileError):
            raise
        raise InputFileError(f"cannot read {path}: {' '.join(str(exc).split())}") from None
    windows = metadata.get("windows")
    if windows is not None and matrix.shape != (windows.F, windows.F):
        raise InputFileError(f"{path}: the matrix has shape {matrix.shape} but its windows give "
                             f"F = Kx * Ky = {windows.F}")
    from .layout import LoadedMatrix

    return LoadedMatrix(matrix, metadata)


#: The members of a scipy.sparse ``.npz`` file: name, dtype kinds, what they hold.
_CSR_MEMBERS = (("format", "SU", "text"), ("shape", "iu", "integers"), ("data", _MATRIX, "real numbers"),
                ("indices", "iu", "integers"), ("indptr", "iu", "integers"))


def _load_csr(path: Path, size: int, order: int | None):
    """A scipy.sparse CSR (or CSC) ``.npz`` matrix, every size and index checked before it is built."""
    try:
        archive = zipfile.ZipFile(path)
    except zipfile.BadZipFile:
        raise InputFileError(f"{path} is not a scipy.sparse .npz matrix (not a zip archive)") from None
    with archive:
        members = {n[:-4]: archive.getinfo(n) for n in archive.namelist() if n.endswith(".npy")}
        missing = [key for key, _, _ in _CSR_MEMBERS if key not in members]
        if missing:
            raise InputFileError(f"{path} is not a scipy.sparse .npz matrix: it has no {', '.join(missing)}")
        total = 0
        for key, kinds, want in _CSR_MEMBERS:
            shape, dtype, held = _member_header(archive, members[key], f"{path}: {key}", size)
            check_claim(f"{path}: {key}", shape, dtype, held, memory=False, kinds=kinds, want=want)
            total += math.prod(shape) * dtype.itemsize
        check_memory(str(path), 2 * total)   # the arrays, and the copies scipy.sparse may make
        arrays = {}
        for key, _, _ in _CSR_MEMBERS:
            with archive.open(members[key]) as member:
                arrays[key] = np.lib.format.read_array(member, allow_pickle=False)
    return _csr_checked(path, order, **arrays)


def _csr_checked(path: Path, order: int | None, format, shape, data, indices, indptr):
    import scipy.sparse

    kind = format.item() if format.size == 1 else None
    kind = kind.decode("ascii", "replace") if isinstance(kind, bytes) else kind
    if kind not in ("csr", "csc"):
        raise InputFileError(f"{path} holds a scipy.sparse matrix of the format {kind!r}; a compact matrix is "
                             "CSR")
    if shape.shape != (2,) or shape.min() < 0:
        raise InputFileError(f"{path}: {shape.tolist()} is not the shape of a matrix")
    nrows, ncols = (int(n) for n in shape)
    _check_square(str(path), (nrows, ncols), order)
    (major, line), (minor, index) = ((nrows, "row"), (ncols, "column"))[::1 if kind == "csr" else -1]
    for name, array in (("data", data), ("indices", indices), ("indptr", indptr)):
        if array.ndim != 1:
            raise InputFileError(f"{path}: {name} has the shape {array.shape}, not flat")
    nnz = data.size
    if indices.size != nnz:
        raise InputFileError(f"{path}: {indices.size} {index} indices for {nnz} values")
    if indptr.size != major + 1:
        raise InputFileError(f"{path}: indptr has {indptr.size} entries; {major} {line}s need {major + 1}")
    if indptr[0] != 0 or indptr[-1] != nnz:
        raise InputFileError(f"{path}: indptr must start at 0 and end at the number of values, {nnz}, "
                             f"but runs from {indptr[0]} to {indptr[-1]}")
    falls = np.flatnonzero(indptr[1:] < indptr[:-1])
    if falls.size:
        k = int(falls[0])
        raise InputFileError(f"{path}: indptr must not decrease, but falls from {indptr[k]} to "
                             f"{indptr[k + 1]} after {line} {k}")
    outside = np.flatnonzero((indices < 0) | (indices >= minor))
    if outside.size:
        raise InputFileError(f"{path}: the {index} index {indices[outside[0]]} lies outside 0 to {minor - 1}")

    def line_of(k):   # the row (CSR) or column (CSC) that value k belongs to
        return int(np.searchsorted(indptr, k, side="right")) - 1

    at = ((line_of, lambda k: int(indices[k])) if kind == "csr" else (lambda k: int(indices[k]), line_of))
    _check_finite(str(path), data, at)
    build = scipy.sparse.csr_matrix if kind == "csr" else scipy.sparse.csc_matrix
    matrix = build((data, indices, indptr), shape=(nrows, ncols))
    matrix.check_format(full_check=True)
    return matrix.tocsr()


def _attribute_integer(path: Path, name: str, value) -> int:
    if isinstance(value, np.ndarray) and value.size == 1:
        value = value.ravel()[0]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise InputFileError(f"{path}: the attribute {name} must be an integer, at least 0, not {value!r}")
    return value


def hdf5_sizes(path: Path, size: int, names) -> dict:
    """The most data bytes each of the datasets ``names`` can hold; refuses a file that takes data from
    elsewhere (links, external storage, virtual datasets) anywhere in it."""
    h5py = optional_module("h5py")
    try:
        f = h5py.File(path, "r")
    except OSError:
        raise InputFileError(f"{path} is not a netCDF-4 file") from None
    with f:
        problem = f.visititems_links(lambda name, link: foreign_link(h5py, f, name, link))  # stops at the first
        if problem is not None:
            raise InputFileError(f"{path} reaches outside itself: {problem}")
        return {name: hdf5_held(f[name], size) for name in names if isinstance(f.get(name), h5py.Dataset)}


def _load_netcdf(path: Path, size: int):
    optional_module("h5netcdf")
    xr = optional_module("xarray")

    held = hdf5_sizes(path, size, ("matrix", "source_index"))
    try:
        ds = xr.open_dataset(path, engine="h5netcdf")
    except (OSError, ValueError) as exc:
        raise InputFileError(f"{path} is not a netCDF-4 file: {' '.join(str(exc).split())}") from None
    with ds:
        if "matrix" not in ds or "matrix" not in held:
            raise InputFileError(f"{path} holds no variable 'matrix'")
        layout = ds.attrs.get("matrix_layout", "dense")
        if layout not in ("dense", "nonzero_rows"):
            raise InputFileError(f"{path}: unknown matrix_layout {layout!r} (not 'dense' or 'nonzero_rows')")
        try:
            metadata = _metadata_from_attributes(ds.attrs)
        except (ValueError, TypeError) as exc:
            raise InputFileError(f"{path}: {' '.join(str(exc).split())}") from None
        windows = _checked_windows(str(path), metadata)["windows"]
        values = ds["matrix"]
        what = f"{path}: variable 'matrix'"
        check_claim(what, values.shape, values.dtype, held["matrix"], memory=False, kinds=_MATRIX)
        check_claim(what, values.shape, np.dtype(np.float64), None)
        order = ds.attrs.get("matrix_order")
        n = None if order is None and layout == "dense" else _attribute_integer(path, "matrix_order", order)
        if layout == "dense":
            _check_square(what, values.shape, None if windows is None else windows.F)
            if n is not None and n != values.shape[0]:
                raise InputFileError(f"{path}: matrix_order = {n} but the matrix has the shape {values.shape}")
            dense = np.ascontiguousarray(values.values, dtype=np.float64)
            _check_finite(str(path), dense)
            return dense, metadata
        if values.ndim != 2 or values.shape[1] != n:
            raise InputFileError(f"{what} has the shape {values.shape}, not (rows, matrix_order = {n})")
        _check_square(path, (n, n), None if windows is None else windows.F)
        if "source_index" not in ds or "source_index" not in held:
            raise InputFileError(f"{path} holds no variable 'source_index' for its rows")
        index = ds["source_index"]
        if index.shape != values.shape[:1]:
            raise InputFileError(f"{path}: source_index has the shape {index.shape}; the matrix stores "
                                 f"{values.shape[0]} rows")
        check_claim(f"{path}: variable 'source_index'", index.shape, index.dtype, held["source_index"],
                     kinds="iu", want="integers")
        check_claim(f"{path}: the rows of the matrix", (n + 1,), np.dtype(np.int64), None)
        rows = np.asarray(index.values)
        outside = np.flatnonzero((rows < 0) | (rows >= n))
        if outside.size:
            raise InputFileError(f"{path}: source_index holds row {rows[outside[0]]}, outside 0 to {n - 1}")
        rows = rows.astype(np.int64)
        ranked = np.argsort(rows, kind="stable")
        twice = np.flatnonzero(np.diff(rows[ranked]) == 0)
        if twice.size:
            raise InputFileError(f"{path}: source_index holds row {rows[ranked[twice[0]]]} twice")
        dense = np.asarray(values.values, dtype=np.float64)
        _check_finite(str(path), dense, rows)
        if np.any(np.diff(rows) < 0):   # rows stored out of order: put them in order
            rows, dense = rows[ranked], dense[ranked]
        return _csr_from_rows(rows, dense, (n, n)), metadata

