"""Child process of the hostile-input test (test_hostile.py).

Runs one family of generated hostile calls of ``_velmora_if`` with hypothesis and reports, line by line,
to a report file:

    CASE <description>      written and flushed before every call, so that a crash names its case
    SUMMARY <json>          at the end: counts and failures

Usage: python hostile_worker.py FAMILY SEED EXAMPLES REPORT_PATH

A call passes when it raises TypeError, ValueError, OverflowError or MemoryError, or returns a bool:
False (with an all-zero output and an error or warning record) for every input that the module's rules
refuse, True (without an error record) for every input they accept. The output array lies inside a
larger guard buffer that must come back untouched, and no input array may change.
"""

from __future__ import annotations

import io
import json
import math
import os
import sys
import traceback
from collections import Counter

import numpy as np
from hypothesis import HealthCheck, Phase, assume, given, seed, settings
from hypothesis import strategies as st

import _velmora_if as m

NAMES = ("FULLCONVx", "FULLCONVy", "NOFSx", "NOFSy", "NOOFx", "NOOFy", "DOFSx", "DOFSy", "Dx", "Dy",
         "SOFSx", "SOFSy", "Sx", "Sy", "LBINx", "LBINy", "Lx", "Ly", "KBINx", "KBINy", "Kx", "Ky")
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)
MAX_COEFFS = 100
# Largest science-pixel table (Sx * Sy ints, bytes) that an accepted request may ask for: anything
# above cannot be allocated here (the sanitizer runtime refuses more than 2**40 bytes at once).
IMPOSSIBLE_TABLE_BYTES = 2**40
# Work (loop iterations, roughly) above which an accepted request is not generated: it would be valid
# but slow.
WORK_LIMIT = 3_000_000
DEFAULTS = {"use_simpsons": 1, "create_lower_edge_adjustment": 1, "lower_edge_rows_below": 42,
            "lower_edge_rows_above": 42}
INFIELD = "cimpl_create_deconvolution"
STRAY = "cimpl_create_horizontal_stray_light_matrix"


class HostileFailure(AssertionError):
    """A property of a hostile call did not hold."""


# ---------------------------------------------------------------------------------------------------
# Guarded output arrays.

GUARD = np.frombuffer(bytes([0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69, 0x0F, 0xF0]), dtype=np.uint8)


class Guarded:
    """An output array placed inside a larger buffer whose bytes before and after it must not change.

    kind: "plain", "fortran", "strided" (every second element), "misaligned" (one byte off),
    "readonly", "matrix" (a numpy.matrix view).
    """

    def __init__(self, shape, dtype="f8", kind="plain", fill=3.5):
        self.shape, self.dtype, self.kind = tuple(shape), np.dtype(dtype), kind
        n = int(np.prod(self.shape, dtype=object))
        itemsize = self.dtype.itemsize
        step = 2 if kind == "strided" else 1
        self.span = n * itemsize * step
        guard = max(256, self.span)
        self.start = guard + (1 if kind == "misaligned" else 0)
        total = self.start + self.span + guard
        self.raw = np.resize(GUARD, total)
        self.raw[self.start:self.start + self.span] = np.frombuffer(
            np.full(n * step, fill, dtype=self.dtype).tobytes(), dtype=np.uint8)
        if kind == "strided":
            strides = tuple(s * 2 for s in np.empty(self.shape, self.dtype).strides)
            view = np.ndarray(self.shape, self.dtype, buffer=self.raw, offset=self.start, strides=strides)
        else:
            order = "F" if kind == "fortran" else "C"
            view = np.ndarray(self.shape, self.dtype, buffer=self.raw, offset=self.start, order=order)
        if kind == "readonly":
            view.flags.writeable = False
        if kind == "matrix":
            view = view.view(np.matrix)
        self.view = view
        self.initial = self.raw.copy()

    def guard_intact(self):
        s, e = self.start, self.start + self.span
        return np.array_equal(self.raw[:s], self.initial[:s]) and np.array_equal(self.raw[e:], self.initial[e:])

    def region_unchanged(self):
        s, e = self.start, self.start + self.span
        return np.array_equal(self.raw[s:e], self.initial[s:e])

    def values(self):
        """The output elements as native doubles (only meaningful for an accepted float64 output)."""
        return np.array(self.view, dtype=np.float64).ravel()

    def describe(self):
        return f"output{self.shape} {self.dtype.str} {self.kind}"


def describe(obj):
    if isinstance(obj, Guarded):
        return obj.describe()
    if isinstance(obj, np.ndarray):
        f = obj.flags
        text = (f"{type(obj).__name__}{obj.shape} {obj.dtype.str}"
                f"{'' if f.c_contiguous else ' noncontig'}{'' if f.aligned else ' misaligned'}"
                f"{'' if f.writeable else ' readonly'}")
        if obj.dtype.kind in "iu" and obj.ndim == 1 and obj.size <= 32:
            text += " " + str(obj.tolist())
        return text
    text = repr(obj)
    return text if len(text) <= 80 else text[:60] + f"...<{len(text)} chars>"


def int_or_none(value):
    """Python int of an integer-like value, None for anything else."""
    return int(value) if isinstance(value, (int, np.integer)) else None


# ---------------------------------------------------------------------------------------------------
# The module's rules, as a model: which converted requests are refused.

