"""Figures of remote reads through ``vellkit_tools.remote`` against a loopback
S3 server.

    PYTHONPATH=build/dev:python python benchmarks/remote_reads.py [--quick] [--workdir DIR] [--repeat N]

Starts ``moto_server`` on 127.0.0.1 (a free port, its own process, so the
server works on the other core), uploads the files, then prints:

* the range requests and bytes fetched (``FsspecSource.requests``,
  ``bytes_fetched``) and the time to open a remote image map and a remote
  time-resolved series (``describe_file`` then ``plan_block``), and to read
  one spectrum of the opened map;
* a whole image map of 256 x 256 positions x 1,024 points (268 MB) read
  through ``_native.read_points`` over an ``FsspecSource``, against fetching
  the object's bytes once with the same client (``fs.cat_file``): the least
  of ``--repeat`` samples of each and their ratio (the goal: within 1.5x).

The files are made with ``vellkit_tools.writer`` once, in ``--workdir``
(default ``/tmp/vellkit-remote-bench``), and kept for the next run. Nothing
leaves the machine. Needs moto (``moto_server``), boto3 and s3fs.
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.request

import numpy as np

try:
    from vellkit_tools import _native, remote, writer
except ImportError:  # running from a source tree without PYTHONPATH=python
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
    from vellkit_tools import _native, remote, writer

BUCKET = "bench"
CREDENTIALS = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
               "AWS_DEFAULT_REGION": "us-east-1"}
GOAL = 1.5


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server():
    port = free_port()
    command = shutil.which("moto_server") or os.path.join(os.path.dirname(sys.executable), "moto_server")
    proc = subprocess.Popen([command, "-H", "127.0.0.1", "-p", str(port)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = "http://127.0.0.1:%d" % port
    for _ in range(200):
        try:
            urllib.request.urlopen(url + "/moto-api/", timeout=1).close()
            return proc, url
        except OSError:
            if proc.poll() is not None:
                raise SystemExit("moto_server did not start")
            time.sleep(0.05)
    proc.terminate()
    raise SystemExit("moto_server did not answer")


def make_files(workdir, quick):
    """(map path, series path), written once."""
    os.makedirs(workdir, exist_ok=True)
    side, npt, spectra = (32, 256, 500) if quick else (256, 1024, 20000)
    paths = (os.path.join(workdir, "map-%d-%d.vell" % (side, npt)),
             os.path.join(workdir, "series-%d-%d.vell" % (spectra, npt)))
    rng = np.random.default_rng(1)
    if not os.path.exists(paths[0]):
        records = rng.random((side * side, npt), dtype=np.float32)
        writer.write_3d_file(paths[0] + ".part", records, npt,
                             writer.image_map_params(npt, 4000.0, 400.0, side, side))
        os.replace(paths[0] + ".part", paths[0])
    if not os.path.exists(paths[1]):
        records = rng.random((spectra, npt), dtype=np.float32)
        writer.write_3d_file(paths[1] + ".part", records, npt, writer.time_resolved_params(npt, 4000.0, 400.0))
        os.replace(paths[1] + ".part", paths[1])
    return paths


def upload(endpoint, paths):
    import boto3

    client = boto3.client("s3", endpoint_url=endpoint)
    client.create_bucket(Bucket=BUCKET)
    urls = []
    for path in paths:
        key = os.path.basename(path)
        client.upload_file(path, BUCKET, key)
        urls.append("s3://%s/%s" % (BUCKET, key))
    return urls


def opened(url, options):
    """(source, plan, seconds) of a fresh source's description and plan."""
    start = time.perf_counter()
    source = remote.FsspecSource(url, options)
    description = _native.describe_file(source)
    plan = _native.plan_block(source, tuple(description["blocks"][0]["request"]))
    return source, plan, time.perf_counter() - start


def size(n):
    return "%.1f MiB" % (n / 2 ** 20) if n >= 2 ** 20 else "%.1f KiB" % (n / 1024)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small files, one sample (a smoke run)")
    parser.add_argument("--workdir", default="/tmp/vellkit-remote-bench")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    repeat = 1 if args.quick else args.repeat

    os.environ.update(CREDENTIALS)
    map_path, series_path = make_files(args.workdir, args.quick)
    server, endpoint = start_server()
    try:
        options = {"client_kwargs": {"endpoint_url": endpoint}}
        map_url, series_url = upload(endpoint, (map_path, series_path))
        rows = []
        for label, url in (("open a remote map", map_url), ("open a remote series", series_url)):
            source, plan, seconds = opened(url, options)
            rows.append((label, source.requests, source.bytes_fetched, seconds))
        source, plan, _ = opened(map_url, options)
        offsets = np.frombuffer(plan["records"]["offsets"], dtype=np.int64)
        npt = plan["records"]["block_size"] // 4
        before, fetched, start = source.requests, source.bytes_fetched, time.perf_counter()
        middle = offsets[len(offsets) // 2 : len(offsets) // 2 + 1]
        _native.read_points(source, middle, npt, 0, npt, plan["identity"])
        rows.append(("read one spectrum of the opened map", source.requests - before,
                     source.bytes_fetched - fetched, time.perf_counter() - start))

        print("remote reads against moto_server on %s (%s map, %s series)"
              % (endpoint, size(os.path.getsize(map_path)), size(os.path.getsize(series_path))))
        print("| what | requests | bytes fetched | time |")
        print("| --- | --- | --- | --- |")
        for label, requests, fetched, seconds in rows:
            print("| %s | %d | %s | %.1f ms |" % (label, requests, size(fetched), seconds * 1e3))

        # The whole map: read_points over every record against one cat_file.
        fs = source._fs
        key = source._path
        whole, floor = [], []
        for _ in range(repeat):
            start = time.perf_counter()
            data = fs.cat_file(key)
            floor.append(time.perf_counter() - start)
            del data
            source, plan, _ = opened(map_url, options)
            before, start = source.requests, time.perf_counter()
            values = _native.read_points(source, offsets, npt, 0, npt, plan["identity"])
            whole.append(time.perf_counter() - start)
            assert values.shape == (len(offsets), npt), values.shape
            requests = source.requests - before
            del values
        ratio = min(whole) / min(floor)
        print()
        print("| case | read_points over FsspecSource | cat_file of the object | ratio | goal |")
        print("| --- | --- | --- | --- | --- |")
        print("| whole map, %s (%d requests after the open) | %.3f s | %.3f s | %.2fx | <= %.1fx |"
              % (size(os.path.getsize(map_path)), requests,
                 min(whole), min(floor), ratio, GOAL))
    finally:
        server.terminate()
        server.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
