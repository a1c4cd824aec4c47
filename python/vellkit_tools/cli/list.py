"""``vellkit list``: the data blocks of each file, what each holds and its visible images,
from the file's headers alone (no data is read)."""

import argparse
import sys
from collections import OrderedDict
from typing import Any, Dict, List

from ._options import add_inputs, add_json
from ._common import (Outcome, block_dims, block_text, block_words, describe_file, escape, finish_described,
                      run_per_file, safe_output, shown)

NAME = "list"
HELP = ("List the data blocks of each file, what each holds and its visible images, from the "
        "file's headers (no data is read, however large the file). --json prints one JSON "
        "document for the whole run.")
EXAMPLES = ["vellkit list measurements/*.vell", "vellkit list -r --json measurements > contents.json"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser, urls=True)
    add_json(parser)


def block_entry(block: Dict[str, Any]) -> "OrderedDict[str, Any]":
    """What ``list --json`` says of one block."""
    return OrderedDict([
        ("block", block_words(block)), ("listed", list(block["listed"])),
        ("request", list(block["request"])), ("kind", block.get("kind")),
        ("has_data", bool(block.get("kind"))), ("dims", block_dims(block)),
        ("problem", block.get("problem"))])


def image_entry(number: int, image: Dict[str, Any]) -> "OrderedDict[str, Any]":
    return OrderedDict([("index", number), ("title", image.get("title")), ("type", image.get("type")),
                        ("bytes", image["size"]), ("bytes_stored", image["stored"])])


def file_problems(description: Dict[str, Any]) -> List[str]:
    """The problems of a described file: header, directory and entries (in
    file order), blocks, cut visible images."""
    problems = list(description["problems"])
    for block in description["blocks"]:
        if block.get("problem"):
            problems.append("block %s: %s" % (block_words(block), block["problem"]))
    for number, image in enumerate(description["images"]):
        if image["stored"] < image["size"]:
            problems.append("visible image %d (%s): %d of its %d bytes, cut by the end of the file"
                            % (number, image.get("title"), image["stored"], image["size"]))
    return [escape(p) for p in problems]


def run(args: argparse.Namespace) -> int:
    safe_output()
    documents: Dict[str, Dict[str, Any]] = {}

    def list_one(path: str, outcome: Outcome) -> None:
        doc = documents[path] = OrderedDict([("path", path)])
        description = describe_file(path)
        problems = file_problems(description)
        outcome.problems.extend("%s: %s" % (shown(path), p) for p in problems)
        blocks, images = description["blocks"], description["images"]
        doc.update([("size", description["file_size"]), ("blocks", [block_entry(b) for b in blocks]),
                    ("images", [image_entry(k, im) for k, im in enumerate(images)]),
                    ("problems", problems)])
        if args.json:
            return
        lines = [shown(path)]
        names = ["(%s)" % ", ".join(repr(w) for w in b["request"]) for b in blocks]
        width = max([len(n) for n in names] or [0])
        for name, block in zip(names, blocks):
            lines.append("  %-*s  %s" % (width, name, block_text(block)))
        if not blocks:
            lines.append("  no data blocks")
        lines.append("  visible images: %d" % len(images))
        print("\n".join(lines))
        sys.stdout.flush()

    outcomes = run_per_file(args.files, list_one, "listing", recursive=args.recursive)
    return finish_described(NAME, outcomes, documents, args.json)
