"""Correction of observed images: what is solved for, and how.

:class:`Corrector` corrects observed L1C images with the forward operator
``T`` of an instrument, given as matrices (the in-field matrix and,
optionally, the stray-light matrix, dense or compact) or as a matrix-free
:class:`~velmora.ForwardModel`.

Targets
-------
``"scene"``
    The true scene ``x`` with ``T x = b``: a deconvolution of the whole PSF,
    core included. Exact, but it amplifies noise where the PSF core is wide.
``"stray-light"``
    Only the light that lands far from its source is removed. ``T`` is split
    by L1C offset into a core ``T_core`` (source and receiver within
    ``core = (rx, ry)`` L1C pixels of each other, in-field light only) and
    the far field ``T_far = T - T_core`` (all other in-field shares and all
    horizontal stray light). With ``c_s`` the core's column sum of source
    ``s`` and ``D = T_far diag(1 / c)``, the observed image is modelled as
    ``b = (I + D) y``, where ``y`` is the image an instrument without far-field
    light would record (each source's light kept in its core, blurred as the
    core blurs it). The correction returns ``y``. This is the matrix method of
    Zong et al. (2006, Applied Optics 45, 1111), with the far field taken from
    the operator itself; ``I + D`` is close to the identity, so the solve is
    well conditioned and converges in a few iterations.

Methods
-------
``"lu"``
    Dense LU factorisation, made once; the default for matrices. O(F^3) to
    factorise and O(F^2) memory.
``"gmres"``
    Restarted GMRES with right preconditioning, the frames of a stack in
    groups with one pass of the operator per iteration (small frames all
    together, frames of a few MiB and more one or two at a time), to the
    relative residual ``rtol`` of each frame; the default for a forward model.
``"lsmr"``
    Tikhonov-regularised least squares, ``min |A x - b|^2 + damp^2 |x|^2``, by
    :func:`scipy.sparse.linalg.lsmr`, frame by frame.
``"van-cittert"``
    A fixed number of iterations ``x <- x + relaxation (b - A x)`` from
    ``x = b``: stopping early regularises.

Preconditioners (``"gmres"``)
-----------------------------
``"kernel"``
    The inverse of the model's own kernel, applied by FFT (a circulant
    preconditioner): the kernels that the sources at a 3 x 3 grid of field
    positions see (their PSF coefficients blending the measured PSFs) are
    sampled, and every frequency is divided by the largest of their
    magnitudes, never by less than 1 % of the peak. The least blurring kernel
    of the field is inverted, so no source is deconvolved beyond its own blur:
    blending the inverses of the local kernels instead was measured to stall
    GMRES where the PSF width changes across the field. Images are extended
    by reflection at their edges. Forward models only; the default for the
    ``"scene"`` target there.
``"diagonal"``
    The inverse of the operator's diagonal; the default for matrices.
``None``
    None; the default for the ``"stray-light"`` target.
"""

from __future__ import annotations

import threading
import warnings

import numpy as np

from .errors import ConvergenceError, ConvergenceWarning
from .layout import check_image, image_to_vector, total_bytes, vector_to_image
from .model import MAX_CORE, ForwardModel

__all__ = ["DEFAULT_CORE", "METHODS", "PRECONDITIONERS", "TARGETS", "Corrector", "correct"]

#: The correction methods.
METHODS = ("lu", "gmres", "lsmr", "van-cittert")
#: What a correction solves for.
TARGETS = ("scene", "stray-light")
#: The preconditioners of ``"gmres"`` (``"auto"`` chooses one; None or ``"none"`` for none).
PRECONDITIONERS = ("auto", "kernel", "diagonal", None)
#: The default core of the ``"stray-light"`` target: L1C pixels within 3 of the
#: source along x and along y (a 7 x 7 box) keep their light.
DEFAULT_CORE = (3, 3)
#: Smallest kernel magnitude the ``"kernel"`` preconditioner divides by, relative to the kernel's peak.
KERNEL_REGULARISATION = 0.01

#: Bytes of one vector per frame of a group of frames solved together by GMRES. Below
#: 4 MiB, the size from which NumPy asks for huge pages: every temporary of a group
#: larger than that is mapped and zeroed afresh by the system, which for large frames
#: costs more than solving them together saves.
_GROUP_BYTES = 4 * 2**20 - 1

_ON_FAILURE = ("warn", "raise", "ignore")
_MISSING = ("raise", "mask")


def _is_model(value) -> bool:
    """A forward model, or another operator that knows its windows and diagonal (a stored matrix's)."""
    if isinstance(value, ForwardModel):
        return True
    from scipy.sparse.linalg import LinearOperator
    return (isinstance(value, LinearOperator) and hasattr(value, "windows")
            and callable(getattr(value, "diagonal", None)))


def _positive(name, value, kind=float):
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)) or not value > 0:
        raise ValueError(f"{name} must be a positive number, got {value!r}")
    return kind(value)


def _core(core) -> tuple[int, int]:
    if core is None:
        return DEFAULT_CORE
    try:
        rx, ry = core
    except (TypeError, ValueError):
        raise ValueError(f"core must be a pair (rx, ry) of L1C pixel counts, got {core!r}") from None
    for v in (rx, ry):
        if isinstance(v, bool) or not isinstance(v, (int, np.integer)) or not 0 <= v <= MAX_CORE:
            raise ValueError(f"core must be a pair (rx, ry) of whole numbers from 0 to {MAX_CORE}, got {core!r}")
    return int(rx), int(ry)


