"""Loopback services for the remote-reading tests: an S3 server (moto's
application in a thread on 127.0.0.1) and an HTTP file server with real Range
support, both counting the requests they serve and both able to fail on
purpose.

Faults (``server.fault(kind, times=N)``, a context manager that clears them on
exit) hit the next ``N`` ranged or whole-object GETs, never HEADs, so an
object opens and its later reads fail:

``"error"``
    a 503 answer (an S3 ``SlowDown`` for the S3 server), N times then OK
``"drop"`` (HTTP)
    headers announcing the whole range, half of the body, then the
    connection closed
``"short"`` (HTTP)
    a consistent 206 answer (Content-Range, Content-Length) for the first
    half of the range asked for
``"stall"``
    no answer until ``stall_seconds`` have passed (or the server stops)

``HttpServer.replace(name, data)`` rewrites a file so that its ETag and
Last-Modified change (the object replaced between open and read).

Nothing here talks to anything but 127.0.0.1, and nothing is set globally:
tests pass :meth:`S3Server.storage_options` or set the ``AWS_*`` variables
with ``monkeypatch``.
"""

import contextlib
import email.utils
import http.server
import os
import re
import socket
import sys
import threading

CREDENTIALS = {"key": "testing", "secret": "testing"}
REGION = "us-east-1"


class _Faults(object):
    """Faults waiting for the next GETs, and the requests seen."""

    stall_seconds = 30.0

    def __init__(self):
        self.stopping = threading.Event()
        self._lock = threading.Lock()
        self._pending = []  # [kind, times left]
        self.requests = []  # (method, path, Range header or None)

    def log(self, method, path, ranged):
        with self._lock:
            self.requests.append((method, path, ranged))

    def take(self, method):
        """The fault this request must suffer, or None."""
        if method != "GET":
            return None
        with self._lock:
            if not self._pending:
                return None
            kind = self._pending[0][0]
            self._pending[0][1] -= 1
            if self._pending[0][1] <= 0:
                self._pending.pop(0)
            return kind

    @contextlib.contextmanager
    def fault(self, kind, times=1):
        with self._lock:
            self._pending.append([kind, times])
        try:
            yield self
        finally:
            with self._lock:
                self._pending = []

    def count(self, method="GET", path=None):
        """How many ``method`` requests were served (for ``path``, when given)."""
        with self._lock:
            return sum(1 for m, p, _ in self.requests if m == method and (path is None or p == path))

    def reset(self):
        with self._lock:
            self._pending = []
            self.requests = []


# -- S3 ---------------------------------------------------------------------


class S3Server(_Faults):
    """moto's S3 in server mode on 127.0.0.1, a free port, in a thread."""

    def __init__(self):
        super().__init__()
        from moto.server import DomainDispatcherApplication, create_backend_app
        from werkzeug.serving import WSGIRequestHandler, make_server

        class Quiet(WSGIRequestHandler):
            def log_request(self, *args, **kwargs):
                pass

        self._app = DomainDispatcherApplication(create_backend_app)
        self._server = make_server("127.0.0.1", 0, self._wsgi, threaded=True, request_handler=Quiet)
        self.url = "http://127.0.0.1:%d" % self._server.server_port
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        self._buckets = set()

    def _wsgi(self, environ, start_response):
        method = environ["REQUEST_METHOD"]
        self.log(method, environ.get("PATH_INFO", ""), environ.get("HTTP_RANGE"))
        fault = self.take(method)
        if fault == "stall":
            self.stopping.wait(self.stall_seconds)
        if fault == "error":
            body = (b"<?xml version='1.0' encoding='UTF-8'?><Error><Code>SlowDown</Code>"
                    b"<Message>Please reduce your request rate.</Message></Error>")
            start_response("503 Slow Down", [("Content-Type", "application/xml"),
                                             ("Content-Length", str(len(body)))])
            return [body]
        return self._app(environ, start_response)

    def storage_options(self, **more):
        """fsspec/s3fs options reaching this server."""
        options = dict(CREDENTIALS, client_kwargs={"endpoint_url": self.url, "region_name": REGION})
        options.update(more)
        return options

    def environment(self):
        """The AWS_* variables that reach this server without options."""
        return {"AWS_ACCESS_KEY_ID": CREDENTIALS["key"], "AWS_SECRET_ACCESS_KEY": CREDENTIALS["secret"],
                "AWS_ENDPOINT_URL": self.url, "AWS_DEFAULT_REGION": REGION}

    def client(self):
        import boto3

        return boto3.client("s3", endpoint_url=self.url, region_name=REGION,
                            aws_access_key_id=CREDENTIALS["key"], aws_secret_access_key=CREDENTIALS["secret"])

    def put(self, bucket, key, data):
        """Upload ``data`` as ``s3://bucket/key`` (the bucket made on first use); returns the URL."""
        client = self.client()
        if bucket not in self._buckets:
            client.create_bucket(Bucket=bucket)
            self._buckets.add(bucket)
        client.put_object(Bucket=bucket, Key=key, Body=bytes(data))
        return "s3://%s/%s" % (bucket, key)

    def obstore(self, bucket, **config):
        """An ``obstore.store.S3Store`` of ``bucket`` on this server."""
        from obstore.store import S3Store

        return S3Store(bucket, endpoint=self.url, region=REGION, access_key_id=CREDENTIALS["key"],
                       secret_access_key=CREDENTIALS["secret"], client_options={"allow_http": True}, **config)

    @contextlib.contextmanager
    def checking_credentials(self):
        """Requests with credentials the server does not know refused (403)
        while inside; by default it takes any."""
        # What moto's own reset-auth call does; the server runs in this process.
        from moto import settings
        from moto.core.authorization import ActionAuthenticatorMixin

        before = settings.INITIAL_NO_AUTH_ACTION_COUNT
        settings.INITIAL_NO_AUTH_ACTION_COUNT = 0
        ActionAuthenticatorMixin.request_count = 0
        try:
            yield self
        finally:
            settings.INITIAL_NO_AUTH_ACTION_COUNT = before

    def stop(self):
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()


