"""The README's Python snippets run, in order, as one program: the tour stays true."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_python_snippets_run_in_order(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")  # the figures snippet
    pytest.importorskip("dask.distributed")  # the Dask and Zarr snippet
    pytest.importorskip("zarr")
    snippets = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)
    assert len(snippets) >= 4
    monkeypatch.chdir(tmp_path)  # the figures are written here
    namespace = {"__name__": "readme"}
    for number, code in enumerate(snippets, 1):
        exec(compile(code, f"README.md python snippet {number}", "exec"), namespace)
    assert sorted(p.name for p in tmp_path.glob("*.png")) == [
        "both.png", "infield.png", "psfs.png", "scene.png", "stray_light.png"]
