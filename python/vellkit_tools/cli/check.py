"""``vellkit check``: what is wrong with each file, and where.

The frame of the file (header, directory, block extents, store tables,
parameter blocks, visible images) comes from its header-only description;
then every block with data and every visible image is read through
``vellkit`` to find the reads that fail.
"""

import argparse
import sys
from collections import OrderedDict
from typing import Any, Dict, List

import vellkit

from ._options import add_inputs, add_json
from ._common import (CommandError, Outcome, Reports, block_words, captured, describe_error,
                      describe_file, escape, file_entry, finish, inputs, json_document, json_status,
                      local_copy, print_json, run_per_file, safe_output, same_file, shown)
from .list import file_problems

NAME = "check"
HELP = ("Check each file: its frame from the headers (truncation, blocks past the end, store "
        "tables, unreadable parameter blocks, cut visible images, with byte offsets), then read "
        "every block and visible image to find failed reads. Prints OK or what is wrong per file; "
        "exit status 1 when any file is damaged. --json prints one JSON document for the run.")
EXAMPLES = ["vellkit check measurements/*.vell", "vellkit check -q -r run42 && echo all good",
            "vellkit check --json measurements/*.vell > check.json"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser, urls=True)
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print only the damaged files and the summary")
    add_json(parser)


def _plural(n: int, word: str) -> str:
    return "%d %s%s" % (n, word, "" if n == 1 else "s")


def _read(what: str, call: Any, problems: List[str], notes: List[str], explained: bool = False) -> Any:
    """``call()`` with the readers' reports captured; failures go to
    ``problems`` (an exception only when the headers did not already explain it)."""
    reports = Reports()
    result = None
    try:
        with captured(reports):
            result = call()
    except Exception as exc:  # any failure of the reader is this file's problem
        if not explained:
            problems.append("%s: %s" % (what, escape(describe_error(exc))))
    if len(reports):
        problems.append("%s: %s" % (what, escape(reports.summary())))
    notes.extend("%s: %s" % (what, escape(line)) for line in reports.printed)
    return result


def check_file(path: str, doc: Dict[str, Any]) -> List[str]:
    """Every problem of the file at ``path``; fills ``doc`` with what was found."""
    description = describe_file(path)  # a non-VELL or unreadable file ends here
    doc["is_vell"] = True
    problems = file_problems(description)
    notes: List[str] = []
    blocks = description["blocks"]
    with_data = [b for b in blocks if b.get("kind")]
    found: List[str] = []
    with local_copy(path) as local:  # a URL's object: vellkit reads local files
        for block in with_data:
            request = tuple(block["request"])
            _read("block %s" % block_words(block), lambda: vellkit.getVellData(local, request), found, notes,
                  explained=bool(block.get("problem")))
        if description["images"]:
            _read("visible images", lambda: vellkit.getVisImages(local), found, notes)
    if local != path:  # the copy's name is the URL's
        found = [p.replace(local, path) for p in found]
        notes[:] = [n.replace(local, path) for n in notes]
    problems.extend(found)
    changed = same_file(path, description["identity"])
    if changed:
        problems.append("the file changed while it was checked: %s" % changed)
    empty = sum(1 for b in blocks if not b.get("kind") and not b.get("problem"))
    doc.update([("size", description["file_size"]), ("blocks", len(blocks)),
                ("blocks_without_data", empty), ("images", len(description["images"])),
                ("problems", problems), ("notes", notes)])
    doc["summary"] = "%s%s, %s, %d bytes" % (
        _plural(len(blocks), "block"), " (%d listed from a parameter block alone)" % empty if empty else "",
        _plural(len(description["images"]), "visible image"), description["file_size"])
    return problems


def run(args: argparse.Namespace) -> int:
    safe_output()
    documents: Dict[str, Dict[str, Any]] = {}

    def work(path: str, outcome: Outcome) -> None:
        doc = documents[path] = OrderedDict([("path", path)])
        try:
            outcome.problems.extend(check_file(path, doc))
        except CommandError as exc:
            message = str(exc)
            prefix = shown(path) + ": "
            outcome.problems.append(message[len(prefix):] if message.startswith(prefix) else message)
        if args.json:
            return
        if outcome.ok:
            if not args.quiet:
                print("OK      %s (%s)" % (shown(path), doc["summary"]))
        else:
            print("%s %s" % ("DAMAGED" if doc.get("is_vell") else "FAILED ", shown(path)))
            for problem in outcome.problems:
                print("        - " + problem)
        sys.stdout.flush()

    files, outcomes = inputs(args)  # FIFOs, folders without -r, missing files: refused
    if not args.json:
        for outcome in outcomes:
            print("FAILED  %s\n        - %s" % (shown(outcome.path), escape(outcome.reason())))
    outcomes += run_per_file(files, work, "checking", report=False)
    if args.json:
        files = []
        for outcome in outcomes:
            doc = file_entry(documents, outcome)
            if not outcome.ok:
                doc["status"] = "damaged" if doc.get("is_vell") else "failed"
            doc.pop("summary", None)
            files.append(doc)
        print_json(json_document(NAME, files, outcomes))
        return json_status(outcomes)
    return finish(outcomes, NAME, stream=sys.stdout)
