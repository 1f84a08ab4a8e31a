"""infield_matrix / stray_light_matrix around the native module: options per call, records to the
logger, progress, BuildError, the output and memory checks, the vignetting layout and checks before the
native module is called.

These tests replace the native module by a recording stand-in (``velmora_fake_module``);
test_api_native.py runs the same builders against the real module."""

import logging

import numpy as np
import pytest

import velmora
from velmora import BuildError, ConfigurationError, builds

@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"use_simpsons": True, "lower_edge": True, "rows_below": 6, "rows_above": 42, "threads": 3}),
    ({"scheme": "midpoint", "lower_edge": False, "rows_below": 50, "rows_above": 5},
     {"use_simpsons": False, "lower_edge": False, "rows_below": 50, "rows_above": 5, "threads": 3}),
    ({"rows_below": 4}, {"use_simpsons": True, "lower_edge": True, "rows_below": 4, "rows_above": 42, "threads": 3}),
])
def test_infield_options_travel_with_the_call(velmora_fake_module, velmora_small, kwargs, expected):
    # The small instrument has SOFSy = 6 < 42: the default rows_below takes what it has.
    w, psfs, _ = velmora_small
    velmora_fake_module.fill = 0.25
    out, report = velmora.infield_matrix(w, psfs, threads=3, return_report=True, **kwargs)
    args, options = velmora_fake_module.call("build_infield")
    assert {k: options[k] for k in expected} == expected and options["rows"] == w.Ky
    assert out.shape == (12, 12) and out.dtype == np.float64 and np.all(out == 0.25)
    spec, images, centres, coeffs, indices, answer = args
    assert spec.dtype == np.int32 and spec.tolist() == list(w)
    assert images is psfs.images and indices is psfs.indices and answer is out
    assert report.outcome == "succeeded" and report.threads == 3 and report.matrix == "in-field"


def test_threads_default_is_a_positive_count(velmora_fake_module, velmora_small, monkeypatch):
    w, psfs, _ = velmora_small
    monkeypatch.setenv("OMP_NUM_THREADS", "5,2")
    assert velmora.resolve_threads(None) == 5
    velmora.infield_matrix(w, psfs)
    assert velmora_fake_module.call("build_infield")[1]["threads"] == 5
    monkeypatch.delenv("OMP_NUM_THREADS")
    assert velmora.resolve_threads(None) >= 1
    for bad in (0, -2, 1.5, True):
        with pytest.raises(ValueError):
            velmora.resolve_threads(bad)


def test_records_go_to_the_logger_and_progress_counts_rows(velmora_fake_module, velmora_small, caplog, capsys):
    w, psfs, _ = velmora_small
    velmora_fake_module.records = [(2, "torvendll_create_deconvolution_matrix, Processing with a maximum of 3 threads"),
                                   (1, "something odd\nits second line")]
    seen = []
    with caplog.at_level(logging.DEBUG, logger="velmora"):
        velmora.infield_matrix(w, psfs, progress=lambda d, t: seen.append((d, t)))
    assert capsys.readouterr().out == ""
    records = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "velmora"]
    assert records == [(logging.INFO, "in-field: torvendll_create_deconvolution_matrix, Processing with a maximum of "
                                      "3 threads"),
                       (logging.WARNING, "in-field: something odd\nits second line")]
    assert seen == [(1, 3), (2, 3), (3, 3), (3, 3)]


@pytest.mark.parametrize("records, result, reason", [
    ([(0, "torvendll_create_deconvolution_matrix, The science window size (36,46) is not the same size"),
      (2, "torvendll_create_deconvolution_matrix. Error generating the convolution matrix of size (12,12).")],
     False, "refused"),
    ([(1, "cimpl_create_deconvolution needs exactly 22 windowing parameters, you passed in 21")], False, "refused"),
    ([(0, "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, Inconsistency error\nsecond line")],
     True, "although it returned success"),
])
def test_build_error_carries_the_reasons(velmora_fake_module, velmora_small, records, result, reason):
    w, psfs, _ = velmora_small
    velmora_fake_module.records, velmora_fake_module.result = records, result
    with pytest.raises(BuildError) as err:
        velmora.infield_matrix(w, psfs)
    e = err.value
    assert isinstance(e, RuntimeError) and reason in str(e) and e.matrix == "in-field"
    assert e.records == e.report.records and e.lines == [line for r in e.records for line in r.lines()]
    assert [(r.status, r.text) for r in e.errors + e.warnings] == [
        ({0: "ERROR", 1: "WARNING"}[status], text) for status, text in records if status < 2]
    for r in e.errors + e.warnings:
        assert all(part in str(e) for part in r.text.split("\n"))
    assert "Error generating" not in str(e)  # information records stay out of the message


