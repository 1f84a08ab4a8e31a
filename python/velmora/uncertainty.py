"""Uncertainty of corrected images: propagation through the correction, and files that carry it.

A correction is linear in the observed image: ``y = C b``, with ``C = T^-1``
for the ``"scene"`` target and ``C = (I + D)^-1`` for the ``"stray-light"``
target. :meth:`velmora.Corrector.correct` propagates three components:

random
    Errors independent between pixels, of standard uncertainty ``u(b)``:
    ``u(y)^2 = (C o C) u(b)^2`` (``o`` the element-wise product).
systematic
    One error fully correlated across the image, of standard uncertainty
    ``u(b)`` per pixel: ``u(y) = |C u(b)|`` (one solve; none when ``u(b)`` is
    a fraction ``f`` of the observed image, since ``C (f b) = f y``).
operator
    One relative error ``e`` of the far field ``D`` (``"stray-light"``) or of
    the stray-light matrix ``S`` (``"scene"``), of standard uncertainty
    ``sigma``: to first order ``dy = -e C D y`` (or ``-e C S y``), so
    ``u(y) = sigma |C D y|`` (one solve).

The systematic and operator components come from solves of the corrector
itself, exact to its tolerance. For the random component:

Exact (``propagation="exact"``)
    ``C o C`` is formed once per corrector (from its LU factors, or the
    inverse of the dense operator: ``O(F^3)`` once, ``F^2`` values kept) and
    every frame costs one product with it, ``O(F^2)``.
Probes (``propagation="probes"``)
    For images too large to form ``C``: ``N`` Rademacher vectors ``z``
    (entries +-1) per frame, one solve ``c = C (u o z)`` each. With
    ``C = I + E``, ``u(y)_i^2 = u_i^2 (1 + 2 E_ii) + sum_j E_ij^2 u_j^2``.
    For the ``"stray-light"`` target ``E = -D + D^2 C``: the first-order term
    ``-2 D_ii u_i^2`` is exact (the diagonal of ``D`` is known from the
    model's tables) and the probes estimate only the second-order remainder,
    ``2 u_i z_i (D^2 C (u o z))_i + e_i^2`` with ``e = c - u o z`` (one more
    product with ``D``). The far field holds a few per cent of the light, so
    the remainder is of order 1e-3 of ``u_i^2`` and its sampling error far
    smaller. For the ``"scene"`` target (and masked frames) the probes
    estimate all of ``mean(c_i^2)``, which is unbiased but much less precise.
    Each pixel's error bound is :data:`BOUND_FACTOR` standard errors of the
    mean over the probes, carried from the variance to the standard
    uncertainty: a statistical bound, not a guaranteed one.

Masked pixels (``mask=`` or ``missing="mask"``): their observed values do not
enter the fit, so their input uncertainties are ignored; the uncertainty of
the valid pixels is propagated through the map that the masked correction
really applies (including the estimate of the masked pixels that it starts
from), exactly on the exact path; the masked pixels themselves get NaN in
every component, since their corrected value is an estimate from their
neighbours whose error no input uncertainty describes.

:func:`save_corrected` writes a :class:`CorrectionResult` to a netCDF file
following the obsarray (FIDUCEO) conventions: the ``unc_comps`` attribute of
the corrected image names its components, each of which describes its
error correlation with ``err_corr_<k>_dim/form/params/units`` attributes.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .layout import vector_to_image

__all__ = ["BOUND_FACTOR", "COVARIANCE_LIMIT", "DEFAULT_PROBES", "EXACT_LIMIT", "MATRIX_CORRELATION_LIMIT",
           "PROPAGATIONS", "CorrectionResult", "save_corrected"]

#: How the random component is propagated.
PROPAGATIONS = ("auto", "exact", "probes")
#: ``propagation="auto"`` is exact for dense operators up to this many pixels.
EXACT_LIMIT = 8192
#: Largest F whose inverse (and full covariance) is formed.
COVARIANCE_LIMIT = 16384
#: Probes per frame of ``propagation="probes"``.
DEFAULT_PROBES = 10
#: Standard errors of the probe mean in the error bound of the random component.
BOUND_FACTOR = 3.0
#: Largest correlated block (pixels x frames) written as an explicit correlation matrix.
MATRIX_CORRELATION_LIMIT = 4096

_COMPONENTS = ("u_random", "u_systematic", "u_operator")


@dataclass
class CorrectionResult:
    """Corrected image(s) and the propagated uncertainty components.

    Attributes
    ----------
    corrected : numpy.ndarray, shape (..., Ky, Kx)
    u_random, u_systematic, u_operator : numpy.ndarray or None
        Standard uncertainty of each component, shaped like ``corrected``
        (None when not asked for); NaN at masked pixels.
    info : dict
        The info of the correction, with ``uncertainty`` (how it was
        propagated) and ``uncertainty_converged``.
    u_random_bound : numpy.ndarray or None
        Error bound of ``u_random`` per pixel (zeros when exact).
    systematic_error, operator_error : numpy.ndarray or None
        The signed change of the corrected image for an error of one
        standard uncertainty (``u_systematic = |systematic_error|``); their
        signs give the correlation (+1 or -1) between pixels.
    covariance : numpy.ndarray or None, shape (..., F, F)
        With ``covariance=True``: the covariance of every corrected frame in
        flat matrix order (see :func:`velmora.image_to_vector`).
    random_covariance : numpy.ndarray or None, shape (..., F, F)
        With ``covariance=True``: the part of ``covariance`` that the random
        component makes, ``C diag(u(b)^2) C^T``: independent errors of the
        observed pixels come out correlated.
    """

    corrected: np.ndarray
    u_random: np.ndarray | None
    u_systematic: np.ndarray | None
    u_operator: np.ndarray | None
    info: dict
    u_random_bound: np.ndarray | None = None
    systematic_error: np.ndarray | None = field(default=None, repr=False)
    operator_error: np.ndarray | None = field(default=None, repr=False)
    covariance: np.ndarray | None = field(default=None, repr=False)
    random_covariance: np.ndarray | None = field(default=None, repr=False)

    def total(self) -> np.ndarray:
        """The combined standard uncertainty: the components added in quadrature.

        Returns
        -------
        numpy.ndarray, shape (..., Ky, Kx)
        """
        total = np.zeros_like(self.corrected)
        for name in _COMPONENTS:
            value = getattr(self, name)
            if value is not None:
                total = total + value ** 2
        return np.sqrt(total)

    def to_dataset(self, *, units: str | None = None, frames_correlated: bool = True, attributes=None):
        """The result as an :class:`xarray.Dataset` with obsarray's uncertainty metadata.

        Parameters
        ----------
        units : str, optional
            Units of the image (and of every component).
        frames_correlated : bool
            Whether the systematic error is one error shared by all frames of
            a stack (True) or one per frame (False). The operator error is
            always shared.
        attributes : mapping, optional
            Further global attributes.

        Returns
        -------
        xarray.Dataset
            ``corrected`` with ``unc_comps`` naming the components present;
            ``u_random`` (form ``random``), ``u_systematic`` and ``u_operator``
            (``systematic`` where the signs of the error agree, else an
            explicit ``err_corr_matrix`` of +-1), and ``u_random_bound``.

        Raises
        ------
        ImportError
            xarray is not installed.
        """
        return _dataset(self, units, frames_correlated, attributes)


# ---------------------------------------------------------------------------
# Checking the arguments
# ---------------------------------------------------------------------------
@dataclass
class _Request:
    u_random: np.ndarray | None
    u_systematic: np.ndarray | None
    shared: bool                       # u_systematic is one image for every frame
    fraction: float | None
    operator: float | None
    exact: bool
    probes: int
    rng: np.random.Generator
    covariance: bool


def _number(name, value, positive=False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name} must be a number, got {value!r}")
    value = float(value)
    if not np.isfinite(value) or value < 0 or (positive and value == 0):
        raise ValueError(f"{name} must be a finite number {'above' if positive else 'of at least'} 0, "
                         f"got {value!r}")
    return value


def _image(name, value, observed, mask, flat):
    value = np.asarray(value)
    if value.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, got dtype {value.dtype}")
    value = value.astype(np.float64, copy=False)
    if value.shape not in (observed.shape, observed.shape[-2:]):
        raise ValueError(f"{name} has the shape {value.shape}; it must be (Ky, Kx) = {observed.shape[-2:]} or "
                         f"the observed images' shape {observed.shape}")
    value = np.broadcast_to(value, observed.shape)
    bad = ~(value >= 0) | ~np.isfinite(value)
    if mask is not None:
        bad &= ~mask
    if bad.any():
        where = np.argwhere(bad)[0]
        raise ValueError(f"{name} holds {int(bad.sum())} value(s) that are negative or not finite, the first at "
                         f"(x, y) = ({int(where[-1])}, {int(where[-2])})")
    if mask is not None:
        value = np.where(mask, 0.0, value)
    return flat(value)


def _request(corrector, observed, mask, *, u_random, u_systematic, noise, operator_uncertainty, propagation,
             probes, seed, covariance) -> _Request:
    """The checked uncertainty arguments of one call, as flat (n, F) arrays."""
    from .layout import image_to_vector
    F = corrector.F

    def flat(image):
        return np.ascontiguousarray(image_to_vector(image).reshape(-1, F))

    if corrector.method not in ("lu", "gmres"):
        raise ValueError(f"uncertainty is propagated through a solve of the system (method 'lu' or 'gmres'), "
                         f"not through method={corrector.method!r}")
    if propagation not in PROPAGATIONS:
        raise ValueError(f"propagation must be one of {list(PROPAGATIONS)}, got {propagation!r}")
    if u_random is not None and noise is not None:
        raise ValueError("give u_random or noise=(read_noise, gain), not both")
    if noise is not None:
        try:
            read, gain = noise
        except (TypeError, ValueError):
            raise ValueError(f"noise must be a pair (read_noise, gain), got {noise!r}") from None
        read, gain = _number("the read noise", read), _number("the gain", gain, positive=True)
        signal = np.where(np.isfinite(observed), np.maximum(observed, 0.0), 0.0)
        u_random = np.sqrt(read ** 2 + signal / gain)
    random = None if u_random is None else _image("u_random", u_random, observed, mask, flat)
    fraction = systematic = None
    shared = False
    if u_systematic is not None:
        shared = np.shape(u_systematic) == observed.shape[-2:] and mask is None
        if np.ndim(u_systematic) == 0:
            value = u_systematic.item() if isinstance(u_systematic, np.ndarray) else u_systematic
            fraction = _number("u_systematic (a fraction of the observed image)", value)
        else:
            systematic = _image("u_systematic", u_systematic, observed, mask, flat)
    operator = None
    if operator_uncertainty is not None:
        operator = _number("operator_uncertainty", operator_uncertainty)
        if corrector._perturbation is None:
            raise ValueError("operator_uncertainty is that of the stray-light matrix for target='scene', but this "
                             "operator has no stray light (or cannot tell it apart)")
    dense = corrector._lu is not None or hasattr(corrector._system, "At")
    if propagation == "auto":
        exact = dense and F <= EXACT_LIMIT
    else:
        exact = propagation == "exact"
    if exact and F > COVARIANCE_LIMIT:
        raise ValueError(f"exact propagation forms the inverse of the operator, at most F = {COVARIANCE_LIMIT} "
                         f"pixels, here {F}; use propagation='probes'")
    if covariance and not exact:
        raise ValueError("covariance=True needs exact propagation (propagation='exact', F at most "
                         f"{COVARIANCE_LIMIT})")
    if probes is None:
        probes = DEFAULT_PROBES
    if isinstance(probes, bool) or not isinstance(probes, (int, np.integer)) or probes < 2:
        raise ValueError(f"probes must be a whole number of at least 2, got {probes!r}")
    return _Request(random, systematic, shared, fraction, operator, bool(exact), int(probes),
                    np.random.default_rng(seed), bool(covariance))


# ---------------------------------------------------------------------------
# Propagation
# ---------------------------------------------------------------------------
def _solve(corrector, rhs, valid, fill="inpaint"):
    """The corrector's solve of every row of ``rhs`` at the scale of its largest value; (x, converged)."""
    scale = np.abs(rhs if valid is None else np.where(valid, rhs, 0.0)).max(axis=1, initial=0.0)
    scale = np.where((scale > 0) & np.isfinite(scale), scale, 1.0)[:, None]
    if corrector._lu is not None and valid is None:
        # The factors were checked when they were made, and the correction's residual with them: the
        # triangular solves alone (a finite result) are enough here.
        x = corrector._lu_solve(np.ascontiguousarray(rhs / scale), None)
        converged = np.isfinite(x).all(axis=1)
    else:
        x, _, stats = corrector._solve(np.ascontiguousarray(rhs / scale), valid, fill)
        converged = np.asarray(stats["converged"], dtype=bool)
    with np.errstate(over="ignore"):
        return x * scale, converged


