"""The build plan: what ``velmora build`` reads from a TOML file.

A :class:`Plan` is a tree of frozen dataclasses that holds everything one run
of the command needs: the windows, where every input array comes from, which
matrices to build with which options, and where they go. Every default lives
here once, as a field default; the command's options, the template that
``velmora demo`` writes and the configuration help all read it from here.

Array inputs are named by a text: ``"a.npy"``, ``"b.npz"`` (the entry named
like the key, e.g. ``images``), ``"b.npz:entry"``, or a netCDF-4/HDF5 file
``"ckd.nc"`` / ``"ckd.h5"`` with an optional variable path
``"ckd.nc:group/variable"``. Relative paths are taken from the folder of the
configuration file. A ``[psfs]`` table of the one key ``file = "psfs.nc"`` takes
every PSF array from a PSF-set file (:func:`velmora.save_psfs`), and its NOOF
tables serve ``[stray_light]`` unless that table names its own.

A Dask client runs code that its cluster sends back (results arrive
pickled), so a configuration file is no place to choose the cluster: a
``[dask] scheduler`` is refused unless the caller says it trusts it
(``trust_scheduler=True``, ``velmora build --trust-config-scheduler``).
"""

from __future__ import annotations

import dataclasses
import json
import re
import tomllib
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path

from .errors import ConfigurationError, PlanError
from .options import SCHEMES, InfieldOptions, StrayLightOptions
from .windows import PARAMETER_NAMES, Windows

__all__ = ["Plan", "PSFInputs", "InfieldPlan", "StrayLightPlan", "ArraySource", "PlanError", "load_plan",
           "plan_from_mapping", "to_toml", "defaults", "SCHEME_NAMES", "OUTPUT_SUFFIXES", "ARRAY_SUFFIXES"]

#: Interpolation schemes of the in-field matrix.
SCHEME_NAMES = tuple(SCHEMES)
#: Files a matrix can be written to.
OUTPUT_SUFFIXES = (".npy", ".nc", ".npz", ".zarr")
#: Files an input array can be read from.
ARRAY_SUFFIXES = (".npy", ".npz", ".nc", ".h5", ".hdf5")

# A configuration file is a few kilobytes; anything this large is not one.
_MAX_CONFIG_BYTES = 1 << 20
_MAX_DEPTH = 8


@dataclass(frozen=True)
class ArraySource:
    """Where one input array comes from.

    Attributes
    ----------
    file : str
        The file name as written (relative to the plan's folder, or absolute).
    key : str or None
        The ``.npz`` entry or netCDF/HDF5 variable path; None means the
        entry named like the array's role (``images``, ``indices``, ...), or
        the file's only array for ``.npy``.
    """

    file: str
    key: str | None = None

    @property
    def text(self) -> str:
        """The source as written in a configuration file."""
        return self.file if self.key is None else f"{self.file}:{self.key}"

    @classmethod
    def parse(cls, text: str, where: str) -> ArraySource:
        """Read ``"file"`` or ``"file:key"``; ``where`` names the key in messages."""
        if not isinstance(text, str) or not text.strip():
            raise PlanError(f"{where} must be a file name, got {_shown(text)}")
        if "\x00" in text:
            raise PlanError(f"{where} holds a NUL character: {_shown(text)}")
        match = re.fullmatch(r"(.+?(?:\.npz|\.nc|\.h5|\.hdf5))(?::(.*))?", text, flags=re.IGNORECASE)
        if match:
            file, key = match.group(1), match.group(2)
            if key is not None and not key.strip("/"):
                raise PlanError(f"{where}: {text!r} names no entry after ':'")
            return cls(file, key.strip("/") if key is not None else None)
        if Path(text).suffix.lower() != ".npy":
            raise PlanError(f"{where}: {text!r} is not a .npy, .npz, .nc or .h5 file")
        return cls(text)


def _field(default=dataclasses.MISSING, *, kind: str, help: str, **extra):
    return field(default=default, metadata={"kind": kind, "help": help, **extra})


@dataclass(frozen=True)
class PSFInputs:
    """The four arrays of the measured PSFs (``[psfs]``)."""

    images: ArraySource = _field(kind="array", help="(M, Nx, Ny) PSF images, [psf, x, y]")
    centres: ArraySource = _field(kind="array", help="(M, 2|3) rows Y, X[, window] (Y first)")
    coefficients: ArraySource = _field(kind="array", help="(Dx, Dy, N) weights over the detector, [x, y, k]")
    indices: ArraySource = _field(kind="array", help="(Dx, Dy, N) PSF numbers of the weights")


