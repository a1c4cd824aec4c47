"""``vellkit show``: each block's kind, shape, axes, map grid, times, trace labels, regions and
parameters, and the visible images, from the file's headers (no data values are read)."""

import argparse
import os
import sys
from collections import OrderedDict
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..kinds import kind, parse_block
from ..units import x_unit_label, x_unit_long_name
from ._common import (READ_ERRORS, Outcome, block_dims, block_words, describe_file, escape, find_block, finish_described,
                      merged_parameters, param_label, plain, readable, run_per_file, safe_output, shown)
from ._options import add_inputs, add_json
from .list import file_problems, image_entry

NAME = "show"
HELP = ("Show the blocks of each file: kind, shape, x range and units, the values' range as the "
        "file states it, map grid, times, trace labels, regions, every parameter with a readable "
        "label, the annotation tables' columns and the visible images. Only headers (and annotation "
        "tables) are read, however large the file. --json prints one JSON document for the whole run.")
EXAMPLES = ["vellkit show sample.vell", "vellkit show sample.vell --block AB/3D/NONE",
            "vellkit show *.vell --json > blocks.json"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser, urls=True, help="VELL files (folders with -r) or URLs; a last argument that is no "
                                       "file but a block (AB/3D/NONE) is taken as --block")
    parser.add_argument("-b", "--block", metavar="BLOCK",
                        help="show only this block: AB/3D/NONE or a prefix such as AB or TRC "
                             "(default: every block)")
    add_json(parser)


def _split_block(args: argparse.Namespace) -> None:
    """``show FILE BLOCK`` as it was written before several files were taken."""
    last = args.files[-1]
    # Block words hold no dot; a missing file name mostly does (sample.vell).
    if args.block is None and len(args.files) > 1 and "." not in last and "://" not in last and \
            not os.path.exists(last):
        try:
            parse_block(args.files[-1])
        except ValueError:
            return
        args.block = args.files.pop()


# ----------------------------------------------------------------------------
# What is shown of one block
# ----------------------------------------------------------------------------

def _number(value: Any) -> Optional[float]:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def x_axis(parameters: Dict[str, Any], points: Optional[int]) -> "OrderedDict[str, Any]":
    code = parameters.get("DXU")
    code = code if isinstance(code, str) else None
    return OrderedDict([("points", points), ("first", _number(parameters.get("FXV"))),
                        ("last", _number(parameters.get("LXV"))), ("code", code),
                        ("unit", x_unit_label(code)), ("name", x_unit_long_name(code))])


def _axis(axis: Tuple[float, float, int, float]) -> "OrderedDict[str, Any]":
    """A map axis of the description: (origin, end, count, step)."""
    first, last, count, step = axis
    if count <= 0:
        return OrderedDict([("count", count), ("first", None), ("last", None), ("step", None)])
    return OrderedDict([("count", count), ("first", first), ("last", last), ("step", step if count > 1 else None)])


def _extent(values: np.ndarray) -> Optional["OrderedDict[str, float]"]:
    values = values[np.isfinite(values)]
    if not values.size:
        return None
    return OrderedDict([("min", float(values.min())), ("max", float(values.max()))])


def _needs_plan(name: str) -> bool:
    """Whether showing a block of this kind needs its plan: times, trace
    labels and regions lie in the records' info fields and the annotation table."""
    row = kind(name)
    return row.traces or "time" in row.dims or "position" in row.dims


def _plan_details(path: str, block: Dict[str, Any], info: Dict[str, Any]) -> None:
    """The times, trace labels and regions of a 3D block, from its plan
    (headers, the store table, the annotation table and the records' info
    fields only)."""
    from .. import _native

    row = kind(block["kind"])
    path = readable(path)  # a URL: its byte source
    plan: Dict[str, Any] = dict(_native.plan_block(path, tuple(block["request"])))
    identity = plan["identity"]
    records = plan.get("records") or {"offsets": b"", "info_size": 0}
    offsets = np.frombuffer(records["offsets"], dtype=np.int64)
    if "time" in row.dims:
        times = np.asarray(_native.read_times(path, offsets, plan["npt"], identity), dtype=np.float64)
        unit = merged_parameters(plan["parameters"]).get("ZTX")
        info["time"] = OrderedDict([
            ("steps", int(times.size)), ("first", float(times[0]) if times.size else None),
            ("last", float(times[-1]) if times.size else None), ("range", _extent(times)),
            ("unit", unit if isinstance(unit, str) else None)])
    if row.traces:
        labels = _native.read_labels(path, offsets, plan["npt"], records["info_size"], identity)
        info["traces"] = OrderedDict([("count", len(labels)), ("labels", list(labels))])
    for region in plan.get("regions") or []:
        map_x = np.frombuffer(region["map_x"], dtype=np.float64)
        map_y = np.frombuffer(region["map_y"], dtype=np.float64)
        info.setdefault("regions", []).append(OrderedDict([
            ("group", region["group"]), ("title", region["title"]), ("positions", int(map_x.size)),
            ("map_x", _extent(map_x)), ("map_y", _extent(map_y))]))


