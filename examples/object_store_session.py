"""VELL files in an S3 store, read where they are.

Starts an S3-compatible server on 127.0.0.1 (moto's, in this process), uploads
five files of different kinds, and reads each three ways: from the local
file, from S3 through the xarray engine, and through a virtual Zarr store
(Kerchunk references) read with plain xarray. Prints what each remote read
fetched and whether the values agree.

    pip install ".[remote,virtual]" "moto[server]"
    python examples/object_store_session.py
"""

import os
import socket
import sys
import tempfile

import numpy as np
import xarray as xr

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import samples  # noqa: E402  (the guide's sample files)

from vellkit_tools import backend, remote  # noqa: E402

BUCKET = "spectra"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_s3():
    import logging

    from moto.server import ThreadedMotoServer

    logging.getLogger("werkzeug").setLevel(logging.WARNING)  # not a line per request
    port = free_port()
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    # What any S3 user sets; fsspec (s3fs) and obstore read them.
    os.environ.update(AWS_ACCESS_KEY_ID="testing", AWS_SECRET_ACCESS_KEY="testing",
                      AWS_DEFAULT_REGION="us-east-1", AWS_ENDPOINT_URL="http://127.0.0.1:%d" % port,
                      AWS_ALLOW_HTTP="true")
    return server


def same(a, b):
    """Every variable and coordinate equal, NaN where NaN."""
    for name in list(a.variables):
        x, y = np.asarray(a[name].values), np.asarray(b[name].values)
        if x.shape != y.shape or not (np.array_equal(x, y) or (x.dtype.kind == "f" and np.array_equal(x, y, equal_nan=True))):
            return False
    return True


def main():
    import s3fs
    from obspec_utils.registry import ObjectStoreRegistry
    from obstore.store import S3Store

    from vellkit_tools.virtual import VellParser, kerchunk_references

    server = start_s3()
    try:
        folder = tempfile.mkdtemp()
        files = samples.make_samples(folder)
        fs = s3fs.S3FileSystem()
        fs.mkdir(BUCKET)
        registry = ObjectStoreRegistry({"s3://" + BUCKET: S3Store(BUCKET)})
        print("%-9s %-22s %9s %9s %9s %8s %8s" % ("kind", "file", "ranges", "fetched", "size", "engine", "virtual"))
        for kind, path in files.items():
            name = os.path.basename(path)
            url = "s3://%s/%s" % (BUCKET, name)
            fs.put_file(path, url)
            local = backend.open_dataset(path).load()
            source = remote.FsspecSource(url)
            through_engine = backend.open_dataset(source).load()
            parser = VellParser()
            refs = kerchunk_references(parser.virtual_dataset(url, registry))
            through_references = xr.open_dataset("reference://", engine="zarr", decode_timedelta=False,
                                                  backend_kwargs={"consolidated": False, "storage_options": {
                                                      "fo": refs, "remote_protocol": "s3",
                                                      "remote_options": {"asynchronous": True}}}).load()
            print("%-9s %-22s %9d %9d %9d %8s %8s" % (
                kind, name, source.requests, source.bytes_fetched, os.path.getsize(path),
                "same" if same(local, through_engine) else "DIFFERS",
                "same" if same(local, through_references) else "DIFFERS"))
    finally:
        server.stop()


if __name__ == "__main__":
    main()
