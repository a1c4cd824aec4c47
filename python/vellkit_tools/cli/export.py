"""``vellkit export``: every block of every file to CSV, NPZ, NetCDF or JSON, and the visible
images as their own files."""

import argparse
import contextlib
import functools
import os
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .. import kinds
from .._atomic import Replacement, remove_parts, remove_stale_parts
from . import _formats
from ._batch import HeldInterrupts, Progress, raise_held, run_in_processes
from ._common import (CommandError, Outcome, Reports, block_damage, captured, describe_error,
                      describe_file, escape, finish, inputs, is_url, list_blocks, local_copy, read_block,
                      read_images, shown, storage_options, triple_name, url_name, use_storage_options)
from ._options import add_inputs, add_jobs, add_overwrite, block_request

NAME = "export"
HELP = ("Export every block (or those named with --block) of every file, one output per block "
        "named after the file and the block (FILE_AB_3D_NONE.csv), and the visible images as "
        "their own files with a JSON of their attributes. CSV files have one header row, then "
        "one row per line; what the table does not hold (units, parameters, exact trace labels, "
        "region titles) is in NAME.csv.json beside each. JSON is strict: NaN and infinities are "
        "null. Regions are numbered by the file's group numbers. A block that 'vellkit check' finds "
        "damaged is not exported (--keep-damaged exports it marked damaged) and its file "
        "counts as failed. Every output is written to a "
        "temporary file first and a file's outputs are put in place together once all are "
        "complete, so each output is the complete new one or the one that was there before "
        "(Ctrl-C and SIGTERM included); temporaries left by a killed run are removed by the next.")
EXAMPLES = ["vellkit export measurements/*.vell --to out --format csv",
            "vellkit export big.vell --to out --format npz --block AB/3D/NONE --force",
            "vellkit export -r run42 --to out --format netcdf --jobs 4 --skip-existing"]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser, urls=True)
    parser.add_argument("--to", required=True, metavar="DIR",
                        help="folder for the outputs (made if missing)")
    parser.add_argument("--format", default="csv", choices=sorted(_formats.EXTENSIONS),
                        help="csv (default): a header row, then x and y columns, or one row per "
                             "position/step, with NAME.csv.json beside it; npz: numpy arrays "
                             "with axes and parameters; netcdf: the xarray layout (needs "
                             "the netcdf extra); zarr: the same as a Zarr store, a folder "
                             "(needs the zarr extra); json: everything as strict JSON")
    parser.add_argument("--block", action="append", metavar="BLOCK", default=[],
                        type=block_request,
                        help="export only this block (AB/3D/NONE, or a prefix such as AB); "
                             "may be repeated")
    parser.add_argument("--no-images", action="store_true", help="skip the visible images")
    parser.add_argument("--keep-damaged", action="store_true",
                        help="export a damaged block as the reader gives it (zeros where it "
                             "cannot read), marked \"damaged\" in its sidecar, JSON, NPZ or "
                             "attributes; by default a damaged block is not exported. Either way "
                             "the file counts as failed")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print only the problems and the summary (no list of the outputs, "
                             "no progress bar)")
    add_overwrite(parser)
    add_jobs(parser)


# ----------------------------------------------------------------------------
# One file
# ----------------------------------------------------------------------------

class _Skip(Exception):
    """The output exists and --skip-existing leaves it."""


class _Exists(Exception):
    """The output exists and may not be replaced (no --force)."""


def _holds(path: str, data: bytes) -> bool:
    try:
        if os.path.getsize(path) != len(data):
            return False
        with open(path, "rb") as f:
            return f.read() == data
    except OSError:
        return False