def _shift_add(out, values, dx, dy):
    """out[:, x + dx, y + dy] += values[:, x, y] where both lie in the window."""
    kx, ky = values.shape[-2:]
    xs, xd = slice(max(0, -dx), min(kx, kx - dx)), slice(max(0, dx), min(kx, kx + dx))
    ys, yd = slice(max(0, -dy), min(ky, ky - dy)), slice(max(0, dy), min(ky, ky + dy))
    out[:, xd, yd] += values[:, xs, ys]


# ---------------------------------------------------------------------------
# The system A x = b that a correction solves, on stacks of flat vectors (n, F)
# ---------------------------------------------------------------------------
class _ModelSystem:
    """``A`` of a forward model: ``T`` (scene) or ``I + T_far diag(1/c)`` (stray light)."""

    def __init__(self, model, target: str, core: tuple[int, int]):
        self.model = model
        self.windows = model.windows
        self.F = model.shape[0]
        self.target = target
        self._matrix_free = isinstance(model, ForwardModel)
        if target == "stray-light":
            if not self._matrix_free:
                raise ValueError("target='stray-light' needs a velmora.ForwardModel or the matrices themselves; "
                                 "this operator cannot be split into its core and far field")
            rx, ry = core
            self.offsets = [(dx, dy) for dx in range(-rx, rx + 1) for dy in range(-ry, ry + 1)]
            self.shares = model.infield_tables.core_shares(rx, ry)
            colsum = self.shares.sum(axis=0)
            bad = ~(colsum > 0) | ~np.isfinite(colsum)
            if bad.any():
                raise np.linalg.LinAlgError(f"the core {core} of {int(bad.sum())} source pixel(s) holds no light, "
                                            "so their far field cannot be scaled; use a larger core")
            self.inverse_colsum = (1.0 / colsum).reshape(-1)

    def _images(self, X):
        kx, ky = self.windows.Kx, self.windows.Ky
        return np.ascontiguousarray(X).reshape(-1, kx, ky)

    def _T(self, X, adjoint=False):
        if self._matrix_free:
            return self.model.apply_stack(self._images(X), adjoint).reshape(X.shape)
        product = self.model.rmatmat if adjoint else self.model.matmat
        return np.asarray(product(np.ascontiguousarray(X.T))).T.reshape(X.shape)

    def core(self, X, adjoint=False):
        """``T_core`` (or its adjoint) applied to (n, F)."""
        t = self._images(X)
        out = np.zeros_like(t)
        scratch = np.empty_like(t[:1])
        for k in range(len(t)):          # frame by frame: the products stay in the caches
            for share, (dx, dy) in zip(self.shares, self.offsets, strict=True):
                if adjoint:              # out[s] += C_d[s] y[s + d]
                    scratch[0] = 0.0
                    _shift_add(scratch, t[k:k + 1], -dx, -dy)
                    out[k] += share * scratch[0]
                else:                    # out[s + d] += C_d[s] x[s]
                    np.multiply(share, t[k], out=scratch[0])
                    _shift_add(out[k:k + 1], scratch, dx, dy)
        return out.reshape(X.shape)

    def apply(self, X):
        if self.target == "scene":
            return self._T(X)
        scaled = X * self.inverse_colsum
        return X + self._T(scaled) - self.core(scaled)

    def adjoint(self, X):
        """``A^H`` applied to (n, F): ``X + diag(1/c) (T^H X - T_core^H X)`` for the far field."""
        if self.target == "scene":
            return self._T(X, adjoint=True)
        return X + self.inverse_colsum * (self._T(X, adjoint=True) - self.core(X, adjoint=True))

    def perturbation(self, X):
        """The part of ``A`` whose relative uncertainty ``operator_uncertainty`` is, applied to (n, F).

        ``"stray-light"``: the far field ``D``; ``"scene"``: the stray light of the model (None
        when the operator has none, or cannot tell it apart).
        """
        if self.target == "stray-light":
            return self.apply(X) - X
        stray = getattr(self.model, "_stray", None) if self._matrix_free else None
        if stray is None:
            return None
        return stray.apply(self._images(X)).reshape(X.shape)

    def perturbs(self) -> bool:
        """Whether :meth:`perturbation` has anything to apply."""
        return self.target == "stray-light" or (self._matrix_free and getattr(self.model, "_stray", None) is not None)

    def diagonal(self):
        d = np.asarray(self.model.diagonal(), dtype=np.float64).reshape(-1)
        if self.target == "scene":
            return d
        centre = self.offsets.index((0, 0))
        return 1.0 + (d - self.shares[centre].reshape(-1)) * self.inverse_colsum

    def dense(self):
        """``A`` as a dense (F, F) array (F products)."""
        return self.apply(np.eye(self.F)).T.copy()


