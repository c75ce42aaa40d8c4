"""Servers on 127.0.0.1 that the URL tests and bench/remote.py read objects from.

    with FolderServer(folder) as http:
        http.url("orders.csv")               # http://127.0.0.1:PORT/files/orders.csv
        http.url("orders.csv", "truncated")  # the same object, its body cut short
    with S3Server() as s3:
        s3.upload(local_path, "bucket/orders.csv")
        fsspec.open("s3://bucket/orders.csv", **s3.storage_options)

FolderServer answers HEAD and ranged GETs, as fsspec's HTTP filesystem sends
them, and serves every file of its folder also under a failure mode named by
the first part of the path (MODES). S3Server is moto's S3 in this process.
Both stop by themselves when their `with` ends: every connection has a socket
timeout, and a stalled body waits at most STALL_SECONDS.
"""

import http.server
import re
import socket
import struct
import threading
import warnings
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

# A quiet client frees its handler thread after this long.
SOCKET_TIMEOUT = 10.0
# A stalled body resumes after this long, or when the server stops.
STALL_SECONDS = 30.0
COPY_CHUNK = 1 << 20

MODES = {
    "files": "the file as it is",
    "forbidden": "403 to every request",
    "reset": "a body that stops at the middle byte of the file with a TCP reset",
    "truncated": "a body that stops at the middle byte, the connection closed short of its "
                 "Content-Length",
    "stalled": "a body that stops at the middle byte and sends nothing more until STALL_SECONDS "
               "pass",
    "short": "HEAD tells the file's size, GET serves only the bytes before its middle",
}


class Request(NamedTuple):
    method: str
    path: str
    range: Optional[str]  # the Range header, None without one


_RANGE = re.compile(r"bytes=([0-9]+)-([0-9]*)")


class _FolderHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = SOCKET_TIMEOUT
    server: "_FolderHTTPServer"

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def log_message(self, format: str, *args: Any) -> None:
        """Quiet: a test's output shows its own failures, not the server's requests."""

    def _answer(self, send_body: bool) -> None:
        self.server.requests.append(Request(self.command, self.path, self.headers.get("Range")))
        mode, _, name = self.path.lstrip("/").partition("/")
        path = self.server.folder / name
        if mode not in MODES or not name or not path.is_file():
            self.send_error(404)
            return
        if mode == "forbidden":
            self.send_error(403)
            return
        size = path.stat().st_size
        span = self._span(size // 2 if mode == "short" and send_body else size)
        if span is None:
            self.send_error(416)
            return
        self._send_headers(span, size)
        if send_body:
            start, end = span
            # A body that lies wholly before the middle byte comes whole, as it would from a
            # server that fails later on.
            failing = mode in ("reset", "truncated", "stalled") and end > size // 2
            self._send_bytes(path, start, min(end, size // 2) if failing else end)
            if failing:
                self._fail(mode)

    def _span(self, served: int) -> Optional[Tuple[int, int]]:
        """The [start, end) the request asks for within the first `served` bytes; None when it
        starts past them."""
        match = _RANGE.fullmatch(self.headers.get("Range", ""))
        if match is None:
            return 0, served
        start = int(match.group(1))
        end = served if not match.group(2) else min(int(match.group(2)) + 1, served)
        return (start, end) if start < served else None

    def _send_headers(self, span: Tuple[int, int], size: int) -> None:
        start, end = span
        ranged = "Range" in self.headers
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Length", str(end - start))
        self.send_header("Accept-Ranges", "bytes")
        if ranged:
            self.send_header("Content-Range", f"bytes {start}-{end - 1}/{size}")
        self.end_headers()

    def _send_bytes(self, path: Path, start: int, end: int) -> None:
        with open(path, "rb") as f:
            f.seek(start)
            while start < end:
                chunk = f.read(min(COPY_CHUNK, end - start))
                self.wfile.write(chunk)
                start += len(chunk)
        self.wfile.flush()

    def _fail(self, mode: str) -> None:
        """Ends a body short of its Content-Length as `mode` says."""
        if mode == "stalled":
            self.server.stop.wait(STALL_SECONDS)
        if mode == "reset":
            # A linger time of zero makes close() send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
        self.close_connection = True


class _FolderHTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder: Path) -> None:
        super().__init__(("127.0.0.1", 0), _FolderHandler)
        self.folder = folder
        self.stop = threading.Event()
        self.requests: List[Request] = []


class FolderServer:
    """Serves the files of `folder` over HTTP on 127.0.0.1 and a free port, under MODES."""

    def __init__(self, folder: Path) -> None:
        self._server = _FolderHTTPServer(Path(folder))
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def __enter__(self) -> "FolderServer":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._server.stop.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    @property
    def port(self) -> int:
        return int(self._server.server_address[1])

    @property
    def requests(self) -> List[Request]:
        """Every request so far, in the order they came (appended to by the handler threads)."""
        return self._server.requests

    def url(self, name: str, mode: str = "files") -> str:
        assert mode in MODES, mode
        return f"http://127.0.0.1:{self.port}/{mode}/{name}"


class S3Server:
    """moto's S3 on 127.0.0.1 and a free port, with credentials it takes from any client."""

    def __init__(self) -> None:
        # moto is imported here, so that only the processes that serve S3 pay for its import.
        from moto.server import DomainDispatcherApplication, create_backend_app
        from werkzeug.serving import WSGIRequestHandler, make_server

        with warnings.catch_warnings():
            # cryptography warns on its import that its next release leaves Python 3.8. moto
            # imports it on its first request, on a server thread, where a warning filter
            # that makes warnings errors would turn the request into a 500; import it first.
            warnings.filterwarnings("ignore", "Python 3.8 is no longer supported")
            import cryptography  # noqa: F401

        class TimedHandler(WSGIRequestHandler):
            timeout = SOCKET_TIMEOUT

            def log_request(self, code: Any = "-", size: Any = "-") -> None:
                """Quiet, as the folder server is."""

        app = DomainDispatcherApplication(create_backend_app)
        self._server = make_server("127.0.0.1", 0, app, threaded=True,
                                   request_handler=TimedHandler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def __enter__(self) -> "S3Server":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    @property
    def endpoint(self) -> str:
        return f"http://127.0.0.1:{self._server.server_port}"

    @property
    def storage_options(self) -> Dict[str, Any]:
        """What a caller passes to reach this server, as it would pass its own keys for AWS."""
        return {"key": "k", "secret": "s", "anon": False,
                "client_kwargs": {"endpoint_url": self.endpoint, "region_name": "us-east-1"}}

    def upload(self, local: Path, key: str) -> None:
        """Puts the file at s3://`key` (bucket/name), making the bucket if need be."""
        import boto3

        options = self.storage_options
        client = boto3.client("s3", aws_access_key_id=options["key"],
                              aws_secret_access_key=options["secret"],
                              **options["client_kwargs"])
        bucket, name = key.split("/", 1)
        if bucket not in {b["Name"] for b in client.list_buckets()["Buckets"]}:
            client.create_bucket(Bucket=bucket)
        client.upload_file(str(local), bucket, name)