def block_info(path: str, block: Dict[str, Any]) -> "OrderedDict[str, Any]":
    """Everything ``show`` says of one described block, as JSON-friendly values."""
    parameters = merged_parameters(block["parameters"])
    info: "OrderedDict[str, Any]" = OrderedDict([
        ("block", block_words(block)), ("listed", list(block["listed"])),
        ("request", list(block["request"])), ("kind", block.get("kind"))])
    if block.get("kind"):
        row = kind(block["kind"])
        dims = block_dims(block)
        info.update([("kind_words", row.words), ("result_class", row.result_class), ("dims", dims)])
        points = dims["spectral"] if "spectral" in dims else parameters.get("NPT")
        info["x"] = x_axis(parameters, points if isinstance(points, int) else None)
        if "MNY" in parameters or "MXY" in parameters:
            info["stated_values"] = OrderedDict([("min", _number(parameters.get("MNY"))),
                                                 ("max", _number(parameters.get("MXY")))])
        if block.get("map_x") is not None:
            # The description's grid: for a derivative map, the original
            # block's when the core took it from there.
            info["map_x"] = _axis(block["map_x"])
            info["map_y"] = _axis(block["map_y"])
    elif not block.get("problem"):
        info["note"] = "listed from a parameter block alone: the file holds no data for it"
    info["problem"] = block.get("problem")
    if block.get("kind") and _needs_plan(block["kind"]) and not block.get("problem"):
        try:
            _plan_details(path, block, info)
        except READ_ERRORS as exc:
            info["problem"] = str(exc)
    info["parameters"] = [OrderedDict([("name", name), ("label", param_label(name)),
                                       ("value", plain(value))])
                          for name, value in parameters.items()]
    return info


# ----------------------------------------------------------------------------
# Text
# ----------------------------------------------------------------------------

def _fmt(value: Any) -> str:
    if value is None:
        return "-"
    return "%g" % value if isinstance(value, float) else escape(value)


def _axis_line(axis: Dict[str, Any]) -> str:
    if not axis["count"]:
        return "0 positions"
    text = "%d, %s to %s" % (axis["count"], _fmt(axis["first"]), _fmt(axis["last"]))
    return text + (" (step %s)" % _fmt(axis["step"]) if axis["step"] is not None else "")


def _range(extent: Optional[Dict[str, float]]) -> str:
    return "%s to %s" % (_fmt(extent["min"]), _fmt(extent["max"])) if extent else "-"


def block_lines(info: Dict[str, Any]) -> List[str]:
    """The text form of :func:`block_info`."""
    name = "(%s)" % ", ".join(repr(w) for w in info["request"])
    if not info["kind"]:
        lines = ["block %s: %s" % (name, "cannot be read" if info.get("problem") else
                                   "no data (listed from a parameter block alone)")]
    else:
        lines = ["block %s: %s (%s)" % (name, info["kind_words"], info["result_class"])]
        if info["dims"]:
            lines.append("  shape: %s" % ", ".join("%s %d" % kv for kv in info["dims"].items()))
        x = info["x"]
        unit = (" " + escape(x["unit"])) if x["unit"] else ""
        long_name = (" (%s)" % escape(x["name"])) if x["name"] and x["name"] != x["unit"] else ""
        if x["points"]:
            lines.append("  x axis: %d points, %s to %s%s%s" % (
                x["points"], _fmt(x["first"]), _fmt(x["last"]), unit, long_name))
        else:
            lines.append("  x axis: no points")
        if "stated_values" in info:
            lines.append("  values (MNY, MXY as the file states them): %s" % _range(info["stated_values"]))
        if "map_x" in info:
            lines.append("  map X: %s" % _axis_line(info["map_x"]))
            lines.append("  map Y: %s" % _axis_line(info["map_y"]))
        if "time" in info:
            t = info["time"]
            lines.append("  time: %d steps, %s to %s %s" % (t["steps"], _fmt(t["first"]), _fmt(t["last"]),
                                                          escape(t["unit"] or "")))
        if "traces" in info:
            lines.append("  traces: %s" % (", ".join(escape(repr(s)) for s in info["traces"]["labels"])
                                           or "none"))
        for region in info.get("regions", []):
            lines.append("  region %d %s: %d positions, X %s, Y %s" % (
                region["group"], escape(repr(region["title"])), region["positions"],
                _range(region["map_x"]), _range(region["map_y"])))
    if info.get("problem"):
        lines.append("  problem: %s" % escape(info["problem"]))
    lines.append("  parameters:" if info["parameters"] else "  parameters: none")
    width = max([len(p["label"]) for p in info["parameters"]] or [0])
    for p in info["parameters"]:
        lines.append("    %-4s %-*s  %s" % (escape(p["name"]), width, p["label"], _fmt(p["value"])))
    return lines