class _Writer(object):
    """Writes the outputs of one file: each to a temporary beside it, all put
    in place together by :meth:`commit` once every one is complete."""

    def __init__(self, path: str, options: Dict[str, Any]) -> None:
        self.path, self.options = path, options
        self.staged: List[Replacement] = []

    def targets(self, *names: str) -> List[str]:
        """The paths of the outputs of one block (a CSV file and its sidecar go together).

        _Exists when one exists and may not be replaced; _Skip with
        --skip-existing when all of them exist (outputs are never half-written).
        """
        paths = [os.path.join(self.options["to"], name) for name in names]
        there = [p for p in paths if os.path.lexists(p)]
        if there and not self.options["force"]:
            if self.options["skip_existing"]:
                if len(there) == len(paths):
                    raise _Skip(there[0])
            else:
                raise _Exists(there[0])
        return paths

    def image_target(self, name: str, data: bytes) -> Optional[str]:
        """Like :meth:`targets` for a visible image's file; None when an identical
        file is there (a picture exported before in another format is no clash)."""
        out = os.path.join(self.options["to"], name)
        if not self.options["force"] and not self.options["skip_existing"] and _holds(out, data):
            return None
        return self.targets(name)[0]

    def write(self, out: str, fill: Callable[[str], None], folder: bool = False) -> None:
        """Fill a temporary for ``out`` (a folder with ``folder``); it takes
        its place at :meth:`commit`."""
        try:
            staged = Replacement(out, folder)
        except OSError as exc:
            raise CommandError("%s: cannot write it: %s" % (out, exc.strerror or exc))
        self.staged.append(staged)
        staged.close()
        try:
            fill(staged.temporary)
        except OSError as exc:
            raise CommandError("%s: cannot write it: %s" % (out, exc.strerror or exc))

    def drop_from(self, count: int) -> None:
        """Discard the outputs staged after the first ``count`` (a block that failed half-way)."""
        for staged in self.staged[count:]:
            staged.discard()
        del self.staged[count:]

    def commit(self) -> List[str]:
        """Put every staged output in place; the outputs written.

        Every temporary is flushed to the disk first, so a full disk fails
        before any output is touched; then the renames run with Ctrl-C and
        SIGTERM held back, so the file's outputs take their places together.
        """
        try:
            for staged in self.staged:
                staged.prepare()
        except OSError as exc:
            self.discard()
            raise CommandError("%s: cannot write it: %s" % (exc.filename, exc.strerror or exc))
        written = []
        # A stop that comes meanwhile is raised once the outputs are listed
        # (raise_held), so that every output in place is reported.
        with HeldInterrupts(until_said=True):
            for staged in self.staged:
                staged.swap()
                written.append(staged.target)
        self.staged = []
        return written

    def discard(self) -> None:
        for staged in self.staged:
            staged.discard()
        self.staged = []


def _put(data: bytes) -> Callable[[str], None]:
    def fill(out: str) -> None:
        with open(out, "wb") as f:
            f.write(data)
    return fill


def _text(text: str) -> Callable[[str], None]:
    return _put(text.encode("utf-8"))


def _open_dataset(path: str, triple: Sequence[str], reports: Reports, fmt: str) -> Any:
    try:
        import xarray  # noqa: F401
        from vellkit_tools.backend import open_dataset
        if fmt == "zarr":
            import zarr  # noqa: F401
    except ImportError:
        raise CommandError("%s: %s export needs the xarray layer: %s"
                           % (path, "Zarr" if fmt == "zarr" else "NetCDF", _formats.XARRAY_FORMATS[fmt]))
    try:
        with captured(reports):
            dataset = open_dataset(path, block=tuple(triple))
            dataset.load()
        return dataset
    except Exception as exc:
        raise CommandError("%s: block %s: %s" % (path, kinds.block_text(triple), describe_error(exc)))


def _to_zarr(dataset: Any, folder: str) -> None:
    # The store keeps consolidated metadata (readers open it without a
    # fallback warning); Zarr's notice that format 3 does not standardise it
    # is not the user's business.
    import warnings
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*[Cc]onsolidated metadata.*")
        dataset.to_zarr(folder, mode="w")


def _blocks(path: str, wanted: Sequence[Tuple[str, ...]], reports: Reports,
            description: Dict[str, Any]) -> List[kinds.Block]:
    """The file's blocks in request spelling (NDER), those matching any of ``wanted``."""
    blocks: List[kinds.Block] = []
    for b in list_blocks(path, reports):
        triple = (str(b[0]), str(b[1]), kinds.request_word(str(b[2])))
        if triple not in blocks:
            blocks.append(triple)
    if not wanted:  # not the blocks listed from a parameter block alone: they hold no values
        empty = [tuple(b["request"]) for b in description["blocks"]
                 if b["kind"] is None and not b.get("problem")]
        return [b for b in blocks if b not in empty]
    chosen = [b for b in blocks if any(b[:len(w)] == tuple(w) for w in wanted)]
    if not chosen:
        raise CommandError("%s: no block %s (the file has %s)" % (
            path, " or ".join(kinds.block_text(w) for w in wanted),
            ", ".join(kinds.block_text(b) for b in blocks) or "no data blocks"))
    return chosen


