"""cimpl_create_deconvolution: argument rules, entry and service checks, records, settings and the matrix."""

import contextlib
import io
import re
from types import SimpleNamespace

import numpy as np
import pytest

import _velmora_if as m
import matrix_inputs as mi

VERSION = mi.VERSION
SERVICE = "torvendll_create_deconvolution_matrix"
GEN = "TORVEN_DeconvolutionMatrixGenerator"


def run(*args):
    """Call cimpl_create_deconvolution; return its result and the printed lines."""
    return mi.call_printing(m.cimpl_create_deconvolution, *args)


def set_defaults():
    mi.set_module_defaults(m)


def set_options(simpsons=1, edge=1, below=42, above=42):
    m.cimpl_set_option("use_simpsons", simpsons)
    m.cimpl_set_option("create_lower_edge_adjustment", edge)
    m.cimpl_set_option("lower_edge_rows_below", below)
    m.cimpl_set_option("lower_edge_rows_above", above)


def reported_max_threads():
    """Run a small request and return the thread maximum it reports."""
    ok, lines = run(*case(Kx=1, Ky=1).args())
    assert ok
    return int(re.search(rf"^INFO\t:{SERVICE}, Processing with a maximum of (\d+) threads$", "\n".join(lines),
                         re.MULTILINE).group(1))


@pytest.fixture(scope="module", autouse=True)
def infield_restore_runtime_threads():
    """Leave the OpenMP thread maximum of this thread as the module found it."""
    set_defaults()
    before = reported_max_threads()
    yield
    m.cimpl_set_numthreads(before)
    reported_max_threads()
    set_defaults()


@pytest.fixture(autouse=True)
def infield_defaults():
    set_defaults()
    yield
    set_defaults()


def case(Kx=3, Ky=2, M=2, seed=0, on_sample=True, psf=None, tables="mixed", **geometry):
    """A small valid in-field request. ``geometry`` goes to mi.window_specs."""
    geometry.setdefault("sofs", (1, 2))
    specs = mi.window_specs(Kx, Ky, **geometry)
    w = mi.Win(specs)
    if psf == "delta":
        images = mi.delta_psfs(M, w.Dx, w.Dy, (1, 1))
        locs = mi.locations(M, (1, 1))
    elif psf == "small":  # the centre near a corner: most offsets run off the image, some extrapolate
        images = mi.random_psfs(M, w.Dx, w.Dy + 1, seed)
        locs = mi.locations(M, (1, 2), on_sample=on_sample)
    else:
        images = mi.random_psfs(M, 2 * w.Dx + 1, 2 * w.Dy + 1, seed)
        locs = mi.locations(M, (w.Dx, w.Dy), on_sample=on_sample)
    if tables == "single":
        coeffs, indices = mi.single_tables(w.Dx, w.Dy)
    else:
        coeffs, indices = mi.mixed_tables(w.Dx, w.Dy, M, seed=seed + 1)
    c = SimpleNamespace(specs=specs, w=w, images=images, locs=locs, coeffs=coeffs, indices=indices,
                        out=mi.output(w.F))
    c.args = lambda: (c.specs, c.images, c.locs, c.coeffs, c.indices, c.out)
    c.ref = lambda **kw: mi.infield_reference(c.specs, c.images, c.locs, c.coeffs, c.indices, **kw)
    return c


# ---------------------------------------------------------------------------------------------------
# Argument conversion
# ---------------------------------------------------------------------------------------------------

def _args(c, **change):
    a = dict(zip(("specs", "psf", "locn", "coeffs", "indices", "out"), c.args()))
    a.update(change)
    return tuple(a.values())


