"""The ``.vell`` accessor of xarray Datasets and DataArrays (registered when
``vellkit_tools.backend`` is imported): ``ds.vell.band_area(1700, 1600)``."""

from typing import Any, Hashable, Optional, Union

import numpy as np
import xarray as xr

from vellkit_tools.bands import band_points
from vellkit_tools.units import VALUE_UNITS

__all__ = ["VellAccessor", "band_area"]


def band_area(data: Union[xr.Dataset, xr.DataArray], a: float, b: float, dim: Hashable = "spectral",
              variable: Optional[Hashable] = None, baseline: bool = False) -> xr.DataArray:
    """The area of the band between ``a`` and ``b`` on the ``dim`` axis, at
    every other index (a chemical image for a map, one number for a spectrum).

    The area is the trapezoid integral of the values over the points of the
    axis that lie between the two bounds (inclusive, given in either order),
    taken from the lower to the higher axis value, whatever the direction of
    the axis: a band of positive values has a positive area on a descending
    wavenumber axis too. The area is measured from zero, or with
    ``baseline=True`` from the straight line between the band's end points
    (the values at its first and last points; the usual chemical-image
    recipe: a sloping background under the band is not counted).
    ``vellkit preview --band`` draws the same numbers.
    Values stay lazy: on Dask arrays the result is a Dask array.

    ``data`` is a DataArray, or a Dataset with one data variable (or name it
    with ``variable``). ValueError when fewer than two points of the axis lie
    in the band. The result is named ``band_area``; its ``units`` are the
    values' units times the axis's units.
    """
    if isinstance(data, xr.Dataset):
        if variable is None:
            names = [name for name in data.data_vars if dim in data[name].dims]
            if len(names) != 1:
                raise ValueError("band_area: name the variable (variable=...); the Dataset has %s along %r"
                                 % (names or "no variable", dim))
            variable = names[0]
        values = data[variable]
    else:
        values = data
    if dim not in values.dims:
        raise ValueError("band_area: %r is not a dimension of %s (dims %s)" % (dim, values.name, values.dims))
    axis = np.asarray(values[dim].values, dtype=np.float64)
    try:
        lo, hi, inside = band_points(axis, a, b, dim)
    except ValueError as error:
        raise ValueError("band_area: %s" % error) from None
    # A contiguous range (the axis is monotonic) reads as one span of each record.
    pick: Any = slice(int(inside[0]), int(inside[-1]) + 1) \
        if int(inside[-1]) - int(inside[0]) + 1 == len(inside) else inside
    # In float64, as vellkit_tools.bands computes it: the end points' line
    # taken in float32 loses digits that the difference of two areas shows.
    band = values.isel({dim: pick}).astype(np.float64)
    area = band.integrate(dim)
    if baseline:  # the trapezoid under the line between the end points, along the axis
        ends = band.isel({dim: 0}).drop_vars(dim) + band.isel({dim: -1}).drop_vars(dim)
        area = area - ends * ((axis[inside[-1]] - axis[inside[0]]) / 2)
    if axis[inside[-1]] < axis[inside[0]]:
        area = -area  # integrate() follows the axis: from its first point to its last
    x_units = values[dim].attrs.get("units", "")
    value_units = values.attrs.get("units", VALUE_UNITS)
    units = x_units if value_units == "1" else " ".join(u for u in (value_units, x_units) if u)
    area = area.rename("band_area")
    area.attrs = {"long_name": "area of the band %g to %g%s%s" % (
        lo, hi, " " + x_units if x_units else "", " above the line between its ends" if baseline else "")}
    if units:
        area.attrs["units"] = units
    return area


class VellAccessor:
    """``ds.vell`` and ``da.vell``: VELL-specific helpers on xarray objects."""

    def __init__(self, obj: Union[xr.Dataset, xr.DataArray]) -> None:
        self._obj = obj

    def band_area(self, a: float, b: float, dim: Hashable = "spectral",
                  variable: Optional[Hashable] = None, baseline: bool = False) -> xr.DataArray:
        """See :func:`vellkit_tools.accessor.band_area`: the positive area of
        the band between ``a`` and ``b``, from zero or (``baseline``) from the
        line between the band's end points."""
        return band_area(self._obj, a, b, dim=dim, variable=variable, baseline=baseline)


xr.register_dataset_accessor("vell")(VellAccessor)
xr.register_dataarray_accessor("vell")(VellAccessor)
