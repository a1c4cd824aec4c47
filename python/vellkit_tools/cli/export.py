"""``vellkit export``: every block of every file to CSV, NPZ, NetCDF or JSON, and the visible
images as their own files."""

import argparse
import os
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor, as_completed
from typing import Any, Dict, List, Optional, Tuple

from . import _formats
from ._common import (CommandError, Outcome, Reports, captured, describe_error, error, finish,
                      list_blocks, parse_block, progress, read_block, read_images,
                      select_blocks, triple_name)

NAME = "export"
HELP = ("Export every block (or those named with --block) of every file, one output per block "
        "named after the file and the block, and the visible images as their own files with a "
        "JSON of their attributes.")
EXAMPLES = ["vellkit export measurements/*.vell --to out --format csv",
            "vellkit export big.vell --to out --format npz --block AB/3D/NONE --force",
            "vellkit export run42/*.vell --to out --format netcdf --jobs 4"]
NETCDF_HINT = 'pip install "vellkit[netcdf]"'


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="VELL files")
    parser.add_argument("--to", required=True, metavar="DIR",
                        help="folder for the outputs (made if missing)")
    parser.add_argument("--format", default="csv", choices=sorted(_formats.EXTENSIONS),
                        help="csv (default): x and y columns, or one row per position/step; "
                             "npz: numpy arrays with axes and parameters; netcdf: the xarray "
                             "layout (needs xarray); json: everything as JSON")
    parser.add_argument("--block", action="append", metavar="BLOCK", default=[],
                        help="export only this block (AB/3D/NONE, or a prefix such as AB); "
                             "may be repeated")
    parser.add_argument("--no-images", action="store_true", help="skip the visible images")
    parser.add_argument("--force", action="store_true", help="overwrite existing outputs")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="export N files at a time in separate processes (default 1)")


class _Target(object):
    """Writes one output through a temporary file, so a failure leaves nothing half-written."""

    def __init__(self, folder: str, name: str, force: bool, same_as: Optional[bytes] = None
                 ) -> None:
        self.path = os.path.join(folder, name)
        self.unchanged = False
        if os.path.exists(self.path) and not force:
            # An identical file (a picture exported before in another format) is no clash.
            if same_as is not None and _holds(self.path, same_as):
                self.unchanged = True
            else:
                raise CommandError("%s exists (use --force to overwrite)" % self.path)

    def write(self, fill) -> str:
        if self.unchanged:
            return self.path
        folder = os.path.dirname(self.path) or "."
        fd, tmp = tempfile.mkstemp(prefix=".vellkit-", suffix=".part", dir=folder)
        os.close(fd)
        try:
            fill(tmp)
            os.replace(tmp, self.path)
        except BaseException:
            if os.path.exists(tmp):
                os.remove(tmp)
            raise
        return self.path


def _holds(path: str, data: bytes) -> bool:
    try:
        if os.path.getsize(path) != len(data):
            return False
        with open(path, "rb") as f:
            return f.read() == data
    except OSError:
        return False


def _put(data: bytes):
    def fill(out: str) -> None:
        with open(out, "wb") as f:
            f.write(data)
    return fill


def _netcdf(path: str, triple, reports: Reports):
    try:
        import xarray  # noqa: F401
        from vellkit_tools import open_dataset
    except ImportError:
        try:
            import xarray  # noqa: F401,F811
            from vellkit_tools.backend import open_dataset
        except ImportError:
            raise CommandError("%s: NetCDF export needs xarray and the vellkit xarray layer: %s"
                               % (path, NETCDF_HINT))
    try:
        with captured(reports):
            dataset = open_dataset(path, block=tuple(triple))
            dataset.load()
        return dataset
    except Exception as exc:
        raise CommandError("%s: block %s: %s" % (path, "/".join(triple), describe_error(exc)))


