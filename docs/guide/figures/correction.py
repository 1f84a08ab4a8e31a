"""The two targets of a correction: how much they amplify noise, and what they leave of the stray light."""
import matplotlib.pyplot as plt
import numpy as np

import velmora
from velmora.correction import DEFAULT_CORE


def matrices(ins):
    """The in-field and stray-light matrices of an instrument."""
    infield = velmora.infield_matrix(ins.windows, ins.psfs, threads=2)
    stray = velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting,
                                       source_step=ins.source_step, sample_step=ins.sample_step, threads=2)
    return infield, stray


def core_blurred(scene, infield, windows, core=DEFAULT_CORE):
    """What the "stray-light" target aims at: the scene blurred by the matrix's core alone.

    The core keeps the in-field shares between pixels at most ``core = (rx, ry)`` L1C pixels
    apart along x and y; everything else (the far field, stray light included) is left out.
    """
    x, y = np.divmod(np.arange(windows.Kx * windows.Ky), windows.Ky)     # (x, y) of each flat index
    near = (np.abs(x[:, None] - x[None, :]) <= core[0]) & (np.abs(y[:, None] - y[None, :]) <= core[1])
    t_core = np.where(near, infield, 0.0)                                  # [source, receiver]
    return velmora.vector_to_image(velmora.image_to_vector(scene) @ t_core, windows.l1c_image_shape)


rng = np.random.default_rng(0)
targets = ("scene", "stray-light")
instruments = {"built-in\n(24 x 18 pixels)": velmora.builtin_instrument(),
               "blurred\n(64 x 48 pixels)": velmora.blurred_instrument(Kx=64, Ky=48, binning=1, stray_columns=16)}
fig, (a, b, c) = plt.subplots(1, 3, figsize=(13, 3.9), layout="constrained",
                              gridspec_kw={"width_ratios": [0.8, 1.2, 1.0]})

# (a) Noise amplification: the same Gaussian noise on the observed image of each instrument, corrected
#     with each target; the noise in the result over the noise put in. Both corrections are linear, so
#     the difference between the corrected noisy and noiseless images is the corrected noise alone.
amplification = {target: [] for target in targets}
for ins in instruments.values():
    infield, stray = matrices(ins)
    observed = velmora.observe(velmora.demo_scene(ins.windows), infield, stray, windows=ins.windows)
    noise = rng.normal(0.0, 0.01 * observed.max(), (4,) + observed.shape)       # four noisy frames
    for target in targets:
        # on_failure="ignore": the "scene" solve of the blurred instrument misses the tolerance of "lu",
        # its operator being so badly conditioned (see the text).
        corrector = velmora.Corrector(infield, stray, windows=ins.windows, target=target, on_failure="ignore")
        corrected_noise = corrector.correct(observed + noise) - corrector.correct(observed)
        amplification[target].append(np.std(corrected_noise) / np.std(noise))
positions = np.arange(len(instruments))
for k, target in enumerate(targets):
    bars = a.bar(positions + (k - 0.5) * 0.38, amplification[target], width=0.38, label=f'target="{target}"')
    a.bar_label(bars, [f"{v:.3g}" for v in amplification[target]], fontsize=8)
a.axhline(1, color="k", lw=0.6)
a.set(yscale="log", ylim=(0.3, 1e14), xticks=positions, xticklabels=list(instruments),
      ylabel="noise after / noise before", title="(a) noise amplification")
a.legend(fontsize=8, loc="upper left")

# (b), (c) A bright source next to a dark region, seen by the blurred instrument (no noise): the
#     profile along the row through both, before and after each correction.
ins = instruments["blurred\n(64 x 48 pixels)"]
w = ins.windows
infield, stray = matrices(ins)
scene = np.full(w.l1c_image_shape, 20.0)       # [y, x]: a faint background ...
scene[12:36, 8:30] = 1000.0                    # ... a bright source ...
scene[:, 34:56] = 0.0                          # ... and a dark region beside it
observed = velmora.observe(scene, infield, stray, windows=w)
corrected = {target: velmora.Corrector(infield, stray, windows=w, target=target).correct(observed)
             for target in targets}
aim = core_blurred(scene, infield, w)
row, x = 24, np.arange(w.Kx)
for ax in (b, c):
    ax.step(x, scene[row], where="mid", color="0.6", lw=2, label="true scene (aim of \"scene\")")
    ax.plot(x, aim[row], "k--", lw=1, label='core-blurred scene (aim of "stray-light")')
    ax.plot(x, observed[row], "C3", label="observed")
    ax.plot(x, corrected["scene"][row], "C0.", ms=4, label='corrected, target="scene"')
    ax.plot(x, corrected["stray-light"][row], "C1", label='corrected, target="stray-light"')
    ax.axhline(0, color="k", lw=0.6)
    ax.axvspan(33.5, 55.5, color="0.92", zorder=0)
b.set(xlabel=f"x (row y = {row})", ylabel="signal", title="(b) a bright source beside a dark region")
b.legend(fontsize=7, loc="upper right")
c.set(xlim=(28, 60), ylim=(-2, 20), xlabel=f"x (row y = {row})",
      title="(c) the dark region (grey), magnified")
for ax in (a, b, c):
    ax.title.set_fontsize(10)