CONVERSION = [
    ("five arguments", lambda c: c.args()[:5], TypeError, "cimpl_create_deconvolution expected 6 arguments, got 5"),
    ("seven arguments", lambda c: c.args() + (1,), TypeError, "cimpl_create_deconvolution expected 6 arguments, got 7"),
    ("float64 window_specs", lambda c: _args(c, specs=c.specs.astype(np.float64)), TypeError, None),
    ("int64 window_specs", lambda c: _args(c, specs=c.specs.astype(np.int64)), TypeError, None),
    ("float64 indices", lambda c: _args(c, indices=c.indices.astype(np.float64)), TypeError, None),
    ("strings as PSF stack", lambda c: _args(c, psf=[[["x"]]]), ValueError, None),
    ("rank-2 window_specs", lambda c: _args(c, specs=c.specs.reshape(2, 11)), TypeError,
     "Array must have 1 dimensions.  Given array has 2 dimensions"),
    ("rank-2 PSF stack", lambda c: _args(c, psf=c.images[0]), TypeError,
     "Array must have 3 dimensions.  Given array has 2 dimensions"),
    ("rank-3 locations", lambda c: _args(c, locn=c.locs[None]), TypeError,
     "Array must have 2 dimensions.  Given array has 3 dimensions"),
    ("rank-2 coefficients", lambda c: _args(c, coeffs=c.coeffs[:, :, 0]), TypeError,
     "Array must have 3 dimensions.  Given array has 2 dimensions"),
    ("rank-4 indices", lambda c: _args(c, indices=c.indices[None]), TypeError,
     "Array must have 3 dimensions.  Given array has 4 dimensions"),
    ("rank-3 output", lambda c: _args(c, out=np.zeros((1, c.w.F, c.w.F))), TypeError,
     "Array must have 2 dimensions.  Given array has 3 dimensions"),
    ("rank-1 output", lambda c: _args(c, out=np.zeros(c.w.F * c.w.F)), TypeError,
     "Array must have 2 dimensions.  Given array has 1 dimensions"),
    ("column-major output", lambda c: _args(c, out=np.asfortranarray(mi.output(c.w.F))), TypeError,
     "Array must be contiguous.  A non-contiguous array was given"),
    ("strided output", lambda c: _args(c, out=mi.output(c.w.F, (c.w.F, 2 * c.w.F))[:, ::2]), TypeError,
     "Array must be contiguous.  A non-contiguous array was given"),
    ("byte-swapped output", lambda c: _args(c, out=mi.output(c.w.F).astype(">f8")), TypeError,
     "Array must have native byteorder.  A byte-swapped array was given"),
    ("float32 output", lambda c: _args(c, out=mi.output(c.w.F).astype(np.float32)), TypeError,
     "Array of type 'double' required.  Array of type 'float' given"),
    ("int32 output", lambda c: _args(c, out=np.zeros((c.w.F, c.w.F), np.int32)), TypeError,
     "Array of type 'double' required.  Array of type 'int' given"),
    ("list output", lambda c: _args(c, out=mi.output(c.w.F).tolist()), TypeError,
     "Array of type 'double' required.  A 'list' was given"),
    ("None output", lambda c: _args(c, out=None), TypeError,
     "Array of type 'double' required.  A 'Python None' was given"),
    ("first bad argument wins", lambda c: _args(c, specs=c.specs.reshape(2, 11), out=None), TypeError,
     "Array must have 1 dimensions.  Given array has 2 dimensions"),
]


@pytest.mark.parametrize("make, exc, text", [c[1:] for c in CONVERSION], ids=[c[0] for c in CONVERSION])
def test_conversion_errors_raise_before_the_native_call(make, exc, text):
    c = case()
    args = make(c)
    before = [np.array(a, copy=True) if isinstance(a, np.ndarray) else None for a in args]
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf), pytest.raises(exc) as info:
        m.cimpl_create_deconvolution(*args)
    assert type(info.value) is exc
    if text is not None:
        assert str(info.value) == text
    assert buf.getvalue() == ""
    assert np.all(c.out == 7.0)
    for a, b in zip(args, before):
        if b is not None:
            np.testing.assert_array_equal(a, b)


def _read_only(a):
    a.flags.writeable = False
    return a


def _misaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)[1:].view(np.float64).reshape(a.shape)
    raw[...] = a
    return raw


@pytest.mark.parametrize("make", [_read_only, _misaligned], ids=["read-only", "misaligned"])
def test_unwritable_outputs_are_refused_and_left_alone(make):
    c = case()
    c.out = make(c.out)
    with pytest.raises(TypeError):
        run(*c.args())
    assert np.all(c.out == 7.0)


LAYOUTS = {
    "list window_specs": lambda c: _args(c, specs=c.specs.tolist()),
    "int16 window_specs": lambda c: _args(c, specs=c.specs.astype(np.int16)),
    "column-major PSF stack": lambda c: _args(c, psf=np.asfortranarray(c.images)),
    "big-endian PSF stack": lambda c: _args(c, psf=c.images.astype(">f8")),
    "strided locations": lambda c: _args(c, locn=np.repeat(c.locs, 2, axis=1)[:, ::2]),
    "big-endian coefficients": lambda c: _args(c, coeffs=c.coeffs.astype(">f8")),
    "column-major coefficients": lambda c: _args(c, coeffs=np.asfortranarray(c.coeffs)),
    "big-endian indices": lambda c: _args(c, indices=c.indices.astype(">i4")),
    "int16 indices": lambda c: _args(c, indices=c.indices.astype(np.int16)),
    "nested-list indices": lambda c: _args(c, indices=c.indices.tolist()),
}


