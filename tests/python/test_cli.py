"""The velmora command: demo, build, check, help, bad input, outputs and signals."""

import io
import os
import signal
import subprocess
import sys
import textwrap
import time
import tomllib
import zipfile
from pathlib import Path

import numpy as np
import pytest

import velmora
from velmora import config
from velmora.cli import main
from velmora.cli.plan import example_plan

SMALL = dict(FULLCONVx=24, FULLCONVy=24, NOFSx=2, NOFSy=1, NOOFx=20, NOOFy=18, DOFSx=4, DOFSy=2, Dx=12, Dy=14,
             SOFSx=2, SOFSy=6, Sx=8, Sy=6, LBINx=2, LBINy=1, Lx=4, Ly=6, KBINx=1, KBINy=2, Kx=4, Ky=3)


def write_config(folder, velmora_small, windows=None, extra="", infield=True, stray=True):
    _, psfs, stray_psfs = velmora_small
    (folder / "data").mkdir(exist_ok=True)
    psfs.save(folder / "data" / "psfs.npz")
    np.save(folder / "data" / "noof_coeffs.npy", stray_psfs.coefficients)
    np.savez(folder / "data" / "noof.npz", idx=stray_psfs.indices)
    np.save(folder / "data" / "vig.npy", np.ones((18, 20)))
    windows = SMALL if windows is None else windows
    text = "threads = 1\n" + extra + "\n[windows]\n" + "".join(f"{k} = {v}\n" for k, v in windows.items())
    text += ('[psfs]\nimages = "data/psfs.npz"\ncentres = "data/psfs.npz"\n'
             'coefficients = "data/psfs.npz"\nindices = "data/psfs.npz"\n')
    if infield:
        text += '[infield]\noutput = "out/infield.npy"\nscheme = "midpoint"\nrows_below = 6\n'
    if stray:
        text += ('[stray_light]\noutput = "out/stray"\ncoefficients = "data/noof_coeffs.npy"\n'
                 'indices = "data/noof.npz:idx"\nvignetting = "data/vig.npy"\nsource_step = [2, 1]\n')
    path = folder / "instrument.toml"
    path.write_text(text)
    return path


def lying_npz(path, key):
    """An .npz whose entry's header claims 745 GiB that the archive does not hold."""
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<f8", "fortran_order": False,
                                                  "shape": (100000, 1000000)})
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(key + ".npy", header.getvalue() + bytes(64))


def temporaries(folder):
    return [p for p in Path(folder).rglob("*") if ".velmora-tmp" in p.name]


def test_help_explains_every_option(capsys):
    assert main(["--help"]) == 0
    assert "demo" in capsys.readouterr().out
    for command, options in (("demo", ["--output", "--scheme", "--no-lower-edge", "--rows-below", "--rows-above",
                                       "--no-figures", "--threads", "--no-progress", "--verbose"]),
                             ("build", ["CONFIG", "--threads", "[stray_light]", "source_step", "vignetting"])):
        assert main([command, "--help"]) == 0
        text = capsys.readouterr().out
        for option in options:
            assert option in text, (command, option)


def test_the_template_reads_back_and_is_the_one_in_the_readme():
    plan = example_plan(threads=2)
    text = config.to_toml(plan)
    assert config.plan_from_mapping(tomllib.loads(text)) == plan
    assert text in (Path(__file__).parents[2] / "README.md").read_text()


