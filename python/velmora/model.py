"""The matrix-free forward model: ``T @ v`` without forming ``T``.

:func:`forward_model` returns a :class:`ForwardModel`, a
:class:`scipy.sparse.linalg.LinearOperator` of shape (F, F) that equals
``velmora.forward_operator(infield, stray)`` for the matrices that
:func:`~velmora.infield_matrix` and :func:`~velmora.stray_light_matrix` build
from the same arguments, to rounding.

How it works
------------
When the L1C pixels tile the science window from its origin, the light that a
detector pixel sends into the L1C pixels depends only on its PSF coefficients,
on its residue (u, v) inside its L1C pixel and on the L1C offset: the native
core tabulates, per measured PSF and residue, the binned table of shares
``B_p[u][v](i, j)``, and per source the coefficient of each PSF. A product with
the in-field matrix is then a sum over (PSF, u, v) of 2-D convolutions of
weighted scenes with these tables, plus the quadratic scheme's split of each
detector row over the source's own L1C row and its neighbours, plus the
lower-edge strip (1-D convolutions along x of the bottom row). The
convolutions run with :mod:`scipy.fft` (real transforms on L1C grids padded
just enough that nothing wraps, ``workers`` threads): the transformed tables
are kept, the products are summed in the frequency domain and each output
takes one inverse transform. The stray light, whose only sources are the
end pixels of the sampled rows, is a convolution of per-PSF source weight
images with the PSF tables (:mod:`velmora._stray_model`).

Memory is O(F x terms), terms = referenced PSFs x Bx x By (plus the
stray-light tables, PSFs x the transform grid), never O(F^2).
"""

from __future__ import annotations

import numpy as np
from scipy import fft as sfft
from scipy.sparse.linalg import LinearOperator

from ._scratch import Scratch
from ._stray_model import build_stray
from .builds import native_module, resolve_threads, vignetting_buffer
from .errors import ConfigurationError
from .options import (DEFAULT_ROWS_ABOVE, DEFAULT_SCHEME, DEFAULT_STEP, SCHEMES, as_windows, infield_options,
                      stray_light_options)
from .psfs import PSFSet
from .windows import Windows
from .xarray_images import apply_dataarray, is_dataarray

__all__ = ["ForwardModel", "forward_model"]


def _padded(n: int, lo: int, hi: int) -> int:
    """A fast FFT length on which kernel offsets [lo, hi] over n samples do not wrap into [0, n)."""
    return sfft.next_fast_len(n + max(hi, -lo, 0), real=True)


#: Largest core radius (L1C pixels) whose real-space shares the model keeps.
MAX_CORE = 15

#: Bytes of transform scratch a batched product may use before it splits the stack.
_SCRATCH_BYTES = 64 * 2**20


#: Bytes of spectra a product transforms at once, so that they stay in the cache until summed.
_CACHED_BYTES = 8 * 2**20


def _support(tables: np.ndarray) -> tuple[slice, slice]:
    """The smallest (i, j) box of a (terms, nI, nJ) stack of tables that holds every non-zero share."""
    nz = np.any(tables != 0.0, axis=0)
    if not nz.any():
        return slice(0, 0), slice(0, 0)
    rows, cols = np.flatnonzero(nz.any(axis=1)), np.flatnonzero(nz.any(axis=0))
    return slice(rows[0], rows[-1] + 1), slice(cols[0], cols[-1] + 1)


def _check_memory(nbytes: int, what: str) -> None:
    """MemoryError before ``nbytes`` are allocated for ``what`` when they exceed the available memory."""
    from .builds import available_memory
    free = available_memory()
    if free is not None and nbytes > free:
        raise MemoryError(f"{what} need about {nbytes / 2**20:.0f} MiB, but {free / 2**20:.0f} MiB are available")