@pytest.mark.parametrize("make", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_inputs_in_other_layouts_give_the_same_matrix(make):
    m.cimpl_set_numthreads(1)
    set_options(below=2, above=3)
    c = case()
    ok, _ = run(*c.args())
    assert ok
    expected = c.out.copy()
    c.out[...] = 7.0
    args = make(c)
    inputs = [np.array(a, copy=True) for a in args[:5]]
    ok, _ = run(*args)
    assert ok
    np.testing.assert_array_equal(c.out, expected)
    for a, b in zip(args[:5], inputs):
        np.testing.assert_array_equal(np.asarray(a), b)


# ---------------------------------------------------------------------------------------------------
# Checks of the entry function
# ---------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 21, 23])
def test_windowing_parameter_count_other_than_22(n):
    c = case()
    specs = np.resize(c.specs, n).astype(np.int32)
    ok, lines = run(specs, c.images, c.locs, c.coeffs, c.indices, c.out)
    assert ok is False
    assert lines == [f"WARNING\t:cimpl_create_deconvolution needs exactly 22 windowing parameters, you passed in {n}"]
    assert np.all(c.out == 0.0)


def entry_block(locs, indices, coeffs, images, out, w, ncoeffs):
    """The six error records of the entry's shape check, sizes in view order (NumPy order reversed)."""
    p = "ERROR\t:cimpl_create_deconvolution, "
    M, psf_nx, psf_ny = images.shape
    return [
        p + "there were errors in the psf locations, coefficients or indexing arrays",
        p + "locn size   = (%d, %d)" % locs.shape[::-1],
        p + "index size  = (%d, %d, %d)" % indices.shape[::-1],
        p + "coeffs size = (%d, %d, %d)" % coeffs.shape[::-1],
        p + f"(Dy,Dx) = ({w.Dy},{w.Dx}),  M = {M}, (psf_Ny, psf_Nx) = ({psf_ny},{psf_nx})",
        p + f"(answery, answerx) = ({out.shape[1]},{out.shape[0]}),  KK = {w.F}, Ncoeffs = {ncoeffs}",
    ]


# Base case: Dx = 5, Dy = 4, KK = 6, M = 2, PSF images 11 x 9, 3 coefficients per pixel.
ENTRY = {
    "one location more than PSFs": (lambda c: setattr(c, "locs", np.vstack([c.locs, c.locs[:1]])), 0),
    "locations with 2 columns": (lambda c: setattr(c, "locs", c.locs[:, :2].copy()), 0),
    "locations with 4 columns": (lambda c: setattr(c, "locs", np.hstack([c.locs, c.locs[:, :1]])), 0),
    "coefficients (Dy, Dx, n)": (lambda c: setattr(c, "coeffs", np.zeros((4, 5, 3))), 0),
    "indices (Dy, Dx, n)": (lambda c: setattr(c, "indices", np.zeros((4, 5, 3), np.int32)), 0),
    "PSF narrower than the detector window": (lambda c: setattr(c, "images", c.images[:, :4, :]), 0),
    "PSF shorter than the detector window": (lambda c: setattr(c, "images", c.images[:, :, :3]), 0),
    "PSF as large as the science window only": (lambda c: setattr(c, "images", c.images[:, :3, :2]), 0),
    "output (KK, KK+1)": (lambda c: setattr(c, "out", mi.output(6, (6, 7))), 0),
    "output (KK+1, KK)": (lambda c: setattr(c, "out", mi.output(6, (7, 6))), 0),
    "output (1, 1)": (lambda c: setattr(c, "out", mi.output(1)), 0),
    "one index more per pixel": (lambda c: setattr(c, "indices", np.zeros((5, 4, 4), np.int32)), 3),
    "one coefficient more per pixel": (lambda c: setattr(c, "coeffs", np.zeros((5, 4, 4))), 4),
}


@pytest.mark.parametrize("change, ncoeffs", ENTRY.values(), ids=ENTRY.keys())
def test_entry_shape_checks(change, ncoeffs):
    c = case(dextra=(1, 0))
    assert (c.w.Dx, c.w.Dy, c.w.Sx, c.w.Sy, c.w.F) == (5, 4, 3, 2, 6)
    change(c)
    ok, lines = run(c.specs, c.images, c.locs, c.coeffs, c.indices, c.out)
    assert ok is False
    assert lines == entry_block(c.locs, c.indices, c.coeffs, c.images, c.out, c.w, ncoeffs)
    assert np.all(c.out == 0.0)


def test_l1c_pixel_count_beyond_32_bits_is_not_wrapped():
    """6 x 715827883 = 2**32 + 2 pixels must not pass for a 2 x 2 output."""
    c = case(dextra=(1, 0))
    c.specs[20], c.specs[21] = 6, 715827883
    c.out = mi.output(2)
    ok, lines = run(*c.args())
    assert ok is False
    assert lines == entry_block(c.locs, c.indices, c.coeffs, c.images, c.out, mi.Win(c.specs), 0)
    assert lines[-1].endswith("KK = 4294967298, Ncoeffs = 0")
    assert np.all(c.out == 0.0)


def test_entry_block_text_for_transposed_coefficients():
    c = case(dextra=(1, 0))
    ok, lines = run(c.specs, c.images, c.locs, np.zeros((4, 5, 3)), c.indices, c.out)
    assert ok is False
    assert lines == [
        "ERROR\t:cimpl_create_deconvolution, there were errors in the psf locations, coefficients or indexing arrays",
        "ERROR\t:cimpl_create_deconvolution, locn size   = (3, 2)",
        "ERROR\t:cimpl_create_deconvolution, index size  = (3, 4, 5)",
        "ERROR\t:cimpl_create_deconvolution, coeffs size = (3, 5, 4)",
        "ERROR\t:cimpl_create_deconvolution, (Dy,Dx) = (4,5),  M = 2, (psf_Ny, psf_Nx) = (9,11)",
        "ERROR\t:cimpl_create_deconvolution, (answery, answerx) = (6,6),  KK = 6, Ncoeffs = 0",
    ]


# ---------------------------------------------------------------------------------------------------
# Checks of the service
# ---------------------------------------------------------------------------------------------------

FAIL = f"INFO\t:{SERVICE}. Error generating the convolution matrix of size (6,6). It is set to 0.0"
PSF_SMALL = f"ERROR\t:{SERVICE}, The size of the PSF arrays (9, 2) must be bigger or same size as the science window (2, 3)"

# Base: Kx = 3, Ky = 2, no binning, SOFS (1, 2): S = L = (3, 2), D = (5, 4).
SERVICE_CASES = {
    "science and L1B windows differ in x, L1B and L1C too": (dict(Lx=4), None, [
        f"ERROR\t:{SERVICE}, The science window size (2,3) is not the same size as the L1B binned window (4,2)",
        f"ERROR\t:{SERVICE}, The L1B binned window size (2,4) is not the same size as the L1C binned window (3,2)",
    ]),
    "science and L1B windows differ in y": (dict(LBINy=2), None, [
        f"ERROR\t:{SERVICE}, The science window size (2,3) is not the same size as the L1B binned window (3,4)",
    ]),
    "L1B and L1C windows differ in y": (dict(KBINy=2), None, [
        f"ERROR\t:{SERVICE}, The L1B binned window size (2,3) is not the same size as the L1C binned window (3,4)",
    ]),
    "PSF smaller than a science window wider than the detector": (dict(Dx=2), 2, [PSF_SMALL]),
    "all three at once, in order": (dict(Dx=2, LBINy=2, KBINx=2), 2, [
        PSF_SMALL,
        f"ERROR\t:{SERVICE}, The science window size (2,3) is not the same size as the L1B binned window (3,4)",
        f"ERROR\t:{SERVICE}, The L1B binned window size (2,3) is not the same size as the L1C binned window (6,2)",
    ]),
}


@pytest.mark.parametrize("override, psf_nx, records", SERVICE_CASES.values(), ids=SERVICE_CASES.keys())
def test_service_checks(override, psf_nx, records):
    specs = mi.window_specs(3, 2, sofs=(1, 2), dextra=(1, 0), **override)
    w = mi.Win(specs)
    images = mi.random_psfs(1, psf_nx or w.Dx, 9)
    coeffs, indices = mi.single_tables(w.Dx, w.Dy)
    out = mi.output(6)
    ok, lines = run(specs, images, mi.locations(1, (1, 1)), coeffs, indices, out)
    assert ok is False
    assert lines == records + [FAIL]
    assert np.all(out == 0.0)


def test_zero_binning_is_refused():
    specs = mi.window_specs(3, 2, sofs=(1, 2), dextra=(1, 0), KBINx=0, Lx=0, Sx=0)
    w = mi.Win(specs)
    coeffs, indices = mi.single_tables(w.Dx, w.Dy)
    out = mi.output(6)
    ok, lines = run(specs, mi.random_psfs(1, w.Dx, w.Dy), mi.locations(1, (1, 1)), coeffs, indices, out)
    assert ok is False
    assert len(lines) == 2 and lines[-1] == FAIL
    assert lines[0].startswith(f"ERROR\t:{SERVICE}, ") and "binning" in lines[0] and "must be at least 1" in lines[0]
    assert np.all(out == 0.0)


@pytest.mark.parametrize("bad", [-1, 2])
def test_psf_index_out_of_range_fails_the_request(bad):
    set_options(edge=0)
    c = case()
    c.indices[2, 1, 0] = bad
    c.coeffs[2, 1, 0] = 0.5
    ok, lines = run(*c.args())
    assert ok is False
    assert lines[-1] == FAIL
    assert any(line.startswith("ERROR\t:") for line in lines)
    assert np.all(c.out == 0.0)


def test_psf_index_out_of_range_with_zero_coefficient_is_ignored():
    set_options(edge=0)
    c = case()
    c.indices[2, 1, 0] = 99
    c.coeffs[2, 1, 0] = 0.0
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, c.ref(lower_edge=False), rtol=1e-12, atol=1e-16)