def _dense_transposed(corrector) -> np.ndarray:
    """``A^T`` of the corrector as a dense array (the velmora ``[s, r]`` layout)."""
    system = corrector._system
    if hasattr(system, "At"):
        return system.At
    return np.ascontiguousarray(system.dense().T)


def _check_room(F, copies, what, hint="use propagation='probes'"):
    from .builds import available_memory
    need, free = copies * F * F * 8, available_memory()
    if free is not None and need > free:
        raise MemoryError(f"{what} needs about {need / 2**30:.1f} GiB, but {free / 2**30:.1f} GiB are available; "
                          f"{hint}")


def _inverse_transposed(corrector) -> np.ndarray:
    """``C^T = (A^T)^-1`` as a dense (F, F) array."""
    import scipy.linalg
    F = corrector.F
    _check_room(F, 3, "the inverse of the operator")
    if corrector._lu is not None:
        lu, piv = corrector._lu
        inverse = scipy.linalg.lu_solve((lu, piv.copy()), np.eye(F), check_finite=False)
    else:
        inverse = scipy.linalg.inv(_dense_transposed(corrector), check_finite=False)
    if not np.all(np.isfinite(inverse)):
        raise np.linalg.LinAlgError("the inverse of the operator is not finite: it is singular")
    return inverse


