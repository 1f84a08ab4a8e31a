"""The stray-light part of the forward model as a convolution.

Each sampled row of the science window charges its NOOF source pixels left
(right) of the science window to its left (right) end L1C pixel. A source at
NOOF position q, of weight ``w_p(q)`` (steps x vignetting x the coefficient of
measured PSF p), sends ``t[end(q)] * w_p(q) * V_p(R - q)`` to the sampled
science receiver at NOOF position R, which is summed into its L1C pixel and
scaled by 1 / (Bx x By). So the stray light received is, per PSF p, the 2-D
convolution of a weight image on the NOOF grid (the source weights times the
values of their end pixels) with the PSF's table at whole-pixel offsets,
summed over the PSFs and sampled at the receivers. The native core returns the
weight images, the tables (cropped to their non-zero support within reach),
the receivers and the diagonal; the convolutions run here with
:mod:`scipy.fft` on grids padded just enough that the sampled receivers see
no wrapped light, with the transformed tables kept and the PSFs summed in the
frequency domain, one inverse transform per image.

Sources the convolution cannot carry (coefficients that are not finite, or
receivers that are not a grid of NOOF positions) are evaluated per receiver by
the native core into whole rows of their end pixels: bounded by the memory
available, and absent for every consistent set of inputs.
"""

from __future__ import annotations

import numpy as np
from scipy import fft as sfft
from scipy import sparse

from ._scratch import Scratch
from .builds import available_memory

__all__ = ["StrayConvolution", "build_stray"]

# Scratch of one product (a batch of images) is kept below this many bytes.
_BATCH_BYTES = 64 * 2 ** 20


def _length(sources: int, table: int, first: int, last: int, real: bool) -> int:
    """A fast transform length on which the wanted outputs see no wrapped terms.

    Sources sit at [0, sources), table offsets at [0, table); the linear
    convolution fills [0, sources + table - 1) and the outputs wanted are
    [first, last]. Output k is exact when no other k' = k +- N of the linear
    range exists: N > last and N > sources + table - 2 - first.
    """
    n = max(last + 1, sources + table - 1 - first, sources, table, 1)
    return sfft.next_fast_len(n, real=real)


def _mib(n: float) -> str:
    return f"{n / 2 ** 20:.0f} MiB"