# ---------------------------------------------------------------------------------------------------
# Records of a successful build, diagnostics, threads, version
# ---------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("simpsons", [1, 0])
@pytest.mark.parametrize("edge", [1, 0])
def test_records_of_a_successful_build(simpsons, edge):
    m.cimpl_set_numthreads(2)
    set_options(simpsons, edge, below=2, above=3)
    c = case(Kx=3, Ky=2, kbin=(2, 1), lbin=(1, 3), dextra=(1, 0))  # B = (2, 3), D = (8, 8), F = 6
    c.images = c.images[:, :, :-2]
    ok, lines = run(*c.args())
    assert ok is True
    psf = "INFO\t:TORVEN_PSF_Table::Initialize, Adding measured PSF[{}] of size (15, 17) with its center at (Y=8.500000, X=8.500000)"
    edge_line = (f"INFO\t:{GEN}, Generating lower edge correction with [3] detector rows above and [2] detector rows below bottom edge."
                 if edge else f"INFO\t:{GEN}, NOT generating lower edge correction")
    assert lines == [
        f"INFO\t:{SERVICE}, Version [{VERSION}]",
        f"INFO\t:{SERVICE}, Processing with a maximum of 2 threads",
        "INFO\t:All PSF coordinates will be mapped to the detector window",
        psf.format(0),
        psf.format(1),
        f"INFO\t:{GEN}, Generating infield convolution matrix using [{'Quadratic Interpolation' if simpsons else 'Classic Algorithm'}] ",
        edge_line,
        f"INFO\t:{GEN}, Generating convolution matrix for a (2, 3) array of L1C pixels. Pixel binning is (3,2) and window offset is (2,1)",
        f"INFO\t:{SERVICE}. Successfuly generated the convolution matrix of size (6,6)",
    ]


