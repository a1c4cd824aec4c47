"""Axes are computed natively; they must equal numpy.linspace bit for bit."""
import math
import random

import numpy as np
import pytest

import vellkit
from vellkit_tools import writer as w

_rng = random.Random(20261207)
_SPECIAL = [0.0, -0.0, 1.0, -1.0, 4000.0, 399.99, 1e-300, 5e-324, 1e300, math.inf, -math.inf, math.nan]


def _cases():
    cases = []
    for _ in range(60):
        start = _rng.choice(_SPECIAL + [_rng.uniform(-1e4, 1e4)])
        stop = _rng.choice(_SPECIAL + [start, _rng.uniform(-1e4, 1e4), start + 1e-12])
        num = _rng.choice([0, 1, 2, 3, 7, _rng.randint(0, 3000)])
        cases.append((start, stop, num))
    cases += [(4000, 400, 5), (1, 1, 4), (0, 3, 4), (-7, 2**31 - 1, 9)]  # integer parameters
    return cases


def _same(actual, expected):
    assert actual.dtype == expected.dtype == np.float64
    assert actual.shape == expected.shape
    assert np.array_equal(actual.view(np.uint64), expected.view(np.uint64)), (actual, expected)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("start, stop, num", _cases())
def test_spectral_axis_is_linspace(tmp_path, start, stop, num):
    path = str(tmp_path / "axis.vell")
    y = np.zeros(num, dtype=np.float32)
    w.write_spectrum_file(path, y, params={"FXV": start, "LXV": stop})
    data = vellkit.getVellData(path, ("AB", "2D", "NONE"))
    _same(data.x, np.linspace(start, stop, num))


@pytest.mark.parametrize("aox, ddx, npx", [(5.0, 2.0, 3), (5.0, -2.0, 3), (0.1, 0.1, 7), (3, 0, 4), (-1.5, 1e-320, 3)])
def test_map_axes_are_linspace(tmp_path, aox, ddx, npx):
    path = str(tmp_path / "map.vell")
    params = w.image_map_params(2, 1.0, 2.0, npx, 1, aox=aox, ddx=ddx, aoy=aox, ddy=ddx)
    params = [(k, (aox if k in ("AOX", "AOY") else v)) for k, v in params]
    records = [w.Record([float(i), 0.0]) for i in range(npx)]
    w.write_3d_file(path, records, 2, params)
    data = vellkit.getVellData(path, ("AB", "3D", "NONE"))
    _same(data.mapX, np.linspace(aox, aox + float(ddx) * (npx - 1), npx))
    _same(data.mapY, np.linspace(aox, aox + float(ddx) * (1 - 1), 1))
