"""Checks made before any build: output files, folders, memory and disk space.

Each check returns one-line problems; an empty list means the run may start.
Paths are compared after following symbolic links, so that a link to an input
or to another output is found as well as the file itself.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from .io import available_memory, format_size

__all__ = ["Output", "output_problems", "memory_problems", "space_problems"]


@dataclass(frozen=True)
class Output:
    """One file a run writes.

    Attributes
    ----------
    role : str
        What it is, for messages (``"in-field matrix"``, ``"its metadata"``).
    path : pathlib.Path
        The path as given.
    size : int
        The number of bytes it will take, as far as known beforehand.
    """

    role: str
    path: Path
    size: int = 0

    @property
    def real(self) -> Path:
        """The path with every symbolic link followed."""
        return Path(os.path.realpath(self.path))


def _same_file(a: Path, b: Path) -> bool:
    if a == b:
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _existing_ancestor(folder: Path) -> Path:
    while not os.path.lexists(folder):
        folder = folder.parent
    return folder


def output_problems(outputs: Sequence[Output], inputs: Sequence[tuple[str, Path]], *, overwrite: bool,
                    hint: str = "add --overwrite (or overwrite = true in the configuration) to replace {it}",
                    ) -> list[str]:
    """Everything that keeps the outputs from being written as asked.

    Parameters
    ----------
    outputs : sequence of Output
    inputs : sequence of (str, path)
        Every input file of the run, with its role (configuration key).
    overwrite : bool
        Whether existing output files may be replaced.
    hint : str
        How to allow that, for the message about existing files (``{it}``
        stands for "it" or "them").

    Returns
    -------
    list of str
        One line per problem: two outputs that are one file, an output that
        is an input, an existing file (unless ``overwrite``), an output that
        is a folder, a folder that cannot be made (a file stands where a
        folder must be) or is not writable.
    """
    problems: list[str] = []
    existing: list[tuple[Output, str]] = []
    seen: list[Output] = []
    real_inputs = [(role, Path(p), Path(os.path.realpath(p))) for role, p in inputs]
    for out in outputs:
        real = out.real
        via = f" (a symbolic link to {real})" if real != Path(os.path.abspath(out.path)) else ""
        clash = next((o for o in seen if _same_file(o.real, real)), None)
        if clash is not None:
            problems.append(f"the {out.role} and the {clash.role} would both be written to {real}: "
                            "give them different file names")
            continue
        seen.append(out)
        source = next((r for r in real_inputs if _same_file(r[2], real)), None)
        if source is not None:
            problems.append(f"the {out.role} output {out.path}{via} is the input {source[0]} ({source[1]}): "
                            "writing it would destroy that input")
            continue
        if real.is_dir():
            problems.append(f"the {out.role} output {out.path}{via} is a folder, not a file name")
            continue
        if os.path.lexists(real) and not overwrite:
            existing.append((out, via))
            continue
        ancestor = _existing_ancestor(real.parent)
        if not ancestor.is_dir():
            problems.append(f"cannot make the folder {real.parent} for the {out.role}: {ancestor} is a file, "
                            "not a folder")
        elif not os.access(ancestor, os.W_OK | os.X_OK):
            problems.append(f"cannot write the {out.role} {out.path}: the folder {ancestor} is not writable")
    if len(existing) == 1:
        (out, via), = existing
        problems.append(f"the {out.role} output {out.path}{via} exists; {hint.format(it='it')}")
    elif existing:
        names = ", ".join(str(out.path) for out, _ in existing[:3]) + (", ..." if len(existing) > 3 else "")
        problems.append(f"{len(existing)} output files exist ({names}); {hint.format(it='them')}")
    return problems


def memory_problems(needs: Sequence[tuple[str, int]]) -> list[str]:
    """Whether the memory each step needs (one at a time) is available.

    Parameters
    ----------
    needs : sequence of (str, int)
        What each step is and the bytes it needs.

    Returns
    -------
    list of str
        At most one line: the largest need that exceeds ``MemAvailable``.
    """
    free = available_memory()
    if free is None or not needs:
        return []
    what, need = max(needs, key=lambda n: n[1])
    if need > free:
        return [f"the {what} needs {format_size(need)} of memory but only {format_size(free)} are available "
                "(MemAvailable in /proc/meminfo)"]
    return []


def space_problems(outputs: Sequence[Output]) -> list[str]:
    """Whether the file systems of the outputs have room for all of them at once."""
    by_device: dict[int, tuple[Path, int]] = {}
    for out in outputs:
        ancestor = _existing_ancestor(out.real.parent)
        try:
            device = os.stat(ancestor).st_dev
        except OSError:
            continue
        folder, total = by_device.get(device, (ancestor, 0))
        by_device[device] = (folder, total + out.size)
    problems = []
    for folder, total in by_device.values():
        try:
            free = shutil.disk_usage(folder).free
        except OSError:
            continue
        if total > free:
            problems.append(f"the outputs need {format_size(total)} of disk space but {folder} has only {format_size(free)} free")
    return problems
