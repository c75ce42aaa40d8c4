"""What the pass reads: one input opened once, its encoding and its head as text.

    with opened("orders.csv") as source:
        head = Head.read(source.input, BLOCK_SIZE, None, HEADER_LIMIT, ",")
        head.encoding, head.text  # ('cp1252', 'café,n\r\n...')
        engine_input, _ = decoded(source.input, head)

The engine reads every kind of source itself (a path, a FIFO or standard input, a byte range,
any binary file object such as a URL's), decompresses it, and turns UTF-16, UTF-32, Latin-1
and cp1252 into UTF-8. Nothing is read twice: the head that the package looks at is peeked
from the engine's input and delivered again to the pass. Other codecs Python knows are
decoded here, in an incremental decoder that the engine reads as a file object.
"""

import codecs
import io
import os
import re
import stat
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any, Dict, Iterator, List, Mapping, Optional, Tuple, Union

import quorvel_ext

from . import urls

Source = Union[str, "os.PathLike[str]", int, IO[bytes]]

# How the engine decodes an encoding, by Python's name for it (codecs.lookup().name); the
# others are decoded by Python.
_ENGINE_CODECS = {"utf-8": "utf-8", "ascii": "utf-8", "utf-16-le": "utf-16-le",
                  "utf-16-be": "utf-16-be", "utf-32-le": "utf-32-le", "utf-32-be": "utf-32-be",
                  "latin-1": "latin-1", "cp1252": "cp1252"}
LATIN_1 = "latin-1"  # the name users and libraries know Python's "iso8859-1" by
# Byte order marks, the longer first: UTF-32 LE's starts like UTF-16 LE's.
_BOMS = ((codecs.BOM_UTF32_LE, "utf-32-le"), (codecs.BOM_UTF32_BE, "utf-32-be"),
         (codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
         (codecs.BOM_UTF16_BE, "utf-16-be"))
# The name a report gives a file that starts with a byte order mark: the codec that reads the
# whole file, mark included, as a library would.
_WITH_BOM = {"utf-8": "utf-8-sig", "utf-16-le": "utf-16", "utf-16-be": "utf-16",
             "utf-32-le": "utf-32", "utf-32-be": "utf-32"}
# Each undecodable byte b stands in the text as the lone surrogate U+DC00 + b, in the engine's
# transcoding and in Python's alike.
UNDECODABLE = "quorvel-undecodable"
CHUNK = 1 << 16


def check_encoding(encoding: object) -> str:
    """Python's name for a text encoding it knows, however it is spelled."""
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a str, not {type(encoding).__name__}")
    try:
        info = codecs.lookup(encoding)
    except LookupError:
        raise ValueError(f"encoding {encoding!r} is not one Python knows") from None
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"encoding {encoding!r} is not a text encoding")
    return LATIN_1 if info.name == "iso8859-1" else info.name


def bom_of(raw: bytes) -> Tuple[Optional[str], int]:
    """The encoding a byte order mark at the start of `raw` names, and its length."""
    for bom, name in _BOMS:
        if raw.startswith(bom):
            return name, len(bom)
    return None, 0


def detect_encoding(raw: bytes, complete: bool) -> str:
    """The encoding of a file whose first bytes are `raw`, without its byte order mark.

    In order: a byte order mark; UTF-16 or UTF-32 without a mark when NULs stand where ASCII
    text in them has its zero bytes; UTF-8 when the bytes are valid UTF-8; else the guess of a
    detector made for the job (charset-normalizer; see _guess).
    """
    marked, size = bom_of(raw)
    # A UTF-8 mark before bytes that are not UTF-8 is a mark some program put before text of
    # another encoding.
    if marked is not None and (marked != "utf-8" or _is_utf8(raw[size:], complete)):
        return marked
    body = raw[size:]
    # ASCII in UTF-16 or UTF-32 is valid UTF-8 too, with a NUL beside every character.
    wide = _wide_unicode(body)
    if wide is not None:
        return wide
    return "utf-8" if _is_utf8(body, complete) else _guess(body)


def _is_utf8(raw: bytes, complete: bool) -> bool:
    try:
        codecs.getincrementaldecoder("utf-8")().decode(raw, final=complete)
        return True
    except UnicodeDecodeError:
        return False