@dataclass(frozen=True)
class InfieldPlan:
    """The in-field matrix (``[infield]``)."""

    output: str = _field(kind="output", help="the matrix file: .npy (with a .json sidecar), .nc or .zarr (Dask)")
    scheme: str = _field(InfieldOptions.scheme, kind="choice", choices=SCHEME_NAMES, help="or \"midpoint\"")
    lower_edge: bool = _field(InfieldOptions.lower_edge, kind="bool", help="add the lower-edge correction")
    rows_below: int | None = _field(InfieldOptions.rows_below, kind="int", minimum=0,
                                    help="detector rows below the science window (default: min(42, SOFSy))")
    rows_above: int = _field(InfieldOptions.rows_above, kind="int", minimum=0,
                             help="rows above the edge the correction reaches")


@dataclass(frozen=True)
class StrayLightPlan:
    """The horizontal stray-light matrix (``[stray_light]``)."""

    output: str = _field(kind="output", help=".npy, .nc, .npz (compact) or .zarr (Dask)")
    coefficients: ArraySource = _field(kind="array", help="(NOOFx, NOOFy, N) weights over the NOOF window")
    indices: ArraySource = _field(kind="array", help="(NOOFx, NOOFy, N) PSF numbers of the weights")
    vignetting: ArraySource | None = _field(None, kind="array", help="optional, (NOOFy, NOOFx) indexed [y, x]")
    source_step: tuple[int, int] = _field(StrayLightOptions.source_step, kind="pair",
                                          help="(x, y) sampling of the NOOF sources")
    sample_step: tuple[int, int] = _field(StrayLightOptions.sample_step, kind="pair",
                                          help="(x, y) sampling of the receivers")
    compact: bool = _field(False, kind="bool",
                           help="store only the non-zero rows (.nc) or a CSR matrix (.npz)")


@dataclass(frozen=True)
class DaskPlan:
    """Where ``.zarr`` outputs are built (``[dask]``).

    Attributes
    ----------
    scheduler : str or None
        The address of an existing Dask scheduler (``"tcp://host:8786"``) or
        a scheduler file (``.json``); None starts a local cluster of processes
        for the run. ``--scheduler`` on the command line takes precedence.
        A configuration that names one is read only with
        ``trust_scheduler=True`` (see :func:`load_plan`): whoever runs that
        scheduler runs code in the process that connects to it.
    """

    scheduler: str | None = _field(None, kind="text",
                                   help="a Dask scheduler's address for .zarr outputs (read only with "
                                        "--trust-config-scheduler); default: a local cluster")


@dataclass(frozen=True)
class Plan:
    """One run of ``velmora build``: inputs, matrices, options and outputs.

    Attributes
    ----------
    windows : Windows
        The 22 windowing parameters (``[windows]``).
    psfs : PSFInputs
        The measured PSFs (``[psfs]``).
    infield : InfieldPlan or None
        The in-field matrix, or None to leave it out.
    stray_light : StrayLightPlan or None
        The stray-light matrix, or None to leave it out.
    dask : DaskPlan or None
        The Dask scheduler of ``.zarr`` outputs (``[dask]``); None: a local cluster.
    threads : int or None
        Worker threads of each build; None: ``OMP_NUM_THREADS``, else all processors.
    overwrite : bool
        Replace existing output files (otherwise they are refused).
    base : pathlib.Path
        The folder that relative paths are taken from (the configuration
        file's folder).
    """

    windows: Windows = _field(kind="windows", help="the 22 windowing parameters")
    psfs: PSFInputs = _field(kind="table", help="the measured PSFs")
    infield: InfieldPlan | None = _field(None, kind="table", help="optional: the in-field matrix")
    stray_light: StrayLightPlan | None = _field(None, kind="table", help="optional: the stray-light matrix")
    dask: DaskPlan | None = _field(None, kind="table", help="optional: where .zarr outputs are built")
    threads: int | None = _field(None, kind="int", minimum=1, help="optional, default: all processors")
    overwrite: bool = _field(False, kind="bool", help="replace existing output files")
    base: Path = field(default=Path("."), compare=False)

    # ---------------------------------------------------------------- paths
    def path(self, name: str) -> Path:
        """A file name of the plan as a path (relative names are taken from :attr:`base`)."""
        return self.base / Path(name).expanduser()

    def jobs(self) -> list[tuple[str, InfieldPlan | StrayLightPlan]]:
        """The matrices to build, in order: ``("in-field", plan)``, ``("stray-light", plan)``."""
        out = []
        if self.infield is not None:
            out.append(("in-field", self.infield))
        if self.stray_light is not None:
            out.append(("stray-light", self.stray_light))
        return out

    def array_sources(self) -> dict[str, ArraySource]:
        """Every input array of the plan by its key (``psfs.images``, ``stray_light.indices``, ...)."""
        sources = {f"psfs.{f.name}": getattr(self.psfs, f.name) for f in dataclasses.fields(PSFInputs)}
        if self.stray_light is not None:
            for name in ("coefficients", "indices", "vignetting"):
                value = getattr(self.stray_light, name)
                if value is not None:
                    sources[f"stray_light.{name}"] = value
        return sources