class _Damaged(Exception):
    """A block that check finds damaged; what is wrong with it, as check says it."""


def _damage(found: List[str], reports: Reports, keep: bool) -> Optional[str]:
    """What is wrong with a block (None when nothing is); _Damaged unless
    the damaged blocks are kept."""
    if len(reports):
        found = found + [reports.summary()]
    if found and not keep:
        raise _Damaged("; ".join(found))
    return "; ".join(found) or None


@contextlib.contextmanager
def _unreadable(path: str, triple: kinds.Block, found: List[str]) -> Iterator[None]:
    """A read of a damaged block that fails says the block is damaged, and what the reader said."""
    try:
        yield
    except CommandError as exc:
        # What is wrong is what the headers say; the reader's own ValueError
        # on a cut block is numpy's ("could not broadcast ...") and says
        # nothing more. Any other error (the memory limit, the system's) is
        # its own news, and is said as it is.
        if not found or not isinstance(exc.__context__, ValueError):
            raise
        raise CommandError("%s: block %s is damaged: %s; it cannot be read (see 'vellkit check')"
                           % (path, kinds.block_text(triple), "; ".join(found)))


def _export_block(out: _Writer, triple: kinds.Block, stem: str, reports: Reports,
                  found: List[str]) -> Optional[str]:
    """Export one block; what is wrong with it when it is damaged and kept
    (``found``: what the headers say; then the reports of its read)."""
    path, fmt = out.path, out.options["format"]
    keep = out.options.get("keep_damaged", False)
    name = "%s_%s.%s" % (stem, triple_name(triple), _formats.EXTENSIONS[fmt])
    if fmt == "csv":
        target, sidecar = out.targets(name, name + _formats.SIDECAR_SUFFIX)
    else:
        (target,) = out.targets(name)
    _damage(found, Reports(), keep)  # refused before anything is read
    if fmt in _formats.XARRAY_FORMATS:
        with _unreadable(path, triple, found):
            dataset = _open_dataset(path, triple, reports, fmt)
        damaged = _damage(found, reports, keep)
        if damaged:
            dataset.attrs["vellkit_damaged"] = damaged
        try:
            if fmt == "zarr":
                out.write(target, lambda tmp: _to_zarr(dataset, tmp), folder=True)
            else:
                out.write(target, _formats.netcdf_safe(dataset).to_netcdf)
        finally:
            dataset.close()
        return damaged
    with _unreadable(path, triple, found):
        result = read_block(path, triple, reports)
    damaged = _damage(found, reports, keep)
    try:
        if fmt == "csv":
            table = _formats.table(path, triple, result)
            text = _formats.csv_sidecar(path, triple, result, table, damaged=damaged)
            out.write(target, lambda tmp: _formats.write_csv(tmp, path, triple, result, table))
            out.write(sidecar, _text(text))
        else:
            out.write(target, lambda tmp: _formats.WRITERS[fmt](tmp, path, triple, result,
                                                                damaged=damaged))
    except (ValueError, TypeError) as exc:  # a result the format cannot hold
        raise CommandError("%s: block %s: %s" % (path, kinds.block_text(triple),
                                                 describe_error(exc)))
    return damaged


def _export_images(out: _Writer, stem: str, problems: List[str], warnings: List[str],
                   skipped: List[str], exist: List[str]) -> None:
    reports = Reports()
    try:
        images = read_images(out.path, reports)
    except CommandError as exc:
        problems.append(str(exc))
        images = []
    for number, image in enumerate(images):
        picture, attributes = _formats.image_outputs(stem, number, image)
        for name, data in ((picture, bytes(image["image"]) if picture else b""),
                           (attributes, (_formats.image_attributes(image) + "\n").encode("utf-8"))):
            if not name:
                continue
            with _tallied(skipped, exist, problems):
                target = out.image_target(name, data)
                if target is not None:
                    out.write(target, _put(data))
    if len(reports):
        warnings.append("%s: visible images: %s" % (out.path, reports.summary()))


@contextlib.contextmanager
def _tallied(skipped: List[str], exist: List[str], problems: List[str]) -> Iterator[None]:
    """Writes one output; an output skipped, one that exists already, or a
    command error is counted in its list and the run goes on."""
    try:
        yield
    except _Skip as exc:
        skipped.append(str(exc))
    except _Exists as exc:
        exist.append(str(exc))
    except CommandError as exc:
        problems.append(str(exc))


