"""Transitional: the plans and reads of ``vellkit_tools._native``'s interface
(``_native.pyi``) for a private module that does not have them yet.

The xarray engine calls :func:`describe_file`, :func:`plan_block` and the
reads below. Each hands the call to ``_native`` when it has the function;
until then it builds the same result from the module's older calls
(``describe`` and reads into caller buffers) and from ``vellkit``. This
module goes once ``_native`` has every function of its interface.
"""

import os
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

import vellkit

from vellkit_tools import _native, kinds

__all__ = ["describe_file", "plan_block", "read_points", "read_values", "read_times", "read_labels"]

_NATIVE_DESCRIBE = getattr(_native, "describe_file", None)
_NATIVE_PLAN = getattr(_native, "plan_block", None)
# The allocating reads that take an identity come together with read_values.
_NATIVE_READS = hasattr(_native, "read_values")

_MAPPING_NAMES = ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")


def _shown(path: Any) -> str:
    return os.fsdecode(os.fspath(path))


def _identity(path: str) -> Tuple[int, int, int, int]:
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _check_identity(path: Any, identity: Optional[Tuple[int, int, int, int]]) -> None:
    if identity is not None and _identity(_shown(path)) != tuple(identity):
        raise OSError("%s has changed since it was opened" % _shown(path))


def _naming_the_file(path: str, call: Any, *args: Any) -> Any:
    try:
        return call(path, *args)
    except (ValueError, KeyError, IndexError, TypeError, ZeroDivisionError) as error:
        text = error.args[0] if isinstance(error, KeyError) and error.args else error
        raise ValueError("%s: %s" % (path, text)) from error


def describe_file(path: Any) -> Dict[str, Any]:
    if _NATIVE_DESCRIBE is not None:
        return _NATIVE_DESCRIBE(path)
    shown = _shown(path)
    identity = _identity(shown)
    blocks = []
    for listed in _naming_the_file(shown, vellkit.listContents):
        request = (listed[0], listed[1], kinds.request_word(listed[2]))
        entry = {"listed": tuple(listed), "request": request, "kind": None, "shape": None,
                 "parameters": [], "problem": None}
        try:
            plan = plan_block(shown, request)
            entry["kind"], entry["parameters"] = plan["kind"], plan["parameters"]
        except (ValueError, MemoryError) as error:
            if "no data block" not in str(error):
                entry["problem"] = str(error)
        blocks.append(entry)
    return {"file_size": identity[2], "identity": identity, "problems": [], "entries": [], "blocks": blocks,
            "images": []}


def _count(parameters: Dict[str, Any], name: str, path: str) -> int:
    try:
        value = parameters[name]
    except KeyError:
        raise ValueError("%s: the block has no parameter %s" % (path, name)) from None
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError("%s: parameter %s is %r, not a count" % (path, name, value))
    return value


def _number(parameters: Dict[str, Any], name: str, path: str) -> float:
    try:
        return parameters[name]
    except KeyError:
        raise ValueError("%s: the block has no parameter %s" % (path, name)) from None