def _squared_inverse(corrector) -> np.ndarray:
    """``(C o C)^T``, formed once per corrector (thread-safe) and kept."""
    with corrector._lock:
        if corrector._squared is None:
            inverse = _inverse_transposed(corrector)
            np.multiply(inverse, inverse, out=inverse)
            corrector._squared = inverse
        return corrector._squared


def _masked_map(corrector, pattern) -> np.ndarray:
    """Rows ``L e_j`` (an (F, F) array, ``L^T``) of the linear map that a frame with this mask gets corrected by.

    The masked pixels start from the mean of their valid neighbours (``P b``), the valid ones solve
    ``A_kk y_k = b_k - A_km (P b)_m``: ``L b = [C_kk (b_k - A_km (P b)_m); (P b)_m]``.
    """
    from .correction import inpaint
    F = corrector.F
    _check_room(F, 4, "the map of a masked frame")
    At = _dense_transposed(corrector)
    valid = np.broadcast_to(pattern, (F, F))
    shape = (corrector.windows.Kx, corrector.windows.Ky) if corrector.windows is not None else (1, F)
    start = np.where(valid, 0.0, inpaint(np.eye(F), valid, shape))
    rhs = np.where(valid, np.eye(F) - start @ At, 0.0)
    keep = np.flatnonzero(pattern)
    rows = start
    rows[:, keep] = np.linalg.solve(At[np.ix_(keep, keep)].T, rhs[:, keep].T).T
    return rows


