"""infield_matrix / stray_light_matrix around the module: options per call, routing of the
module's lines, BuildError, the vignetting layout and checks before the module is called.

These tests replace the native module by a recording stand-in (``velmora_fake_module``);
test_api_native.py runs the same builders against the real module."""

import logging

import numpy as np
import pytest

import velmora
from velmora import BuildError, ConfigurationError, builds

DEFAULTS = {"use_simpsons": 1, "create_lower_edge_adjustment": 1, "lower_edge_rows_below": 42,
            "lower_edge_rows_above": 42, "cimpl_set_numthreads": 0, "cimpl_set_diagnostic": 0}


@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"use_simpsons": 1, "create_lower_edge_adjustment": 1, "lower_edge_rows_below": 6,
          "lower_edge_rows_above": 42, "cimpl_set_numthreads": 3, "cimpl_set_diagnostic": 0}),
    ({"scheme": "midpoint", "lower_edge": False, "rows_below": 50, "rows_above": 5},
     {"use_simpsons": 0, "create_lower_edge_adjustment": 0, "lower_edge_rows_below": 50,
      "lower_edge_rows_above": 5, "cimpl_set_numthreads": 3, "cimpl_set_diagnostic": 0}),
    ({"progress": lambda done, total: None},
     {"use_simpsons": 1, "create_lower_edge_adjustment": 1, "lower_edge_rows_below": 6,
      "lower_edge_rows_above": 42, "cimpl_set_numthreads": 3, "cimpl_set_diagnostic": 1}),
])
def test_infield_options_apply_to_this_call_only(velmora_fake_module, velmora_small, kwargs, expected):
    w, psfs, _ = velmora_small
    kwargs = {"rows_below": 6, **kwargs}
    velmora_fake_module.fill = 0.25
    out = velmora.infield_matrix(w, psfs, threads=3, **kwargs)
    assert velmora_fake_module.settings_before("cimpl_create_deconvolution") == expected
    assert velmora_fake_module.settings_now() == DEFAULTS
    assert out.shape == (12, 12) and out.dtype == np.float64 and np.all(out == 0.25)
    spec, images, centres, coeffs, indices, answer = velmora_fake_module.matrix_call("cimpl_create_deconvolution")
    assert spec.dtype == np.int32 and spec.tolist() == list(w)
    assert images is psfs.images and indices is psfs.indices and answer is out


def test_threads_default_is_a_positive_count(velmora_fake_module, velmora_small, monkeypatch):
    w, psfs, _ = velmora_small
    monkeypatch.setenv("OMP_NUM_THREADS", "5,2")
    assert velmora.resolve_threads(None) == 5
    velmora.infield_matrix(w, psfs, rows_below=6)
    assert velmora_fake_module.settings_before("cimpl_create_deconvolution")["cimpl_set_numthreads"] == 5
    monkeypatch.delenv("OMP_NUM_THREADS")
    assert velmora.resolve_threads(None) >= 1
    for bad in (0, -2, 1.5, True):
        with pytest.raises(ValueError):
            velmora.resolve_threads(bad)


def test_settings_are_restored_when_the_module_raises(velmora_fake_module, velmora_small, monkeypatch):
    w, psfs, _ = velmora_small

    def boom(*args):
        raise TypeError("Array must be contiguous.  A non-contiguous array was given")

    monkeypatch.setattr(velmora_fake_module, "cimpl_create_deconvolution", boom)
    with pytest.raises(TypeError):
        velmora.infield_matrix(w, psfs, scheme="midpoint", rows_below=6)
    assert velmora_fake_module.settings_now() == DEFAULTS


def test_module_lines_go_to_the_logger_not_the_terminal(velmora_fake_module, velmora_small, caplog, capsys):
    w, psfs, _ = velmora_small
    velmora_fake_module.lines = ["INFO\t:torvendll_create_deconvolution_matrix, Processing with a maximum of 3 threads",
                                 "WARNING\t:something odd", "\tits second line"]
    velmora_fake_module.progress_rows = 3
    seen = []
    with caplog.at_level(logging.DEBUG, logger="velmora"):
        velmora.infield_matrix(w, psfs, rows_below=6, progress=lambda d, t: seen.append((d, t)))
    assert capsys.readouterr().out == ""
    records = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "velmora"]
    assert (logging.INFO, "torvendll_create_deconvolution_matrix, Processing with a maximum of 3 threads") in records
    assert (logging.WARNING, "something odd") in records and (logging.WARNING, "its second line") in records
    assert sum(level == logging.DEBUG for level, _ in records) == 3
    assert seen == [(1, 3), (2, 3), (3, 3), (3, 3)]