def test_version_text_is_reported():
    m.cimpl_set_versionstr("velmora test build")
    ok, lines = run(*case(Kx=1, Ky=1).args())
    assert ok
    assert lines[0] == f"INFO\t:{SERVICE}, Version [velmora test build]"


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("Ky", [1, 3])
def test_diagnostic_lines(threads, Ky):
    m.cimpl_set_numthreads(threads)
    set_options(below=1, above=2)
    c = case(Kx=2, Ky=Ky)
    ok, quiet = run(*c.args())
    assert ok
    expected = c.out.copy()
    m.cimpl_set_diagnostic(1)
    ok, lines = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, expected, rtol=1e-12, atol=1e-16)
    rows = [f"INFO\t:{GEN}, Processing L1C pixel row [{i}] of [{Ky}]" for i in range(Ky)]
    pixels = ["INFO\t:Processing L1C pixel [%4d,%4d]" % (i, 0) for i in range(Ky)]
    progress = [line for line in lines if line not in quiet]
    assert sorted(progress) == sorted(rows + pixels)
    for row, pixel in zip(rows, pixels):
        assert lines.index(row) < lines.index(pixel)
    assert [line for line in lines if line in quiet] == quiet


def test_thread_record_follows_the_setting_and_zero_keeps_it():
    c = case(Kx=1, Ky=1)
    seen = []
    for n in (3, 0, 1, 0, 2):
        m.cimpl_set_numthreads(n)
        ok, lines = run(*c.args())
        assert ok
        seen.append([line for line in lines if "Processing with a maximum" in line])
    assert seen == [[f"INFO\t:{SERVICE}, Processing with a maximum of {n} threads"] for n in (3, 3, 1, 1, 2)]