def _patterns(valid, n):
    """(rows, pattern) of frames sharing a mask; pattern None for frames without one."""
    if valid is None:
        return [(np.arange(n), None)]
    plain = valid.all(axis=1)
    groups = [(np.flatnonzero(plain), None)] if plain.any() else []
    if not plain.all():
        patterns, which = np.unique(valid[~plain], axis=0, return_inverse=True)
        masked_rows = np.flatnonzero(~plain)
        groups += [(masked_rows[which.reshape(-1) == k], p) for k, p in enumerate(patterns)]
    return groups


def _exact_random(corrector, u, valid):
    n = u.shape[0]
    scale = np.where(u.max(axis=1) > 0, u.max(axis=1), 1.0)[:, None]
    squared = (u / scale) ** 2
    variance = np.empty_like(u)
    for rows, pattern in _patterns(valid, n):
        if pattern is None:
            variance[rows] = squared[rows] @ _squared_inverse(corrector)
        else:
            mapped = _masked_map(corrector, pattern)
            variance[rows] = squared[rows] @ (mapped * mapped)
    with np.errstate(over="ignore"):
        return np.sqrt(variance) * scale


def _probe_random(corrector, request, u, valid):
    """The random component from Rademacher probes: (u, bound, frames converged); see the module notes."""
    n, F = u.shape
    N = request.probes
    scale = np.where(u.max(axis=1) > 0, u.max(axis=1), 1.0)[:, None]
    us = u / scale
    z = request.rng.integers(0, 2, size=(n, N, F)).astype(np.float64) * 2.0 - 1.0
    w = us[:, None, :] * z
    c, ok = _solve(corrector, w.reshape(n * N, F), None if valid is None else np.repeat(valid, N, axis=0))
    c = c.reshape(n, N, F)
    samples = c * c
    base = np.zeros((n, F))
    refined = np.ones(n, dtype=bool) if valid is None else valid.all(axis=1)
    if corrector.target == "stray-light" and refined.any():
        # C = I + E, E = -D + D^2 C: the first order exactly, the probes for the rest.
        far_diagonal = np.asarray(corrector._system.diagonal(), dtype=np.float64) - 1.0
        r = np.flatnonzero(refined)
        e = c[r] - w[r]
        g = e + corrector._perturbation(w[r].reshape(-1, F)).reshape(e.shape)
        samples[r] = 2.0 * us[r][:, None, :] * z[r] * g + e * e
        base[r] = us[r] ** 2 * (1.0 - 2.0 * far_diagonal)
    variance = np.maximum(base + samples.mean(axis=1), 0.0)
    delta = BOUND_FACTOR * samples.std(axis=1, ddof=1) / np.sqrt(N)
    root = np.sqrt(variance)
    below = np.sqrt(np.maximum(variance - delta, 0.0))
    denominator = root + below
    bound = np.where(denominator > 0, delta / np.where(denominator > 0, denominator, 1.0), np.sqrt(delta))
    with np.errstate(over="ignore"):
        return root * scale, bound * scale, ok.reshape(n, N).all(axis=1)


