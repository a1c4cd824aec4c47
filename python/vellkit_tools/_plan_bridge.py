"""Transitional: the region plan of multi-region blocks, until
``_native.plan_block`` gives it (``plan["regions"]``).

:func:`plan_block` is ``_native.plan_block``; where the plan of a
multi-region block has no regions yet, they are built from
``vellkit.getVellData``'s result, with the values read whole (``records``
None, ``values`` given). This module goes once the private module plans
regions itself.
"""

import os
import re
from typing import Any, Dict, List, Tuple

import numpy as np

import vellkit

from vellkit_tools import _native

__all__ = ["plan_block"]

_REGION_TITLE = re.compile(r"^Region (-?\d+) \(")


def plan_block(path: Any, block: Tuple[str, str, str]) -> Dict[str, Any]:
    plan = _native.plan_block(path, block)
    if plan["kind"] in ("multi_region", "multi_region_traces") and plan.get("regions") is None:
        plan["regions"] = _regions(os.fsdecode(os.fspath(path)), tuple(plan["request"]))
    return plan


def _regions(path: str, block: Tuple[str, ...]) -> List[Dict[str, Any]]:
    try:
        result = vellkit.getVellData(path, block)
    except (ValueError, KeyError, IndexError, TypeError) as error:
        text = error.args[0] if isinstance(error, KeyError) and error.args else error
        raise ValueError("%s: %s" % (path, text)) from error
    regions = []
    for r in result.regions:
        match = _REGION_TITLE.match(r.title)
        regions.append({"group": int(match.group(1)) if match else -1, "title": r.title,
                        "map_x": np.asarray(r.mapX, np.float64).tobytes(),
                        "map_y": np.asarray(r.mapY, np.float64).tobytes(),
                        "start_time": None if r.start_time is None else
                        np.asarray(r.start_time, np.float64).tobytes(),
                        "records": None, "values": np.asarray(r.spectra, dtype=np.float32)})
    return regions