def annotation_infos(path: str, description: Dict[str, Any]) -> List["OrderedDict[str, Any]"]:
    """Each annotation block: its columns (name and type) and rows, or its problem."""
    from ..annotations import annotation_columns, column_type
    count = sum(1 for e in description["entries"] if e["what"] == "annotation table")
    infos = []
    for k in range(count):
        info: "OrderedDict[str, Any]" = OrderedDict([("index", k)])
        try:
            columns = annotation_columns(readable(path), k)
        except (ValueError, MemoryError, OSError) as exc:
            info["problem"] = str(exc)
        else:
            info["columns"] = [OrderedDict([("name", n), ("type", column_type(v))]) for n, v in columns]
            info["rows"] = max((len(v) for _, v in columns), default=0)
        infos.append(info)
    return infos


def annotation_lines(infos: Sequence[Dict[str, Any]]) -> List[str]:
    if not infos:
        return []
    lines = ["annotation tables: %d" % len(infos)]
    for info in infos:
        if "problem" in info:
            lines.append("  annotation %d: cannot be read: %s" % (info["index"], escape(info["problem"])))
            continue
        lines.append("  annotation %d: %d rows; columns %s" % (
            info["index"], info["rows"], ", ".join("%s (%s)" % (escape(c["name"]), c["type"])
                                                   for c in info["columns"]) or "none"))
    return lines


def image_lines(images: Sequence[Dict[str, Any]]) -> List[str]:
    if not images:
        return ["visible images: none"]
    lines = ["visible images: %d" % len(images)]
    for image in images:
        kind_text = "type %s" % image["type"] if image["type"] is not None else "no type"
        stored = "" if image["bytes_stored"] >= image["bytes"] else ", %d stored" % image["bytes_stored"]
        lines.append("  image %d: %s, %s, %d bytes%s" % (image["index"], escape(repr(image["title"])),
                                                         kind_text, image["bytes"], stored))
    return lines


# ----------------------------------------------------------------------------
# The run
# ----------------------------------------------------------------------------

def run(args: argparse.Namespace) -> int:
    safe_output()
    _split_block(args)
    documents: Dict[str, Dict[str, Any]] = {}

    def show_one(path: str, outcome: Outcome) -> None:
        doc = documents[path] = OrderedDict([("path", path)])
        description = describe_file(path)
        if args.block:
            chosen = [find_block(path, description, args.block)]
        else:
            chosen = description["blocks"]
        problems = file_problems(description)
        infos = [block_info(path, block) for block in chosen]
        for info in infos:
            problem = "block %s: %s" % (info["block"], escape(info["problem"]))
            if info["problem"] and problem not in problems:
                problems.append(problem)
        outcome.problems.extend("%s: %s" % (shown(path), p) for p in problems)
        images = [image_entry(k, im) for k, im in enumerate(description["images"])]
        annotations = annotation_infos(path, description)
        doc.update([("size", description["file_size"]), ("blocks", infos), ("annotations", annotations),
                    ("images", images), ("problems", problems)])
        if args.json:
            return
        lines = ["%s (%d bytes)" % (shown(path), description["file_size"])]
        for info in infos:
            lines.extend(block_lines(info))
        if not description["blocks"]:
            lines.append("no data blocks")
        lines.extend(annotation_lines(annotations))
        lines.extend(image_lines(images))
        print("\n".join(lines))
        sys.stdout.flush()

    outcomes = run_per_file(args.files, show_one, "showing", recursive=args.recursive)
    return finish_described(NAME, outcomes, documents, args.json)
