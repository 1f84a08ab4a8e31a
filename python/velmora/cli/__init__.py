"""The ``velmora`` command.

``velmora demo``
    Builds both matrices of the built-in instrument, prints a summary and
    writes the matrices, figures and the instrument's own input files.
``velmora build CONFIG``
    Builds the matrices of a user's instrument described by a TOML file
    (see :mod:`velmora.config`), after checking every input and output.
``velmora check CONFIG``
    Makes every check of ``build`` and builds nothing.
``velmora correct CONFIG IMAGES``
    Corrects observed L1C images.

Exit status: 0 on success, 1 when a matrix could not be built or written, 2
for bad input (command line, configuration file, arrays or output paths),
130 after Ctrl-C and 143 after SIGTERM; in the last four cases no file is
changed.
"""

from __future__ import annotations

import argparse
import logging
import signal
import sys
from collections.abc import Sequence

from .. import __version__
from .. import io as vio
from ..config import PlanError
from ..errors import BuildError, ConfigurationError
from . import build, correct, demo
from .common import (EXIT_BAD_INPUT, EXIT_BUILD_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_TERMINATED, InputError,
                     Outcome, Problems, Terminated, on_sigterm, one_line, setup_logging)

__all__ = ["EXIT_BAD_INPUT", "EXIT_BUILD_FAILED", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_TERMINATED", "InputError",
           "main", "parser"]


def parser() -> argparse.ArgumentParser:
    """The ``velmora`` command's argument parser, with every sub-command."""
    p = argparse.ArgumentParser(
        prog="velmora",
        description="Build the convolution (deconvolution) matrix and the horizontal stray-light matrix "
                    "of the TORVEN level-1 processing.",
        epilog="Exit status: 0 on success, 1 when a matrix could not be built or written, 2 for bad input "
               "(nothing is built), 130 after Ctrl-C and 143 after SIGTERM (no file is changed). "
               "Run 'velmora COMMAND --help' for the options of each command.",
    )
    p.add_argument("--version", action="version", version=f"velmora {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)
    demo.add_parser(sub)
    build.add_parsers(sub)
    correct.add_parser(sub)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``velmora`` command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status: 0 on success, 1 when a matrix could not be built
        or written, 2 for bad input, 130 after Ctrl-C, 143 after SIGTERM.
    """
    try:
        args = parser().parse_args(argv)
    except SystemExit as exc:  # --help and --version (0), usage errors (2)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    handler, previous_level = setup_logging(args.verbose)
    outcome = args.outcome = Outcome()
    try:
        previous_sigterm = signal.signal(signal.SIGTERM, on_sigterm)
        previous_sigint = signal.signal(signal.SIGINT, outcome.on_sigint)
    except ValueError:  # not the main thread: leave the signals alone
        previous_sigterm = previous_sigint = None
    try:
        return args.run(args)
    except (InputError, PlanError, vio.InputFileError, ConfigurationError) as exc:
        print(f"velmora: error: {one_line(exc)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except Problems as exc:
        for problem in exc.problems:
            print(f"velmora: error: {problem}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except BuildError as exc:
        # The module's error and warning lines have been shown as they came.
        print(f"velmora: error: building the {exc.matrix} matrix failed: {exc.reason} "
              f"(see the module's messages above); {outcome.text()}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    except (NotImplementedError, MemoryError) as exc:
        print(f"velmora: error: {one_line(exc) or type(exc).__name__}; {outcome.text()}", file=sys.stderr)
        return EXIT_BUILD_FAILED
    except OSError as exc:
        where = f" {exc.filename}" if exc.filename else ""
        print(f"velmora: error: writing{where} failed: {exc.strerror or one_line(exc)}; {outcome.text()}",
              file=sys.stderr)
        return EXIT_BUILD_FAILED
    except Terminated:
        print(f"\nvelmora: terminated (SIGTERM); {outcome.text()}", file=sys.stderr)
        return EXIT_TERMINATED
    except KeyboardInterrupt:
        print(f"\nvelmora: interrupted; {outcome.text()}", file=sys.stderr)
        return EXIT_INTERRUPTED
    finally:
        if previous_sigterm is not None:
            signal.signal(signal.SIGTERM, previous_sigterm)
            signal.signal(signal.SIGINT, previous_sigint)
        log = logging.getLogger("velmora")
        log.removeHandler(handler)
        log.setLevel(previous_level)
        sys.stdout.flush()
