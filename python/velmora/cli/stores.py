"""Several matrices built into Zarr stores on one Dask cluster: the ``.zarr`` outputs of ``velmora build``.

Built on :mod:`velmora.distributed` (:func:`~velmora.distributed.to_zarr`,
:func:`~velmora.distributed.store_problems`, :func:`~velmora.distributed.cluster`).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

from .. import distributed as vd
from ..psfs import PSFSet
from ..windows import Windows

__all__ = ["ZarrJob", "write_zarr_outputs", "zarr_output_problems"]

#: The matrices a job can build.
MATRICES = ("in-field", "stray-light")


@dataclasses.dataclass(frozen=True)
class ZarrJob:
    """One matrix for :func:`write_zarr_outputs` to build into a Zarr store.

    Attributes
    ----------
    matrix : {"in-field", "stray-light"}
    output : str or os.PathLike
        The store's folder (a name ending in ``.zarr``).
    windows : Windows
    psfs : PSFSet
        With the tables of the matrix's working window.
    options : dict
        Keyword arguments of the matrix's builder in this module
        (``scheme``, ``lower_edge``, ... or ``vignetting``, ``source_step``,
        ...; ``threads``).
    attrs : dict
        Further group attributes of the store (JSON-serialisable), for
        example the command's metadata with the input files' digests.
    """

    matrix: str
    output: Any
    windows: Windows
    psfs: PSFSet
    options: dict = dataclasses.field(default_factory=dict)
    attrs: dict = dataclasses.field(default_factory=dict)




def _lazy_jobs(jobs: Sequence[ZarrJob], columns_per_chunk, chunk_bytes) -> list:
    lazy = []
    for job in jobs:
        if job.matrix not in MATRICES:
            raise ValueError(f"matrix must be one of {MATRICES}, got {job.matrix!r}")
        builder = vd.infield_matrix if job.matrix == "in-field" else vd.stray_light_matrix
        lazy.append(builder(job.windows, job.psfs, columns_per_chunk=columns_per_chunk,
                            chunk_bytes=chunk_bytes, **job.options))
    return lazy


def _store_problems(jobs: Sequence[ZarrJob], lazy: Sequence, overwrite: bool) -> list[str]:
    return [f"the {job.matrix} matrix: {problem}" for job, array in zip(jobs, lazy, strict=True)
            for problem in vd.store_problems(job.output, array, overwrite=overwrite)]




def zarr_output_problems(jobs: Sequence[ZarrJob], *, overwrite: bool = False, columns_per_chunk: int | None = None,
                         chunk_bytes: int | str | None = None) -> list[str]:
    """Why :func:`write_zarr_outputs` would refuse its stores, found without building or writing anything.

    Parameters
    ----------
    jobs, overwrite, columns_per_chunk, chunk_bytes
        As in :func:`write_zarr_outputs`.

    Returns
    -------
    list of str
        One line per store that is a file or a folder of other files, holds
        other Zarr data, or holds another matrix (the last two only without
        ``overwrite``), or that another process is writing; empty when every
        store can be written or resumed.

    Raises
    ------
    ConfigurationError, ValueError, TypeError
        Bad inputs or options of a job.
    """
    return _store_problems(jobs, _lazy_jobs(jobs, columns_per_chunk, chunk_bytes), overwrite)


def write_zarr_outputs(jobs: Sequence[ZarrJob], *, scheduler: str | None = None,
                       columns_per_chunk: int | None = None, chunk_bytes: int | str | None = None,
                       overwrite: bool = False, n_workers: int | None = None) -> list:
    """Build matrices into Zarr stores on a Dask cluster: the ``.zarr`` outputs of the command.

    Every job's inputs and store are checked (see :func:`zarr_output_problems`)
    before the cluster is started, so bad input fails early and writes nothing.

    Parameters
    ----------
    jobs : sequence of ZarrJob
    scheduler : str, optional
        An existing scheduler (see :func:`scheduler_address`); None starts a
        local cluster of processes for these jobs.
    columns_per_chunk, chunk_bytes
        The chunk size, as in :func:`infield_matrix`.
    overwrite : bool
        Replace existing stores; by default a store holding the same matrix
        is completed, and one holding anything else is refused.
    n_workers : int, optional
        Workers of the local cluster (default: one per processor).

    Returns
    -------
    list of velmora.distributed.StoreResult
        One per job, in order.

    Raises
    ------
    ConfigurationError, ValueError, TypeError
        Bad inputs or options, or a store holding something else.
    velmora.BuildError
        A chunk's build failed.
    OSError
        The scheduler cannot be reached.
    """
    lazy = _lazy_jobs(jobs, columns_per_chunk, chunk_bytes)
    problems = _store_problems(jobs, lazy, overwrite)
    if problems:
        raise ValueError("; ".join(problems))
    results = []
    with vd.cluster(scheduler, n_workers=n_workers):
        for job, array in zip(jobs, lazy, strict=True):
            results.append(vd.to_zarr(array, job.output, attrs=job.attrs, overwrite=overwrite))
    return results
