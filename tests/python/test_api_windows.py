"""velmora.Windows: construction, the native array and validation messages."""

import numpy as np
import pytest

from velmora import PARAMETER_NAMES, ConfigurationError, Windows

GOOD = [160, 112, 16, 8, 128, 96, 32, 6, 64, 84, 8, 44, 48, 36, 2, 1, 24, 36, 1, 2, 24, 18]


def test_sequence_keywords_and_native_array_agree():
    w = Windows.from_sequence(GOOD)
    assert w == Windows(**dict(zip(PARAMETER_NAMES, GOOD))) == Windows.from_mapping(w.to_dict())
    arr = w.to_array()
    assert arr.dtype == np.int32 and arr.flags.c_contiguous and arr.tolist() == GOOD
    assert Windows.from_sequence(arr) == w
    assert (w.Sx, w.Ky, w.SOFSy) == (48, 18, 44)


def test_derived_values():
    w = Windows.from_sequence(GOOD)
    assert (w.Bx, w.By, w.F) == (2, 2, 432)
    assert w.l1c_image_shape == (18, 24) and w.matrix_shape == (432, 432)
    assert w.vignetting_shape == (96, 128) and w.noof_table_shape == (128, 96)
    assert w.detector_table_shape == (64, 84)
    assert w.science_origin_in_noof == (40, 50)
    assert w.l1c_pixel_detector_origin(1, 1) == (10, 46)
    assert w.validate(rows_below=42) is w


@pytest.mark.parametrize("values, exc", [
    (GOOD[:21], ValueError),
    (GOOD + [1], ValueError),
    (GOOD[:-1] + [18.0], TypeError),
    (GOOD[:-1] + [True], TypeError),
    (GOOD[:-1] + [2 ** 31], ValueError),
    (np.array([GOOD, GOOD]), ValueError),
])
def test_bad_sequences_are_refused(values, exc):
    with pytest.raises(exc):
        Windows.from_sequence(values)


def test_mapping_names_every_missing_and_unknown_name():
    d = dict(zip(PARAMETER_NAMES, GOOD))
    del d["Sx"], d["KBINy"]
    d["Sz"] = 3
    with pytest.raises(ConfigurationError) as err:
        Windows.from_mapping(d)
    assert "Sx, KBINy" in str(err.value) and "Sz" in str(err.value)


@pytest.mark.parametrize("changes, fragments", [
    ({"Sx": 46}, ["Sx = 46", "LBINx * Lx = 2 * 24 = 48"]),
    ({"Ly": 35}, ["Ly = 35", "KBINy * Ky = 2 * 18 = 36", "Sy = 36", "LBINy * Ly = 1 * 35 = 35"]),
    ({"KBINx": 0, "Lx": 0}, ["KBINx = 0 is a binning", "Lx = 0 is a window size"]),
    ({"SOFSx": 17}, ["science window does not fit inside the detector window along x", "17 + 48 = 65 > Dx = 64"]),
    ({"DOFSy": 13}, ["detector window does not fit inside the NOOF window along y"]),
    ({"NOFSx": 33}, ["NOOF window does not fit inside the full convolution area along x"]),
    ({"DOFSx": -1}, ["DOFSx = -1 is an offset"]),
])
def test_validate_names_each_inconsistency(changes, fragments):
    w = Windows.from_sequence(GOOD).replace(**changes)
    with pytest.raises(ConfigurationError) as err:
        w.validate()
    assert isinstance(err.value, ValueError)
    for fragment in fragments:
        assert fragment in str(err.value)


def test_validate_reports_all_problems_at_once():
    w = Windows.from_sequence(GOOD).replace(Sx=46, Ky=17, SOFSy=50, LBINy=0)
    problems = w.problems(rows_below=60)
    # LBINy, Sx, Sy (through LBINy), Ly, the science window along y, rows_below
    assert len(problems) == 6, problems
    with pytest.raises(ConfigurationError) as err:
        w.validate(rows_below=60)
    assert err.value.problems == problems
    assert all(p in str(err.value) for p in problems)


@pytest.mark.parametrize("rows_below, ok", [(0, True), (44, True), (45, False), (-1, False)])
def test_lower_edge_rows_must_fit_below_the_science_window(rows_below, ok):
    w = Windows.from_sequence(GOOD)
    if ok:
        w.validate(rows_below=rows_below)
    else:
        with pytest.raises(ConfigurationError, match="rows_below"):
            w.validate(rows_below=rows_below)
