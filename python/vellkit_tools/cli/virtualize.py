"""``vellkit virtualize``: a virtual Zarr store of VELL files, references into the files.

Each file is parsed by :class:`vellkit_tools.virtual.VellParser` (headers,
store tables, times and labels; no values are read), and the files are
combined along a new dimension (a stack of maps or series) by xarray's
concat of the virtual datasets. The store is written as Kerchunk JSON (one
file), Kerchunk Parquet (a folder) or an Icechunk repository (a folder),
each through a temporary beside the output, put in place whole.

URLs are read through obstore (the parser's registry holds one store per
scheme and bucket or host, made by ``obstore.store.from_url``), and the
references name the URLs themselves.
"""

import argparse
import json
import os
import sys
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from .._atomic import atomic_output, atomic_write
from .._text import escape
from ._common import (_NOT_VELL, CommandError, Outcome, _not_vell_why, error, finish, inputs, is_url,
                      run_per_file, shown, storage_options, url_name)
from ._options import add_inputs, block_request

NAME = "virtualize"
HELP = ("Write a virtual Zarr store of one block (--block; by default the one the xarray engine "
        "opens) of each file: references to each record's values in the files, and the axes, "
        "times, labels and parameters inlined. Many files are stacked along a new dimension "
        "(--concat-dim, default file); a file whose block differs from the first file's in kind "
        "or axes is reported and left out, and the run then fails. Outputs: Kerchunk JSON (a "
        "file), Kerchunk Parquet or an Icechunk repository (folders), written whole or not at "
        "all. The store reads the files where they are: move them and it no longer reads. URLs "
        "(s3://, http(s)://, file://) are read through obstore and referenced by URL; of "
        "--storage-option, an S3 URL takes key, secret, token, endpoint_url (or client_kwargs' "
        "endpoint_url), anon and client_kwargs' region_name, besides the AWS_* "
        "variables (an http:// endpoint is taken as named); an http(s) URL takes none.")
EXAMPLES = ["vellkit virtualize maps/*.vell --to maps.json",
            "vellkit virtualize 's3://bucket/run42/*.vell' --to run42.json",
            "vellkit virtualize run42/*.vell --to run42.icechunk --format icechunk --concat-dim run",
            "vellkit virtualize big.vell --to big.parq --format parquet --block AB/3D/NONE --force"]

FORMATS = ("kerchunk", "parquet", "icechunk")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser, urls=True)
    parser.add_argument("--to", required=True, metavar="STORE",
                        help="the output: a JSON file (kerchunk) or a folder (parquet, icechunk)")
    parser.add_argument("--format", default="kerchunk", choices=FORMATS,
                        help="kerchunk (default): Kerchunk references as one JSON file; parquet: "
                             "Kerchunk references as Parquet (a folder); "
                             "icechunk: an Icechunk repository with virtual chunks (a folder) that "
                             "reads chunks under the files' common folder (or the common prefix "
                             "of their s3:// URLs; not for http(s) URLs)")
    parser.add_argument("--concat-dim", default="file", metavar="NAME",
                        help="the new dimension many files are stacked along (default file; a "
                             "coordinate 'file' along it names each file)")
    parser.add_argument("--block", type=block_request, default=None, metavar="BLOCK",
                        help="the block of each file (AB/3D/NONE, or a prefix such as AB)")
    parser.add_argument("--force", action="store_true", help="replace an existing output")


def _need(fmt: str) -> None:
    """Refuse at once (before any file is read) when a package the run needs is missing."""
    needed = [("virtualizarr", "virtualize needs VirtualiZarr: install it with pip install \"vellkit[virtual]\"")]
    if fmt == "parquet":
        needed.append(("fastparquet", "--format parquet needs fastparquet: install it with pip install fastparquet"))
    if fmt == "icechunk":
        needed.append(("icechunk", "--format icechunk needs icechunk: install it with pip install icechunk"))
    import importlib.util
    for module, why in needed:
        if importlib.util.find_spec(module) is None:
            raise CommandError(why)


def _url(path: str) -> str:
    """The URL the references name: a URL as it is, a local file as a file:// URL."""
    return path if is_url(path) else Path(os.path.abspath(path)).as_uri()


