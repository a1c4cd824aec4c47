"""A chemical image, the area of a band, of a map larger than the memory it may use.

The map is opened lazily with ``vellkit_tools.open_dataset(path)``: opening
reads its directory, parameters and store table only. The band is selected
on the lazy array (nothing is read), which is then split into Dask chunks of
map rows; ``.vell.band_area(1600, 1700)`` gives the band's area at every
position (from zero, positive over the descending wavenumber axis too), Dask
computes it a chunk at a time, reading from each record only the band's
points, and the image is written to NetCDF (or to Zarr when the output ends
in ``.zarr``).

    pip install ".[dask,netcdf]" && python examples/chemical_image.py

Without ``--input`` a synthetic map is written first (``--rows``,
``--columns``, ``--points``; 512 MiB by default), chunk by chunk, so that it
is never whole in memory either. ``--memory`` is the memory the computation
may use: the chunk size follows from it, and the peak resident size of the
process is checked against it at the end (exit code 1 when it is exceeded).
"""

import argparse
import os
import resource
import sys
import tempfile
import time

import numpy as np

try:
    import vellkit_tools
    from vellkit_tools import arrays
except ImportError:  # running from a source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
    import vellkit_tools
    from vellkit_tools import arrays

MIB = 1024 * 1024
X_FIRST, X_LAST = 4000.0, 400.0  # wavenumbers, descending as such files store them


def write_synthetic_map(path, rows, columns, points):
    """A map with a baseline and one band near 1650 cm-1 whose height varies over the map."""
    x = np.linspace(X_FIRST, X_LAST, points)
    band = np.exp(-0.5 * ((x - 1650.0) / 15.0) ** 2).astype(np.float32)
    baseline = (0.05 + 1e-5 * (x - X_LAST)).astype(np.float32)
    yy, xx = np.mgrid[0:1:complex(0, rows), 0:1:complex(0, columns)]
    height = (0.5 + 0.5 * np.sin(6 * xx) * np.cos(4 * yy)).astype(np.float32)  # the "chemistry"
    step = max(1, (16 * MIB) // (columns * points * 4))

    def chunks():
        for row in range(0, rows, step):
            h = height[row:row + step]
            yield baseline + h[:, :, None] * band

    arrays.write_image_map(path, chunks(), (X_FIRST, X_LAST), shape=(rows, columns, points),
                           map_x=np.arange(columns) * 5.0, map_y=np.arange(rows) * 5.0)
    return height


def chemical_image(path, band, memory_bytes):
    """The lazy (Dask) image of the band's area at every position."""
    # Opened lazily, without Dask: selecting the band reads nothing yet, and
    # the selection is what each Dask chunk will read, record by record.
    ds = vellkit_tools.open_dataset(path)
    axis = ds.spectral.values
    window = slice(max(band), min(band)) if axis[0] > axis[-1] else slice(min(band), max(band))
    spectra = ds.spectra.sel(spectral=window)
    rows, columns, band_points = spectra.shape
    # A chunk's band and the few copies Dask makes of it stay well inside the
    # budget; chunks of a few MiB keep both cores busy.
    per_row = columns * max(band_points, 1) * 4
    rows_per_chunk = int(max(1, min(rows, min(memory_bytes // 16, 4 * MIB) // per_row)))
    # The band's area from zero, positive for a positive band whatever the
    # direction of the axis (integrate() alone gives minus the area over a
    # descending wavenumber axis).
    image = spectra.chunk({"y": rows_per_chunk}).vell.band_area(*band)
    image.attrs.update(source=os.path.basename(path), vellkit_block=ds.attrs["vellkit_block"])
    return image, rows_per_chunk


def peak_resident():
    """Peak resident bytes of this process (VmHWM where /proc has it, else ru_maxrss)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * (1 if sys.platform == "darwin" else 1024)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--input", help="an existing image map (default: write a synthetic one)")
    p.add_argument("--output", default=None, help="NetCDF file, or a directory ending in .zarr")
    p.add_argument("--rows", type=int, default=256)
    p.add_argument("--columns", type=int, default=256)
    p.add_argument("--points", type=int, default=2048)
    p.add_argument("--band", type=float, nargs=2, default=(1600.0, 1700.0), metavar=("FROM", "TO"))
    p.add_argument("--memory", type=float, default=256, help="memory the computation may use, MiB (default 256)")
    args = p.parse_args(argv)
    # Said before anything is computed, naming the path (NetCDF's own error
    # for a missing folder is "Permission denied").
    if args.input is not None and not os.path.isfile(args.input):
        p.error("--input %s: no such file" % args.input)
    if args.output is not None:
        folder = os.path.dirname(os.path.abspath(args.output))
        if not os.path.isdir(folder):
            p.error("--output %s: the folder %s does not exist" % (args.output, folder))

    workdir = tempfile.mkdtemp(prefix="vellkit-chemical-image-")  # the map, and the image by default
    path = args.input
    if path is None:
        path = os.path.join(workdir, "map.vell")
        t0 = time.perf_counter()
        write_synthetic_map(path, args.rows, args.columns, args.points)
        print("wrote %s: %.0f MiB in %.1f s" % (path, os.path.getsize(path) / MIB, time.perf_counter() - t0))
    output = args.output or os.path.join(workdir, "chemical_image.nc")

    t0 = time.perf_counter()
    image, rows_per_chunk = chemical_image(path, args.band, int(args.memory * MIB))
    if output.endswith(".zarr"):
        # Zarr format 3 has no consolidated metadata (zarr warns of it).
        image.to_dataset().to_zarr(output, mode="w", consolidated=False)
    else:
        image.to_netcdf(output)
    seconds = time.perf_counter() - t0
    peak = peak_resident()
    print("area of the band %g-%g over %d x %d positions, %d map rows per chunk, in %.1f s"
          % (min(args.band), max(args.band), image.shape[0], image.shape[1], rows_per_chunk, seconds))
    print("map %.0f MiB, memory allowed %.0f MiB, peak resident %.0f MiB -> %s"
          % (os.path.getsize(path) / MIB, args.memory, peak / MIB, output))
    if args.input is None:
        os.remove(path)
    if not os.listdir(workdir):
        os.rmdir(workdir)
    return 0 if peak <= args.memory * MIB else 1


if __name__ == "__main__":
    sys.exit(main())
