"""The child process that fills a pass's FIFO: a new header line, then the rest of a file.

    python -m quorvel.feed SOURCE FIFO ENCODING SKIP  < header-line

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
_OPENERS: Dict[bytes, Callable[[str], Any]] = {
    b"\x1f\x8b": gzip.open, b"BZh": bz2.open, b"\xfd7zXZ\x00": lzma.open}


def open_source(path: str) -> IO[bytes]:
    """The file's bytes, decompressed when its magic says gzip, bzip2 or xz."""
    with open(path, "rb") as f:
        magic = f.read(6)
    if magic.startswith(b"\x28\xb5\x2f\xfd"):
        raise ValueError("zstd input cannot be rewritten here; give a plain or gzip file")
    for start, opener in _OPENERS.items():
        if magic.startswith(start):
            return cast(IO[bytes], opener(path))
    return open(path, "rb")


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


def main(argv: List[str]) -> int:
    path, fifo, encoding, skip = argv[0], argv[1], argv[2], int(argv[3])
    header = sys.stdin.buffer.read()
    try:
        with open_source(path) as source, open(fifo, "wb") as out:
            out.write(header)
            if encoding == "utf-16":
                copy_transcoded(source, out, skip)
            else:
                copy_bytes(source, out, skip)
    except BrokenPipeError:
        print("the pass stopped reading", file=sys.stderr)
        return 1
    except (OSError, ValueError, EOFError, UnicodeDecodeError) as e:
        print(f"{type(e).__name__}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
