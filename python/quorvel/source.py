"""What the pass reads: the file's encoding, its header as text, and a stream the engine can count.

    head = Head.read("orders.csv", BLOCK_SIZE, encoding=None)
    head.encoding, head.header  # ('latin-1', ['café', 'n'])

The engine reads bytes and takes its column names from the first row as it
finds it. Three kinds of file need the package to hand it something else: a
UTF-16 file, whose bytes it cannot split; a header that is not UTF-8, whose
names cannot reach Python; and a header that repeats a name, whose columns
the engine would count together. For those the engine reads a FIFO that a
child process fills with a UTF-8 header of unique names and then the rest of
the file, transcoded to UTF-8 only when it is UTF-16. The file is still read
once; the copy through the pipe costs a second core and no disk.

A FIFO can be read only once, so its head is read here and a child relays
that head and the rest of the FIFO to the pass through a FIFO of its own
(read_once).
"""

import codecs
import csv
import io
import os
import stat
import subprocess
import sys
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Iterator, List, Optional, Tuple

import quorvel_ext

# The single-byte fallback: Latin-1 decodes every byte, so no load can fail on
# one, and DuckDB reads it natively (cp1252 leaves five bytes undefined).
FALLBACK = "latin-1"
ENCODINGS = ("utf-8", "utf-8-sig", "utf-16", FALLBACK)
_ALIASES = {codecs.lookup(name).name: name for name in ENCODINGS}


def check_encoding(encoding: object) -> str:
    """One of ENCODINGS, named any way Python's codecs know it."""
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str, not {type(encoding).__name__}")
    try:
        found = _ALIASES.get(codecs.lookup(encoding).name)
    except LookupError:
        found = None
    if found is None:
        raise ValueError(f"encoding must be one of {', '.join(ENCODINGS)}, not {encoding!r}")
    return found


def detect_encoding(head: bytes) -> str:
    """UTF-16 or UTF-8 by their byte order marks, UTF-8 when the head decodes as it, else Latin-1.

    Only the first block is looked at: invalid UTF-8 further on is found by
    the loader, and `encoding=` settles it.
    """
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    if head.startswith(codecs.BOM_UTF8):
        return "utf-8-sig"
    try:
        codecs.getincrementaldecoder("utf-8")().decode(head, final=False)
    except UnicodeDecodeError:
        return FALLBACK
    return "utf-8"


def first_row_end(text: str) -> Optional[int]:
    """The index just past the first row's line end, quotes respected; None if the row is open."""
    quoted = False
    for i, char in enumerate(text):
        if char == '"':
            quoted = not quoted
        elif char in "\r\n" and not quoted:
            return i + (2 if text.startswith("\r\n", i) else 1)
    return None


@dataclass(frozen=True)
class Head:
    encoding: str
    text: str  # the first block decoded, without a byte order mark
    complete: bool  # whether the block is the whole file
    header_end: Optional[int]  # index in text just past the header row; None if beyond the block

    @classmethod
    def read(cls, path: str, size: int, encoding: Optional[str]) -> "Head":
        raw = quorvel_ext._read_head(path, size)
        chosen = encoding or detect_encoding(raw)
        text = codecs.getincrementaldecoder(chosen)(errors="replace").decode(raw, final=False)
        complete = len(raw) < size
        end = first_row_end(text)
        if end is None and complete and text:
            end = len(text)
        return cls(chosen, text, complete, end)

    def header(self, delimiter: str) -> Optional[List[str]]:
        """The header row's cells, or None when the header does not end in the first block."""
        if self.header_end is None:
            return None
        rows = csv.reader(io.StringIO(self.text[:self.header_end], newline=""),
                          delimiter=delimiter)
        return next(rows, [""])

    def header_bytes(self) -> int:
        """How many bytes of the file the header row takes, line end and byte order mark included."""
        assert self.header_end is not None
        codec = "utf-8" if self.encoding == "utf-8-sig" else self.encoding
        bom = len(codecs.BOM_UTF8) if self.encoding == "utf-8-sig" else 0
        return bom + len(self.text[:self.header_end].encode(codec))


