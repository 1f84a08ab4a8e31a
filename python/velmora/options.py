"""The options of velmora's builds, written once: their defaults, their checks and their normal form.

Every entry point that takes build options (:func:`velmora.infield_matrix`,
:func:`velmora.stray_light_matrix`, their Dask counterparts in
:mod:`velmora.distributed`, :func:`velmora.forward_model`, the TOML plan of
``velmora build`` and the command line) takes its defaults from here and
normalises through :func:`infield_options` and :func:`stray_light_options`,
so that no two of them can disagree.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .windows import Windows

__all__ = ["DEFAULT_ROWS_ABOVE", "DEFAULT_ROWS_BELOW", "DEFAULT_SCHEME", "DEFAULT_STEP", "PATHS", "SCHEMES",
           "InfieldOptions", "StrayLightOptions", "as_windows", "infield_options", "int_option", "per_pixel",
           "rows_below_for", "step_option", "stray_light_options"]

#: Interpolation schemes of the in-field matrix: whether each uses the quadratic weights.
SCHEMES = {"quadratic": True, "midpoint": False}

#: The in-field matrix's interpolation scheme by default.
DEFAULT_SCHEME = "quadratic"

#: Detector rows below the bottom edge that the lower-edge correction treats as
#: sources by default, where the detector window has that many: the default of
#: ``rows_below`` (None) means ``min(DEFAULT_ROWS_BELOW, SOFSy)``.
DEFAULT_ROWS_BELOW = 42

#: Height of the strip above the bottom edge that the lower-edge correction reaches.
DEFAULT_ROWS_ABOVE = 42

#: Sampling steps (x, y) of the stray-light sources and receivers.
DEFAULT_STEP = (1, 1)

#: The build paths: the fast builds where they apply, or always the per-pixel builds.
PATHS = ("auto", "per-pixel")


@dataclasses.dataclass(frozen=True)
class InfieldOptions:
    """The options of the in-field matrix, with their defaults.

    ``rows_below`` None means :func:`rows_below_for` the windows.
    """

    scheme: str = DEFAULT_SCHEME
    lower_edge: bool = True
    rows_below: int | None = None
    rows_above: int = DEFAULT_ROWS_ABOVE


@dataclasses.dataclass(frozen=True)
class StrayLightOptions:
    """The options of the horizontal stray-light matrix, with their defaults."""

    source_step: tuple[int, int] = DEFAULT_STEP
    sample_step: tuple[int, int] = DEFAULT_STEP


def as_windows(windows) -> Windows:
    """:class:`Windows` as they are, or made from a sequence of the 22 integers."""
    if isinstance(windows, Windows):
        return windows
    return Windows.from_sequence(windows)


def int_option(name: str, value, minimum: int) -> int:
    """An integer option of at least ``minimum`` that fits 32 bits (TypeError, ValueError otherwise)."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if value > np.iinfo(np.int32).max:
        raise ValueError(f"{name} = {value} does not fit a 32-bit signed integer")
    return int(value)


def step_option(name: str, value) -> tuple[int, int]:
    """A pair (x, y) of positive integers."""
    try:
        sx, sy = value
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a pair (x, y) of positive integers, got {value!r}") from None
    return int_option(f"{name}[0]", sx, 1), int_option(f"{name}[1]", sy, 1)


def per_pixel(path: str) -> bool:
    """Whether ``path`` asks for the per-pixel builds."""
    if path not in PATHS:
        raise ValueError(f"path must be 'auto' or 'per-pixel', got {path!r}")
    return path == "per-pixel"


def rows_below_for(windows: Windows) -> int:
    """The default ``rows_below`` of an instrument: 42 rows where the detector window has them, else all."""
    return max(0, min(DEFAULT_ROWS_BELOW, windows.SOFSy))


def infield_options(windows: Windows, scheme: str = DEFAULT_SCHEME, lower_edge: bool = True,
                    rows_below: int | None = None, rows_above: int = DEFAULT_ROWS_ABOVE) -> InfieldOptions:
    """The in-field options checked, with ``rows_below`` resolved for the windows.

    Raises
    ------
    ValueError, TypeError
        An unknown scheme, or a row count that is not a non-negative integer.
    """
    if scheme not in SCHEMES:
        raise ValueError(f"scheme must be one of {sorted(SCHEMES)}, got {scheme!r}")
    rows_below = rows_below_for(windows) if rows_below is None else int_option("rows_below", rows_below, 0)
    return InfieldOptions(scheme, bool(lower_edge), rows_below, int_option("rows_above", rows_above, 0))


def stray_light_options(source_step=DEFAULT_STEP, sample_step=DEFAULT_STEP) -> StrayLightOptions:
    """The stray-light options checked."""
    return StrayLightOptions(step_option("source_step", source_step), step_option("sample_step", sample_step))