def _covariance(corrector, u, valid, errors, n, F):
    """(total, random part) covariance of every frame, (n, F, F) each; NaN rows and columns where masked."""
    _check_room(F, 2 * n + 3, "the covariance of every frame", "ask for it with fewer frames at a time")
    total = np.zeros((n, F, F))
    random = np.zeros((n, F, F)) if u is not None else None
    groups = _patterns(valid, n)
    inverse = _inverse_transposed(corrector) if u is not None and any(p is None for _, p in groups) else None
    for rows, pattern in groups:
        mapped = None
        if u is not None:
            mapped = inverse if pattern is None else _masked_map(corrector, pattern)
        for q in rows:
            if u is not None:
                random[q] = mapped.T @ (u[q][:, None] ** 2 * mapped)
                total[q] = random[q]
            for e in errors:
                total[q] += np.outer(e[q], e[q])
            if pattern is not None:
                for part in (total, random):
                    if part is not None:
                        part[q][~pattern, :] = np.nan
                        part[q][:, ~pattern] = np.nan
    return total, random


def _propagate(corrector, request: _Request, b, y, masked, corrected, info) -> CorrectionResult:
    """Every component asked for, for the flat observed ``b`` and corrected ``y`` (n, F)."""
    n, F = b.shape
    shape = corrected.shape
    valid = None if masked is None or not masked.any() else ~masked
    converged = np.ones(n, dtype=bool)
    solves = 0
    systematic = operator = random = bound = None
    if request.fraction is not None:
        systematic = request.fraction * y
    elif request.u_systematic is not None:
        if request.shared:          # one image for every frame: one solve
            systematic, ok = _solve(corrector, request.u_systematic[:1], None)
            systematic, ok = np.broadcast_to(systematic, (n, F)), np.broadcast_to(ok, (n,))
        else:
            systematic, ok = _solve(corrector, request.u_systematic, valid)
            solves += 1
        converged &= ok
    if request.operator is not None:
        if corrector.target == "stray-light" and valid is None and corrector._lu is not None:
            # C D y = C (A - I) y = y - C y: exact to rounding with the LU factors, without a product with D.
            shift, ok = _solve(corrector, y, None)
            shift = y - shift
        else:
            # dy = -e C_kk (D y)_k on the valid pixels; the masked pixels' estimate does not depend on D.
            shift, ok = _solve(corrector, corrector._perturbation(y), valid, fill="zero")
        operator = -request.operator * shift
        converged &= ok
        solves += 1
    if request.u_random is not None:
        if request.exact:
            random = _exact_random(corrector, request.u_random, valid)
            bound = np.zeros_like(random)
        else:
            random, bound, ok = _probe_random(corrector, request, request.u_random, valid)
            converged &= ok
            solves += request.probes
    covariance = random_covariance = None
    if request.covariance:
        covariance, random_covariance = _covariance(corrector, request.u_random, valid,
                                                    [e for e in (systematic, operator) if e is not None], n, F)
        covariance = covariance.reshape(shape[:-2] + (F, F))
        if random_covariance is not None:
            random_covariance = random_covariance.reshape(shape[:-2] + (F, F))

    def image(v, absolute=False):
        if v is None:
            return None
        v = np.abs(v) if absolute else v
        if valid is not None:
            v = np.where(valid, v, np.nan)
        return vector_to_image(v, shape[-2:]).reshape(shape)

    info["uncertainty"] = {"propagation": "exact" if request.exact else "probes",
                           "probes": 0 if request.exact else request.probes,
                           "bound_factor": 0.0 if request.exact else BOUND_FACTOR,
                           "solves_per_frame": solves,
                           "frames_not_converged": [int(q) for q in np.flatnonzero(~converged)]}
    info["uncertainty_converged"] = bool(converged.all())
    return CorrectionResult(corrected=corrected, u_random=image(random), u_systematic=image(systematic, True),
                            u_operator=image(operator, True), info=info, u_random_bound=image(bound),
                            systematic_error=image(systematic), operator_error=image(operator),
                            covariance=covariance, random_covariance=random_covariance)


