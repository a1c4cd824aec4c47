"""Figures of virtual Zarr stores of VELL files.

    PYTHONPATH=build/dev:python python benchmarks/virtual_cases.py [--files N] [--map NX NY NPT] [--workdir DIR]

Prints:

* ``vellkit virtualize`` of N small image maps (1,000 by default; 4 x 4
  positions of 64 points) into one Kerchunk JSON: wall time of the command
  (a child process, its imports included) and per file; then the parse alone
  over the same files in this process, as the command does it and as a
  VirtualiZarr parser call: time and store requests per file (a HEAD at
  open, then read-ahead ranges);
* the whole of one map (64 x 64 x 512 by default, 8 MiB) read three ways:
  the xarray engine (``engine="vell"``), the Kerchunk references
  (``reference://`` through fsspec), and the Icechunk repository; each the
  best of three, after a first read that warms the page cache.

Files are made with ``vellkit_tools.arrays`` in a temporary folder (or
``--workdir``). Nothing is asserted: the figures are for reading.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np


def small_maps(folder: str, count: int) -> list:
    from vellkit_tools import arrays

    rng = np.random.default_rng(5)
    paths = []
    for k in range(count):
        path = os.path.join(folder, "map%04d.vell" % k)
        arrays.write_image_map(path, rng.random((4, 4, 64), dtype=np.float32), (4000.0, 400.0))
        paths.append(path)
    return paths


def best_of(call, times: int = 3) -> float:
    call()  # the page cache warmed, imports done
    best = float("inf")
    for _ in range(times):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def virtualize_many(folder: str, count: int) -> None:
    paths = small_maps(folder, count)
    out = os.path.join(folder, "stack.json")
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "vellkit_tools", "virtualize"] + paths + ["--to", out],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    elapsed = time.perf_counter() - start
    written = os.path.getsize(out) if os.path.exists(out) else 0
    print("virtualize %d files: %.2f s (%.2f ms per file), exit %d, %d bytes of references"
          % (count, elapsed, 1000 * elapsed / count, done.returncode, written))

    from obspec_utils.registry import ObjectStoreRegistry
    from obstore.store import LocalStore

    from vellkit_tools.virtual import VellParser

    registry = ObjectStoreRegistry({"file:///": LocalStore()})
    VellParser(blocks=False).virtual_dataset(Path(paths[0]).as_uri(), registry)  # imports
    for what, parse in (("virtual_dataset (as the command)", VellParser.virtual_dataset),
                        ("parser call (ManifestStore)", VellParser.__call__)):
        parser = VellParser(blocks=False)
        start = time.perf_counter()
        for path in paths:
            parse(parser, Path(path).as_uri(), registry)
        elapsed = time.perf_counter() - start
        print("%s: %.2f ms per file, %.2f requests per file, %.0f bytes fetched per file"
              % (what, 1000 * elapsed / count, parser.requests / count, parser.bytes_fetched / count))


def whole_map(folder: str, nx: int, ny: int, npt: int) -> None:
    import icechunk
    import xarray as xr

    from vellkit_tools import arrays, backend
    from vellkit_tools.cli import main

    path = os.path.join(folder, "big.vell")
    rng = np.random.default_rng(7)
    arrays.write_image_map(path, rng.random((ny, nx, npt), dtype=np.float32), (4000.0, 400.0))
    refs, repo_path = os.path.join(folder, "big.json"), os.path.join(folder, "big.icechunk")
    assert main(["virtualize", path, "--to", refs, "--force"]) == 0
    assert main(["virtualize", path, "--to", repo_path, "--format", "icechunk", "--force"]) == 0
    size = os.path.getsize(path)

    def engine() -> np.ndarray:
        return backend.open_dataset(path).spectra.values

    def kerchunk() -> np.ndarray:
        with open(refs) as f:
            table = json.load(f)
        return xr.open_dataset("reference://", engine="zarr", backend_kwargs={
            "consolidated": False, "storage_options": {"fo": table}}).spectra.values

    def iced() -> np.ndarray:
        repo = icechunk.Repository.open(icechunk.local_filesystem_storage(repo_path),
                                        authorize_virtual_chunk_access={Path(folder).as_uri() + "/": None})
        return xr.open_zarr(repo.readonly_session("main").store, consolidated=False).spectra.values

    same = engine().tobytes() == kerchunk().tobytes() == iced().tobytes()
    print("whole map %d x %d x %d (%.1f MiB), the same values every way: %s" % (ny, nx, npt, size / 2**20, same))
    for name, call in (("engine", engine), ("kerchunk references", kerchunk), ("icechunk", iced)):
        seconds = best_of(call)
        print("  %-20s %8.1f ms  %7.1f MiB/s" % (name, 1000 * seconds, size / 2**20 / seconds))


def main_() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--map", type=int, nargs=3, default=[64, 64, 512], metavar=("NX", "NY", "NPT"))
    parser.add_argument("--workdir")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="vellkit-virtual-", dir=args.workdir)
    try:
        virtualize_many(folder, args.files)
        whole_map(folder, *args.map)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main_()
