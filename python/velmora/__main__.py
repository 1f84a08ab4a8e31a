"""``python -m velmora``: the same as the ``velmora`` command."""

import os
import sys

from .cli import EXIT_INTERRUPTED, EXIT_TERMINATED, main

status = main()
if status in (EXIT_INTERRUPTED, EXIT_TERMINATED):
    # The run has cleaned up and said so. Under ``python -m``, CPython ends a
    # process in which a KeyboardInterrupt once left code run by exec() (as the
    # dataclasses and Dask modules imported mid-run do) by SIGINT instead of
    # this status; the status is the one documented.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)
raise SystemExit(status)
