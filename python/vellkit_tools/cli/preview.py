"""``vellkit preview``: a picture of one block, in the format its file name asks for."""

import argparse
import os
from typing import Any, Tuple

import vellkit

from .. import kinds
from ..kinds import KINDS
from ._common import (EXIT_OK, CommandError, Reports, block_damage, captured, describe_error,
                      describe_file, escape, find_block, first_data_block, is_url, local_copy, safe_output,
                      shown, triple_name, url_name)
from ._options import add_storage_options

NAME = "preview"
HELP = ("Draw one block as a picture (PNG, SVG, PDF or JPEG, as the --out name's suffix says): a "
        "spectrum over its axis; an image map as a chemical image at --at or integrated over "
        "--band; a time series as a heat map; the traces of a trace block (--trace picks one); "
        "the regions of a multi-region map on the map plane (over the visible image when its "
        "position is known). Needs matplotlib: pip install \"vellkit[plot]\".")
EXAMPLES = ["vellkit preview map.vell AB/3D/NONE --at 1650 --out map.png",
            "vellkit preview map.vell --band 1600:1700 --out band.svg",
            "vellkit preview map.vell --band 1600:1700:baseline --out band.png",
            "vellkit preview traces.vell TRC --trace Amide --out amide.pdf"]


def _band(text: str) -> Tuple[Any, ...]:
    try:
        low, high, *rest = text.split(":")
        if rest not in ([], ["baseline"]):
            raise ValueError(text)
        return (float(low), float(high)) + tuple(rest)
    except ValueError:
        raise argparse.ArgumentTypeError("a band is written FROM:TO, e.g. 1600:1700, or "
                                         "FROM:TO:baseline for its area above the line "
                                         "between its ends")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE",
                        help="a VELL file, or a URL (s3://bucket/map.vell, https://..., file://...)")
    parser.add_argument("block", nargs="?", metavar="BLOCK",
                        help="block as AB/3D/NONE (or a prefix such as AB or TRC); default: the original "
                             "(NONE) block of the first data type")
    parser.add_argument("--out", metavar="PICTURE",
                        help="picture to write: .png, .svg, .pdf or .jpg (default: FILE_BLOCK.png in "
                             "the current folder)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--at", type=float, metavar="X",
                       help="image maps and multi-region maps: chemical image at this position of "
                            "the x axis")
    where.add_argument("--band", type=_band, metavar="FROM:TO",
                       help="image maps and multi-region maps: chemical image of the band's area over "
                            "this range of the x axis (as ds.vell.band_area gives it); "
                            "FROM:TO:baseline for the area above the straight line between the "
                            "band's end points")
    parser.add_argument("--trace", metavar="LABEL",
                        help="trace blocks: the trace to draw, by label or index (default: the "
                             "first; for time-resolved traces, all)")
    parser.add_argument("--force", action="store_true", help="overwrite an existing picture")
    add_storage_options(parser)
    # A usage error found once the file is known (an option that does not
    # apply to its block) is reported with this subcommand's usage.
    parser.set_defaults(usage_error=parser.error)


def _images(path: str) -> Any:
    """The file's visible images, or None: the picture goes on without a backdrop."""
    try:
        with captured(Reports()):
            return vellkit.getVisImages(path)
    except Exception:
        return None


def run(args: argparse.Namespace) -> int:
    safe_output()
    path = args.file
    from .. import plots  # matplotlib itself is needed only once the request is known to be sound
    if args.out is not None:
        try:
            plots.format_of(args.out)
        except ValueError as exc:
            args.usage_error("--out: %s" % escape(exc))
    description = describe_file(path)
    if args.block:
        block = find_block(path, description, args.block)
        if not block["kind"]:
            raise CommandError("%s: block %s holds no data (it is listed from a parameter block alone)"
                               % (shown(path), kinds.block_text(block["request"])))
    else:
        first = first_data_block(description)
        if first is None and description["problems"]:
            raise CommandError("%s: damaged, no block can be read: %s (see 'vellkit check')"
                               % (shown(path), escape("; ".join(description["problems"]))))
        if first is None:
            raise CommandError("%s: no block with data (the file has %s)" % (
                shown(path), ", ".join(kinds.block_text(b["request"]) for b in description["blocks"])
                or "no data blocks"))
        block = first
    triple = tuple(block["request"])
    given = {"at": args.at, "band": args.band, "trace": args.trace}
    try:
        plots.check_options(block["kind"], **given)
    except ValueError:
        wrong = next(k for k, v in given.items() if v is not None and k not in plots.OPTIONS[block["kind"]])
        args.usage_error("--%s does not apply to block %s of %s (%s); it applies to: %s" % (
            wrong, kinds.block_text(triple), shown(path), KINDS[block["kind"]].words,
            ", ".join(plots.kinds_taking(wrong))))
    name = url_name(path) if is_url(path) else os.path.basename(path)
    stem = os.path.splitext(name)[0]
    out = args.out or "%s_%s.png" % (stem, triple_name(triple))
    if os.path.exists(out) and not args.force:
        raise CommandError("%s exists (use --force to overwrite)" % shown(out))
    try:
        plots.require_matplotlib()
    except ImportError as exc:
        raise CommandError("%s: %s" % (shown(path), exc))
    reports = Reports()
    damage = block_damage(description, block)
    images = None
    try:
        # A URL's object is read from a local copy: vellkit reads local files.
        with local_copy(path) as local, captured(reports):
            result = vellkit.getVellData(local, triple)
            if plots.over_images(block["kind"]) and description["images"]:
                images = _images(local)
    except CommandError:
        raise
    except Exception as exc:
        if damage:  # the reader's own words would not say the file is cut
            raise CommandError("%s: block %s is damaged: %s; it cannot be read (see 'vellkit check')"
                               % (shown(path), kinds.block_text(triple), escape("; ".join(damage))))
        raise CommandError("%s: block %s: %s" % (shown(path), kinds.block_text(triple), escape(describe_error(exc))))
    try:
        fig = plots.plot_result(result, at=args.at, band=args.band, trace=args.trace,
                                images=images, source=shown(name))
        plots.save(fig, out)
    except OSError as exc:
        raise CommandError("%s: cannot write the picture: %s" % (shown(out), describe_error(exc)))
    except (ValueError, TypeError) as exc:
        if damage:  # e.g. a spectrum cut short: fewer values than its axis has points
            raise CommandError("%s: block %s is damaged: %s; no picture (see 'vellkit check')"
                               % (shown(path), kinds.block_text(triple), escape("; ".join(damage))))
        raise CommandError("%s: block %s: %s" % (shown(path), kinds.block_text(triple), escape(exc)))
    except Exception as exc:  # data the picture cannot show (empty blocks and the like)
        raise CommandError("%s: block %s: no picture: %s" % (shown(path), kinds.block_text(triple),
                                                             escape(describe_error(exc))))
    if len(reports):
        raise CommandError("%s: %s while reading; wrote %s all the same"
                           % (shown(path), reports.summary(), shown(out)))
    print(shown(out))
    return EXIT_OK
