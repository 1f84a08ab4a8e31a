"""
Building a matrix on a Dask cluster into a Zarr store
=====================================================

A dense matrix of F L1C pixels takes ``F * F * 8`` bytes: 32 GiB at F = 65536, more than one machine
holds. :mod:`velmora.distributed` (``pip install 'velmora[distributed]'``) builds it in blocks of whole L1C
columns as the chunks of a :class:`dask.array.Array`, each block by the same native request as
:func:`velmora.infield_matrix` in a Dask worker and bitwise equal to the same rows of an in-memory build,
and writes every block to a Zarr store where it was built. A stored matrix is then applied chunk by
chunk, without ever being loaded whole.

This example does it with the built-in instrument on a local cluster of two worker processes; with a
real cluster, connect to its scheduler instead (``velmora.distributed.cluster("tcp://host:8786")``).
"""

# %%
# The lazy build and the store
# ----------------------------
import pathlib
import shutil
import tempfile

import numpy as np

import velmora
import velmora.distributed as vd

ins = velmora.builtin_instrument()
folder = pathlib.Path(tempfile.mkdtemp(prefix="velmora-zarr-"))

# A dask array of shape (F, F), nothing built yet: chunks of 4 L1C columns, Ky = 18 rows each.
lazy = vd.infield_matrix(ins.windows, ins.psfs, columns_per_chunk=4)
print(lazy)

with vd.cluster(n_workers=2, threads_per_worker=1) as client:
    done = vd.to_zarr(lazy, folder / "infield.zarr")       # built and written in the workers
    print(f"{done.written} chunks written, {done.skipped} skipped, {done.bytes_written / 2**20:.1f} MiB, "
          f"{done.seconds:.2f} s")

    # The same call again finds every chunk complete and builds nothing: after an interruption it
    # builds only the chunks that are missing.
    again = vd.to_zarr(lazy, folder / "infield.zarr")
    print(f"again: {again.written} written, {again.skipped} skipped")

    # The stored matrix as a LinearOperator whose products run chunk by chunk on the cluster.
    op = vd.forward_operator(folder / "infield.zarr")
    scene = velmora.demo_scene(ins.windows)
    observed = op.apply(scene)
    corrected = velmora.Corrector(op, method="gmres").correct(observed)

# %%
# What the store holds
# --------------------
# The store describes its matrix: the windows, the options, the velmora version, the SHA-256 of every
# input array and the chunking.
description = vd.metadata(folder / "infield.zarr")
print({key: description[key] for key in ("matrix", "options", "velmora_version", "chunks")})

matrix, _ = vd.open_matrix(folder / "infield.zarr")       # a dask array over the store
dense = velmora.infield_matrix(ins.windows, ins.psfs, threads=2)
print("bitwise equal to the in-memory build:", np.array_equal(matrix.compute(), dense))
print("largest error after correction:", float(np.abs(corrected - scene).max()))
shutil.rmtree(folder)
