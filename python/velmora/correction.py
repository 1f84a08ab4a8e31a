"""Correction of observed images: dense LU, GMRES, and regularised methods.

:class:`Corrector` solves ``T @ true = observed`` for the true scene, with
``T`` given as matrices (the in-field matrix and, optionally, the stray-light
matrix, dense or compact) or as a matrix-free :class:`~velmora.ForwardModel`.

Methods
-------
``"lu"``
    Dense LU factorisation, made once; the default for matrices. Exact to
    rounding, O(F^3) to factorise and O(F^2) memory.
``"gmres"``
    :func:`scipy.sparse.linalg.gmres` with the inverse of the operator's
    diagonal as preconditioner, to the relative residual ``rtol``; the
    default for a forward model. The PSFs put most of the light into the
    source pixel, so ``T`` is close to its diagonal and a few tens of
    iterations reach 1e-10.
``"lsmr"``
    Tikhonov-regularised least squares, ``min |T x - b|^2 + damp^2 |x|^2``,
    by :func:`scipy.sparse.linalg.lsmr`. Exact correction amplifies noise;
    ``damp`` trades resolution for noise.
``"van-cittert"``
    A fixed number of van Cittert iterations ``x <- x + relaxation (b - T x)``
    from ``x = b``: stopping early regularises.
"""

from __future__ import annotations

import numpy as np

from .layout import Corrector as _LUCorrector
from .layout import _CorrectsImages
from .model import ForwardModel

__all__ = ["Corrector", "correct", "METHODS"]

#: The correction methods.
METHODS = ("lu", "gmres", "lsmr", "van-cittert")


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


