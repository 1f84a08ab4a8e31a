"""Holding signals back while a step that must not be cut short runs."""

from __future__ import annotations

import signal
from collections.abc import Sequence

__all__ = ["HeldSignals"]


class HeldSignals:
    """Inside the block, the signals are noted instead of handled; :meth:`release` handles the first one then.

    Only Python's handlers are swapped, so this works in the main thread only;
    elsewhere it does nothing (Python runs no signal handler in other threads).

    Parameters
    ----------
    signums : sequence of int
        The signals to hold back (default: SIGINT).

    Examples
    --------
    >>> with HeldSignals((signal.SIGINT, signal.SIGTERM)) as held:   # doctest: +SKIP
    ...     rename_outputs()
    >>> held.release()   # a Ctrl-C that came meanwhile raises KeyboardInterrupt here
    """

    def __init__(self, signums: Sequence[int] = (signal.SIGINT,)):
        self.signums = tuple(signums)
        self.previous: dict[int, object] = {}
        self.held: list[int] = []

    def __enter__(self) -> HeldSignals:
        try:
            for signum in self.signums:
                self.previous[signum] = signal.signal(signum, self._note)
        except ValueError:  # not the main thread
            self._restore()
        return self

    def _note(self, signum, frame) -> None:
        self.held.append(signum)

    def _restore(self) -> None:
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)

    def __exit__(self, *exc) -> None:
        self._restore()

    def release(self) -> None:
        """Run the handler the first held signal had before the block (which may raise)."""
        if self.held:
            signum = self.held[0]
            self.held.clear()
            handler = self.previous.get(signum)
            if callable(handler):
                handler(signum, None)
