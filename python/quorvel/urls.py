"""URLs: which names are one, and the bytes of the object behind one, read through fsspec.

    if is_url(name):
        with open_url(name, storage_options) as source:
            count = source.readinto(buffer)  # source.bytes_read, source.size

fsspec comes with the extras s3, gcs and http, each with the package of its
protocol; a URL whose package is missing raises ImportError naming the extra
to install. SourceReader also wraps the binary file objects that callers hand
in, so that every source fails alike: a read that breaks raises
SourceReadError, naming the source and the byte it broke at.

Ctrl-C needs nothing here: fsspec's S3 and HTTP filesystems send requests from
an event loop on a thread of their own, and the calling thread waits for each
on a lock, in slices of a second, which a signal interrupts at once; so
KeyboardInterrupt leaves a stalled read within milliseconds (test_urls.py
holds it to that). The request itself goes on in the background until the
server answers or drops it.
"""

import errno
import importlib
import io
import os
import re
import stat
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer

# The extra of quorvel_ext (pyproject.toml) that installs each protocol's filesystem.
EXTRAS = {"s3": "s3", "s3a": "s3", "gs": "gcs", "gcs": "gcs", "http": "http", "https": "http"}

# The bytes that a read past the cached block asks of the store beyond those it needs: one
# request per 8 MiB keeps its latency small beside its transfer, and a pass holds about one
# block, so memory stays flat however large the object. fsspec's readahead cache keeps only the
# last block, all that a pass from start to end needs. The filesystems' own defaults differ:
# s3fs asks for 50 MiB at a time, fsspec's HTTP for 5 MiB.
READ_BLOCK = 8 << 20

_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*)://")
_WILDCARD = re.compile(r"[*?[]")


class SourceReadError(OSError):
    """A source that could not be read to its end: the message names it and the byte it failed
    at, the exception's cause says why."""

    def __init__(self, source: str, offset: int, reason: str) -> None:
        super().__init__(f"reading {source!r} failed at byte {offset}: {reason}")
        self.source = source
        self.offset = offset
        self.reason = reason

    def __reduce__(self) -> Tuple[Any, ...]:
        # describe_many sends a file's failure back from the worker that met it.
        return type(self), (self.source, self.offset, self.reason)


def is_url(text: str) -> bool:
    """Whether `text` begins with `protocol://` for a protocol that fsspec knows (or that an
    extra brings it); a local path with `:` or `//` further on is none."""
    protocol = _protocol(text)
    return protocol is not None and protocol in _known_protocols()


def open_url(url: str, storage_options: Optional[Mapping[str, Any]] = None) -> "SourceReader":
    """Opens the object at `url` to read its bytes as stored (a compressed object stays
    compressed) from start to end, one READ_BLOCK request after another.

    storage_options: what the URL's fsspec filesystem takes (credentials, an
        endpoint), as for pandas, Polars and Dask.

    A missing object raises FileNotFoundError and a refused one PermissionError, naming the URL;
    a protocol whose package is missing raises ImportError naming the extra that brings it; any
    other failure to reach the object raises SourceReadError at byte 0.
    """
    return SourceReader(_opened(url, storage_options, "readahead"), url, owned=True)


def open_url_at(url: str, storage_options: Optional[Mapping[str, Any]] = None) -> Any:
    """Opens the object at `url` for reads anywhere in it: the fsspec file, seekable, whose
    every read is one request for exactly the bytes asked, none beyond. Fails as open_url."""
    return _opened(url, storage_options, "none")


def _opened(url: str, storage_options: Optional[Mapping[str, Any]], cache: str) -> Any:
    filesystem, path = _filesystem(url, storage_options)
    try:
        return filesystem.open(path, "rb", block_size=READ_BLOCK, cache_type=cache)
    except Exception as e:
        reason = _real_failure(e)
        raise _open_failure(url, reason) from reason


def expand(patterns: Sequence[str], storage_options: Optional[Mapping[str, Any]] = None
           ) -> List[str]:
    """Each URL with a wildcard (`s3://bucket/dir/*.csv`) replaced by the objects it matches,
    sorted; local paths and other URLs as they are, for the code that reads paths.

    A URL pattern that matches no object raises FileNotFoundError naming it. HTTP URLs are
    never patterns: `?` begins their query, and a server has no listing to match against.
    """
    expanded = []
    for pattern in patterns:
        expanded += _matches(pattern, storage_options) if _is_pattern(pattern) else [pattern]
    return expanded


class SourceReader(io.RawIOBase):
    """A binary file object read from where it stands to its end, that counts what it delivers
    and fails in one way.

    name: the URL or the object's own name. size: the bytes from where reading starts to the
    end when the object can tell (fsspec's files, regular files), else None. bytes_read: the
    bytes delivered so far.

    Any failure of the object's read, and an end before `size` bytes (an object cut short, a
    file shrinking under the read), raises SourceReadError from the original, naming `name` and
    the byte the failed read began at; KeyboardInterrupt passes as it is. With `owned`, closing
    the reader closes the object.
    """

    def __init__(self, raw: Any, name: Optional[str] = None, *, owned: bool = False) -> None:
        super().__init__()
        _check_binary(raw)
        self._raw = raw
        self._owned = owned
        self.name = _name_of(raw) if name is None else name
        self.size = _size_of(raw)
        self.bytes_read = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "WriteableBuffer") -> int:
        view = memoryview(buffer).cast("B")
        if view.nbytes == 0:
            return 0
        try:
            count = self._read_into(view)
        except Exception as e:
            raise SourceReadError(self.name, self.bytes_read, _described(e)) from e
        if count == 0 and self.size is not None and self.bytes_read < self.size:
            raise SourceReadError(self.name, self.bytes_read,
                                  f"it ended there, {self.size - self.bytes_read} bytes short "
                                  f"of its size, {self.size} bytes")
        self.bytes_read += count
        return count

    def close(self) -> None:
        if self._owned and not self.closed:
            self._raw.close()
        super().close()

    def _read_into(self, view: memoryview) -> int:
        readinto = getattr(self._raw, "readinto", None)
        count = self._read_copied(view) if readinto is None else readinto(view)
        if count is None:
            # What a non-blocking file gives when nothing has arrived.
            raise BlockingIOError(errno.EAGAIN, "no bytes are ready: the source is non-blocking")
        return int(count)

    def _read_copied(self, view: memoryview) -> Optional[int]:
        data = self._raw.read(view.nbytes)
        if data is None:
            return None
        view[:len(data)] = data
        return len(data)


