"""The uncertainty of a corrected image: a worked example, and Monte Carlo against the exact propagation."""
import matplotlib.pyplot as plt
import numpy as np

import velmora

ins = velmora.blurred_instrument(Kx=48, Ky=32, binning=1, stray_columns=16)
w = ins.windows
infield = velmora.infield_matrix(w, ins.psfs, threads=2)
stray = velmora.stray_light_matrix(w, ins.stray_psfs, vignetting=ins.vignetting, source_step=ins.source_step,
                                   sample_step=ins.sample_step, threads=2)

scene = np.full(w.l1c_image_shape, 20.0)        # [y, x]: a faint background, a bright source, a dark region
scene[8:24, 6:20] = 2000.0
scene[:, 26:40] = 0.0
clean = velmora.observe(scene, infield, stray, windows=w)
read_noise, gain = 3.0, 2.0                     # u(b)^2 = 9 + b / 2
u_observed = np.sqrt(read_noise ** 2 + clean / gain)
rng = np.random.default_rng(0)
observed = clean + rng.normal(0.0, u_observed)

corrector = velmora.Corrector(infield, stray, windows=w, target="stray-light")      # "lu": exact propagation
result = corrector.correct(observed, noise=(read_noise, gain), u_systematic=0.01, operator_uncertainty=0.1)
# The random component of the noise the draws are made with (noise= estimates u(b) from the noisy image).
exact = corrector.correct(clean, u_random=u_observed).u_random

fig = plt.figure(figsize=(13, 6.6), layout="constrained")
grid = fig.add_gridspec(2, 4, width_ratios=[1, 1, 1, 1.25])
panels = [(observed, "(a) observed (one noisy draw)", "signal"),
          (u_observed, "(b) its random uncertainty u(b)", "signal"),
          (result.corrected, "(c) corrected (stray light removed)", "signal"),
          (result.total(), "(d) total uncertainty of (c)", "signal"),
          (exact / u_observed, "(e) random: u(y) / u(b)", "ratio"),
          (result.u_operator, "(f) operator component", "signal")]
for k, (image, title, label) in enumerate(panels):
    ax = fig.add_subplot(grid[k // 3, k % 3])
    im = ax.imshow(image, origin="lower", cmap="viridis")
    ax.set_title(title, fontsize=9)
    ax.set(xticks=[], yticks=[])
    fig.colorbar(im, ax=ax, shrink=0.75, label=label)

# (g) Monte Carlo: the standard deviation of the corrected images of N noisy draws against the exact
#     random component of the same noise; the error falls as 1 / sqrt(2 N), the exact value costs one
#     product per image.
draws = (10, 30, 100, 300, 1000, 3000)
noise = rng.normal(0.0, 1.0, (max(draws),) + clean.shape) * u_observed
corrected_draws = corrector.correct(clean + noise)
median, p95 = [], []
for n in draws:
    mc = corrected_draws[:n].std(axis=0, ddof=1)
    error = np.abs(mc - exact) / exact
    median.append(np.median(error))
    p95.append(np.percentile(error, 95))
ax = fig.add_subplot(grid[:, 3])
ax.loglog(draws, median, "o-", label="median over pixels")
ax.loglog(draws, p95, "s-", label="95th percentile")
ax.loglog(draws, [0.674 / np.sqrt(2 * (n - 1)) for n in draws], "k--", lw=1,
          label=r"$0.674/\sqrt{2(N-1)}$: median expected of a sample std")
for n, m in zip(draws, median, strict=True):
    ax.annotate(f"{100 * m:.2g} %", (n, m), textcoords="offset points", xytext=(4, -12), fontsize=7)
ax.set(xlabel="Monte Carlo draws N", ylabel="|u_MC - u_exact| / u_exact",
       title="(g) Monte Carlo against the exact result")
ax.title.set_fontsize(10)
ax.legend(fontsize=7, loc="upper right")
