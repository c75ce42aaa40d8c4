"""quorvel.urls against real servers on loopback: moto's S3 and an HTTP server that fails on
request (loopback.MODES). What a URL delivers is checked against the local file it was made
from; every failure against the class and message a caller gets."""
import importlib
import io
import multiprocessing
import os
import pickle
import signal
import socket
import sys
import threading
import time

import aiohttp
import pytest

from conftest import BUCKET, REMOTE_CSV, REMOTE_GZ, exactly
from quorvel import urls
from quorvel.urls import SourceReadError, SourceReader, expand, is_url, open_url

# A read asks for this many bytes at a time, as a pass does, if in larger pieces.
BUFFER = 50_000


@pytest.fixture
def small_blocks(monkeypatch):
    """Requests of 64 KiB, so that a megabyte object takes many of them and a failure can fall
    past the first."""
    monkeypatch.setattr(urls, "READ_BLOCK", 64 * 1024)


def drain(reader, delivered=None):
    """Every byte the reader gives, read BUFFER bytes at a time into `delivered`."""
    delivered = bytearray() if delivered is None else delivered
    buffer = bytearray(BUFFER)
    while True:
        count = reader.readinto(buffer)
        if not count:
            return bytes(delivered)
        delivered += buffer[:count]


def s3_url(name):
    return f"s3://{BUCKET}/{name}"


@pytest.mark.parametrize("text, expected", [
    ("s3://bucket/k.csv", True),
    ("S3://bucket/k.csv", True),
    ("s3a://bucket/k.csv", True),
    ("gs://bucket/k.csv", True),
    ("https://example.com/x.csv?token=1", True),
    ("file:///tmp/x.csv", True),
    ("memory://x.csv", True),
    ("x.csv", False),
    ("data/2024/x.csv", False),
    ("/tmp/s3://x.csv", False),
    ("dir/a://b.csv", False),
    ("a:b//c.csv", False),
    ("s3:/bucket/k.csv", False),
    ("nosuchprotocol://x.csv", False),
    ("", False),
])
def test_is_url(text, expected):
    assert is_url(text) is expected


@pytest.mark.parametrize("name", [REMOTE_CSV, REMOTE_GZ])
@pytest.mark.parametrize("server", ["http", "s3"])
def test_a_url_delivers_the_bytes_of_the_local_file(request, remote_folder, small_blocks,
                                                    server, name):
    local = (remote_folder / name).read_bytes()
    if server == "http":
        url, options = request.getfixturevalue("http_server").url(name), None
    else:
        url, options = s3_url(name), request.getfixturevalue("s3_server").storage_options
    with open_url(url, options) as reader:
        assert (reader.name, reader.size) == (url, len(local))
        assert drain(reader) == local
        assert reader.bytes_read == len(local)
        assert reader.readinto(bytearray(BUFFER)) == 0


def ranges_asked(server, url, read):
    """The Range headers of the GETs of `url` that `read`(url) makes."""
    path = url[url.index("/files/"):]
    before = len(server.requests)
    read(url)
    return [r.range for r in server.requests[before:] if r.method == "GET" and r.path == path]


def test_a_url_is_read_in_ranges_never_whole(remote_folder, http_server, small_blocks):
    """read() of everything still asks for one block at a time, each byte once: fsspec's HTTP
    file would fetch the whole object in one request for a bare read()."""
    local = (remote_folder / REMOTE_CSV).read_bytes()
    delivered = []

    def read_all(url):
        with open_url(url) as reader:
            delivered.append(reader.read())

    ranges = ranges_asked(http_server, http_server.url(REMOTE_CSV), read_all)
    spans = [tuple(int(n) for n in text[len("bytes="):].split("-")) for text in ranges]
    assert delivered == [local]
    assert len(spans) > 2
    assert max(end + 1 - start for start, end in spans) <= urls.READ_BLOCK + io.DEFAULT_BUFFER_SIZE
    assert sum(end + 1 - start for start, end in spans) == len(local)


def test_the_first_read_asks_for_one_block_not_the_object(http_server, small_blocks):
    def read_once(url):
        with open_url(url) as reader:
            reader.readinto(bytearray(BUFFER))

    assert ranges_asked(http_server, http_server.url(REMOTE_CSV), read_once) == [
        f"bytes=0-{BUFFER + urls.READ_BLOCK - 1}"]