_TABLES = {"psfs": PSFInputs, "infield": InfieldPlan, "stray_light": StrayLightPlan, "dask": DaskPlan}


def defaults(cls) -> dict:
    """The default of every field of one of the plan's dataclasses that has one."""
    return {f.name: f.default for f in dataclasses.fields(cls)
            if f.default is not dataclasses.MISSING and f.init and f.name != "base"}


# ------------------------------------------------------------------- reading
def _shown(value) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _kind_name(value) -> str:
    return {bool: "a boolean", int: "an integer", float: "a number", str: "a string", list: "an array",
            dict: "a table"}.get(type(value), type(value).__name__)


def _value(meta: Mapping, value, where: str):
    kind = meta["kind"]
    if kind == "int":
        if isinstance(value, bool) or not isinstance(value, int):
            raise PlanError(f"{where} must be an integer, got {_kind_name(value)} {_shown(value)}")
        minimum = meta.get("minimum")
        if minimum is not None and value < minimum:
            raise PlanError(f"{where} must be at least {minimum}, got {value}")
        if value > 2**31 - 1:
            raise PlanError(f"{where} = {value} does not fit a 32-bit signed integer")
        return value
    if kind == "bool":
        if not isinstance(value, bool):
            raise PlanError(f"{where} must be true or false, got {_kind_name(value)} {_shown(value)}")
        return value
    if kind == "text":
        if not isinstance(value, str) or not value.strip() or "\x00" in value:
            raise PlanError(f"{where} must be a non-empty string, got {_kind_name(value)} {_shown(value)}")
        return value.strip()
    if kind == "choice":
        if not isinstance(value, str) or value not in meta["choices"]:
            raise PlanError(f"{where} must be one of {', '.join(map(repr, meta['choices']))}, got {_shown(value)}")
        return value
    if kind == "pair":
        if not (isinstance(value, list) and len(value) == 2
                and all(isinstance(v, int) and not isinstance(v, bool) and 1 <= v <= 2**31 - 1 for v in value)):
            raise PlanError(f"{where} must be a pair [x, y] of positive integers, got {_shown(value)}")
        return (value[0], value[1])
    if kind == "array":
        return ArraySource.parse(value, where)
    if kind == "output":
        if not isinstance(value, str) or not value.strip():
            raise PlanError(f"{where} must be a file name, got {_shown(value)}")
        if "\x00" in value:
            raise PlanError(f"{where} holds a NUL character: {_shown(value)}")
        if value.endswith("/") or Path(value).name in ("", ".", ".."):
            raise PlanError(f"{where} must name a file, not a folder: {_shown(value)}")
        suffix = Path(value).suffix.lower()
        if not suffix:
            value += ".npy"
        elif suffix not in OUTPUT_SUFFIXES:
            raise PlanError(f"{where} must end in {', '.join(OUTPUT_SUFFIXES)} (or have no suffix, which means "
                            f".npy), got {_shown(value)}")
        return value
    raise AssertionError(kind)  # pragma: no cover


def _table(cls, table, name: str):
    if not isinstance(table, dict):
        raise PlanError(f"'{name}' must be a table ([{name}]), got {_kind_name(table)}")
    fields = {f.name: f for f in dataclasses.fields(cls)}
    unknown = sorted(set(table) - set(fields))
    if unknown:
        raise PlanError(f"unknown key {name}.{unknown[0]} (allowed in [{name}]: {', '.join(fields)})")
    values = {}
    for key, f in fields.items():
        if key in table:
            values[key] = _value(f.metadata, table[key], f"{name}.{key}")
        elif f.default is dataclasses.MISSING:
            raise PlanError(f"[{name}] needs {key} ({f.metadata['help']})")
    return cls(**values)


