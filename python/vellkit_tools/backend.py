"""An xarray backend for VELL data files: ``xarray.open_dataset(path, engine="vell")``.

Every kind of data block opens as a Dataset with fixed names, so code written
against one file works on every file:

================================  =============  ==========================
block kind                        data variable  dims
================================  =============  ==========================
2D spectrum                       ``spectrum``   (``spectral``,)
image map                         ``spectra``    (``y``, ``x``, ``spectral``)
trace image map                   ``traces``     (``trace``, ``y``, ``x``)
time-resolved series              ``spectra``    (``time``, ``spectral``)
time-resolved traces              ``traces``     (``trace``, ``spectral``)
multi-region map                  ``spectra``    (``position``, ``spectral``)
multi-region traces               ``traces``     (``trace``, ``position``)
================================  =============  ==========================

(The names and dimensions come from ``vellkit_tools.kinds``.) Coordinates:
``spectral`` (the block's x axis, where the kind has one), ``x`` and ``y``
(map axes), ``time`` (the series times), ``trace`` (trace labels) and, along
``position``, ``region``, ``group``, ``map_x``, ``map_y`` and (maps, not
traces) ``start_time``. Every parameter of the block is a Dataset attribute,
``vellkit_block`` holds the request triple joined by spaces, and the
metadata follow the CF conventions (``Conventions = "CF-1.8"``): the data
variable's ``long_name`` (its data type and derivative) and ``units``, and
udunits units on the axes (``"cm-1"``, ``"s"``; a series' ``ZTX`` text is
kept beside them).

Every kind is lazily indexed, from the block's plan (``_native.plan_block``:
its kind, axes, record layout and regions, read from the headers without
the values): opening reads the headers and the times or labels that are
coordinates, and a selection reads only the records and points it needs
(one spectrum out of any map reads one record), without the GIL. Each read
checks that the file is still the one opened (device, inode, size and
modification time): a replaced file raises OSError naming it.

``ds.vell.band_area(a, b)`` (:mod:`vellkit_tools.accessor`, registered on
import) gives the area of a band; :func:`open_datatree` every block and
visible image of a file; :func:`open_mfdataset` the same block of many files.
"""

import os
import re
from typing import Any, Dict, Iterable, Mapping, Optional

try:
    import xarray as xr
    from xarray.backends import BackendEntrypoint
except ImportError as error:  # pragma: no cover - exercised without xarray
    raise ImportError(
        "vellkit_tools.backend needs xarray: install it with pip install \"vellkit[xarray]\"") from error

import vellkit

from vellkit_tools import accessor  # noqa: F401  (registers ds.vell)
from vellkit_tools import remote
from vellkit_tools._engine.blocks import Block, Identity, _shown, default_block, open_target, require_dask
from vellkit_tools._engine.dataset import _BUILDERS, _TIME_ATTRS, _drop, dataset_from_plan, open_block
from vellkit_tools._engine.lazy import RecordArray, ValuesArray
from vellkit_tools._engine.many import open_mfdataset
from vellkit_tools._engine.tree import open_datatree

__all__ = ["VellBackendEntrypoint", "RecordArray", "open_block", "default_block", "open_dataset",
           "open_mfdataset", "open_datatree", "require_dask"]


def _is_path(filename_or_obj: Any) -> bool:
    return isinstance(filename_or_obj, (str, bytes, os.PathLike))


#: Names of VELL files: ``.vell``, or the instrument software's numbered
#: copies (``sample.0``, ``sample.12``).
_NAMED_VELL = re.compile(r"\.(vell|[0-9]+)$", re.IGNORECASE)


def _options(storage_options: Optional[Mapping[str, Any]], kwargs: Dict[str, Any]) -> Optional[Mapping[str, Any]]:
    """``storage_options`` given as a keyword or inside ``backend_kwargs``
    (taken out of ``kwargs``), as xarray's own engines take them."""
    backend_kwargs = dict(kwargs.pop("backend_kwargs", None) or {})
    inner = backend_kwargs.pop("storage_options", None)
    if backend_kwargs:
        kwargs["backend_kwargs"] = backend_kwargs
    if storage_options and inner and dict(storage_options) != dict(inner):
        raise ValueError("storage_options given twice, differently (as a keyword and in backend_kwargs)")
    return storage_options or inner


def _nothing_to_close() -> None:
    pass