def _annotation_csv(columns: Sequence[Tuple[str, Any]]) -> str:
    """An annotation table as CSV: a header of the column names, then the
    rows (floats in their shortest float32 form, texts inert for spreadsheets)."""
    import csv
    import io

    import numpy as np
    from .._text import inert_cell

    def cell(value: Any) -> str:
        if isinstance(value, (np.floating, float)):
            return np.format_float_positional(np.float32(value), unique=True, trim="-")
        return inert_cell(str(value)) if isinstance(value, str) else str(value)

    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow([inert_cell(name) for name, _ in columns])
    rows = max((len(values) for _, values in columns), default=0)
    for r in range(rows):
        writer.writerow([cell(values[r]) if r < len(values) else "" for _, values in columns])
    return text.getvalue()


def _export_annotations(out: _Writer, stem: str, description: Dict[str, Any], problems: List[str],
                        skipped: List[str], exist: List[str]) -> None:
    """Each annotation table as FILE_annotation_N.csv (the table's columns as
    the file names them), unless a multi-region block of the file is made
    from it (its regions carry the table's positions already)."""
    from ..annotations import annotation_columns
    if any(str(b.get("kind") or "").startswith("multi_region") for b in description["blocks"]):
        return
    count = sum(1 for e in description["entries"] if e["what"] == "annotation table")
    for number in range(count):
        try:
            with _tallied(skipped, exist, problems):
                columns = annotation_columns(out.path, number)
                (target,) = out.targets("%s_annotation_%d.csv" % (stem, number))
                out.write(target, _text(_annotation_csv(columns)))
        except (ValueError, MemoryError, OSError) as exc:
            problems.append("%s: annotation table %d: %s" % (out.path, number, describe_error(exc)))


Result = Tuple[List[str], List[str], List[str], List[str], List[str]]


def export_file(path: str, send: Callable[[Any], None], options: Dict[str, Any]) -> Result:
    """Export one file; (outputs written, problems, warnings, outputs skipped
    as they exist, outputs that exist and were not replaced). (``send``, the
    runner's channel for messages, is not needed: the outputs come with the result.)

    The outputs are put in place together at the end (see
    :meth:`_Writer.commit`): stopped before (KeyboardInterrupt), it leaves
    every output as it was and no temporary behind.

    A URL's object is exported from a local copy of it (named as the URL's
    last component, as its outputs are), removed after; messages name the URL.
    """
    if not is_url(path):
        return _export_file(path, options)
    if options.get("storage_options", {}) != storage_options():  # a worker started afresh
        use_storage_options(options.get("storage_options") or {})
    try:
        with local_copy(path) as local:
            result = _export_file(local, options)
    except CommandError as exc:
        return [], [str(exc)], [], [], []
    written, problems, warnings, skipped, exist = result
    return (written, [p.replace(local, path) for p in problems], [w.replace(local, path) for w in warnings],
            skipped, exist)


def _export_file(path: str, options: Dict[str, Any]) -> Result:
    out = _Writer(path, options)
    problems: List[str] = []
    warnings: List[str] = []
    skipped: List[str] = []
    exist: List[str] = []
    stem = os.path.splitext(os.path.basename(path))[0]
    try:
        reports = Reports()
        try:
            description = describe_file(path)
            chosen = _blocks(path, options["blocks"], reports, description)
        except CommandError as exc:
            return [], [str(exc)], warnings, [], []
        described = {tuple(b["request"]): b for b in description["blocks"]}
        if len(reports):  # named as check names it, from the headers when they say
            why = "; ".join(description["problems"]) or reports.summary()
            return [], ["%s: damaged, the directory cannot be read: %s (see 'vellkit check')"
                        % (path, why)], warnings, [], []
        for triple in chosen:
            reports = Reports()
            staged = len(out.staged)
            block = described.get(tuple(triple))
            found = block_damage(description, block) if block else []
            try:
                damaged = _export_block(out, triple, stem, reports, found)
                if damaged:
                    problems.append("%s: block %s is damaged: %s; kept as read, marked damaged"
                                    % (path, kinds.block_text(triple), damaged))
            except _Skip as exc:
                skipped.append(str(exc))
            except _Exists as exc:
                exist.append(str(exc))
            except _Damaged as exc:
                out.drop_from(staged)
                problems.append("%s: block %s is damaged: %s; not exported (--keep-damaged "
                                "writes what the reader gives)" % (path, kinds.block_text(triple), exc))
            except CommandError as exc:
                out.drop_from(staged)
                problems.append(str(exc))
            except Exception as exc:  # e.g. MemoryError: this block's failure, the run goes on
                out.drop_from(staged)
                problems.append("%s: block %s: %s" % (path, kinds.block_text(triple),
                                                      describe_error(exc)))
        if not options["blocks"]:  # every block: the annotation tables too
            _export_annotations(out, stem, description, problems, skipped, exist)
        if not options["no_images"]:
            _export_images(out, stem, problems, warnings, skipped, exist)
        try:
            written = out.commit()
        except CommandError as exc:
            return [], problems + [str(exc)], warnings, skipped, exist
    finally:
        out.discard()
    return written, problems, warnings, skipped, exist


