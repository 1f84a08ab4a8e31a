"""A built-in, synthetic TORVEN-like instrument.

:func:`builtin_instrument` returns a small, fully deterministic configuration
that behaves like the real instrument in every way that matters to the
matrices, and is cheap enough to build both matrices in well under a few
seconds:

* windows: a 48 x 36 science window inside a 64 x 84 detector window inside a
  128 x 96 NOOF window, binned 2 x 1 into L1B and 1 x 2 into L1C, so that an
  L1C image has 24 x 18 = 432 pixels and one L1C pixel is 2 x 2 detector
  pixels; 44 detector rows lie below the science window, enough for the
  default lower-edge correction (42 rows);
* nine measured PSFs on a 3 x 3 grid across the science window, each a 97 x 89
  image with a narrow core (slightly wider and elongated towards the edges of
  the field), broad scattering wings and a faint ghost that moves with the
  field position, normalised to a total of 1;
* interpolation tables that blend the four nearest measured PSFs bilinearly,
  once over the detector window (in-field matrix) and once over the NOOF
  window (stray-light matrix);
* a smooth vignetting of the NOOF window and coarse stray-light sampling.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache

import numpy as np

from .psfs import PSFSet, bilinear_tables
from .windows import Windows

__all__ = ["Instrument", "blurred_instrument", "builtin_instrument", "demo_scene"]

# Shape of the measured PSF images and the sample their core sits on.
_PSF_SHAPE = (97, 89)
_PSF_CORE = (48, 44)
# Grid of measured PSFs, in detector pixels (x) and (y).
_NODES_X = (8.0, 31.5, 55.0)
_NODES_Y = (44.0, 61.5, 79.0)
# Energy in the wings and in the ghost of each PSF.
_WING_FRACTION = 0.04
_GHOST_FRACTION = 0.005


@dataclass(frozen=True)
class Instrument:
    """One instrument configuration: windows, PSFs and stray-light settings.

    Attributes
    ----------
    name : str
        A short description.
    windows : Windows
    psfs : PSFSet
        PSFs with tables over the detector window, for :func:`velmora.infield_matrix`.
    stray_psfs : PSFSet
        The same PSFs with tables over the NOOF window, for
        :func:`velmora.stray_light_matrix`.
    vignetting : numpy.ndarray, shape (NOOFy, NOOFx)
        Vignetting factors of the NOOF window, indexed [y, x].
    source_step, sample_step : (int, int)
        Stray-light sampling steps (x, y) of the sources and of the receivers.
    psf_nodes : tuple of (float, float)
        Detector position (x, y) where each measured PSF belongs, in PSF order.
    """

    name: str
    windows: Windows
    psfs: PSFSet
    stray_psfs: PSFSet
    vignetting: np.ndarray
    source_step: tuple[int, int]
    sample_step: tuple[int, int]
    psf_nodes: tuple[tuple[float, float], ...]


def _pixel_gaussian(offsets: np.ndarray, centre: float, sigma: float) -> np.ndarray:
    """A unit Gaussian integrated over each pixel [o - 1/2, o + 1/2)."""
    scale = 1.0 / (math.sqrt(2.0) * sigma)
    edges = np.concatenate([offsets - 0.5, offsets[-1:] + 0.5]) - centre
    cdf = np.array([math.erf(e * scale) for e in edges])
    return 0.5 * np.diff(cdf)


def _measured_psf(fx: float, fy: float) -> np.ndarray:
    """One synthetic measured PSF for the normalised field position (fx, fy) in [-1, 1]."""
    nx, ny = _PSF_SHAPE
    cx, cy = _PSF_CORE
    ox = np.arange(nx, dtype=np.float64) - cx
    oy = np.arange(ny, dtype=np.float64) - cy
    # Core: about 1.5 pixels wide at the centre, wider and elongated outwards.
    sx = 0.55 + 0.20 * abs(fx) + 0.05 * abs(fy)
    sy = 0.60 + 0.25 * abs(fy) + 0.05 * abs(fx)
    core = np.outer(_pixel_gaussian(ox, 0.0, sx), _pixel_gaussian(oy, 0.0, sy))
    # Wings: a broad Moffat-like halo, slightly asymmetric.
    r2 = (ox[:, None] / 7.0) ** 2 + (oy[None, :] / 6.0) ** 2
    wings = (1.0 + r2) ** -1.6
    # Ghost: a faint, defocused copy whose offset changes across the field.
    gx, gy = 9.0 + 6.0 * fx, -7.0 + 5.0 * fy
    ghost = np.outer(_pixel_gaussian(ox, gx, 2.2), _pixel_gaussian(oy, gy, 1.8))
    psf = ((1.0 - _WING_FRACTION - _GHOST_FRACTION) * core / core.sum()
           + _WING_FRACTION * wings / wings.sum()
           + _GHOST_FRACTION * ghost / ghost.sum())
    return psf / psf.sum()


def _vignetting(windows: Windows) -> np.ndarray:
    """Smooth, slightly off-centre fall-off over the NOOF window, indexed [y, x]."""
    x = (np.arange(windows.NOOFx) + 0.5 - 0.55 * windows.NOOFx) / (0.5 * windows.NOOFx)
    y = (np.arange(windows.NOOFy) + 0.5 - 0.45 * windows.NOOFy) / (0.5 * windows.NOOFy)
    v = 1.0 - 0.35 * x[None, :] ** 2 - 0.15 * y[:, None] ** 2
    return np.clip(v, 0.2, 1.0)


@lru_cache(maxsize=1)
def _build() -> Instrument:
    windows = Windows(
        FULLCONVx=160, FULLCONVy=112, NOFSx=16, NOFSy=8, NOOFx=128, NOOFy=96,
        DOFSx=32, DOFSy=6, Dx=64, Dy=84, SOFSx=8, SOFSy=44, Sx=48, Sy=36,
        LBINx=2, LBINy=1, Lx=24, Ly=36, KBINx=1, KBINy=2, Kx=24, Ky=18,
    ).validate(rows_below=42)
    # PSF i * len(_NODES_Y) + j belongs to node (i, j), as bilinear_tables numbers them.
    nodes, images = [], []
    for i, x in enumerate(_NODES_X):
        for j, y in enumerate(_NODES_Y):
            nodes.append((x, y))
            images.append(_measured_psf(i - 1.0, j - 1.0))
    images = np.stack(images)
    centres = np.array([[_PSF_CORE[1] + 0.5, _PSF_CORE[0] + 0.5]] * len(images))
    coeffs, indices = bilinear_tables(_NODES_X, _NODES_Y, windows.detector_table_shape)
    psfs = PSFSet(images, centres, coeffs, indices).check(windows, "detector")
    # The same grid in NOOF coordinates for the stray-light tables.
    noof_coeffs, noof_indices = bilinear_tables(
        np.add(_NODES_X, windows.DOFSx), np.add(_NODES_Y, windows.DOFSy), windows.noof_table_shape)
    stray = psfs.with_tables(noof_coeffs, noof_indices).check(windows, "noof")
    vignetting = _vignetting(windows)
    vignetting.setflags(write=False)
    return Instrument(
        name="built-in synthetic TORVEN-like instrument",
        windows=windows, psfs=psfs, stray_psfs=stray, vignetting=vignetting,
        source_step=(2, 2), sample_step=(1, 1), psf_nodes=tuple(nodes),
    )


def builtin_instrument() -> Instrument:
    """The built-in synthetic TORVEN-like instrument (deterministic; built once and cached).

    Returns
    -------
    Instrument
        Its arrays are read-only, so the cached instance cannot be changed.
    """
    return _build()


def _erf_pixels(n: int, centre: float, sigma: float) -> np.ndarray:
    """A unit Gaussian integrated over the samples 0 .. n-1 ([o, o + 1) each), vectorised."""
    from scipy.special import erf
    edges = (np.arange(n + 1, dtype=np.float64) - centre) / (math.sqrt(2.0) * sigma)
    return 0.5 * np.diff(erf(edges))


def _blurred_psf(shape: tuple[int, int], fx: float, fy: float) -> np.ndarray:
    """A wide PSF for the normalised field position (fx, fy) in [-1, 1], centred in its image."""
    nx, ny = shape
    cx, cy = nx / 2.0, ny / 2.0
    r = min(1.0, math.hypot(fx, fy) / math.sqrt(2.0))
    # Core: sigma 1.2 detector pixels on the axis, 2.3 in the corners, elongated outwards.
    sx = 1.2 + 1.1 * r * (0.8 + 0.2 * abs(fx))
    sy = 1.2 + 1.1 * r * (0.8 + 0.2 * abs(fy))
    core = np.outer(_erf_pixels(nx, cx, sx), _erf_pixels(ny, cy, sy))
    # Wings: a slow halo out to the image edge.
    ox = np.arange(nx) + 0.5 - cx
    oy = np.arange(ny) + 0.5 - cy
    wings = (1.0 + (ox[:, None] / 6.0) ** 2 + (oy[None, :] / 5.0) ** 2) ** -1.5
    # Ghost: a defocused copy whose offset moves with the field.
    ghost = np.outer(_erf_pixels(nx, cx + 14.0 + 8.0 * fx, 3.0), _erf_pixels(ny, cy - 9.0 + 6.0 * fy, 2.5))
    psf = 0.985 * core / core.sum() + 0.01 * wings / wings.sum() + 0.005 * ghost / ghost.sum()
    return psf / psf.sum()


def blurred_instrument(Kx: int = 1000, Ky: int = 256, binning: int = 1, stray_columns: int = 64) -> Instrument:
    """A synthetic instrument with wide PSFs, of any size (for benchmarks and guides).

    Nine PSFs on a 3 x 3 grid across the science window, each with a Gaussian
    core whose sigma grows from 1.2 detector pixels on the axis to 2.3 in the
    corners, wings holding 1 % of the light out to the edges of images as
    large as the detector window, and a 0.5 % ghost; bilinear tables; a
    smooth vignetting. The L1C pixels are ``binning x binning`` detector
    pixels (binned into L1B), 42 detector rows lie below the science window,
    and ``stray_columns`` NOOF columns lie on either side of it.

    Parameters
    ----------
    Kx, Ky : int
        Size of the L1C image.
    binning : int
        Detector pixels per L1C pixel along each axis.
    stray_columns : int
        NOOF columns left and right of the science window (at least 5).

    Returns
    -------
    Instrument
        Stray-light steps (1, 1).
    """
    b, m = int(binning), int(stray_columns)
    if b < 1 or Kx < 1 or Ky < 1 or m < 5:
        raise ValueError("blurred_instrument needs Kx, Ky, binning >= 1 and stray_columns >= 5")
    Sx, Sy = Kx * b, Ky * b
    Dx, Dy = Sx + 8, Sy + 42 + 4
    NOOFx, NOOFy = Dx + 2 * (m - 4), Dy
    windows = Windows(
        FULLCONVx=NOOFx, FULLCONVy=NOOFy, NOFSx=0, NOFSy=0, NOOFx=NOOFx, NOOFy=NOOFy,
        DOFSx=m - 4, DOFSy=0, Dx=Dx, Dy=Dy, SOFSx=4, SOFSy=42, Sx=Sx, Sy=Sy,
        LBINx=b, LBINy=b, Lx=Kx, Ly=Ky, KBINx=1, KBINy=1, Kx=Kx, Ky=Ky,
    ).validate(rows_below=42)
    shape = (Dx + 1 - Dx % 2, Dy + 1 - Dy % 2)
    nodes_x = tuple(4.0 + Sx * f for f in (1 / 6, 1 / 2, 5 / 6))
    nodes_y = tuple(42.0 + Sy * f for f in (1 / 6, 1 / 2, 5 / 6))
    nodes, images = [], []
    for i, x in enumerate(nodes_x):
        for j, y in enumerate(nodes_y):
            nodes.append((x, y))
            images.append(_blurred_psf(shape, i - 1.0, j - 1.0))
    images = np.stack(images)
    centres = np.array([[shape[1] / 2.0, shape[0] / 2.0]] * len(images))
    coeffs, indices = bilinear_tables(nodes_x, nodes_y, windows.detector_table_shape)
    psfs = PSFSet(images, centres, coeffs, indices).check(windows, "detector")
    noof_coeffs, noof_indices = bilinear_tables(
        np.add(nodes_x, windows.DOFSx), np.add(nodes_y, windows.DOFSy), windows.noof_table_shape)
    stray = psfs.with_tables(noof_coeffs, noof_indices).check(windows, "noof")
    vignetting = _vignetting(windows)
    return Instrument(
        name=f"blurred synthetic instrument, {Kx} x {Ky} L1C pixels of {b} x {b}",
        windows=windows, psfs=psfs, stray_psfs=stray, vignetting=vignetting,
        source_step=(1, 1), sample_step=(1, 1), psf_nodes=tuple(nodes),
    )


def demo_scene(windows: Windows) -> np.ndarray:
    """A deterministic L1C test scene for the windows, indexed [y, x].

    A smooth background, a bright extended bar, a few point-like sources of
    different brightness and a dark corner: features whose blurring and
    recovery are easy to see.

    Returns
    -------
    numpy.ndarray, shape (Ky, Kx)
    """
    ky, kx = windows.l1c_image_shape
    y, x = np.mgrid[0:ky, 0:kx].astype(np.float64)
    u, v = (x + 0.5) / kx, (y + 0.5) / ky
    scene = 100.0 + 40.0 * u + 25.0 * np.sin(2.0 * np.pi * v)
    scene += 300.0 * ((np.abs(u - 0.35) < 0.06) & (v > 0.2) & (v < 0.8))
    for (px, py, amp) in ((0.7, 0.3, 900.0), (0.8, 0.75, 500.0), (0.15, 0.6, 700.0), (0.55, 0.08, 400.0)):
        scene += amp * np.exp(-(((u - px) * kx) ** 2 + ((v - py) * ky) ** 2) / 0.8)
    scene[(u > 0.85) & (v > 0.85)] = 10.0
    return scene
