"""The windowing and binning of the detector: :class:`Windows`.

The TORVEN images pass through a fixed chain of rectangular windows. Sizes and
offsets are in pixels, x (column) before y (row) in every pair:

================  ==========================================================
window            parameters
================  ==========================================================
full convolution  ``FULLCONVx``, ``FULLCONVy`` (size)
NOOF              ``NOFSx``, ``NOFSy`` (offset in the full area), ``NOOFx``, ``NOOFy``
detector          ``DOFSx``, ``DOFSy`` (offset in NOOF), ``Dx``, ``Dy``
science           ``SOFSx``, ``SOFSy`` (offset in the detector), ``Sx``, ``Sy``
L1B               ``LBINx``, ``LBINy`` (science pixels per L1B pixel), ``Lx``, ``Ly``
L1C               ``KBINx``, ``KBINy`` (L1B pixels per L1C pixel), ``Kx``, ``Ky``
================  ==========================================================

The full area, the NOOF window and the detector window share one pixel pitch;
the L1B and L1C images start at the first pixel of their parent.
"""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Iterable, Mapping

import numpy as np

from .errors import ConfigurationError

__all__ = ["Windows", "PARAMETER_NAMES"]

#: The 22 windowing parameters in the order the native module expects them.
PARAMETER_NAMES: tuple[str, ...] = (
    "FULLCONVx", "FULLCONVy", "NOFSx", "NOFSy", "NOOFx", "NOOFy",
    "DOFSx", "DOFSy", "Dx", "Dy", "SOFSx", "SOFSy", "Sx", "Sy",
    "LBINx", "LBINy", "Lx", "Ly", "KBINx", "KBINy", "Kx", "Ky",
)

_INT32 = np.iinfo(np.int32)


