"""Shared fixtures of the velmora package tests."""

from __future__ import annotations

import numpy as np
import pytest

import velmora
from velmora import builds


@pytest.fixture(scope="session")
def velmora_builtin():
    """The built-in instrument."""
    return velmora.builtin_instrument()


@pytest.fixture(scope="session")
def velmora_builtin_matrices(velmora_builtin):
    """Both matrices of the built-in instrument built with the default options, once per session."""
    ins = velmora_builtin
    infield = velmora.infield_matrix(ins.windows, ins.psfs, threads=2)
    stray = velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting,
                                       source_step=ins.source_step, sample_step=ins.sample_step, threads=2)
    return infield, stray


@pytest.fixture(scope="session")
def velmora_small():
    """A small, consistent instrument: windows, in-field PSF set and stray-light PSF set.

    L1C 4 x 3 (F = 12), binning 2 x 2, 6 detector rows below the science window.
    """
    w = velmora.Windows(FULLCONVx=24, FULLCONVy=24, NOFSx=2, NOFSy=1, NOOFx=20, NOOFy=18, DOFSx=4, DOFSy=2,
                        Dx=12, Dy=14, SOFSx=2, SOFSy=6, Sx=8, Sy=6, LBINx=2, LBINy=1, Lx=4, Ly=6,
                        KBINx=1, KBINy=2, Kx=4, Ky=3)
    ox, oy = np.meshgrid(np.arange(13) - 6.0, np.arange(15) - 7.0, indexing="ij")
    images = np.stack([np.exp(-(ox ** 2 + oy ** 2) / s) for s in (0.8, 1.2)])
    images /= images.sum(axis=(1, 2), keepdims=True)
    centres = np.array([[7.5, 6.5], [7.5, 6.5]])
    c, i = velmora.bilinear_tables([2.0, 9.0], [6.0], w.detector_table_shape)
    psfs = velmora.PSFSet(images, centres, c, i)
    c2, i2 = velmora.bilinear_tables([6.0, 13.0], [8.0], w.noof_table_shape)
    return w, psfs, psfs.with_tables(c2, i2)


class FakeNativeModule:
    """Plays the part of ``velmora._native`` and records the calls velmora makes.

    ``result`` is what the builds return, ``records`` the (status, text) pairs
    they report (0 error, 1 warning, 2 information), and ``fill`` the value
    they write into the output matrix. Each call is kept in ``calls`` as
    (function name, positional arguments, keyword options).
    """

    def __init__(self):
        self.calls: list[tuple[str, tuple, dict]] = []
        self.result = True
        self.records: list[tuple[int, str]] = [(2, "torvendll_create_deconvolution_matrix, Version [fake]")]
        self.fill = 0.0

    def _build(self, name, args, out, options):
        self.calls.append((name, args, options))
        rows, progress = options["rows"], options["progress"]
        if progress is not None:
            for done in range(1, rows + 1):
                progress(done, rows)
        out[...] = self.fill if self.result else 0.0
        report = {"outcome": "succeeded" if self.result else "failed", "fast_path": True,
                  "threads": options["threads"], "seconds": 0.0, "table_seconds": 0.0, "table_bytes": 0,
                  "multiply_adds": 0.0, "kernel": "sse2", "work_items": rows, "items_done": rows}
        return self.result, list(self.records), report

    def build_infield(self, *args, **options):
        assert len(args) == 6
        return self._build("build_infield", args, args[5], options)

    def build_stray_light(self, *args, **options):
        assert len(args) == 11
        return self._build("build_stray_light", args, args[6], options)

    def call(self, function: str) -> tuple[tuple, dict]:
        """The positional arguments and options of the last call of ``function``."""
        name, args, options = [c for c in self.calls if c[0] == function][-1]
        return args, options


@pytest.fixture
def velmora_fake_module(monkeypatch):
    """Replace the native module seen by velmora's builders with a :class:`FakeNativeModule`."""
    fake = FakeNativeModule()
    monkeypatch.setattr(builds, "_module", lambda: fake)
    return fake