@pytest.mark.parametrize("mode, cause", [
    ("reset", aiohttp.ClientError),
    ("truncated", aiohttp.ClientPayloadError),
])
def test_a_body_that_breaks_off_fails_at_the_byte_the_read_began(remote_folder, http_server,
                                                                 small_blocks, mode, cause):
    local = (remote_folder / REMOTE_CSV).read_bytes()
    url = http_server.url(REMOTE_CSV, mode)
    delivered = bytearray()
    with open_url(url) as reader, pytest.raises(SourceReadError) as failure:
        drain(reader, delivered)
    offset = failure.value.offset
    assert 0 < offset <= len(local) // 2
    assert (offset, bytes(delivered)) == (reader.bytes_read, local[:offset])
    assert str(failure.value).startswith(f"reading {url!r} failed at byte {offset}: ")
    assert isinstance(failure.value.__cause__, cause)


def test_an_object_shorter_than_its_size_fails_where_it_ends(remote_folder, http_server):
    size = (remote_folder / REMOTE_CSV).stat().st_size
    url = http_server.url(REMOTE_CSV, "short")
    with open_url(url) as reader, pytest.raises(SourceReadError, match=exactly(
            f"reading {url!r} failed at byte {size // 2}: it ended there, {size - size // 2} "
            f"bytes short of its size, {size} bytes")):
        drain(reader)


def test_ctrl_c_stops_a_stalled_read_at_once(remote_folder, http_server, small_blocks):
    """SIGINT while the main thread waits for a body that stalls for STALL_SECONDS raises
    KeyboardInterrupt as it is, well before the stall ends."""
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    reader = open_url(http_server.url(REMOTE_CSV, "stalled"))
    sent = []

    def interrupt():
        time.sleep(0.3)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    with pytest.raises(KeyboardInterrupt) as stopped:
        drain(reader)
    latency = time.monotonic() - sent[0]
    assert stopped.type is KeyboardInterrupt
    assert 0 < reader.bytes_read < reader.size
    assert latency < 0.5


def _read_in_child(url):
    with open_url(url) as reader:
        return reader.read()


def test_a_forked_child_reads_urls_too(remote_folder, http_server):
    """A process pool forks after the parent has read URLs, as describe_many does after
    expanding a glob; the child must not wait on the parent's fsspec loop."""
    url = http_server.url(REMOTE_CSV)
    with open_url(url) as reader:
        reader.read(10)
    # Leaving the pool terminates its worker, also one that hangs.
    with multiprocessing.get_context("fork").Pool(1) as pool:
        delivered = pool.apply_async(_read_in_child, (url,)).get(timeout=20)
    assert delivered == (remote_folder / REMOTE_CSV).read_bytes()


@pytest.mark.parametrize("error, message", [
    (PermissionError, "[Errno 13] Permission denied: {url!r}"),
    (FileNotFoundError, "[Errno 2] No such file or directory: {url!r}"),
])
def test_an_http_object_that_cannot_be_opened(http_server, error, message):
    url = (http_server.url(REMOTE_CSV, "forbidden") if error is PermissionError
           else http_server.url("missing.csv"))
    with pytest.raises(error, match=exactly(message.format(url=url))) as failure:
        open_url(url)
    assert failure.value.__cause__ is not None


def test_a_server_that_refuses_the_connection_fails_at_byte_0():
    with socket.socket() as unlistened:
        unlistened.bind(("127.0.0.1", 0))
        url = f"http://127.0.0.1:{unlistened.getsockname()[1]}/x.csv"
        with pytest.raises(SourceReadError) as failure:
            open_url(url)
    assert str(failure.value).startswith(f"reading {url!r} failed at byte 0: ClientConnectorError")
    assert isinstance(failure.value.__cause__, aiohttp.ClientConnectorError)


def test_a_missing_s3_object(s3_server):
    url = s3_url("missing.csv")
    with pytest.raises(FileNotFoundError, match=exactly(
            f"[Errno 2] No such file or directory: {url!r}")):
        open_url(url, s3_server.storage_options)