# ---------------------------------------------------------------------------
# Datasets and files
# ---------------------------------------------------------------------------
def _dims(ndim):
    if ndim == 2:
        return ("y", "x")
    if ndim == 3:
        return ("frame", "y", "x")
    return tuple(f"frame_{k}" for k in range(ndim - 2)) + ("y", "x")


def _err_corr(blocks) -> dict:
    """obsarray's ``err_corr_<k>_*`` attributes of [(dims, form, params)]."""
    attrs = {}
    for k, (dims, form, params) in enumerate(blocks, start=1):
        attrs[f"err_corr_{k}_dim"] = list(dims) if len(dims) > 1 else dims[0]
        attrs[f"err_corr_{k}_form"] = form
        attrs[f"err_corr_{k}_params"] = list(params)
        attrs[f"err_corr_{k}_units"] = []
    return attrs


def _correlated(ds, name, error, dims, shared, units):
    """A fully correlated component: its variable and attributes (``shared``: the dims of its one error)."""
    lead = [d for d in dims if d not in shared]
    signs = np.sign(np.nan_to_num(error))
    # Within one shared error the correlation of two pixels is the product of their signs.
    blocks_agree = True
    axes = tuple(dims.index(d) for d in shared)
    if signs.size:
        positive, negative = (signs > 0).any(axis=axes), (signs < 0).any(axis=axes)
        blocks_agree = not np.any(positive & negative)
    attrs = {"long_name": f"{name[2:]} standard uncertainty of the corrected image", "pdf_shape": "gaussian"}
    if units is not None:
        attrs["units"] = units
    block_size = int(np.prod([ds.sizes[d] for d in shared]))
    random_part = [(tuple(lead), "random", [])] if lead else []
    patterns = signs.reshape((-1, block_size))        # shared dims last: one row per independent error
    if blocks_agree:
        attrs.update(_err_corr([(tuple(shared), "systematic", [])] + random_part))
    elif block_size <= MATRIX_CORRELATION_LIMIT and np.all(patterns == patterns[:1]):
        # One pattern of signs (for every frame): an explicit correlation matrix over the shared dims.
        pattern = patterns[0]
        pattern = np.where(pattern == 0, 1.0, pattern)
        matrix = f"err_corr_matrix_{name}"
        ds[matrix] = ((f"{name}_corr_a", f"{name}_corr_b"), np.outer(pattern, pattern),
                      {"long_name": f"error correlation of {name} over {', '.join(shared)} (flattened in that "
                       "order)"})
        attrs.update(_err_corr([(tuple(shared), "err_corr_matrix", [matrix])] + random_part))
    else:
        # Too large for a matrix: the magnitudes as systematic, the signs alongside.
        ds[f"{name}_sign"] = (dims, signs.astype(np.int8),
                              {"long_name": f"sign of the error of {name}: the correlation of two pixels sharing "
                               "the error is the product of their signs"})
        attrs.update(_err_corr([(tuple(shared), "systematic", [])] + random_part))
        attrs["comment"] = (f"the error changes sign across the image; the correlation of two pixels is the "
                            f"product of their {name}_sign values, not +1")
    ds[name] = (dims, np.abs(error), attrs)


