"""
From PSFs measured on a grid to interpolation tables
====================================================

A calibration campaign measures the instrument's PSF at a few field positions. The matrix builders need,
for every pixel of the detector window, which PSFs describe it and with which weights: the interpolation
tables ``coefficients[x, y, k]`` and ``indices[x, y, k]``. :func:`velmora.bilinear_tables` makes them for
PSFs measured on a rectangular grid, blending the four nodes around each pixel bilinearly.

Here we measure (synthesise) PSFs that widen towards the edges of the field on a 4 x 3 grid, make the
tables, check them, and build the in-field matrix of the built-in instrument's windows with them.
"""

# %%
# PSFs on a grid
# --------------
# The PSF images are indexed ``[psf, x, y]`` and must be at least as large as the detector window; PSF
# ``i * len(nodes_y) + j`` belongs to node ``(nodes_x[i], nodes_y[j])``. Each centre is given as
# ``(Y, X)``, **Y first**, in pixel-edge coordinates: a core on sample ``(x, y)`` is at
# ``(y + 0.5, x + 0.5)``.
import matplotlib.pyplot as plt
import numpy as np

import velmora

windows = velmora.builtin_instrument().windows
Dx, Dy = windows.detector_table_shape                 # (64, 84): the in-field tables cover the detector
nodes_x = [4.0, 24.0, 40.0, 60.0]                     # detector columns of the measurements
nodes_y = [40.0, 60.0, 80.0]                          # detector rows

nx, ny = Dx + 33, Dy + 5                              # PSF images a little larger than the detector window
cx, cy = nx // 2, ny // 2                             # the core's sample
x = np.arange(nx)[:, None] - cx                       # [x, y] grids: x first
y = np.arange(ny)[None, :] - cy
images, centres = [], []
for fx in nodes_x:
    for fy in nodes_y:
        # wider towards the edges of the field, and elongated along x
        r = np.hypot((fx - Dx / 2) / Dx, (fy - Dy / 2) / Dy)
        sx, sy = 0.7 + 1.6 * r, 0.6 + 1.0 * r
        core = np.exp(-0.5 * ((x / sx) ** 2 + (y / sy) ** 2))
        wings = np.exp(-np.hypot(x, y) / 6.0)
        psf = core / core.sum() * 0.97 + wings / wings.sum() * 0.03
        images.append(psf)
        centres.append((cy + 0.5, cx + 0.5))          # (Y, X)
images = np.array(images)
print(images.shape, "PSF images [psf, x, y]; energy", images.sum(axis=(1, 2)).round(6))

# %%
# The tables
# ----------
coefficients, indices = velmora.bilinear_tables(nodes_x, nodes_y, (Dx, Dy))
print(coefficients.shape, indices.shape, indices.dtype)
assert np.allclose(coefficients.sum(axis=-1), 1.0)    # weights sum to 1 at every pixel

# Pixel (24, 60) lies on a node: all its weight goes to that node's PSF, 1 * 3 + 1 = 4.
print("at a node:", coefficients[24, 60], indices[24, 60])
# Halfway between nodes, four PSFs share it equally.
print("between:  ", coefficients[32, 70], indices[32, 70])

# %%
# The weight of one PSF over the detector window: 1 at its node, falling linearly to 0 at the next
# nodes; beyond the outermost nodes the edge PSFs are used as they are.
fig, axes = plt.subplots(1, 3, figsize=(11, 4), layout="constrained")
for ax, k in zip(axes, (0, 4, 11)):
    weight = np.where(indices == k, coefficients, 0.0).sum(axis=-1)   # [x, y]
    im = ax.imshow(weight.T, origin="lower", vmin=0, vmax=1, cmap="viridis")
    i, j = divmod(k, len(nodes_y))
    ax.plot(nodes_x[i], nodes_y[j], "r+", ms=12, mew=2)
    ax.set(title=f"weight of PSF {k}, node ({nodes_x[i]:g}, {nodes_y[j]:g})", xlabel="detector x",
           ylabel="detector y")
fig.colorbar(im, ax=axes, shrink=0.8)

# %%
# The PSF set and the matrix
# --------------------------
# :class:`velmora.PSFSet` checks and converts the arrays once; it refuses tables that do not fit the
# PSFs and warns when the centres look given as ``(X, Y)``.
psfs = velmora.PSFSet(images, centres, coefficients, indices)
infield = velmora.infield_matrix(windows, psfs, threads=2)

# The blur of a source pixel grows towards the edges of the field: compare the share each L1C pixel
# keeps (the diagonal) across the image. The science window lies in the upper part of the detector
# window, so the blur grows towards the top of the image; the bottom row keeps more because the
# lower-edge correction charges it with the light of the rows below it.
keep = velmora.vector_to_image(np.diag(infield), windows.l1c_image_shape)
fig, ax = plt.subplots(figsize=(6, 4), layout="constrained")
im = ax.imshow(keep, origin="lower", cmap="viridis")
fig.colorbar(im, ax=ax, label="matrix[s, s]")
ax.set(title="share of its light each L1C pixel keeps", xlabel="L1C x", ylabel="L1C y")

# %%
# The stray-light matrix needs the same grid over the NOOF window: shift the nodes by the detector
# window's offset in it and make tables of the NOOF window's size.
noof_tables = velmora.bilinear_tables(np.add(nodes_x, windows.DOFSx), np.add(nodes_y, windows.DOFSy),
                                      windows.noof_table_shape)
stray_psfs = psfs.with_tables(*noof_tables)
print(stray_psfs.coefficients.shape, "= (NOOFx, NOOFy, 4)")