def test_thread_count_beyond_the_machine_is_capped_and_negative_keeps_it():
    c = case(Kx=1, Ky=1)
    m.cimpl_set_numthreads(2**31 - 1)
    ok, lines = run(*c.args())
    assert ok
    warnings = [line for line in lines if line.startswith("WARNING\t:") and "2147483647" in line]
    assert len(warnings) == 1
    capped = int(re.search(rf"^INFO\t:{SERVICE}, Processing with a maximum of (\d+) threads$", "\n".join(lines),
                           re.MULTILINE).group(1))
    assert 1 <= capped < 2**31 - 1
    m.cimpl_set_numthreads(-5)
    ok, lines = run(*c.args())
    assert ok
    assert f"INFO\t:{SERVICE}, Processing with a maximum of {capped} threads" in lines


@pytest.mark.parametrize("simpsons", [1, 0])
def test_one_and_two_threads_agree(simpsons):
    set_options(simpsons, below=2, above=3)
    c = case(Kx=3, Ky=4, kbin=(1, 2), sofs=(1, 2))
    results = []
    for n in (1, 2):
        m.cimpl_set_numthreads(n)
        c.out[...] = 7.0
        ok, _ = run(*c.args())
        assert ok
        results.append(c.out.copy())
    np.testing.assert_allclose(results[0], results[1], rtol=1e-12, atol=1e-16)


# ---------------------------------------------------------------------------------------------------
# The matrix
# ---------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("edge", [0, 1])
@pytest.mark.parametrize("kbin, lbin", [((1, 1), (1, 1)), ((2, 1), (1, 1)), ((1, 1), (1, 3)), ((2, 2), (3, 1))])
def test_single_sample_psf_gives_the_identity_under_the_midpoint_scheme(kbin, lbin, edge):
    set_options(simpsons=0, edge=edge, below=2, above=42)
    c = case(Kx=2, Ky=3, M=1, psf="delta", tables="single", kbin=kbin, lbin=lbin)
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, np.eye(c.w.F), rtol=0, atol=1e-15)


def quadratic_expected(w, weights):
    """Single-sample PSF, quadratic scheme: a source pixel's light stays in it and is charged to the
    columns of its lower and upper neighbours and its own with ``weights`` (per L1C pixel)."""
    t = np.zeros((w.F, w.F))
    for kx in range(w.Kx):
        for ky in range(w.Ky):
            s = w.flat(kx, ky)
            below, above = w.flat(kx, max(ky, 1) - 1), w.flat(kx, min(ky + 1, w.Ky - 1))
            t[below, s] += weights[0]
            t[s, s] += weights[1]
            t[above, s] += weights[2]
    return t


@pytest.mark.parametrize("Ky", [1, 2, 4])
@pytest.mark.parametrize("By", [1, 2, 3])
def test_single_sample_psf_under_the_quadratic_scheme(By, Ky):
    set_options(simpsons=1, edge=0)
    c = case(Kx=2, Ky=Ky, M=1, psf="delta", tables="single", kbin=(1, By))
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, quadratic_expected(c.w, (1 / 24, 11 / 12, 1 / 24)), rtol=0, atol=1e-15)


@pytest.mark.parametrize("By, v, weights", [
    (1, 0, (1 / 24, 11 / 12, 1 / 24)),
    (2, 0, (1 / 6, 11 / 12, -1 / 12)),
    (2, 1, (-1 / 12, 11 / 12, 1 / 6)),
    (3, 1, (1 / 216, 107 / 108, 1 / 216)),
])
def test_quadratic_weights_of_one_detector_row(By, v, weights):
    """Only detector row v of every L1C pixel carries light (its coefficients are 1, the others 0)."""
    set_options(simpsons=1, edge=0)
    c = case(Kx=2, Ky=3, M=1, psf="delta", tables="single", kbin=(1, By))
    rows = np.arange(c.w.Dy)
    c.coeffs[:, (rows - c.w.SOFSy) % By != v, 0] = 0.0
    ok, _ = run(*c.args())
    assert ok
    expected = quadratic_expected(c.w, weights) / By
    np.testing.assert_allclose(c.out, expected, rtol=0, atol=1e-15)