def _random_correlation(result, shape):
    """The correlation matrix of the random component over all dims (C order), or None when unknown or too large."""
    cov = result.random_covariance
    ky, kx = shape[-2:]
    F = kx * ky
    frames = int(np.prod(shape[:-2], dtype=np.int64))
    if cov is None or frames * F > MATRIX_CORRELATION_LIMIT:
        return None
    cov = np.asarray(cov).reshape(frames, F, F)
    order = (np.arange(ky)[:, None] + ky * np.arange(kx)[None, :]).reshape(-1)   # [y, x] C order -> flat index
    out = np.zeros((frames * F, frames * F))
    for q in range(frames):
        c = cov[q][np.ix_(order, order)]
        sigma = np.sqrt(np.diag(c))
        ok = np.isfinite(sigma) & (sigma > 0)
        safe = np.where(ok, sigma, 1.0)
        block = np.where(ok[:, None] & ok[None, :], c / np.outer(safe, safe), 0.0)
        np.fill_diagonal(block, 1.0)
        out[q * F:(q + 1) * F, q * F:(q + 1) * F] = block
    return out


def _dataset(result: CorrectionResult, units, frames_correlated, attributes):
    from . import __version__
    from .io import optional_module
    xr = optional_module("xarray")
    if not isinstance(result, CorrectionResult):
        raise TypeError(f"expected a velmora.CorrectionResult (correct(..., u_random=...)), got "
                        f"{type(result).__name__}")
    if units is not None and not isinstance(units, str):
        raise TypeError(f"units must be a string, got {units!r}")
    corrected = np.asarray(result.corrected)
    dims = _dims(corrected.ndim)
    info = result.info or {}
    global_attrs = {"Conventions": "CF-1.11", "title": "corrected L1C image(s) and their uncertainty",
                    "source": f"velmora {__version__}", "correction_method": str(info.get("method")),
                    "correction_target": str(info.get("target"))}
    if info.get("core") is not None:
        global_attrs["correction_core"] = list(info["core"])
    how = info.get("uncertainty") or {}
    if how:
        global_attrs["uncertainty_propagation"] = how["propagation"]
        global_attrs["uncertainty_probes"] = how["probes"]
    for key, value in dict(attributes or {}).items():
        if not isinstance(key, str) or not isinstance(value, (str, int, float)) or isinstance(value, bool):
            raise TypeError(f"attributes must map names to strings or numbers, got {key!r}: {value!r}")
        global_attrs[key] = value
    ds = xr.Dataset(attrs=global_attrs)
    present = [n for n in _COMPONENTS if getattr(result, n) is not None]
    image_attrs = {"long_name": "corrected L1C image", "unc_comps": present}
    if units is not None:
        image_attrs["units"] = units
    ds["corrected"] = (dims, corrected, image_attrs)
    image_dims = dims[-2:]
    for name in present:
        value = np.asarray(getattr(result, name))
        if value.shape != corrected.shape:
            raise ValueError(f"{name} has the shape {value.shape}, the corrected image {corrected.shape}")
        if name == "u_random":
            attrs = {"long_name": "random standard uncertainty of the corrected image", "pdf_shape": "gaussian"}
            if units is not None:
                attrs["units"] = units
            matrix = _random_correlation(result, corrected.shape)
            if matrix is None:
                attrs.update(_err_corr([(dims, "random", [])]))
                attrs["comment"] = ("independent between observed pixels; the correction correlates the errors of "
                                    "neighbouring corrected pixels, which this component does not describe "
                                    "(save a result made with covariance=True for its correlation matrix)")
            else:
                ds["err_corr_matrix_u_random"] = (("u_random_corr_a", "u_random_corr_b"), matrix,
                                                  {"long_name": "error correlation of u_random over "
                                                   f"{', '.join(dims)} (flattened in that order)"})
                attrs.update(_err_corr([(dims, "err_corr_matrix", ["err_corr_matrix_u_random"])]))
            ds[name] = (dims, value, attrs)
            continue
        error = getattr(result, "systematic_error" if name == "u_systematic" else "operator_error")
        error = value if error is None else np.asarray(error)
        shared = dims if (name == "u_operator" or frames_correlated) else image_dims
        _correlated(ds, name, error, dims, tuple(shared), units)
    if result.u_random_bound is not None and result.u_random is not None:
        bound_attrs = {"long_name": "error bound of u_random (statistical, see the uncertainty_propagation "
                       "attribute; 0 where exact)"}
        if units is not None:
            bound_attrs["units"] = units
        ds["u_random_bound"] = (dims, np.asarray(result.u_random_bound), bound_attrs)
    return ds