class _Infield:
    """The in-field matrix as transformed tables and per-source weights.

    Every product takes a stack (n, Kx, Ky) of images in [x, y] layout.
    """

    def __init__(self, k: dict, workers: int):
        self.Kx, self.Ky, self.Bx, self.By = (int(v) for v in k["shape"])
        self.quadratic = bool(k["quadratic"])
        self.scale = float(k["scale"])
        ilo, jlo = (int(v) for v in k["offsets"])
        binned = k["binned"]
        ns = binned.shape[0]
        nI, nJ = binned.shape[3], binned.shape[4]
        self.weights = k["weights"].reshape(ns * self.Bx * self.By, self.Kx, self.Ky)
        self.row_weights = np.asarray(k["row_weights"])
        self.v_of_term = np.tile(np.arange(self.By), ns * self.Bx)
        self.slot_of_term = np.repeat(np.arange(ns), self.Bx * self.By)
        keep = np.flatnonzero(np.any(self.weights != 0.0, axis=(1, 2))) if nI and nJ else np.zeros(0, int)
        self.weights = self.weights[keep]
        self.v_of_term = self.v_of_term[keep]
        self.slot_of_term = self.slot_of_term[keep]
        tables = binned.reshape(ns * self.Bx * self.By, nI, nJ)[keep]
        # The transforms follow the tables' non-zero support, not the PSF images' size.
        si, sj = _support(tables)
        tables = tables[:, si, sj]
        ilo, jlo = ilo + si.start, jlo + sj.start
        nI, nJ = tables.shape[1], tables.shape[2]
        self.Nx = _padded(self.Kx, ilo, ilo + nI - 1)
        self.Ny = _padded(self.Ky, jlo, jlo + nJ - 1)
        # Real-space shares at the offsets |i| <= MAX_CORE + 1, |j| <= MAX_CORE + 2 (for the core split).
        R, Rj = MAX_CORE + 1, MAX_CORE + 2
        self.near_tables = np.zeros((len(keep), 2 * R + 1, 2 * Rj + 1))
        i0, i1 = max(ilo, -R), min(ilo + nI - 1, R)
        j0, j1 = max(jlo, -Rj), min(jlo + nJ - 1, Rj)
        if i0 <= i1 and j0 <= j1:
            self.near_tables[:, i0 + R:i1 + R + 1, j0 + Rj:j1 + Rj + 1] = \
                tables[:, i0 - ilo:i1 - ilo + 1, j0 - jlo:j1 - jlo + 1]
        # Shares at the offsets (0, -1), (0, 0), (0, 1), for the diagonal.
        self.near = self.near_tables[:, R, Rj - 1:Rj + 2].copy()
        _check_memory(len(keep) * self.Nx * (self.Ny * 8 + (self.Ny // 2 + 1) * 16), "the in-field kernel tables")
        # The tables at their offsets, wrapped around the grid (placed there, not rolled: a
        # rolled copy is another array of the kernels' size).
        if nI > self.Nx or nJ > self.Ny:
            raise RuntimeError(f"kernel tables of {nI} x {nJ} offsets do not fit the grid {self.Nx} x {self.Ny}")
        padded = np.zeros((len(keep), self.Nx, self.Ny))
        padded[:, ((np.arange(nI) + ilo) % self.Nx)[:, None], ((np.arange(nJ) + jlo) % self.Ny)[None, :]] = tables
        del tables
        self.kernels = sfft.rfft2(padded, axes=(1, 2), workers=workers)
        del padded
        # Lower edge: tables [slot][u][k][i][J] along x, weights [slot][u][k][x].
        edge = k["edge"]
        self.nJe = edge.shape[4] if edge.size else 0
        if self.nJe:
            nte = edge.shape[0] * edge.shape[1] * edge.shape[2]
            neI = edge.shape[3]
            eilo = int(k["edge_offset"])
            self.edge_weights = k["edge_weights"].reshape(nte, self.Kx)
            keep = np.flatnonzero(np.any(self.edge_weights != 0.0, axis=1))
            self.edge_weights = self.edge_weights[keep]
            etables = np.swapaxes(edge.reshape(nte, neI, self.nJe)[keep], 1, 2)     # (terms, J, i)
            self.Nxe = _padded(self.Kx, eilo, eilo + neI - 1)
            # Real-space edge shares at |i| <= MAX_CORE, J <= MAX_CORE.
            R = MAX_CORE
            self.edge_near = np.zeros((len(keep), min(self.nJe, R + 1), 2 * R + 1))
            i0, i1 = max(eilo, -R), min(eilo + neI - 1, R)
            if i0 <= i1:
                self.edge_near[:, :, i0 + R:i1 + R + 1] = etables[:, :R + 1, i0 - eilo:i1 - eilo + 1]
            padded = np.zeros((len(keep), self.nJe, self.Nxe))
            padded[:, :, :neI] = etables
            padded = np.roll(padded, eilo, axis=2)
            self.edge_kernels = sfft.rfft(padded, axis=2, workers=workers)
        self.terms = len(self.weights)
        self._scratch = Scratch()
        # Which detector row v each term belongs to, as a (By, terms) 0/1 matrix.
        self.row_of_term = (np.arange(self.By)[:, None] == self.v_of_term[None, :]).astype(np.float64)

    def _split(self, t):
        """The scenes seen by each detector row v: (n, Kx, Ky) -> (n, By, Kx, Ky)."""
        if not self.quadratic:
            return np.broadcast_to(t[:, None], (t.shape[0], self.By) + t.shape[1:])
        below = np.concatenate([t[:, :, :1], t[:, :, :-1]], axis=2)
        above = np.concatenate([t[:, :, 1:], t[:, :, -1:]], axis=2)
        w = self.row_weights
        return (w[None, :, 0, None, None] * below[:, None] + w[None, :, 1, None, None] * t[:, None]
                + w[None, :, 2, None, None] * above[:, None])

    def _merge(self, b):
        """The adjoint of :meth:`_split`: (n, By, Kx, Ky) -> (n, Kx, Ky)."""
        if not self.quadratic:
            return b.sum(axis=1)
        w = self.row_weights
        cb = np.einsum("v,nvxy->nxy", w[:, 0], b)
        cc = np.einsum("v,nvxy->nxy", w[:, 1], b)
        ca = np.einsum("v,nvxy->nxy", w[:, 2], b)
        out = cc
        out[:, :, :-1] += cb[:, :, 1:]
        out[:, :, 0] += cb[:, :, 0]
        out[:, :, 1:] += ca[:, :, :-1]
        out[:, :, -1] += ca[:, :, -1]
        return out

    def diagonal(self):
        """The diagonal of the matrix, (Kx, Ky)."""
        d = np.zeros((self.Kx, self.Ky))
        w = self.row_weights[self.v_of_term]              # (terms, 3): below, centre, above
        c = self.weights                                  # (terms, Kx, Ky)
        if self.terms:
            own = w[:, 1, None, None] * np.ones((1, 1, self.Ky))
            if self.quadratic:
                own = own.copy()
                own[:, :, 0] += w[:, 0, None]             # the bottom row is its own lower neighbour
                own[:, :, -1] += w[:, 2, None]            # the top row its own upper neighbour
            else:
                w = np.zeros_like(w)
            d += np.einsum("kxy,ky,k->xy", c, own[:, 0, :], self.near[:, 1])
            # Light of the row above charged to this row (its lower neighbour),
            # arriving one row below its own; and of the row below.
            d[:, :-1] += np.einsum("kxy,k,k->xy", c[:, :, 1:], w[:, 0], self.near[:, 0])
            d[:, 1:] += np.einsum("kxy,k,k->xy", c[:, :, :-1], w[:, 2], self.near[:, 2])
        if self.nJe and len(self.edge_weights):
            d[:, 0] += self.edge_near[:, 0, MAX_CORE] @ self.edge_weights
        return d * self.scale

    def _chunk(self) -> int:
        """Images per batch of a product, so that its spectra fit the scratch allowance."""
        per = max(1, self.terms) * self.Nx * (self.Ny // 2 + 1) * 16
        return max(1, _SCRATCH_BYTES // per)

    def _batched(self, product, t, workers):
        """``product`` over a stack (n, Kx, Ky) in batches whose spectra fit the scratch allowance."""
        out = np.zeros(t.shape)
        step = self._chunk()
        for lo in range(0, t.shape[0], step):
            out[lo:lo + step] = product(t[lo:lo + step], workers)
        return out

    def _term_step(self, n: int) -> int:
        """Terms a product of ``n`` images transforms at once: about ``_CACHED_BYTES`` of spectra."""
        return max(1, min(self.terms, _CACHED_BYTES // max(1, n * self.Nx * (self.Ny // 2 + 1) * 16)))

    def apply(self, t, workers):
        """The matrix applied to a stack (n, Kx, Ky)."""
        return self._batched(self._apply, t, workers)

    def _apply(self, t, workers):
        n = t.shape[0]
        out = np.zeros((n, self.Kx, self.Ky))
        if self.terms:
            a = self._split(t)
            nyh = self.Ny // 2 + 1
            total = np.zeros((n, self.Nx, nyh), dtype=np.complex128)
            # A few terms at a time, so that their scenes, spectra and kernels stay in the
            # cache from the first transform to the sum.
            step = self._term_step(n)
            with self._scratch.taken() as scratch:
                for k0 in range(0, self.terms, step):
                    k1 = min(self.terms, k0 + step)
                    # The weighted scenes go into their zero-padded rows (the padding stays
                    # zero), their row spectra into the Kx first rows of the x transform.
                    g = scratch("scenes", (n, step, self.Kx, self.Ny))[:, :k1 - k0]
                    np.multiply(self.weights[None, k0:k1], a[:, self.v_of_term[k0:k1]], out=g[..., :self.Ky])
                    spectra = scratch("spectra", (n, step, self.Nx, nyh), np.complex128)[:, :k1 - k0]
                    # Along y first, on the Kx rows that hold values; then along x, in place.
                    spectra[:, :, :self.Kx] = sfft.rfft(g, axis=3, workers=workers)
                    spectra[:, :, self.Kx:] = 0.0
                    spectra = sfft.fft(spectra, axis=2, workers=workers, overwrite_x=True)
                    for k in range(k0, k1):
                        np.multiply(spectra[:, k - k0], self.kernels[k], out=spectra[:, k - k0])
                        total += spectra[:, k - k0]
            del a
            out += sfft.irfft2(total, s=(self.Nx, self.Ny), axes=(1, 2), workers=workers)[:, :self.Kx, :self.Ky]
            del total
        if self.nJe and len(self.edge_weights):
            g = self.edge_weights[None] * t[:, None, :, 0]
            spectra = sfft.rfft(g, n=self.Nxe, axis=2, workers=workers)
            total = np.einsum("nkf,kjf->njf", spectra, self.edge_kernels)
            out[:, :, :self.nJe] += np.swapaxes(
                sfft.irfft(total, n=self.Nxe, axis=2, workers=workers)[:, :, :self.Kx], 1, 2)
        return out * self.scale

    def adjoint(self, y, workers):
        """The adjoint applied to a stack (n, Kx, Ky)."""
        return self._batched(self._adjoint, y, workers)

    def _adjoint(self, y, workers):
        n = y.shape[0]
        out = np.zeros((n, self.Kx, self.Ky))
        if self.terms:
            spectrum = np.conj(sfft.rfft2(y, s=(self.Nx, self.Ny), axes=(1, 2), workers=workers))
            b = np.zeros((n, self.By, self.Kx, self.Ky))
            with self._scratch.taken() as scratch:
                # A few terms at a time, as in the product.
                step = self._term_step(n)
                for k0 in range(0, self.terms, step):
                    ks = slice(k0, min(self.terms, k0 + step))
                    # conj(kernel) * spectrum, as the conjugate of kernel * conj(spectrum), in place.
                    products = scratch("spectra", (n, step, self.Nx, self.Ny // 2 + 1),
                                       np.complex128)[:, :ks.stop - k0]
                    np.multiply(self.kernels[None, ks], spectrum[:, None], out=products)
                    np.conjugate(products, out=products)
                    # Back along x in place, keeping the Kx rows wanted, then along y.
                    products = sfft.ifft(products, axis=2, workers=workers, overwrite_x=True)
                    h = sfft.irfft(products[:, :, :self.Kx], n=self.Ny, axis=3, workers=workers)[..., :self.Ky]
                    h *= self.weights[None, ks]
                    b += np.einsum("vk,nkxy->nvxy", self.row_of_term[:, ks], h)
                    del h
            del spectrum
            out += self._merge(b)
        if self.nJe and len(self.edge_weights):
            spectrum = sfft.rfft(np.swapaxes(y[:, :, :self.nJe], 1, 2), n=self.Nxe, axis=2, workers=workers)
            total = np.einsum("njf,kjf->nkf", spectrum, np.conj(self.edge_kernels))
            h = sfft.irfft(total, n=self.Nxe, axis=2, workers=workers)[:, :, :self.Kx]
            out[:, :, 0] += np.einsum("nkx,kx->nx", h, self.edge_weights)
        return out * self.scale

    # -- the core of the matrix, for the stray-light correction -----------------------
    def core_shares(self, rx: int, ry: int) -> np.ndarray:
        """The matrix entries at the L1C offsets |dx| <= rx, |dy| <= ry.

        Returns
        -------
        numpy.ndarray, shape ((2 rx + 1) (2 ry + 1), Kx, Ky)
            ``C[d, x, y]`` is the share of source (x, y) received by
            (x + dx, y + dy), d enumerating (dx, dy) with dy fastest; 0 where
            the receiver lies outside the window.
        """
        Kx, Ky = self.Kx, self.Ky
        offsets = [(dx, dy) for dx in range(-rx, rx + 1) for dy in range(-ry, ry + 1)]
        C = np.zeros((len(offsets), Kx * Ky))
        R, Rj = MAX_CORE + 1, MAX_CORE + 2
        if self.terms:
            w = self.weights
            rw = self.row_weights[self.v_of_term] if self.quadratic else np.tile([0.0, 1.0, 0.0], (self.terms, 1))
            # The scene of row y reaches the detector rows of its own L1C row (centre
            # weight) and, through the quadratic split, those of the rows above and
            # below it; the bottom and top rows are their own outer neighbours.
            own = np.repeat(rw[:, 1, None], Ky, axis=1)
            own[:, 0] += rw[:, 0]
            own[:, -1] += rw[:, 2]
            Wc = w * own[:, None, :]
            Wup = np.zeros_like(w)        # source s charged through its upper neighbour's lower weight
            Wup[:, :, :-1] = w[:, :, 1:] * rw[:, 0, None, None]
            Wdn = np.zeros_like(w)
            Wdn[:, :, 1:] = w[:, :, :-1] * rw[:, 2, None, None]
            B = np.concatenate([Wc, Wup, Wdn]).reshape(3 * self.terms, Kx * Ky)
            nt = self.near_tables
            A = np.empty((len(offsets), 3 * self.terms))
            for n, (dx, dy) in enumerate(offsets):
                A[n, :self.terms] = nt[:, dx + R, dy + Rj]
                A[n, self.terms:2 * self.terms] = nt[:, dx + R, dy - 1 + Rj]
                A[n, 2 * self.terms:] = nt[:, dx + R, dy + 1 + Rj]
            C += A @ B
        C = C.reshape(len(offsets), Kx, Ky)
        if self.nJe and len(self.edge_weights):
            en = self.edge_near
            for n, (dx, dy) in enumerate(offsets):
                if 0 <= dy < en.shape[1]:
                    C[n, :, 0] += en[:, dy, dx + MAX_CORE] @ self.edge_weights
        C *= self.scale
        x = np.arange(Kx)[:, None]
        y = np.arange(Ky)[None, :]
        for n, (dx, dy) in enumerate(offsets):
            C[n] *= (x + dx >= 0) & (x + dx < Kx) & (y + dy >= 0) & (y + dy < Ky)
        return C

    def local_kernels(self, nodes: tuple[int, int]):
        """The transfer functions of the matrix around a grid of field positions.

        Returns the spectra (nodes, Nx, Ny // 2 + 1) of the kernel that the
        sources at each node of an even nx x ny grid over the L1C window see:
        every term weighted by its coefficient there, with the row split of
        the quadratic scheme.
        """
        nx, ny = nodes
        cx = np.linspace(0, self.Kx - 1, nx) if nx > 1 else np.array([(self.Kx - 1) / 2])
        cy = np.linspace(0, self.Ky - 1, ny) if ny > 1 else np.array([(self.Ky - 1) / 2])
        split = np.zeros((self.By, self.Ny))
        if self.quadratic:
            for e, column in ((0, 1 % self.Ny), (1, 0), (2, -1 % self.Ny)):
                split[:, column] += self.row_weights[:, e]
        else:
            split[:, 0] = 1.0
        split = sfft.rfft(split, axis=1)[self.v_of_term]                   # (terms, Ny // 2 + 1)
        spectra = np.zeros((nx * ny, self.Nx, self.Ny // 2 + 1), dtype=complex)
        for a, x in enumerate(np.rint(cx).astype(int)):
            for b, y in enumerate(np.rint(cy).astype(int)):
                w = self.weights[:, x, y] * self.scale
                spectra[a * ny + b] = np.einsum("k,kij,kj->ij", w, self.kernels, split)
        return spectra


class ForwardModel(LinearOperator):
    """The forward operator ``T`` (``observed = T @ true``) applied without forming it.

    Made by :func:`forward_model`. A :class:`scipy.sparse.linalg.LinearOperator`
    of shape (F, F) and dtype float64 on flat vectors in matrix order
    (``x * Ky + y``): ``op @ v``, :meth:`matvec`, :meth:`matmat`, and the exact
    adjoint through ``op.H``, :meth:`rmatvec`, :meth:`rmatmat`.

    Attributes
    ----------
    windows : Windows
        The windows of the model; images must have the shape (Ky, Kx).
    threads : int
        Worker threads of the transforms.
    terms : int
        Convolution terms of the in-field part (PSFs x Bx x By with a non-zero weight).
    stray_sources : int
        Source pixels of the stray-light part (0 without stray light).
    nbytes : int
        Memory held by the tables.

    Notes
    -----
    Products are safe to run from several threads at once. Each thread that
    applies the model keeps the transform buffers of its last product for the
    next one, since mapping them afresh costs more than the transforms: a few
    tens of MiB (the spectra of a few in-field terms and of one batch of the
    stray-light part, or of one frame where that is more). They go with the
    thread or the model.
    """

    def __init__(self, windows: Windows, infield: _Infield, stray, threads: int, adjoint: bool = False):
        super().__init__(dtype=np.float64, shape=(windows.F, windows.F))
        self.windows = windows
        self.threads = threads
        self._infield = infield
        self._stray = stray
        self._is_adjoint = adjoint
        self.terms = infield.terms
        self.stray_sources = 0 if stray is None else stray.sources

    @property
    def infield_tables(self):
        """The in-field tables of the model (what the correction's core split and preconditioner read)."""
        return self._infield

    @property
    def nbytes(self) -> int:
        """Bytes of the tables the model holds."""
        f = self._infield
        n = f.kernels.nbytes + f.weights.nbytes
        if f.nJe:
            n += f.edge_kernels.nbytes + f.edge_weights.nbytes
        if self._stray is not None:
            n += self._stray.nbytes
        return int(n)

    # -- stacks of images in [x, y] layout --------------------------------------------
    def apply_stack(self, t: np.ndarray, adjoint: bool = False) -> np.ndarray:
        """The operator (or its adjoint) applied to a stack (n, Kx, Ky) of images in [x, y] layout, in one pass of
        the tables."""
        f = self._infield
        out = f.adjoint(t, self.threads) if adjoint else f.apply(t, self.threads)
        if self._stray is not None:
            out += (self._stray.adjoint if adjoint else self._stray.apply)(t)
        return out

    def _columns(self, X: np.ndarray, adjoint: bool) -> np.ndarray:
        if np.iscomplexobj(X):  # a real operator: real and imaginary parts apart
            X = np.asarray(X)
            return self._columns(X.real, adjoint) + 1j * self._columns(X.imag, adjoint)
        X = np.asarray(X, dtype=np.float64)
        if X.ndim != 2 or X.shape[0] != self.shape[0]:
            raise ValueError(f"expected an array of shape ({self.shape[0]}, k), got {X.shape}")
        kx, ky = self.windows.Kx, self.windows.Ky
        stack = np.ascontiguousarray(X.T).reshape(-1, kx, ky)
        return self.apply_stack(stack, adjoint).reshape(X.shape[1], -1).T

    def _matvec(self, x):
        return self._matmat(np.asarray(x).reshape(-1, 1)).reshape(np.shape(x))

    def _rmatvec(self, x):
        return self._rmatmat(np.asarray(x).reshape(-1, 1)).reshape(np.shape(x))

    def _matmat(self, X):
        return self._columns(X, self._is_adjoint)

    def _rmatmat(self, X):
        return self._columns(X, not self._is_adjoint)

    def _adjoint(self):
        return ForwardModel(self.windows, self._infield, self._stray, self.threads, not self._is_adjoint)

    _transpose = _adjoint

    # -- images ------------------------------------------------------------------------
    def _images(self, images, adjoint: bool) -> np.ndarray:
        images = np.asarray(images)
        if images.dtype.kind not in "fiu":
            raise TypeError(f"images must hold real numbers, got dtype {images.dtype}")
        expected = self.windows.l1c_image_shape
        if images.ndim < 2 or images.shape[-2:] != expected:
            hint = " (is it transposed?)" if images.ndim >= 2 and images.shape[-2:] == expected[::-1] else ""
            raise ValueError(f"images must have the shape (..., Ky, Kx) = (..., {expected[0]}, {expected[1]}) of "
                             f"the model's L1C window, got {images.shape}{hint}")
        stack = np.asarray(images, dtype=np.float64).reshape((-1,) + expected)
        # [y, x] images -> [x, y] arrays, whose C order is the flat matrix order.
        out = self.apply_stack(np.ascontiguousarray(np.swapaxes(stack, 1, 2)), adjoint)
        out = np.swapaxes(out, 1, 2)
        return out.reshape(images.shape)

    def apply(self, images, *, dims=("y", "x")):
        """The operator applied to L1C image(s): the observed images of true scenes.

        Parameters
        ----------
        images : array_like, shape (..., Ky, Kx), or xarray.DataArray
            Image(s) indexed ``[y, x]``; or a DataArray with the image
            dimensions ``dims`` (see :mod:`velmora.xarray_images`).
        dims : (str, str)
            With a DataArray: the names of its y and x dimensions.

        Returns
        -------
        numpy.ndarray, shape (..., Ky, Kx), float64, or xarray.DataArray

        Raises
        ------
        ValueError
            The images do not have the shape (..., Ky, Kx) of the model's windows.
        TypeError
            They do not hold real numbers.
        """
        if is_dataarray(images):
            return apply_dataarray(self, images, dims=dims)
        return self._images(images, self._is_adjoint)

    def apply_adjoint(self, images, *, dims=("y", "x")):
        """The adjoint ``T.H`` applied to L1C image(s).

        Parameters
        ----------
        images : array_like, shape (..., Ky, Kx), or xarray.DataArray
            Image(s) indexed ``[y, x]``; or a DataArray with the image
            dimensions ``dims`` (see :mod:`velmora.xarray_images`).
        dims : (str, str)
            With a DataArray: the names of its y and x dimensions.

        Returns
        -------
        numpy.ndarray, shape (..., Ky, Kx), float64, or xarray.DataArray

        Raises
        ------
        ValueError
            The images do not have the shape (..., Ky, Kx) of the model's windows.
        TypeError
            They do not hold real numbers.
        """
        if is_dataarray(images):
            return apply_dataarray(self, images, adjoint=True, dims=dims)
        return self._images(images, not self._is_adjoint)

    def diagonal(self) -> np.ndarray:
        """The diagonal of the operator, from its tables (no products).

        Returns
        -------
        numpy.ndarray, shape (F,)
            ``numpy.diag(model.todense())`` to rounding, as a flat vector.
        """
        d = self._infield.diagonal().reshape(-1)
        if self._stray is not None:
            d += self._stray.diagonal().reshape(-1)
        return d

    def todense(self) -> np.ndarray:
        """The operator as a dense (F, F) array (F products; for checking small models).

        Returns
        -------
        numpy.ndarray, shape (F, F)
            Equal to ``velmora.forward_operator(infield, stray)`` to rounding.
        """
        return self._matmat(np.eye(self.shape[0]))


def forward_model(windows: Windows, psfs: PSFSet, *, scheme: str = DEFAULT_SCHEME, lower_edge: bool = True,
                  rows_below: int | None = None, rows_above: int = DEFAULT_ROWS_ABOVE,
                  stray_psfs: PSFSet | None = None, vignetting=None, source_step=DEFAULT_STEP,
                  sample_step=DEFAULT_STEP,
                  threads: int | None = None) -> ForwardModel:
    """The forward operator of an instrument as a matrix-free :class:`ForwardModel`.

    Parameters
    ----------
    windows : Windows
        The windowing parameters (a sequence of 22 integers is accepted too).
    psfs : PSFSet
        Measured PSFs with tables over the detector window, as for
        :func:`~velmora.infield_matrix`.
    scheme, lower_edge, rows_below, rows_above
        The in-field options, meaning what they mean for :func:`~velmora.infield_matrix`.
    stray_psfs : PSFSet, optional
        PSFs with tables over the NOOF window: the stray light of
        :func:`~velmora.stray_light_matrix` is included when given.
    vignetting, source_step, sample_step
        The stray-light options, as for :func:`~velmora.stray_light_matrix`
        (used only with ``stray_psfs``).
    threads : int, optional
        Threads of the table builds and of the transforms; see
        :func:`~velmora.resolve_threads`.

    Returns
    -------
    ForwardModel
        ``model @ v == forward_operator(infield, stray) @ v`` to rounding.

    Raises
    ------
    ConfigurationError
        (a ValueError) Inconsistent windows or PSF sets, or a vignetting image
        of the wrong shape.
    ValueError
        The convolution tables do not describe these windows (the L1C pixels are
        not whole bins of science pixels counted from the science window's
        origin), a PSF lookup fails or gives a coefficient that is not finite;
        the message names the reason.
    TypeError
        An option has a wrong type.

    Notes
    -----
    Construction costs the tables: O(PSFs x Bx x By x F) plus one transform
    per term. One product costs one forward transform per term and a single
    inverse transform.
    """
    windows = as_windows(windows)
    o = infield_options(windows, scheme, lower_edge, rows_below, rows_above)
    nthreads = resolve_threads(threads)
    if not isinstance(psfs, PSFSet):
        raise TypeError(f"psfs must be a velmora.PSFSet, got {type(psfs).__name__}")
    problems = windows.problems(rows_below=o.rows_below if o.lower_edge else None)
    if problems:
        raise ConfigurationError("windows", problems)
    psfs.check(windows, "detector")
    native = native_module()
    specs = windows.to_array()
    tables = native.infield_kernels(specs, psfs.images, psfs.centres, psfs.coefficients, psfs.indices,
                                    quadratic=SCHEMES[o.scheme], lower_edge=o.lower_edge,
                                    rows_below=o.rows_below, rows_above=o.rows_above, threads=nthreads)
    infield = _Infield(tables, nthreads)
    del tables
    stray = None
    if stray_psfs is not None:
        if not isinstance(stray_psfs, PSFSet):
            raise TypeError(f"stray_psfs must be a velmora.PSFSet, got {type(stray_psfs).__name__}")
        steps = stray_light_options(source_step, sample_step)
        (dnx, dny), (dsx, dsy) = steps.source_step, steps.sample_step
        stray_psfs.check(windows, "noof")
        vig = vignetting_buffer(windows, vignetting)
        stray = build_stray(native, specs, vig, stray_psfs, dnx, dny, dsx, dsy, nthreads, windows)
    return ForwardModel(windows, infield, stray, nthreads)