def _psf_file_tables(config: Mapping) -> dict:
    """``[psfs] file = "set.nc"``: every PSF array from one PSF-set file (:func:`velmora.save_psfs`).

    Its NOOF tables (``noof_coefficients``, ``noof_indices``) serve
    ``[stray_light]`` unless that table names tables of its own.
    """
    table = config["psfs"]
    others = sorted(set(table) - {"file"})
    if others:
        raise PlanError(f"psfs.file names the whole PSF set; leave out psfs.{others[0]}")
    source = ArraySource.parse(table["file"], "psfs.file")
    if source.key is not None or Path(source.file).suffix.lower() not in (".nc", ".h5", ".hdf5"):
        raise PlanError(f"psfs.file must be a PSF-set netCDF-4 file (.nc), got {_shown(table['file'])}")
    config = dict(config)
    config["psfs"] = {name: f"{source.file}:{name}" for name in ("images", "centres", "coefficients", "indices")}
    if isinstance(config.get("stray_light"), dict):
        config["stray_light"] = {"coefficients": f"{source.file}:noof_coefficients",
                                 "indices": f"{source.file}:noof_indices", **config["stray_light"]}
    return config


def _untrusted_scheduler(address: str) -> PlanError:
    return PlanError(
        f"dask.scheduler = {_shown(address)} is refused: a Dask client runs code that the cluster sends back, "
        "so whoever runs that scheduler would run code in this process. Give the address with --scheduler "
        "(in Python: the scheduler argument of velmora.distributed), or, if you trust this file and the "
        "cluster it names, add --trust-config-scheduler (in Python: trust_scheduler=True)")


def plan_from_mapping(config: Mapping, base: str | Path = ".", *, trust_scheduler: bool = False) -> Plan:
    """Make a plan from a parsed configuration (the tables of a TOML file).

    Parameters
    ----------
    config : mapping
        The configuration as :func:`tomllib.load` returns it.
    base : path-like
        The folder that relative file names are taken from.
    trust_scheduler : bool
        Accept a ``[dask] scheduler`` address. A Dask client unpickles what
        the cluster sends back, so whoever runs that scheduler runs code in
        the process that connects to it; without this a configuration that
        names one is refused.

    Returns
    -------
    Plan

    Raises
    ------
    PlanError
        An unknown key, a missing one, a value of the wrong type or range,
        nothing to build, or a ``[dask] scheduler`` without
        ``trust_scheduler``; the one-line message names the key.
    """
    fields = {f.name: f for f in dataclasses.fields(Plan) if f.init and f.name != "base"}
    unknown = sorted(set(config) - set(fields))
    if unknown:
        raise PlanError(f"unknown key or table '{unknown[0]}' (allowed: {', '.join(fields)})")
    if "windows" not in config:
        raise PlanError("the configuration has no [windows] table")
    windows_table = config["windows"]
    if not isinstance(windows_table, dict):
        raise PlanError(f"'windows' must be a table ([windows]), got {_kind_name(windows_table)}")
    for key, value in windows_table.items():
        if key in PARAMETER_NAMES and (isinstance(value, bool) or not isinstance(value, int)):
            raise PlanError(f"windows.{key} must be an integer, got {_kind_name(value)} {_shown(value)}")
    try:
        windows = Windows.from_mapping(windows_table)
    except ConfigurationError as exc:
        raise PlanError(f"[windows]: {'; '.join(exc.problems)}") from None
    except (TypeError, ValueError) as exc:
        raise PlanError(f"[windows]: {exc}") from None
    if "psfs" not in config:
        raise PlanError("the configuration has no [psfs] table")
    if isinstance(config["psfs"], dict) and "file" in config["psfs"]:
        config = _psf_file_tables(config)
    values = {"windows": windows, "base": Path(base)}
    for name, cls in _TABLES.items():
        if name in config:
            values[name] = _table(cls, config[name], name)
    for name in ("threads", "overwrite"):
        if name in config:
            values[name] = _value(fields[name].metadata, config[name], name)
    plan = Plan(**values)
    if plan.dask is not None and plan.dask.scheduler is not None and not trust_scheduler:
        raise _untrusted_scheduler(plan.dask.scheduler)
    if plan.infield is None and plan.stray_light is None:
        raise PlanError("nothing to build: add an [infield] or a [stray_light] table")
    if plan.infield is not None and Path(plan.infield.output).suffix.lower() == ".npz":
        raise PlanError("infield.output: the in-field matrix is dense; write it to .npy or .nc")
    sl = plan.stray_light
    if sl is not None and Path(sl.output).suffix.lower() == ".npz":
        plan = dataclasses.replace(plan, stray_light=dataclasses.replace(sl, compact=True))
    elif sl is not None and sl.compact and Path(sl.output).suffix.lower() in (".npy", ".zarr"):
        raise PlanError(f"stray_light.compact: a compact matrix is written to .nc or .npz, not "
                        f"{Path(sl.output).suffix.lower()}")
    return plan