def save_corrected(path, result: CorrectionResult, *, units: str | None = None, frames_correlated: bool = True,
                   attributes=None, overwrite: bool = False) -> Path:
    """Write a corrected image and its uncertainty components to a netCDF-4 file, atomically.

    The file follows the obsarray (FIDUCEO) conventions, so that
    ``xarray.open_dataset(path).unc["corrected"].total_unc()`` gives
    :meth:`CorrectionResult.total`.

    Parameters
    ----------
    path : path-like
        The file to write, ending in ``.nc``.
    result : CorrectionResult
        As :meth:`velmora.Corrector.correct` returns it with uncertainty arguments.
    units : str, optional
        Units of the image and its uncertainties.
    frames_correlated : bool
        Whether a stack's systematic error is one shared by all frames.
    attributes : mapping, optional
        Further global attributes (strings or numbers).
    overwrite : bool
        Replace an existing file; otherwise :class:`FileExistsError`.

    Returns
    -------
    pathlib.Path
        The file written (symbolic links followed).

    Raises
    ------
    ValueError
        The path does not end in ``.nc``.
    TypeError
        ``result`` is not a :class:`CorrectionResult`, or an attribute is not
        a string or a number.
    FileExistsError
        The file exists and ``overwrite`` is False.
    ImportError
        xarray or h5netcdf is not installed.
    """
    from .io import AtomicOutputs, optional_module
    path = Path(os.fspath(path))
    if path.suffix.lower() != ".nc":
        raise ValueError(f"{path}: the corrected image is written to a netCDF file ending in .nc")
    dataset = _dataset(result, units, frames_correlated, attributes)
    optional_module("h5netcdf")
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(f"{path} exists (pass overwrite=True to replace it)")
    with AtomicOutputs() as outputs:
        tmp = outputs.temporary(path)
        dataset.to_netcdf(tmp, engine="h5netcdf")
        return outputs.commit()[0]
