"""Where rows start in the bytes of a CSV file, found without reading it from its start.

    scan = QuoteScan(start, end)            # a range's quotes, and its first row start for
    for block in blocks: scan.feed(block)   # each state the range may start in
    first_row_end(head, ",", complete)      # where the first row of some bytes ends

The tokenizer (csv-parser/parser.hpp) ends rows at CR, LF or CR LF outside quotes. A quote
opens a quoted field only as a field's first byte; inside, a doubled quote is a literal quote;
after the closing quote the field goes on unquoted, and a quote anywhere but at a field's start
is data. Whether a byte is inside quotes is then, for files whose every quote opens, closes or
doubles (RFC 4180's rule), the parity of the quotes before it: QuoteScan counts them range by
range, so that the ranges' states follow from their counts alone. A quote in the middle of an
unquoted field, or text after a closing quote, breaks that parity: whether a range as parity
cut it ends where a row ends, the engine's pass over it tells (quorvel_ext._ended_at_row_end).
RowEndCheck follows the tokenizer's own rules from a known row start over bytes fed in order,
and first_row_end finds with it where the first row of a head ends. Both run in the module
(quorvel_ext._scan_quotes, _follow_rows), at the speed of a memchr, over blocks the caller
reads.
"""

import re
from typing import List, Optional, Union

import quorvel_ext

QUOTE = b'"'
_LINE_END = re.compile(rb"\r\n|\r|\n")
# The tokenizer's states that _follow_rows reports: at a row's start, and just past its end
# (with 8 added when a CR ended the bytes and an LF next would be part of it).
_ROW_START = 0
_ROW_END = 4
_AFTER_CR = 8


class QuoteScan:
    """The quotes of the byte range [start, end), and its first row start for either state it
    may start in: found[0] outside quotes, found[1] inside, each None when no row starts in
    (start, end + 1]. A row start is the byte after a line end, and never the LF of a CR LF.
    line_end: whether the range's last byte ends a line, which ends a row where it is outside
    quotes.

    Fed the range's bytes in order; a CR that ends a block waits for the next block, and one
    that ends the range for `after`, the byte that follows the range (b"" at the file's end).
    """

    def __init__(self, start: int, end: int) -> None:
        self.quotes = 0
        self.found: List[Optional[int]] = [None, None]
        self.end = end
        self.line_end = False
        self._offset = start  # of the first byte not yet scanned
        self._held = b""
        self._last = b""

    def feed(self, block: Union[bytes, memoryview]) -> None:
        """Scans the next bytes of the range; `block` may be a view of a buffer that the caller
        fills again once this returns, as nothing of it is kept."""
        data = memoryview(block)
        # A CR held back is settled by the byte after it, which may be another CR.
        while self._held and data:
            self._scan(self._held + bytes(data[:1]))
            data = data[1:]
        if data:
            self._scan(data)

    def _scan(self, data: Union[bytes, memoryview]) -> None:
        self._held = b"\r" if data[-1:] == b"\r" else b""
        data = data[:len(data) - len(self._held)]
        quotes, after_even, after_odd = quorvel_ext._scan_quotes(data)
        for state in (0, 1):
            # A line end is outside quotes where the range's state and the quotes before it
            # add up to an even number.
            first = after_even if (state + self.quotes) % 2 == 0 else after_odd
            if self.found[state] is None and first is not None:
                self.found[state] = self._offset + first
        self._advance(data, quotes)

    def finish(self, after: bytes) -> None:
        """Settles a CR at the range's end by the byte that follows the range."""
        if self._held:
            for state in (0, 1):
                if self.found[state] is None and (state + self.quotes) % 2 == 0:
                    self.found[state] = self._offset + (2 if after[:1] == b"\n" else 1)
            self._advance(self._held, 0)
        self.line_end = self._last == b"\n" or (self._last == b"\r" and after[:1] != b"\n")

    def _advance(self, data: Union[bytes, memoryview], quotes: int) -> None:
        self.quotes += quotes
        self._offset += len(data)
        self._last = bytes(data[-1:]) or self._last


def row_starts(scans: List[QuoteScan], data_start: int, size: int) -> List[int]:
    """The first row start in each range of `scans`, which cover [data_start, size) in order,
    at or after the range's first byte, by parity: a range starts outside quotes when the
    quotes before it are even. A range's first byte is a row start when the range before ends
    a line outside quotes; else its first row start is the one it found for its state. Ranges
    with no row start give none, and the rows that cross them belong to the range before."""
    starts = [data_start]
    quotes = 0
    for before, scan in zip(scans, scans[1:]):
        quotes += before.quotes
        ends_row = before.line_end and quotes % 2 == 0
        found = before.end if ends_row else scan.found[quotes % 2]
        if found is not None and starts[-1] < found < size:
            starts.append(found)
    return starts


class RowEndCheck:
    """Follows the tokenizer over bytes fed in order from a row start, and tells whether they
    end where a row ends."""

    def __init__(self, delimiter: str) -> None:
        self._delimiter = delimiter
        self._state = _ROW_START

    def feed(self, block: bytes) -> None:
        self._state = quorvel_ext._follow_rows(block, self._delimiter, self._state)

    def ends_at_row_end(self) -> bool:
        # A CR that may yet have its LF ends a row all the same: a caller's range never ends
        # between the two.
        return self._state & ~_AFTER_CR == _ROW_END


def first_row_end(raw: bytes, delimiter: str, complete: bool) -> Optional[int]:
    """The offset just past the first row of `raw` as the tokenizer reads it, or None when the
    row goes on past `raw` (a CR that ends an incomplete `raw` may yet have its LF)."""
    check = RowEndCheck(delimiter)
    fed = 0
    for line_end in _LINE_END.finditer(raw):
        check.feed(raw[fed:line_end.end()])
        fed = line_end.end()
        if check.ends_at_row_end():
            settled = complete or fed < len(raw) or raw.endswith(b"\n")
            return fed if settled else None
    return None