def _depth(text: str) -> int:
    """How deeply brackets and braces nest outside strings and comments (a cheap upper bound)."""
    depth = deepest = 0
    quote = None
    comment = False
    for ch in text:
        if comment:
            comment = ch != "\n"
        elif quote:
            if ch == quote or ch == "\n":
                quote = None
        elif ch in "\"'":
            quote = ch
        elif ch == "#":
            comment = True
        elif ch in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif ch in "]}":
            depth = max(0, depth - 1)
    return deepest


def load_plan(path: str | Path, *, trust_scheduler: bool = False) -> Plan:
    """Read a plan from a TOML configuration file.

    Parameters
    ----------
    path : path-like
        The configuration file; relative file names in it are taken from its folder.
    trust_scheduler : bool
        Accept the file's ``[dask] scheduler``; by default a file that names
        one is refused, since whoever runs that scheduler runs code in the
        process that connects to it (see :func:`plan_from_mapping`).

    Returns
    -------
    Plan

    Raises
    ------
    PlanError
        The file is missing, unreadable, not UTF-8 text, not TOML, nested
        deeper than any configuration, does not describe a plan, or names a
        Dask scheduler without ``trust_scheduler``; the message is one line.
    """
    path = Path(path)
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_CONFIG_BYTES + 1)
    except FileNotFoundError:
        raise PlanError(f"no such configuration file: {path}") from None
    except IsADirectoryError:
        raise PlanError(f"{path} is a folder, not a configuration file") from None
    except OSError as exc:
        raise PlanError(f"cannot read {path}: {exc.strerror or exc}") from None
    if len(data) > _MAX_CONFIG_BYTES:
        raise PlanError(f"{path} is larger than {_MAX_CONFIG_BYTES >> 20} MiB: not a configuration file")
    if b"\x00" in data:
        raise PlanError(f"{path} is a binary file, not a TOML configuration")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise PlanError(f"{path} is not UTF-8 text (byte {exc.start}): a TOML file must be UTF-8") from None
    if _depth(text) > _MAX_DEPTH:
        raise PlanError(f"{path} nests arrays or tables more than {_MAX_DEPTH} deep: not a configuration file")
    try:
        config = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        raise PlanError(f"{path} is not valid TOML: {' '.join(str(exc).split())}") from None
    except RecursionError:
        raise PlanError(f"{path} nests too deeply: not a configuration file") from None
    return plan_from_mapping(config, path.parent, trust_scheduler=trust_scheduler)


# ------------------------------------------------------------------- writing
def _toml_value(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, ArraySource):
        return json.dumps(value.text)
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, tuple):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    return str(value)


def _lines(obj, name: str, comments: bool) -> list[str]:
    lines = [f"[{name}]"]
    rows = []
    for f in dataclasses.fields(obj):
        value = getattr(obj, f.name)
        if value is None:
            if f.metadata.get("kind") == "int":  # a default that depends on the windows: shown, commented out
                rows.append((f"# {f.name} = ...", f.metadata.get("help", "")))
            continue
        rows.append((f"{f.name} = {_toml_value(value)}", f.metadata.get("help", "")))
    width = max(len(r[0]) for r in rows) + 2 if rows else 0
    for text, help_text in rows:
        lines.append(f"{text:<{width}}# {help_text}" if comments and help_text else text)
    return lines


def to_toml(plan: Plan, *, comments: bool = True, header: str = "") -> str:
    """The configuration file text of a plan; :func:`load_plan` reads it back to an equal plan.

    Parameters
    ----------
    plan : Plan
    comments : bool
        Explain each key in a comment.
    header : str
        Comment lines to put first (without the ``#``).

    Returns
    -------
    str
    """
    lines = [f"# {line}".rstrip() for line in header.splitlines()]
    if lines:
        lines.append("")
    for name in ("threads", "overwrite"):
        value = getattr(plan, name)
        if value is not None and (name != "overwrite" or value):
            f = Plan.__dataclass_fields__[name]
            lines.append(f"{name} = {_toml_value(value)}" + (f"  # {f.metadata['help']}" if comments else ""))
    if lines and lines[-1]:
        lines.append("")
    lines.append("[windows]" + ("  # the 22 windowing parameters, in pixels" if comments else ""))
    lines += [f"{n} = {getattr(plan.windows, n)}" for n in PARAMETER_NAMES]
    for name in ("psfs", "infield", "stray_light", "dask"):
        table = getattr(plan, name)
        if table is not None:
            lines += [""] + _lines(table, name, comments)
    return "\n".join(lines) + "\n"
