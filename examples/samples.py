"""Sample VELL files of every kind, made with vellkit_tools' array writers.

Used by the demonstration (examples/demo.py) and by the pictures of the user
guide, so both show the same data.  The spectra are synthetic: sums of
Gaussian bands on a gentle baseline, with a little noise.

    python examples/samples.py FOLDER     # writes the files and lists them
"""

import os
import struct
import sys
from typing import Dict

import numpy as np

from vellkit_tools import arrays

#: The spectral axis of every sample: 4000 to 600 wavenumbers.
X = np.linspace(4000.0, 600.0, 851)


def bands(centres_heights_widths, x=X):
    """A spectrum: Gaussian bands (centre, height, width) over ``x``."""
    y = np.zeros_like(x)
    for centre, height, width in centres_heights_widths:
        y += height * np.exp(-((x - centre) / width) ** 2)
    return y


#: Two "components": a protein-like and a lipid-like spectrum.
PROTEIN = bands([(3300, 0.35, 120), (1650, 1.0, 25), (1545, 0.6, 25), (1240, 0.25, 30)])
LIPID = bands([(2920, 0.9, 18), (2850, 0.6, 15), (1740, 0.7, 15), (1465, 0.25, 15)])
POLYSTYRENE = bands([(3060, 0.3, 12), (3026, 0.45, 10), (2923, 0.5, 15), (1601, 0.35, 6),
                     (1493, 0.7, 6), (1452, 0.6, 7), (757, 0.9, 8), (698, 1.0, 8)])


def bmp(rgb: np.ndarray) -> bytes:
    """A 24-bit BMP file of an (height, width, 3) uint8 picture (no extra packages needed)."""
    height, width, _ = rgb.shape
    row = width * 3 + (-width * 3) % 4
    pixels = np.zeros((height, row), dtype=np.uint8)
    pixels[:, :width * 3] = rgb[::-1, :, ::-1].reshape(height, -1)  # bottom-up, BGR
    header = struct.pack("<2sIHHI", b"BM", 54 + pixels.size, 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, pixels.size, 2835, 2835, 0, 0)
    return header + info + pixels.tobytes()


def microscope_picture(width=160, height=120, seed=3) -> np.ndarray:
    """A picture that looks a little like a sample under a microscope: cells on a slide."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    picture = np.empty((height, width, 3))
    picture[...] = (0.93, 0.90, 0.84)
    for _ in range(14):
        cx, cy, r = rng.uniform(0, width), rng.uniform(0, height), rng.uniform(8, 18)
        d = np.hypot(xx - cx, yy - cy) / r
        cell = np.clip(1.0 - d, 0.0, 1.0) ** 0.5
        picture -= cell[..., None] * np.array([0.25, 0.45, 0.35]) * rng.uniform(0.6, 1.0)
    picture += rng.normal(0, 0.015, picture.shape)
    return (np.clip(picture, 0, 1) * 255).astype(np.uint8)


def make_samples(folder) -> Dict[str, str]:
    """Write one file of each kind into ``folder``; returns {kind: path}."""
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(2024)
    path = lambda name: os.path.join(folder, name)  # noqa: E731
    files = {}

    spectrum = POLYSTYRENE + 0.05 + 0.00002 * (X - 600) + rng.normal(0, 0.004, X.size)
    files["spectrum"] = arrays.write_spectrum(
        path("polystyrene.vell"), spectrum, X, params={"SNM": "polystyrene film", "RES": 4.0},
        acquisition={"NSS": 32, "APT": "6 mm"}, instrument={"INS": "bench", "LWN": 15798.0},
        images=[arrays.visible_image(bmp(microscope_picture(64, 48, seed=1)), "Sample photo")])

    # An image map: a lipid droplet in protein-rich tissue.
    rows, columns = 24, 32
    yy, xx = np.mgrid[0:rows, 0:columns]
    lipid = np.exp(-(((xx - 20) / 6.0) ** 2 + ((yy - 10) / 5.0) ** 2))
    protein = 0.4 + 0.6 * (1 - lipid) * (0.6 + 0.4 * np.sin(xx / 5.0))
    cube = (protein[..., None] * PROTEIN + lipid[..., None] * LIPID
            + rng.normal(0, 0.01, (rows, columns, X.size))).astype(np.float32)
    files["map"] = arrays.write_image_map(
        path("tissue-map.vell"), cube, X, 100.0 + 5.0 * np.arange(columns),
        200.0 + 5.0 * np.arange(rows), params={"SNM": "tissue section"})

    # A time-resolved series: a carbonyl band falling while an amide band grows.
    times = np.linspace(0.0, 60.0, 40)
    progress = 1 - np.exp(-times / 25.0)
    series = (np.outer(1 - progress, bands([(1720, 0.9, 40), (1180, 0.5, 60)])) +
              np.outer(progress, bands([(3350, 0.4, 150), (1650, 0.8, 45), (1550, 0.5, 40)])) +
              rng.normal(0, 0.005, (times.size, X.size)))
    files["series"] = arrays.write_time_series(path("reaction.vell"), series, X, times,
                                               params={"SNM": "curing resin"})

    # A multi-region map over a visible image of the sample.
    regions = [
        {"nx": 4, "ny": 3, "x0": 20.0, "y0": 20.0, "dx": 6.0, "dy": 6.0},
        {"nx": 3, "ny": 3, "x0": 90.0, "y0": 60.0, "dx": 5.0, "dy": 5.0},
        {"points": [(40.0, 90.0), (60.0, 95.0), (80.0, 100.0), (120.0, 20.0), (135.0, 30.0)]},
    ]
    for k, region in enumerate(regions):
        n = len(region["points"]) if "points" in region else region["nx"] * region["ny"]
        mix = rng.uniform(0, 1, n) if k != 1 else rng.uniform(0.7, 1.0, n)
        region["spectra"] = (np.outer(1 - mix, PROTEIN) + np.outer(mix, LIPID)
                             + rng.normal(0, 0.01, (n, X.size))).astype(np.float32)
        region["times"] = np.arange(n) * 2.0
    picture = microscope_picture()
    files["regions"] = arrays.write_multi_region(
        path("cells-regions.vell"), regions, X,
        images=[arrays.visible_image(bmp(picture), "Overview", pos_x=80.0, pos_y=60.0,
                                     size_x=160.0, size_y=120.0)])

    # Trace results computed from the map: band heights per position.
    amide = cube[..., np.argmin(np.abs(X - 1650))]
    ch = cube[..., np.argmin(np.abs(X - 2920))]
    files["traces"] = arrays.write_traces(
        path("tissue-traces.vell"), np.stack([amide, ch], axis=-1), ["Amide I", "Lipid CH"],
        map_x=100.0 + 5.0 * np.arange(columns), map_y=200.0 + 5.0 * np.arange(rows))
    return files


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else "vellkit-samples"
    for kind, written in make_samples(target).items():
        print("%-9s %s" % (kind, written))
