"""Command-line options that several subcommands take, declared once."""

import argparse
import json
from typing import Any, Tuple

from .. import kinds


def add_inputs(parser: argparse.ArgumentParser, recursive: bool = True, help: str = "",
               urls: bool = False) -> None:
    """FILE arguments (and ``-r`` to walk folders for VELL files; with
    ``urls``, URLs and ``--storage-option``)."""
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help=help or "VELL files" + (" (folders with -r)" if recursive else "")
                        + ("; or URLs (s3://bucket/run/*.vell, https://..., file://...), a pattern "
                           "matched by the store" if urls else ""))
    if recursive:
        parser.add_argument("-r", "--recursive", action="store_true",
                            help="walk the folders named for VELL files (files named .vell are "
                                 "always taken; other files are taken when they are VELL files); "
                                 "local folders only")
    if urls:
        add_storage_options(parser)


def storage_option(text: str) -> Tuple[str, Any]:
    """A --storage-option KEY=VALUE: the value as JSON when it is JSON, else the text."""
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError("expected KEY=VALUE, not %r" % text)
    try:
        parsed = json.loads(value)
    except ValueError:
        parsed = value
    return key.strip(), parsed


def add_storage_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--storage-option", dest="storage_options", type=storage_option, action="append",
                        default=[], metavar="KEY=VALUE",
                        help="an option of the store that URLs are read from (repeatable; VALUE as "
                             "JSON when it is JSON, else text), e.g. anon=true or "
                             "client_kwargs='{\"endpoint_url\": \"http://127.0.0.1:9000\"}'; the "
                             "store's own environment variables (AWS_ACCESS_KEY_ID...) work as well")


def add_json(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true",
                        help="print one JSON document for all files instead of text")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, not %d" % value)
    return value


def add_jobs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--jobs", "-j", type=positive_int, default=1, metavar="N",
                        help="work on N files at a time, each in its own process (default 1)")


def add_overwrite(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--force", action="store_true", help="overwrite existing outputs")
    group.add_argument("--skip-existing", action="store_true",
                       help="leave existing outputs as they are and write only the missing ones "
                            "(to resume a run that was stopped; outputs are never half-written)")


def block_request(text: str) -> kinds.BlockRequest:
    """A --block value (AB/3D/NONE, or a prefix such as AB; NDER and 3DER both taken)."""
    try:
        return kinds.parse_block(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc))
