"""The nested windows of the built-in instrument, in detector pixels."""
import matplotlib.pyplot as plt
from matplotlib.patches import Rectangle

import velmora

w = velmora.builtin_instrument().windows

# Lower-left corners in the full convolution area (detector pixels, y up).
noof = (w.NOFSx, w.NOFSy)
det = (noof[0] + w.DOFSx, noof[1] + w.DOFSy)
sci = (det[0] + w.SOFSx, det[1] + w.SOFSy)
boxes = [
    ("FULLCONV", (0, 0), w.FULLCONVx, w.FULLCONVy, "0.85"),
    ("NOOF", noof, w.NOOFx, w.NOOFy, "#c6dbef"),
    ("detector", det, w.Dx, w.Dy, "#9ecae1"),
    ("science = L1B = L1C", sci, w.Sx, w.Sy, "#fdd0a2"),
]

fig, (ax, zoom) = plt.subplots(1, 2, figsize=(11, 5.2), width_ratios=(1.35, 1), layout="constrained")
for name, (x0, y0), nx, ny, colour in boxes:
    ax.add_patch(Rectangle((x0, y0), nx, ny, facecolor=colour, edgecolor="k", lw=1.2))
    inner = name.startswith("science")
    ax.text(x0 + (nx / 2 if inner else nx - 1.5), y0 + (ny / 2 if inner else 1), f"{name}{chr(10) if inner else ' '}{nx} x {ny}",
            ha="center" if inner else "right", va="center" if inner else "bottom", fontsize=8)


def offset(a, b, text, **kw):
    ax.annotate("", xy=b, xytext=a, arrowprops=dict(arrowstyle="->", lw=1, color="C3"))
    ax.text((a[0] + b[0]) / 2, (a[1] + b[1]) / 2, text, color="C3", fontsize=8, **kw)


offset((0, noof[1] + 80), (noof[0], noof[1] + 80), "NOFSx", va="bottom")
offset((noof[0] + 8, 0), (noof[0] + 8, noof[1]), " NOFSy", ha="left", va="center")
offset((noof[0], det[1] + 8), (det[0], det[1] + 8), "DOFSx", va="bottom")
offset((det[0] + 3, noof[1]), (det[0] + 3, det[1]), " DOFSy", ha="left", va="center")
offset((det[0], sci[1] + 4), (sci[0], sci[1] + 4), "SOFSx", va="bottom")
offset((sci[0] + 3, det[1]), (sci[0] + 3, sci[1]), " SOFSy (the rows below:\n lower-edge sources)", ha="left")
ax.set(xlim=(-2, w.FULLCONVx + 2), ylim=(-2, w.FULLCONVy + 2), aspect="equal",
       xlabel="detector column x", ylabel="detector row y")
ax.set_title("each window inside the one before; offsets from the parent's first pixel", fontsize=10)

# A corner of the science window with the detector, L1B and L1C pixel grids.
nx, ny = 6 * w.Bx, 5 * w.By
zoom.add_patch(Rectangle((0, 0), nx, ny, facecolor="#fdd0a2"))
for x in range(nx + 1):
    zoom.axvline(x, color="0.5", lw=0.4, ls=":")
for y in range(ny + 1):
    zoom.axhline(y, color="0.5", lw=0.4, ls=":")
for x in range(0, nx + 1, w.LBINx):
    zoom.axvline(x, color="C0", lw=0.8)
for y in range(0, ny + 1, w.LBINy):
    zoom.axhline(y, color="C0", lw=0.8)
for x in range(0, nx + 1, w.Bx):
    zoom.axvline(x, color="k", lw=1.6)
for y in range(0, ny + 1, w.By):
    zoom.axhline(y, color="k", lw=1.6)
zoom.add_patch(Rectangle((0, 0), w.Bx, w.By, facecolor="C3", alpha=0.5))
zoom.add_patch(Rectangle((2 * w.Bx, 0), w.LBINx, w.LBINy, facecolor="C0", alpha=0.5))
zoom.text(0.1, w.By + 0.15, f"L1C pixel (0, 0):\nBx x By = {w.Bx} x {w.By}", fontsize=8, color="C3")
zoom.text(2 * w.Bx + 0.1, w.LBINy + 0.15, f"L1B pixel:\nLBIN {w.LBINx} x {w.LBINy}", fontsize=8, color="C0")
zoom.set(xlim=(0, nx), ylim=(0, ny), aspect="equal", xlabel="science column", ylabel="science row",
         title=f"a corner of the science window: detector pixels (dotted),\n"
               f"L1B {w.Lx} x {w.Ly} (blue), L1C {w.Kx} x {w.Ky} (black, KBIN {w.KBINx} x {w.KBINy})")
zoom.title.set_fontsize(10)
