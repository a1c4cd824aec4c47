"""``vellkit check``: read every block and image of each file and say what is wrong, and where."""

import argparse
import sys

from . import _scan
from ._common import (CommandError, Outcome, Reports, describe_error, finish, list_blocks,
                      read_block, read_images, run_per_file)

NAME = "check"
HELP = ("Read every block and visible image of each file and report, per file, OK or what is "
        "wrong and where (truncation, blocks past the end, unreadable parameter blocks, failed "
        "reads). Exit status 1 when any file is damaged.")
EXAMPLES = ["vellkit check measurements/*.vell", "vellkit check -q run42/*.vell && echo all good"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="VELL files")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print only the damaged files and the summary")


def _strip(path: str, message: str) -> str:
    prefix = path + ": "
    return message[len(prefix):] if message.startswith(prefix) else message


def check_file(path: str, outcome: Outcome) -> None:
    """Fill ``outcome`` with every problem found in the file at ``path``."""
    reports = Reports()
    blocks = list_blocks(path, reports)  # a non-VELL or unreadable file ends here
    outcome.is_vell = True
    try:
        frame = _scan.scan(path)
    except OSError as exc:
        raise CommandError("%s: %s" % (path, exc.strerror or exc))
    outcome.problems.extend(frame.problems)
    if len(reports):
        outcome.problems.append("directory: " + reports.summary())
    for triple in dict.fromkeys(blocks):
        name = "/".join(triple)
        reports = Reports()
        try:
            read_block(path, triple, reports)
        except CommandError as exc:
            outcome.problems.append(_strip(path, str(exc)))
        if len(reports):
            outcome.problems.append("block %s: %s" % (name, reports.summary()))
        outcome.notes.extend("block %s: %s" % (name, line) for line in reports.printed)
    reports = Reports()
    try:
        images = read_images(path, reports)
    except CommandError as exc:
        outcome.problems.append(_strip(path, str(exc)))
        images = []
    if len(reports):
        outcome.problems.append("visible images: " + reports.summary())
    for number, image in enumerate(images):
        claimed = image.get("Bytes")
        if "image" in image and isinstance(claimed, int):
            have = len(image["image"]) + (14 if image.get("Type") == 258 else 0)
            if have < claimed:
                outcome.problems.append("visible image %d (%r): %d of its %d bytes, cut by the "
                                        "end of the file" % (number, image.get("Title"), have,
                                                             claimed))
    outcome.notes.insert(0, "%d block%s, %d visible image%s, %d bytes" % (
        len(blocks), "" if len(blocks) == 1 else "s", len(images),
        "" if len(images) == 1 else "s", frame.size))


def run(args: argparse.Namespace) -> int:
    def work(path: str, outcome: Outcome) -> None:
        try:
            check_file(path, outcome)
        except CommandError as exc:
            outcome.problems.append(_strip(path, str(exc)))
        if outcome.ok:
            if not args.quiet:
                print("OK      %s (%s)" % (path, outcome.notes[0]))
        else:
            print("%s %s" % ("DAMAGED" if getattr(outcome, "is_vell", False) else "FAILED ", path))
            for problem in outcome.problems:
                print("        - " + problem)
        sys.stdout.flush()

    outcomes = run_per_file(args.files, work, "checking", report=False)
    return finish(outcomes, NAME, stream=sys.stdout)