def export_file(path: str, options: Dict[str, Any]) -> Tuple[List[str], List[str], List[str]]:
    """Export one file; returns (outputs written, problems, warnings).  Runs in a worker."""
    written: List[str] = []
    problems: List[str] = []
    warnings: List[str] = []
    folder, fmt, force = options["to"], options["format"], options["force"]
    stem = os.path.splitext(os.path.basename(path))[0]
    try:
        reports = Reports()
        blocks = list_blocks(path, reports)
        chosen = select_blocks(path, blocks, options["blocks"])
    except CommandError as exc:
        return written, [str(exc)], warnings
    if len(reports):
        return written, ["%s: the directory cannot be read: %s (see 'vellkit check')"
                         % (path, reports.summary())], warnings
    for triple in chosen:
        reports = Reports()
        name = "%s_%s.%s" % (stem, triple_name(triple), _formats.EXTENSIONS[fmt])
        try:
            target = _Target(folder, name, force)
            if fmt == "netcdf":
                dataset = _netcdf(path, triple, reports)
                try:
                    written.append(target.write(lambda out: dataset.to_netcdf(out)))
                finally:
                    dataset.close()
            else:
                result = read_block(path, triple, reports)
                written.append(target.write(
                    lambda out: _formats.WRITERS[fmt](out, path, triple, result)))
        except CommandError as exc:
            problems.append(str(exc))
        except Exception as exc:
            problems.append("%s: block %s: %s" % (path, "/".join(triple), describe_error(exc)))
        if len(reports):
            warnings.append("%s: block %s: %s; the output holds zeros there"
                            % (path, "/".join(triple), reports.summary()))
    if not options["no_images"]:
        reports = Reports()
        try:
            images = read_images(path, reports)
        except CommandError as exc:
            problems.append(str(exc))
            images = []
        for number, image in enumerate(images):
            picture, attributes = _formats.image_outputs(stem, number, image)
            try:
                if picture:
                    data = bytes(image["image"])
                    written.append(_Target(folder, picture, force, data).write(_put(data)))
                text = (_formats.image_attributes(image) + "\n").encode("utf-8")
                written.append(_Target(folder, attributes, force, text).write(_put(text)))
            except CommandError as exc:
                problems.append(str(exc))
        if len(reports):
            warnings.append("%s: visible images: %s" % (path, reports.summary()))
    return written, problems, warnings


def run(args: argparse.Namespace) -> int:
    if args.jobs < 1:
        raise CommandError("--jobs must be at least 1")
    stems: Dict[str, str] = {}
    for path in args.files:
        stem = os.path.splitext(os.path.basename(path))[0]
        if stem in stems and os.path.abspath(stems[stem]) != os.path.abspath(path):
            raise CommandError("%s and %s would export to the same names in %s"
                               % (stems[stem], path, args.to))
        stems[stem] = path
    try:
        os.makedirs(args.to, exist_ok=True)
    except OSError as exc:
        raise CommandError("%s: cannot make the output folder: %s" % (args.to, exc.strerror or exc))
    options = {"to": args.to, "format": args.format, "force": args.force,
               "no_images": args.no_images,
               "blocks": [parse_block(b) for b in args.block]}
    files = list(dict.fromkeys(args.files))
    outcomes = {path: Outcome(path) for path in files}

    def record(path: str, result: Tuple[List[str], List[str], List[str]]) -> None:
        written, problems, warnings = result
        for out in written:
            print(out)
        sys.stdout.flush()
        for message in warnings + problems:
            error(message)
        outcomes[path].problems.extend(problems)

    if args.jobs == 1 or len(files) == 1:
        for path in progress(files, "exporting"):
            record(path, export_file(path, options))
    else:
        with ProcessPoolExecutor(max_workers=min(args.jobs, len(files))) as pool:
            futures = {pool.submit(export_file, path, options): path for path in files}
            for future in progress(list(as_completed(futures)), "exporting"):
                path = futures[future]
                try:
                    record(path, future.result())
                except Exception as exc:  # a worker that died
                    record(path, ([], ["%s: %s" % (path, describe_error(exc))], []))
    return finish([outcomes[p] for p in files], NAME)
