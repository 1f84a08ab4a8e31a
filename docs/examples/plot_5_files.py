"""
Reading and writing netCDF files with metadata
==============================================

:func:`velmora.save_matrix` writes a matrix with the metadata that says what it is: which matrix, the
windows, the build options, the input files with their SHA-256, the velmora version and the time.
:func:`velmora.load_matrix` reads it back; the windows come back as a :class:`velmora.Windows`, and a
loaded matrix passed whole to :func:`velmora.observe` or :class:`velmora.Corrector` brings them along.
:func:`velmora.read_array` reads input arrays from ``.npy``, ``.npz`` and netCDF-4/HDF5 files, the way
``velmora build`` reads the arrays its configuration names.

netCDF and HDF5 need ``pip install 'velmora[io]'`` (xarray, h5netcdf, h5py).
"""

# %%
# Writing
# -------
import pathlib
import shutil
import tempfile

import h5py
import numpy as np
import xarray as xr

import velmora
from velmora.io import matrix_metadata

folder = pathlib.Path(tempfile.mkdtemp(prefix="velmora-files-"))
ins = velmora.builtin_instrument()
options = {"scheme": "quadratic", "lower_edge": True, "rows_below": 42, "rows_above": 42}
infield = velmora.infield_matrix(ins.windows, ins.psfs, threads=2, **options)
stray = velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting,
                                   source_step=ins.source_step, sample_step=ins.sample_step, threads=2)

# The calibration inputs, as a netCDF-4 file with a group (any HDF5 writer will do).
with h5py.File(folder / "ckd.nc", "w") as f:
    f["psf/images"] = ins.psfs.images
    f["psf/centres"] = ins.psfs.centres

# The metadata names the input files; each file's SHA-256 is taken when the metadata is made.
meta = matrix_metadata("in-field", ins.windows, options, inputs={"psfs.images": folder / "ckd.nc"})
velmora.save_matrix(folder / "infield.nc", infield, meta)
# The stray-light matrix has 2 * Ky non-zero rows of F: compact=True stores only those.
velmora.save_matrix(folder / "stray_light.nc", stray,
                    matrix_metadata("stray-light", ins.windows, {"source_step": ins.source_step}, {}),
                    compact=True)
for p in sorted(folder.iterdir()):
    print(f"{p.name:16s} {p.stat().st_size / 1024:8.1f} KiB")

# %%
# What is in the files
# --------------------
# Plain netCDF-4, readable by any netCDF tool; here with xarray. The windows and options are
# attributes, the dimensions name the ``[s, r]`` layout.
with xr.open_dataset(folder / "infield.nc", engine="h5netcdf") as ds:
    print(ds)
with xr.open_dataset(folder / "stray_light.nc", engine="h5netcdf") as ds:
    print({name: var.dims + var.shape for name, var in ds.variables.items()})

# %%
# Reading
# -------
matrix, meta = velmora.load_matrix(folder / "infield.nc")
print(meta["matrix"], meta["windows"] == ins.windows, meta["options"])
print(meta["velmora_version"], meta["created"])
print(meta["inputs"])
assert np.array_equal(matrix, infield)

stray_back, _ = velmora.load_matrix(folder / "stray_light.nc")
print(type(stray_back).__name__, stray_back.shape)
assert np.array_equal(stray_back.toarray(), stray)

# A loaded matrix passed whole brings its windows: images of the wrong shape are refused.
loaded = velmora.load_matrix(folder / "infield.nc")
scene = velmora.demo_scene(ins.windows)
observed = velmora.observe(scene, loaded, stray_back)
try:
    velmora.observe(scene.T, loaded, stray_back)
except ValueError as error:
    print("refused:", error)

# %%
# Input arrays
# ------------
# :func:`velmora.read_array` reads one array; a netCDF/HDF5 variable is named by its path in the file.
images = velmora.read_array(folder / "ckd.nc", "psf/images")
print(images.shape, np.array_equal(images, ins.psfs.images))
try:
    velmora.read_array(folder / "ckd.nc", "psf/missing")
except velmora.InputFileError as error:
    print("refused:", error)

shutil.rmtree(folder)