class Corrector(_CorrectsImages):
    """The correction of observed images.

    Parameters
    ----------
    model_or_matrices : ForwardModel, array_like or LoadedMatrix
        A :class:`~velmora.ForwardModel` (or another operator with
        ``windows`` and ``diagonal()``, such as
        :func:`velmora.distributed.forward_operator` of stored matrices), or
        the in-field matrix in the
        velmora layout (``[s, r]``, shape (F, F)).
    stray_light : array_like, scipy.sparse matrix or LoadedMatrix, optional
        With matrices: the stray-light matrix, dense or compact (CSR), added
        to the in-field one. Not allowed with a forward model (which holds
        its stray light).
    windows : Windows or mapping, optional
        The windows of the matrices (see :func:`velmora.forward_operator`);
        a forward model brings its own.
    method : {"lu", "gmres", "lsmr", "van-cittert"}, optional
        Default: ``"lu"`` for matrices, ``"gmres"`` for a forward model.
    rtol : float
        Relative residual ``|b - T x| / |b|`` at which ``"gmres"`` stops, and
        the tolerance of ``"lsmr"``.
    maxiter : int, optional
        Iteration limit of ``"gmres"`` (inner iterations) and ``"lsmr"``;
        default 1000.
    restart : int
        Inner iterations of ``"gmres"`` between restarts.
    preconditioner : {"diagonal", None}
        Preconditioner of ``"gmres"``.
    damp : float
        Tikhonov damping of ``"lsmr"`` (0 is plain least squares).
    iterations : int
        Iterations of ``"van-cittert"``.
    relaxation : float
        Step of ``"van-cittert"``.

    Attributes
    ----------
    F : int
    windows : Windows or None
    method : str
    last_info : dict or None
        What the last :meth:`correct` or :meth:`correct_vector` call did:
        ``method``, ``iterations`` and ``residual`` (relative residual
        ``|b - T x| / |b|``) per image, as lists in stack order, and
        ``converged`` (all images reached ``rtol``; for ``"lsmr"``, its
        stopping test was met; always True for ``"lu"`` and ``"van-cittert"``).
        ``"lu"`` reports 0 iterations and a residual of None.

    Raises
    ------
    ValueError
        Unknown method or options, matrices that do not fit, or stray light
        given with a forward model.
    numpy.linalg.LinAlgError
        ``"lu"``: the operator is singular or not finite. ``"gmres"``: the
        diagonal has a zero.
    MemoryError
        ``"lu"`` with a forward model whose dense form does not fit the memory.
    """

    def __init__(self, model_or_matrices, stray_light=None, *, windows=None, method: str | None = None,
                 rtol: float = 1e-10, maxiter: int | None = None, restart: int = 50,
                 preconditioner: str | None = "diagonal", damp: float = 0.0, iterations: int = 10,
                 relaxation: float = 1.0):
        model = model_or_matrices if _is_model(model_or_matrices) else None
        if method is None:
            method = "gmres" if model is not None else "lu"
        if method not in METHODS:
            raise ValueError(f"method must be one of {list(METHODS)}, got {method!r}")
        if preconditioner not in ("diagonal", None):
            raise ValueError(f"preconditioner must be 'diagonal' or None, got {preconditioner!r}")
        self.method = method
        self.rtol = _positive("rtol", rtol)
        self.maxiter = 1000 if maxiter is None else int(_positive("maxiter", maxiter, int))
        self.restart = int(_positive("restart", restart, int))
        if isinstance(damp, bool) or not isinstance(damp, (int, float, np.integer, np.floating)) or not damp >= 0:
            raise ValueError(f"damp must be a number of at least 0, got {damp!r}")
        self.damp = float(damp)
        self.iterations = int(_positive("iterations", iterations, int))
        self.relaxation = _positive("relaxation", relaxation)
        self.last_info = None
        self._lu = None
        if model is not None:
            if stray_light is not None:
                raise ValueError("a forward model holds its own stray light: pass stray_psfs to "
                                 "velmora.forward_model instead of stray_light here")
            if windows is not None and windows != model.windows:
                raise ValueError("the windows= given differ from those of the forward model")
            self.windows = model.windows
            self._operator = model
            if method == "lu":
                from .builds import available_memory
                need, free = 3 * model.shape[0] ** 2 * 8, available_memory()
                if free is not None and need > free:
                    raise MemoryError(f"method='lu' needs the dense operator and its factors, about "
                                      f"{need / 2**30:.1f} GiB, but {free / 2**30:.1f} GiB are available; "
                                      "use method='gmres'")
                self._lu = _LUCorrector(np.ascontiguousarray(model.todense().T), windows=model.windows)
        else:
            if method == "lu":
                self._lu = _LUCorrector(model_or_matrices, stray_light, windows=windows)
                self.windows = self._lu.windows
            else:
                from scipy.sparse.linalg import aslinearoperator

                from .layout import _total
                total, self.windows = _total(model_or_matrices, stray_light, windows)
                self._operator = aslinearoperator(np.ascontiguousarray(total.T))
                self._diagonal = np.diag(total).copy()
        self.F = self._lu.F if self._lu is not None else self._operator.shape[0]
        self._inverse_diagonal = None
        if method == "gmres" and preconditioner == "diagonal":
            d = model.diagonal() if model is not None else self._diagonal
            if not np.all(np.isfinite(d)) or np.any(d == 0.0):
                raise np.linalg.LinAlgError("the operator's diagonal has zeros or values that are not finite; "
                                            "use preconditioner=None")
            self._inverse_diagonal = 1.0 / d

    # -- one right-hand side -------------------------------------------------------
    def _solve(self, b: np.ndarray) -> tuple[np.ndarray, int, float, bool]:
        from scipy.sparse.linalg import LinearOperator, gmres, lsmr
        A = self._operator
        norm = np.linalg.norm(b)
        if norm == 0.0:
            return np.zeros_like(b), 0, 0.0, True
        if self.method == "gmres":
            M = None
            if self._inverse_diagonal is not None:
                inv = self._inverse_diagonal
                M = LinearOperator(A.shape, matvec=lambda v: inv * v.reshape(-1), dtype=np.float64)
            count = [0]

            def step(_):
                count[0] += 1

            restart = min(self.restart, self.maxiter)
            x, info = gmres(A, b, rtol=self.rtol, atol=0.0, restart=restart,
                            maxiter=max(1, self.maxiter // restart), M=M, callback=step,
                            callback_type="pr_norm")
            iterations = count[0]
        elif self.method == "lsmr":
            result = lsmr(A, b, damp=self.damp, atol=self.rtol, btol=self.rtol, maxiter=self.maxiter)
            x, stop, iterations = result[0], int(result[1]), int(result[2])
        else:  # van Cittert
            x = b.copy()
            for _ in range(self.iterations):
                x += self.relaxation * (b - A @ x)
            iterations = self.iterations
        residual = float(np.linalg.norm(b - A @ x) / norm)
        if self.method == "lsmr":
            converged = stop not in (3, 6, 7)   # condition limit or iteration limit
        else:
            converged = self.method == "van-cittert" or residual <= self.rtol * (1 + 1e-6)
        return x, iterations, residual, bool(converged)

    # The image-level method is the shared one; named here so that it is
    # documented with this class.
    correct = _CorrectsImages.correct

    def correct_vector(self, observed) -> np.ndarray:
        """The true flat vector(s) from observed flat vector(s).

        Parameters
        ----------
        observed : array_like, shape (..., F)

        Returns
        -------
        numpy.ndarray, shape (..., F)

        Raises
        ------
        ValueError
            The last dimension is not F.
        """
        observed = np.asarray(observed, dtype=np.float64)
        if observed.ndim < 1 or observed.shape[-1] != self.F:
            raise ValueError(f"expected flat vectors of {self.F} values, got shape {observed.shape}")
        if self._lu is not None:
            out = self._lu.correct_vector(observed)
            count = int(np.prod(observed.shape[:-1]))
            self.last_info = {"method": "lu", "iterations": [0] * count, "residual": [None] * count,
                              "converged": True}
            return out
        stack = observed.reshape(-1, self.F)
        out = np.empty_like(stack)
        info = {"method": self.method, "iterations": [], "residual": [], "converged": True}
        for n, b in enumerate(stack):
            out[n], iterations, residual, converged = self._solve(np.ascontiguousarray(b))
            info["iterations"].append(iterations)
            info["residual"].append(residual)
            info["converged"] = info["converged"] and converged
        self.last_info = info
        return out.reshape(observed.shape)



def correct(observed, model_or_matrices, stray_light=None, *, windows=None, method: str | None = None,
            **options) -> np.ndarray:
    """The true L1C scene from an observed image (a one-off :class:`Corrector`).

    Parameters
    ----------
    observed : array_like, shape (..., Ky, Kx)
    model_or_matrices : ForwardModel, array_like or LoadedMatrix
        As for :class:`Corrector`.
    stray_light : array_like, scipy.sparse matrix or LoadedMatrix, optional
    windows : Windows or mapping, optional
    method : str, optional
        As for :class:`Corrector`.
    **options
        Further options of :class:`Corrector` (``rtol``, ``damp``, ...).

    Returns
    -------
    numpy.ndarray, shape (..., Ky, Kx)
    """
    return Corrector(model_or_matrices, stray_light, windows=windows, method=method, **options).correct(observed)

