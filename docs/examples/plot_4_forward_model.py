"""
A large instrument without the matrix
=====================================

The in-field matrix has ``F x F`` elements: 2 GiB at 128 x 128 L1C pixels, 32 GiB at 256 x 256.
:func:`velmora.forward_model` takes the arguments of both builders and gives the same operator ``T``
(``observed = T @ true``) as a :class:`scipy.sparse.linalg.LinearOperator` that never forms it: a
product is a sum of FFT convolutions of the scene, weighted by each source's PSF coefficients. Its memory
grows like ``F`` times the PSFs and the binning, not like ``F**2``.

This example makes an instrument of 128 x 128 L1C pixels (2 x 2 detector pixels each), observes a
scene through its forward model and corrects it with GMRES, and checks a slice of the model against the
dense matrix built for a few L1C columns only.
"""

# %%
# The instrument
# --------------
import time

import matplotlib.pyplot as plt
import numpy as np

import velmora

K, B = 128, 2                       # L1C pixels per side, detector pixels per L1C pixel
S = K * B                           # the science window, 256 x 256 detector pixels
windows = velmora.Windows(
    FULLCONVx=S + 128, FULLCONVy=S + 120, NOFSx=8, NOFSy=8, NOOFx=S + 112, NOOFy=S + 100,
    DOFSx=40, DOFSy=6, Dx=S + 32, Dy=S + 60, SOFSx=16, SOFSy=44, Sx=S, Sy=S,
    LBINx=B, LBINy=1, Lx=K, Ly=S, KBINx=1, KBINy=B, Kx=K, Ky=K,
).validate()
print(f"F = {windows.F}; the dense matrix would take {windows.F**2 * 8 / 2**30:.1f} GiB")

# Nine PSFs on a 3 x 3 grid over the detector window, wider towards its left and right edges, each
# image [x, y] as large as the detector window plus one sample, its core on the middle sample.
Dx, Dy = windows.detector_table_shape
nodes_x = np.linspace(0, Dx - 1, 3)
nodes_y = np.linspace(windows.SOFSy, Dy - 1, 3)
nx, ny = Dx + 1, Dy + 1
x = np.arange(nx)[:, None] - nx // 2
y = np.arange(ny)[None, :] - ny // 2
images = []
for fx in nodes_x:
    for fy in nodes_y:
        width = 0.8 + 0.8 * abs(fx / Dx - 0.5)
        core = np.exp(-0.5 * (x**2 + y**2) / width**2)
        wings = np.exp(-np.hypot(x, y) / 8.0)
        images.append(core / core.sum() * 0.96 + wings / wings.sum() * 0.04)
centres = [(ny // 2 + 0.5, nx // 2 + 0.5)] * len(images)          # (Y, X)
psfs = velmora.PSFSet(np.array(images), centres,
                      *velmora.bilinear_tables(nodes_x, nodes_y, windows.detector_table_shape))

# %%
# The forward model
# -----------------
start = time.perf_counter()
model = velmora.forward_model(windows, psfs, threads=2)
print(f"model made in {time.perf_counter() - start:.2f} s, {model.nbytes / 2**20:.0f} MiB of tables, "
      f"{model.terms} convolution terms")

scene = velmora.demo_scene(windows)                                  # (Ky, Kx), indexed [y, x]
start = time.perf_counter()
observed = model.apply(scene)                                        # images; model @ v on flat vectors
print(f"one observation in {time.perf_counter() - start:.3f} s")

# %%
# Correction with GMRES
# ---------------------
# A :class:`velmora.Corrector` of a forward model uses GMRES, preconditioned by the diagonal of ``T``
# (which the model computes without forming ``T``).
corrector = velmora.Corrector(model, rtol=1e-10)
start = time.perf_counter()
corrected = corrector.correct(observed)
info = corrector.last_info
print(f"corrected in {time.perf_counter() - start:.2f} s: {info['iterations'][0]} iterations, "
      f"relative residual {info['residual'][0]:.1e}")
print(f"largest error {np.abs(corrected - scene).max():.2e} of a scene up to {scene.max():.0f}")

fig, axes = plt.subplots(1, 5, figsize=(16, 3.2), layout="constrained")
velmora.plot.scene(scene, observed, corrected, ax=axes)

# %%
# The same operator as the matrix
# -------------------------------
# ``columns=(x0, x1)`` builds only the rows ``[x0 * Ky, x1 * Ky)`` of the in-field matrix: the sources
# of L1C columns ``x0`` to ``x1 - 1``. Row ``s`` of the matrix is column ``s`` of ``T``, the model applied
# to the unit vector of pixel ``s``; compare a few of them.
x0 = 60
rows = velmora.infield_matrix(windows, psfs, columns=(x0, x0 + 1), threads=2)   # (Ky, F)
picked = np.arange(0, K, 16)                                                   # source rows y
units = np.zeros((windows.F, picked.size))
units[x0 * K + picked, np.arange(picked.size)] = 1.0
from_model = (model @ units).T
print(f"rows {rows.shape} of the matrix, {picked.size} compared: largest difference "
      f"{np.abs(from_model - rows[picked]).max():.1e} of elements up to {np.abs(rows).max():.2f}")