def engine_names(header: List[str]) -> List[str]:
    """The header with each repeated name made unique, as pandas does ('a', 'a.1', 'a.2').

    Empty cells stay empty: the engine names them itself.
    """
    seen = set(header)
    taken = set()
    names = []
    for name in header:
        unique = name
        if name and name in taken:
            k = 1
            while f"{name}.{k}" in seen or f"{name}.{k}" in taken:
                k += 1
            unique = f"{name}.{k}"
        taken.add(unique)
        names.append(unique)
    return names


@contextmanager
def fed(path: str, head: Head, delimiter: str, names: List[str]) -> Iterator[str]:
    """A FIFO holding the file with `names` as its header in UTF-8, for one pass to read.

    A child process fills it, so that the engine, which holds the interpreter
    for its whole pass, never waits for a thread of this one. Raises
    RuntimeError when the child could not deliver the whole file.
    """
    line = io.StringIO()
    csv.writer(line, delimiter=delimiter, lineterminator="\n").writerow(names)
    skip = head.header_end if head.encoding == "utf-16" else head.header_bytes()
    with tempfile.TemporaryDirectory(prefix="quorvel-") as folder:
        fifo = os.path.join(folder, "feed.csv")
        os.mkfifo(fifo)
        child = subprocess.Popen(
            [sys.executable, "-m", "quorvel.feed", path, fifo, head.encoding, str(skip)],
            stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        child.stdin.write(line.getvalue().encode("utf-8"))  # type: ignore[union-attr]
        child.stdin.close()  # type: ignore[union-attr]
        try:
            yield fifo
        except BaseException:
            _stop_feed(child, fifo)
            raise
        _check_feed(child)


@contextmanager
def read_once(path: str, head_size: int) -> Iterator[Tuple[str, str]]:
    """(the path the pass reads, a path whose first bytes are those of `path`'s start).

    Both are `path` itself unless it is a FIFO, whose bytes can be read only
    once: then its first `head_size` bytes go into a file, and a child process
    relays them and the rest of the FIFO to a FIFO of its own for the pass.
    """
    if not stat.S_ISFIFO(os.stat(path).st_mode):
        yield path, path
        return
    with tempfile.TemporaryDirectory(prefix="quorvel-") as folder:
        head_path = os.path.join(folder, "head")
        fifo = os.path.join(folder, "relay.csv")
        os.mkfifo(fifo)
        with open(path, "rb") as source:
            with open(head_path, "wb") as head:
                head.write(_read_up_to(source, head_size))
            child = subprocess.Popen([sys.executable, "-m", "quorvel.feed", "--relay", head_path,
                                      fifo], stdin=source, stderr=subprocess.PIPE)
        try:
            yield fifo, head_path
        except BaseException:
            _stop_feed(child, fifo)
            raise
        _check_feed(child)


def _read_up_to(source: "io.BufferedReader", size: int) -> bytes:
    """Up to `size` bytes of a pipe, fewer only at its end."""
    parts = []
    while size > 0:
        part = source.read1(size)
        if not part:
            break
        parts.append(part)
        size -= len(part)
    return b"".join(parts)


def _stop_feed(child: "subprocess.Popen[bytes]", fifo: str) -> None:
    """Ends the child, which may still wait for a reader of the FIFO or write to a closed one."""
    # Opening the FIFO lets a child blocked in its own open go on to be killed.
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    child.kill()
    child.wait()
    os.close(fd)
    child.stderr.close()  # type: ignore[union-attr]


def _check_feed(child: "subprocess.Popen[bytes]") -> None:
    """The pass read the FIFO to its end: the child must have written the whole file."""
    error = child.stderr.read().decode("utf-8", "replace").strip()  # type: ignore[union-attr]
    child.stderr.close()  # type: ignore[union-attr]
    if child.wait() != 0:
        raise RuntimeError(f"the file could not be handed to the pass in full: {error}")