@pytest.mark.parametrize("lines, result, reason", [
    (["ERROR\t:torvendll_create_deconvolution_matrix, The science window size (36,46) is not the same size",
      "INFO\t:torvendll_create_deconvolution_matrix. Error generating the convolution matrix of size (12,12)."],
     False, "refused"),
    (["WARNING\t:cimpl_create_deconvolution needs exactly 22 windowing parameters, you passed in 21"], False, "refused"),
    (["ERROR\t:TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, Inconsistency error",
      "\tsecond line"], True, "although it returned success"),
])
def test_build_error_carries_the_module_reasons(velmora_fake_module, velmora_small, lines, result, reason):
    w, psfs, _ = velmora_small
    velmora_fake_module.lines, velmora_fake_module.result = lines, result
    with pytest.raises(BuildError) as err:
        velmora.infield_matrix(w, psfs, rows_below=6)
    e = err.value
    assert isinstance(e, RuntimeError) and reason in str(e) and e.matrix == "in-field"
    assert e.lines == lines
    assert e.errors + e.warnings == [line for line in lines if not line.startswith("INFO")]
    for line in e.errors + e.warnings:
        assert line.split(":", 1)[-1].strip() in str(e)
    assert "Error generating" not in str(e)  # information lines stay out of the message


def test_stray_light_passes_steps_and_the_vignetting_in_the_module_layout(velmora_fake_module, velmora_small):
    w, _, stray = velmora_small
    y, x = np.mgrid[0:w.NOOFy, 0:w.NOOFx]
    image = 1000.0 * y + x                      # natural image: value encodes (x, y)
    velmora.stray_light_matrix(w, stray, vignetting=image, source_step=(3, 4), sample_step=(1, 2), threads=1)
    args = velmora_fake_module.matrix_call("cimpl_create_horizontal_stray_light_matrix")
    spec, vig, images, centres, coeffs, indices, out, dnx, dny, dsx, dsy = args
    assert (dnx, dny, dsx, dsy) == (3, 4, 1, 2)
    assert vig.shape == (w.NOOFx, w.NOOFy) and vig.dtype == np.float64 and vig.flags.c_contiguous
    flat = vig.ravel()
    for px, py in [(0, 0), (5, 0), (0, 7), (19, 17), (13, 4)]:
        assert flat[px + w.NOOFx * py] == 1000.0 * py + px   # factor of NOOF pixel (x, y)
    assert coeffs.shape == (w.NOOFx, w.NOOFy, 4)
    assert velmora_fake_module.settings_before("cimpl_create_horizontal_stray_light_matrix") == dict(
        DEFAULTS, cimpl_set_numthreads=1)

    velmora.stray_light_matrix(w, stray, threads=1)
    vig = velmora_fake_module.matrix_call("cimpl_create_horizontal_stray_light_matrix")[1]
    assert vig.shape == (0, 0)


@pytest.mark.parametrize("call, error, fragment", [
    (lambda w, p, s: velmora.infield_matrix(w.replace(Sx=7), p, rows_below=6), ConfigurationError, "Sx = 7"),
    (lambda w, p, s: velmora.infield_matrix(w, p), ConfigurationError, "rows_below"),
    (lambda w, p, s: velmora.infield_matrix(w, s, rows_below=6), ConfigurationError, "detector window"),
    (lambda w, p, s: velmora.infield_matrix(w, p, scheme="simpson", rows_below=6), ValueError, "scheme"),
    (lambda w, p, s: velmora.infield_matrix(w, p, rows_above=-1), ValueError, "rows_above"),
    (lambda w, p, s: velmora.infield_matrix(w, (p.images,), rows_below=6), TypeError, "PSFSet"),
    (lambda w, p, s: velmora.stray_light_matrix(w, p), ConfigurationError, "NOOF window"),
    (lambda w, p, s: velmora.stray_light_matrix(w, s, vignetting=np.ones((20, 18))), ConfigurationError,
     "(NOOFy, NOOFx) = (18, 20)"),
    (lambda w, p, s: velmora.stray_light_matrix(w, s, source_step=(0, 1)), ValueError, "source_step"),
    (lambda w, p, s: velmora.stray_light_matrix(w, s, sample_step=3), ValueError, "sample_step"),
])
def test_bad_input_is_refused_before_the_module_is_called(velmora_fake_module, velmora_small, call, error, fragment):
    w, psfs, stray = velmora_small
    with pytest.raises(error) as err:
        call(w, psfs, stray)
    assert fragment in str(err.value)
    assert velmora_fake_module.calls == []


def test_check_false_hands_everything_to_the_module(velmora_fake_module, velmora_small):
    w, psfs, _ = velmora_small
    velmora.infield_matrix(w.replace(Sx=7), psfs, check=False)
    assert velmora_fake_module.matrix_call("cimpl_create_deconvolution")[0][12] == 7


def test_a_module_without_matrix_functions_is_reported(monkeypatch, velmora_small):
    class Setters:
        def cimpl_set_option(self, *a): return True
        def cimpl_set_numthreads(self, *a): return True
        def cimpl_set_diagnostic(self, *a): return True
    monkeypatch.setattr(builds, "_module", lambda: Setters())
    w, psfs, _ = velmora_small
    with pytest.raises(NotImplementedError, match="cimpl_create_deconvolution"):
        velmora.infield_matrix(w, psfs, rows_below=6)
