"""cimpl_create_horizontal_stray_light_matrix: arguments, checks, records, sampling and the matrix."""

import contextlib
import io
import os
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

import _velmora_if as m
import matrix_inputs as mi

VERSION = mi.VERSION
FN = "cimpl_create_horizontal_stray_light_matrix"
SERVICE = "torvendll_create_horizontal_stray_light_matrix"
GEN = "TORVEN_DeconvolutionMatrixGenerator"


def run(*args):
    """Call the stray-light function; return its result and the printed lines."""
    return mi.call_printing(m.cimpl_create_horizontal_stray_light_matrix, *args)


def set_defaults():
    mi.set_module_defaults(m)


def reported_max_threads():
    """Run a small request and return the thread maximum it reports."""
    ok, lines = run(*case().args())
    assert ok
    return int(next(line for line in lines if "Processing with a maximum" in line).split()[-2])


@pytest.fixture(scope="module", autouse=True)
def straylight_restore_runtime_threads():
    """Leave the OpenMP thread maximum of this thread as the module found it."""
    set_defaults()
    before = reported_max_threads()
    yield
    m.cimpl_set_numthreads(before)
    reported_max_threads()
    set_defaults()


@pytest.fixture(autouse=True)
def straylight_defaults():
    set_defaults()
    yield
    set_defaults()


# Base window: K = (2, 3), KBIN = (2, 1) so S = (4, 3); SOFS = (1, 1), D = (6, 4); DOFS = (3, 1), NOOF = (13, 6).
# The science window spans NOOF columns 4..7: sources lie in columns 0..3 and 8..12.
BASE = dict(Kx=2, Ky=3, kbin=(2, 1), sofs=(1, 1), dextra=(1, 0), dofs=(3, 1), nextra=(4, 1))


def case(M=2, seed=0, steps=(1, 1, 1, 1), vignetting=None, **geometry):
    """A small valid stray-light request; ``vignetting`` holds natural factors V[x, y] or None."""
    specs = mi.window_specs(**(geometry or BASE))
    w = mi.Win(specs)
    images = mi.random_psfs(M, 2 * w.NOOFx + 1, 2 * w.NOOFy + 1, seed)
    locs = mi.locations(M, (w.NOOFx, w.NOOFy), window=mi.WINDOW_NOOF)
    coeffs, indices = mi.mixed_tables(w.NOOFx, w.NOOFy, M, seed=seed + 1)
    c = SimpleNamespace(specs=specs, w=w, images=images, locs=locs, coeffs=coeffs, indices=indices,
                        out=mi.output(w.F), steps=tuple(steps), vignetting=vignetting)

    def args():
        vb = np.zeros((0, 0)) if c.vignetting is None else mi.vignetting_buffer(c.vignetting)
        return (c.specs, vb, c.images, c.locs, c.coeffs, c.indices, c.out) + c.steps

    c.args = args
    c.ref = lambda: mi.straylight_reference(c.specs, c.images, c.locs, c.coeffs, c.indices, c.vignetting, *c.steps)
    return c


def with_(c, **change):
    names = ("specs", "vignetting", "psf", "locn", "coeffs", "indices", "out", "dnx", "dny", "dsx", "dsy")
    a = dict(zip(names, c.args()))
    a.update(change)
    return tuple(a.values())


# ---------------------------------------------------------------------------------------------------
# Argument conversion
# ---------------------------------------------------------------------------------------------------

def int_text(n):
    return f"in method '{FN}', argument {n} of type 'int'"


