"""The layouts: an L1C image and its flat order, a PSF image, a row of the matrix."""
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import SymLogNorm

import velmora

fig, (a, b, c) = plt.subplots(1, 3, figsize=(12, 4.2), width_ratios=(1.1, 1, 1.2), layout="constrained")

# 1. An L1C image of Kx = 4 by Ky = 3 pixels, indexed [y, x], row 0 at the bottom.
kx, ky = 4, 3
image = np.arange(kx * ky).reshape(kx, ky).T          # image[y, x] = x * Ky + y, the flat index
a.imshow(image, origin="lower", cmap="Pastel1", vmin=0, vmax=kx * ky)
for y in range(ky):
    for x in range(kx):
        a.text(x, y, f"image[{y}, {x}]\n(x, y) = ({x}, {y})\nflat {x * ky + y}", ha="center", va="center",
               fontsize=7.5)
a.set(xticks=range(kx), yticks=range(ky), xlabel="x (L1C column)", ylabel="y (L1C row)",
      title="L1C image, shape (Ky, Kx), indexed [y, x];\nflat index x*Ky + y = image.ravel(order='F')")

# 2. A measured PSF: images[k, x, y], so the image's first axis is x; its centre is given as (Y, X).
psfs = velmora.builtin_instrument().psfs
k = 4
img = psfs.images[k]                                    # shape (Nx, Ny)
Y, X = psfs.centres[k][:2]
crop = 12
x0, y0 = int(X) - crop, int(Y) - crop
part = img[x0:x0 + 2 * crop, y0:y0 + 2 * crop]
b.imshow(part.T, origin="lower", extent=(x0, x0 + 2 * crop, y0, y0 + 2 * crop), cmap="magma",
         norm="log", interpolation="nearest")
b.plot([X], [Y], "c+", ms=14, mew=2)
b.annotate(f"centre row (Y, X) = ({Y:g}, {X:g})\nin pixel-edge coordinates", (X, Y), (x0 + 1, y0 + 2),
           color="c", fontsize=8, arrowprops=dict(arrowstyle="->", color="c"))
b.set(xlabel="x, first axis of images[k]", ylabel="y, second axis",
      title=f"PSF images[{k}], shape (Nx, Ny) = {img.shape},\ndrawn as images[{k}].T with origin='lower'")

# 3. The in-field matrix: row s holds what source pixel s sends to every receiver r.
ins = velmora.builtin_instrument()
w = ins.windows
matrix = velmora.infield_matrix(w, ins.psfs, threads=2)
s = velmora.flat_index(10, 8, w)
row = velmora.vector_to_image(matrix[s], w.l1c_image_shape)   # receivers as an L1C image [y, x]
im = c.imshow(row, origin="lower", cmap="RdBu_r", interpolation="nearest",
              norm=SymLogNorm(linthresh=1e-5, vmin=-1, vmax=1))
c.plot([10], [8], "k+", ms=10)
fig.colorbar(im, ax=c, shrink=0.8, label="matrix[s, r]")
c.set(xlabel="x", ylabel="y", title=f"row s = {s} of the in-field matrix (source (10, 8)),\n"
                                    "reshaped by vector_to_image: where its light goes")
for ax in (a, b, c):
    ax.title.set_fontsize(9)
