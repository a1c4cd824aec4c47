"""A whole file as a DataTree: its data blocks, annotation tables and visible images."""

from typing import Any, Dict, Hashable, Mapping, Optional, Tuple, cast

import numpy as np
import vellkit
import xarray as xr
from xarray.backends import BackendArray
from xarray.core import indexing

from vellkit_tools import _native, kinds
from vellkit_tools._engine.blocks import Block, _has_data, _shown, open_target
from vellkit_tools._engine.dataset import _drop, dataset_from_plan
from vellkit_tools.remote import ByteSource

#: Modes whose pixels are kept as Pillow decodes them; others become RGB.
_KEPT_MODES = {"L": 1, "RGB": 3, "RGBA": 4}


def _decode_image(data: bytes) -> np.ndarray:
    """The pixels of an image's bytes (``L``, ``RGB`` or ``RGBA``; other modes as RGB)."""
    import io
    from PIL import Image
    with Image.open(io.BytesIO(data)) as picture:
        return np.asarray(picture if picture.mode in _KEPT_MODES else picture.convert("RGB"))


class PixelsArray(BackendArray):
    """The pixels of a visible image, decoded from its bytes (held: they are
    no larger than the file) each time they are indexed, never at open."""

    def __init__(self, data: bytes, shape: Tuple[int, ...], where: str):
        self.data = bytes(data)
        self.shape = shape
        self.dtype = np.dtype(np.uint8)
        self.where = where

    def __getitem__(self, key: indexing.ExplicitIndexer) -> np.ndarray:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: Tuple[Any, ...]) -> np.ndarray:
        try:
            pixels = _decode_image(self.data)
        except (OSError, ValueError, SyntaxError) as error:
            raise ValueError("%s: the pixels cannot be decoded: %s" % (self.where, error)) from error
        if pixels.shape != self.shape or pixels.dtype != self.dtype:
            raise ValueError("%s: the pixels decode as %s %s, not the %s its header says"
                             % (self.where, pixels.dtype, pixels.shape, self.shape))
        return pixels[key]


def _image_node(image: Mapping[str, Any], where: str, memory_limit: int) -> xr.Dataset:
    """A visible image (a ``vellkit.getVisImages`` entry) as a Dataset: its
    attributes, and, where Pillow is installed and reads its header, a lazy
    ``pixels`` variable (decoded when its values are asked for). An image
    whose header Pillow refuses, or whose pixels would take more than the
    file's memory limit, has ``pixels_error`` instead."""
    attrs = {str(k): v for k, v in image.items()
             if isinstance(v, (str, int, float)) and not isinstance(v, bool)}
    data = image.get("image")
    variables: Dict[Hashable, Any] = {}
    if isinstance(data, (bytes, bytearray)) and data:
        try:
            import io
            import warnings
            from PIL import Image
            with warnings.catch_warnings():
                # Pillow's warning of a large image: the memory limit below decides.
                warnings.simplefilter("ignore", Image.DecompressionBombWarning)
                with Image.open(io.BytesIO(data)) as picture:
                    width, height = picture.size
                    mode, bands = picture.mode, len(picture.getbands())
        except ImportError:
            return xr.Dataset(attrs=attrs)
        except Exception as error:  # noqa: BLE001  (any failure of the bytes: Pillow's own errors vary)
            attrs["pixels_error"] = "%s: %s" % (type(error).__name__, error)
            return xr.Dataset(attrs=attrs)
        channels = _KEPT_MODES.get(mode, 3)
        # Pillow holds up to four bytes a pixel while it decodes, then the array.
        needed = int(width) * int(height) * (max(4, bands) + channels)
        if memory_limit and needed > memory_limit:
            attrs["pixels_error"] = ("its %d x %d pixels would take %d bytes to decode, more than the "
                                     "memory limit of %d bytes (VELLKIT_MEMORY_LIMIT)"
                                     % (width, height, needed, memory_limit))
            return xr.Dataset(attrs=attrs)
        shape: Tuple[int, ...] = (int(height), int(width)) if channels == 1 else (int(height), int(width), channels)
        dims = ("row", "column") if channels == 1 else ("row", "column", "channel")
        array = indexing.LazilyIndexedArray(PixelsArray(data, shape, where))
        variables["pixels"] = xr.Variable(dims, array, {"long_name": "pixels of the image"})
    return xr.Dataset(variables, attrs=attrs)


