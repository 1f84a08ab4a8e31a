"""Small valid inputs for the two matrix functions of _velmora_if, and a NumPy model of both matrices.

The model is written from the instrument's definitions, not from the C++ code, so that the tests can
compare the native matrices element by element:

* the 22 windowing parameters build the chain full convolution area > NOOF > detector > science >
  L1B > L1C; L1C pixel (kx, ky) has the flat index kx * Ky + ky and covers Bx x By detector pixels
  starting at (SOFSx + kx * Bx, SOFSy + ky * By), with Bx = LBINx * KBINx, By = LBINy * KBINy;
* PSF image i is ``images[i, x, y]``; its location row (Y, X, type) puts the centre at the fractional
  array position (X - 0.5, Y - 0.5); a whole-pixel offset (dx, dy) from the centre reads the sample
  there when the centre lies on a sample, and the bilinear interpolation of the four samples around it
  otherwise (0 outside the image and, off-sample, in its last column and row);
* the PSF of a point source at working-window pixel (x, y) is the sum over k of
  ``coeffs[x, y, k] * PSF_{indices[x, y, k]}`` (zero coefficients are dropped);
* element (r, s) of a matrix (share of source L1C pixel s that arrives in receiving pixel r) stands at
  ``[s, r]`` of the C-ordered NumPy output.
"""

from __future__ import annotations

import contextlib
import io

import numpy as np

#: The module's version text when it is loaded.
VERSION = "Version 0.2.0 2021-01-10"


def call_printing(function, *args):
    """Call a module function; return its result and the lines it printed."""
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        result = function(*args)
    return result, buf.getvalue().splitlines()


def set_module_defaults(module):
    """Put the module's process-wide settings back to their values at load time."""
    module.cimpl_set_option("use_simpsons", 1)
    module.cimpl_set_option("create_lower_edge_adjustment", 1)
    module.cimpl_set_option("lower_edge_rows_below", 42)
    module.cimpl_set_option("lower_edge_rows_above", 42)
    module.cimpl_set_numthreads(0)
    module.cimpl_set_diagnostic(0)
    module.cimpl_set_versionstr(VERSION)

NAMES = ("FULLCONVx", "FULLCONVy", "NOFSx", "NOFSy", "NOOFx", "NOOFy", "DOFSx", "DOFSy", "Dx", "Dy",
         "SOFSx", "SOFSy", "Sx", "Sy", "LBINx", "LBINy", "Lx", "Ly", "KBINx", "KBINy", "Kx", "Ky")

WINDOW_DETECTOR = 3
WINDOW_NOOF = 2


class Win:
    """The 22 windowing parameters by name, with the derived sizes the tests need."""

    def __init__(self, specs):
        values = [int(v) for v in specs]
        assert len(values) == 22
        for name, value in zip(NAMES, values):
            setattr(self, name, value)
        self.Bx = self.LBINx * self.KBINx
        self.By = self.LBINy * self.KBINy
        self.F = self.Kx * self.Ky

    def flat(self, kx, ky):
        return kx * self.Ky + ky

    def science_flat(self, x, y):
        """Flat index of the L1C pixel holding science pixel (x, y), or None."""
        kx, ky = x // self.Bx, y // self.By
        if x < 0 or y < 0 or kx >= self.Kx or ky >= self.Ky:
            return None
        return self.flat(kx, ky)


def window_specs(Kx=3, Ky=2, kbin=(1, 1), lbin=(1, 1), sofs=(0, 0), dextra=(0, 0), dofs=(0, 0),
                 nextra=(0, 0), nofs=(0, 0), **override):
    """A consistent int32 vector of the 22 windowing parameters.

    Sizes are derived inward-out: L = KBIN * K, S = LBIN * L, D = SOFS + S + dextra,
    NOOF = DOFS + D + nextra, FULLCONV = NOFS + NOOF. Keyword overrides replace single parameters
    afterwards (to make inconsistent sets).
    """
    p = {}
    p["Kx"], p["Ky"] = Kx, Ky
    p["KBINx"], p["KBINy"] = kbin
    p["LBINx"], p["LBINy"] = lbin
    p["Lx"], p["Ly"] = kbin[0] * Kx, kbin[1] * Ky
    p["Sx"], p["Sy"] = lbin[0] * p["Lx"], lbin[1] * p["Ly"]
    p["SOFSx"], p["SOFSy"] = sofs
    p["Dx"], p["Dy"] = sofs[0] + p["Sx"] + dextra[0], sofs[1] + p["Sy"] + dextra[1]
    p["DOFSx"], p["DOFSy"] = dofs
    p["NOOFx"], p["NOOFy"] = dofs[0] + p["Dx"] + nextra[0], dofs[1] + p["Dy"] + nextra[1]
    p["NOFSx"], p["NOFSy"] = nofs
    p["FULLCONVx"], p["FULLCONVy"] = nofs[0] + p["NOOFx"], nofs[1] + p["NOOFy"]
    for name, value in override.items():
        assert name in NAMES, name
        p[name] = value
    return np.array([p[n] for n in NAMES], dtype=np.int32)


