"""
The built-in instrument, end to end
===================================

velmora carries a small synthetic TORVEN-like instrument (:func:`velmora.builtin_instrument`): its 22
window parameters, nine PSFs measured on a 3 x 3 grid with their interpolation tables, and a vignetting
image. This example builds both matrices from it, looks at them, observes a test scene through them and
corrects the observation: what ``velmora demo`` does, in Python.
"""

# %%
# The instrument
# --------------
import matplotlib.pyplot as plt
import numpy as np

import velmora

ins = velmora.builtin_instrument()
windows = ins.windows
print(ins.name)
print(windows)
print(f"F = {windows.F} L1C pixels of {windows.Bx} x {windows.By} detector pixels each")

# %%
# The PSFs, one panel each, placed as in the field (``ax=`` draws into Axes of our own). PSF
# ``i * 3 + j`` belongs to grid node ``(nodes_x[i], nodes_y[j])``: panel column ``i``, row ``j`` from the
# bottom.
fig, axes = plt.subplots(3, 3, figsize=(7.5, 7), layout="constrained")
velmora.plot.psfs(ins.psfs, nodes=ins.psf_nodes, ax=axes[::-1].T.ravel())

# %%
# Both matrices
# -------------
# ``return_report=True`` gives a :class:`velmora.BuildReport` too: the path that ran, the threads, the
# time and every record of the build.
infield, report = velmora.infield_matrix(windows, ins.psfs, threads=2, return_report=True)
stray = velmora.stray_light_matrix(windows, ins.stray_psfs, vignetting=ins.vignetting,
                                   source_step=ins.source_step, sample_step=ins.sample_step, threads=2)
path = "fast" if report.fast_path else "per-pixel"
print(f"in-field: {infield.shape}, {path} path, {report.threads} threads, {report.seconds:.3f} s")
print(f"row sums: {infield.sum(axis=1).min():.3f} to {infield.sum(axis=1).max():.3f}")
print(f"stray light: {np.count_nonzero(np.abs(stray).sum(axis=1))} non-zero rows of {windows.F}")

fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5), layout="constrained")
velmora.plot.infield(infield, ax=left)
velmora.plot.stray_light(stray, windows=windows, ax=right)

# %%
# Observing and correcting a scene
# --------------------------------
# :func:`velmora.observe` applies both matrices to an image indexed ``[y, x]``; a
# :class:`velmora.Corrector` factorises their sum once and corrects any number of images.
scene = velmora.demo_scene(windows)
observed = velmora.observe(scene, infield, stray, windows=windows)
corrector = velmora.Corrector(infield, stray, windows=windows)
corrected = corrector.correct(observed)
print(f"largest error: observed {np.abs(observed - scene).max():.3g}, "
      f"corrected {np.abs(corrected - scene).max():.3g}")

fig, axes = plt.subplots(1, 5, figsize=(16, 3.2), layout="constrained")
velmora.plot.scene(scene, observed, corrected, ax=axes)
