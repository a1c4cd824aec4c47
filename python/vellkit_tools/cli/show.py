"""``vellkit show``: one block's parameters, axes, value range, map, times, labels, regions."""

import argparse
import json
from collections import OrderedDict
from typing import Any, Dict, List

from ._common import (EXIT_FAILED, EXIT_OK, CommandError, Reports, error, format_triple, list_blocks,
                      param_label, parse_block, plain, read_block, select_blocks, summarize)

NAME = "show"
HELP = ("Show a block's parameters with readable labels, its x range and units, min/max, "
        "and for 3D blocks the map axes, times, trace labels and regions.")
EXAMPLES = ["vellkit show sample.vell AB/3D/NONE", "vellkit show sample.vell --json > sample.json"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a VELL file")
    parser.add_argument("block", nargs="?", metavar="BLOCK",
                        help="block as AB/3D/NONE (or a prefix such as AB); default: every block")
    parser.add_argument("--json", action="store_true", help="print the same as JSON")


def block_info(path: str, triple, reports: Reports) -> Dict[str, Any]:
    """Everything ``show`` prints about one block, as JSON-friendly values."""
    result = read_block(path, triple, reports)
    info: Dict[str, Any] = OrderedDict([("block", list(triple))])
    info.update(summarize(result))
    info["parameters"] = [OrderedDict([("name", str(k)), ("label", param_label(str(k))),
                                       ("value", plain(v))])
                          for k, v in result.parameters.items()]
    return info


def _fmt(value: Any) -> str:
    return "%g" % value if isinstance(value, float) else str(value)


def _axis_line(axis: Dict[str, Any]) -> str:
    text = "%d, %s to %s" % (axis["count"], _fmt(axis["first"]), _fmt(axis["last"]))
    return text + (" (step %s)" % _fmt(axis["step"]) if axis["step"] is not None else "")


def text_lines(info: Dict[str, Any]) -> List[str]:
    """The text form of :func:`block_info`."""
    x = info["x"]
    unit = (" " + x["unit"]) if x["unit"] else ""
    name = (" (%s)" % x["name"]) if x["name"] and x["name"] != x["unit"] else ""
    lines = ["block %s: %s (%s)" % (format_triple(info["block"]), info["kind"], info["class"])]
    if x["points"]:
        lines.append("  x axis: %d points, %s to %s%s%s" % (
            x["points"], _fmt(x["first"]), _fmt(x["last"]), unit, name))
    else:
        lines.append("  x axis: no points")
    if info["values"]:
        lines.append("  values: min %s, max %s" % tuple(_fmt(v) for v in info["values"]))
    if "map_x" in info:
        lines.append("  map X: %s" % _axis_line(info["map_x"]))
        lines.append("  map Y: %s" % _axis_line(info["map_y"]))
    if "time" in info:
        t = info["time"]
        extent = ("%s to %s" % tuple(_fmt(v) for v in t["extent"])) if t["extent"] else "none"
        lines.append("  time: %d steps, %s %s" % (t["steps"], extent, t["unit"] or ""))
    if "labels" in info:
        lines.append("  traces: %s" % (", ".join(repr(s) for s in info["labels"]) or "none"))
    for region in info.get("regions", []):
        ext = lambda e: ("%s to %s" % (_fmt(e[0]), _fmt(e[1]))) if e else "-"  # noqa: E731
        lines.append("  region %s: %d positions, X %s, Y %s" % (
            region["title"], region["positions"], ext(region["map_x"]), ext(region["map_y"])))
    lines.append("  parameters:")
    width = max([len(p["label"]) for p in info["parameters"]] or [0])
    for p in info["parameters"]:
        lines.append("    %-4s %-*s  %s" % (p["name"], width, p["label"], _fmt(p["value"])))
    return lines


def run(args: argparse.Namespace) -> int:
    reports = Reports()
    path = args.file
    blocks = list_blocks(path, reports)
    wanted = [parse_block(args.block)] if args.block else None
    chosen = select_blocks(path, blocks, wanted)
    infos, failed = [], []
    for triple in chosen:
        try:
            infos.append(block_info(path, triple, reports))
        except CommandError as exc:
            failed.append(str(exc))
    if args.json:
        doc = OrderedDict([("file", path), ("blocks", infos)])
        if failed:
            doc["errors"] = failed
        if len(reports):
            doc["failed_reads"] = reports.summary()
        print(json.dumps(doc, indent=2))
    else:
        print(path)
        for info in infos:
            print("\n".join(text_lines(info)))
    for message in failed:
        error(message)
    if len(reports):
        error("%s: %s while reading" % (path, reports.summary()))
    return EXIT_FAILED if failed else EXIT_OK
