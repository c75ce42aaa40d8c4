"""The child process that fills a pass's FIFO: a new header line, then the rest of a file.

    python -m quorvel.feed SOURCE FIFO ENCODING SKIP  < header-line
    python -m quorvel.feed --relay HEAD FIFO  < rest

The first form rewrites the header. SOURCE may itself be a FIFO, opened once.
The second relays a FIFO whose first bytes were read into the file HEAD: HEAD,
then what is left of the FIFO on standard input.

SKIP counts bytes of the source (characters for UTF-16, which is transcoded
to UTF-8 on the way). Compressed sources are decompressed first, as the
engine would; exits with status 1 and a message on standard error when the
source cannot be read in full.
"""

import bz2
import codecs
import gzip
import io
import lzma
import os
import shutil
import sys
from typing import IO, Any, Callable, Dict, List, cast

CHUNK = 1 << 20
_OPENERS: Dict[bytes, Callable[[IO[bytes]], Any]] = {
    b"\x1f\x8b": gzip.open, b"BZh": bz2.open, b"\xfd7zXZ\x00": lzma.open}


def open_source(path: str) -> IO[bytes]:
    """The file's bytes, decompressed when its magic says gzip, bzip2 or xz; opened once."""
    raw = open(path, "rb")
    magic = raw.peek(6)[:6]
    if magic.startswith(b"\x28\xb5\x2f\xfd"):
        raw.close()
        raise ValueError("zstd input cannot be rewritten here; give a plain or gzip file")
    for start, opener in _OPENERS.items():
        if magic.startswith(start):
            return cast(IO[bytes], opener(raw))
    return raw


def copy_transcoded(source: IO[bytes], out: IO[bytes], skip: int) -> None:
    decoder = codecs.getincrementaldecoder("utf-16")()
    while True:
        chunk = source.read(CHUNK)
        text = decoder.decode(chunk, final=not chunk)
        if skip:
            cut = min(skip, len(text))
            text, skip = text[cut:], skip - cut
        out.write(text.encode("utf-8"))
        if not chunk:
            return


def copy_bytes(source: IO[bytes], out: IO[bytes], skip: int) -> None:
    if not source.seekable():
        source.read(skip)  # the header, at most a block
        shutil.copyfileobj(source, out, CHUNK)
        return
    source.seek(skip)
    out.flush()
    if not isinstance(source, io.BufferedReader):
        shutil.copyfileobj(source, out, CHUNK)
        return
    # A plain file goes to the pipe without passing through this process.
    offset = skip
    while True:
        sent = os.sendfile(out.fileno(), source.fileno(), offset, CHUNK * 8)
        if sent == 0:
            return
        offset += sent


def relay(head_path: str, fifo: str) -> None:
    with open(head_path, "rb") as head, open(fifo, "wb") as out:
        shutil.copyfileobj(head, out, CHUNK)
        shutil.copyfileobj(sys.stdin.buffer, out, CHUNK)


def rewrite(path: str, fifo: str, encoding: str, skip: int) -> None:
    header = sys.stdin.buffer.read()
    with open_source(path) as source, open(fifo, "wb") as out:
        out.write(header)
        if encoding == "utf-16":
            copy_transcoded(source, out, skip)
        else:
            copy_bytes(source, out, skip)


def main(argv: List[str]) -> int:
    try:
        if argv[0] == "--relay":
            relay(argv[1], argv[2])
        else:
            rewrite(argv[0], argv[1], argv[2], int(argv[3]))
    except BrokenPipeError:
        print("the pass stopped reading", file=sys.stderr)
        return 1
    except (OSError, ValueError, EOFError, UnicodeDecodeError) as e:
        print(f"{type(e).__name__}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
