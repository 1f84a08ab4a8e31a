"""Dense matrices built in blocks of L1C columns on Dask, stored in Zarr.

A dense matrix of F L1C pixels takes F * F * 8 bytes: 32 GiB at F = 65536,
512 GiB at F = 262144, more than one machine holds. The sources of one L1C
column are its rows ``x * Ky .. (x + 1) * Ky - 1`` of the (F, F) matrix, and a
block of L1C columns is built independently of every other block, bitwise
equal to the same rows of a whole build. This module builds such blocks as the
chunks of a :class:`dask.array.Array`, each in a Dask worker by the same native
request as :func:`velmora.infield_matrix` and :func:`velmora.stray_light_matrix`,
stores them in a Zarr store chunk by chunk where they are computed, and applies
a stored matrix blockwise without ever loading it whole.

:func:`infield_matrix`, :func:`stray_light_matrix`
    The lazy builds: a dask array of shape (F, F) in row chunks of whole L1C
    columns. The inputs (windows, PSF set, vignetting) are one object of the
    task graph that every chunk's task depends on, so they travel to each
    worker once, not once per chunk.
:func:`to_zarr`
    Stores a build, with its windows, options, the velmora version and the
    SHA-256 of every input array as attributes. Each chunk is marked complete
    once it is written; a store that was interrupted is completed by running
    the same call again, which builds only the chunks not yet marked.
:func:`open_matrix`, :func:`metadata`
    A stored matrix as a dask array, and the description of a store or build.
:func:`forward_operator`, :func:`observe`
    The forward model of stored (or lazy) matrices as a
    :class:`scipy.sparse.linalg.LinearOperator` whose products run chunk by
    chunk, on the cluster when a ``dask.distributed`` client is active.
:func:`store_problems`, :func:`scheduler_address`, :func:`cluster`
    Whether a store can be written, and where the builds run.

Computations use Dask's current scheduler: the active ``dask.distributed``
client when there is one, otherwise Dask's local threads. The workers must be
able to import this same velmora.

Store layout (Zarr format 3, a group)
-------------------------------------
``matrix``
    float64, shape (F, F), in the velmora layout (``[s, r]``: row ``s`` holds
    what source ``s`` sends out), chunked in rows of whole L1C columns and
    the full width. Chunks of zeros are not written (Zarr reads them as 0).
``complete``
    bool, one element per chunk of ``matrix`` (each its own Zarr chunk): set
    once that chunk of the matrix is written whole.
``sha256``
    uint8, shape (chunks, 32): the SHA-256 of each chunk (of the store's
    description, the chunk's index and its float64 values in C order),
    written with the chunk before its completion mark. Readers check every
    chunk against it (:func:`open_matrix`, :func:`verify`).
``.velmora-writer``
    While a writer runs, the lock file naming it (host, pid): a second
    writer of the same store is refused until it is gone.
attribute ``"velmora"``
    The description of the matrix: see :data:`STORE_ATTRIBUTE`.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import logging
import math
import os
import shutil
import signal
import socket
import tempfile
import time
import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import numpy as np

try:
    import dask
    import dask.array as da
    import zarr
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(f"velmora.distributed needs Dask and Zarr ({exc}); install them with "
                      "pip install 'velmora[distributed]'") from exc

from scipy.sparse.linalg import LinearOperator

from . import __version__, builds
from .errors import ConfigurationError
from .io import InputFileError
from .layout import check_image, image_to_vector, vector_to_image
from .options import (DEFAULT_ROWS_ABOVE, DEFAULT_SCHEME, DEFAULT_STEP, as_windows, infield_options, int_option,
                      per_pixel, stray_light_options)
from .psfs import PSFSet
from .signals import HeldSignals
from .windows import Windows

__all__ = [
    "STORE_ATTRIBUTE",
    "BlockOperator",
    "StoreResult",
    "cluster",
    "forward_operator",
    "infield_matrix",
    "is_zarr_output",
    "metadata",
    "observe",
    "open_matrix",
    "scheduler_address",
    "store_problems",
    "stray_light_matrix",
    "to_zarr",
    "verify",
]

#: Name of the group attribute of a store that describes its matrix: a mapping
#: with ``"matrix"`` (``"in-field"`` or ``"stray-light"``), ``"windows"`` (the
#: 22 parameters by name), ``"options"`` (the build options that shape the
#: matrix), ``"velmora_version"``, ``"inputs_sha256"`` (input name to the
#: SHA-256 hex digest of its C-ordered bytes: float64, and int32 for the PSF
#: indices), ``"columns_per_chunk"``, ``"chunk_rows"``, ``"chunks"``, and the
#: ``"shape"`` and ``"dtype"`` of the stored matrix.
STORE_ATTRIBUTE = "velmora"



# --------------------------------------------------------------------------
# The inputs of a build, shipped once to the workers
# --------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True, eq=False)
class _Build:
    """Everything a worker needs to build any block of L1C columns of one matrix."""

    matrix: str
    windows: Windows
    psfs: PSFSet
    options: dict
    vignetting: np.ndarray | None

    def rows(self, x0: int, x1: int) -> np.ndarray:
        """Rows ``[x0 * Ky, x1 * Ky)`` of the matrix: the sources of L1C columns x0 <= x < x1."""
        if self.matrix == "in-field":
            return builds.infield_matrix(self.windows, self.psfs, check=False, columns=(x0, x1), **self.options)
        return builds.stray_light_matrix(self.windows, self.psfs, vignetting=self.vignetting, check=False,
                                         columns=(x0, x1), **self.options)


def _build_block(build: _Build, columns_per_chunk: int, block_info=None) -> np.ndarray:
    """One chunk of a lazy build (runs in the worker)."""
    i = block_info[None]["chunk-location"][0]
    x0 = i * columns_per_chunk
    x1 = min(x0 + columns_per_chunk, build.windows.Kx)
    return build.rows(x0, x1)


def _sha256(array: np.ndarray) -> str:
    return hashlib.sha256(memoryview(np.ascontiguousarray(array))).hexdigest()


def _columns_per_chunk(windows: Windows, columns_per_chunk, chunk_bytes) -> int:
    """L1C columns per chunk from either way of giving the chunk size."""
    if columns_per_chunk is not None and chunk_bytes is not None:
        raise TypeError("give columns_per_chunk or chunk_bytes, not both")
    kx, row_bytes = windows.Kx, windows.Ky * windows.F * 8
    if columns_per_chunk is not None:
        k = int_option("columns_per_chunk", columns_per_chunk, 1)
        return min(k, kx)
    if chunk_bytes is None:
        chunk_bytes = dask.config.get("array.chunk-size", "128MiB")
    if isinstance(chunk_bytes, str):
        chunk_bytes = dask.utils.parse_bytes(chunk_bytes)
    if isinstance(chunk_bytes, bool) or not isinstance(chunk_bytes, (int, np.integer)) or chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be a positive number of bytes, got {chunk_bytes!r}")
    return max(1, min(kx, int(chunk_bytes) // max(row_bytes, 1)))


def _lazy(build: _Build, description: dict, columns_per_chunk: int) -> da.Array:
    w = build.windows
    k = columns_per_chunk
    rows = tuple(min(k, w.Kx - x0) * w.Ky for x0 in range(0, w.Kx, k))
    description = dict(description, columns_per_chunk=k, chunk_rows=k * w.Ky, chunks=len(rows),
                       shape=[w.F, w.F], dtype="float64")
    token = hashlib.sha256(json.dumps(description, sort_keys=True).encode()).hexdigest()[:24]
    slug = "infield" if build.matrix == "in-field" else "stray-light"
    # One graph node holds the inputs; every chunk's task depends on it, so the
    # scheduler ships them to a worker once and the workers share them.
    inputs = dask.delayed(build, name=f"velmora-{slug}-inputs-{token}", pure=True)
    array = da.map_blocks(_build_block, inputs, k, chunks=(rows, (w.F,)), dtype=np.float64,
                          meta=np.empty((0, 0), dtype=np.float64), name=f"velmora-{slug}-{token}")
    _DESCRIPTIONS[array.name] = description
    return array


#: The description of every lazy build made in this process, by the dask
#: array's name (a digest of the description itself, so repeated builds of
#: the same matrix share one entry).
_DESCRIPTIONS: dict[str, dict] = {}


def metadata(array) -> dict | None:
    """The description of a lazy build, of a store or of a stored matrix.

    Parameters
    ----------
    array : dask.array.Array, str, os.PathLike, zarr.Group or zarr.Array
        A dask array returned by :func:`infield_matrix` or
        :func:`stray_light_matrix`, or a store written by :func:`to_zarr`
        (its path, its group or its ``matrix`` array).

    Returns
    -------
    dict or None
        The mapping stored under :data:`STORE_ATTRIBUTE`; None for a dask
        array that is not one of these builds (an array derived from one,
        ``build + 0`` say, is not).
    """
    if isinstance(array, da.Array):
        found = _DESCRIPTIONS.get(array.name)
        return json.loads(json.dumps(found)) if found is not None else None
    return _open(array)[1]


def _description(matrix: str, windows: Windows, options: dict, arrays: dict[str, np.ndarray]) -> dict:
    return {"matrix": matrix, "windows": windows.to_dict(), "options": options,
            "velmora_version": __version__,
            "inputs_sha256": {name: _sha256(a) for name, a in arrays.items()}}


# --------------------------------------------------------------------------
# The lazy builds
# --------------------------------------------------------------------------

def infield_matrix(windows: Windows, psfs: PSFSet, *, scheme: str = DEFAULT_SCHEME, lower_edge: bool = True,
                   rows_below: int | None = None, rows_above: int = DEFAULT_ROWS_ABOVE, threads: int | None = 1,
                   check: bool = True, path: str = "auto", columns_per_chunk: int | None = None,
                   chunk_bytes: int | str | None = None) -> da.Array:
    """The in-field convolution matrix as a dask array built in blocks of L1C columns.

    Parameters
    ----------
    windows, psfs, scheme, lower_edge, rows_below, rows_above, path
        As in :func:`velmora.infield_matrix`.
    threads : int or None
        Threads of the build of each chunk. The default, 1, leaves the
        parallelism to the workers, which build chunks side by side; None
        takes :func:`velmora.resolve_threads` in the worker (Dask's worker
        processes set ``OMP_NUM_THREADS=1``).
    check : bool
        Validate the inputs here, before any task runs (the default).
    columns_per_chunk : int, optional
        L1C columns per chunk: each chunk has ``columns_per_chunk * Ky`` rows
        (the last one fewer when it does not divide Kx) and the full width F.
    chunk_bytes : int or str, optional
        Or the largest chunk in bytes (``"256MiB"`` is accepted): as many
        whole L1C columns as fit, at least one. Without either, Dask's
        ``array.chunk-size`` setting (128 MiB by default).

    Returns
    -------
    dask.array.Array, shape (F, F), float64
        Lazy; its chunks are built where they are computed, each by one
        native request, bitwise equal to the same rows of
        :func:`velmora.infield_matrix`. Store it with :func:`to_zarr`, which
        adds its description; :func:`metadata` returns that description.

    Raises
    ------
    ConfigurationError, ValueError, TypeError
        As :func:`velmora.infield_matrix`, raised by this call; or both
        ``columns_per_chunk`` and ``chunk_bytes`` are given, or one is not
        a positive integer.
    velmora.BuildError
        When the array is computed: a chunk's build failed.

    Notes
    -----
    ``progress``, ``out`` and ``return_report`` have no counterpart here: the
    progress of a Dask computation shows in its dashboard or through
    :func:`dask.distributed.progress`, and each chunk's records go to the
    ``"velmora"`` logger of the worker that built it.
    """
    windows = as_windows(windows)
    o = infield_options(windows, scheme, lower_edge, rows_below, rows_above)
    if threads is not None:
        threads = builds.resolve_threads(threads)
    per_pixel(path)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    if check:
        problems = windows.problems(rows_below=o.rows_below if o.lower_edge else None)
        if problems:
            raise ConfigurationError("windows", problems)
        psfs.check(windows, "detector")
    k = _columns_per_chunk(windows, columns_per_chunk, chunk_bytes)
    shaping = {"scheme": o.scheme, "lower_edge": o.lower_edge, "rows_below": o.rows_below,
               "rows_above": o.rows_above, "path": path}
    build = _Build("in-field", windows, psfs, dict(shaping, threads=threads), None)
    description = _description("in-field", windows, shaping, _psf_arrays(psfs))
    return _lazy(build, description, k)


def stray_light_matrix(windows: Windows, psfs: PSFSet, *, vignetting=None, source_step=DEFAULT_STEP,
                       sample_step=DEFAULT_STEP, threads: int | None = 1, check: bool = True, path: str = "auto",
                       columns_per_chunk: int | None = None, chunk_bytes: int | str | None = None) -> da.Array:
    """The horizontal stray-light matrix as a dask array built in blocks of L1C columns.

    Parameters
    ----------
    windows, psfs, vignetting, source_step, sample_step, path
        As in :func:`velmora.stray_light_matrix`.
    threads, check, columns_per_chunk, chunk_bytes
        As in :func:`infield_matrix`.

    Returns
    -------
    dask.array.Array, shape (F, F), float64
        Lazy, chunked in rows of whole L1C columns; bitwise equal to
        :func:`velmora.stray_light_matrix`.

    Raises
    ------
    ConfigurationError, ValueError, TypeError
        As :func:`velmora.stray_light_matrix`, raised by this call, or a bad
        chunk size.
    velmora.BuildError
        When the array is computed: a chunk's build failed.
    """
    windows = as_windows(windows)
    o = stray_light_options(source_step, sample_step)
    steps = {"source_step": o.source_step, "sample_step": o.sample_step}
    if threads is not None:
        threads = builds.resolve_threads(threads)
    per_pixel(path)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    if check:
        problems = windows.problems()
        if problems:
            raise ConfigurationError("windows", problems)
        psfs.check(windows, "noof")
    vig = None
    if vignetting is not None:
        image = np.asarray(vignetting)
        if image.dtype.kind not in "fiu":
            raise ConfigurationError("vignetting", [f"vignetting must hold real numbers, got dtype {image.dtype}"])
        if image.shape != windows.vignetting_shape:
            raise ConfigurationError("vignetting", [
                (f"the vignetting image must have the shape (NOOFy, NOOFx) = {windows.vignetting_shape} "
                 f"of the NOOF window indexed [y, x], got {image.shape}")])
        vig = np.ascontiguousarray(image, dtype=np.float64)
        vig.setflags(write=False)
    k = _columns_per_chunk(windows, columns_per_chunk, chunk_bytes)
    shaping = {"source_step": list(steps["source_step"]), "sample_step": list(steps["sample_step"]),
               "vignetting": vig is not None, "path": path}
    build = _Build("stray-light", windows, psfs, dict(steps, threads=threads, path=path), vig)
    arrays = _psf_arrays(psfs)
    if vig is not None:
        arrays["vignetting"] = vig
    description = _description("stray-light", windows, shaping, arrays)
    return _lazy(build, description, k)


def _psf_arrays(psfs: PSFSet) -> dict[str, np.ndarray]:
    return {"psfs.images": psfs.images, "psfs.centres": psfs.centres,
            "psfs.coefficients": psfs.coefficients, "psfs.indices": psfs.indices}


# --------------------------------------------------------------------------
# Zarr stores
# --------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class StoreResult:
    """What one :func:`to_zarr` call did.

    Attributes
    ----------
    store : str or zarr store
        Where the matrix is.
    chunks : int
        Chunks of the stored matrix.
    written : int
        Chunks built and written by this call.
    skipped : int
        Chunks found complete and left as they were.
    bytes_written : int
        Matrix bytes (uncompressed, ``rows * F * 8``) of the written chunks.
    seconds : float
        Time of the call.
    """

    store: Any
    chunks: int
    written: int
    skipped: int
    bytes_written: int
    seconds: float


def _target(store):
    """The store as a value every worker can open: an absolute path, a URL or a (picklable) Zarr store."""
    if isinstance(store, (str, os.PathLike)):
        text = os.fspath(store)
        if isinstance(text, bytes):
            raise TypeError("store must be a path given as text, not bytes")
        # Workers need not share this process's working folder.
        return text if "://" in text else os.path.abspath(text)
    if isinstance(store, zarr.abc.store.Store):
        return store
    raise TypeError(f"store must be a path or a zarr store, got {type(store).__name__}")


def _name(store) -> str:
    if isinstance(store, (zarr.Array, zarr.Group)):
        return f"the Zarr {type(store).__name__.lower()} {store.store}"
    return f"the Zarr store {os.fspath(store) if isinstance(store, os.PathLike) else store}"


def _open(store) -> tuple[zarr.Array, dict | None, zarr.Group | None]:
    """The ``matrix`` array of a velmora store, its description and group; or a plain Zarr array as it is.

    A plain array (given as one, or a store holding one array, as
    :func:`dask.array.to_zarr` writes) comes without a group. A group must
    be a velmora store: a ``matrix`` array and the description.
    """
    if isinstance(store, zarr.Array):
        return store, _stored_description(store.attrs), None
    if isinstance(store, zarr.Group):
        node = store
    else:
        try:
            node = zarr.open(_target(store), mode="r")
        except FileNotFoundError:
            raise FileNotFoundError(f"no Zarr store at {store}") from None
        except (ValueError, TypeError, KeyError) as exc:
            raise InputFileError(f"{_name(store)} cannot be opened as Zarr data: {exc}") from None
    if isinstance(node, zarr.Array):
        return node, _stored_description(node.attrs), None
    if "matrix" not in node:
        raise InputFileError(f"{_name(store)} holds no array 'matrix': it was not written by "
                             "velmora.distributed.to_zarr")
    description = _stored_description(node.attrs)
    if description is None:
        raise InputFileError(f"{_name(store)} holds an array 'matrix' but no {STORE_ATTRIBUTE!r} description: "
                             "it was not written by velmora.distributed.to_zarr (open the array itself, "
                             "store['matrix'], to read it as a plain Zarr array)")
    return node["matrix"], description, node


def _stored_description(attrs) -> dict | None:
    found = attrs.get(STORE_ATTRIBUTE)
    return dict(found) if isinstance(found, Mapping) else None


def _structure_problems(group: zarr.Group, array: zarr.Array, description: dict) -> list[str]:
    """What is wrong with a velmora store short of reading its chunks: one sentence each."""
    problems = []
    for name in ("complete", "sha256"):
        if name not in group:
            problems.append(f"it has no array {name!r} (written by an older velmora, or damaged): build it "
                            "again with overwrite=True")
    if problems:
        return problems
    dtype, shape = description.get("dtype"), description.get("shape")
    if dtype != "float64" or array.dtype != np.float64:
        problems.append(f"the matrix is stored as {array.dtype}, but float64 is what velmora writes and its "
                        f"description says {dtype}")
    if not (isinstance(shape, list) and len(shape) == 2 and shape[0] == shape[1]) or list(array.shape) != shape:
        problems.append(f"the matrix has the shape {tuple(array.shape)}, its description says {shape}")
        return problems
    F = int(shape[0])
    rows, nchunks = description.get("chunk_rows"), description.get("chunks")
    if not isinstance(rows, int) or rows < 1 or nchunks != -(-F // rows) or tuple(array.chunks) != (rows, F):
        problems.append(f"the matrix is stored in chunks of {tuple(array.chunks)}, its description says "
                        f"{rows} rows each, {nchunks} chunks")
        return problems
    complete, digests = group["complete"], group["sha256"]
    if complete.shape != (nchunks,) or complete.dtype != np.bool_:
        problems.append(f"the completion marks have the shape {complete.shape} and dtype {complete.dtype}, "
                        f"not ({nchunks},) bool")
    if digests.shape != (nchunks, 32) or digests.dtype != np.uint8:
        problems.append(f"the chunk digests have the shape {digests.shape} and dtype {digests.dtype}, "
                        f"not ({nchunks}, 32) uint8")
    if description.get("windows") is not None:
        try:
            windows = Windows.from_mapping(description["windows"])
        except (ValueError, TypeError) as exc:
            problems.append(f"its windows cannot be read: {exc}")
        else:
            options = description.get("options") or {}
            below = options.get("rows_below") if description.get("matrix") == "in-field" and \
                options.get("lower_edge") else None
            found = windows.problems(rows_below=below if isinstance(below, int) else None)
            problems.extend(f"its windows are inconsistent: {p}" for p in found)
            if not found and windows.matrix_shape != (F, F):
                problems.append(f"its windows give matrices of the shape {windows.matrix_shape}, "
                                f"but the matrix is {(F, F)}")
            per_chunk = description.get("columns_per_chunk")
            if not found and per_chunk is not None and per_chunk * windows.Ky != rows:
                problems.append(f"its chunks of {rows} rows are not {per_chunk} L1C columns of Ky = "
                                f"{windows.Ky} rows")
    if problems:
        return problems
    missing = int(np.count_nonzero(~complete[:]))
    if missing:
        problems.append(f"it is incomplete: {missing} of {nchunks} chunks were never written; complete it by "
                        "running the same velmora.distributed.to_zarr call again")
    return problems


@dataclasses.dataclass(frozen=True, eq=False)
class _Stored:
    """A stored matrix and the digests of its chunks, shipped once to the workers that read it."""

    array: zarr.Array
    digests: np.ndarray
    description: bytes
    name: str

    def chunk(self, i: int) -> np.ndarray:
        """Chunk ``i`` of the matrix, refused unless its values have their recorded SHA-256."""
        rows = self.array.chunks[0]
        r0, r1 = i * rows, min((i + 1) * rows, self.array.shape[0])
        try:
            block = np.ascontiguousarray(self.array[r0:r1, :], dtype=np.float64)
        except Exception as exc:  # noqa: BLE001 - a chunk the codec cannot decode
            raise InputFileError(f"{self.name}: chunk {i} (rows {r0} to {r1 - 1}) cannot be read: "
                                 f"{type(exc).__name__}: {exc}") from None
        if _chunk_digest(self.description, i, block) != self.digests[i].tobytes():
            raise InputFileError(f"{self.name}: chunk {i} (rows {r0} to {r1 - 1}) does not have the SHA-256 "
                                 "recorded when it was written: the chunk is damaged, missing or moved, or the "
                                 "store's description was edited")
        return block


def _read_block(stored: _Stored, block_info=None) -> np.ndarray:
    return stored.chunk(block_info[None]["chunk-location"][0])


def _checked(group: zarr.Group, array: zarr.Array, description: dict, name: str) -> _Stored:
    digests = np.ascontiguousarray(group["sha256"][:], dtype=np.uint8)
    return _Stored(array, digests, _canonical(_comparable(description)), name)


def open_matrix(store) -> tuple[da.Array, dict | None]:
    """A stored matrix as a dask array, with its description.

    Parameters
    ----------
    store : str, os.PathLike, zarr store, zarr.Group or zarr.Array
        A store written by :func:`to_zarr`, or a plain Zarr array of shape
        (F, F) (such as :func:`dask.array.to_zarr` writes).

    Returns
    -------
    matrix : dask.array.Array, shape (F, F)
        Chunked as stored; nothing is read until it is computed. Each chunk
        of a velmora store is checked against the SHA-256 recorded when it
        was written as it is read, and refused with
        :class:`velmora.InputFileError` when it differs. A plain array is
        read as it is.
    description : dict or None
        The store's :data:`STORE_ATTRIBUTE` mapping (None for a plain array).

    Raises
    ------
    FileNotFoundError
        No store there.
    velmora.InputFileError
        The store is a group that is not a velmora store; its matrix's
        dtype, shape or chunks differ from its description; its windows are
        inconsistent; chunks are not marked complete; or (when computed) a
        chunk cannot be decoded or differs from its digest.
    """
    array, description, group = _open(store)
    if group is None:
        if array.dtype.kind not in "fiub" or array.ndim != 2:
            raise InputFileError(f"{_name(store)} holds a {array.ndim}-dimensional array of {array.dtype}, "
                                 "not a matrix of real numbers")
        return da.from_zarr(array), description
    name = _name(store)
    problems = _structure_problems(group, array, description)
    if problems:
        raise InputFileError(f"{name}: {'; '.join(problems)}")
    stored = _checked(group, array, description, name)
    token = hashlib.sha256(name.encode() + stored.description + stored.digests.tobytes()).hexdigest()[:24]
    source = dask.delayed(stored, name=f"velmora-stored-inputs-{token}", pure=True)
    F, rows = array.shape[0], array.chunks[0]
    chunks = (tuple(min(rows, F - r0) for r0 in range(0, F, rows)), (F,))
    return da.map_blocks(_read_block, source, chunks=chunks, dtype=np.float64,
                         meta=np.empty((0, 0), dtype=np.float64), name=f"velmora-stored-{token}"), description


def _verify_chunk(stored: _Stored, i: int) -> str | None:
    try:
        stored.chunk(i)
    except InputFileError as exc:
        return str(exc)
    return None


def verify(store) -> list[str]:
    """Everything wrong with a velmora store, reading every chunk.

    Parameters
    ----------
    store : str, os.PathLike, zarr store or zarr.Group
        A store written by :func:`to_zarr`.

    Returns
    -------
    list of str
        One sentence per problem, each naming the store: not a velmora store,
        a matrix whose dtype, shape or chunks differ from its description,
        inconsistent windows, chunks not marked complete, and every chunk
        that cannot be decoded or whose values differ from the SHA-256
        recorded when it was written (a damaged, deleted or swapped chunk).
        Empty when the store is sound. The chunks are read on Dask's
        current scheduler.
    """
    try:
        array, description, group = _open(store)
    except (FileNotFoundError, ValueError) as exc:
        return [str(exc)]
    name = _name(store)
    if group is None:
        return [f"{name} is a plain Zarr array, not a velmora store: it has no chunk digests to check"]
    problems = _structure_problems(group, array, description)
    if problems:
        return [f"{name}: {p}" for p in problems]
    stored = _checked(group, array, description, name)
    checks = [dask.delayed(_verify_chunk, pure=False)(stored, i) for i in range(len(stored.digests))]
    return [p for p in dask.compute(*checks) if p is not None]


def _canonical(description: Mapping) -> bytes:
    return json.dumps(description, sort_keys=True, separators=(",", ":")).encode()


def _chunk_digest(description: bytes, index: int, block: np.ndarray) -> bytes:
    """The SHA-256 of a chunk: of the store's description, the chunk's index and the chunk's float64 values.

    The values, not the stored (compressed) bytes: the digest does not depend
    on the codecs, and a chunk of zeros that Zarr does not write has one too.
    The description and index bind the chunk to its place in its store: an
    edited description, or a chunk moved to another place, does not match.
    """
    h = hashlib.sha256(b"velmora chunk\0")
    h.update(description)
    h.update(f"\0{index}\0".encode())
    h.update(memoryview(np.ascontiguousarray(block, dtype=np.float64)))
    return h.digest()


def _store_block(block: np.ndarray, target, index: int, row0: int, description: bytes) -> int:
    """Write one chunk and its digest, then mark it complete (runs in the worker)."""
    matrix = zarr.open_array(target, path="matrix", mode="r+")
    block = np.ascontiguousarray(block, dtype=np.float64)
    matrix[row0:row0 + block.shape[0], :] = block
    digests = zarr.open_array(target, path="sha256", mode="r+")
    digests[index, :] = np.frombuffer(_chunk_digest(description, index, block), dtype=np.uint8)
    complete = zarr.open_array(target, path="complete", mode="r+")
    complete[index] = True
    return int(block.nbytes)


def _comparable(description: dict) -> dict:
    return json.loads(json.dumps(description, sort_keys=True))


def to_zarr(array, store, *, windows: Windows | None = None, attrs: Mapping | None = None,
            overwrite: bool = False, compute: bool = True):
    """Store a matrix in a Zarr store, chunk by chunk where each is computed.

    Parameters
    ----------
    array : dask.array.Array, shape (F, F)
        A build of :func:`infield_matrix` or :func:`stray_light_matrix` (its
        description is stored with it), or any (F, F) dask array.
    store : str, os.PathLike or zarr store
        Where to write: a folder path (``"infield.zarr"``) or a Zarr store
        that every worker can reach and that pickles (a local store on a
        shared file system, an fsspec store).
    windows : Windows, optional
        For an array that is not a velmora build: its windows, stored with it.
        For a build they must be its own.
    attrs : mapping, optional
        Further JSON-serialisable group attributes (a creation time, input
        file names, ...). They are not part of the matrix's description:
        a resumed store takes the new values.
    overwrite : bool
        Replace whatever Zarr data the store holds. By default an existing
        store is resumed when it holds the same matrix (the same description
        and chunking): only the chunks not marked complete are built and
        written.
    compute : bool
        Write now (the default); with False, return the delayed writes instead
        (a :class:`dask.delayed.Delayed` whose result is the :class:`StoreResult`).

    Returns
    -------
    StoreResult
        The chunks written and skipped, the bytes written and the time.

    Raises
    ------
    ValueError
        The array is not square, or not chunked in rows of equal height over
        the full width (the last chunk may be shorter); the store holds a
        different matrix, or other Zarr data, and ``overwrite`` is False;
        the path is a file or a folder of files that is not a Zarr store
        (never replaced); ``windows`` do not fit the array or the build.
    TypeError
        ``store`` is neither a path nor a Zarr store, or ``array`` is not a
        dask array.
    velmora.InputFileError
        Another process writes the store (see Notes).
    velmora.BuildError
        A chunk's build failed; the chunks written so far stay marked
        complete.

    Notes
    -----
    A chunk is marked complete only after it is written whole, so a store
    interrupted at any point (a killed process, a lost cluster) is completed
    by repeating the call with the same arguments, which never rebuilds a
    complete chunk. An array that is not a velmora build has no description
    to show that it is the matrix already stored, so its store is never
    resumed: it is refused without ``overwrite``. With each chunk goes its
    SHA-256 (see the module's store layout), which :func:`open_matrix`,
    :func:`forward_operator` and :func:`verify` check.

    A store given as a local path is locked from its preparation to its last
    write (the lock file ``.velmora-writer`` in its folder, naming the host
    and process): a second writer, with ``overwrite`` or not, is refused
    with :class:`velmora.InputFileError` while the first one runs. With
    ``compute=False`` the lock is released by the last task of the returned
    computation; a process that died holding it on this host no longer
    counts, and the same process may take its own lock again. Stores given
    as Zarr store objects are not locked.
    """
    started = time.perf_counter()
    if not isinstance(array, da.Array):
        raise TypeError(f"array must be a dask array (velmora.distributed.infield_matrix or "
                        f"stray_light_matrix builds one), got {type(array).__name__}")
    if array.ndim != 2 or array.shape[0] != array.shape[1] or any(math.isnan(s) for s in array.shape):
        raise ValueError(f"the matrix must be square (F, F), got shape {array.shape}")
    F = int(array.shape[0])
    description = metadata(array)
    if windows is not None:
        windows = as_windows(windows)
        if windows.matrix_shape != array.shape:
            raise ValueError(f"the windows' matrices have the shape (F, F) = {windows.matrix_shape}, "
                             f"the array {array.shape}")
        if description is not None and description["windows"] != windows.to_dict():
            raise ValueError("windows= differ from the windows of the build")
    if description is None:
        description = {"matrix": None, "windows": windows.to_dict() if windows is not None else None,
                       "velmora_version": __version__}
    if len(array.chunks[1]) != 1:
        array = array.rechunk({1: -1})
    rows = array.chunks[0]
    if any(r != rows[0] for r in rows[:-1]) or rows[-1] > rows[0]:
        raise ValueError(f"the matrix must be chunked in rows of equal height (the last may be shorter) "
                         f"to be stored chunk by chunk, got row chunks {rows}; rechunk it first")
    description = dict(description, chunk_rows=int(rows[0]), chunks=len(rows), shape=[F, F], dtype="float64")
    description = _comparable(description)
    extra = json.loads(json.dumps(dict(attrs))) if attrs else {}  # refuse what Zarr cannot store, early
    if STORE_ATTRIBUTE in extra:
        raise ValueError(f"attrs must not hold {STORE_ATTRIBUTE!r}: the description of the matrix goes there")

    target = _target(store)
    _resumable(target, store, description, overwrite)  # refuse other files before making anything
    made = isinstance(target, str) and "://" not in target and not os.path.lexists(target)
    lock = _acquire(target, store)
    try:
        group = _prepare_store(target, store, description, F, int(rows[0]), len(rows), overwrite)
        if extra:
            group.attrs.update(extra)
        done = group["complete"][:]
        starts = np.concatenate([[0], np.cumsum(rows)[:-1]])
        blocks = array.to_delayed().ravel()
        todo = [i for i in range(len(rows)) if not done[i]]
        canonical = _canonical(description)
        writes = [dask.delayed(_store_block, pure=False)(blocks[i], target, i, int(starts[i]), canonical)
                  for i in todo]

        def result(written_bytes, *_):
            # The last write is done: the store is free for the next writer.
            _release(target, lock)
            return StoreResult(store=target, chunks=len(rows), written=len(todo), skipped=len(rows) - len(todo),
                               bytes_written=int(sum(written_bytes)), seconds=time.perf_counter() - started)

        if not compute:
            return dask.delayed(result, pure=False)(writes)
        written = dask.compute(*writes) if writes else ()
        return result(written)
    except BaseException:
        _release(target, lock)
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(target)  # only when still empty
        raise


def _found(target) -> tuple[str, zarr.Group | None]:
    """What a store holds: "nothing", "matrix" (a velmora store), "zarr" (other Zarr data) or "files"."""
    if isinstance(target, str):
        path = os.path.abspath(target)
        if os.path.lexists(path) and not os.path.isdir(path):
            return "files", None
        if not os.path.isdir(path) or not [n for n in os.listdir(path) if n != _LOCK]:
            return "nothing", None
        if not any(os.path.exists(os.path.join(path, name)) for name in ("zarr.json", ".zgroup", ".zarray")):
            return "files", None
    try:
        group = zarr.open_group(target, mode="r")
    except FileNotFoundError:
        return ("zarr" if isinstance(target, str) else "nothing"), None
    except Exception:  # noqa: BLE001 - an array, or metadata Zarr cannot read
        return "zarr", None
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=f".*{_LOCK}")  # the lock file is no Zarr node
        if not list(group.keys()) and not dict(group.attrs):
            return "nothing", None
    if _stored_description(group.attrs) is None or any(n not in group for n in ("matrix", "complete", "sha256")):
        return "zarr", None
    return "matrix", group


def _resumable(target, store, description: dict, overwrite: bool) -> bool:
    """Whether the store already holds this matrix (to be resumed) rather than to be made anew.

    Raises ValueError when the store may not be written: it holds other files,
    or (without ``overwrite``) other Zarr data or another matrix.
    """
    kind, existing = _found(target)
    if kind == "files":
        raise ValueError(f"{store} is a file or a folder of files that is not a Zarr store: velmora does not "
                         "replace it (choose another path, or remove it)")
    if kind == "zarr" and not overwrite:
        raise ValueError(f"{store} already holds Zarr data that is not a velmora matrix store; "
                         "pass overwrite=True to replace it")
    if kind == "matrix" and not overwrite:
        found = _comparable(_stored_description(existing.attrs))
        if description.get("matrix") is None:
            # Nothing identifies an array that is not a velmora build: its
            # chunks cannot be told from those of any other array.
            raise ValueError(f"{store} holds a matrix that cannot be shown to be the array being written (that "
                             "array is not a velmora build, so it has no description to compare); pass "
                             "overwrite=True to replace it")
        if found != description:
            differ = sorted(k for k in set(found) | set(description) if found.get(k) != description.get(k))
            raise ValueError(f"{store} holds a different matrix (it differs in {', '.join(differ)}); "
                             "pass overwrite=True to replace it")
        return True
    return False


#: The lock file a writer keeps in a store's folder from preparing it to its last write.
_LOCK = ".velmora-writer"


def _alive(owner: Mapping) -> bool:
    """Whether the writer named in a lock file may still run (only a process on this host can be ruled out)."""
    if owner.get("host") != socket.gethostname() or not isinstance(owner.get("pid"), int):
        return True
    try:
        os.kill(owner["pid"], 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _acquire(target, store) -> str | None:
    """Take the store's writer lock; its token, or None for a store that is not a local folder.

    A lock of a process of this host that no longer runs is taken over; a
    lock of a running process, or of another host, refuses the store. The
    same process may take its own lock again (a write left unfinished by a
    failed delayed computation).
    """
    import fcntl

    if not isinstance(target, str) or "://" in target:
        return None
    os.makedirs(target, exist_ok=True)
    token = f"{socket.gethostname()}:{os.getpid()}:{os.urandom(8).hex()}"
    lock = os.path.join(target, _LOCK)
    folder = os.open(target, os.O_RDONLY)
    try:
        fcntl.flock(folder, fcntl.LOCK_EX)  # one process of this host at a time reads and writes the lock
        try:
            with open(lock, encoding="utf-8") as f:
                owner = json.load(f)
        except FileNotFoundError:
            owner = None
        except (OSError, ValueError):
            owner = {}
        if owner is not None and not isinstance(owner, dict):
            owner = {}
        if owner is not None and owner.get("pid") != os.getpid() and _alive(owner):
            raise InputFileError(
                f"{store} is being written by another process (host {owner.get('host', '?')}, pid "
                f"{owner.get('pid', '?')}): wait for it to finish; if no such writer runs, remove {lock}")
        with open(lock, "w", encoding="utf-8") as f:
            json.dump({"host": socket.gethostname(), "pid": os.getpid(), "token": token}, f)
    finally:
        os.close(folder)
    return token


def _check_unlocked(target, store) -> None:
    """Raise InputFileError when another running writer holds the store's lock (reads only)."""
    if not isinstance(target, str) or "://" in target:
        return
    lock = os.path.join(target, _LOCK)
    try:
        with open(lock, encoding="utf-8") as f:
            owner = json.load(f)
    except (OSError, ValueError):
        return
    if isinstance(owner, dict) and owner.get("pid") != os.getpid() and _alive(owner):
        raise InputFileError(f"{store} is being written by another process (host {owner.get('host', '?')}, "
                             f"pid {owner.get('pid', '?')})")


def _release(target, token: str | None) -> None:
    """Remove the store's writer lock if it is still the one taken with this token."""
    if token is None:
        return
    lock = os.path.join(target, _LOCK)
    try:
        with open(lock, encoding="utf-8") as f:
            owner = json.load(f)
        if isinstance(owner, dict) and owner.get("token") == token:
            os.unlink(lock)
    except (OSError, ValueError):
        pass


def _prepare_store(target, store, description: dict, F: int, chunk_rows: int, nchunks: int,
                   overwrite: bool) -> zarr.Group:
    """The store's group, created for this matrix, or found holding it already."""
    if _resumable(target, store, description, overwrite):
        return zarr.open_group(target, mode="r+")
    if isinstance(target, str) and "://" not in target:
        # Clear the folder but keep the writer's lock file in it.
        os.makedirs(target, exist_ok=True)
        for name in os.listdir(target):
            if name != _LOCK:
                full = os.path.join(target, name)
                if os.path.isdir(full) and not os.path.islink(full):
                    shutil.rmtree(full)
                else:
                    os.unlink(full)
        group = zarr.open_group(target, mode="a")
    else:
        group = zarr.open_group(target, mode="w")
    group.create_array("matrix", shape=(F, F), chunks=(max(chunk_rows, 1), max(F, 1)), dtype="float64",
                       fill_value=0.0)
    group.create_array("complete", shape=(nchunks,), chunks=(1,), dtype="bool", fill_value=False)
    group.create_array("sha256", shape=(nchunks, 32), chunks=(1, 32), dtype="uint8", fill_value=0)
    # The description goes in last: a store without it is not taken for a
    # resumable one.
    group.attrs[STORE_ATTRIBUTE] = description
    return group


# --------------------------------------------------------------------------
# The forward model of stored matrices
# --------------------------------------------------------------------------

def _matrix_of(value, name: str) -> tuple[da.Array, Windows | None]:
    if isinstance(value, da.Array):
        description = metadata(value)
        array = value
    elif isinstance(value, np.ndarray):
        array, description = da.from_array(value), None
    else:
        array, description = open_matrix(value)
    if array.ndim != 2 or array.shape[0] != array.shape[1]:
        raise ValueError(f"the {name} matrix must be square (F, F), got shape {array.shape}")
    windows = None
    if description is not None and description.get("windows"):
        windows = Windows.from_mapping(description["windows"])
    return array.astype(np.float64, copy=False), windows


class BlockOperator(LinearOperator):
    """The forward operator ``T`` of dense matrices kept in chunks, applied blockwise.

    ``T @ true = observed`` with ``T = (infield + stray_light).T`` of the
    ``[s, r]`` matrices, as :func:`velmora.forward_operator`, but neither
    matrix is ever loaded whole: a product reads (or builds) one chunk of rows
    at a time in the workers and sums the chunks' contributions. Make it with
    :func:`forward_operator`.

    Attributes
    ----------
    shape : (int, int)
        (F, F).
    dtype : numpy.dtype
        float64.
    windows : Windows or None
        The windows of the matrices, when their stores or builds name them.
    matrices : tuple of dask.array.Array
        The ``[s, r]`` matrices summed into the operator.
    """

    def __init__(self, matrices: Sequence[da.Array], windows: Windows | None):
        self.matrices = tuple(matrices)
        self.windows = windows
        self._diagonal = None
        F = int(self.matrices[0].shape[0])
        super().__init__(dtype=np.dtype(np.float64), shape=(F, F))

    def _products(self, make) -> np.ndarray:
        parts = [make(m) for m in self.matrices]
        total = parts[0]
        for p in parts[1:]:
            total = total + p
        return np.asarray(total.compute())

    def _matmat(self, X):
        X = np.asarray(X)
        # o[r] = sum_s M[s, r] t[s]: each chunk of source rows adds M[chunk].T @ t[chunk].
        return self._products(lambda m: m.T @ _aligned(X, m.chunks[0]))

    def _matvec(self, x):
        return self._matmat(np.asarray(x).reshape(-1, 1)).reshape(-1)

    def _rmatmat(self, Y):
        Y = np.asarray(Y)
        # T^H = M: each chunk of rows of M gives its own rows of the result.
        return self._products(lambda m: m @ da.from_array(Y, chunks=(m.chunks[1], Y.shape[1:])))

    def _rmatvec(self, y):
        return self._rmatmat(np.asarray(y).reshape(-1, 1)).reshape(-1)

    def diagonal(self) -> np.ndarray:
        """The diagonal of ``T`` (the share of each pixel's light that stays in it), read once.

        Returns
        -------
        numpy.ndarray, shape (F,)
            Equal to ``numpy.diag`` of :func:`velmora.forward_operator` of the
            same matrices; computed blockwise on the first call and kept.
        """
        if self._diagonal is None:
            self._diagonal = self._products(lambda m: da.diagonal(m))
        return self._diagonal.copy()

    def todense(self) -> np.ndarray:
        """The operator as one dense (F, F) array in this process (for matrices that fit the memory).

        Returns
        -------
        numpy.ndarray, shape (F, F)
            Equal to :func:`velmora.forward_operator` of the same matrices.
        """
        return np.ascontiguousarray(self._products(lambda m: m).T)

    def apply(self, images) -> np.ndarray:
        """``T`` applied to L1C images, keeping their shape.

        Parameters
        ----------
        images : array_like, shape (..., Ky, Kx)
            True L1C image(s) indexed ``[y, x]``.

        Returns
        -------
        numpy.ndarray, shape (..., Ky, Kx)
            The observed image(s).

        Raises
        ------
        ValueError
            The images do not have F pixels, or not the shape (Ky, Kx) of the
            operator's windows.
        """
        images = np.asarray(images, dtype=np.float64)
        check_image(images, self.windows, "scene")
        vectors = image_to_vector(images)
        if vectors.shape[-1] != self.shape[1]:
            raise ValueError(f"the scene has {vectors.shape[-1]} pixels but the operator is {self.shape}")
        flat = vectors.reshape(-1, self.shape[1])
        observed = self._matmat(flat.T).T
        return vector_to_image(observed.reshape(vectors.shape), images.shape[-2:])


def _aligned(X: np.ndarray, row_chunks) -> da.Array:
    return da.from_array(X, chunks=(row_chunks,) + tuple((n,) for n in X.shape[1:]))


def forward_operator(infield, stray_light=None, *, windows: Windows | None = None) -> BlockOperator:
    """The forward operator of stored or lazy matrices, applied chunk by chunk.

    Parameters
    ----------
    infield : str, os.PathLike, zarr store, zarr.Group, zarr.Array, dask.array.Array or numpy.ndarray
        The in-field matrix (``[s, r]``): a store written by :func:`to_zarr`,
        a plain Zarr array (without windows unless ``windows`` are given),
        or a dask array (a lazy build, or a stored matrix opened with
        :func:`open_matrix` and perhaps persisted on the cluster).
    stray_light : same types, optional
        The stray-light matrix, added to the in-field one.
    windows : Windows, optional
        The windows of the matrices; stores and builds bring their own, and
        all that are named must agree.

    Returns
    -------
    BlockOperator
        A :class:`scipy.sparse.linalg.LinearOperator` of shape (F, F):
        ``op @ true_vector`` is the observed flat vector, ``op.H`` its
        adjoint, ``op.apply(image)`` works on L1C images and
        ``op.diagonal()`` gives a preconditioner's diagonal. It serves the
        iterative solvers of :mod:`scipy.sparse.linalg` (``gmres``,
        ``lgmres``, ``bicgstab``) as it is.

    Raises
    ------
    FileNotFoundError
        No store at a path.
    velmora.InputFileError
        A store is damaged or incomplete (see :func:`open_matrix`); a
        damaged chunk is found when a product reads it.
    ValueError
        A matrix is not square, or the matrices and windows disagree in
        size or windows.

    Notes
    -----
    Every product is one Dask computation on the current scheduler. A stored
    matrix is read from its store for each product; persist it on the
    cluster (``client.persist(open_matrix(store)[0])``) when the workers'
    memory holds it and many products follow. The sum over the chunks runs
    in a tree, so a product equals ``velmora.forward_operator(...) @ x`` to
    rounding, not bitwise.
    """
    matrices, named = [], []
    if windows is not None:
        named.append(("windows=", as_windows(windows)))
    for name, value in (("in-field", infield), ("stray-light", stray_light)):
        if value is None:
            continue
        array, found = _matrix_of(value, name)
        matrices.append(array)
        if found is not None:
            named.append((f"the {name} matrix", found))
    if matrices[0].shape != matrices[-1].shape:
        raise ValueError(f"the stray-light matrix {matrices[-1].shape} and the in-field matrix "
                         f"{matrices[0].shape} must have the same shape")
    for what, w in named[1:]:
        if w != named[0][1]:
            raise ValueError(f"the windows of {what} differ from those of {named[0][0]}")
    chosen = named[0][1] if named else None
    if chosen is not None and chosen.matrix_shape != matrices[0].shape:
        raise ValueError(f"the matrices have the shape {matrices[0].shape}, but the windows' matrices have "
                         f"the shape (F, F) = {chosen.matrix_shape}")
    return BlockOperator(matrices, chosen)


def observe(scene, infield, stray_light=None, *, windows: Windows | None = None) -> np.ndarray:
    """The forward model of stored or lazy matrices: the image observed from a true scene.

    Parameters
    ----------
    scene : array_like, shape (..., Ky, Kx)
        True L1C image(s) indexed ``[y, x]``.
    infield : BlockOperator, or anything :func:`forward_operator` takes
        The operator, or the in-field matrix.
    stray_light : optional
        The stray-light matrix, when ``infield`` is a matrix.
    windows : Windows, optional
        As in :func:`forward_operator`.

    Returns
    -------
    numpy.ndarray, shape (..., Ky, Kx)
        The observed image(s), equal to :func:`velmora.observe` to rounding.

    Raises
    ------
    ValueError
        As :func:`forward_operator` and :meth:`BlockOperator.apply`.
    """
    if isinstance(infield, BlockOperator):
        if stray_light is not None or windows is not None:
            raise TypeError("give either an operator or the matrices, not both")
        op = infield
    else:
        op = forward_operator(infield, stray_light, windows=windows)
    return op.apply(scene)


# --------------------------------------------------------------------------
# The command line's part
# --------------------------------------------------------------------------

def is_zarr_output(path) -> bool:
    """Whether an output path names a Zarr store (it ends in ``.zarr``)."""
    return os.fspath(path).rstrip("/").endswith(".zarr")


def scheduler_address(option: str | None = None, config: Mapping | None = None) -> str | None:
    """The Dask scheduler a command uses: ``--scheduler`` first, then ``[dask] scheduler``.

    Parameters
    ----------
    option : str, optional
        The ``--scheduler ADDRESS`` of the command line.
    config : mapping, optional
        The configuration's ``[dask]`` table.

    Returns
    -------
    str or None
        The address (``"tcp://host:8786"``, or a scheduler file ending in
        ``.json``), or None for a local cluster.

    Raises
    ------
    ValueError
        The ``[dask]`` table has unknown keys, or an address is empty or not
        a string.
    """
    if config is not None:
        unknown = sorted(set(config) - {"scheduler"})
        if unknown:
            raise ValueError(f"unknown key(s) in [dask]: {', '.join(map(str, unknown))} (allowed: scheduler)")
    value = option if option is not None else (config or {}).get("scheduler")
    if value is None:
        return None
    if not isinstance(value, str) or not value.strip():
        raise ValueError(f"the Dask scheduler must be an address such as 'tcp://host:8786', got {value!r}")
    return value.strip()


@contextlib.contextmanager
def cluster(address: str | None = None, *, n_workers: int | None = None, threads_per_worker: int = 1,
            memory_limit: str | int = "auto") -> Iterator:
    """A ``dask.distributed`` client: of an existing scheduler, or of a new local cluster.

    Parameters
    ----------
    address : str, optional
        A scheduler's address, or a scheduler file (``.json``). None starts a
        local cluster of worker processes, closed again on leaving.
    n_workers, threads_per_worker, memory_limit
        Of the local cluster (see :class:`dask.distributed.LocalCluster`);
        by default one single-threaded worker per processor.

    Yields
    ------
    dask.distributed.Client
        The client, current for Dask computations inside the block.

    Raises
    ------
    OSError
        The scheduler cannot be reached (``distributed`` raises it after its
        connection timeout).
    """
    from dask.distributed import Client, LocalCluster

    if address is not None:
        kwargs = {"scheduler_file": address} if address.endswith(".json") else {"address": address}
        with Client(**kwargs) as client:
            yield client
        return
    if n_workers is None:
        n_workers = builds.resolve_threads(None)
    # The workers are processes of this terminal's process group, so Ctrl-C
    # reaches each of them: they ignore it (see velmora._dask_worker) and this
    # process, interrupted, closes the cluster quietly.
    _drop_cancelled_gathers()
    held = HeldSignals()
    with held, _workers_ignore_sigint():  # a cluster half started cannot be closed cleanly: Ctrl-C waits
        local = LocalCluster(n_workers=n_workers, threads_per_worker=threads_per_worker, processes=True,
                             memory_limit=memory_limit, dashboard_address=None, silence_logs=logging.CRITICAL,
                             preload=["velmora._dask_worker"])
    try:
        held.release()
        with Client(local) as client:
            yield client
    except BaseException:
        with _quiet("distributed", "asyncio", "tornado"):
            local.close()
        raise
    local.close()


def _workers_ignore_sigint():
    """Dask's setting for worker processes forked by a fork server that ignores SIGINT, where there is one.

    A process started with SIGINT ignored keeps ignoring it, and so do the
    processes a fork server forks: the workers ignore Ctrl-C from their first
    instruction, before the preload (:mod:`velmora._dask_worker`) could.
    """
    import multiprocessing
    from multiprocessing import forkserver

    if "forkserver" not in multiprocessing.get_all_start_methods():  # pragma: no cover - Windows
        return contextlib.nullcontext()
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread
        return contextlib.nullcontext()
    try:
        forkserver.ensure_running()
    finally:
        signal.signal(signal.SIGINT, previous)
    return dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"})


class _CancelledGathers(logging.Filter):
    """Drops asyncio's "Task exception was never retrieved" for a Dask gather that was interrupted.

    ``distributed`` ends the waits of an interrupted ``gather`` with its own
    ``AllExit`` exception and leaves them unread; asyncio logs each as an
    error, long after the interruption was reported.
    """

    def filter(self, record: logging.LogRecord) -> bool:
        exc = record.exc_info[1] if record.exc_info else None
        return not (exc is not None and type(exc).__name__ == "AllExit"
                    and type(exc).__module__.startswith("distributed"))


def _drop_cancelled_gathers() -> None:
    log = logging.getLogger("asyncio")
    if not any(isinstance(f, _CancelledGathers) for f in log.filters):
        log.addFilter(_CancelledGathers())


@contextlib.contextmanager
def _quiet(*names: str) -> Iterator[None]:
    """Only critical records from these loggers while a cluster is torn down after an error."""
    loggers = [logging.getLogger(name) for name in names]
    levels = [log.level for log in loggers]
    for log in loggers:
        log.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        for log, level in zip(loggers, levels, strict=True):
            log.setLevel(level)


def _check_writable(target, store) -> None:
    """Raise InputFileError when no file can be made in a local store's folder (or the folder it would go in)."""
    if not isinstance(target, str) or "://" in target:
        return
    folder = os.path.abspath(target)
    while not os.path.isdir(folder):
        parent = os.path.dirname(folder)
        if parent == folder or os.path.lexists(folder):
            raise InputFileError(f"{store}: {folder} is not a folder")
        folder = parent
    try:
        fd, probe = tempfile.mkstemp(prefix=".velmora-probe-", dir=folder)
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise InputFileError(f"{store} cannot be written: no file can be made in {folder} "
                             f"({exc.strerror or exc})") from None


def store_problems(store, array, *, overwrite: bool = False) -> list[str]:
    """Why :func:`to_zarr` would refuse to write ``array`` into ``store``, found without writing anything.

    Parameters
    ----------
    store : str or os.PathLike
        The store's folder.
    array : dask.array.Array
        A build of :func:`infield_matrix` or :func:`stray_light_matrix`.
    overwrite : bool
        As in :func:`to_zarr`.

    Returns
    -------
    list of str
        Empty when the store can be written or resumed; otherwise why not: it
        is a file or a folder of other files, holds other Zarr data or
        another matrix (the last two only without ``overwrite``), another
        process is writing it, or no file can be made in its folder.
    """
    target = _target(store)
    try:
        _resumable(target, store, _comparable(metadata(array)), overwrite)
        _check_unlocked(target, store)
        _check_writable(target, store)
    except ValueError as exc:
        return [str(exc)]
    return []


_MOVED = {"ZarrJob", "zarr_output_problems", "write_zarr_outputs"}


def __getattr__(name: str):
    # The command's glue for writing several stores on a cluster lives with the command now.
    if name in _MOVED:
        warnings.warn(f"velmora.distributed.{name} moved to velmora.cli.stores.{name}", DeprecationWarning,
                      stacklevel=2)
        from .cli import stores

        return getattr(stores, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