#: --storage-option keys an S3 store takes (in the spelling the other subcommands'
#: file system takes, which expands patterns here too), as obstore's S3 configuration names them.
_S3_OPTIONS = {"key": "access_key_id", "secret": "secret_access_key", "token": "session_token",
               "endpoint_url": "endpoint", "anon": "skip_signature"}
#: ... and those inside client_kwargs.
_S3_CLIENT_OPTIONS = {"endpoint_url": "endpoint", "region_name": "region"}


def _store_config(scheme: str, options: Dict[str, Any]) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """(config, client_options) of obstore for a store of ``scheme`` from
    the run's storage options; CommandError naming an option with no
    equivalent (it would otherwise be dropped without a word)."""
    config: Dict[str, Any] = {}
    unknown: List[str] = []
    if scheme in ("s3", "s3a"):
        for key, value in options.items():
            if key == "client_kwargs" and isinstance(value, dict):
                for inner, inner_value in value.items():
                    if inner in _S3_CLIENT_OPTIONS:
                        config[_S3_CLIENT_OPTIONS[inner]] = inner_value
                    else:
                        unknown.append("client_kwargs.%s" % inner)
            elif key in _S3_OPTIONS:
                config[_S3_OPTIONS[key]] = value
            else:
                unknown.append(key)
    else:
        unknown = sorted(options)
    if unknown:
        taken = ", ".join(sorted(_S3_OPTIONS)) + ", client_kwargs' " + " and ".join(sorted(_S3_CLIENT_OPTIONS))
        raise CommandError("--storage-option %s: no equivalent in the object store that virtualize reads %s:// "
                           "URLs through (%s)" % (", ".join(unknown), scheme,
                                                  "it takes " + taken if scheme in ("s3", "s3a") else "it takes none"))
    if "skip_signature" in config:
        config["skip_signature"] = bool(config["skip_signature"])
    # The store's own default refuses plain http: an endpoint the caller names is taken as given.
    endpoint = str(config.get("endpoint") or os.environ.get("AWS_ENDPOINT_URL") or "")
    client: Dict[str, Any] = {"allow_http": True} if scheme == "http" or endpoint.startswith("http://") else {}
    return config, client


def _root(url: str) -> str:
    """The part of a URL its store is made for: scheme and bucket (or host)."""
    scheme, rest = url.split("://", 1)
    return "%s://%s" % (scheme, rest.split("/", 1)[0])


#: The registry of the run: one store per scheme and bucket or host.
_REGISTRY: Dict[str, Any] = {}


def _registry(url: str) -> Any:
    from obspec_utils.registry import ObjectStoreRegistry

    if not is_url(url):
        from obstore.store import LocalStore

        return ObjectStoreRegistry({"file:///": LocalStore()})
    root = _root(url)
    registry = _REGISTRY.get(root)
    if registry is None:
        from obstore.store import from_url

        scheme = root.split("://", 1)[0].lower()
        config, client = _store_config(scheme, storage_options())
        made: Dict[str, Any] = {"config": config or None, "client_options": client or None}
        try:
            store = from_url(root, **made)
        except Exception as exc:  # obstore's own errors: a bucket or option it refuses
            raise CommandError("%s: %s" % (url, exc))
        registry = _REGISTRY[root] = ObjectStoreRegistry({root: store})
    return registry


def _open_virtual(path: str, block: Any) -> Any:
    """The virtual Dataset of one file or URL (values referenced, the rest in memory)."""
    from ..virtual import VellParser

    return VellParser(block=block, blocks=False).virtual_dataset(_url(path), _registry(path))


def _problem(path: str, exc: BaseException) -> str:
    """What went wrong with a file, naming it as it was given (not as its URL)."""
    name = shown(path)
    text = str(exc.args[0] if isinstance(exc, KeyError) and exc.args else exc).replace(_url(path), name)
    if text.endswith(_NOT_VELL):
        return "%s: not a VELL file (%s)" % (name, _not_vell_why(path))
    return text if text.startswith(name) else "%s: %s" % (name, text)


