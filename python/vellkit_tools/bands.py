"""The area of a band: one rule for the chemical images of the xarray
accessor (``ds.vell.band_area``) and of ``vellkit preview --band``.

The area is the trapezoid integral over the points of the axis that lie
between the two bounds (inclusive, in either order), taken from the lower to
the higher axis value whatever the axis's direction: from zero, or with
``baseline=True`` from the straight line between the band's end points (the
values at its first and last points), the usual chemical-image recipe.
"""

from typing import Any, Hashable, Tuple

import numpy as np

__all__ = ["band_points", "band_area"]


def band_points(axis: Any, a: float, b: float, dim: Hashable = "x") -> Tuple[float, float, np.ndarray]:
    """The bounds in increasing order and the indices of the points of
    ``axis`` between them; ValueError when fewer than two points lie there."""
    axis = np.asarray(axis, dtype=np.float64)
    lo, hi = sorted((float(a), float(b)))
    inside = np.flatnonzero((axis >= lo) & (axis <= hi))
    if len(inside) < 2:
        raise ValueError("the band %g to %g holds %d point(s) of the %s axis (%g to %g); it needs two"
                         % (lo, hi, len(inside), dim, axis[0] if len(axis) else np.nan,
                            axis[-1] if len(axis) else np.nan))
    return lo, hi, inside


def band_area(axis: Any, values: Any, a: float, b: float, dim: Hashable = "x",
              baseline: bool = False) -> np.ndarray:
    """The band area along the last axis of ``values`` (in memory), in float64;
    with ``baseline`` above the line between the band's end points."""
    axis = np.asarray(axis, dtype=np.float64)
    _, _, inside = band_points(axis, a, b, dim)
    x = axis[inside]
    y = np.asarray(values, dtype=np.float64)[..., inside]
    area = ((y[..., 1:] + y[..., :-1]) * (np.diff(x) / 2)).sum(axis=-1)
    if baseline:  # the trapezoid under the line from (x0, y0) to (xn, yn)
        area = area - (y[..., 0] + y[..., -1]) * ((x[-1] - x[0]) / 2)
    return -area if x[-1] < x[0] else area
