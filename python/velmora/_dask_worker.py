"""Set-up of the worker processes of velmora's local Dask clusters (a Dask preload module).

The workers of a local cluster belong to the terminal's process group, so a
Ctrl-C meant for the ``velmora`` command reaches each of them too. They ignore
it: the command's process is interrupted and closes the cluster, which stops
the workers without a traceback from each.
"""

from __future__ import annotations

import signal


def dask_setup(worker) -> None:  # noqa: ARG001 - Dask's preload interface
    """Make the worker process ignore SIGINT."""
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # pragma: no cover - not the worker process's main thread
        pass