CONVERSION = {
    "ten arguments": (lambda c: c.args()[:10], TypeError, f"{FN} expected 11 arguments, got 10"),
    "twelve arguments": (lambda c: c.args() + (1,), TypeError, f"{FN} expected 11 arguments, got 12"),
    "float delta_nx": (lambda c: with_(c, dnx=1.0), TypeError, int_text(24)),
    "huge delta_ny": (lambda c: with_(c, dny=2**31), OverflowError, int_text(25)),
    "very negative delta_sx": (lambda c: with_(c, dsx=-(2**31) - 1), OverflowError, int_text(26)),
    "string delta_sy": (lambda c: with_(c, dsy="1"), TypeError, int_text(27)),
    "None delta_sy": (lambda c: with_(c, dsy=None), TypeError, int_text(27)),
    "first bad integer wins": (lambda c: with_(c, dny="x", dsy="x"), TypeError, int_text(25)),
    "float32 output before string delta_sy": (lambda c: with_(c, out=c.out.astype(np.float32), dsy="1"), TypeError,
                                              "Array of type 'double' required.  Array of type 'float' given"),
    "rank-1 vignetting before string delta_nx": (lambda c: with_(c, vignetting=np.ones(3), dnx="1"), TypeError,
                                                 "Array must have 2 dimensions.  Given array has 1 dimensions"),
    "int64 window_specs before string delta_sy": (lambda c: with_(c, specs=c.specs.astype(np.int64), dsy="1"),
                                                  TypeError, None),
    "float indices before huge delta_nx": (lambda c: with_(c, indices=c.indices.astype(float), dnx=2**40),
                                           TypeError, None),
    "list output": (lambda c: with_(c, out=c.out.tolist()), TypeError,
                    "Array of type 'double' required.  A 'list' was given"),
    "column-major output": (lambda c: with_(c, out=np.asfortranarray(c.out)), TypeError,
                            "Array must be contiguous.  A non-contiguous array was given"),
    "byte-swapped output": (lambda c: with_(c, out=c.out.astype(">f8")), TypeError,
                            "Array must have native byteorder.  A byte-swapped array was given"),
    "rank-3 PSF locations": (lambda c: with_(c, locn=c.locs[None]), TypeError,
                             "Array must have 2 dimensions.  Given array has 3 dimensions"),
}


@pytest.mark.parametrize("make, exc, text", CONVERSION.values(), ids=CONVERSION.keys())
def test_conversion_errors(make, exc, text):
    c = case()
    args = make(c)
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf), pytest.raises(exc) as info:
        m.cimpl_create_horizontal_stray_light_matrix(*args)
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text
    else:
        assert "argument" not in str(info.value)
    assert buf.getvalue() == ""
    assert np.all(c.out == 7.0)