@pytest.mark.parametrize("By", [1, 2])
def test_single_l1c_row_makes_both_schemes_agree(By):
    results = []
    for simpsons in (1, 0):
        set_options(simpsons, below=2, above=2)
        c = case(Kx=4, Ky=1, kbin=(1, By))
        ok, _ = run(*c.args())
        assert ok
        results.append(c.out.copy())
    assert np.any(results[0] != 0.0)
    np.testing.assert_allclose(results[0], results[1], rtol=1e-12, atol=1e-16)


def test_identical_psfs_without_binning_read_the_psf_at_the_pixel_offsets():
    set_options(simpsons=0, edge=0)
    c = case(Kx=3, Ky=4, M=1, tables="single", sofs=(1, 2), dextra=(1, 1))
    w = c.w
    image = mi.random_psfs(1, w.Dx, w.Dy + 1, seed=5)[0]
    cx, cy = 1, 3  # offsets -2..2 in x: the leftmost runs off the image
    c.images, c.locs = image[None], mi.locations(1, (cx, cy))
    ok, _ = run(*c.args())
    assert ok
    kx, ky = np.meshgrid(np.arange(w.Kx), np.arange(w.Ky), indexing="ij")
    kx, ky = kx.ravel(), ky.ravel()                    # flat order x * Ky + y
    px = cx + kx[None, :] - kx[:, None]                # [s, r]: receiving r minus source s
    py = cy + ky[None, :] - ky[:, None]
    inside = (px >= 0) & (px < image.shape[0]) & (py >= 0) & (py < image.shape[1])
    expected = np.where(inside, image[np.clip(px, 0, image.shape[0] - 1), np.clip(py, 0, image.shape[1] - 1)], 0.0)
    assert np.count_nonzero(expected) not in (0, expected.size)
    np.testing.assert_array_equal(c.out, expected)


GEOMETRIES = {
    "3x2 unbinned": dict(Kx=3, Ky=2, sofs=(1, 2)),
    "2x3 binned (2,2)": dict(Kx=2, Ky=3, kbin=(2, 1), lbin=(1, 2), sofs=(2, 3), dextra=(1, 1)),
}


@pytest.mark.parametrize("on_sample", [True, False])
@pytest.mark.parametrize("edge", [1, 0])
@pytest.mark.parametrize("simpsons", [1, 0])
@pytest.mark.parametrize("geometry", GEOMETRIES.values(), ids=GEOMETRIES.keys())
def test_matrix_matches_the_reference_model(geometry, simpsons, edge, on_sample):
    set_options(simpsons, edge, below=2, above=2)
    c = case(M=3, on_sample=on_sample, **geometry)
    ok, _ = run(*c.args())
    assert ok
    expected = c.ref(simpsons=bool(simpsons), lower_edge=bool(edge), rows_below=2, rows_above=2)
    np.testing.assert_allclose(c.out, expected, rtol=1e-12, atol=1e-16)


@pytest.mark.parametrize("on_sample", [True, False])
def test_psf_images_that_the_offsets_run_off_match_the_reference_model(on_sample):
    set_options(below=2, above=3)
    c = case(Kx=3, Ky=3, M=2, psf="small", on_sample=on_sample, kbin=(1, 2), sofs=(1, 2))
    ok, _ = run(*c.args())
    assert ok
    expected = c.ref(rows_below=2, rows_above=3)
    assert 0 < np.count_nonzero(expected) < expected.size
    np.testing.assert_allclose(c.out, expected, rtol=1e-12, atol=1e-16)


@pytest.mark.parametrize("below, above", [(2, 2), (3, 1), (1, 10), (0, 3), (3, 0), (-3, 2), (2, -3),
                                          (2**31 - 1, 2), (2, 2**31 - 1), (1, -(2**31))])
