"""The ``vellkit`` command: look into VELL files, check them, export and preview them.

Subcommands (one module each): ``list``, ``show``, ``check``, ``export``,
``preview``, ``virtualize``.  Run ``vellkit SUBCOMMAND --help`` for the options and an
example.  Exit status: 0 when every file went well, 1 when any file failed,
2 for a wrong command line, 130 when stopped by Ctrl-C or SIGTERM (which
stops a run as Ctrl-C does: nothing half-written is left).
"""

import argparse
import sys
from typing import List, Optional

from . import check, export, list as list_cmd, preview, show, virtualize
from ._batch import EXIT_FAILED, EXIT_INTERRUPTED, sigterm_as_interrupt
from ._common import CommandError, end_storage_options, error, use_storage_options

__all__ = ["main", "build_parser"]

SUBCOMMANDS = (list_cmd, show, check, export, preview, virtualize)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vellkit",
        description="Look into VELL data files, check them, export and preview their blocks.",
        epilog="Run 'vellkit SUBCOMMAND --help' for the options and an example of each.")
    from .._version import version
    parser.add_argument("--version", action="version", version="vellkit " + version())
    sub = parser.add_subparsers(dest="command", metavar="SUBCOMMAND")
    sub.required = True
    for module in SUBCOMMANDS:
        p = sub.add_parser(module.NAME, help=module.HELP, description=module.HELP,
                           epilog="example:\n  " + "\n  ".join(module.EXAMPLES),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        module.add_arguments(p)
        p.set_defaults(run=module.run, subparser=p)
    return parser


def _parse(argv: Optional[List[str]]) -> argparse.Namespace:
    """The arguments; a usage error shows the usage of the subcommand it is about."""
    args, unknown = build_parser().parse_known_args(argv)
    if unknown:
        args.subparser.error("unrecognized arguments: %s" % " ".join(unknown))
    return args


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); the exit status."""
    # File names that are not UTF-8 reach the command as surrogate escapes:
    # printed, they are the name's own bytes again.
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None:
        reconfigure(errors="surrogateescape")
    args = _parse(argv)
    stores = use_storage_options(dict(getattr(args, "storage_options", None) or []))
    try:
        with sigterm_as_interrupt():
            return args.run(args)
    except CommandError as exc:
        error(str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # e.g. 'vellkit list *.vell | head'
        sys.stderr.close()
        return EXIT_FAILED
    finally:
        end_storage_options(stores)
