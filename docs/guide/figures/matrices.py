"""What the in-field matrix holds: the quadratic weights, its negative elements, its row sums."""
import matplotlib.pyplot as plt
import numpy as np

import velmora

ins = velmora.builtin_instrument()
w = ins.windows
fig, (a, b, c) = plt.subplots(1, 3, figsize=(12, 3.8), layout="constrained")

# 1. The quadratic scheme: detector row v of an L1C pixel By rows high carries the parabola through the
#    values of the pixel below, the pixel itself and the pixel above, averaged over the row.
B = 8
v = np.arange(B)
lo, hi = (v - B / 2) / B, (v + 1 - B / 2) / B            # the row in units of L1C pixels from the centre
mean_u, mean_u2 = (lo + hi) / 2, (hi**3 - lo**3) / (3 * (hi - lo))
for weight, label in (((mean_u2 - mean_u) / 2, "pixel below"), (1 - mean_u2, "the pixel itself"),
                      ((mean_u2 + mean_u) / 2, "pixel above")):
    a.plot(v, weight, "o-", label=label)
a.axhline(0, color="k", lw=0.6)
a.set(xlabel=f"detector row v inside the L1C pixel (By = {B})", ylabel="weight",
      title="quadratic scheme: each row's weights sum to 1,\nthe far neighbour's is negative")
a.legend(fontsize=8)

# 2. The in-field matrix, quadratic scheme: the negative elements.
quadratic = velmora.infield_matrix(w, ins.psfs, scheme="quadratic", threads=2)
midpoint = velmora.infield_matrix(w, ins.psfs, scheme="midpoint", threads=2)
s = velmora.flat_index(10, 8, w)
for m, label in ((quadratic, "quadratic"), (midpoint, "midpoint")):
    column = velmora.vector_to_image(m[s], w.l1c_image_shape)[:, 10]   # receivers in the source's column
    b.plot(np.arange(w.Ky), column, "o-", label=f"{label} (min {m.min():.1e})")
b.axhline(0, color="k", lw=0.6)
b.set(yscale="symlog", ylabel="matrix[s, r]", xlabel="receiver row y (column x = 10)",
      title="the light of source (10, 8) in its own column")
b.set_yscale("symlog", linthresh=1e-4)
b.legend(fontsize=8)

# 3. Row sums: how much of each source's light arrives anywhere in the L1C image.
with_edge = quadratic.sum(axis=1)
without = velmora.infield_matrix(w, ins.psfs, lower_edge=False, threads=2).sum(axis=1)
for sums, label in ((with_edge, "lower edge on"), (without, "lower edge off")):
    rows = velmora.vector_to_image(sums, w.l1c_image_shape)[:, w.Kx // 2]
    c.plot(np.arange(w.Ky), rows, "o-", label=label)
c.axhline(1, color="k", lw=0.6)
c.set(xlabel=f"source row y (column x = {w.Kx // 2})", ylabel="row sum of the matrix",
      title="row sums: below 1 (light leaves the image),\nabove 1 in the bottom row with the lower edge")
c.legend(fontsize=8)
for ax in (a, b, c):
    ax.title.set_fontsize(9)