@dataclasses.dataclass(frozen=True)
class Windows:
    """The 22 windowing parameters of one instrument configuration.

    Build it from keywords (``Windows(FULLCONVx=..., ..., Ky=...)``), from a
    sequence of 22 integers in the native order (:meth:`from_sequence`, or
    positionally) or from a mapping (:meth:`from_mapping`). Construction only
    checks that every value is an integer that fits 32 bits; call
    :meth:`validate` to check that the windows are consistent (the matrix
    builders do so on every call).

    Parameters
    ----------
    FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky : int
        The windowing parameters, see the module documentation.

    Raises
    ------
    TypeError
        A value is not an integer (``bool`` and floats are refused).
    ValueError
        A value does not fit a 32-bit signed integer.

    Examples
    --------
    >>> w = Windows.from_sequence([160, 112, 16, 8, 128, 96, 32, 6, 64, 84, 8, 44,
    ...                            48, 36, 2, 1, 24, 36, 1, 2, 24, 18])
    >>> w.F, w.Bx, w.By, w.l1c_image_shape
    (432, 2, 2, (18, 24))
    """

    FULLCONVx: int
    FULLCONVy: int
    NOFSx: int
    NOFSy: int
    NOOFx: int
    NOOFy: int
    DOFSx: int
    DOFSy: int
    Dx: int
    Dy: int
    SOFSx: int
    SOFSy: int
    Sx: int
    Sy: int
    LBINx: int
    LBINy: int
    Lx: int
    Ly: int
    KBINx: int
    KBINy: int
    Kx: int
    Ky: int

    def __post_init__(self) -> None:
        for name in PARAMETER_NAMES:
            value = getattr(self, name)
            if isinstance(value, (bool, np.bool_)):
                raise TypeError(f"windowing parameter {name} must be an integer, not a bool")
            try:
                value = operator.index(value)
            except TypeError:
                raise TypeError(
                    f"windowing parameter {name} must be an integer, got {type(value).__name__} {value!r}"
                ) from None
            if not _INT32.min <= value <= _INT32.max:
                raise ValueError(f"windowing parameter {name} = {value} does not fit a 32-bit signed integer")
            object.__setattr__(self, name, int(value))

    # ------------------------------------------------------------------ building
    @classmethod
    def from_sequence(cls, values: Iterable[int]) -> Windows:
        """Windows from 22 integers in the native order (:data:`PARAMETER_NAMES`).

        Parameters
        ----------
        values : iterable of int
            Exactly 22 integers, e.g. a NumPy array or a list.

        Returns
        -------
        Windows

        Raises
        ------
        ValueError
            Not exactly 22 values, or a value out of the 32-bit range.
        TypeError
            A value is not an integer.
        """
        if isinstance(values, np.ndarray) and values.ndim != 1:
            raise ValueError(f"expected a flat sequence of windowing parameters, got an array of shape {values.shape}")
        values = list(values)
        if len(values) != len(PARAMETER_NAMES):
            raise ValueError(f"expected {len(PARAMETER_NAMES)} windowing parameters, got {len(values)}")
        return cls(*values)

    @classmethod
    def from_mapping(cls, mapping: Mapping[str, int]) -> Windows:
        """Windows from a mapping of parameter names to values (e.g. a TOML table).

        Raises
        ------
        ValueError
            A name is missing or unknown; every such name is listed.
        """
        missing = [n for n in PARAMETER_NAMES if n not in mapping]
        unknown = [n for n in mapping if n not in PARAMETER_NAMES]
        problems = []
        if missing:
            problems.append("missing windowing parameter(s): " + ", ".join(missing))
        if unknown:
            problems.append("unknown windowing parameter(s): " + ", ".join(map(str, unknown)))
        if problems:
            raise ConfigurationError("windows", problems)
        return cls(**{n: mapping[n] for n in PARAMETER_NAMES})

    def replace(self, **changes: int) -> Windows:
        """A copy with some parameters changed."""
        return dataclasses.replace(self, **changes)

    def to_array(self) -> np.ndarray:
        """The 22 parameters as the contiguous ``int32`` array the native module expects."""
        return np.array([getattr(self, n) for n in PARAMETER_NAMES], dtype=np.int32)

    def to_dict(self) -> dict[str, int]:
        """The 22 parameters as a dictionary, in the native order."""
        return {n: getattr(self, n) for n in PARAMETER_NAMES}

    def __iter__(self):
        return iter(getattr(self, n) for n in PARAMETER_NAMES)

    def __len__(self) -> int:
        return len(PARAMETER_NAMES)

    # --------------------------------------------------------- derived values
    @property
    def Bx(self) -> int:
        """Detector columns per L1C pixel, ``LBINx * KBINx``."""
        return self.LBINx * self.KBINx

    @property
    def By(self) -> int:
        """Detector rows per L1C pixel, ``LBINy * KBINy``."""
        return self.LBINy * self.KBINy

    @property
    def F(self) -> int:
        """Number of L1C pixels, ``Kx * Ky``: the order of the square matrices."""
        return self.Kx * self.Ky

    @property
    def matrix_shape(self) -> tuple[int, int]:
        """Shape of both matrices, ``(F, F)``."""
        return (self.F, self.F)

    @property
    def l1c_image_shape(self) -> tuple[int, int]:
        """Shape of an L1C image as a natural NumPy image indexed [y, x]: ``(Ky, Kx)``."""
        return (self.Ky, self.Kx)

    @property
    def vignetting_shape(self) -> tuple[int, int]:
        """Shape of a vignetting image indexed [y, x] over the NOOF window: ``(NOOFy, NOOFx)``."""
        return (self.NOOFy, self.NOOFx)

    @property
    def detector_table_shape(self) -> tuple[int, int]:
        """Leading shape of the in-field interpolation tables, ``(Dx, Dy)`` (x first)."""
        return (self.Dx, self.Dy)

    @property
    def noof_table_shape(self) -> tuple[int, int]:
        """Leading shape of the stray-light interpolation tables, ``(NOOFx, NOOFy)`` (x first)."""
        return (self.NOOFx, self.NOOFy)

    @property
    def science_origin_in_noof(self) -> tuple[int, int]:
        """NOOF pixel (x, y) of the first science pixel: ``(DOFSx + SOFSx, DOFSy + SOFSy)``."""
        return (self.DOFSx + self.SOFSx, self.DOFSy + self.SOFSy)

    def l1c_pixel_detector_origin(self, x: int, y: int) -> tuple[int, int]:
        """First (lowest x, lowest y) detector pixel of L1C pixel (x, y)."""
        return (self.SOFSx + x * self.Bx, self.SOFSy + y * self.By)

    # ------------------------------------------------------------- validation
    def problems(self, *, rows_below: int | None = None) -> list[str]:
        """Every inconsistency of these windows, one sentence each (empty when sound).

        Parameters
        ----------
        rows_below : int, optional
            Detector rows below the science window that the lower-edge
            correction treats as sources; when given they must lie inside
            the detector window (``rows_below <= SOFSy``).

        Returns
        -------
        list of str
        """
        p: list[str] = []
        # Sizes and binnings.
        for name in ("FULLCONVx", "FULLCONVy", "NOOFx", "NOOFy", "Dx", "Dy", "Sx", "Sy", "Lx", "Ly", "Kx", "Ky"):
            if getattr(self, name) < 1:
                p.append(f"{name} = {getattr(self, name)} is a window size and must be at least 1")
        for name in ("LBINx", "LBINy", "KBINx", "KBINy"):
            if getattr(self, name) < 1:
                p.append(f"{name} = {getattr(self, name)} is a binning and must be at least 1")
        for name in ("NOFSx", "NOFSy", "DOFSx", "DOFSy", "SOFSx", "SOFSy"):
            if getattr(self, name) < 0:
                p.append(f"{name} = {getattr(self, name)} is an offset and must not be negative")
        # Science, L1B and L1C sizes.
        for axis in "xy":
            S, LBIN, L = (getattr(self, n + axis) for n in ("S", "LBIN", "L"))
            if S != LBIN * L:
                p.append(f"science size S{axis} = {S} differs from the L1B size times its binning, "
                         f"LBIN{axis} * L{axis} = {LBIN} * {L} = {LBIN * L}")
        for axis in "xy":
            L, KBIN, K = (getattr(self, n + axis) for n in ("L", "KBIN", "K"))
            if L != KBIN * K:
                p.append(f"L1B size L{axis} = {L} differs from the L1C size times its binning, "
                         f"KBIN{axis} * K{axis} = {KBIN} * {K} = {KBIN * K}")
        # Windows inside their parents.
        chain = (("NOOF", "NOFS", "NOOF", "full convolution area", "FULLCONV"),
                 ("detector", "DOFS", "D", "NOOF window", "NOOF"),
                 ("science", "SOFS", "S", "detector window", "D"))
        for child, ofs, size, parent, psize in chain:
            for axis in "xy":
                o, s, ps = (getattr(self, n + axis) for n in (ofs, size, psize))
                if o + s > ps:
                    p.append(f"the {child} window does not fit inside the {parent} along {axis}: "
                             f"{ofs}{axis} + {size}{axis} = {o} + {s} = {o + s} > {psize}{axis} = {ps}")
        if self.F > _INT32.max:
            p.append(f"the number of L1C pixels Kx * Ky = {self.F} does not fit a 32-bit signed integer")
        if rows_below is not None:
            if rows_below < 0:
                p.append(f"rows_below = {rows_below} must not be negative")
            elif rows_below > self.SOFSy:
                p.append(f"the lower-edge correction takes {rows_below} detector rows below the science "
                         f"window, but only SOFSy = {self.SOFSy} rows of the detector window lie below it "
                         f"(pass rows_below <= {self.SOFSy}, or lower_edge=False)")
        return p

    def validate(self, *, rows_below: int | None = None) -> Windows:
        """Check that the windows are consistent.

        Parameters
        ----------
        rows_below : int, optional
            Also check that this many detector rows below the science window
            (the sources of the lower-edge correction) lie in the detector
            window.

        Returns
        -------
        Windows
            ``self``, so that calls can be chained.

        Raises
        ------
        ConfigurationError
            A :class:`ValueError` whose message names every inconsistency
            (science vs L1B vs L1C sizes, windows not inside their parents,
            sizes or binnings below 1, negative offsets, lower-edge rows that
            do not fit below the science window).
        """
        problems = self.problems(rows_below=rows_below)
        if problems:
            raise ConfigurationError("windows", problems)
        return self