def _difference(vds: Any, first: Any) -> Optional[str]:
    """Why ``vds`` cannot be stacked on ``first``: None when it can."""
    import numpy as np

    if list(vds.data_vars) != list(first.data_vars):
        return "its block holds %s, the first file's %s" % (", ".join(map(str, vds.data_vars)),
                                                             ", ".join(map(str, first.data_vars)))
    for name, variable in first.data_vars.items():
        if vds[name].dims != variable.dims or vds[name].shape != variable.shape:
            return "its %s is %s, the first file's %s" % (
                name, dict(zip(vds[name].dims, vds[name].shape)), dict(zip(variable.dims, variable.shape)))
        mine, theirs = vds[name].data, variable.data
        if mine.chunks != theirs.chunks or mine.dtype != theirs.dtype:
            return "its %s is laid out in other chunks" % name
    for name, coord in first.coords.items():
        if name not in vds.coords:
            return "it has no coordinate %s" % name
        a, b = np.asarray(vds[name].values), np.asarray(coord.values)
        if a.shape != b.shape or a.dtype != b.dtype or (
                a.tolist() != b.tolist() if a.dtype.kind == "O" else a.tobytes() != b.tobytes()):
            return "coordinate %s differs from the first file's" % name
    return None


def _combined(paths: List[str], datasets: List[Any], dim: str) -> Any:
    import numpy as np
    import xarray as xr

    if len(datasets) == 1:
        return datasets[0]
    for ds in datasets:
        if dim in ds.dims or dim in ds.variables:
            raise CommandError("--concat-dim %s is already a dimension or variable of the files" % dim)
    stacked = xr.concat(datasets, dim=dim, coords="minimal", compat="override", join="override",
                        combine_attrs="drop_conflicts")
    names = np.array([url_name(p) if is_url(p) else os.path.basename(p) for p in paths],
                     dtype=np.dtypes.StringDType())
    # CF's global attributes of the stack, as the engine gives them for many files.
    what = str(datasets[0].attrs.get("title", "")).rsplit(" of ", 1)[0]
    stacked.attrs.update({"title": "%s of %d files" % (what, len(paths)),
                          "source": "%d VELL data files, the first %s" % (len(paths), names[0]),
                          "history": "%d files referenced and stacked along %s by vellkit_tools" % (len(paths), dim)})
    return stacked.assign_coords(file=(dim, names, {"long_name": "VELL file of each index along %s" % dim}))


def chunk_prefix(paths: List[str]) -> str:
    """The URL prefix of the files' virtual chunks: their common folder
    (for URLs, the common folder of their paths in one bucket)."""
    urls = [p for p in paths if is_url(p)]
    if urls and len(urls) < len(paths):
        raise ValueError("an Icechunk repository here reads virtual chunks of local files or of URLs, not both")
    if urls:
        roots = {_root(p) for p in paths}
        if len(roots) > 1:
            raise ValueError("the URLs are in %d buckets (%s): an Icechunk repository here reads virtual "
                             "chunks of one" % (len(roots), ", ".join(sorted(roots))))
        root = roots.pop()
        folders = [p[len(root):].rsplit("/", 1)[0] for p in paths]
        common = os.path.commonpath(folders) if all(folders) else ""
        return root + common.rstrip("/") + "/"
    common = os.path.commonpath([os.path.dirname(os.path.abspath(p)) for p in paths])
    return Path(common).as_uri().rstrip("/") + "/"


def _chunk_store(prefix: str) -> Any:
    """Icechunk's configuration of the store its virtual chunks are read from."""
    import icechunk

    scheme = prefix.split("://", 1)[0].lower()
    if scheme == "file":
        return icechunk.local_filesystem_store(prefix[len("file://"):])
    if scheme not in ("s3", "s3a"):
        raise ValueError("an Icechunk repository reads virtual chunks from local files and s3:// URLs, not %s://"
                         % scheme)
    config, client = _store_config(scheme, storage_options())
    endpoint = config.get("endpoint") or os.environ.get("AWS_ENDPOINT_URL") or None
    region = config.get("region") or os.environ.get("AWS_REGION") or os.environ.get("AWS_DEFAULT_REGION")
    # An endpoint of its own is an S3-compatible server, addressed by path
    # (a bucket name as a host name reaches no loopback or private server).
    return icechunk.s3_store(region=region, endpoint_url=endpoint, allow_http=bool(client.get("allow_http")),
                             anonymous=bool(config.get("skip_signature")), s3_compatible=bool(endpoint),
                             force_path_style=bool(endpoint))


