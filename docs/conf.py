"""Sphinx configuration of the velmora documentation.

Build with ``python -m sphinx -W --keep-going -b html docs docs/_build/html``
from the repository's root, with velmora and its ``docs`` extra installed. The
examples under ``docs/examples`` are run by sphinx-gallery during the build, and
the ``--help`` texts of the ``velmora`` command are written by
:func:`write_cli_help` from the command's own parser before the pages are read.
Three checks turn into errors under ``-W``: a public name that the API page
leaves out (:func:`check_api_reference`), a command whose help the command-line
page leaves out, and a Python code block of the user guide that fails when run
(:func:`run_guide_code`).

The figures of the guide are drawn by the scripts in ``docs/guide/figures``
(matplotlib's plot directive); after changing one, build with ``-E`` (or from a
clean tree, as the test command does) to draw it again.
"""

from __future__ import annotations

import os
import pathlib

import velmora

HERE = pathlib.Path(__file__).resolve().parent

project = "velmora"
author = "the velmora developers"
copyright = "2026, the velmora developers"
version = release = velmora.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "matplotlib.sphinxext.plot_directive",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "examples/README.txt", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.json", "auto_examples/*.md5"]
templates_path = ["_templates"]
html_theme = "alabaster"
html_theme_options = {"description": "Convolution and stray-light matrices of the TORVEN level-1 processing",
                      "page_width": "1100px", "sidebar_width": "230px"}
html_static_path: list[str] = []
default_role = "py:obj"

# ------------------------------------------------------------------ API reference
autosummary_generate = True
autosummary_imported_members = True
autodoc_default_options = {"members": True, "inherited-members": False}
autodoc_typehints = "none"           # the numpydoc sections give the types
numpydoc_show_class_members = False  # autosummary pages list the members
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# ------------------------------------------------------------------ figures
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.dpi": 100}

# ------------------------------------------------------------------ examples
# The examples' names start with their place in the reading order.
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "show_memory": False,
    "thumbnail_size": (320, 224),
    "capture_repr": (),
}

# The examples build with two threads: the documentation build runs on small machines.
os.environ.setdefault("OMP_NUM_THREADS", "2")


# ------------------------------------------------------------------ the command line's help
def write_cli_help(app=None) -> None:
    """Write ``velmora --help`` and each ``velmora COMMAND --help`` to ``docs/_generated/cli``.

    The texts come from the command's own parser, formatted 88 columns wide, so
    the page of the command line always shows what the installed command prints.
    """
    import argparse

    from velmora import cli

    os.environ["COLUMNS"] = "88"
    parser = cli.parser()
    out = HERE / "_generated" / "cli"
    out.mkdir(parents=True, exist_ok=True)
    texts = {"velmora": parser.format_help()}
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, sub in action.choices.items():
                texts[f"velmora-{name}"] = sub.format_help()
    for name, text in texts.items():
        path = out / f"{name}.txt"
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")
    page = (HERE / "guide" / "cli.rst").read_text(encoding="utf-8")
    left_out = [name for name in texts if f"_generated/cli/{name}.txt" not in page]
    if left_out:
        from sphinx.util import logging

        logging.getLogger(__name__).warning("the command-line page leaves out the help of %s",
                                            ", ".join(left_out), location="guide/cli")


def setup(app):
    app.connect("builder-inited", write_cli_help)
    app.connect("source-read", check_api_reference)
    app.connect("source-read", run_guide_code)
    return {"parallel_read_safe": True}


# ------------------------------------------------------------------ completeness of the API reference
def check_api_reference(app, docname, source) -> None:
    """Warn (an error under ``-W``) when the API page leaves out a public name."""
    if docname != "api":
        return
    import importlib
    import re

    listed, module = set(), "velmora"
    for line in source[0].splitlines():
        current = re.match(r"\.\. currentmodule:: ([\w.]+)", line)
        if current:
            module = current.group(1)
        elif re.match(r"^ {3}~?[A-Za-z_][\w.]*\s*$", line):
            listed.add(f"{module}.{line.strip().lstrip('~')}")
    wanted = set()
    for name in ("velmora", "velmora.plot", "velmora.io", "velmora.distributed"):
        wanted |= {f"{name}.{n}" for n in importlib.import_module(name).__all__}
    wanted -= {"velmora.__version__", "velmora.plot"}
    # velmora.io's readers are the package's own and listed under velmora
    wanted -= {f"velmora.io.{n}" for n in ("load_matrix", "save_matrix", "read_array", "InputFileError")}
    missing = sorted(wanted - listed)
    if missing:
        from sphinx.util import logging

        logging.getLogger(__name__).warning("the API reference leaves out %s", ", ".join(missing),
                                            location="api")


# ------------------------------------------------------------------ the guide's code runs
def run_guide_code(app, docname, source) -> None:
    """Run the Python code blocks of a user-guide page in order, in a scratch folder.

    A block that raises is reported as a warning (an error under ``-W``), so the
    guide's snippets keep working as the package changes.
    """
    if not docname.startswith("guide/"):
        return
    import contextlib
    import io
    import re
    import tempfile
    import traceback

    blocks = re.findall(r"^\.\. code-block:: python\n\n((?:(?: {3}.*)?\n)+)", source[0], flags=re.M)
    if not blocks:
        return
    namespace: dict = {"__name__": f"velmora_docs_{docname.replace('/', '_')}"}
    cwd = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="velmora-docs-") as scratch:
        os.chdir(scratch)
        try:
            for number, block in enumerate(blocks, 1):
                code = "\n".join(line[3:] for line in block.splitlines())
                try:
                    with contextlib.redirect_stdout(io.StringIO()):
                        exec(compile(code, f"{docname}.rst python block {number}", "exec"), namespace)
                except Exception:
                    from sphinx.util import logging

                    logging.getLogger(__name__).warning("python block %d fails:\n%s", number,
                                                        traceback.format_exc(limit=3), location=docname)
                    return
        finally:
            os.chdir(cwd)