def random_psfs(M, nx, ny, seed=0):
    """M positive PSF images of nx x ny samples, each summing to 1."""
    rng = np.random.default_rng(seed)
    images = rng.uniform(0.1, 1.0, size=(M, nx, ny))
    return images / images.sum(axis=(1, 2), keepdims=True)


def delta_psfs(M, nx, ny, centre):
    """M images with a single 1.0 at sample ``centre`` (x, y)."""
    images = np.zeros((M, nx, ny))
    images[:, centre[0], centre[1]] = 1.0
    return images


def locations(M, centre, window=WINDOW_DETECTOR, on_sample=True):
    """Location rows (Y, X, type) putting every PSF centre on sample ``centre`` (x, y).

    With ``on_sample`` False the centre is moved by a quarter pixel in x and y, off the samples.
    """
    shift = 0.5 if on_sample else 0.25
    row = [centre[1] + shift, centre[0] + shift, float(window)]
    return np.array([row] * M, dtype=np.float64)


def single_tables(nx, ny, ncoeffs=1):
    """Coefficient and index tables that give every pixel PSF 0 with weight 1."""
    coeffs = np.zeros((nx, ny, ncoeffs))
    coeffs[:, :, 0] = 1.0
    return coeffs, np.zeros((nx, ny, ncoeffs), dtype=np.int32)


def mixed_tables(nx, ny, M, ncoeffs=3, seed=1):
    """Per-pixel mixtures of the M PSFs with random weights, about a third of them zero."""
    rng = np.random.default_rng(seed)
    coeffs = rng.uniform(0.2, 1.0, size=(nx, ny, ncoeffs))
    coeffs[rng.uniform(size=coeffs.shape) < 0.3] = 0.0
    indices = rng.integers(0, M, size=(nx, ny, ncoeffs)).astype(np.int32)
    return coeffs, indices


def output(KK, shape=None, fill=7.0):
    """An output matrix pre-filled with a non-zero value, so that overwriting shows."""
    return np.full(shape if shape is not None else (KK, KK), fill, dtype=np.float64)


def vignetting_buffer(factors):
    """Lay out natural factors ``V[x, y]`` over the NOOF window as the module reads them.

    The module reads the factor of NOOF pixel (x, y) at position x + NOOFx * y of the buffer of an
    array of NumPy shape (NOOFx, NOOFy).
    """
    factors = np.asarray(factors, dtype=np.float64)
    return np.ascontiguousarray(factors.T).reshape(factors.shape)


# ---------------------------------------------------------------------------------------------------
# Reference model
# ---------------------------------------------------------------------------------------------------

def offset_values(image, location, dx, dy):
    """Values of one measured PSF at whole-pixel offsets (arrays dx, dy) from its centre."""
    nx, ny = image.shape
    cx, cy = location[1] - 0.5, location[0] - 0.5
    px = cx + np.asarray(dx, dtype=np.float64)
    py = cy + np.asarray(dy, dtype=np.float64)
    ix = np.trunc(px).astype(np.int64)
    iy = np.trunc(py).astype(np.int64)
    on_sample = cx == np.trunc(cx) and cy == np.trunc(cy)
    inside = (ix >= 0) & (ix < nx) & (iy >= 0) & (iy < ny)
    if on_sample:
        return np.where(inside, image[np.clip(ix, 0, nx - 1), np.clip(iy, 0, ny - 1)], 0.0)
    inside &= (ix + 1 < nx) & (iy + 1 < ny)
    if nx < 2 or ny < 2:
        return np.zeros(px.shape)
    x0, y0 = np.clip(ix, 0, max(nx - 2, 0)), np.clip(iy, 0, max(ny - 2, 0))
    wx, wy = px - ix, py - iy
    value = ((1 - wx) * (1 - wy) * image[x0, y0] + wx * (1 - wy) * image[x0 + 1, y0]
             + (1 - wx) * wy * image[x0, y0 + 1] + wx * wy * image[x0 + 1, y0 + 1])
    return np.where(inside, value, 0.0)


def combined_psf(images, locs, coeffs, indices, centre, dx, dy):
    """PSF of a point source whose table entry is working-window pixel ``centre``, at offsets dx, dy."""
    total = np.zeros(np.broadcast(np.asarray(dx), np.asarray(dy)).shape)
    for c, k in zip(coeffs[centre[0], centre[1]], indices[centre[0], centre[1]]):
        if c != 0.0:
            total = total + c * offset_values(images[k], locs[k], dx, dy)
    return total