class StrayConvolution:
    """The stray-light matrix of a forward model, applied without forming it.

    Made by :func:`build_stray`. Images are float64 arrays (n, Kx, Ky) in
    ``[x, y]`` layout, whose C order is the flat matrix order ``x * Ky + y``;
    ``rows[s, r]`` is the element of the dense stray-light matrix for source
    pixel s and receiving pixel r.

    Attributes
    ----------
    sources : int
        Source L1C pixels (end pixels of the sampled rows).
    nbytes : int
        Bytes held by the tables.
    slots : int
        Measured PSFs the convolution uses.
    exact_sources : int
        Source pixels with sources evaluated per receiver (0 for consistent inputs).
    shape : tuple of int
        The transform grid (Nx, Ny) of the convolution, (0, 0) without one.
    """

    def __init__(self, k: dict, Kx: int, Ky: int, threads: int):
        self.Kx, self.Ky, self.F = int(Kx), int(Ky), int(Kx) * int(Ky)
        self.threads = int(threads)
        self._scratch = Scratch()
        F = self.F
        self._sources = np.asarray(k["sources"], dtype=np.intp)
        self._diagonal = np.asarray(k["diagonal"], dtype=np.float64)
        self.sources = len(self._sources)
        self._exact_sources = np.asarray(k["exact_sources"], dtype=np.intp)
        self._exact_rows = k["exact_rows"]
        self.exact_sources = len(self._exact_sources)

        weights = np.asarray(k["weights"])
        col_x, col_side = np.asarray(k["col_x"], np.int64), np.asarray(k["col_side"], np.intp)
        row_y, ends = np.asarray(k["row_y"], np.int64), np.asarray(k["ends"], np.int64)
        recv_x, recv_y = np.asarray(k["recv_x"], np.int64), np.asarray(k["recv_y"], np.int64)
        recv_r = np.asarray(k["recv_r"], np.int64)
        tables = k["tables"]
        self.slots = weights.shape[0]
        self._active = bool(self.slots and weights.shape[1] and weights.shape[2] and recv_r.size
                            and tables.size)
        self.shape = (0, 0)
        self._nbytes = self._sources.nbytes + self._diagonal.nbytes + self._exact_sources.nbytes
        self._nbytes += self._exact_rows.nbytes
        if not self._active:
            return
        scale = float(k["scale"])
        dx0, dy0 = (int(v) for v in k["offsets"])
        ndx, ndy = tables.shape[1], tables.shape[2]
        xs0, ys0 = int(col_x.min()), int(row_y.min())
        lgx, lgy = int(col_x.max()) - xs0 + 1, int(row_y.max()) - ys0 + 1
        self.Nx = _length(lgx, ndx, int(recv_x.min()) - xs0 - dx0, int(recv_x.max()) - xs0 - dx0, real=False)
        self.Ny = _length(lgy, ndy, int(recv_y.min()) - ys0 - dy0, int(recv_y.max()) - ys0 - dy0, real=True)
        self.Nyf = self.Ny // 2 + 1
        self.shape = (self.Nx, self.Ny)
        # Positions on the grid: sources at their offset from (xs0, ys0), outputs
        # at their offset from (xs0 + dx0, ys0 + dy0), modulo the grid.
        self._cx = col_x - xs0
        self._ry = row_y - ys0
        self._ix = (recv_x - xs0 - dx0) % self.Nx
        self._iy = (recv_y - ys0 - dy0) % self.Ny
        self._ncols, self._nrows = weights.shape[1], weights.shape[2]

        spectra_bytes = self.slots * self.Nx * self.Nyf * 16
        _check_memory(spectra_bytes + 3 * self.Nx * self.Nyf * 16 + self.Nx * self.Ny * 8,
                      "the transformed PSF tables of the stray-light convolution")
        self._spectra = np.empty((self.slots, self.Nx, self.Nyf), dtype=np.complex128)
        for p in range(self.slots):
            self._spectra[p] = sfft.rfft2(tables[p] * scale, s=(self.Nx, self.Ny), workers=self.threads)
        self._weights = weights
        # Receivers into L1C pixels (F x receivers) and end pixels of the
        # (row, side) pairs (F x 2 rows); both 0/1.
        q = np.flatnonzero(recv_r.reshape(-1) >= 0)
        self._receive = sparse.csr_matrix((np.ones(len(q)), (recv_r.reshape(-1)[q], q)), shape=(F, recv_r.size))
        e = np.flatnonzero(ends.reshape(-1) >= 0)
        self._ends = sparse.csr_matrix((np.ones(len(e)), (ends.reshape(-1)[e], e)), shape=(F, ends.size))
        self._side = (col_side[:, None] == np.arange(2)[None, :]).astype(np.float64)   # (ncols, 2)
        self._col_side = col_side
        self._batch = max(1, int(_BATCH_BYTES // (3 * self.Nx * self.Nyf * 16)))
        for a in (self._spectra, self._weights, self._receive.data, self._receive.indices, self._receive.indptr,
                  self._ends.data, self._ends.indices, self._ends.indptr, self._cx, self._ry, self._ix, self._iy):
            self._nbytes += a.nbytes

    @property
    def nbytes(self) -> int:
        """Bytes held by the tables."""
        return int(self._nbytes)

    def _stack(self, t, name: str) -> np.ndarray:
        t = np.asarray(t)
        if t.dtype.kind not in "fiu":
            raise TypeError(f"{name} must hold real numbers, got dtype {t.dtype}")
        if t.ndim != 3 or t.shape[1:] != (self.Kx, self.Ky):
            raise ValueError(f"{name} must have the shape (n, Kx, Ky) = (n, {self.Kx}, {self.Ky}), got {t.shape}")
        return np.ascontiguousarray(t, dtype=np.float64).reshape(t.shape[0], self.F)

    def apply(self, t) -> np.ndarray:
        """The stray light received from scenes: ``out[r] = sum_s rows[s, r] * t[s]``.

        Parameters
        ----------
        t : array_like, shape (n, Kx, Ky)
            Scenes in ``[x, y]`` layout.

        Returns
        -------
        numpy.ndarray, shape (n, Kx, Ky), float64

        Raises
        ------
        ValueError
            ``t`` does not have the shape (n, Kx, Ky).
        TypeError
            It does not hold real numbers.
        """
        return self._product(self._stack(t, "t"), adjoint=False)

    def adjoint(self, y) -> np.ndarray:
        """The adjoint product: ``out[s] = sum_r rows[s, r] * y[r]``.

        Parameters
        ----------
        y : array_like, shape (n, Kx, Ky)
            Images in ``[x, y]`` layout.

        Returns
        -------
        numpy.ndarray, shape (n, Kx, Ky), float64

        Raises
        ------
        ValueError
            ``y`` does not have the shape (n, Kx, Ky).
        TypeError
            It does not hold real numbers.
        """
        return self._product(self._stack(y, "y"), adjoint=True)

    def _product(self, flat: np.ndarray, adjoint: bool) -> np.ndarray:
        """The convolved part in batches of frames, then the exact rows: (n, F) in, (n, Kx, Ky) out."""
        out = np.zeros_like(flat)
        if self._active:
            transform = self._correlate if adjoint else self._convolve
            for b in range(0, len(flat), self._batch):
                out[b:b + self._batch] += transform(flat[b:b + self._batch])
        if self.exact_sources:
            if adjoint:
                out[:, self._exact_sources] += flat @ self._exact_rows.T
            else:
                out += flat[:, self._exact_sources] @ self._exact_rows
        return out.reshape(-1, self.Kx, self.Ky)

    def diagonal(self) -> np.ndarray:
        """The diagonal ``rows[s, s]``, 0 off the sources.

        Returns
        -------
        numpy.ndarray, shape (Kx, Ky), float64
        """
        d = np.zeros(self.F)
        d[self._sources] = self._diagonal
        return d.reshape(self.Kx, self.Ky)

    # -- the convolution on a batch of flat images (n, F) -----------------------------------
    def _convolve(self, flat: np.ndarray) -> np.ndarray:
        n, w = len(flat), self.threads
        ends = (self._ends.T @ flat.T).T.reshape(n, self._nrows, 2)      # t at the end pixels
        scene = np.swapaxes(ends[:, :, self._col_side], 1, 2)           # (n, ncols, nrows)
        rows = np.zeros((n, self._ncols, self.Ny))
        with self._scratch.taken() as scratch:
            grid = scratch("grid", (n, self.Nx, self.Nyf), np.complex128)
            total = scratch("total", (n, self.Nx, self.Nyf), np.complex128)
            total.fill(0.0)
            for p in range(self.slots):
                rows[:, :, self._ry] = scene * self._weights[p]
                grid.fill(0.0)
                grid[:, self._cx] = sfft.rfft(rows, axis=2, workers=w)
                spectrum = sfft.fft(grid, axis=1, workers=w, overwrite_x=True)     # in place, as a rule
                spectrum *= self._spectra[p]
                total += spectrum
                del spectrum
            h = sfft.ifft(total, axis=1, workers=w, overwrite_x=True)[:, self._ix]
            h = sfft.irfft(h, n=self.Ny, axis=2, workers=w)[:, :, self._iy]
        return (self._receive @ h.reshape(n, -1).T).T

    def _correlate(self, flat: np.ndarray) -> np.ndarray:
        n, w = len(flat), self.threads
        received = (self._receive.T @ flat.T).T.reshape(n, len(self._ix), len(self._iy))
        rows = np.zeros((n, len(self._ix), self.Ny))
        rows[:, :, self._iy] = received
        sources = np.zeros((n, self._ncols, self._nrows))
        with self._scratch.taken() as scratch:
            spectrum = scratch("grid", (n, self.Nx, self.Nyf), np.complex128)
            spectrum.fill(0.0)
            spectrum[:, self._ix] = sfft.rfft(rows, axis=2, workers=w)
            spectrum = sfft.fft(spectrum, axis=1, workers=w, overwrite_x=True)
            work = scratch("total", (n, self.Nx, self.Nyf), np.complex128)
            for p in range(self.slots):
                np.multiply(spectrum, np.conj(self._spectra[p]), out=work)
                c = sfft.ifft(work, axis=1, workers=w, overwrite_x=True)[:, self._cx]
                sources += sfft.irfft(c, n=self.Ny, axis=2, workers=w)[:, :, self._ry] * self._weights[p]
        per_end = np.einsum("ncr,cs->nrs", sources, self._side).reshape(n, -1)
        return (self._ends @ per_end.T).T


def _check_memory(need: int, what: str) -> None:
    free = available_memory()
    if free is not None and need > free:
        raise MemoryError(f"{what} need {_mib(need)}, more than the {_mib(free)} of memory available")


def build_stray(native, specs, vig, stray_psfs, dnx: int, dny: int, dsx: int, dsy: int, threads: int, windows, *,
                exact: bool = False) -> StrayConvolution:
    """Builds the stray-light part of a forward model.

    Parameters
    ----------
    native : module
        ``velmora._native``.
    specs : numpy.ndarray
        ``windows.to_array()``.
    vig : numpy.ndarray
        ``velmora.builds.vignetting_buffer(windows, vignetting)``.
    stray_psfs : PSFSet
        PSFs with tables over the NOOF window, checked against the windows.
    dnx, dny, dsx, dsy : int
        Source and sample steps.
    threads : int
        Threads of the native build and of the transforms.
    windows : Windows
    exact : bool
        Evaluate every source per receiver instead of by convolution (for
        checking; needs whole rows of F values per source pixel).

    Returns
    -------
    StrayConvolution

    Raises
    ------
    MemoryError
        The tables, or the rows of the sources evaluated per receiver, do not
        fit the memory available.
    ValueError
        The native core refuses the inputs; the message names the reason.
    """
    free = available_memory()
    limit = float(free) / 2 if free is not None else 1e300
    k = native.stray_kernels(specs, vig, stray_psfs.images, stray_psfs.centres, stray_psfs.coefficients,
                             stray_psfs.indices, dnx, dny, dsx, dsy, threads=threads, exact=bool(exact),
                             max_exact_bytes=limit)
    return StrayConvolution(k, windows.Kx, windows.Ky, threads)
