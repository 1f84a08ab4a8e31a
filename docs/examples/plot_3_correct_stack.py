"""
Correcting a stack of images, with and without noise
====================================================

A :class:`velmora.Corrector` is made once for an instrument and corrects any number of images: a stack
``(..., Ky, Kx)`` goes through in one call. Exact correction undoes the blur of noise-free images to
rounding, but it amplifies noise; the damped least-squares (``"lsmr"``) and van Cittert methods trade a
little resolution for much less noise.
"""

# %%
# A stack of scenes
# -----------------
import matplotlib.pyplot as plt
import numpy as np

import velmora

ins = velmora.builtin_instrument()
windows = ins.windows
infield = velmora.infield_matrix(windows, ins.psfs, threads=2)
stray = velmora.stray_light_matrix(windows, ins.stray_psfs, vignetting=ins.vignetting,
                                   source_step=ins.source_step, sample_step=ins.sample_step, threads=2)

rng = np.random.default_rng(1)
base = velmora.demo_scene(windows)
scenes = np.stack([base, base[:, ::-1], np.roll(base, 5, axis=1), 50.0 + 400.0 * rng.random(base.shape)])
print("stack", scenes.shape, "= (images, Ky, Kx)")

observed = velmora.observe(scenes, infield, stray, windows=windows)
corrector = velmora.Corrector(infield, stray, windows=windows)       # LU, factorised once
corrected = corrector.correct(observed)
print("largest error after correction:", np.abs(corrected - scenes).max(axis=(1, 2)))

# %%
# Noise
# -----
# Add Gaussian noise of 1 % of the brightest pixel to the observations and correct them with each
# method. The error is measured against the true scenes, as a fraction of the noise.
sigma = 0.01 * observed.max()
noisy = observed + rng.normal(0.0, sigma, observed.shape)


def rms(a):
    return float(np.sqrt(np.mean((a - scenes) ** 2)) / sigma)


methods = {
    "observed, uncorrected": noisy,
    "lu (exact)": corrector.correct(noisy),
    "lsmr, damp=0.1": velmora.Corrector(infield, stray, windows=windows, method="lsmr",
                                        damp=0.1).correct(noisy),
    "van Cittert, 3 iterations": velmora.Corrector(infield, stray, windows=windows, method="van-cittert",
                                                   iterations=3).correct(noisy),
}
for name, result in methods.items():
    print(f"{name:28s} rms error = {rms(result):6.2f} x noise")

# %%
# The uncorrected error is mostly blur; the exact correction removes the blur and leaves the noise,
# amplified. How much is set by the condition number of the operator: modest for this instrument, whose
# PSFs keep 45 to 63 % of each pixel's light in the pixel, and much larger for wider PSFs or finer
# pixels, where the regularised methods matter most.
T = velmora.forward_operator(infield, stray, windows=windows)
print(f"condition number of T: {np.linalg.cond(T):.1f}")

# %%
# The damping chooses between blur and noise: small damping leaves the noise amplified, large damping
# leaves the scene blurred; likewise few van Cittert iterations leave blur and many converge to the
# exact solution, noise included. The best value depends on the noise level and on the scenes: choose
# it on simulated observations like these.
damps = [0.0, 0.01, 0.02, 0.05, 0.1, 0.2, 0.4]
errors = [rms(velmora.Corrector(infield, stray, windows=windows, method="lsmr", damp=d,
                                rtol=1e-8).correct(noisy)) for d in damps]
iterations = [1, 2, 3, 5, 8, 12]
vc_errors = [rms(velmora.Corrector(infield, stray, windows=windows, method="van-cittert",
                                   iterations=n).correct(noisy)) for n in iterations]

fig, (a, b) = plt.subplots(1, 2, figsize=(10, 3.6), layout="constrained")
a.plot(damps, errors, "o-")
a.axhline(rms(noisy), color="0.5", ls="--", label="uncorrected")
a.set(xlabel="lsmr damp", ylabel="rms error / noise", title="Tikhonov damping (lsmr)")
a.legend()
b.plot(iterations, vc_errors, "o-", color="C1")
b.axhline(rms(noisy), color="0.5", ls="--", label="uncorrected")
b.set(xlabel="van Cittert iterations", ylabel="rms error / noise", title="van Cittert iterations")
b.legend()

# %%
# The first image of the stack, corrected exactly and with damping.
fig, axes = plt.subplots(1, 4, figsize=(14, 3.2), layout="constrained")
velmora.plot.images([scenes[0], noisy[0], methods["lu (exact)"][0], methods["lsmr, damp=0.1"][0]],
                    ["true", "observed with noise", "lu", "lsmr, damp=0.1"], ax=axes)