def simpson_weights(t, B):
    q = (t * t + t) + 1.0 / 3.0
    h = 0.5 + t
    return (q / B - h) * (0.5 / B), 1.0 - q / (B * B), (q / B + h) * (0.5 / B)


def _science_receivers(w):
    xs, ys = np.meshgrid(np.arange(w.Sx), np.arange(w.Sy), indexing="ij")
    xs, ys = xs.ravel(), ys.ravel()
    rows = (xs // w.Bx) * w.Ky + ys // w.By
    keep = (xs // w.Bx < w.Kx) & (ys // w.By < w.Ky)
    return xs[keep], ys[keep], rows[keep]


def infield_reference(specs, images, locs, coeffs, indices, simpsons=True, lower_edge=True,
                      rows_below=42, rows_above=42, parts=("field", "edge")):
    """The in-field matrix as a C-ordered (F, F) array, element (r, s) at [s, r].

    ``parts`` selects the in-field shares ("field") and/or the lower-edge strips ("edge"). Lower-edge
    sources that lie below the detector window are left out.
    """
    w = Win(specs)
    out = np.zeros((w.F, w.F))
    rx, ry, rr = _science_receivers(w)
    det_rx, det_ry = rx + w.SOFSx, ry + w.SOFSy
    for kx in range(w.Kx):
        for ky in range(w.Ky):
            s = w.flat(kx, ky)
            dx0, dy0 = w.SOFSx + kx * w.Bx, w.SOFSy + ky * w.By
            if "field" in parts:
                below = w.flat(kx, max(ky, 1) - 1)
                above = w.flat(kx, ky + 1 if ky < w.Ky - 1 else w.Ky - 1)
                for u in range(w.Bx):
                    for v in range(w.By):
                        src = (dx0 + u, dy0 + v)
                        p = combined_psf(images, locs, coeffs, indices, src, det_rx - src[0], det_ry - src[1])
                        if simpsons:
                            wb, wc, wa = simpson_weights(v - w.By / 2.0, float(w.By))
                            np.add.at(out[below], rr, wb * p)
                            np.add.at(out[s], rr, wc * p)
                            np.add.at(out[above], rr, wa * p)
                        else:
                            np.add.at(out[s], rr, p)
            if "edge" in parts and lower_edge and ky == 0:
                for u in range(w.Bx):
                    for k in range(-min(rows_below, dy0), 0):  # rows below the detector window are left out
                        src = (dx0 + u, dy0 + k)
                        xlo = max(src[0] - w.SOFSx - rows_above, 0)
                        xhi = min(src[0] - w.SOFSx + rows_above, w.Sx)
                        sel = (rx >= xlo) & (rx < xhi) & (ry < min(rows_above, w.Sy))
                        p = combined_psf(images, locs, coeffs, indices, src,
                                         det_rx[sel] - src[0], det_ry[sel] - src[1])
                        np.add.at(out[s], rr[sel], p)
    return out / float(w.Bx * w.By)


def straylight_reference(specs, images, locs, coeffs, indices, vignetting=None,
                         delta_nx=1, delta_ny=1, delta_sx=1, delta_sy=1):
    """The horizontal stray light matrix as a C-ordered (F, F) array, element (r, s) at [s, r].

    ``coeffs``/``indices`` cover the NOOF window; ``vignetting`` is None or natural factors V[x, y]
    over the NOOF window (not the module's buffer layout).
    """
    w = Win(specs)
    out = np.zeros((w.F, w.F))
    ox, oy = w.SOFSx + w.DOFSx, w.SOFSy + w.DOFSy  # science window origin in the NOOF window
    left, right = ox, ox + w.Sx
    sxs, sys_ = np.meshgrid(np.arange(delta_sx // 2, w.Sx, delta_sx), np.arange(delta_sy // 2, w.Sy, delta_sy),
                            indexing="ij")
    sxs, sys_ = sxs.ravel(), sys_.ravel()
    rows = np.array([w.science_flat(x, y) for x, y in zip(sxs, sys_)], dtype=np.int64).reshape(sxs.shape)
    base = float(delta_sx * delta_sy) * float(delta_ny * delta_nx)
    for iy in range(delta_ny // 2, w.Sy, delta_ny):
        ny = iy + oy
        sides = [(w.science_flat(0, iy), range(left - 1 - delta_nx // 2, -1, -delta_nx)),
                 (w.science_flat(w.Sx - 1, iy), range(right + delta_nx // 2, w.NOOFx, delta_nx))]
        for column, xs in sides:
            for x in xs:
                factor = base if vignetting is None else float(vignetting[x, ny]) * base
                if not np.isfinite(factor) or factor == 0.0:
                    continue
                p = combined_psf(images, locs, coeffs, indices, (x, ny), sxs + ox - x, sys_ + oy - ny)
                np.add.at(out[column], rows, p * factor)
    return out / float(w.Bx * w.By)