def test_an_s3_object_refused_to_unknown_keys(s3_server, monkeypatch):
    """With moto checking credentials, a key it has never issued gets 403."""
    from moto import settings
    from moto.core.responses import ActionAuthenticatorMixin

    monkeypatch.setattr(settings, "INITIAL_NO_AUTH_ACTION_COUNT", 0)
    monkeypatch.setattr(ActionAuthenticatorMixin, "request_count", 0)
    url = s3_url(REMOTE_CSV)
    # A filesystem of its own, so that no listing cached by another test answers for S3.
    options = {**s3_server.storage_options, "skip_instance_cache": True}
    with pytest.raises(PermissionError, match=exactly(f"[Errno 13] Permission denied: {url!r}")):
        open_url(url, options)


@pytest.mark.parametrize("patterns, expected", [
    (["s3://bucket/dir/*.csv"], ["s3://bucket/dir/a.csv", "s3://bucket/dir/b.csv"]),
    (["s3://bucket/dir/*"],
     ["s3://bucket/dir/a.csv", "s3://bucket/dir/b.csv", "s3://bucket/dir/notes.txt"]),
    (["s3://bucket/dir/[b]*", "local/*.csv", "s3://bucket/dir/a.csv", "http://h/x.csv?a=*"],
     ["s3://bucket/dir/b.csv", "local/*.csv", "s3://bucket/dir/a.csv", "http://h/x.csv?a=*"]),
])
def test_expand_s3_globs(s3_server, patterns, expected):
    assert expand(patterns, s3_server.storage_options) == expected


@pytest.mark.parametrize("pattern", ["s3://bucket/dir/*.tsv", "s3://bucket/dir/s*"])
def test_expand_a_glob_that_matches_no_object(s3_server, pattern):
    # s3://bucket/dir/s* matches only the folder dir/sub, which is no object.
    with pytest.raises(FileNotFoundError, match=exactly(f"[Errno 2] No object matches: "
                                                        f"{pattern!r}")):
        expand([pattern], s3_server.storage_options)


@pytest.fixture
def hide(monkeypatch):
    """Makes modules fail to import, as if not installed, and makes fsspec forget the
    filesystems of `protocols` it has imported already."""

    def hide_modules(modules, protocols=()):
        for module in modules:
            monkeypatch.setitem(sys.modules, module, None)
        if "fsspec" not in modules:
            registered = sys.modules["fsspec.registry"]._registry
            for protocol in protocols:
                monkeypatch.delitem(registered, protocol, raising=False)

    return hide_modules


@pytest.mark.parametrize("url, modules, extra", [
    ("s3://bucket/k.csv", ["s3fs"], "s3"),
    ("s3a://bucket/k.csv", ["s3fs"], "s3"),
    ("gs://bucket/k.csv", ["gcsfs"], "gcs"),
    ("https://example.com/k.csv", ["aiohttp", "fsspec.implementations.http"], "http"),
])
def test_a_missing_package_names_its_extra(hide, url, modules, extra):
    from fsspec.registry import known_implementations

    protocol = url.split(":")[0]
    hide(modules, [protocol])
    told = known_implementations[protocol]["err"]
    with pytest.raises(ImportError, match=exactly(
            f"reading {url!r} needs the {extra} extra: pip install 'quorvel_ext[{extra}]' "
            f"({told})")):
        open_url(url)


def test_without_fsspec_the_extras_urls_still_name_their_extra(hide):
    hide(["fsspec"])
    with pytest.raises(ImportError) as missing:
        importlib.import_module("fsspec")
    assert [is_url("s3://bucket/k.csv"), is_url("memory://k.csv")] == [True, False]
    url = "s3://bucket/k.csv"
    with pytest.raises(ImportError, match=exactly(
            f"reading {url!r} needs the s3 extra: pip install 'quorvel_ext[s3]' "
            f"({missing.value})")):
        open_url(url)


def test_storage_options_must_be_a_mapping():
    with pytest.raises(TypeError, match=exactly("storage_options must be a mapping, not list")):
        open_url("s3://bucket/k.csv", [("key", "k")])