@pytest.mark.parametrize("make, fragment", [
    (lambda F: np.zeros((F, F), dtype=np.float32), "dtype float64"),
    (lambda F: np.zeros((F, F + 1)), "shape"),
    (lambda F: np.zeros((F, F), order="F"), "C-contiguous"),
    (lambda F: np.broadcast_to(np.zeros(F), (F, F)), "writeable"),
    (lambda F: [[0.0] * F] * F, "numpy.ndarray"),
])
def test_out_must_be_a_matrix_the_build_can_write(velmora_fake_module, velmora_small, make, fragment):
    w, psfs, _ = velmora_small
    with pytest.raises((ValueError, TypeError), match=fragment):
        velmora.infield_matrix(w, psfs, out=make(w.F))
    assert velmora_fake_module.calls == []


def test_a_matrix_larger_than_the_memory_is_refused_unless_out_is_given(velmora_fake_module, velmora_small,
                                                                      monkeypatch, tmp_path):
    w, psfs, stray = velmora_small
    monkeypatch.setattr(builds, "available_memory", lambda: w.F * w.F * 8 - 1)
    for call in (lambda **k: velmora.infield_matrix(w, psfs, **k), lambda **k: velmora.stray_light_matrix(w, stray, **k)):
        with pytest.raises(MemoryError, match="open_memmap"):
            call()
        out = np.lib.format.open_memmap(tmp_path / "m.npy", mode="w+", dtype=np.float64, shape=(w.F, w.F))
        velmora_fake_module.fill = 0.5
        assert call(out=out) is out and np.all(out == 0.5)


def test_stray_light_passes_steps_and_the_vignetting_in_the_module_layout(velmora_fake_module, velmora_small):
    w, _, stray = velmora_small
    y, x = np.mgrid[0:w.NOOFy, 0:w.NOOFx]
    image = 1000.0 * y + x                      # natural image: value encodes (x, y)
    velmora.stray_light_matrix(w, stray, vignetting=image, source_step=(3, 4), sample_step=(1, 2), threads=1)
    args, options = velmora_fake_module.call("build_stray_light")
    spec, vig, images, centres, coeffs, indices, out, dnx, dny, dsx, dsy = args
    assert (dnx, dny, dsx, dsy) == (3, 4, 1, 2)
    assert vig.shape == (w.NOOFx, w.NOOFy) and vig.dtype == np.float64 and vig.flags.c_contiguous
    flat = vig.ravel()
    for px, py in [(0, 0), (5, 0), (0, 7), (19, 17), (13, 4)]:
        assert flat[px + w.NOOFx * py] == 1000.0 * py + px   # factor of NOOF pixel (x, y)
    assert coeffs.shape == (w.NOOFx, w.NOOFy, 4)
    assert options["threads"] == 1 and options["rows"] == len(range(2, w.Sy, 4))

    velmora.stray_light_matrix(w, stray, threads=1)
    vig = velmora_fake_module.call("build_stray_light")[0][1]
    assert vig.shape == (0, 0)


@pytest.mark.parametrize("call, error, fragment", [
    (lambda w, p, s: velmora.infield_matrix(w.replace(Sx=7), p, rows_below=6), ConfigurationError, "Sx = 7"),
    (lambda w, p, s: velmora.infield_matrix(w, p, rows_below=7), ConfigurationError, "rows_below"),
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
    assert velmora_fake_module.call("build_infield")[0][0][12] == 7


def test_a_module_without_matrix_functions_is_reported(monkeypatch, velmora_small):
    monkeypatch.setattr(builds, "_module", lambda: object())
    w, psfs, _ = velmora_small
    with pytest.raises(NotImplementedError, match="build_infield"):
        velmora.infield_matrix(w, psfs)


def test_misaligned_inputs_reach_the_native_build_aligned(velmora_fake_module, velmora_small):
    # As arrays can arrive from pickle buffers of other processes: one byte off.
    w, psfs, _ = velmora_small
    raw = np.zeros(psfs.images.nbytes + 1, dtype=np.uint8)
    images = raw[1:].view(np.float64).reshape(psfs.images.shape)
    images[...] = psfs.images
    assert not images.flags.aligned
    state = dict(psfs.__dict__, images=images)
    moved = velmora.PSFSet.__new__(velmora.PSFSet)
    moved.__setstate__(state)
    assert moved.images.flags.aligned and np.array_equal(moved.images, psfs.images)
    moved.__dict__.update(images=images)   # and passed on as they are
    velmora.infield_matrix(w, moved, check=False)
    args, _ = velmora_fake_module.call("build_infield")
    assert all(a.flags.aligned for a in args if isinstance(a, np.ndarray))
    with pytest.raises(ValueError, match="aligned"):
        velmora.infield_matrix(w, psfs, out=np.zeros(w.F * w.F * 8 + 1, np.uint8)[1:].view(np.float64).reshape(w.F, w.F))