def _wide_unicode(raw: bytes) -> Optional[str]:
    """UTF-16 or UTF-32 in either byte order, told by where the zero bytes of ASCII stand."""
    sample = raw[:4096 - 4096 % 4]
    if len(sample) < 8 or b"\0" not in sample:
        return None
    def zero_share(offset: int, step: int) -> float:
        slots = sample[offset::step]
        return slots.count(0) / len(slots)
    if zero_share(1, 4) > 0.9 and zero_share(2, 4) > 0.9 and zero_share(3, 4) > 0.9:
        return "utf-32-le"
    if zero_share(0, 4) > 0.9 and zero_share(1, 4) > 0.9 and zero_share(2, 4) > 0.9:
        return "utf-32-be"
    if zero_share(1, 2) > 0.6 and zero_share(0, 2) < 0.1:
        return "utf-16-le"
    if zero_share(0, 2) > 0.6 and zero_share(1, 2) < 0.1:
        return "utf-16-be"
    return None


def _guess(raw: bytes) -> str:
    """A multi-byte encoding (Shift-JIS, EUC-JP, GB18030, ...) where the detector finds one;
    else cp1252, the Western single-byte encoding most files that are not UTF-8 are in, when
    the bytes are cp1252 (a head of a few words is too short to tell single-byte encodings
    apart, and the detector's pick among them is a coin toss), or Latin-1 where the two read
    alike; else its single-byte guess."""
    import charset_normalizer  # slow to import: only for files that need it
    from charset_normalizer.utils import is_multi_byte_encoding

    best = charset_normalizer.from_bytes(raw).best()
    if best is not None and is_multi_byte_encoding(best.encoding):
        return check_encoding(best.encoding)
    try:
        raw.decode("cp1252")
    except UnicodeDecodeError:
        return check_encoding(best.encoding) if best is not None else LATIN_1
    # Where no byte falls in 0x80-0x9F, Latin-1 reads the same text, and every library
    # reads Latin-1.
    return "cp1252" if any(0x80 <= b <= 0x9F for b in raw) else LATIN_1


@dataclass(frozen=True)
class Opened:
    """An input opened once, and what the report says of it."""
    input: quorvel_ext._Input
    name: str  # the path, URL or description
    local_path: Optional[str]  # a regular file the loaders can read again; None otherwise
    # A URL's storage options, with which the loaders read the object again ({} when it needs
    # none); None for any source that is not a URL.
    storage_options: Optional[Dict[str, Any]] = None


@contextmanager
def opened(source: Source, storage_options: Optional[Mapping[str, Any]] = None,
           byte_range: Optional[Tuple[int, int]] = None) -> Iterator[Opened]:
    """The engine's input for `source`: a path or URL, a file descriptor, or a binary file."""
    if isinstance(source, int) and not isinstance(source, bool):
        yield Opened(quorvel_ext._open_input(source), f"<file descriptor {source}>", None)
        return
    if isinstance(source, (str, os.PathLike)):
        text = os.fspath(source)
        if not isinstance(text, str):
            raise TypeError(f"path must name the file as str, not {type(text).__name__}")
        if urls.is_url(text) and not text.startswith("file://"):
            reader = urls.open_url(text, storage_options)
            try:
                yield Opened(quorvel_ext._open_input(reader), text, None,
                             dict(storage_options or {}))
            finally:
                reader.close()
            return
        path = text[len("file://"):] if text.startswith("file://") else text
        yield _opened_path(path, byte_range)
        return
    if not (hasattr(source, "readinto") or hasattr(source, "read")):
        raise TypeError(f"source must be a path, a URL, a file descriptor or a binary file "
                        f"object, not {type(source).__name__}")
    reader = urls.SourceReader(source)
    yield Opened(quorvel_ext._open_input(reader), reader.name, None)


def _opened_path(path: str, byte_range: Optional[Tuple[int, int]]) -> Opened:
    check_readable(path)
    start, end = byte_range if byte_range is not None else (None, None)
    regular = stat.S_ISREG(os.stat(path).st_mode)
    return Opened(quorvel_ext._open_input(path, start=start, end=end), path,
                  path if regular and byte_range is None else None)


