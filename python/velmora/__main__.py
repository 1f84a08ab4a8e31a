"""``python -m velmora``: the same as the ``velmora`` command."""

from .cli import main

raise SystemExit(main())