# ----------------------------------------------------------------------------
# Many files
# ----------------------------------------------------------------------------

def _check_names(files: Sequence[str], folder: str) -> None:
    stems: Dict[str, str] = {}
    for path in files:
        stem = os.path.splitext(url_name(path) if is_url(path) else os.path.basename(path))[0]
        if stem in stems:
            raise CommandError("%s and %s would export to the same names in %s"
                               % (stems[stem], path, folder))
        stems[stem] = path


def _preload(fmt: str) -> None:
    """Import what a format's writer needs before the workers start: they are
    forked from this process, and then none of them imports it again. xarray
    imports much on its first write (Dask and its scheduler among them): for
    NetCDF a one-value dataset is written once to a temporary folder; Zarr's
    first write starts threads, which a fork must not follow, so for Zarr the
    modules are imported by name."""
    if fmt not in _formats.XARRAY_FORMATS:
        return
    import importlib
    import tempfile
    try:
        import xarray
        from vellkit_tools import backend  # noqa: F401
        if fmt == "zarr":
            for name in ("zarr", "dask", "distributed"):
                with contextlib.suppress(ImportError):
                    importlib.import_module(name)
            return
        with tempfile.TemporaryDirectory(prefix="vellkit-") as folder:
            xarray.Dataset({"v": ("x", [0.0])}).to_netcdf(os.path.join(folder, "warm.nc"))
    except Exception:  # what is missing or failing is said per file, by the workers
        pass


def run(args: argparse.Namespace) -> int:
    files, outcomes = inputs(args)
    _check_names(files, args.to)
    try:
        os.makedirs(args.to, exist_ok=True)
    except OSError as exc:
        raise CommandError("%s: cannot make the output folder: %s" % (args.to, exc.strerror or exc))
    remove_stale_parts(args.to)  # of a run that was killed
    options = {"to": args.to, "format": args.format, "force": args.force,
               "skip_existing": args.skip_existing, "no_images": args.no_images,
               "keep_damaged": args.keep_damaged,
               "blocks": list(args.block), "storage_options": storage_options()}
    bar = Progress(len(files), "exporting")
    bar.active = bar.active and not args.quiet
    for outcome in outcomes:
        bar.print("vellkit: " + escape(outcome.problems[0]), sys.stderr)
    by_path = {path: Outcome(path) for path in files}

    def done(path: str, result: Result) -> None:
        written, problems, warnings, skipped, exist = result
        bar.advance()
        if written and not args.quiet:
            bar.print("\n".join(shown(output) for output in written))
        for message in warnings + problems:
            bar.print("vellkit: " + escape(message), sys.stderr)
        outcome = by_path[path]
        outcome.problems.extend(problems)
        outcome.exist.extend(exist)  # not replaced: the run fails, and says which option to use
        if not written:  # a file with nothing new: counted as skipped
            outcome.skipped.extend(skipped)

    def failed(path: str, reason: str, pid: Optional[int]) -> None:
        # A worker that died or was stopped: its outputs are each the old or
        # the complete new one; only its temporaries go.
        if pid is not None:
            remove_parts(args.to, pid)
        if reason != "interrupted":
            done(path, ([], ["%s: %s" % (path, reason)], [], [], []))

    work = functools.partial(export_file, options=options)
    bar.start()
    try:
        if args.jobs == 1 or len(files) == 1:
            for path in files:
                result = work(path, lambda message: None)
                with HeldInterrupts():  # a finished file's outputs are listed whole
                    done(path, result)
                raise_held()
        else:
            _preload(args.format)
            run_in_processes(files, work, args.jobs, on_message=lambda path, message: None,
                             on_done=done, on_failed=failed)
    finally:
        bar.close()
    return finish(outcomes + [by_path[p] for p in files], NAME)