# -- HTTP -------------------------------------------------------------------

_RANGE = re.compile(r"bytes=(\d*)-(\d*)$")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "loopback"

    def log_message(self, *args):  # quiet
        pass

    def do_HEAD(self):
        self._serve(body=False)

    def do_GET(self):
        self._serve(body=True)

    def _serve(self, body):
        owner = self.server.owner
        owner.log(self.command, self.path, self.headers.get("Range"))
        fault = owner.take(self.command)
        if fault == "stall":
            owner.stopping.wait(owner.stall_seconds)
        if fault == "error":
            return self._plain(503, b"service unavailable\n")
        path = os.path.join(owner.root, self.path.split("?", 1)[0].lstrip("/"))
        try:
            with open(path, "rb") as f:
                data = f.read()
                stat = os.fstat(f.fileno())
        except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
            return self._plain(404, b"not found\n")
        etag = ('W/' if owner.weak_etags else '') + '"%x-%x"' % (stat.st_size, stat.st_mtime_ns)
        wanted = self.headers.get("If-Match")
        # If-Match compares strongly: a weak ETag never matches.
        if wanted and wanted != "*" and (wanted != etag or owner.weak_etags):
            return self._plain(412, b"precondition failed\n")
        start, end, status = 0, len(data), 200
        asked = self.headers.get("Range")
        if asked:
            match = _RANGE.match(asked.strip())
            if not match or not (match.group(1) or match.group(2)):
                return self._plain(416, b"bad range\n")
            if match.group(1):
                start = int(match.group(1))
                end = min(len(data), int(match.group(2)) + 1) if match.group(2) else len(data)
            else:
                start = max(0, len(data) - int(match.group(2)))
            if start >= len(data) or end <= start:
                return self._plain(416, b"range not satisfiable\n", [("Content-Range", "bytes */%d" % len(data))])
            status = 206
        if fault == "short":
            end = start + (end - start) // 2
        piece = data[start:end]
        self.send_response(status)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", email.utils.formatdate(stat.st_mtime, usegmt=True))
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(piece)))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, len(data)))
        self.end_headers()
        if not body:
            return
        if fault == "drop":
            self.wfile.write(piece[: len(piece) // 2])
            self.wfile.flush()
            self.close_connection = True
            with contextlib.suppress(OSError):
                self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.wfile.write(piece)

    def _plain(self, status, text, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(text)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gave up (a timeout, a dropped body) is expected here.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class HttpServer(_Faults):
    """A threaded HTTP server of the files in ``root`` on 127.0.0.1."""

    weak_etags = False  # serve W/"..." ETags, as servers that may re-encode do

    def __init__(self, root):
        super().__init__()
        self.root = str(root)
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.owner = self
        self.url = "http://127.0.0.1:%d" % self._server.server_port
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def put(self, name, data):
        """Serve ``data`` as ``name``; returns its URL."""
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(bytes(data))
        return "%s/%s" % (self.url, name)

    def replace(self, name, data):
        """Rewrite ``name`` with ``data``, its ETag and Last-Modified changed
        even when the size and the clock's second are the same."""
        path = os.path.join(self.root, name)
        before = os.stat(path).st_mtime_ns
        self.put(name, data)
        later = max(os.stat(path).st_mtime_ns, before) + 2 * 10 ** 9
        os.utime(path, ns=(later, later))

    def stop(self):
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()