def _check_binary(raw: object) -> None:
    if not callable(getattr(raw, "read", None)):
        raise TypeError(f"a source must be a path, a URL or a binary file object with read(), "
                        f"not {type(raw).__name__}")
    if isinstance(raw, io.TextIOBase):
        raise TypeError(f"the file object {_name_of(raw)!r} reads text: open it in binary mode "
                        f"('rb')")


def _name_of(raw: object) -> str:
    name = getattr(raw, "name", None)
    return name if isinstance(name, str) else repr(raw)


def _size_of(raw: Any) -> Optional[int]:
    """The bytes from the object's position to its end, if it can tell."""
    size = getattr(raw, "size", None)
    if isinstance(size, int) and not isinstance(size, bool):  # an fsspec file
        return size - int(raw.tell())
    try:
        status = os.fstat(raw.fileno())
    except (AttributeError, OSError, ValueError):  # no descriptor, so no size to ask it for
        return None
    return status.st_size - int(raw.tell()) if stat.S_ISREG(status.st_mode) else None


def _described(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _protocol(text: str) -> Optional[str]:
    match = _SCHEME.match(text)
    return None if match is None else match.group(1).lower()


def _known_protocols() -> Set[str]:
    try:
        fsspec = importlib.import_module("fsspec")
    except ImportError:
        # Without fsspec, the URLs of the extras still read as URLs, to be told which to install.
        return set(EXTRAS)
    return set(EXTRAS) | set(fsspec.available_protocols()) | set(fsspec.registry)


def _filesystem(url: str, storage_options: Optional[Mapping[str, Any]]) -> Tuple[Any, str]:
    """The fsspec filesystem that `url` names and the object's path on it."""
    options = _checked_options(storage_options)
    try:
        fsspec = importlib.import_module("fsspec")
        filesystem, path = fsspec.core.url_to_fs(url, **options)
    except ImportError as e:
        raise ImportError(_install_hint(url, e)) from e
    return filesystem, path


def _checked_options(storage_options: object) -> Dict[str, Any]:
    if storage_options is None:
        return {}
    if not isinstance(storage_options, Mapping):
        raise TypeError(f"storage_options must be a mapping, not "
                        f"{type(storage_options).__name__}")
    return dict(storage_options)


def _install_hint(url: str, error: ImportError) -> str:
    extra = EXTRAS.get(_protocol(url) or "")
    if extra is None:
        return f"reading {url!r} needs a package that is not installed: {error}"
    return (f"reading {url!r} needs the {extra} extra: pip install 'quorvel_ext[{extra}]' "
            f"({error})")


def _open_failure(url: str, reason: BaseException) -> OSError:
    """The error to raise for the object at `url` that could not be opened for `reason`."""
    status = getattr(reason, "status", None)  # aiohttp's, for an HTTP status
    if isinstance(reason, PermissionError) or status in (401, 403):
        return PermissionError(errno.EACCES, os.strerror(errno.EACCES), url)
    if isinstance(reason, FileNotFoundError) or status in (404, 410):
        return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), url)
    return SourceReadError(url, 0, _described(reason))


def _real_failure(error: Exception) -> BaseException:
    """fsspec's HTTP filesystem raises FileNotFoundError for any failed look at an object (a
    403, a refused connection) from the failure itself, which is the one to tell."""
    cause = error.__cause__
    if cause is None or not isinstance(error, FileNotFoundError):
        return error
    return cause if type(cause).__module__.startswith("aiohttp") else error


def _forget_fsspec_loop() -> None:
    """fsspec's async filesystems (S3, HTTP) send their requests from an event loop on a thread of
    the process that started it; a forked child (a worker of a process pool) has the loop but not
    the thread, and would wait on it forever. Forgotten, the loop starts anew in the child."""
    asyn = sys.modules.get("fsspec.asyn")
    if asyn is not None:
        asyn.reset_lock()


os.register_at_fork(after_in_child=_forget_fsspec_loop)


def _is_pattern(text: str) -> bool:
    protocol = _protocol(text)
    return (is_url(text) and protocol not in ("http", "https")
            and _WILDCARD.search(text, len(f"{protocol}://")) is not None)


def _matches(pattern: str, storage_options: Optional[Mapping[str, Any]]) -> List[str]:
    filesystem, path = _filesystem(pattern, storage_options)
    try:
        found = filesystem.glob(path, detail=True)
    except Exception as e:
        reason = _real_failure(e)
        raise _open_failure(pattern, reason) from reason
    objects = sorted(filesystem.unstrip_protocol(name) for name, info in found.items()
                     if info["type"] == "file")
    if not objects:
        raise FileNotFoundError(errno.ENOENT, "No object matches", pattern)
    return objects
