"""A whole remote map read three ways, over an HTTP server with Range on 127.0.0.1:

* the xarray engine on the URL (``xr.open_dataset(url, engine="vell")``);
* a virtual store (Kerchunk references from ``VellParser``) read by xarray's
  zarr engine: one request per record, as zarr asks for each chunk;
* the same references read through fsspec's reference file system in one
  ``cat`` of every chunk key, which merges the ranges of neighbouring
  records into one request (the coalescing a client can do).

    PYTHONPATH=build/dev:python python benchmarks/virtual_remote.py [--size 64] [--npt 1024]

Prints, for each, the time of the read (the least of three) and the GET
requests the server answered. The server is the tests' loopback HTTP server
(``tests/services.py``), in a thread of this process. Nothing leaves the
machine. Needs fsspec, aiohttp, obstore, virtualizarr and zarr.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, os.pardir, "python"), os.path.join(HERE, os.pardir, "tests")]

import fsspec  # noqa: E402
import xarray as xr  # noqa: E402
from obspec_utils.registry import ObjectStoreRegistry  # noqa: E402
from obstore.store import HTTPStore  # noqa: E402

import services  # noqa: E402
from vellkit_tools import backend, writer  # noqa: E402
from vellkit_tools.virtual import VellParser, kerchunk_references  # noqa: E402


def least(runs, work):
    best, result = None, None
    for _ in range(runs):
        start = time.perf_counter()
        result = work()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=64, help="positions along x and y (default 64)")
    parser.add_argument("--npt", type=int, default=1024, help="points per spectrum (default 1024)")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="vellkit-virtual-remote-")
    server = services.HttpServer(folder)
    try:
        n = args.size
        records = np.random.default_rng(1).random((n * n, args.npt), dtype=np.float32)
        local = os.path.join(folder, "map.vell")
        writer.write_3d_file(local, records, args.npt, writer.image_map_params(args.npt, 4000.0, 600.0, n, n))
        url = server.url + "/map.vell"
        expected = backend.open_dataset(local).spectra.values
        print("map: %d x %d positions x %d points, %.1f MB, served at %s"
              % (n, n, args.npt, os.path.getsize(local) / 1e6, server.url))

        registry = ObjectStoreRegistry({server.url: HTTPStore.from_url(server.url, client_options={"allow_http": True})})
        refs = kerchunk_references(VellParser().virtual_dataset(url, registry))

        def engine():
            return backend.open_dataset(url).spectra.values

        def zarr_per_chunk():
            ds = xr.open_dataset("reference://", engine="zarr", backend_kwargs={
                "consolidated": False, "storage_options": {
                    "fo": refs, "remote_protocol": "http", "remote_options": {"asynchronous": True}}})
            return ds.spectra.values

        def coalesced():
            fs = fsspec.filesystem("reference", fo=refs, remote_protocol="http")
            keys = ["spectra/%d.%d.0" % (y, x) for y in range(n) for x in range(n)]
            chunks = fs.cat(keys)
            out = np.empty((n, n, args.npt), np.float32)
            for key in keys:
                y, x, _ = (int(i) for i in key.split("/")[1].split("."))
                out[y, x] = np.frombuffer(chunks[key], "<f4")
            return out

        print("%-34s %10s %10s %8s" % ("read", "seconds", "GETs", "same"))
        for name, work in (("engine (xr.open_dataset(url))", engine),
                           ("virtual store, zarr per chunk", zarr_per_chunk),
                           ("virtual store, ranges merged", coalesced)):
            work()  # warm: imports, connections
            server.reset()
            seconds, values = least(args.runs, work)
            gets = server.count("GET") // args.runs
            print("%-34s %10.3f %10d %8s" % (name, seconds, gets, np.array_equal(values, expected)))
    finally:
        server.stop()


if __name__ == "__main__":
    main()