class VellBackendEntrypoint(BackendEntrypoint):
    """``xarray.open_dataset(path, engine="vell", block=None)``: VELL data files.

    ``block`` is a block request in any spelling the command takes
    (``("AB", "3D", "NONE")``, ``"AB/3D/NONE"``, ``"TRC"``, ``("ab", "3d",
    "3der")``); by default the original (NONE) block of the first data
    type with data (:func:`default_block`). Files
    are recognised by ``vellkit.isVellFile``, whatever their name; URLs by
    their name (``.vell``, or a number: ``sample.0``), not fetched.

    ``filename_or_obj`` is a path, a URL fsspec reads (``s3://``,
    ``https://``, ``memory://``, ``file://``) or an open binary file object;
    ``storage_options`` (a keyword, or in ``backend_kwargs``) go to fsspec.
    Every lazy read first checks that the object is still the one opened
    (size and ETag or modification time): OSError naming the URL otherwise.

    The keywords every engine takes are accepted: ``decode_timedelta=True``
    makes a series' ``time`` a timedelta64 coordinate (when ``ZTX`` names a
    time unit); ``decode_times``, ``mask_and_scale``, ``use_cftime``,
    ``decode_coords`` and ``concat_characters`` have nothing to act on (no
    dates, fill values, scale factors, cell bounds or character arrays in
    the format) and change nothing.
    """

    description = "VELL spectrometer data files, read with vellkit"
    url = "https://pypi.org/project/vellkit/"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "block", "decode_times", "decode_timedelta",
                               "mask_and_scale", "use_cftime", "decode_coords", "concat_characters",
                               "storage_options")
    supports_groups = True

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                     block: Optional[Any] = None, decode_times: Any = None, decode_timedelta: Any = None,
                     mask_and_scale: Any = None, use_cftime: Any = None, decode_coords: Any = None,
                     concat_characters: Any = None, storage_options: Optional[Mapping[str, Any]] = None
                     ) -> xr.Dataset:
        # (xarray hands backend_kwargs over as keywords: storage_options arrives either way.)
        target = open_target(filename_or_obj, storage_options)
        dataset = _drop(open_block(target, block, bool(decode_timedelta)), drop_variables)
        if isinstance(target, remote.ByteSource):
            dataset.encoding["source"] = target.name
        # Nothing stays open between reads; xarray still expects a closer.
        dataset.set_close(_nothing_to_close)
        return dataset

    def open_datatree(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                      decode_times: Any = None, decode_timedelta: Any = None, mask_and_scale: Any = None,
                      use_cftime: Any = None, decode_coords: Any = None, concat_characters: Any = None,
                      storage_options: Optional[Mapping[str, Any]] = None) -> Any:
        return open_datatree(filename_or_obj, bool(decode_timedelta), drop_variables, storage_options)

    def open_groups_as_dict(self, filename_or_obj: Any, **kwargs: Any) -> Dict[str, xr.Dataset]:
        tree = self.open_datatree(filename_or_obj, **kwargs)
        return {node.path: node.to_dataset() for node in tree.subtree}

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if isinstance(filename_or_obj, remote.ByteSource):
            return True
        if remote.is_url(filename_or_obj):
            # Not fetched to be guessed: a URL is taken by its name.
            return bool(_NAMED_VELL.search(filename_or_obj.split("?", 1)[0].split("#", 1)[0]))
        filename_or_obj = remote.local_path(filename_or_obj) or filename_or_obj
        if not _is_path(filename_or_obj):
            return False
        try:
            return bool(vellkit.isVellFile(_shown(filename_or_obj)))
        except (OSError, ValueError, TypeError):
            return False


def open_dataset(path: Any, block: Optional[Any] = None, chunks: Optional[Any] = None,
                 storage_options: Optional[Mapping[str, Any]] = None, **kwargs: Any) -> xr.Dataset:
    """Open one data block of a VELL file as an :class:`xarray.Dataset`.

    ``block`` is a block request in any spelling (``("AB", "3D", "NONE")``,
    ``"AB/3D/NONE"``, ``"TRC"``); by default the original (NONE) block of
    the first data type with data (:func:`default_block`). ``chunks`` as
    for :func:`xarray.open_dataset`: ``None`` gives lazily indexed
    numpy-backed variables, ``{}`` Dask arrays in chunks of
    whole records (the ``preferred_chunks`` of each variable's encoding),
    ``{"y": 16}`` chunks of your choosing (needs the ``dask`` extra). Other
    keywords go to :func:`xarray.open_dataset` (see
    :class:`VellBackendEntrypoint` for the decoding keywords).

    ``path`` may be a URL (with fsspec's ``storage_options``, given here or
    in ``backend_kwargs``) or an open binary file object; Dask's task names
    then come from the URL and the version of the object opened.

    To compute on part of a big map, select first and chunk after:
    ``open_dataset(path).spectra.sel(spectral=slice(1700, 1600)).chunk({"y": 16})``
    reads only the band, chunk by chunk; chunking first may make Dask read
    whole chunks before it selects.
    """
    if chunks is not None:
        require_dask()
    # A URL or file object is opened here, so that Dask's task names come
    # from the object and the version of it opened (remote.ByteSource).
    target = open_target(path, _options(storage_options, kwargs))
    return xr.open_dataset(target, engine=VellBackendEntrypoint, block=block, chunks=chunks, **kwargs)
