"""Output files of ``vellkit export``: one writer per format, each taking one result."""

import json
import os
from collections import OrderedDict
from typing import Any, Callable, Dict, List, Sequence, Tuple

import numpy as np

from ._common import kind_of, param_label, plain, summarize

EXTENSIONS = {"csv": "csv", "npz": "npz", "netcdf": "nc", "json": "json"}
IMAGE_EXTENSIONS = {"bmp": "bmp", "jpeg": "jpg", "png": "png", "gif": "gif", "tiff": "tif"}


def _header(path: str, triple: Sequence[str], result: Any) -> List[str]:
    info = summarize(result)
    lines = ["file: %s" % os.path.basename(path), "block: %s" % " ".join(triple),
             "kind: %s" % info["kind"]]
    x = info["x"]
    if x["unit"]:
        lines.append("x unit: %s (%s)" % (x["unit"], x["name"]))
    for k, v in result.parameters.items():
        label = param_label(str(k))
        lines.append("%s = %s%s" % (k, plain(v), ("  (%s)" % label) if label else ""))
    return lines


def _x_name(result: Any) -> str:
    info = summarize(result)["x"]
    return "x (%s)" % info["unit"] if info["unit"] else "x"


def _fmt_axis(values: np.ndarray) -> List[str]:
    return ["%.10g" % v for v in np.asarray(values, dtype=np.float64)]


def table(result: Any) -> Tuple[List[str], np.ndarray, List[str]]:
    """(column names, 2D float array, extra header lines) of a result laid out as a table.

    Spectra and traces over x are columns beside x; maps, series and regions
    have one row per position or time step and one column per x point (or
    per trace), after their coordinate columns.
    """
    kind = kind_of(result)
    x = np.asarray(result.x, dtype=np.float64)
    if kind == "spectrum":
        return [_x_name(result), str(result.dataType)], np.column_stack([x, result.y]), []
    if kind == "time-resolved traces":
        traces = np.asarray(result.traces, dtype=np.float64).reshape(len(result.labels), -1)
        return [_x_name(result)] + [str(s) for s in result.labels], np.column_stack([x, traces.T]), []
    if kind in ("image map", "image trace map"):
        mx, my = np.meshgrid(np.asarray(result.mapX, float), np.asarray(result.mapY, float))
        values = np.asarray(result.spectra if kind == "image map" else result.traces)
        values = values.reshape(mx.size, -1)
        names = _fmt_axis(x) if kind == "image map" else [str(s) for s in result.labels]
        return ["map_x", "map_y"] + names, np.column_stack([mx.ravel(), my.ravel(), values]), []
    if kind == "time series":
        return (["time"] + _fmt_axis(x),
                np.column_stack([np.asarray(result.z, float), np.asarray(result.spectra)]), [])
    # multi-region map or traces: region number, coordinates, start time, values
    traces = kind == "multi-region traces"
    names = [str(s) for s in result.labels] if traces else _fmt_axis(x)
    width = len(names)
    rows, extra = [], []
    for number, region in enumerate(result.regions, 1):
        spectra = np.asarray(region.spectra, dtype=np.float64).reshape(-1, width)
        n = spectra.shape[0]
        start = (np.full(n, np.nan) if region.start_time is None
                 else np.asarray(region.start_time, dtype=np.float64))
        rows.append(np.column_stack([np.full(n, number), np.asarray(region.mapX, float),
                                     np.asarray(region.mapY, float), start, spectra]))
        extra.append("region %d: %s" % (number, region.title))
    data = np.concatenate(rows, axis=0) if rows else np.zeros((0, 4 + width))
    return ["region", "map_x", "map_y", "start_time"] + names, data, extra


def write_csv(out, path: str, triple: Sequence[str], result: Any) -> None:
    names, data, extra = table(result)
    header = _header(path, triple, result) + extra + [",".join(names)]
    with open(out, "w", newline="") as f:
        np.savetxt(f, data, delimiter=",", fmt="%.9g", header="\n".join(header), comments="# ")


def arrays(result: Any) -> "OrderedDict[str, np.ndarray]":
    """The named arrays of a result, as stored in NPZ files."""
    out: "OrderedDict[str, np.ndarray]" = OrderedDict()
    out["x"] = np.asarray(result.x)
    for name, attr in (("y", "y"), ("map_x", "mapX"), ("map_y", "mapY"), ("z", "z"),
                       ("spectra", "spectra"), ("traces", "traces")):
        if hasattr(result, attr) and not hasattr(result, "regions"):
            out[name] = np.asarray(getattr(result, attr))
    if hasattr(result, "labels"):
        out["labels"] = np.array([str(s) for s in result.labels], dtype=str)
    if hasattr(result, "regions"):
        regions = list(result.regions)
        out["region_titles"] = np.array([str(r.title) for r in regions], dtype=str)
        for k, region in enumerate(regions):
            out["region%d_map_x" % k] = np.asarray(region.mapX)
            out["region%d_map_y" % k] = np.asarray(region.mapY)
            if region.start_time is not None:
                out["region%d_start_time" % k] = np.asarray(region.start_time)
            out["region%d_%s" % (k, "traces" if hasattr(result, "labels") else "spectra")] = \
                np.asarray(region.spectra)
    return out


def _parameters_json(result: Any) -> str:
    return json.dumps(OrderedDict((str(k), plain(v)) for k, v in result.parameters.items()))


def write_npz(out, path: str, triple: Sequence[str], result: Any) -> None:
    data = arrays(result)
    data["block"] = np.array(list(triple), dtype=str)
    data["parameters_json"] = np.array(_parameters_json(result))
    with open(out, "wb") as f:
        np.savez(f, **data)


def write_json(out, path: str, triple: Sequence[str], result: Any) -> None:
    doc: Dict[str, Any] = OrderedDict([("file", os.path.basename(path)), ("block", list(triple))])
    doc.update(summarize(result))
    doc["parameters"] = OrderedDict((str(k), plain(v)) for k, v in result.parameters.items())
    doc["data"] = OrderedDict((name, values.tolist()) for name, values in arrays(result).items())
    with open(out, "w") as f:
        json.dump(doc, f, allow_nan=True)


WRITERS: Dict[str, Callable] = {"csv": write_csv, "npz": write_npz, "json": write_json}


def image_outputs(stem: str, number: int, image: Dict[str, Any]) -> Tuple[str, str]:
    """(picture file name or "", attribute JSON file name) of a visible image."""
    base = "%s_image%02d" % (stem, number)
    picture = ""
    if "image" in image:
        picture = base + "." + IMAGE_EXTENSIONS.get(str(image.get("imgext")), "bin")
    return picture, base + ".json"


def image_attributes(image: Dict[str, Any]) -> str:
    return json.dumps(OrderedDict((str(k), plain(v)) for k, v in image.items() if k != "image"),
                      indent=2)