def window_arithmetic_refuses(P):
    sizes = ("FULLCONV", "NOOF", "D", "S", "L", "K")
    if any(P[s + a] < 0 for s in sizes for a in "xy"):
        return True
    if any(P[b + a] < 1 for b in ("LBIN", "KBIN") for a in "xy"):
        return True
    products = (("Kx", "Ky"), ("LBINx", "Lx"), ("LBINy", "Ly"), ("KBINx", "Kx"), ("KBINy", "Ky"),
                ("LBINx", "KBINx"), ("LBINy", "KBINy"))
    return any(not INT32_MIN <= P[a] * P[b] <= INT32_MAX for a, b in products)


def not_buildable(P, ncoeffs, stray):
    if P["Kx"] < 1 or P["Ky"] < 1:
        return True
    if P["SOFSx"] < 0 or P["SOFSy"] < 0 or P["SOFSx"] + P["Sx"] > P["Dx"] or P["SOFSy"] + P["Sy"] > P["Dy"]:
        return True
    if stray:
        nx0, ny0 = P["SOFSx"] + P["DOFSx"], P["SOFSy"] + P["DOFSy"]
        if nx0 < 0 or ny0 < 0 or nx0 + P["Sx"] > P["NOOFx"] or ny0 + P["Sy"] > P["NOOFy"]:
            return True
    return ncoeffs > MAX_COEFFS


def indices_refused(coeffs, indices, M):
    return bool(np.any((coeffs != 0) & ((indices < 0) | (indices >= M))))


