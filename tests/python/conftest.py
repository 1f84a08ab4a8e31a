"""Shared fixtures of the velmora package tests."""

from __future__ import annotations

import sys

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
    """Records the calls velmora makes and plays the native module's part.

    ``result`` is what the matrix functions return, ``lines`` what they print
    (through ``sys.stdout``, as the native module does), and ``fill`` the value
    they write into the output matrix.
    """

    def __init__(self):
        self.calls: list[tuple] = []
        self.result = True
        self.lines: list[str] = ["INFO\t:torvendll_create_deconvolution_matrix, Version [fake]"]
        self.fill = 0.0
        self.progress_rows = 0

    def _record(self, name, *args):
        self.calls.append((name,) + args)
        return True

    def cimpl_set_option(self, name, value):
        return self._record("cimpl_set_option", name, value)

    def cimpl_set_numthreads(self, n):
        return self._record("cimpl_set_numthreads", n)

    def cimpl_set_diagnostic(self, flag):
        return self._record("cimpl_set_diagnostic", flag)

    def cimpl_set_versionstr(self, text):
        return self._record("cimpl_set_versionstr", text)

    def _matrix_call(self, name, args, out, ky):
        self.calls.append((name,) + tuple(args))
        for row in range(self.progress_rows):
            sys.stdout.write(f"INFO\t:TORVEN_DeconvolutionMatrixGenerator, Processing L1C pixel row [{row}] of [{ky}]\n")
        for line in self.lines:
            sys.stdout.write(line + "\n")
        out[...] = self.fill if self.result else 0.0
        return self.result

    def cimpl_create_deconvolution(self, *args):
        assert len(args) == 6
        return self._matrix_call("cimpl_create_deconvolution", args, args[5], int(args[0][21]))

    def cimpl_create_horizontal_stray_light_matrix(self, *args):
        assert len(args) == 11
        return self._matrix_call("cimpl_create_horizontal_stray_light_matrix", args, args[6], int(args[0][21]))

    # Helpers for the tests.
    def settings_before(self, function: str) -> dict:
        """The settings the module held when ``function`` was called (last call)."""
        settings = {}
        for call in self.calls:
            if call[0] == function:
                found = dict(settings)
            elif call[0] == "cimpl_set_option":
                settings[call[1]] = call[2]
            elif call[0] in ("cimpl_set_numthreads", "cimpl_set_diagnostic"):
                settings[call[0]] = call[1]
        return found

    def settings_now(self) -> dict:
        settings = {}
        for call in self.calls:
            if call[0] == "cimpl_set_option":
                settings[call[1]] = call[2]
            elif call[0] in ("cimpl_set_numthreads", "cimpl_set_diagnostic"):
                settings[call[0]] = call[1]
        return settings

    def matrix_call(self, function: str) -> tuple:
        return [c for c in self.calls if c[0] == function][-1][1:]


@pytest.fixture
def velmora_fake_module(monkeypatch):
    """Replace the native module seen by velmora's builders with a :class:`FakeNativeModule`."""
    fake = FakeNativeModule()
    monkeypatch.setattr(builds, "_module", lambda: fake)
    return fake
