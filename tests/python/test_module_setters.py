"""The _velmora_if module itself and its four setting functions."""

import subprocess
import sys

import pytest

import _velmora_if as m

UNKNOWN = "WARNING\t:cimpl_set_option::Deconvolution option interface: Unknow option [{}]\n"


def test_module_has_exactly_the_specified_functions():
    public = sorted(n for n in dir(m) if not n.startswith("__"))
    expected = {"cimpl_set_diagnostic", "cimpl_set_numthreads", "cimpl_set_option", "cimpl_set_versionstr"}
    assert expected <= set(public)
    assert set(public) <= expected | {"cimpl_create_deconvolution", "cimpl_create_horizontal_stray_light_matrix"}
    assert m.__doc__ is None
    for name in public:
        assert getattr(m, name).__doc__ is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: m.cimpl_set_option("use_simpsons", 1),
        lambda: m.cimpl_set_option("lower_edge_rows_below", -3),
        lambda: m.cimpl_set_numthreads(0),
        lambda: m.cimpl_set_diagnostic(True),
        lambda: m.cimpl_set_versionstr("Version 0.2.0 2021-01-10"),
    ],
)
def test_setters_return_true(call, capsys):
    assert call() is True
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name", ["USE_SIMPSONS", "use_simpsons ", "", "nope", "ünïcode"])
def test_unknown_option_prints_one_warning_and_returns_true(name, capsys):
    assert m.cimpl_set_option(name, 1) is True
    assert capsys.readouterr().out == UNKNOWN.format(name)


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: m.cimpl_set_numthreads(2**31), OverflowError, "in method 'cimpl_set_numthreads', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_numthreads(-(2**31) - 1), OverflowError, "in method 'cimpl_set_numthreads', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_numthreads(2**80), OverflowError, "in method 'cimpl_set_numthreads', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_numthreads(4.0), TypeError, "in method 'cimpl_set_numthreads', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_numthreads("4"), TypeError, "in method 'cimpl_set_numthreads', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_diagnostic(None), TypeError, "in method 'cimpl_set_diagnostic', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_diagnostic(2**40), OverflowError, "in method 'cimpl_set_diagnostic', argument 1 of type 'int'"),
        (lambda: m.cimpl_set_versionstr(b"bytes"), TypeError, "in method 'cimpl_set_versionstr', argument 1 of type 'char const *'"),
        (lambda: m.cimpl_set_versionstr("\ud800"), TypeError, "in method 'cimpl_set_versionstr', argument 1 of type 'char const *'"),
        (lambda: m.cimpl_set_option(b"use_simpsons", 1), TypeError, "in method 'cimpl_set_option', argument 1 of type 'char const *'"),
        (lambda: m.cimpl_set_option("use_simpsons", 1.0), TypeError, "in method 'cimpl_set_option', argument 2 of type 'int'"),
        (lambda: m.cimpl_set_option("use_simpsons", 2**31), OverflowError, "in method 'cimpl_set_option', argument 2 of type 'int'"),
        (lambda: m.cimpl_set_option("use_simpsons", 1, 2), TypeError, "cimpl_set_option expected 2 arguments, got 3"),
        (lambda: m.cimpl_set_option(), TypeError, "cimpl_set_option expected 2 arguments, got 0"),
    ],
)
def test_conversion_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == text


def test_first_argument_error_wins():
    with pytest.raises(TypeError, match="argument 1 of type 'char const \\*'"):
        m.cimpl_set_option(1, "x")


@pytest.mark.parametrize("call", [lambda: m.cimpl_set_numthreads(), lambda: m.cimpl_set_diagnostic(1, 2)])
def test_single_object_functions_refuse_other_counts(call):
    with pytest.raises(TypeError):
        call()


def test_keyword_arguments_are_refused():
    with pytest.raises(TypeError):
        m.cimpl_set_option(optionname="use_simpsons", value=1)
    with pytest.raises(TypeError):
        m.cimpl_set_numthreads(numthreads=1)


def test_version_text_is_copied():
    text = "".join(["Version ", "x" * 50])
    assert m.cimpl_set_versionstr(text)
    del text
    assert m.cimpl_set_versionstr("Version 0.2.0 2021-01-10")


def test_record_right_after_import_is_printed():
    code = "import _velmora_if as m; m.cimpl_set_option('nope', 1)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == UNKNOWN.format("nope")
    assert out.stderr == ""


@pytest.mark.parametrize(
    "api, message",
    [("1", "_ARRAY_API is not PyCapsule object"), (None, "No module named")],
)
def test_failed_numpy_import_fails_the_module_import(tmp_path, api, message):
    core = tmp_path / "numpy" / "_core"
    core.mkdir(parents=True)
    (tmp_path / "numpy" / "__init__.py").write_text("")
    (core / "__init__.py").write_text("")
    if api is not None:
        (core / "_multiarray_umath.py").write_text(f"_ARRAY_API = {api}\n")
    code = (
        "import sys; sys.path.insert(0, sys.argv[1])\n"
        "try:\n    import _velmora_if\nexcept ImportError as e:\n    print('ImportError:', e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True)
    assert out.stdout.strip() == "ImportError: numpy._core.multiarray failed to import"
    assert message in out.stderr