def _write_icechunk(vds: Any, folder: str, message: str, prefix: str, parsed_at: Any) -> None:
    import icechunk

    icechunk.set_logs_filter("error")  # not its warning that a local repository takes one writer at a time
    # Icechunk reads virtual chunks only under a prefix the repository names (and a reader allows).
    config = icechunk.RepositoryConfig.default()
    config.set_virtual_chunk_container(icechunk.VirtualChunkContainer(prefix, _chunk_store(prefix)))
    repo = icechunk.Repository.create(icechunk.local_filesystem_storage(folder), config)
    session = repo.writable_session("main")
    from ..virtual import quiet_when_loaded

    with quiet_when_loaded():
        # Chunks of a file modified after it was parsed are refused when read, not read as other values.
        vds.vz.to_icechunk(session.store, last_updated_at=parsed_at)
    session.commit(message)


def write_store(vds: Any, target: str, fmt: str, paths: List[str], message: str = "virtual references",
                parsed_at: Any = None) -> None:
    """Write the virtual Dataset ``vds`` of ``paths`` to ``target`` in
    ``fmt``, whole or not at all. ``parsed_at`` (a UTC datetime, by default
    now): when the files were parsed; an Icechunk store refuses chunks of a
    file modified after the end of that second."""
    import datetime

    parsed_at = parsed_at or datetime.datetime.now(datetime.timezone.utc)
    # Icechunk keeps whole seconds: a file written earlier in the same second must still read.
    parsed_at = parsed_at.replace(microsecond=0) + datetime.timedelta(seconds=1)
    from ..virtual import kerchunk_references

    if fmt == "kerchunk":
        data = json.dumps(kerchunk_references(vds), separators=(",", ":")).encode()
        with atomic_write(target) as out:
            out.write(data)
        return
    with atomic_output(target, folder=True) as temporary:
        if fmt == "parquet":
            from kerchunk.df import refs_to_dataframe  # type: ignore[import-untyped]

            os.rmdir(temporary)  # the Parquet writer makes its own folder
            with warnings.catch_warnings():
                # pandas deprecates the Parquet engine Kerchunk's writer asks
                # for by name; what it writes is the same.
                warnings.filterwarnings("ignore", message=".*'fastparquet' engine is deprecated")
                refs_to_dataframe(kerchunk_references(vds), temporary)
        else:
            _write_icechunk(vds, temporary, message, chunk_prefix(paths), parsed_at)


def run(args: argparse.Namespace) -> int:
    _need(args.format)
    target = args.to
    if os.path.lexists(target) and not args.force:
        raise CommandError("%s exists already: use --force to replace it" % target)
    # The stores are made afresh for each run's options; an option they cannot take is refused once, up front.
    _REGISTRY.clear()
    for scheme in sorted({f.split("://", 1)[0].lower() for f in args.files if is_url(f)}):
        _store_config(scheme, storage_options())
        if args.format == "icechunk" and scheme not in ("s3", "s3a"):
            raise CommandError("--format icechunk reads virtual chunks from local files and s3:// URLs, "
                               "not %s:// URLs: write kerchunk or parquet references instead" % scheme)
    opened: Dict[str, Any] = {}
    first: List[Any] = []

    def work(path: str, outcome: Outcome) -> None:
        try:
            vds = _open_virtual(path, args.block)
        except (ValueError, OSError, KeyError, IndexError, MemoryError) as exc:
            outcome.problems.append(_problem(path, exc))
            return
        if first:
            why = _difference(vds, first[0][1])
            if why:
                outcome.problems.append("%s: %s (%s)" % (path, why, first[0][0]))
                return
        else:
            first.append((path, vds))
        opened[path] = vds

    import datetime

    # Before the first file is read: a file changed during the run is then refused too.
    started = datetime.datetime.now(datetime.timezone.utc)
    files, outcomes = inputs(args)
    for outcome in outcomes:
        error(outcome.problems[0])
    outcomes += run_per_file(files, work, "virtualizing")
    good = [p for p in files if p in opened]
    if good:
        vds = _combined(good, [opened[p] for p in good], args.concat_dim)
        try:
            write_store(vds, target, args.format, good, "%d VELL file%s" % (len(good), "" if len(good) == 1 else "s"),
                        started)
        except (OSError, ValueError, TypeError, ImportError) as exc:
            raise CommandError("%s: cannot write the store: %s" % (target, exc)) from exc
        print("%s: %d file%s in %s" % (escape(target), len(good), "" if len(good) == 1 else "s", args.format))
        sys.stdout.flush()
    elif not outcomes:
        raise CommandError("no files to virtualize")
    return finish(outcomes, NAME)
