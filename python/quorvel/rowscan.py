"""Where rows start in the bytes of a CSV file, found without reading it from its start.

    scan = QuoteScan(start, end)            # a range's quotes, and its first row start for
    for block in blocks: scan.feed(block)   # each state the range may start in
    check = RowEndCheck(",")                # the tokenizer's quoting from a row start on
    for block in blocks: check.feed(block)
    check.feed(b"", final=True); check.ends_at_row_end()

The tokenizer (csv-parser/parser.hpp) ends rows at CR, LF or CR LF outside quotes. A quote
opens a quoted field only as a field's first byte; inside, a doubled quote is a literal quote;
after the closing quote the field goes on unquoted, and a quote anywhere but at a field's start
is data. Whether a byte is inside quotes is then, for files whose every quote opens, closes or
doubles (RFC 4180's rule), the parity of the quotes before it: QuoteScan counts them range by
range, so that the ranges' states follow from their counts alone. A quote in the middle of an
unquoted field, or text after a closing quote, breaks that parity; RowEndCheck follows the
tokenizer's own rules from a known row start and tells whether a range, as parity cut it, ends
where a row ends.
"""

import functools
import re
from typing import List, Optional, Pattern

QUOTE = b'"'
_LINE_END = re.compile(rb"\r\n|\r|\n")


class QuoteScan:
    """The quotes of the byte range [start, end), and its first row start for either state it
    may start in: found[0] outside quotes, found[1] inside, each None when no row starts in
    (start, end]. A row start is the byte after a line end, and never the LF of a CR LF.
    line_end: whether the range's last byte ends a line, which ends a row where it is outside
    quotes.

    Fed the range's bytes in order; a CR that ends a block waits for the next block, and one
    that ends the range for `after`, the byte that follows the range (b"" at the file's end).
    """

    def __init__(self, start: int, end: int) -> None:
        self.quotes = 0
        self.found: List[Optional[int]] = [None, None]
        self._offset = start  # of the first byte not yet fed
        self.end = end
        self._held = b""
        self._last = b""
        self.line_end = False

    def feed(self, block: bytes) -> None:
        data = self._held + block
        self._held = data[-1:] if data.endswith(b"\r") else b""
        self._scan(data[:len(data) - len(self._held)])

    def finish(self, after: bytes) -> None:
        """Settles a CR at the range's end by the byte that follows the range."""
        if self._held:
            self._scan(self._held, lookahead=after[:1])
        self.line_end = self._last == b"\n" or (self._last == b"\r" and after[:1] != b"\n")

    def _scan(self, data: bytes, lookahead: bytes = b"") -> None:
        counted = 0
        text = data + lookahead
        for line_end in _LINE_END.finditer(text):
            if line_end.start() >= len(data) or None not in self.found:
                break
            self.quotes += data.count(QUOTE, counted, line_end.start())
            counted = line_end.start()
            # Odd quotes before this line end: it ends a row if the range started in quotes.
            parity = self.quotes % 2
            if self.found[parity] is None:
                self.found[parity] = self._offset + line_end.end()
        self.quotes += data.count(QUOTE, counted)
        self._offset += len(data)
        self._last = data[-1:] or self._last


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


@functools.lru_cache(maxsize=None)
def _unquoted_run(delimiter: bytes) -> Pattern[bytes]:
    """Bytes outside quotes up to a quoted field that does not close in them: plain bytes, whole
    quoted fields, and quotes that are data. `(?=(...))\\1` matches as an atomic group, which
    Python 3.8 lacks, so that a doubled quote is never taken for a closing one by backtracking.
    A quote opens a field only after a delimiter or a line end: the text after a closing quote
    never holds one, since the closing quote's field goes on up to the next delimiter."""
    boundary = b"[" + re.escape(delimiter) + rb"\r\n]"
    return re.compile(rb'(?:[^"]+|(?<=' + boundary + rb')"(?=([^"]*(?:""[^"]*)*))\1"|(?<!'
                      + boundary + rb')")*')


# The rest of a quoted field: up to its closing quote, or to the end of the bytes.
_QUOTED_REST = re.compile(rb'(?=([^"]*(?:""[^"]*)*))\1')


class RowEndCheck:
    """Follows the tokenizer's quoting over bytes fed in order from a row start, and tells
    whether they end where a row ends: outside quotes, just after a CR or an LF.

    A run of quotes that ends a block waits for the next one, since only the whole run tells
    which of its quotes pair up and which one closes.
    """

    def __init__(self, delimiter: str) -> None:
        self._run = _unquoted_run(delimiter.encode("ascii"))
        self._before = b"\n"  # the byte before the next one fed: a row start follows a line end
        self._held = b""
        self._quoted = False

    def feed(self, block: bytes, final: bool = False) -> None:
        data = self._held + block
        kept = len(data) if final else len(data.rstrip(QUOTE))
        data, self._held = data[:kept], data[kept:]
        if data:
            self._follow(self._before + data)
            self._before = data[-1:]

    def ends_at_row_end(self) -> bool:
        return not self._quoted and not self._held and self._before in (b"\r", b"\n")

    def _follow(self, text: bytes) -> None:
        if not self._quoted and QUOTE not in text:
            return  # most blocks: nothing to follow, and memchr tells it at memory speed
        at = 1  # text[0] was fed before, and is there for the look-behind
        while at < len(text):
            if self._quoted:
                at = _end_of(_QUOTED_REST, text, at)
                if at < len(text):
                    at += 1  # the closing quote
                    self._quoted = False
            else:
                at = _end_of(self._run, text, at)
                if at < len(text):
                    at += 1  # a quote that opens a field going on past these bytes
                    self._quoted = True


def _end_of(pattern: Pattern[bytes], text: bytes, at: int) -> int:
    """Where a match of `pattern`, which matches an empty text too, ends from `at`."""
    match = pattern.match(text, at)
    assert match is not None
    return match.end()


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
