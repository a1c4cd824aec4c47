"""``vellkit list``: the data blocks of each file and what each returns."""

import argparse

from ._common import (Outcome, Reports, finish, format_triple, list_blocks, read_block,
                      read_images, run_per_file, shape_text, summarize)

NAME = "list"
HELP = "List the data blocks of each file, what each returns and its visible images."
EXAMPLES = ["vellkit list measurements/*.vell"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="VELL files")


def _list_one(path: str, outcome: Outcome) -> None:
    reports = Reports()
    blocks = list_blocks(path, reports)
    lines = [path]
    width = max([len(format_triple(b)) for b in blocks] or [0])
    for triple in blocks:
        try:
            text = shape_text(summarize(read_block(path, triple, reports)))
        except Exception as exc:
            outcome.problems.append(str(exc))
            text = "cannot be read (see below)"
        lines.append("  %-*s  %s" % (width, format_triple(triple), text))
    if not blocks:
        lines.append("  no data blocks")
    try:
        lines.append("  visible images: %d" % len(read_images(path, reports)))
    except Exception as exc:
        outcome.problems.append(str(exc))
    if len(reports):
        outcome.problems.append("%s: %s while reading" % (path, reports.summary()))
    print("\n".join(lines))


def run(args: argparse.Namespace) -> int:
    return finish(run_per_file(args.files, _list_one, "listing"), NAME)