def test_first_matrix_call_of_a_process_may_be_a_stray_light_request():
    """Its records reach Python's current sys.stdout (the logger is installed by that first call)."""
    code = (
        "import contextlib, io, numpy as np, _velmora_if as m\n"
        "buf = io.StringIO()\n"
        "with contextlib.redirect_stdout(buf):\n"
        "    ok = m.cimpl_create_horizontal_stray_light_matrix(np.zeros(23, np.int32), np.zeros((0, 0)),\n"
        "        np.zeros((1, 1, 1)), np.zeros((1, 3)), np.zeros((1, 1, 1)), np.zeros((1, 1, 1), np.int32),\n"
        "        np.ones((1, 1)), 1, 1, 1, 1)\n"
        "print(ok, repr(buf.getvalue()))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         cwd=os.path.dirname(__file__))
    line = f"WARNING\t:{FN} needs exactly 22 windowing parameters, you passed in 23\n"
    assert out.stdout == f"False {line!r}\n"
    assert out.stderr == ""


def test_booleans_pass_as_integer_steps():
    c = case()
    ok, _ = run(*c.args()[:7], True, True, True, True)
    assert ok
    np.testing.assert_allclose(c.out, c.ref(), rtol=1e-12, atol=1e-16)


def test_inputs_in_other_layouts_give_the_same_matrix():
    m.cimpl_set_numthreads(1)
    c = case(vignetting=np.random.default_rng(4).uniform(size=(13, 6)))
    ok, _ = run(*c.args())
    assert ok
    expected = c.out.copy()
    c.out[...] = 7.0
    args = with_(c, specs=c.specs.tolist(), vignetting=c.args()[1].astype(">f8"), psf=np.asfortranarray(c.images),
                 coeffs=c.coeffs.astype(">f8"), indices=c.indices.astype(np.int16))
    ok, _ = run(*args)
    assert ok
    np.testing.assert_array_equal(c.out, expected)


# ---------------------------------------------------------------------------------------------------
# Checks of the entry and the service
# ---------------------------------------------------------------------------------------------------

def test_windowing_parameter_count_other_than_22():
    c = case()
    ok, lines = run(*with_(c, specs=np.append(c.specs, 0).astype(np.int32)))
    assert ok is False
    assert lines == [f"WARNING\t:{FN} needs exactly 22 windowing parameters, you passed in 23"]
    assert np.all(c.out == 0.0)


@pytest.mark.parametrize("locn_cols, out_shape", [(3, (6, 7)), (3, (7, 7)), (3, (1, 1)), (2, (6, 6)), (4, (6, 6))])
def test_entry_refuses_other_outputs_and_location_widths(locn_cols, out_shape):
    c = case()
    c.out = mi.output(6, out_shape)
    locs = np.hstack([c.locs, c.locs])[:, :locn_cols].copy()
    ok, lines = run(*with_(c, locn=locs, out=c.out))
    assert ok is False
    assert lines == [
        f"ERROR\t:{FN}, there were errors in the psf locations or the output matrix",
        f"ERROR\t:{FN}, locn size   = ({locn_cols}, 2)",
        f"ERROR\t:{FN}, (answery, answerx) = ({out_shape[1]},{out_shape[0]}),  KK = 6",
    ]
    assert np.all(c.out == 0.0)


def test_l1c_pixel_count_beyond_32_bits_is_not_wrapped():
    """6 x 715827883 = 2**32 + 2 pixels must not pass for a 2 x 2 output."""
    c = case()
    c.specs[20], c.specs[21] = 6, 715827883
    c.out = mi.output(2)
    ok, lines = run(*c.args())
    assert ok is False
    assert lines == [
        f"ERROR\t:{FN}, there were errors in the psf locations or the output matrix",
        f"ERROR\t:{FN}, locn size   = (3, 2)",
        f"ERROR\t:{FN}, (answery, answerx) = (2,2),  KK = 4294967298",
    ]
    assert np.all(c.out == 0.0)


FAIL = f"INFO\t:{SERVICE}. Error generating the horizontal stray light convolution matrix of size (6,6)"
E = f"ERROR\t:{SERVICE}, "
R_PSF = E + "The size of the PSF arrays (13, 3) must be at least as big as the science window (3, 4)"
R_STEP = E + "The sampling step {} ({}) must be at least 1"

SERVICE_CASES = {
    "PSF narrower than the science window": (lambda c: setattr(c, "images", c.images[:, :3, :]), [R_PSF]),
    "fewer locations than PSFs": (lambda c: setattr(c, "locs", c.locs[:1]), [
        E + "The number of PSF arrays (2) does not equal the number of locations (1)"]),
    "science and L1B windows differ, L1B and L1C too": (lambda c: setattr(c, "specs", mi.window_specs(**BASE, Lx=5)), [
        E + "The science window size (3,4) is not the same size as the L1B binned window (5,3)",
        E + "The L1B binned window size (3,5) is not the same size as the L1C binned window (4,3)"]),
    "L1B and L1C windows differ in y": (lambda c: setattr(c, "specs", mi.window_specs(**BASE, KBINy=2)), [
        E + "The L1B binned window size (3,4) is not the same size as the L1C binned window (4,6)"]),
    "tables sized for the detector window": (
        lambda c: (setattr(c, "coeffs", c.coeffs[:6, :4].copy()), setattr(c, "indices", c.indices[:6, :4].copy())), [
            E + "the array of PSF interpolation coefficients (4,6) must be the same size as the NOOF window (6,13)",
            E + "the array of PSF interpolation indices (4,6) must be the same size as the NOOF window (6,13)"]),
    "transposed index table": (lambda c: setattr(c, "indices", np.zeros((6, 13, 3), np.int32)), [
        E + "the array of PSF interpolation indices (13,6) must be the same size as the NOOF window (6,13)"]),
    "one index more per pixel": (lambda c: setattr(c, "indices", np.zeros((13, 6, 4), np.int32)), [
        E + "the Number of coefficients in the PSF interpolation (3) and coefficient (4) arrays must match"]),
    "one coefficient more per pixel": (lambda c: setattr(c, "coeffs", np.zeros((13, 6, 4))), [
        E + "the Number of coefficients in the PSF interpolation (4) and coefficient (3) arrays must match"]),
    "delta_nx 0": (lambda c: setattr(c, "steps", (0, 1, 1, 1)), [R_STEP.format("delta_nx", 0)]),
    "delta_ny -2": (lambda c: setattr(c, "steps", (1, -2, 1, 1)), [R_STEP.format("delta_ny", -2)]),
    "delta_sx 0": (lambda c: setattr(c, "steps", (1, 1, 0, 1)), [R_STEP.format("delta_sx", 0)]),
    "delta_sy -1": (lambda c: setattr(c, "steps", (1, 1, 1, -1)), [R_STEP.format("delta_sy", -1)]),
    "all four steps 0": (lambda c: setattr(c, "steps", (0, 0, 0, 0)),
                         [R_STEP.format(n, 0) for n in ("delta_nx", "delta_ny", "delta_sx", "delta_sy")]),
    "several failures in order": (
        lambda c: (setattr(c, "images", c.images[:, :3, :]), setattr(c, "locs", c.locs[:1]),
                   setattr(c, "indices", np.zeros((13, 6, 4), np.int32)), setattr(c, "steps", (1, 1, 1, 0))), [
            R_PSF,
            E + "The number of PSF arrays (2) does not equal the number of locations (1)",
            E + "the Number of coefficients in the PSF interpolation (3) and coefficient (4) arrays must match",
            R_STEP.format("delta_sy", 0)]),
}


@pytest.mark.parametrize("change, records", SERVICE_CASES.values(), ids=SERVICE_CASES.keys())
def test_service_checks(change, records):
    c = case()
    change(c)
    ok, lines = run(*c.args())
    assert ok is False
    assert lines == records + [FAIL]
    assert np.all(c.out == 0.0)


# ---------------------------------------------------------------------------------------------------
# Records of a successful build
# ---------------------------------------------------------------------------------------------------

VIGNETTING_LINES = {
    "used": (np.ones((13, 6)), "INFO\t:The user supplied, ROW major, vignetting array (13,6) willbe used for vignetting"),
    "none": (np.zeros((0, 0)), "INFO\t:No user defined vignetting array supplied. A value of 1.0 will be used"),
    "3x3": (np.ones((3, 3)), "WARNING\t:The user defined vignetting array was the wrong size. Expected an (x,y) "
                             "size of (13,6) but got (3,3). A value of 1.0 will be used"),
    "transposed": (np.ones((6, 13)), "WARNING\t:The user defined vignetting array was the wrong size. Expected an "
                                     "(x,y) size of (13,6) but got (6,13). A value of 1.0 will be used"),
    "0x6": (np.ones((0, 6)), "WARNING\t:The user defined vignetting array was the wrong size. Expected an (x,y) "
                             "size of (13,6) but got (0,6). A value of 1.0 will be used"),
}


@pytest.mark.parametrize("vb, line", VIGNETTING_LINES.values(), ids=VIGNETTING_LINES.keys())
def test_records_of_a_successful_build(vb, line):
    m.cimpl_set_numthreads(2)
    c = case(steps=(2, 3, 1, 2))
    c.images = c.images[:, :, :-1]
    ok, lines = run(*with_(c, vignetting=vb))
    assert ok is True
    psf = "INFO\t:TORVEN_PSF_Table::Initialize, Adding measured PSF[{}] of size (12, 27) with its center at (Y=6.500000, X=13.500000)"
    assert lines == [
        f"INFO\t:{SERVICE}, Version [{VERSION}]",
        f"INFO\t:{SERVICE}, Processing with a maximum of 2 threads",
        "INFO\t:All PSF coordinates will be mapped to the NOOF window",
        psf.format(0),
        psf.format(1),
        f"INFO\t:{GEN}::build_horizontal_stray_light. Building convolution matrix for horizontal extrapolation.",
        "INFO\t:Noof region coordinate step sizes    (Ny,Nx) = (3, 2)",
        "INFO\t:Science window coordinate step sizes (Sy,Sx) = (2, 1)",
        line,
        f"INFO\t:{SERVICE}. Successfuly generated the convolution matrix of size (6,6)",
    ]
    # an unusable vignetting array means factors of 1.0
    np.testing.assert_allclose(c.out, c.ref(), rtol=1e-12, atol=1e-16)


@pytest.mark.parametrize("threads", [1, 2])
def test_diagnostic_lines_name_the_sampled_rows(threads):
    m.cimpl_set_numthreads(threads)
    m.cimpl_set_diagnostic(1)
    c = case(steps=(1, 2, 1, 1), Kx=2, Ky=5, kbin=(2, 1), sofs=(1, 1), dofs=(3, 1), nextra=(2, 0))
    ok, lines = run(*c.args())
    assert ok
    progress = sorted(line for line in lines if "Processing row" in line)
    assert progress == [f"INFO\t:{GEN}::build_horizontal_stray_light, Processing row [{i}] of [5]" for i in (1, 3)]


# ---------------------------------------------------------------------------------------------------
# The matrix
# ---------------------------------------------------------------------------------------------------

STEPS = [(1, 1, 1, 1), (2, 1, 1, 1), (1, 2, 1, 1), (1, 1, 2, 1), (1, 1, 1, 2), (3, 2, 3, 2), (2, 3, 1, 3), (3, 3, 3, 3)]


@pytest.mark.parametrize("vignetted", [False, True])
@pytest.mark.parametrize("steps", STEPS, ids=[str(s) for s in STEPS])
def test_matrix_matches_the_reference_model(steps, vignetted):
    rng = np.random.default_rng(7)
    c = case(steps=steps, vignetting=rng.uniform(0.1, 1.0, size=(13, 6)) if vignetted else None)
    ok, _ = run(*c.args())
    assert ok
    expected = c.ref()
    assert np.count_nonzero(expected) > 0
    np.testing.assert_allclose(c.out, expected, rtol=1e-12, atol=1e-16)
    # only the leftmost and rightmost L1C pixels of the sampled rows receive anything
    w, dny = c.w, steps[1]
    ends = {w.science_flat(x, iy) for iy in range(dny // 2, w.Sy, dny) for x in (0, w.Sx - 1)}
    assert set(np.flatnonzero(np.any(c.out != 0.0, axis=1))) <= ends


OTHER_WINDOWS = {
    "one L1C column": dict(Kx=1, Ky=3, kbin=(4, 1), sofs=(1, 1), dextra=(1, 0), dofs=(3, 1), nextra=(4, 1)),
    "binned in y, offset NOOF": dict(Kx=2, Ky=2, kbin=(1, 2), lbin=(2, 1), sofs=(2, 1), dextra=(0, 2), dofs=(2, 2),
                                     nextra=(3, 1), nofs=(5, 4)),
}


@pytest.mark.parametrize("steps", [(1, 1, 1, 1), (2, 3, 2, 1)], ids=str)
@pytest.mark.parametrize("geometry", OTHER_WINDOWS.values(), ids=OTHER_WINDOWS.keys())
def test_other_windows_match_the_reference_model(geometry, steps):
    w = mi.Win(mi.window_specs(**geometry))
    c = case(steps=steps, vignetting=np.random.default_rng(8).uniform(0.2, 1.0, (w.NOOFx, w.NOOFy)), **geometry)
    ok, _ = run(*c.args())
    assert ok
    expected = c.ref()
    assert np.count_nonzero(expected) > 0
    np.testing.assert_allclose(c.out, expected, rtol=1e-12, atol=1e-16)


EDGES = {
    "science window at NOOF column 0": (dict(Kx=2, Ky=2, sofs=(0, 1), dextra=(2, 0), nextra=(3, 1)), "left"),
    "science window at the right edge of the NOOF window": (dict(Kx=2, Ky=2, sofs=(3, 1), dofs=(2, 0)), "right"),
}


@pytest.mark.parametrize("geometry, empty", EDGES.values(), ids=EDGES.keys())
def test_science_window_at_a_noof_edge_has_no_sources_on_that_side(geometry, empty):
    c = case(**geometry)
    ok, _ = run(*c.args())
    assert ok
    w = c.w
    left = [w.science_flat(0, y) for y in range(w.Sy)]
    right = [w.science_flat(w.Sx - 1, y) for y in range(w.Sy)]
    assert np.all(c.out[left if empty == "left" else right] == 0.0)
    assert np.any(c.out[right if empty == "left" else left] != 0.0)
    np.testing.assert_allclose(c.out, c.ref(), rtol=1e-12, atol=1e-16)


def flat_psf_case(steps, **geometry):
    """A PSF that is 1.0 everywhere it reaches, one coefficient per NOOF pixel."""
    c = case(M=1, steps=steps, **geometry)
    c.images = np.ones_like(c.images)
    c.coeffs, c.indices = mi.single_tables(c.w.NOOFx, c.w.NOOFy)
    return c


def test_delta_ny_4_samples_rows_2_6_10():
    c = flat_psf_case((1, 4, 1, 1), Kx=2, Ky=12, kbin=(2, 1), sofs=(1, 0), dofs=(2, 0), nextra=(2, 0))
    ok, _ = run(*c.args())
    assert ok
    expected = sorted(c.w.flat(kx, ky) for kx in (0, 1) for ky in (2, 6, 10))
    assert list(np.flatnonzero(np.any(c.out != 0.0, axis=1))) == expected


def test_source_columns_for_the_example_windows():
    """left = 10 and right = 50 in a NOOF window 60 wide, delta_nx = 4: sources 7, 3 and 52, 56.

    Each NOOF column in turn is given the only non-zero vignetting factor; a column is a source when
    the matrix is then non-zero.
    """
    c = flat_psf_case((4, 1, 40, 1), Kx=2, Ky=1, kbin=(20, 1), sofs=(6, 0), dextra=(2, 0), dofs=(4, 0),
                      nextra=(8, 0))
    w = c.w
    assert (w.DOFSx + w.SOFSx, w.DOFSx + w.SOFSx + w.Sx, w.NOOFx) == (10, 50, 60)
    used = {"left": [], "right": []}
    for x in range(w.NOOFx):
        c.vignetting = np.zeros((w.NOOFx, w.NOOFy))
        c.vignetting[x, :] = 1.0
        ok, _ = run(*c.args())
        assert ok
        # one receiving sample, science (20, 0) in L1C pixel 1; factor 40 * 4, scaled by 1 / 20
        if c.out[0, 1] != 0.0:
            used["left"].append(x)
            assert c.out[0, 1] == pytest.approx(8.0)
        if c.out[1, 1] != 0.0:
            used["right"].append(x)
            assert c.out[1, 1] == pytest.approx(8.0)
        assert np.count_nonzero(c.out) <= 1
    assert used == {"left": [3, 7], "right": [52, 56]}


def test_vignetting_is_read_with_x_fastest():
    """A factor that differs between NOOF rows shows the layout: element x + NOOFx * y."""
    nx, ny = 13, 6
    factors = np.add.outer(np.arange(nx) * 0.01, np.arange(ny) * 1.0) + 0.5  # V[x, y]
    c = case(vignetting=factors)
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, c.ref(), rtol=1e-12, atol=1e-16)
    assert not np.allclose(c.out, case(vignetting=np.ascontiguousarray(factors.T).reshape(nx, ny)).ref())


@pytest.mark.parametrize("value", [0.0, np.nan, np.inf])
def test_zero_or_non_finite_vignetting_removes_a_source(value):
    rng = np.random.default_rng(9)
    factors = rng.uniform(0.5, 1.0, size=(13, 6))
    c = case(vignetting=factors.copy())
    c.vignetting[2, :] = value
    c.vignetting[9, 3] = value
    ok, _ = run(*c.args())
    assert ok
    assert np.all(np.isfinite(c.out))
    removed = factors.copy()
    removed[2, :] = 0.0
    removed[9, 3] = 0.0
    c.vignetting = removed
    np.testing.assert_allclose(c.out, c.ref(), rtol=1e-12, atol=1e-16)
    assert not np.allclose(c.out, case(vignetting=factors).ref())


def test_left_side_fully_vignetted_leaves_only_the_right_columns():
    factors = np.ones((13, 6))
    factors[:4, :] = 0.0
    c = case(vignetting=factors)
    ok, _ = run(*c.args())
    assert ok
    w = c.w
    assert np.all(c.out[[w.science_flat(0, y) for y in range(w.Sy)]] == 0.0)
    np.testing.assert_allclose(c.out, c.ref(), rtol=1e-12, atol=1e-16)


def test_in_field_options_leave_the_result_unchanged():
    m.cimpl_set_numthreads(1)
    c = case(steps=(2, 1, 1, 2))
    ok, _ = run(*c.args())
    assert ok
    expected = c.out.copy()
    for name, value in (("use_simpsons", 0), ("create_lower_edge_adjustment", 0),
                        ("lower_edge_rows_below", 3), ("lower_edge_rows_above", 5)):
        m.cimpl_set_option(name, value)
    c.out[...] = 7.0
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_array_equal(c.out, expected)


def test_one_and_two_threads_agree():
    c = case(steps=(1, 1, 2, 1), vignetting=np.random.default_rng(2).uniform(size=(13, 6)))
    results = []
    for n in (1, 2):
        m.cimpl_set_numthreads(n)
        c.out[...] = 7.0
        ok, _ = run(*c.args())
        assert ok
        results.append(c.out.copy())
    np.testing.assert_allclose(results[0], results[1], rtol=1e-12, atol=1e-16)


def test_more_than_100_coefficients_per_pixel_are_refused():
    """No coefficient lookup could succeed, so no source could add anything: the request is refused
    rather than reporting an all-zero matrix as a success."""
    c = case()
    c.coeffs = np.zeros((13, 6, 101))
    c.coeffs[:, :, 0] = 1.0
    c.indices = np.zeros((13, 6, 101), np.int32)
    ok, lines = run(*c.args())
    assert ok is False
    assert np.all(c.out == 0.0)
    assert len(lines) == 2 and lines[-1] == FAIL
    assert lines[0].startswith(E) and "101" in lines[0]