def check_readable(path: str) -> None:
    """Raises what os raises for a file that cannot be read, naming the path and the reason,
    which the engine's own open cannot tell; a FIFO is not opened, since it reads only once."""
    if stat.S_ISFIFO(os.stat(path).st_mode):
        if not os.access(path, os.R_OK):
            raise PermissionError(13, "Permission denied", path)
        return
    with open(path, "rb"):
        pass


_QUOTE_OR_LINE_END = re.compile(r'["\r\n]')


def first_row_end(text: str, delimiters: str) -> Optional[int]:
    """The index just past the first row's line end; None if the row is open. As in the pass, a
    quote opens a quoted field only as the field's first character: at the row's start or
    after one of `delimiters`."""
    quoted = False
    for found in _QUOTE_OR_LINE_END.finditer(text):
        i = found.start()
        if text[i] == '"':
            if quoted or i == 0 or text[i - 1] in delimiters or text[i - 1] in "\r\n":
                quoted = not quoted
        elif not quoted:
            return i + (2 if text.startswith("\r\n", i) else 1)
    return None


@dataclass(frozen=True)
class Head:
    encoding: str  # as the report names it: the codec that reads the whole file
    codec: str  # the codec of the text after the byte order mark
    bom: int  # bytes of byte order mark
    text: str  # the head decoded, without a byte order mark
    complete: bool  # whether the head is the whole input
    header_end: Optional[int]  # index in text just past the first row; None if beyond the head

    @classmethod
    def read(cls, source: quorvel_ext._Input, size: int, encoding: Optional[str],
             limit: int, delimiters: str) -> "Head":
        """The first `size` bytes of the input's content, and more, doubling up to `limit`,
        until the first row, split by any of `delimiters`, ends in them."""
        while True:
            raw = source.peek(size)
            head = cls._of(raw, len(raw) < size, encoding, delimiters)
            if head.header_end is not None or head.complete or size >= limit:
                return head
            size = min(2 * size, limit)

    @classmethod
    def _of(cls, raw: bytes, complete: bool, encoding: Optional[str],
            delimiters: str) -> "Head":
        marked, bom = bom_of(raw)
        if encoding is None:
            codec = detect_encoding(raw, complete)
            # A mark of another encoding than the text's is skipped all the same.
        else:
            codec, bom = _codec_of(encoding, marked, bom)
        named = _WITH_BOM.get(codec, codec) if bom else codec
        decoder = codecs.getincrementaldecoder(codec)(errors=UNDECODABLE)
        text = decoder.decode(raw[bom:], final=complete)
        end = first_row_end(text, delimiters)
        if end is None and complete and text:
            end = len(text)
        return cls(named, codec, bom, text, complete, end)

    def content_bytes(self, index: int) -> int:
        """The bytes of content, byte order mark included, before the text's `index`."""
        return self.bom + len(self.text[:index].encode(self.codec, _UNDONE))


def _codec_of(encoding: str, marked: Optional[str], bom: int) -> Tuple[str, int]:
    """The codec after the mark, and the mark's length, for an encoding the caller gave."""
    if encoding == "utf-8-sig":
        return "utf-8", bom if marked == "utf-8" else 0
    if encoding in ("utf-16", "utf-32"):
        if marked is not None and marked.startswith(encoding):
            return marked, bom
        return f"{encoding}-le", 0  # Python's reading of an unmarked file on this machine
    return encoding, bom if marked == encoding else 0


def decoded(source: quorvel_ext._Input, head: Head,
            start: int = 0) -> Tuple[quorvel_ext._Input, Optional["PythonDecoded"]]:
    """The input the pass reads as UTF-8, from the head text's index `start` on: the engine
    decodes what it can, Python the rest, in the decoder given second."""
    skip = head.content_bytes(start)
    engine_codec = _ENGINE_CODECS.get(head.codec)
    if engine_codec is not None:
        source.decode_as(engine_codec, skip)
        return source, None
    python = PythonDecoded(source, head.codec, skip)
    return quorvel_ext._open_input(python), python