class ReadOnly:
    """A file object with read() and close() alone, as some wrappers are."""

    def __init__(self, data):
        self.stream = io.BytesIO(data)

    def read(self, size):
        return self.stream.read(size)

    def close(self):
        self.stream.close()


@pytest.mark.parametrize("make, size_known", [
    (lambda path: open(path, "rb"), True),
    (lambda path: open(path, "rb", buffering=0), True),
    (lambda path: io.BytesIO(path.read_bytes()), False),
    (lambda path: ReadOnly(path.read_bytes()), False),
])
def test_a_file_object_delivers_its_bytes_from_where_it_stands(remote_folder, make, size_known):
    path = remote_folder / REMOTE_CSV
    local = path.read_bytes()
    raw = make(path)
    raw.read(100)
    with SourceReader(raw, owned=True) as reader:
        assert reader.size == (len(local) - 100 if size_known else None)
        assert drain(reader) == local[100:]
        assert reader.bytes_read == len(local) - 100


def test_a_file_shrinking_under_the_read(tmp_path):
    path = tmp_path / "shrinking.csv"
    path.write_bytes(b"x" * 3 * BUFFER)
    with open(path, "rb", buffering=0) as raw:
        reader = SourceReader(raw)
        reader.readinto(bytearray(BUFFER))
        os.truncate(path, 2 * BUFFER - 10)
        with pytest.raises(SourceReadError, match=exactly(
                f"reading {str(path)!r} failed at byte {2 * BUFFER - 10}: it ended there, "
                f"{BUFFER + 10} bytes short of its size, {3 * BUFFER} bytes")):
            drain(reader)


class Failing(io.RawIOBase):
    """Delivers `good` bytes, then raises `error` from every read."""

    def __init__(self, good, error):
        self.left, self.error = good, error

    def readable(self):
        return True

    def readinto(self, buffer):
        if not self.left:
            raise self.error
        count = min(self.left, len(buffer))
        buffer[:count] = b"a" * count
        self.left -= count
        return count


def test_any_failure_of_a_read_is_one_error_naming_source_and_byte():
    reset = ConnectionResetError(104, "Connection reset by peer")
    reader = SourceReader(Failing(120_000, reset), "sock.csv")
    with pytest.raises(SourceReadError, match=exactly(
            "reading 'sock.csv' failed at byte 120000: ConnectionResetError: [Errno 104] "
            "Connection reset by peer")) as failure:
        drain(reader)
    assert failure.value.__cause__ is reset
    assert isinstance(failure.value, OSError)


def test_keyboard_interrupt_from_a_read_passes_as_it_is():
    interrupt = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as stopped:
        drain(SourceReader(Failing(10, interrupt)))
    assert stopped.value is interrupt


def test_a_non_blocking_source_with_nothing_ready_fails():
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    try:
        with open(read_end, "rb", buffering=0) as raw, pytest.raises(
                SourceReadError, match=exactly(
                    f"reading {repr(raw)!r} failed at byte 0: BlockingIOError: [Errno 11] no "
                    f"bytes are ready: the source is non-blocking")):
            SourceReader(raw).readinto(bytearray(10))
    finally:
        os.close(write_end)


def test_a_text_file_is_no_source(tmp_path):
    path = tmp_path / "text.csv"
    path.write_text("a,b\n")
    with open(path) as text, pytest.raises(TypeError, match=exactly(
            f"the file object {str(path)!r} reads text: open it in binary mode ('rb')")):
        SourceReader(text)


def test_an_object_without_read_is_no_source():
    with pytest.raises(TypeError, match=exactly(
            "a source must be a path, a URL or a binary file object with read(), not bytes")):
        SourceReader(b"a,b\n")


def test_closing_a_reader_closes_only_what_it_owns():
    given, owned = io.BytesIO(b"a"), io.BytesIO(b"a")
    SourceReader(given).close()
    SourceReader(owned, owned=True).close()
    assert (given.closed, owned.closed) == (False, True)


def test_a_read_error_survives_pickling():
    """describe_many hands a worker's failure back to the caller through pickle."""
    error = SourceReadError("s3://bucket/k.csv", 1048576, "ClientPayloadError: cut")
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.offset) == (SourceReadError, str(error), 1048576)