class _DenseSystem:
    """``A`` of dense matrices, kept transposed (``At``, the velmora ``[s, r]`` layout)."""

    def __init__(self, infield, stray_light, windows, target: str, core: tuple[int, int]):
        total, self.windows = total_bytes(infield, stray_light, windows)
        self.F = total.shape[0]
        self.target = target
        self._stray = None
        if target == "scene" and stray_light is not None:
            from .layout import is_sparse, unwrap
            (stray,), _ = unwrap((("stray-light", stray_light),), None)
            self._stray = stray.tocsr() if is_sparse(stray) else np.asarray(stray, dtype=np.float64)
        if not np.all(np.isfinite(total)):
            raise np.linalg.LinAlgError("the matrix holds values that are not finite")
        if target == "scene":
            self.At = total
            return
        if self.windows is None:
            raise ValueError("target='stray-light' needs the windows of the matrices (windows=..., or a "
                             "LoadedMatrix) to know which pixels are neighbours")
        ky = self.windows.Ky
        inf = _infield_alone(infield)
        x, y = np.divmod(np.arange(self.F), ky)
        near = (np.abs(x[:, None] - x[None, :]) <= core[0]) & (np.abs(y[:, None] - y[None, :]) <= core[1])
        core_t = np.where(near, inf, 0.0)                   # [s, r]
        colsum = core_t.sum(axis=1)
        bad = ~(colsum > 0)
        if bad.any():
            raise np.linalg.LinAlgError(f"the core {core} of {int(bad.sum())} source pixel(s) holds no light, "
                                        "so their far field cannot be scaled; use a larger core")
        # At[s, r] = delta + (T[s, r] - core[s, r]) / c_s
        At = (total - core_t) / colsum[:, None]
        At[np.diag_indices(self.F)] += 1.0
        self.At = At

    def apply(self, X):
        return X @ self.At

    def adjoint(self, X):
        return X @ self.At.T

    def perturbs(self) -> bool:
        return self.target == "stray-light" or self._stray is not None

    def perturbation(self, X):
        """The part of ``A`` that ``operator_uncertainty`` scales, applied to (n, F) (see _ModelSystem)."""
        if self.target == "stray-light":
            return self.apply(X) - X
        if self._stray is None:
            return None
        return np.asarray(self._stray.T @ X.T).T if not isinstance(self._stray, np.ndarray) else X @ self._stray

    def diagonal(self):
        return np.diag(self.At).copy()

    def dense(self):
        return self.At.T


def _infield_alone(infield):
    """The in-field matrix alone as a dense array (the core of the stray-light target)."""
    from .layout import square_matrix, unwrap
    (inf,), _ = unwrap((("in-field", infield),), None)
    return square_matrix("in-field", inf)


class _PreparedSystem(_DenseSystem):
    """A dense ``A`` formed already (from a forward model, for ``"lu"``)."""

    def __init__(self, At, windows):
        self.At, self.windows, self.F, self.target = At, windows, At.shape[0], "prepared"


# ---------------------------------------------------------------------------
# Preconditioners on stacks of flat vectors
# ---------------------------------------------------------------------------
class _KernelPreconditioner:
    """The inverse of the model's envelope kernel, applied by FFT (see the module notes).

    The transfer functions of the kernels at a grid of field positions are
    sampled; the preconditioner divides by their largest magnitude at every
    frequency (with the phase of their mean), never by less than
    ``regularisation`` times the kernels' peak. Dividing by the least blurring
    kernel inverts no source's blur more than it has, so the preconditioned
    operator keeps its spectrum inside the unit disc instead of amplifying
    the frequencies where the kernels differ across the field.
    """

    def __init__(self, model: ForwardModel, nodes=(3, 3), regularisation=KERNEL_REGULARISATION):
        from scipy import fft as sfft
        f = model.infield_tables
        self.Kx, self.Ky, self.Nx, self.Ny = f.Kx, f.Ky, f.Nx, f.Ny
        self.threads = model.threads
        spectra = f.local_kernels((min(nodes[0], f.Kx), min(nodes[1], f.Ky)))
        magnitude = np.abs(spectra).max(axis=0)
        mean = spectra.mean(axis=0)
        del spectra
        size = np.abs(mean)
        phase = np.where(size > 0, np.conj(mean) / np.where(size > 0, size, 1.0), 1.0)
        floor = regularisation * max(1e-300, float(magnitude.max()))
        self.inverse = phase / np.maximum(magnitude, floor)
        self._fft = sfft

    def __call__(self, X):
        sfft = self._fft
        t = np.ascontiguousarray(X).reshape(-1, self.Kx, self.Ky)
        # Images extended by reflection at their edges, so that the edges do not ring.
        px, py = (self.Nx - self.Kx) // 2, (self.Ny - self.Ky) // 2
        ext = np.pad(t, ((0, 0), (px, self.Nx - self.Kx - px), (py, self.Ny - self.Ky - py)), mode="symmetric")
        ext = np.roll(ext, (-px, -py), axis=(1, 2))
        spectrum = sfft.rfft2(ext, axes=(1, 2), workers=self.threads)
        del ext
        spectrum *= self.inverse[None]
        out = sfft.irfft2(spectrum, s=(self.Nx, self.Ny), axes=(1, 2), workers=self.threads)[:, :self.Kx, :self.Ky]
        return np.ascontiguousarray(out).reshape(X.shape)