def infield_rules(specs, psfs, locn, coeffs, indices, out_shape, rows_below):
    """'refuse', 'alloc' (must fail: memory that cannot exist) or 'accept', and the work of the build."""
    if specs.shape[0] != 22:
        return "refuse", 0
    P = dict(zip(NAMES, (int(v) for v in specs)))
    M, pNx, pNy = psfs.shape
    KK = P["Kx"] * P["Ky"]
    if not (locn.shape == (M, 3) and coeffs.shape[:2] == (P["Dx"], P["Dy"])
            and indices.shape[:2] == (P["Dx"], P["Dy"]) and pNx >= P["Dx"] and pNy >= P["Dy"]
            and out_shape == (KK, KK) and indices.shape[2] == coeffs.shape[2]):
        return "refuse", 0
    if pNx < P["Sx"] or pNy < P["Sy"]:
        return "refuse", 0
    if P["Sx"] != P["LBINx"] * P["Lx"] or P["Sy"] != P["LBINy"] * P["Ly"]:
        return "refuse", 0
    if P["Lx"] != P["KBINx"] * P["Kx"] or P["Ly"] != P["KBINy"] * P["Ky"]:
        return "refuse", 0
    if window_arithmetic_refuses(P) or not_buildable(P, coeffs.shape[2], stray=False):
        return "refuse", 0
    S = P["Sx"] * P["Sy"]
    if 4 * S > IMPOSSIBLE_TABLE_BYTES:
        return "alloc", 0
    if indices_refused(coeffs, indices, M):
        return "refuse", 0
    Bx = P["LBINx"] * P["KBINx"]
    edge_rows = min(max(rows_below, 0), P["SOFSy"])
    work = S + S * (S + P["Kx"] * Bx * edge_rows) * max(1, coeffs.shape[2] // 8) + coeffs.size
    return "accept", work


def stray_rules(specs, vign, psfs, locn, coeffs, indices, out_shape, steps):
    if specs.shape[0] != 22:
        return "refuse", 0
    P = dict(zip(NAMES, (int(v) for v in specs)))
    M, pNx, pNy = psfs.shape
    KK = P["Kx"] * P["Ky"]
    if out_shape != (KK, KK) or locn.shape[1] != 3:
        return "refuse", 0
    if pNx < P["Sx"] or pNy < P["Sy"] or locn.shape[0] != M:
        return "refuse", 0
    if P["Sx"] != P["LBINx"] * P["Lx"] or P["Sy"] != P["LBINy"] * P["Ly"]:
        return "refuse", 0
    if P["Lx"] != P["KBINx"] * P["Kx"] or P["Ly"] != P["KBINy"] * P["Ky"]:
        return "refuse", 0
    if coeffs.shape[:2] != (P["NOOFx"], P["NOOFy"]) or indices.shape[:2] != (P["NOOFx"], P["NOOFy"]):
        return "refuse", 0
    if indices.shape[2] != coeffs.shape[2]:
        return "refuse", 0
    if window_arithmetic_refuses(P) or any(s < 1 for s in steps):
        return "refuse", 0
    if not_buildable(P, coeffs.shape[2], stray=True):
        return "refuse", 0
    S = P["Sx"] * P["Sy"]
    if 4 * S > IMPOSSIBLE_TABLE_BYTES:
        return "alloc", 0
    if indices_refused(coeffs, indices, M):
        return "refuse", 0
    dnx, dny, dsx, dsy = steps
    rows = max(0, -(-(P["Sy"] - dny // 2) // dny))
    receivers = -(-P["Sx"] // dsx) * -(-P["Sy"] // dsy)
    work = S + rows * (P["NOOFx"] // dnx + 2) * (1 + receivers) * max(1, coeffs.shape[2] // 8) + coeffs.size
    return "accept", work


# ---------------------------------------------------------------------------------------------------
# Running one call and checking it.

class Case:
    """One call: the function name, its positional arguments (the output as a Guarded) and what the
    rules say about it.

    expect: "raise" (an allowed exception), "refuse" / "alloc" (False), "accept" (True), or None
    (either, the rules are not modelled for this input). `reference` is a case whose matrix the call
    must reproduce (inputs in another layout). `tame`: every number is finite and moderate, so a
    built matrix must be finite.
    """

    def __init__(self, fn, args, expect=None, tame=False, reference=None, kwargs=None, settings=None, note=""):
        self.fn, self.args, self.expect, self.tame = fn, args, expect, tame
        self.reference, self.kwargs, self.settings, self.note = reference, kwargs or {}, settings, note

    def output(self):
        return next((a for a in self.args if isinstance(a, Guarded)), None)

    def describe(self):
        parts = [describe(a) for a in self.args]
        if self.kwargs:
            parts.append(f"kwargs={sorted(self.kwargs)}")
        extra = f" settings={self.settings}" if self.settings else ""
        note = f" [{self.note}]" if self.note else ""
        return f"{self.fn}({', '.join(parts)}) expect={self.expect}{note}{extra}"

    __repr__ = describe


class Runner:
    def __init__(self, report):
        self.report = report
        self.counts = Counter()
        self.failures = []

    def note_case(self, case):
        self.report.write("CASE " + case.describe().replace("\n", " ") + "\n")
        self.report.flush()

    def call(self, fn, *args, **kwargs):
        """Call a module function with sys.stdout captured: (result or exception, printed lines)."""
        buffer, saved = io.StringIO(), sys.stdout
        sys.stdout = buffer
        try:
            outcome = getattr(m, fn)(*args, **kwargs)
        except BaseException as exc:   # noqa: BLE001 - every exception is judged below
            outcome = exc
        finally:
            sys.stdout = saved
        # Lines end in "\n" only: a text may hold other characters that splitlines() would split at.
        text = buffer.getvalue()
        return outcome, (text[:-1] if text.endswith("\n") else text).split("\n") if text else []

    def apply_settings(self, s):
        for name in DEFAULTS:
            m.cimpl_set_option(name, s.get(name, DEFAULTS[name]))
        m.cimpl_set_numthreads(s.get("threads", 2))
        m.cimpl_set_diagnostic(s.get("diagnostic", 0))

    def fail(self, case, message, lines=()):
        tail = "\n      ".join(lines[-8:])
        raise HostileFailure(f"{message}\n    case: {case.describe()}\n    log tail:\n      {tail}")

    def run(self, case):
        """Run one case and check every property; returns (outcome, lines)."""
        if case.settings is not None:
            self.apply_settings(case.settings)
        out = case.output()
        actual = [a.view if isinstance(a, Guarded) else a for a in case.args]
        snapshots = []
        for a in actual:
            if isinstance(a, np.ndarray) and (out is None or a is not out.view):
                root = a
                while isinstance(root.base, np.ndarray):
                    root = root.base
                if out is None or root is not out.raw:
                    snapshots.append((root, root.tobytes()))
        self.note_case(case)
        outcome, lines = self.call(case.fn, *actual, **case.kwargs)
        self.counts["calls"] += 1
        self.counts[f"calls {case.fn}"] += 1
        key = type(outcome).__name__ if isinstance(outcome, BaseException) else str(outcome)
        self.counts[f"outcome {key}"] += 1
        self.counts[f"rules {case.expect or 'open'}"] += 1

        if out is not None and not out.guard_intact():
            self.fail(case, "the call wrote outside its output array", lines)
        if any(root.tobytes() != before for root, before in snapshots):
            self.fail(case, "the call changed one of its input arrays", lines)
        if isinstance(outcome, BaseException):
            if not isinstance(outcome, ALLOWED):
                self.fail(case, f"unexpected exception {outcome!r}", lines)
            if case.expect not in (None, "raise"):
                self.fail(case, f"raised {outcome!r} where the rules say {case.expect}", lines)
            if out is not None and not out.region_unchanged():
                self.fail(case, f"raised {outcome!r} but changed the output", lines)
            return outcome, lines
        if type(outcome) is not bool:
            self.fail(case, f"returned {outcome!r}, not a bool", lines)
        if case.expect == "raise":
            self.fail(case, f"returned {outcome} where an exception was expected", lines)
        if case.fn.startswith("cimpl_set_"):
            if outcome is not True:
                self.fail(case, "a setter returned False", lines)
            return outcome, lines
        errors = [ln for ln in lines if ln.startswith("ERROR\t:")]
        if outcome is False:
            if case.expect == "accept":
                self.fail(case, "refused a request that the rules accept", lines)
            if not np.all(out.values() == 0.0):
                self.fail(case, "returned False without setting the whole output to 0.0", lines)
            if not any(ln.startswith(("ERROR\t:", "WARNING\t:")) for ln in lines):
                self.fail(case, "returned False without an error or warning record", lines)
        else:
            if case.expect in ("refuse", "alloc"):
                self.fail(case, f"reported success for a request that the rules refuse ({case.expect})", lines)
            if errors:
                self.fail(case, "reported success after an error record", lines)
            if case.tame and not np.all(np.isfinite(out.values())):
                self.fail(case, "built a matrix with non-finite elements from finite inputs", lines)
            if case.reference is not None:
                ref = case.reference.output().values()
                if not np.allclose(out.values(), ref, rtol=1e-9, atol=1e-300):
                    self.fail(case, "built a different matrix from the same inputs in another layout", lines)
        return outcome, lines


# ---------------------------------------------------------------------------------------------------
# Strategies.

HOSTILE_INTS = (0, -1, 1, 2, 3, -2, 7, 46341, 65535, 2**16, 2**20, 2**30, INT32_MAX, INT32_MAX - 1,
                INT32_MIN, INT32_MIN + 1)
hostile_int = st.one_of(st.sampled_from(HOSTILE_INTS), st.integers(INT32_MIN, INT32_MAX), st.integers(-4, 40))
SPECIALS = (np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, -0.0, 0.0, 1e300)


def clamp32(v):
    return max(INT32_MIN, min(INT32_MAX, v))


@st.composite
def geometry(draw, kmax=3):
    """22 consistent windowing parameters of a small instrument."""
    P = {}
    for a in "xy":
        P["K" + a] = draw(st.integers(1, kmax))
        P["KBIN" + a] = draw(st.integers(1, 2))
        P["LBIN" + a] = draw(st.integers(1, 2))
        P["L" + a] = P["KBIN" + a] * P["K" + a]
        P["S" + a] = P["LBIN" + a] * P["L" + a]
        P["SOFS" + a] = draw(st.integers(0, 2))
        P["D" + a] = P["S" + a] + P["SOFS" + a] + draw(st.integers(0, 2))
        P["DOFS" + a] = draw(st.integers(0, 2))
        P["NOOF" + a] = P["D" + a] + P["DOFS" + a] + draw(st.integers(0, 3))
        P["NOFS" + a] = draw(st.integers(0, 2))
        P["FULLCONV" + a] = P["NOOF" + a] + P["NOFS" + a] + draw(st.integers(0, 2))
    return P


@st.composite
def huge_geometry(draw):
    """Consistent windows whose science-pixel table cannot be allocated (more than 2**40 bytes)."""
    P = {}
    for a in "xy":
        P["K" + a] = draw(st.integers(1, 2))
        P["KBIN" + a] = draw(st.sampled_from([1, 2**10, 2**12]))
        P["LBIN" + a] = draw(st.sampled_from([2**10, 2**11])) * (2**20 // (P["KBIN" + a] * 2**10) or 1)
        P["L" + a] = P["KBIN" + a] * P["K" + a]
        P["S" + a] = P["LBIN" + a] * P["L" + a]
        P["SOFS" + a] = draw(st.integers(0, 2))
        P["D" + a] = P["S" + a] + P["SOFS" + a]
        P["DOFS" + a] = draw(st.integers(0, 2))
        P["NOOF" + a] = P["D" + a] + P["DOFS" + a]
        P["NOFS" + a] = 0
        P["FULLCONV" + a] = P["NOOF" + a]
    assume(4 * P["Sx"] * P["Sy"] > IMPOSSIBLE_TABLE_BYTES)
    return P


@st.composite
def numbers(draw, shape, lo=0.0, hi=1.0, specials=True):
    """An array of doubles: seeded uniform values with a few special values (NaN, inf, huge) mixed in."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    a = rng.uniform(lo, hi, size=shape)
    if specials and a.size and draw(st.integers(0, 3)) == 0:
        for _ in range(draw(st.integers(1, 3))):
            a.flat[draw(st.integers(0, a.size - 1))] = draw(st.sampled_from(SPECIALS))
    return a


def is_tame(*arrays):
    return all(np.all(np.isfinite(a)) and np.all(np.abs(a) <= 1e6) for a in arrays)


run_settings = st.fixed_dictionaries({
    "use_simpsons": st.sampled_from([1, 0, 2, -1]),
    "create_lower_edge_adjustment": st.sampled_from([1, 0]),
    "lower_edge_rows_below": st.sampled_from([42, 0, 1, 3, -3, INT32_MAX, INT32_MIN]),
    "lower_edge_rows_above": st.sampled_from([42, 0, 2, -1, INT32_MAX, INT32_MIN]),
    "threads": st.sampled_from([1, 2, 3]),
    "diagnostic": st.sampled_from([0, 0, 0, 1]),
})


def specs_of(P):
    return np.array([P[n] for n in NAMES], dtype=np.int32)


def output_for(KK, draw):
    if 0 <= KK <= 36:
        return Guarded((KK, KK))
    return Guarded(draw(st.sampled_from([(1, 1), (0, 0), (2, 3)])))


@st.composite
def request(draw, fn, P, M=None, ncoeffs=None, hostile_values=True, steps=None):
    """Arrays sized for the windows P (empty tables where the windows are too large to fill, refused
    shapes where even that is impossible), and the Case with the rules' verdict."""
    stray = fn == STRAY
    if M is None:
        M = draw(st.integers(0, 3))
    if ncoeffs is None:
        ncoeffs = draw(st.sampled_from([0, 1, 2, 3]))
    wx, wy = (P["NOOFx"], P["NOOFy"]) if stray else (P["Dx"], P["Dy"])
    small = lambda *d: all(0 <= v <= 4096 for v in d) and math.prod(d) <= 20000  # noqa: E731
    fits = lambda *d: all(0 <= v <= 2**24 for v in d)  # noqa: E731
    if small(wx, wy, max(ncoeffs, 1)):
        tshape = (wx, wy, ncoeffs)
    elif fits(wx, wy):
        tshape = (wx, wy, 0)
    else:
        tshape = (3, 3, ncoeffs)
    needx = max(P["Sx"], 0 if stray else P["Dx"], 0)
    needy = max(P["Sy"], 0 if stray else P["Dy"], 0)
    if small(M, needx + 2, needy + 2):
        pshape = (M, needx + draw(st.integers(0, 2)), needy + draw(st.integers(0, 2)))
    elif fits(needx, needy):
        M, pshape = 0, (0, needx, needy)
    else:
        pshape = (M, 4, 4)
    M = pshape[0]
    psfs = draw(numbers(pshape, specials=hostile_values))
    locn = draw(numbers((M, 3), lo=0.0, hi=float(max(pshape[1:], default=1)), specials=hostile_values))
    if M:
        locn[:, 2] = 2 if stray else 3
    coeffs = draw(numbers(tshape, lo=-0.2, hi=1.0, specials=hostile_values))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    indices = rng.integers(0, max(M, 1), size=tshape, dtype=np.int32)
    if M == 0 and draw(st.booleans()):
        coeffs[...] = 0.0
    settings_ = draw(run_settings)
    KK = P["Kx"] * P["Ky"]
    out = output_for(KK, draw)
    specs = specs_of({k: clamp32(v) for k, v in P.items()})
    if stray:
        steps = steps or (1, 1, 1, 1)
        vign = draw(numbers((wx, wy) if small(wx, wy) else (0, 0), lo=0.0, hi=1.5, specials=hostile_values))
        verdict, work = stray_rules(specs, vign, psfs, locn, coeffs, indices, out.shape, steps)
        args = [specs, vign, psfs, locn, coeffs, indices, out, *steps]
        tame = is_tame(psfs, coeffs, vign)
    else:
        verdict, work = infield_rules(specs, psfs, locn, coeffs, indices, out.shape,
                                      settings_["lower_edge_rows_below"])
        args = [specs, psfs, locn, coeffs, indices, out]
        tame = is_tame(psfs, coeffs)
    assume(work <= WORK_LIMIT)
    return Case(fn, args, expect=verdict, tame=tame, settings=settings_)


def rerun_verdict(case):
    """The rules' verdict for a case whose arrays were changed after it was drawn."""
    a = case.args
    if case.fn == INFIELD:
        return infield_rules(a[0], a[1], a[2], a[3], a[4], a[5].shape,
                             case.settings["lower_edge_rows_below"])
    return stray_rules(a[0], a[1], a[2], a[3], a[4], a[5], a[6].shape, tuple(a[7:11]))


@st.composite
def window_cases(draw):
    """Windowing parameters: negative, zero and huge values, inconsistent windows, science windows
    outside the detector window, Kx*Ky beyond 32 bits, consistent windows too large to build."""
    fn = draw(st.sampled_from([INFIELD, STRAY]))
    if draw(st.integers(0, 9)) == 0:
        P = draw(huge_geometry())
        return draw(request(fn, P, M=0, ncoeffs=0))
    P = draw(geometry())
    for _ in range(draw(st.integers(1, 3))):
        how = draw(st.sampled_from(["value", "value", "shift", "chain", "offset"]))
        if how == "value":
            P[draw(st.sampled_from(NAMES))] = draw(hostile_int)
        elif how == "shift":
            name = draw(st.sampled_from(NAMES))
            P[name] = clamp32(P[name] + draw(st.integers(-3, 3)))
        elif how == "offset":
            a = draw(st.sampled_from("xy"))
            P["SOFS" + a] = draw(st.sampled_from([-1, -2, P["D" + a] - P["S" + a] + 1, INT32_MAX, INT32_MIN]))
        else:
            # A consistent chain with a hostile L1C size or binning.
            a = draw(st.sampled_from("xy"))
            P["K" + a] = draw(st.sampled_from([0, -1, 2**16, 46341, 1]))
            P["KBIN" + a] = draw(st.sampled_from([1, 2, 0, -1, 2**16]))
            P["L" + a] = clamp32(P["KBIN" + a] * P["K" + a])
            P["S" + a] = clamp32(P["LBIN" + a] * P["L" + a])
    steps = None
    if fn == STRAY:
        steps = tuple(draw(st.integers(1, 3)) for _ in range(4))
    return draw(request(fn, P, steps=steps))


@st.composite
def psf_cases(draw):
    """PSF stacks, locations, coefficients and indices: NaN and infinite values, indices out of
    range or negative, more than 100 coefficients per pixel, location arrays of other widths,
    mismatched counts; stray-light steps of 0 and below and vignetting arrays of any size."""
    fn = draw(st.sampled_from([INFIELD, STRAY]))
    P = draw(geometry())
    ncoeffs = draw(st.sampled_from([0, 1, 2, 3, 3, 99, 100, 101, 150]))
    steps = None
    if fn == STRAY:
        step = st.one_of(st.integers(1, 3), st.sampled_from([0, -1, INT32_MIN, INT32_MAX, 2**30, 5]),
                         st.integers(INT32_MIN, INT32_MAX))
        steps = tuple(draw(step) for _ in range(4))
    case = draw(request(fn, P, ncoeffs=ncoeffs, steps=steps))
    a = case.args
    k = 1 if fn == STRAY else 0   # position shift of the arrays after window_specs
    psfs, locn, coeffs, indices = a[1 + k], a[2 + k], a[3 + k], a[4 + k]
    M = psfs.shape[0]
    if indices.size and draw(st.booleans()):
        for _ in range(draw(st.integers(1, 3))):
            i = draw(st.integers(0, indices.size - 1))
            indices.flat[i] = draw(st.sampled_from([-1, M, M + 1, INT32_MIN, INT32_MAX]))
            if draw(st.booleans()):
                coeffs.flat[i] = 0.0   # an index that no non-zero coefficient uses is harmless
    change = draw(st.sampled_from(["none", "none", "locn rows", "locn cols", "index count", "psf size",
                                   "window type", "vignetting"]))
    if change == "locn rows":
        a[2 + k] = draw(numbers((max(0, M + draw(st.sampled_from([-1, 1, 2]))), 3)))
    elif change == "locn cols":
        a[2 + k] = draw(numbers((M, draw(st.sampled_from([0, 1, 2, 4, 6]))), lo=0, hi=5))
    elif change == "index count":
        shape = indices.shape[:2] + (indices.shape[2] + draw(st.sampled_from([-1, 1])),)
        if shape[2] >= 0:
            a[4 + k] = np.zeros(shape, np.int32)
    elif change == "psf size":
        shape = (M, max(0, psfs.shape[1] + draw(st.integers(-3, 0))), max(0, psfs.shape[2] + draw(st.integers(-3, 0))))
        a[1 + k] = draw(numbers(shape))
    elif change == "window type" and M:
        locn[:, 2] = draw(st.sampled_from([np.nan, np.inf, -1.0, 1e300, 7.0, 3.9, 2.0, -2.5e9]))
    elif change == "vignetting" and fn == STRAY:
        nx, ny = P["NOOFx"], P["NOOFy"]
        shape = draw(st.sampled_from([(0, 0), (0, 5), (5, 0), (ny, nx), (3, 3), (nx, ny + 1), (1, 1)]))
        a[1] = draw(numbers(shape, lo=-1.0, hi=2.0))
    case.expect, work = rerun_verdict(case)
    assume(work <= WORK_LIMIT)
    arrays = [x for x in case.args if isinstance(x, np.ndarray) and x.dtype == np.float64]
    case.tame = is_tame(*[x for x in arrays if x is not a[2 + k]])
    return case


# Layout and type changes of one argument. Each returns (new object, kind): "same" keeps the values,
# "raise" must be refused by the conversion, "any" may go either way.
def input_variants(a, rank, typenum):
    """Strategies for a hostile version of the input array `a` (required rank and element type)."""
    is_int = typenum == "i4"
    same = {
        "strided": lambda: np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a,
        "fortran": lambda: np.asfortranarray(a),
        "byteswapped": lambda: a.astype(a.dtype.newbyteorder()),
        "misaligned": lambda: misaligned_copy(a),
        "readonly": lambda: readonly_copy(a),
        "subclass": lambda: a.view(Subclass),
        "reversed twice": lambda: a[::-1][::-1] if a.ndim else a,
    }
    unsafe = (["i8", "u4", "u8", "f8", "f4", "f2", "g", "c8", "c16", "U", "S", "O", "m8", "M8", "V4"] if is_int
              else ["c16", "c8", "G", "g", "U", "S", "O", "m8", "M8", "V8"])
    safe_int = ["i2", "i1", "u2", "u1", "?"]
    safe_double = ["f4", "f2", "i8", "u8", "u4", "i4", "i2", "u1", "?"]

    def converted(t):
        try:
            return a.astype(t) if t != "U" else a.astype(str)
        except (TypeError, ValueError, OverflowError):
            return np.zeros(a.shape, dtype=t)
    variants = [st.sampled_from(sorted(same)).map(lambda k: (same[k](), "same", k))]
    variants.append(st.sampled_from(unsafe).map(lambda t: (converted(t), "raise", f"dtype {t}")))
    variants.append(st.sampled_from(safe_int if is_int else safe_double)
                    .map(lambda t: (converted(t), "any", f"dtype {t}")))
    variants.append(st.sampled_from(["rank+1", "rank-1", "0-d"]).map(lambda k: (
        a[np.newaxis] if k == "rank+1" else (a.reshape(-1) if a.ndim > 1 else a.reshape(1, -1))
        if k == "rank-1" else np.array(1, dtype=typenum), "raise", k)))
    variants.append(st.sampled_from(["None", "str", "dict", "float", "bytes"]).map(lambda k: (
        {"None": None, "str": "abc", "dict": {}, "float": 1.5, "bytes": b"\x00\x01"}[k], "raise", k)))
    variants.append(st.just((a.tolist(), "same" if a.size and a.ndim == rank else "any", "list")))
    variants.append(st.sampled_from(range(rank)).map(lambda ax: (
        np.zeros(tuple(0 if i == ax else d for i, d in enumerate(a.shape)), dtype=typenum), "rules",
        f"empty along axis {ax}")))
    return st.one_of(*variants)


class Subclass(np.ndarray):
    pass


def misaligned_copy(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.ndarray(a.shape, a.dtype, buffer=raw, offset=1)
    out[...] = a
    return out


def readonly_copy(a):
    b = a.copy()
    b.flags.writeable = False
    return b


OUTPUT_TYPES = {"float32": "f4", "float16": "f2", "longdouble": "g", "int64": "i8", "int32": "i4", "uint8": "u1",
                "bool": "?", "complex": "c16", "void": "V8", "bigendian": ">f8"}
OUTPUT_VARIANTS = ("fortran", "strided", "misaligned", "readonly", "matrix", "rank1", "rank3", "list", "None",
                   "wider", "taller", "empty", "object") + tuple(OUTPUT_TYPES)


def output_variant(kind, shape):
    n0, n1 = shape
    if kind in ("fortran", "strided", "misaligned", "readonly", "matrix"):
        return Guarded(shape, kind=kind)
    if kind in OUTPUT_TYPES:
        return Guarded(shape, dtype=OUTPUT_TYPES[kind])
    if kind == "object":
        return np.zeros(shape, dtype=object)
    if kind == "rank1":
        return Guarded((n0 * n1,))
    if kind == "rank3":
        return Guarded((1, n0, n1))
    if kind == "list":
        return [[0.0] * n1 for _ in range(n0)]
    if kind == "None":
        return None
    if kind == "wider":
        return Guarded((n0, n1 + 1))
    if kind == "taller":
        return Guarded((n0 + 1, n1))
    return Guarded((0, 0))


@st.composite
def conversion_cases(draw):
    """One argument of a valid request replaced: other element types, ranks, layouts, byte orders,
    read-only or misaligned outputs, non-array objects, empty arrays, integers out of range, wrong
    argument counts. Returns (reference case, hostile case)."""
    fn = draw(st.sampled_from([INFIELD, STRAY]))
    P = draw(geometry(kmax=2))
    steps = (1, 1, 1, 1) if fn == STRAY else None
    base = draw(request(fn, P, M=draw(st.integers(1, 2)), ncoeffs=draw(st.integers(1, 2)),
                        hostile_values=False, steps=steps))
    args = list(base.args)
    ranks = ([1, 3, 2, 3, 3] if fn == INFIELD else [1, 2, 3, 2, 3, 3])
    types = (["i4", "f8", "f8", "f8", "i4"] if fn == INFIELD else ["i4", "f8", "f8", "f8", "f8", "i4"])
    nin = len(ranks)
    target = draw(st.sampled_from(["input"] * 4 + ["output"] * 2 + (["integer"] if fn == STRAY else [])
                                  + ["count", "keywords"]))
    args[nin] = Guarded(base.output().shape)
    hostile = Case(fn, args, settings=base.settings, tame=False)
    if target == "input":
        i = draw(st.integers(0, nin - 1))
        obj, kind, label = draw(input_variants(base.args[i], ranks[i], types[i]))
        args[i] = obj
        hostile.note = f"argument {i + 1}: {label}"
        if kind == "same":
            hostile.expect, hostile.reference, hostile.tame = base.expect, base, base.tame
        elif kind == "rules":
            hostile.expect = rerun_verdict(hostile)[0]
        else:
            hostile.expect = "raise" if kind == "raise" else None
    elif target == "output":
        kind = draw(st.sampled_from(OUTPUT_VARIANTS))
        new = output_variant(kind, base.output().shape)
        args[nin] = new
        hostile.note = f"output: {kind}"
        if kind == "matrix":
            hostile.expect, hostile.reference = base.expect, base
        elif kind in ("wider", "taller", "empty"):
            hostile.expect = "refuse"
        elif kind in OUTPUT_TYPES or kind in ("readonly", "rank1", "rank3", "list", "None", "misaligned", "object"):
            hostile.expect = "raise"
        else:   # fortran or strided: refused unless the layout is C-contiguous after all
            hostile.expect = "raise" if not new.view.flags.c_contiguous else base.expect
    elif target == "integer":
        j = draw(st.integers(nin + 1, nin + 4))
        value = draw(st.sampled_from([2**31, -2**31 - 1, 2**64, 1.0, "1", None, np.int32(1), True, 0, -5]))
        args[j] = value
        hostile.note = f"argument {j + 1}: {value!r}"
        if value is True:
            hostile.expect, hostile.reference = base.expect, base
        elif isinstance(value, int) and not isinstance(value, bool) and INT32_MIN <= value <= INT32_MAX:
            hostile.expect = "refuse"
        else:
            hostile.expect = "raise"
    elif target == "count":
        hostile.note = "argument count"
        if draw(st.booleans()):
            hostile.args = args[:-1]
        else:
            hostile.args = args + [args[-1]]
        hostile.expect = "raise"
    else:
        hostile.note = "keyword argument"
        hostile.kwargs = {"goodanswer2D": args[nin]}
        hostile.args = args[:nin]
        hostile.expect = "raise"
    return base, hostile


# Setters: hostile values for every argument.
any_object = st.one_of(st.none(), st.floats(allow_nan=True), st.binary(max_size=8), st.just([1]),
                       st.just(np.int64(3)), st.just(np.float64(2.0)), st.just(object()), st.just(2**63))
any_int = st.one_of(st.sampled_from([0, 1, -1, 2, 16, 17, 1000, INT32_MAX, INT32_MIN, 2**31, -2**31 - 1,
                                     2**100, True, False]), st.integers(-2**40, 2**40))
any_text = st.one_of(st.text(max_size=40), st.sampled_from(["%s%s%n%d", "\x00hidden", "use_simpsons",
                                                            "lower_edge_rows_below", "\ud800", "é" * 300]),
                     st.integers(0, 100_000).map(lambda n: "V" * n))


def setter_expectation(fn, args):
    def int_ok(v):
        return isinstance(v, int) and INT32_MIN <= v <= INT32_MAX

    def text_ok(v):
        if not isinstance(v, str) or "\x00" in v:
            return False
        try:
            v.encode("utf-8")
            return True
        except UnicodeEncodeError:
            return False
    if fn == "cimpl_set_option":
        ok = len(args) == 2 and text_ok(args[0]) and int_ok(args[1])
    elif fn == "cimpl_set_versionstr":
        ok = text_ok(args[0])
    else:
        ok = int_ok(args[0])
    return None if ok else "raise"


@st.composite
def setter_cases(draw):
    """A few setter calls with hostile arguments, then a valid request that must still succeed."""
    calls = []
    for _ in range(draw(st.integers(1, 4))):
        fn = draw(st.sampled_from(["cimpl_set_option", "cimpl_set_numthreads", "cimpl_set_diagnostic",
                                   "cimpl_set_versionstr"]))
        if fn == "cimpl_set_option":
            args = (draw(st.one_of(any_text, any_object)), draw(st.one_of(any_int, any_object)))
        elif fn == "cimpl_set_versionstr":
            args = (draw(st.one_of(any_text, any_object)),)
        else:
            args = (draw(st.one_of(any_int, any_object)),)
        calls.append(Case(fn, args, expect=setter_expectation(fn, args)))
    fn = draw(st.sampled_from([INFIELD, STRAY]))
    final = draw(request(fn, draw(geometry(kmax=2)), M=draw(st.integers(1, 2)), hostile_values=False))
    final.settings = None   # the setters above decide
    return calls, final


# ---------------------------------------------------------------------------------------------------

def check_setter_effects(runner, calls, final, lines):
    """After hostile setters, the request must use a thread count within the cap (with one warning if
    the request asked for more) and log the last version text, truncated safely."""
    threads = [ln for ln in lines if "Processing with a maximum of" in ln]
    if len(threads) != 1:
        runner.fail(final, "no single thread record", lines)
    used = int(threads[0].split("maximum of ")[1].split()[0])
    cap = 8 * (os.cpu_count() or 1)
    if not 1 <= used <= cap:
        runner.fail(final, f"the build ran with {used} threads, beyond the cap {cap}", lines)
    requested = None
    for c in calls:
        if c.fn == "cimpl_set_numthreads" and c.expect is None:
            requested = int(c.args[0])
    warnings = [ln for ln in lines if "threads is more than this machine can run" in ln]
    if requested is not None and requested > used:
        if len(warnings) != 1 or f"maximum of {requested} threads" not in warnings[0] \
                or f"Using {used} threads" not in warnings[0]:
            runner.fail(final, f"no single warning naming the requested {requested} and used {used} threads",
                        lines)
    elif warnings:
        runner.fail(final, "a thread warning without a capped request", lines)
    version = [ln for ln in lines if ", Version [" in ln]
    # The record is formatted into a bounded buffer of 1024 bytes, and the log sink prints at most
    # 990 bytes of a line.
    if len(version) != 1 or len(version[0].split("... truncated")[0].encode("utf-8", "replace")) > 1030:
        runner.fail(final, "no single, bounded version record", lines)
    if any("... truncated" in ln for ln in lines):
        # The log sink cuts long lines itself so that each keeps its line end.
        runner.fail(final, "a record line was cut by the interpreter and ran into the next one", lines)


def family_test(name, runner, examples, seed_value):
    common = settings(max_examples=examples, database=None, deadline=None, derandomize=False,
                      suppress_health_check=list(HealthCheck), phases=[Phase.generate, Phase.shrink],
                      print_blob=False, report_multiple_bugs=False)

    if name == "windows" or name == "psf":
        strategy = window_cases() if name == "windows" else psf_cases()

        @common
        @seed(seed_value)
        @given(strategy)
        def test(case):
            runner.run(case)
    elif name == "conversion":
        @common
        @seed(seed_value)
        @given(conversion_cases())
        def test(pair):
            base, hostile = pair
            outcome, _ = runner.run(base)
            if outcome is not (base.expect == "accept"):
                runner.fail(base, "the reference request did not give the rules' result")
            runner.run(hostile)
    elif name == "setters":
        @common
        @seed(seed_value)
        @given(setter_cases())
        def test(pair):
            calls, final = pair
            runner.apply_settings({})
            m.cimpl_set_versionstr("Version 0.2.0 2021-01-10")
            for c in calls:
                runner.run(c)
            _, lines = runner.run(final)
            check_setter_effects(runner, calls, final, lines)
    else:
        raise SystemExit(f"unknown family {name}")
    return test


def main(argv):
    name, seed_value, examples, path = argv[1], int(argv[2]), int(argv[3]), argv[4]
    with open(path, "w", encoding="utf-8", errors="backslashreplace") as report:
        runner = Runner(report)
        test = family_test(name, runner, examples, seed_value)
        try:
            test()
        except HostileFailure as exc:
            notes = "\n".join(getattr(exc, "__notes__", []))
            runner.failures.append(f"{exc}\n{notes}"[:6000])
        except Exception:   # noqa: BLE001 - a fault of the harness itself is reported too
            runner.failures.append("harness error:\n" + traceback.format_exc()[-6000:])
        summary = {"family": name, "seed": seed_value, "counts": dict(runner.counts), "failures": runner.failures}
        report.write("SUMMARY " + json.dumps(summary) + "\n")
        report.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
