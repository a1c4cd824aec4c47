"""``vellkit preview``: a PNG picture of one block."""

import argparse
import os
from typing import Optional, Tuple

from ._common import (EXIT_OK, CommandError, Reports, describe_error, list_blocks, parse_block,
                      read_block, read_images, select_blocks, triple_name)

NAME = "preview"
HELP = ("Draw one block as a PNG picture: a spectrum over its axis; an image map as a chemical "
        "image at --at or integrated over --band; a time series as a heat map; the regions of a "
        "multi-region map on the map plane (over the visible image when its position is known). "
        "Needs matplotlib: pip install \"vellkit[plot]\".")
EXAMPLES = ["vellkit preview map.vell AB/3D/NONE --at 1650 --out map.png",
            "vellkit preview map.vell --band 1600:1700 --out band.png",
            "vellkit preview traces.vell TRC --trace Amide --out amide.png"]


def _band(text: str) -> Tuple[float, float]:
    try:
        low, high = text.split(":")
        return float(low), float(high)
    except ValueError:
        raise argparse.ArgumentTypeError("a band is written FROM:TO, e.g. 1600:1700")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", help="a VELL file")
    parser.add_argument("block", nargs="?", metavar="BLOCK",
                        help="block as AB/3D/NONE (or a prefix such as AB); default: the first")
    parser.add_argument("--out", metavar="PNG",
                        help="picture to write (default: FILE_BLOCK.png in the current folder)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--at", type=float, metavar="X",
                       help="chemical image at this position of the x axis")
    where.add_argument("--band", type=_band, metavar="FROM:TO",
                       help="chemical image integrated over this range of the x axis")
    parser.add_argument("--trace", metavar="LABEL",
                        help="trace to draw for trace blocks: its label or index (default 0)")
    parser.add_argument("--force", action="store_true", help="overwrite an existing picture")


def run(args: argparse.Namespace) -> int:
    try:
        from .. import plots
        plots.require_matplotlib()
    except ImportError as exc:
        raise CommandError("%s: %s" % (args.file, exc))
    reports = Reports()
    path = args.file
    blocks = list_blocks(path, reports)
    wanted = [parse_block(args.block)] if args.block else None
    triple = select_blocks(path, blocks, wanted)[0]
    stem = os.path.splitext(os.path.basename(path))[0]
    out: Optional[str] = args.out or "%s_%s.png" % (stem, triple_name(triple))
    if os.path.exists(out) and not args.force:
        raise CommandError("%s exists (use --force to overwrite)" % out)
    result = read_block(path, triple, reports)
    images = None
    if type(result).__name__.startswith("MultiRegion"):
        try:
            images = read_images(path, reports)
        except CommandError:
            images = None  # the picture goes on without a backdrop
    try:
        fig = plots.plot_result(result, at=args.at, band=args.band, trace=args.trace,
                                images=images, source=os.path.basename(path))
        plots.save(fig, out)
    except OSError as exc:
        raise CommandError("%s: cannot write the picture: %s" % (out, describe_error(exc)))
    except (ValueError, TypeError) as exc:
        raise CommandError("%s: block %s: %s" % (path, "/".join(triple), exc))
    except Exception as exc:  # data the picture cannot show (empty blocks and the like)
        raise CommandError("%s: block %s: no picture: %s" % (path, "/".join(triple),
                                                             describe_error(exc)))
    if len(reports):
        raise CommandError("%s: %s while reading; wrote %s all the same"
                           % (path, reports.summary(), out))
    print(out)
    return EXIT_OK