# ---------------------------------------------------------------------------
# Batched restarted GMRES with right preconditioning
# ---------------------------------------------------------------------------
def _gmres(apply, b, x0, M, rtol, restart, maxiter):
    """Solve ``A x = b`` for every row of ``b`` (n, F) at once.

    Every iteration is one product of ``A`` (and ``M``) with the stack of the
    frames still iterating: ``apply(X, rows)`` applies ``A`` to the frames
    ``rows`` of the stack. Returns x, iterations and whether each frame's
    residual estimate reached ``rtol``.
    """
    n, F = b.shape
    x = x0.copy()
    bnorm = np.linalg.norm(b, axis=1)
    iterations = np.zeros(n, dtype=int)
    done = bnorm == 0.0
    x[done] = 0.0
    precondition = M if M is not None else (lambda v: v)
    while True:
        active = np.flatnonzero(~done & (iterations < maxiter))
        if not len(active):
            break
        r = b[active] - apply(x[active], active)
        beta = np.linalg.norm(r, axis=1)
        ok = beta <= rtol * bnorm[active]
        done[active[ok]] = True
        active, r, beta = active[~ok], r[~ok], beta[~ok]
        if not len(active) or not np.all(np.isfinite(beta)):
            break
        na = len(active)
        m = int(min(restart, maxiter - iterations[active].min()))
        V = np.empty((m + 1, na, F))
        V[0] = r / beta[:, None]
        H = np.zeros((na, m + 1, m))
        cs, sn = np.zeros((na, m)), np.zeros((na, m))
        g = np.zeros((na, m + 1))
        g[:, 0] = beta
        steps = np.zeros(na, dtype=int)        # Arnoldi steps each frame uses
        stopped = np.zeros(na, dtype=bool)
        limit = maxiter - iterations[active]
        for j in range(m):
            w = apply(precondition(V[j]), active)
            # Classical Gram-Schmidt, twice, frame by frame: matrix-vector products on the
            # basis, with no temporary the size of the whole stack.
            hn = np.empty(na)
            for q in range(na):
                basis, wq = V[:j + 1, q], w[q]
                for _ in range(2):
                    h = basis @ wq
                    wq -= h @ basis
                    H[q, :j + 1, j] += h
                hn[q] = np.sqrt(wq @ wq)
            H[:, j + 1, j] = hn
            np.divide(w, np.where(hn > 0, hn, 1.0)[:, None], out=V[j + 1])
            for i in range(j):                 # earlier rotations
                a, c = H[:, i, j].copy(), H[:, i + 1, j].copy()
                H[:, i, j] = cs[:, i] * a + sn[:, i] * c
                H[:, i + 1, j] = -sn[:, i] * a + cs[:, i] * c
            a, c = H[:, j, j], H[:, j + 1, j]
            rho = np.hypot(a, c)
            safe = np.where(rho > 0, rho, 1.0)
            cs[:, j], sn[:, j] = np.where(rho > 0, a / safe, 1.0), np.where(rho > 0, c / safe, 0.0)
            H[:, j, j], H[:, j + 1, j] = rho, 0.0
            g[:, j + 1] = -sn[:, j] * g[:, j]
            g[:, j] = cs[:, j] * g[:, j]
            live = ~stopped
            steps[live] = j + 1
            reached = (np.abs(g[:, j + 1]) <= rtol * bnorm[active]) | (hn == 0) | (steps >= limit)
            stopped |= reached
            if stopped.all():
                break
        update = np.zeros((na, F))
        for q in range(na):
            k = steps[q]
            if k:
                y = _triangular(H[q, :k, :k], g[q, :k])
                update[q] = y @ V[:k, q]
        x[active] += precondition(update)
        iterations[active] += steps
    return x, iterations


def _triangular(R, g):
    from scipy.linalg import solve_triangular
    d = np.abs(np.diag(R))
    if np.any(d == 0):  # a breakdown: solve in the least-squares sense
        return np.linalg.lstsq(R, g, rcond=None)[0]
    return solve_triangular(R, g, check_finite=False)


def inpaint(values, valid, shape):
    """Masked entries of (n, F) filled with the mean of valid neighbours, spreading outwards."""
    from scipy.ndimage import uniform_filter
    kx, ky = shape
    v = np.where(valid, values, 0.0).reshape(-1, kx, ky)
    known = valid.reshape(-1, kx, ky).astype(np.float64)
    filled = v.copy()
    have = known.copy()
    for _ in range(max(kx, ky)):
        if have.all():
            break
        s = uniform_filter(filled * have, size=(1, 3, 3), mode="nearest")
        c = uniform_filter(have, size=(1, 3, 3), mode="nearest")
        grow = (have == 0) & (c > 0)
        filled[grow] = s[grow] / c[grow]
        have[grow] = 1.0
    return filled.reshape(values.shape)