def plan_block(path: Any, block: Tuple[str, str, str]) -> Dict[str, Any]:
    if _NATIVE_PLAN is not None:
        return _NATIVE_PLAN(path, block)
    shown = _shown(path)
    name, dims, deriv = block
    deriv = kinds.request_word(deriv)
    identity = _identity(shown)
    described = _native.describe(shown, name, dims, deriv)
    parameters: Dict[str, Any] = {}
    for records in described["parameter_blocks"]:
        parameters.update(records)
    original = described["original_parameters"]
    npt = _count(parameters, "NPT", shown)
    plan: Dict[str, Any] = {
        "request": (name, dims, deriv), "identity": identity, "file_size": described["file_size"],
        "memory_limit": described["memory_limit"], "original_parameters": original, "npt": npt,
        "values_offset": -1, "grid": None, "records": None, "regions": None}
    axis_values = npt
    if dims == "2D":
        plan["kind"] = "spectrum"
        plan["values_offset"] = described["data_offset"]
    else:
        offsets = described["record_offsets"]
        plan["records"] = {"offsets": offsets, "indices": described["record_indices"],
                           "block_size": described["block_size"], "info_size": described["info_size"]}
        trace = name == "TRC"
        if all(n in parameters for n in _MAPPING_NAMES):
            plan["kind"] = "image_traces" if trace else "image_map"
            grid = {n: parameters[n] for n in _MAPPING_NAMES}
            grid["from_original"] = False
            if deriv != "NONE" and (grid["NPX"] == 0 or grid["NPY"] == 0) and original is not None:
                values = dict(original)
                grid = {n: _number(values, n, shown) for n in _MAPPING_NAMES}
                grid["from_original"] = True
                parameters.update((n, grid[n]) for n in _MAPPING_NAMES)
            npx, npy = _count(grid, "NPX", shown), _count(grid, "NPY", shown)
            plan["grid"] = {"aox": grid["AOX"], "ddx": grid["DDX"], "npx": npx, "aoy": grid["AOY"],
                            "ddy": grid["DDY"], "npy": npy, "from_original": grid["from_original"]}
            axis_values += npx + npy
        elif described["annotation_offset"] != -1:
            plan["kind"] = "multi_region_traces" if trace else "multi_region"
            plan["regions"] = _regions(shown, plan["request"])
        else:
            plan["kind"] = "series_traces" if trace else "series"
        axis_values += len(offsets) // 8
    # Coordinates are kept twice by xarray (the variable and its index).
    needed = 16 * axis_values
    if needed > plan["memory_limit"]:
        raise MemoryError("%s: reading this file needs %d bytes of memory or more, past the limit of %d bytes "
                          "for a file of %d bytes; set VELLKIT_MEMORY_LIMIT to a larger size (such as 64G) to "
                          "read it" % (shown, needed, plan["memory_limit"], plan["file_size"]))
    plan["parameters"] = list(parameters.items())
    fxv, lxv = _number(parameters, "FXV", shown), _number(parameters, "LXV", shown)
    plan["x"] = (fxv, lxv, npt)
    return plan


def _regions(path: str, block: Tuple[str, str, str]) -> List[Dict[str, Any]]:
    # Positions come from the annotation table, which only getVellData reads
    # here: the values are read whole (``records`` None, ``values`` given).
    import re
    result = _naming_the_file(path, vellkit.getVellData, block)
    regions = []
    for r in result.regions:
        match = re.match(r"^Region (-?\d+) \(", r.title)
        spectra = np.asarray(r.spectra, dtype=np.float32)
        regions.append({"group": int(match.group(1)) if match else -1, "title": r.title,
                        "map_x": np.asarray(r.mapX, np.float64).tobytes(),
                        "map_y": np.asarray(r.mapY, np.float64).tobytes(),
                        "start_time": None if r.start_time is None else
                        np.asarray(r.start_time, np.float64).tobytes(),
                        "records": None, "values": spectra})
    return regions


def read_points(path: Any, offsets: np.ndarray, npt: int, start: int, length: int,
                identity: Optional[Tuple[int, int, int, int]] = None) -> np.ndarray:
    if _NATIVE_READS:
        return _native.read_points(path, offsets, npt, start, length, identity)
    _check_identity(path, identity)
    out = np.empty((len(offsets), length), dtype=np.float32)
    _native.read_points(_shown(path), offsets, npt, start, length, out)
    return out


def read_values(path: Any, offset: int, npt: int,
                identity: Optional[Tuple[int, int, int, int]] = None) -> np.ndarray:
    if _NATIVE_READS:
        return _native.read_values(path, offset, npt, identity)
    return read_points(path, np.array([offset], dtype=np.int64), npt, 0, npt, identity)[0]


def read_times(path: Any, offsets: np.ndarray, npt: int,
               identity: Optional[Tuple[int, int, int, int]] = None) -> np.ndarray:
    if _NATIVE_READS:
        return _native.read_times(path, offsets, npt, identity)
    _check_identity(path, identity)
    out = np.empty(len(offsets), dtype=np.float64)
    _native.read_times(_shown(path), offsets, npt, out)
    return out


def read_labels(path: Any, offsets: np.ndarray, npt: int, info_size: int,
                identity: Optional[Tuple[int, int, int, int]] = None) -> List[str]:
    if _NATIVE_READS:
        return _native.read_labels(path, offsets, npt, info_size, identity)
    _check_identity(path, identity)
    return _native.read_labels(_shown(path), offsets, npt, info_size)