def test_entry_point_runs_as_a_module():
    done = subprocess.run([sys.executable, "-m", "velmora", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and velmora.__version__ in done.stdout


@pytest.mark.parametrize("argv, fragment", [
    ([], "required"),
    (["demo", "--threads", "0"], "positive integer"),
    (["build"], "CONFIG"),
    (["build", "no/such/file.toml"], "no such configuration file"),
])
def test_bad_command_lines_exit_2(capsys, argv, fragment):
    assert main(argv) == 2
    assert fragment in capsys.readouterr().err


@pytest.mark.parametrize("change, fragment", [
    (lambda p: p.write_text("[windows\n"), "not valid TOML"),
    (lambda p: p.write_text(p.read_text().replace("Sx = 8", "Sx = 9")), "Sx = 9"),
    (lambda p: p.write_text(p.read_text().replace("Ky = 3\n", "")), "missing windowing parameter(s): Ky"),
    (lambda p: p.write_text(p.read_text().replace("rows_below = 6", "rows_below = 7")), "rows_below"),
    (lambda p: p.write_text(p.read_text().replace("scheme = \"midpoint\"", "scheme = \"simpson\"")), "scheme"),
    (lambda p: p.write_text(p.read_text().replace("source_step = [2, 1]", "source_step = [0, 1]")), "source_step"),
    (lambda p: p.write_text(p.read_text().replace("data/vig.npy", "data/missing.npy")), "no such file"),
    (lambda p: p.write_text(p.read_text().replace("noof.npz:idx", "noof.npz:nope")), "has no array 'nope'"),
    (lambda p: p.write_text(p.read_text().replace("noof_coeffs.npy", "psfs.npz").replace("noof.npz:idx", "psfs.npz")),
     "NOOF window"),
    (lambda p: p.write_text(p.read_text() + "colour = 1\n"), "unknown key"),
    (lambda p: (p.parent / "data" / "vig.npy").unlink() or np.save(p.parent / "data" / "vig.npy", np.ones((20, 18))),
     "(NOOFy, NOOFx) = (18, 20)"),
    (lambda p: p.write_text(p.read_text().replace("threads = 1", 'threads = "1"')), "threads must be an integer"),
    (lambda p: p.write_text(p.read_text().replace('"out/stray"', '"out/"')), "must name a file, not a folder"),
    (lambda p: p.write_text(p.read_text().replace('"out/stray"', '"out/stray.h5"')), "must end in .npy, .nc"),
    (lambda p: p.write_bytes(b"\x00\x01\x02\xff binary"), "binary file"),
    (lambda p: p.write_bytes(p.read_bytes() + b"# caf\xe9\n"), "not UTF-8"),
    (lambda p: p.write_text("a = " + "[" * 5000 + "]" * 5000 + "\n"), "nests"),
    (lambda p: p.write_text("a = " + "{b = " * 300 + "1" + "}" * 300 + "\n"), "nests"),
    (lambda p: lying_npz(p.parent / "data" / "noof.npz", "idx"), "claims an array of shape (100000, 1000000) (745.1 GiB)"),
])
def test_bad_configurations_exit_2_with_a_message(tmp_path, velmora_small, velmora_fake_module, capsys, change,
                                                  fragment):
    path = write_config(tmp_path, velmora_small)
    change(path)
    assert main(["build", str(path)]) == 2
    err = capsys.readouterr().err
    assert fragment in err and err.count("\n") == 1 and err.startswith("velmora: error: ")
    assert velmora_fake_module.calls == [] and not (tmp_path / "out").exists()


def _link(link, target):
    link.parent.mkdir()
    target.write_bytes(b"old")
    link.symlink_to(target)


def _second_output(text, name):
    return text.replace('output = "out/stray"', f'output = "{name}"')


@pytest.mark.parametrize("change, fragment", [
    (lambda p: p.write_text(_second_output(p.read_text(), "out/../out/infield.npy")), "would both be written to"),
    (lambda p: p.write_text(_second_output(p.read_text(), "data/vig.npy")), "would destroy that input"),
    (lambda p: (p.parent / "out").mkdir() or (p.parent / "out" / "infield.npy").write_bytes(b"old"),
     "out/infield.npy exists; add --overwrite"),
    (lambda p: _link(p.parent / "out" / "stray.npy", p.parent / "keep.npy"), "(a symbolic link to"),
    (lambda p: p.write_text(p.read_text().replace("out/infield.npy", "data/psfs.npz/infield.npy")),
     "psfs.npz is a file, not a folder"),
    (lambda p: (p.parent / "busy.npy").mkdir() or p.write_text(_second_output(p.read_text(), "busy.npy")),
     "busy.npy is a folder"),
])
def test_every_output_is_checked_before_any_build(tmp_path, velmora_small, velmora_fake_module, capsys, change,
                                                  fragment):
    path = write_config(tmp_path, velmora_small)
    change(path)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    for command in ("check", "build"):
        assert main([command, str(path)]) == 2, command
        err = capsys.readouterr().err
        assert fragment in err, (command, err)
        assert all(line.startswith("velmora: error: ") for line in err.splitlines())
    assert velmora_fake_module.calls == []
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


@pytest.mark.parametrize("how", ["--overwrite", "overwrite = true"])
def test_overwrite_replaces_files_and_the_targets_of_links(tmp_path, velmora_small, velmora_fake_module, how):
    velmora_fake_module.fill = 0.5
    path = write_config(tmp_path, velmora_small, extra="overwrite = true\n" if how != "--overwrite" else "")
    (tmp_path / "out").mkdir()
    np.save(tmp_path / "out" / "infield.npy", np.zeros(3))
    np.save(tmp_path / "keep.npy", np.zeros(3))
    (tmp_path / "out" / "stray.npy").symlink_to(tmp_path / "keep.npy")
    assert main(["build", str(path), "--no-progress"] + ([how] if how == "--overwrite" else [])) == 0
    assert (tmp_path / "out" / "stray.npy").is_symlink()
    assert np.all(np.load(tmp_path / "keep.npy") == 0.5) and np.all(np.load(tmp_path / "out" / "infield.npy") == 0.5)
    assert temporaries(tmp_path) == []


_SLOW_BUILD = textwrap.dedent("""
    import signal, sys, time
    from pathlib import Path
    from velmora import builds, cli

    # As on a terminal, even when this test runs where SIGINT is ignored (a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)

    REPORT = dict(outcome="succeeded", fast_path=True, threads=1, seconds=0.0, table_seconds=0.0,
                  table_bytes=0, multiply_adds=0.0, kernel="sse2", work_items=1, items_done=1)

    class SlowModule:
        def build_infield(self, *args, **options):
            args[5][...] = 1.0
            return True, [], REPORT

        def build_stray_light(self, *args, **options):
            args[6][: len(args[6]) // 2] = 2.0
            Path(sys.argv[2]).write_text("building")
            time.sleep(60)
            return True, [], REPORT

    builds._module = lambda: SlowModule()
    sys.exit(cli.main(["build", sys.argv[1], "--overwrite", "--no-progress"]))
""")


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGKILL, -9)])
def test_a_signal_during_the_run_leaves_the_previous_files(tmp_path, velmora_small, signum, status):
    path = write_config(tmp_path, velmora_small)
    (tmp_path / "out").mkdir()
    previous = {name: np.full((12, 12), 0.25) for name in ("infield.npy", "stray.npy")}
    for name, matrix in previous.items():
        np.save(tmp_path / "out" / name, matrix)
    marker = tmp_path / "marker"
    child = subprocess.Popen([sys.executable, "-c", _SLOW_BUILD, str(path), str(marker)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not marker.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        assert marker.exists(), child.communicate(timeout=10)
        # The in-field matrix and its metadata are written, the stray-light matrix is being built.
        assert len(temporaries(tmp_path / "out")) == 3
        child.send_signal(signum)
        _, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == status, err
    for name, matrix in previous.items():
        np.testing.assert_array_equal(np.load(tmp_path / "out" / name), matrix)
    assert not (tmp_path / "out" / "infield.npy.json").exists()
    if signum != signal.SIGKILL:
        assert temporaries(tmp_path) == [] and "no file was changed" in err and "Traceback" not in err


def test_more_threads_than_processors_get_a_warning(tmp_path, velmora_small, velmora_fake_module, capsys):
    path = write_config(tmp_path, velmora_small)
    many = len(os.sched_getaffinity(0)) + 1
    assert main(["build", str(path), "--no-progress", "--threads", str(many)]) == 0
    assert f"warning: {many} threads requested but this process may run on only" in capsys.readouterr().err


def test_nothing_to_build_is_bad_input(tmp_path, velmora_small, capsys):
    path = write_config(tmp_path, velmora_small, infield=False, stray=False)
    assert main(["build", str(path)]) == 2
    assert "nothing to build" in capsys.readouterr().err


def test_build_writes_where_the_file_says(tmp_path, velmora_small, velmora_fake_module, capsys):
    velmora_fake_module.fill = 0.5
    path = write_config(tmp_path, velmora_small)
    assert main(["check", str(path)]) == 0
    assert velmora_fake_module.calls == [] and not (tmp_path / "out").exists()
    assert "nothing was built" in capsys.readouterr().out
    assert main(["build", str(path), "--no-progress"]) == 0
    for name in ("infield.npy", "stray.npy"):
        assert np.all(np.load(tmp_path / "out" / name) == 0.5)
    _, options = velmora_fake_module.call("build_infield")
    assert options["use_simpsons"] is False and options["rows_below"] == 6 and options["threads"] == 1
    assert velmora_fake_module.call("build_stray_light")[0][7:] == (2, 1, 1, 1)
    assert "432" not in capsys.readouterr().out


def test_a_failed_build_exits_1(tmp_path, velmora_small, velmora_fake_module, capsys):
    velmora_fake_module.result = False
    velmora_fake_module.records = [(0, "torvendll_create_deconvolution_matrix, something the module refused")]
    path = write_config(tmp_path, velmora_small)
    assert main(["build", str(path)]) == 1
    err = capsys.readouterr().err
    assert "something the module refused" in err and "in-field matrix failed" in err
    assert not (tmp_path / "out").exists()


DEMO_FILES = ["infield.npy", "stray_light.npy", "infield_matrix.png", "stray_light_matrix.png", "psfs.png",
              "scene_observed_corrected.png", "instrument/instrument.toml", "instrument/psfs.npz"]


def test_demo_with_a_stand_in_module_writes_its_files(tmp_path, velmora_fake_module, capsys):
    velmora_fake_module.fill = 0.9 * np.eye(432)
    out = tmp_path / "demo"
    assert main(["demo", "-o", str(out), "--threads", "2", "--scheme", "midpoint"]) == 0
    for name in DEMO_FILES:
        assert (out / name).is_file(), name
    assert (out / "infield_matrix.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    text = capsys.readouterr().out
    assert "432 x 432" in text and "threads     2" in text and "spread" in text


def test_demo_builds_the_builtin_instrument_and_its_config_builds_again(tmp_path, capsys):
    out = tmp_path / "demo"
    assert main(["demo", "-o", str(out), "--threads", "2"]) == 0
    for name in DEMO_FILES:
        assert (out / name).is_file(), name
    infield = np.load(out / "infield.npy")
    assert infield.shape == (432, 432) and infield.sum(axis=1).min() > 0.5
    summary = capsys.readouterr().out
    assert "largest error" in summary
    error = float(summary.split("largest error ")[1].split()[0])
    assert error < 1e-9
    assert main(["build", str(out / "instrument" / "instrument.toml"), "--threads", "1"]) == 0
    np.testing.assert_allclose(np.load(out / "instrument" / "matrices" / "infield.npy"), infield, rtol=1e-12,
                               atol=1e-15)


@pytest.mark.parametrize("rows_below", ["rows_below = 6\n", ""])  # without it: the API's min(42, SOFSy)
def test_build_with_the_native_module_matches_the_api(tmp_path, velmora_small, rows_below):
    w, psfs, stray = velmora_small
    path = write_config(tmp_path, velmora_small)
    path.write_text(path.read_text().replace("rows_below = 6\n", rows_below))
    assert main(["build", str(path)]) == 0
    np.testing.assert_allclose(np.load(tmp_path / "out" / "infield.npy"),
                               velmora.infield_matrix(w, psfs, scheme="midpoint", threads=1))
    np.testing.assert_allclose(np.load(tmp_path / "out" / "stray.npy"),
                               velmora.stray_light_matrix(w, stray, vignetting=np.ones((18, 20)),
                                                          source_step=(2, 1), threads=1))
