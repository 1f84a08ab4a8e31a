"""Transform buffers kept from one product to the next, one set per thread."""

from __future__ import annotations

import contextlib
import threading

import numpy as np

__all__ = ["Scratch"]


class Scratch(threading.local):
    """The large transform buffers of the products, kept from one product to the next, one set per thread.

    Allocating them afresh for every product costs more than the transforms themselves: the
    system maps and zeroes their pages again each time (with huge pages, compacting memory
    first). A product takes them with :meth:`taken`; a product that starts on the same thread
    while they are taken (a signal handler's, say) gets fresh ones.
    """

    def __init__(self):
        self.arrays: dict = {}
        self.busy = False

    def __reduce__(self):
        # A copy (a pickled model, say) starts with buffers of its own.
        return (Scratch, ())

    @contextlib.contextmanager
    def taken(self):
        if self.busy:
            yield lambda name, shape, dtype=np.float64: np.zeros(shape, dtype)
            return
        self.busy = True
        try:
            yield self._array
        finally:
            self.busy = False

    def _array(self, name: str, shape: tuple, dtype=np.float64) -> np.ndarray:
        """The buffer ``name`` of that shape; zero when new, otherwise as the last product left it."""
        a = self.arrays.get(name)
        if a is None or a.shape != shape or a.dtype != dtype:
            self.arrays.pop(name, None)
            a = self.arrays[name] = np.zeros(shape, dtype)
        return a