@pytest.mark.parametrize("simpsons", [1, 0])
def test_lower_edge_correction_adds_exactly_the_strip_contributions(below, above, simpsons):
    c = case(Kx=4, Ky=2, kbin=(1, 2), sofs=(2, 3), dextra=(1, 0))
    results = {}
    for edge in (1, 0):
        set_options(simpsons, edge, below, above)
        c.out[...] = 7.0
        ok, _ = run(*c.args())
        assert ok
        results[edge] = c.out.copy()
    strips = c.ref(rows_below=below, rows_above=above, parts=("edge",))
    assert (np.count_nonzero(strips) == 0) == (below <= 0 or above <= 0)
    np.testing.assert_allclose(results[1] - results[0], strips, rtol=1e-10, atol=1e-15)


def test_lower_edge_rows_below_the_detector_window_are_skipped_with_one_warning():
    set_options(below=5, above=3)
    c = case(Kx=3, Ky=2, sofs=(1, 2))
    ok, lines = run(*c.args())
    assert ok
    assert len([line for line in lines if line.startswith("WARNING\t:")]) == 1
    assert not any(line.startswith("ERROR\t:") for line in lines)
    np.testing.assert_allclose(c.out, c.ref(rows_below=5, rows_above=3), rtol=1e-12, atol=1e-16)


def test_option_changes_apply_to_the_next_call():
    c = case(Kx=3, Ky=3, sofs=(1, 2))
    steps = [
        (("use_simpsons", 0), dict(simpsons=False), "Classic Algorithm"),
        (("lower_edge_rows_below", 1), dict(simpsons=False, rows_below=1), "detector rows below"),
        (("lower_edge_rows_above", 2), dict(simpsons=False, rows_below=1, rows_above=2), "[2] detector rows above and [1]"),
        (("use_simpsons", 2), dict(rows_below=1, rows_above=2), "Quadratic Interpolation"),
        (("create_lower_edge_adjustment", 0), dict(lower_edge=False), "NOT generating lower edge correction"),
        (("create_lower_edge_adjustment", -1), dict(rows_below=1, rows_above=2), "rows below bottom edge."),
    ]
    for option, reference, fragment in steps:
        m.cimpl_set_option(*option)
        c.out[...] = 7.0
        ok, lines = run(*c.args())
        assert ok, option
        assert any(fragment in line for line in lines), option
        np.testing.assert_allclose(c.out, c.ref(**reference), rtol=1e-12, atol=1e-16, err_msg=str(option))


def test_single_l1c_pixel():
    set_options(simpsons=0, edge=0)
    c = case(Kx=1, Ky=1, M=1, psf="delta", tables="single", kbin=(2, 2))
    c.out = mi.output(1)
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, [[1.0]], rtol=0, atol=1e-15)


def test_no_psfs_and_all_zero_coefficients_give_a_zero_matrix():
    set_options(edge=0)
    c = case(Kx=2, Ky=2, M=1)
    c.images, c.locs = c.images[:0], c.locs[:0]
    c.coeffs[...] = 0.0
    ok, lines = run(*c.args())
    assert ok
    assert not any("Adding measured PSF" in line for line in lines)
    assert np.all(c.out == 0.0)


def test_exactly_100_coefficients_per_pixel_are_used():
    set_options(edge=0)
    c = case(M=2)
    c.coeffs = np.concatenate([np.zeros(c.coeffs.shape[:2] + (97,)), c.coeffs], axis=2)
    c.indices = np.concatenate([np.ones(c.indices.shape[:2] + (97,), np.int32), c.indices], axis=2)
    ok, _ = run(*c.args())
    assert ok
    np.testing.assert_allclose(c.out, c.ref(lower_edge=False), rtol=1e-12, atol=1e-16)


@pytest.mark.parametrize("edge", [0, 1])
def test_more_than_100_coefficients_per_pixel_are_refused(edge):
    """No PSF lookup could succeed: rather than report an all-zero matrix as a success (lower-edge
    correction off) or fail inside the build (on), the request is refused before the build."""
    set_options(edge=edge, below=1, above=2)
    c = case(Kx=2, Ky=2)
    c.coeffs = np.zeros(c.coeffs.shape[:2] + (101,))
    c.coeffs[:, :, 0] = 1.0
    c.indices = np.zeros(c.coeffs.shape, np.int32)
    ok, lines = run(*c.args())
    assert ok is False
    assert np.all(c.out == 0.0)
    assert len(lines) == 2
    assert lines[0].startswith(f"ERROR\t:{SERVICE}, ") and "101" in lines[0]
    assert lines[1] == "INFO\t:torvendll_create_deconvolution_matrix. Error generating the convolution matrix of size (4,4). It is set to 0.0"
