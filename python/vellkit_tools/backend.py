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
from typing import Any, Dict, Iterable, Optional

try:
    import xarray as xr
    from xarray.backends import BackendEntrypoint
except ImportError as error:  # pragma: no cover - exercised without xarray
    raise ImportError(
        "vellkit_tools.backend needs xarray: install it with pip install \"vellkit[xarray]\"") from error

import vellkit

from vellkit_tools import accessor  # noqa: F401  (registers ds.vell)
from vellkit_tools._engine.blocks import Block, Identity, _shown, default_block, require_dask
from vellkit_tools._engine.dataset import _BUILDERS, _TIME_ATTRS, _drop, dataset_from_plan, open_block
from vellkit_tools._engine.lazy import RecordArray, ValuesArray
from vellkit_tools._engine.many import open_mfdataset
from vellkit_tools._engine.tree import open_datatree

__all__ = ["VellBackendEntrypoint", "RecordArray", "open_block", "default_block", "open_dataset",
           "open_mfdataset", "open_datatree", "require_dask"]


def _is_path(filename_or_obj: Any) -> bool:
    return isinstance(filename_or_obj, (str, bytes, os.PathLike))


def _nothing_to_close() -> None:
    pass


class VellBackendEntrypoint(BackendEntrypoint):
    """``xarray.open_dataset(path, engine="vell", block=None)``: VELL data files.

    ``block`` is a block request in any spelling the command takes
    (``("AB", "3D", "NONE")``, ``"AB/3D/NONE"``, ``"TRC"``, ``("ab", "3d",
    "3der")``); by default the original (NONE) block of the first data
    type with data (:func:`default_block`). Files
    are recognised by ``vellkit.isVellFile``, whatever their name.

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
                               "mask_and_scale", "use_cftime", "decode_coords", "concat_characters")
    supports_groups = True

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                     block: Optional[Any] = None, decode_times: Any = None, decode_timedelta: Any = None,
                     mask_and_scale: Any = None, use_cftime: Any = None, decode_coords: Any = None,
                     concat_characters: Any = None) -> xr.Dataset:
        if not _is_path(filename_or_obj):
            raise TypeError("the vell engine opens files by path, not %s" % type(filename_or_obj).__name__)
        dataset = _drop(open_block(filename_or_obj, block, bool(decode_timedelta)), drop_variables)
        # Nothing stays open between reads; xarray still expects a closer.
        dataset.set_close(_nothing_to_close)
        return dataset

    def open_datatree(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                      decode_times: Any = None, decode_timedelta: Any = None, mask_and_scale: Any = None,
                      use_cftime: Any = None, decode_coords: Any = None, concat_characters: Any = None) -> Any:
        if not _is_path(filename_or_obj):
            raise TypeError("the vell engine opens files by path, not %s" % type(filename_or_obj).__name__)
        return open_datatree(filename_or_obj, bool(decode_timedelta), drop_variables)

    def open_groups_as_dict(self, filename_or_obj: Any, **kwargs: Any) -> Dict[str, xr.Dataset]:
        tree = self.open_datatree(filename_or_obj, **kwargs)
        return {node.path: node.to_dataset() for node in tree.subtree}

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        if not _is_path(filename_or_obj):
            return False
        try:
            return bool(vellkit.isVellFile(_shown(filename_or_obj)))
        except (OSError, ValueError, TypeError):
            return False


def open_dataset(path: Any, block: Optional[Any] = None, chunks: Optional[Any] = None,
                 **kwargs: Any) -> xr.Dataset:
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

    To compute on part of a big map, select first and chunk after:
    ``open_dataset(path).spectra.sel(spectral=slice(1700, 1600)).chunk({"y": 16})``
    reads only the band, chunk by chunk; chunking first may make Dask read
    whole chunks before it selects.
    """
    if chunks is not None:
        require_dask()
    return xr.open_dataset(path, engine=VellBackendEntrypoint, block=block, chunks=chunks, **kwargs)