def _annotation_node(path: Any, index: int) -> xr.Dataset:
    """An annotation block as a Dataset: one variable per column along
    ``row`` (its own ``<name>_row`` where tables differ in length); an empty
    node whose ``vellkit_problem`` says why when it cannot be read."""
    from vellkit_tools.annotations import annotation_columns
    try:
        columns = annotation_columns(path, index)
    except (ValueError, MemoryError, OSError) as error:
        return xr.Dataset(attrs={"vellkit_problem": str(error)})
    even = len({len(values) for _, values in columns}) <= 1
    # (A "/" cannot be in a tree's variable name; the attribute keeps the file's.)
    variables = {name.replace("/", "_"): ("row" if even else "%s_row" % name.replace("/", "_"), values,
                                          {"long_name": "annotation column %s" % name})
                 for name, values in columns}
    return xr.Dataset(variables, attrs={"long_name": "annotation table"})


def open_datatree(path: Any, decode_timedelta: bool = False, drop_variables: Optional[Any] = None,
                  storage_options: Optional[Mapping[str, Any]] = None) -> Any:
    """Every block of a VELL file as a node of an :class:`xarray.DataTree`.

    Data blocks are nodes named by their listing words (``AB_3D_NONE``,
    ``AB_3D_1DER``, ``TRC_3D_NONE``, a third derivative ``AB_3D_3DER``),
    each the Dataset :func:`open_dataset` gives for it (lazy); a block that
    cannot be read is an empty node whose ``vellkit_problem`` says why.
    Visible images are nodes ``image_0``, ``image_1``, ... with their
    attributes and, where Pillow is installed and reads them, a lazy
    ``pixels`` variable (row, column[, channel]), decoded when its values
    are asked for. An image whose bytes Pillow refuses, or whose pixels
    would take more than the file's memory limit (``VELLKIT_MEMORY_LIMIT``),
    has the attribute ``pixels_error`` saying why and no pixels; the other
    nodes open as ever. Annotation blocks are nodes ``annotation_0``, ...
    with one variable per column along ``row``
    (:func:`vellkit_tools.annotations.read_annotations` gives the same as a
    DataFrame).

    ``path`` may also be a URL (``s3://``, ``https://``, ``memory://``...,
    with fsspec's ``storage_options``) or an open binary file object: the
    blocks and tables read through ranges of it; its visible images are
    listed (title, size) with a ``pixels_error`` saying that pixels are read
    from local files only.
    """
    if not hasattr(xr, "DataTree"):
        raise NotImplementedError("open_datatree needs an xarray with DataTree (2024.10 or later); this is %s"
                                  % xr.__version__)
    path = open_target(path, storage_options)
    shown = _shown(path)
    nodes: Dict[str, xr.Dataset] = {"/": xr.Dataset(attrs={"Conventions": "CF-1.8"})}
    description = _native.describe_file(path)
    for described in description["blocks"]:
        if not _has_data(described):
            continue  # listed from a parameter block alone
        request = cast(Block, tuple(described["request"]))
        try:
            node = dataset_from_plan(path, _native.plan_block(path, request), decode_timedelta)
            node = _drop(node, drop_variables)
        except (ValueError, MemoryError, OSError) as error:
            node = xr.Dataset(attrs={"vellkit_block": " ".join(kinds.output_block(request)),
                                     "vellkit_problem": str(error)})
        nodes["/" + kinds.block_name(described["listed"])] = node
    offsets = [int(e["offset"]) for e in description["entries"] if e["what"] == "annotation table"]
    for k in range(len(offsets)):
        nodes["/annotation_%d" % k] = _annotation_node(path, k)
    if isinstance(path, ByteSource):
        # The images' bytes are read by path only: a URL's or file object's
        # images are listed from the headers, without their pixels.
        for k, listed in enumerate(description["images"]):
            nodes["/image_%d" % k] = xr.Dataset(attrs={
                "title": listed["title"], "size": int(listed["size"]),
                "pixels_error": "the pixels of an image are read from local files only"})
        return xr.DataTree.from_dict(nodes)
    try:
        images = vellkit.getVisImages(shown)
    except (ValueError, KeyError, IndexError, TypeError) as error:
        raise ValueError("%s: %s" % (shown, error)) from error
    for k, image in enumerate(images):
        nodes["/image_%d" % k] = _image_node(image, "%s: image %d" % (shown, k), int(description["memory_limit"]))
    return xr.DataTree.from_dict(nodes)
