"""Guessing a file's delimiter from its first block.

    sniff_delimiter(b"a;b\\n1;2\\n")  # ';'
"""

import csv
import io
from typing import List, Optional, Tuple

CANDIDATES = (",", "\t", ";", "|")
BLOCK_SIZE = 1 << 16


def sniff_delimiter(head: bytes, complete: bool = True) -> str:
    """The candidate that splits the rows most consistently into the most fields.

    `complete` says whether `head` is the whole file; when it is not, its last
    line may be cut short and is left out. Falls back to a comma when no
    candidate splits the header.
    """
    # Latin-1 maps every byte to one character, and the candidates are ASCII.
    text = head.decode("latin-1")
    if not complete and "\n" in text:
        text = text[:text.rindex("\n")]
    scores = [(_score(text, d), d) for d in CANDIDATES]
    scored = [(score, d) for score, d in scores if score is not None]
    return max(scored, key=lambda item: item[0])[1] if scored else ","


def _score(text: str, delimiter: str) -> Optional[Tuple[float, int]]:
    """(share of rows as wide as the header, header width), or None if it splits nothing."""
    try:
        widths: List[int] = [len(row) for row in csv.reader(io.StringIO(text, newline=""),
                                                             delimiter=delimiter) if row]
    except csv.Error:
        return None
    if not widths or widths[0] < 2:
        return None
    return sum(w == widths[0] for w in widths) / len(widths), widths[0]