class PythonDecoded(io.RawIOBase):
    """An input in a codec that only Python knows, read as UTF-8 by the engine.

    Undecodable bytes are counted, and stand in the text as the engine's transcoding has them.
    """

    def __init__(self, source: quorvel_ext._Input, codec: str, skip: int) -> None:
        super().__init__()
        self.name = source.name
        self.undecodable = 0
        self.first_undecodable_at: Optional[int] = None
        self._source = source
        self._decoder = codecs.getincrementaldecoder(codec)(errors=UNDECODABLE)
        self._decoded = 0  # input bytes handed to the decoder
        self._pending = b""
        self._skip = skip
        self._ended = False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        while not self._pending and not self._ended:
            self._pending = self._next_text()
        size = min(len(view), len(self._pending))
        view[:size] = self._pending[:size]
        self._pending = self._pending[size:]
        return size

    def _next_text(self) -> bytes:
        raw = bytearray(CHUNK)
        got = self._source.readinto(raw)
        if self._skip:
            skipped = min(self._skip, got)
            raw, got, self._skip = raw[skipped:], got - skipped, self._skip - skipped
        self._ended = got == 0
        _counting.append(self)
        try:
            text = self._decoder.decode(bytes(raw[:got]), final=self._ended)
        finally:
            _counting.pop()
        self._decoded += got
        return text.encode("utf-8", "surrogatepass")

    def count(self, error: UnicodeDecodeError) -> None:
        if self.undecodable == 0:
            self.first_undecodable_at = self._decoded + error.start
        self.undecodable += 1


# The decoders of a pass decoding now, innermost last: an error handler is global, so it
# finds here whom to count for; a head decoded to look at counts for none.
_counting: List[PythonDecoded] = []


def _escape_undecodable(error: UnicodeError) -> Tuple[str, int]:
    assert isinstance(error, UnicodeDecodeError)
    if _counting:
        _counting[-1].count(error)
    return "".join(chr(0xDC00 + b) for b in error.object[error.start:error.end]), error.end


codecs.register_error(UNDECODABLE, _escape_undecodable)

_UNDONE = "quorvel-undone"


def _undo_undecodable(error: UnicodeError) -> Tuple[bytes, int]:
    """Encodes the stand-in of an undecodable byte as that byte again."""
    assert isinstance(error, UnicodeEncodeError)
    return bytes(ord(c) - 0xDC00 for c in error.object[error.start:error.end]), error.end


codecs.register_error(_UNDONE, _undo_undecodable)


def undecodable_of(engine_input: quorvel_ext._Input,
                   python: Optional[PythonDecoded]) -> Tuple[int, Optional[int]]:
    """How many byte sequences did not decode, and the content offset of the first."""
    if python is not None:
        return python.undecodable, python.first_undecodable_at
    count, first = engine_input.undecodable
    return count, (first if count else None)


def show_text(raw: bytes, cut: bool) -> str:
    """A cell's bytes as the engine read them, as text: UTF-8, each undecodable byte of the
    input, and each byte that is not UTF-8, shown as a backslash escape. With `cut`, a
    character the cut split in two is dropped."""
    decoder = codecs.getincrementaldecoder("utf-8")(errors=_SHOWN)
    text = decoder.decode(raw, final=not cut)
    return "".join(f"\\x{ord(c) - 0xDC00:02x}" if 0xDC00 <= ord(c) <= 0xDCFF else c
                   for c in text)


_SHOWN = "quorvel-shown"


def _show_undecodable(error: UnicodeError) -> Tuple[str, int]:
    """An undecodable byte the engine wrote as a surrogate comes back as that surrogate; any
    other byte that is not UTF-8 as a backslash escape."""
    assert isinstance(error, UnicodeDecodeError)
    raw, at = error.object, error.start
    if raw[at:at + 1] == b"\xed" and len(raw) >= at + 3:
        code = ((raw[at] & 0x0F) << 12) | ((raw[at + 1] & 0x3F) << 6) | (raw[at + 2] & 0x3F)
        if 0xDC00 <= code <= 0xDCFF and raw[at + 1] & 0xC0 == 0x80 and raw[at + 2] & 0xC0 == 0x80:
            return chr(code), at + 3
    return f"\\x{raw[at]:02x}", at + 1


codecs.register_error(_SHOWN, _show_undecodable)


class EngineContent(io.RawIOBase):
    """The decompressed content of an input, as a binary file for Python's readers."""

    def __init__(self, source: quorvel_ext._Input) -> None:
        super().__init__()
        self.name = source.name
        self._source = source

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        return self._source.readinto(memoryview(buffer).cast("B"))