class Corrector:
    """The correction of observed images.

    Parameters
    ----------
    model_or_matrices : ForwardModel, array_like or LoadedMatrix
        A :class:`~velmora.ForwardModel` (or another operator with
        ``windows`` and ``diagonal()``, such as
        :func:`velmora.distributed.forward_operator` of stored matrices), or
        the in-field matrix in the velmora layout (``[s, r]``, shape (F, F)).
    stray_light : array_like, scipy.sparse matrix or LoadedMatrix, optional
        With matrices: the stray-light matrix, dense or compact (CSR), added
        to the in-field one. Not allowed with a forward model (which holds
        its stray light).
    windows : Windows or mapping, optional
        The windows of the matrices (see :func:`velmora.forward_operator`);
        a forward model brings its own. Needed for ``target="stray-light"``.
    target : {"scene", "stray-light"}
        What is solved for (see the module notes): the true scene, or the
        image without far-field light.
    core : (int, int), optional
        ``(rx, ry)``: the core of the ``"stray-light"`` target, in L1C pixels
        along x and y; default :data:`DEFAULT_CORE`.
    method : {"lu", "gmres", "lsmr", "van-cittert"}, optional
        Default: ``"lu"`` for matrices, ``"gmres"`` for a forward model.
    preconditioner : {"auto", "kernel", "diagonal", None}
        Preconditioner of ``"gmres"``. ``"auto"``: ``"kernel"`` for a forward
        model and the ``"scene"`` target, None for the ``"stray-light"``
        target, ``"diagonal"`` otherwise.
    rtol : float
        Relative residual ``|b - A x| / |b|`` that a frame must reach.
    maxiter : int, optional
        Iteration limit of ``"gmres"`` (inner iterations) and ``"lsmr"``;
        default 1000.
    restart : int
        Inner iterations of ``"gmres"`` between restarts.
    damp : float
        Tikhonov damping of ``"lsmr"`` (0 is plain least squares).
    iterations : int
        Iterations of ``"van-cittert"``.
    relaxation : float
        Step of ``"van-cittert"``.
    on_failure : {"warn", "raise", "ignore"}
        What a call does when a frame does not converge: warn with a
        :class:`~velmora.ConvergenceWarning`, raise a
        :class:`~velmora.ConvergenceError` holding the partial result and the
        info, or neither (the info tells).
    missing : {"raise", "mask"}
        Non-finite observed pixels: refused with a ValueError naming their
        number and the first one, or masked (excluded from the fit).

    Attributes
    ----------
    F : int
    windows : Windows or None
    method, target, preconditioner : str
    core : (int, int) or None
        The core of the ``"stray-light"`` target.
    last_info : dict or None
        The info of the last call that finished, on any thread (use
        ``return_info=True`` for the info of one call).

    Raises
    ------
    ValueError
        Unknown method, target or options, matrices that do not fit, or
        stray light given with a forward model.
    numpy.linalg.LinAlgError
        ``"lu"``: the operator is singular or not finite. ``"diagonal"``: the
        diagonal has a zero. ``"stray-light"``: a source's core holds no light.
    MemoryError
        ``"lu"`` with a forward model whose dense form does not fit the memory.

    Notes
    -----
    What counts as converged: ``"gmres"``, ``"lu"``: every frame's relative
    residual reached ``rtol`` (``"lu"``: at most ``max(rtol, 1e-8)``, rounding
    of the factorisation); ``"lsmr"``: its stopping test was met;
    ``"van-cittert"``: its iterations ended with a finite result whose residual
    is below the observed image's norm (it did not diverge). A result that is
    not finite never counts as converged.

    A corrector holds no state that a call changes: one corrector may be used
    from several threads at once.
    """

    def __init__(self, model_or_matrices, stray_light=None, *, windows=None, target: str = "scene", core=None,
                 method: str | None = None, preconditioner="auto", rtol: float = 1e-10,
                 maxiter: int | None = None, restart: int = 50, damp: float = 0.0, iterations: int = 10,
                 relaxation: float = 1.0, on_failure: str = "warn", missing: str = "raise"):
        model = model_or_matrices if _is_model(model_or_matrices) else None
        if method is None:
            method = "gmres" if model is not None else "lu"
        if method not in METHODS:
            raise ValueError(f"method must be one of {list(METHODS)}, got {method!r}")
        if target not in TARGETS:
            raise ValueError(f"target must be one of {list(TARGETS)}, got {target!r}")
        if preconditioner == "none":
            preconditioner = None
        if preconditioner not in PRECONDITIONERS:
            raise ValueError(f"preconditioner must be one of {list(PRECONDITIONERS)}, got {preconditioner!r}")
        if on_failure not in _ON_FAILURE:
            raise ValueError(f"on_failure must be one of {list(_ON_FAILURE)}, got {on_failure!r}")
        if missing not in _MISSING:
            raise ValueError(f"missing must be one of {list(_MISSING)}, got {missing!r}")
        self.method, self.target, self.on_failure, self.missing = method, target, on_failure, missing
        checked_core = _core(core)
        self.core = checked_core if target == "stray-light" else None
        self.rtol = _positive("rtol", rtol)
        self.maxiter = 1000 if maxiter is None else int(_positive("maxiter", maxiter, int))
        self.restart = int(_positive("restart", restart, int))
        if isinstance(damp, bool) or not isinstance(damp, (int, float, np.integer, np.floating)) or not damp >= 0:
            raise ValueError(f"damp must be a number of at least 0, got {damp!r}")
        self.damp = float(damp)
        self.iterations = int(_positive("iterations", iterations, int))
        self.relaxation = _positive("relaxation", relaxation)
        self.last_info = None
        if model is not None:
            if stray_light is not None:
                raise ValueError("a forward model holds its own stray light: pass stray_psfs to "
                                 "velmora.forward_model instead of stray_light here")
            if windows is not None and windows != model.windows:
                raise ValueError("the windows= given differ from those of the forward model")
            self._system = _ModelSystem(model, target, self.core)
        else:
            self._system = _DenseSystem(model_or_matrices, stray_light, windows, target, self.core)
        self.windows = self._system.windows
        self.F = self._system.F
        if preconditioner == "auto":
            if method != "gmres" or target == "stray-light":
                preconditioner = None
            elif isinstance(model, ForwardModel):
                preconditioner = "kernel"
            else:
                preconditioner = "diagonal"
        self.preconditioner = preconditioner if method == "gmres" else None
        self._M = None
        if self.preconditioner == "diagonal":
            d = self._system.diagonal()
            if not np.all(np.isfinite(d)) or np.any(d == 0.0):
                raise np.linalg.LinAlgError("the operator's diagonal has zeros or values that are not finite; "
                                            "use preconditioner=None")
            inverse = 1.0 / d
            self._M = lambda X: X * inverse
        elif self.preconditioner == "kernel":
            if not isinstance(model, ForwardModel):
                raise ValueError("preconditioner='kernel' needs a velmora.ForwardModel; use 'diagonal' with "
                                 "matrices")
            if target != "scene":
                raise ValueError("preconditioner='kernel' inverts the whole kernel, which the 'stray-light' "
                                 "target does not solve for; use None or 'diagonal'")
            self._M = _KernelPreconditioner(model)
        self._perturbation = self._system.perturbation if self._system.perturbs() else None
        self._lu = None
        self._squared = None                 # C o C (transposed), formed on the first exact propagation
        self._lock = threading.Lock()
        if method == "lu":
            self._factorise(model)

    def _factorise(self, model):
        from scipy.linalg import LinAlgWarning, lu_factor
        if model is not None:
            from .builds import available_memory
            need, free = 3 * self.F ** 2 * 8, available_memory()
            if free is not None and need > free:
                raise MemoryError(f"method='lu' needs the dense operator and its factors, about "
                                  f"{need / 2**30:.1f} GiB, but {free / 2**30:.1f} GiB are available; "
                                  "use method='gmres'")
            self._system = _PreparedSystem(np.ascontiguousarray(self._system.dense().T), model.windows)
        At = self._system.At
        if not np.all(np.isfinite(At)):
            raise np.linalg.LinAlgError("the matrix holds values that are not finite")
        with warnings.catch_warnings():
            # A singular matrix is reported below as an error of its own.
            warnings.simplefilter("ignore", LinAlgWarning)
            self._lu = lu_factor(At, check_finite=False)
        pivots = np.abs(np.diag(self._lu[0]))
        scale = np.max(np.abs(At)) if At.size else 0.0
        if At.size == 0 or scale == 0.0 or np.min(pivots) <= scale * self.F * np.finfo(np.float64).eps:
            raise np.linalg.LinAlgError("the matrix is singular: its images cannot be corrected")

    # -- the solve on a stack of flat vectors ----------------------------------------
    def _solve(self, b: np.ndarray, valid: np.ndarray | None, fill: str = "inpaint"):
        """Solve every row of ``b`` (n, F); ``valid`` (n, F) marks the pixels of the fit (None: all).

        The masked pixels start from (and keep) the mean of their valid neighbours (``fill="inpaint"``)
        or zero (``fill="zero"``: the valid pixels are then solved with the operator restricted to them).
        """
        system = self._system
        n = b.shape[0]
        if valid is not None:
            shape = (self.windows.Kx, self.windows.Ky) if self.windows is not None else (1, self.F)
            start = np.zeros_like(b) if fill == "zero" else np.where(valid, 0.0, inpaint(b, valid, shape))
            b = np.where(valid, b - system.apply(start), 0.0)

            def masked(product):
                # The operator on the valid pixels, the identity on the masked ones (self-adjoint split).
                def restricted(X, rows=None):
                    v = valid if rows is None else valid[rows]
                    return np.where(v, product(np.where(v, X, 0.0)), X)
                return restricted
            apply, adjoint = masked(system.apply), masked(system.adjoint)
        else:
            start = None

            def apply(X, rows=None):
                return system.apply(X)

            def adjoint(X, rows=None):
                return system.adjoint(X)
        stats = {"iterations": [0] * n, "converged": [True] * n}
        if self.method == "lu":
            x = self._lu_solve(b, valid)
        elif self.method == "gmres":
            # A stack goes in groups: small frames together (one product and one pass of
            # Python for all of them), large frames few at a time (see _GROUP_BYTES), and
            # never more than the Krylov bases, of (restart + 1) vectors each, fit in a
            # quarter of the available memory.
            from .builds import available_memory
            free = available_memory()
            per_frame = (min(self.restart, self.maxiter) + 1) * self.F * 8
            group = max(1, min(n, _GROUP_BYTES // max(1, self.F * 8)))
            if free is not None:
                group = max(1, min(group, int(free // 4 // per_frame)))
            x = np.empty_like(b)
            its = []
            for lo in range(0, n, group):
                rows = np.arange(lo, min(n, lo + group))

                def apply_group(X, active, rows=rows):
                    return apply(X, rows[active])
                x[rows], part = _gmres(apply_group, b[rows], np.zeros_like(b[rows]), self._M, self.rtol,
                                       self.restart, self.maxiter)
                its += [int(i) for i in part]
            stats["iterations"] = its
        elif self.method == "lsmr":
            x = np.empty_like(b)
            for q in range(n):
                x[q], stop, its = self._lsmr(lambda v, q=q: apply(v[None], [q])[0],
                                             lambda v, q=q: adjoint(v[None], [q])[0], b[q])
                stats["iterations"][q] = its
                stats["converged"][q] = stop not in (3, 6, 7)
        else:   # van Cittert
            x = b.copy()
            for _ in range(self.iterations):
                x += self.relaxation * (b - apply(x))
            stats["iterations"] = [self.iterations] * n
        bnorm = np.linalg.norm(b, axis=1)
        residual = np.linalg.norm(b - apply(x), axis=1) / np.where(bnorm > 0, bnorm, 1.0)
        residual[bnorm == 0] = 0.0
        finite = np.isfinite(x).all(axis=1) & np.isfinite(residual)
        for q in range(n):
            if self.method in ("gmres", "lu"):
                tol = self.rtol if self.method == "gmres" else max(self.rtol, 1e-8)
                ok = residual[q] <= tol * (1 + 1e-6)
            elif self.method == "van-cittert":
                ok = residual[q] < 1.0
            else:
                ok = stats["converged"][q]
            stats["converged"][q] = bool(ok and finite[q])
        if start is not None:
            x = x + start
        return x, [float(r) for r in residual], stats

    def _lu_solve(self, b, valid):
        from scipy.linalg import lu_solve
        lu, piv = self._lu
        if valid is None:
            # The pivots are copied for every call: lu_solve may use them as scratch.
            return lu_solve((lu, piv.copy()), b.T, trans=1, check_finite=False).T
        A = self._system.dense()
        x = np.zeros_like(b)
        # Frames with the same mask share one factorisation of their restricted operator.
        patterns, which = np.unique(valid, axis=0, return_inverse=True)
        for k, pattern in enumerate(patterns):
            rows = np.flatnonzero(which.reshape(-1) == k)
            keep = np.flatnonzero(pattern)
            x[np.ix_(rows, keep)] = np.linalg.solve(A[np.ix_(keep, keep)], b[np.ix_(rows, keep)].T).T
        return x

    def _lsmr(self, apply_one, adjoint_one, b):
        from scipy.sparse.linalg import LinearOperator, lsmr
        op = LinearOperator((self.F, self.F), matvec=apply_one, rmatvec=adjoint_one, dtype=np.float64)
        result = lsmr(op, b, damp=self.damp, atol=self.rtol, btol=self.rtol, maxiter=self.maxiter)
        return result[0], int(result[1]), int(result[2])

    # -- public ----------------------------------------------------------------------
    def correct(self, observed, *, mask=None, return_info: bool = False, u_random=None, u_systematic=None,
                noise=None, operator_uncertainty=None, propagation: str = "auto", probes: int | None = None,
                seed=0, covariance: bool = False, dims=("y", "x")):
        """The corrected L1C image(s) from observed image(s), and their uncertainty when asked for.

        Parameters
        ----------
        observed : array_like, shape (..., Ky, Kx)
            Observed image(s) indexed ``[y, x]``; a stack is solved together.
        mask : array_like of bool, shape (Ky, Kx) or (..., Ky, Kx), optional
            True for pixels to exclude from the fit (the iterative methods and
            ``"lu"`` solve with the other pixels only). The corrected image is
            returned everywhere.
        return_info : bool
            Also return the info of this call (without uncertainty arguments).
        u_random : array_like, shape (Ky, Kx) or that of ``observed``, optional
            Standard uncertainty of every observed pixel, independent between
            pixels (and frames).
        u_systematic : float or array_like, shape (Ky, Kx) or that of ``observed``, optional
            Standard uncertainty fully correlated across the image: an image,
            or a number, the fraction of the observed image (0.01: 1 %).
        noise : (float, float), optional
            ``(read_noise, gain)``: ``u_random**2 = read_noise**2 + observed / gain``
            (observed values below zero count as zero). Not with ``u_random``.
        operator_uncertainty : float, optional
            Relative standard uncertainty of the far field (``"stray-light"``
            target) or of the stray-light matrix (``"scene"``), one factor for
            the whole operator, propagated to first order.
        propagation : {"auto", "exact", "probes"}
            How the random component is propagated: ``"exact"`` with the
            squared inverse (formed once per corrector), ``"probes"`` with
            random probes and an error bound per pixel; ``"auto"``: exact when
            the corrector holds a dense operator (matrices, or ``"lu"``) of
            at most :data:`velmora.uncertainty.EXACT_LIMIT` pixels, probes otherwise.
        probes : int, optional
            Probes per frame of ``"probes"``; default
            :data:`velmora.uncertainty.DEFAULT_PROBES`.
        seed : int or numpy.random.Generator
            Seed of the probes.
        covariance : bool
            Also return the full covariance of every corrected frame (exact
            propagation, F at most :data:`velmora.uncertainty.COVARIANCE_LIMIT`).
        dims : (str, str)
            For an :class:`xarray.DataArray`: the names of its image
            dimensions (y, x). A DataArray comes back as a DataArray with the
            same dimensions, coordinates and attributes (lazily for a
            Dask-backed one); see :mod:`velmora.xarray_images`.

        Returns
        -------
        corrected : numpy.ndarray, shape (..., Ky, Kx)
            Without uncertainty arguments.
        info : dict
            With ``return_info=True`` and without uncertainty arguments:
            ``method``, ``target``, ``core``, ``preconditioner``,
            ``iterations`` and ``residual`` (relative residual over the fitted
            pixels) per frame in stack order, ``frames_converged`` per frame,
            ``converged`` (all frames), ``masked`` (pixels excluded, all
            frames) and ``mask`` (the mask used, shaped like ``observed``, or
            None).
        result : velmora.CorrectionResult
            With any of ``u_random``, ``u_systematic``, ``noise`` or
            ``operator_uncertainty``: the corrected image(s), each propagated
            component (None for those not asked for) and the info (with
            ``uncertainty`` and ``uncertainty_converged``); see
            :mod:`velmora.uncertainty`. Masked pixels hold NaN uncertainty.

        Raises
        ------
        ValueError
            The images do not have the corrector's shape, hold non-finite
            pixels (with ``missing="raise"``), the mask does not fit, or an
            uncertainty argument is negative, not finite or of the wrong shape.
        ConvergenceError
            With ``on_failure="raise"``, when a frame (or one of the solves of
            its uncertainty) did not converge.

        Warns
        -----
        ConvergenceWarning
            With ``on_failure="warn"`` (the default), when a frame did not converge.
        """
        from .xarray_images import correct_dataarray, is_dataarray

        if is_dataarray(observed):
            return correct_dataarray(self, observed, mask=mask, return_info=return_info, dims=dims,
                                     u_random=u_random, u_systematic=u_systematic, noise=noise,
                                     operator_uncertainty=operator_uncertainty)
        observed = np.asarray(observed)
        if observed.dtype.kind not in "fiub":
            raise TypeError(f"observed images must hold real numbers, got dtype {observed.dtype}")
        observed = observed.astype(np.float64, copy=False)
        check_image(observed, self.windows, "observed image")
        shape = observed.shape
        if mask is not None:
            mask = np.asarray(mask)
            if mask.dtype != bool:
                raise ValueError(f"mask must be a boolean image, got dtype {mask.dtype}")
            try:
                mask = np.broadcast_to(mask, shape)
            except ValueError:
                raise ValueError(f"mask has the shape {mask.shape}; it must be (Ky, Kx) = {shape[-2:]} or "
                                 f"the observed images' shape {shape}") from None
        bad = ~np.isfinite(observed)
        if bad.any():
            if self.missing == "raise" and (mask is None or (bad & ~mask).any()):
                where = np.argwhere(bad if mask is None else bad & ~mask)[0]
                frame = f" of frame {tuple(int(i) for i in where[:-2])}" if len(where) > 2 else ""
                count = int((bad if mask is None else bad & ~mask).sum())
                raise ValueError(f"the observed images hold {count} pixel(s) that are not finite, the first at "
                                 f"(x, y) = ({int(where[-1])}, {int(where[-2])}){frame}; pass missing='mask' (or "
                                 "a mask) to exclude them from the fit")
            mask = bad if mask is None else (mask | bad)
        asked = any(v is not None for v in (u_random, u_systematic, noise, operator_uncertainty))
        if asked:
            from . import uncertainty
            request = uncertainty._request(self, observed, mask, u_random=u_random, u_systematic=u_systematic,
                                           noise=noise, operator_uncertainty=operator_uncertainty,
                                           propagation=propagation, probes=probes, seed=seed,
                                           covariance=covariance)
        b = image_to_vector(observed).reshape(-1, self.F)
        masked = None if mask is None else image_to_vector(mask).reshape(-1, self.F)
        x, info = self._correct_flat(b, masked)
        result = vector_to_image(x, shape[-2:]).reshape(shape)
        info["mask"] = None if mask is None else np.array(mask)
        if not asked:
            return self._finish(result, info, return_info)
        outcome = uncertainty._propagate(self, request, b, x, masked, result, info)
        return self._finish(outcome, info, False)

    def correct_vector(self, observed, *, return_info: bool = False):
        """The corrected flat vector(s) from observed flat vector(s).

        Parameters
        ----------
        observed : array_like, shape (..., F)
        return_info : bool
            Also return the info of the call (as :meth:`correct`).

        Returns
        -------
        numpy.ndarray, shape (..., F)

        Raises
        ------
        ValueError
            The last dimension is not F, or a value is not finite.
        """
        observed = np.asarray(observed, dtype=np.float64)
        if observed.ndim < 1 or observed.shape[-1] != self.F:
            raise ValueError(f"expected flat vectors of {self.F} values, got shape {observed.shape}")
        if not np.all(np.isfinite(observed)):
            raise ValueError(f"the observed vectors hold {int((~np.isfinite(observed)).sum())} value(s) that are "
                             "not finite; use correct() with missing='mask' to exclude them")
        x, info = self._correct_flat(observed.reshape(-1, self.F), None)
        info["mask"] = None
        return self._finish(x.reshape(observed.shape), info, return_info)

    def _correct_flat(self, b, valid_mask):
        valid = None if valid_mask is None else ~valid_mask
        if valid is not None and valid.all():
            valid = None
        if valid is not None and not valid.any(axis=1).all():
            raise ValueError("a frame has every pixel masked: nothing is left to fit")
        # Each frame is solved at the scale of its largest value (the problem is linear), so that
        # images near the ends of the float range do not overflow the norms of the solvers.
        scale = np.abs(np.where(valid, b, 0.0) if valid is not None else b).max(axis=1, initial=0.0)
        scale = np.where((scale > 0) & np.isfinite(scale), scale, 1.0)[:, None]
        x, residual, stats = self._solve(np.ascontiguousarray(b / scale), valid)
        with np.errstate(over="ignore"):
            x = x * scale
        info = {"method": self.method, "target": self.target, "core": self.core,
                "preconditioner": self.preconditioner, "iterations": stats["iterations"], "residual": residual,
                "frames_converged": stats["converged"], "converged": all(stats["converged"]),
                "masked": 0 if valid is None else int((~valid).sum())}
        return x, info

    def _finish(self, result, info, return_info):
        self.last_info = info
        propagated = info.get("uncertainty_converged", True)
        if not (info["converged"] and propagated) and self.on_failure != "ignore":
            missed = [q for q, ok in enumerate(info["frames_converged"]) if not ok]
            shown = ", ".join(f"frame {q}: residual {info['residual'][q]:.3g} after {info['iterations'][q]} "
                              f"iteration(s)" for q in missed[:5])
            more = f" and {len(missed) - 5} more" if len(missed) > 5 else ""
            parts = []
            if missed:
                parts.append(f"{len(missed)} of {len(info['frames_converged'])} frame(s) did not converge to rtol="
                             f"{self.rtol:g} with method={self.method!r}: {shown}{more}")
            if not propagated:
                frames = info["uncertainty"]["frames_not_converged"]
                parts.append(f"the solves that propagate the uncertainty of {len(frames)} frame(s) did not converge "
                             f"to rtol={self.rtol:g} (frames {frames[:5]})")
            message = "; ".join(parts)
            if self.on_failure == "raise":
                raise ConvergenceError(message, result, info)
            warnings.warn(message, ConvergenceWarning, stacklevel=3)
        return (result, info) if return_info else result


def correct(observed, model_or_matrices, stray_light=None, *, windows=None, method: str | None = None,
            mask=None, return_info: bool = False, dims=("y", "x"), **options):
    """The corrected L1C image(s) from observed image(s) (a one-off :class:`Corrector`).

    Parameters
    ----------
    observed : array_like, shape (..., Ky, Kx)
    model_or_matrices : ForwardModel, array_like or LoadedMatrix
        As for :class:`Corrector`.
    stray_light : array_like, scipy.sparse matrix or LoadedMatrix, optional
    windows : Windows or mapping, optional
    method : str, optional
        As for :class:`Corrector`.
    mask : array_like of bool, optional
        Pixels excluded from the fit, as for :meth:`Corrector.correct`.
    return_info : bool
        Also return the info of the call.
    dims : (str, str)
        The image dimensions of an :class:`xarray.DataArray`, as for :meth:`Corrector.correct`.
    **options
        Further options of :class:`Corrector` (``target``, ``core``, ``rtol``,
        ``preconditioner``, ``on_failure``, ``missing``, ...).

    Returns
    -------
    corrected : numpy.ndarray, shape (..., Ky, Kx)
    info : dict
        With ``return_info=True``, as :meth:`Corrector.correct` returns it.
    """
    corrector = Corrector(model_or_matrices, stray_light, windows=windows, method=method, **options)
    return corrector.correct(observed, mask=mask, return_info=return_info, dims=dims)
