"""Where a file's table starts and what its columns are called, found in the file's head.

    layout = find_table(head.text, head.complete, TableOptions(), classifier)
    layout.start, layout.header, layout.names  # (25, True, ['Date', 'IBM', ...])

Before the table a file may hold lines that are not rows: comment lines behind a marker, a
title, a row of counts. The body is the run of rows of one width that the head mostly holds;
the delimiter is the one that splits the most rows into that width, and what comes before
the body's first row, or the row one cell shorter before it (a header over row names), is
skipped. A header is told from a first data row by its cells' types: a header is a text
above a column whose cells all have a type.

Every column has one name, used by the report and by every loader:
- a header cell as written;
- an empty header cell, or each column of a file without a header, 'Unitled_' and its
  number among the unnamed ones, from 1;
- a name met again, the name and '.1', '.2', ... in order, skipping a name the header holds;
- the column of row names under a header one cell shorter than the rows, an empty header
  cell before the others (so 'Unitled_1' unless another cell is empty).
"""

import csv
import functools
import io
import itertools
import re
from dataclasses import dataclass
from typing import (Callable, Dict, FrozenSet, Iterable, List, Optional, Pattern, Sequence, Set,
                    Tuple)

CANDIDATES = (",", "\t", ";", "|")
# Leading characters of comment lines in the files met: shell and R ('#'), MATLAB and Octave
# ('%'), and the '//' of C-like tools.
COMMENT_MARKERS = ("#", "%", "//")
# The rows of the body looked at, after the first, to tell a header from data.
TYPED_ROWS = 100
# The share of the rows from the body's first that must have the body's width before a
# narrower row above it is taken for a preamble rather than a first row.
BODY_SHARE = 0.9
# The head read first, and the text of it looked at to find the table beyond its first row.
BLOCK_SIZE = 1 << 16
# A noncharacter, which no text holds, stands for NUL while csv splits the rows.
_NUL_STAND_IN = "\ufdd0"

# Whether a cell's text has a type of the table; None for a missing value.
Classifier = Callable[[str], Optional[bool]]


@dataclass(frozen=True)
class TableOptions:
    """What the caller says of the table; None leaves it to be sniffed."""
    delimiter: Optional[str] = None
    skip_rows: Optional[int] = None  # lines before the table, comment lines included
    comment: Optional[str] = None  # the marker of the comment lines before the table
    header: Optional[bool] = None
    names: Optional[Sequence[str]] = None


@dataclass(frozen=True)
class Layout:
    delimiter: str
    start: int  # index in the head's text of the table's first row (the header, if any)
    skip_rows: int  # lines before it
    comment: Optional[str]  # the marker of the comment lines skipped, if any
    header: bool  # whether the first row names the columns
    row_names: bool  # the header is one cell shorter than the rows, which start with a name
    names: List[str]  # one per column, unique
    header_cells: Optional[List[str]]  # the header row as written; None without a header

    def unnamed(self, position: int) -> bool:
        """Whether the column's name was made up, for want of a header cell."""
        if self.header_cells is None:
            return True
        cell = position - self.row_names
        return not (0 <= cell < len(self.header_cells) and self.header_cells[cell])


def check_table_options(skip_rows: object, comment: object, header: object,
                        names: object) -> None:
    if skip_rows is not None and (isinstance(skip_rows, bool) or not isinstance(skip_rows, int)):
        raise TypeError(f"skip_rows must be an int, not {type(skip_rows).__name__}")
    if isinstance(skip_rows, int) and skip_rows < 0:
        raise ValueError(f"skip_rows must be 0 or more, not {skip_rows}")
    if comment is not None and not isinstance(comment, str):
        raise TypeError(f"comment must be a str, not {type(comment).__name__}")
    if comment == "" or (isinstance(comment, str) and any(c in comment for c in '\r\n"')):
        raise ValueError(f"comment must be a marker without quotes or line breaks, not "
                         f"{comment!r}")
    if header is not None and not isinstance(header, bool):
        raise TypeError(f"header must be True, False or None, not {type(header).__name__}")
    if names is not None:
        if isinstance(names, str) or not isinstance(names, Sequence) or \
                not all(isinstance(n, str) for n in names):
            raise TypeError("names must be a list of str")
        if not names:
            raise ValueError("names must name at least one column")


def find_table(text: str, complete: bool, options: TableOptions,
               has_type: Classifier) -> Layout:
    """The table in the head `text` (the whole input when `complete`)."""
    lines = _lines(text, complete)
    skipped = min(options.skip_rows or 0, len(lines))
    # Lines given to skip are all there is before the table, unless a comment marker is given.
    sniffs = options.skip_rows is None and options.comment is None
    comment, first = _comment_lines(lines, skipped, options.comment, sniffs)
    sample = _sniffed_text(text, lines, first)
    delimiter, (widths, rows) = _split_by(sample, options.delimiter)
    if sniffs and first > skipped and \
            _names_a_column(lines[skipped][1], delimiter, _body_width(widths)):
        comment, first = None, skipped
        widths, rows = _widths(_sniffed_text(text, lines, first), delimiter)
    preamble = 0 if options.skip_rows is not None else _preamble(widths)
    body = rows[preamble:]
    row_names = options.names is None and len(body) > 1 and \
        len(body[0]) + 1 == _body_width(widths[preamble:])
    header = options.header
    if header is None:
        header = row_names or _looks_like_header(body, has_type)
    row_names = row_names and header
    cells = _unstood(body[0]) if header and body else None
    row = first + _lines_of(rows[:preamble])
    return Layout(delimiter, lines[row][0] if row < len(lines) else len(text), row, comment,
                  header, row_names, _names(options.names, cells, row_names, widths[preamble:]),
                  cells)


def _lines(text: str, complete: bool) -> List[Tuple[int, str]]:
    """The head's lines with their offsets, line ends kept; a last line the head cut is out,
    unless it is the only one."""
    lines = []
    offset = 0
    for line in io.StringIO(text, newline=""):
        lines.append((offset, line))
        offset += len(line)
    if not complete and len(lines) > 1 and not lines[-1][1].endswith(("\n", "\r")):
        lines.pop()
    return lines


def _comment_lines(lines: List[Tuple[int, str]], first: int, given: Optional[str],
                   sniffs: bool) -> Tuple[Optional[str], int]:
    """The marker of the comment lines from line `first` on, and the line after them."""
    markers = (given,) if given is not None else COMMENT_MARKERS if sniffs else ()
    marker = next((m for m in markers if first < len(lines) and lines[first][1].startswith(m)),
                  given)
    if marker is None:
        return None, first
    while first < len(lines) and lines[first][1].startswith(marker):
        first += 1
    return marker, first


def _sniffed_text(text: str, lines: List[Tuple[int, str]], first: int) -> str:
    """The text looked at from line `first`: its first row whole and BLOCK_SIZE more, in whole
    lines."""
    if first >= len(lines):
        return ""
    start = lines[first][0]
    end = start + len(lines[first][1]) + BLOCK_SIZE
    last = next((offset for offset, line in lines[first + 1:] if offset + len(line) > end),
                lines[-1][0] + len(lines[-1][1]))
    return text[start:last]


def _rows(text: str, delimiter: str) -> List[List[str]]:
    """The rows as csv splits them, which agrees with the pass: a quote opens a quoted field
    only at the field's first character."""
    try:
        return list(csv.reader(io.StringIO(text.replace("\0", _NUL_STAND_IN), newline=""),
                               delimiter=delimiter))
    except csv.Error:
        return []


def _widths(text: str, delimiter: str) -> Tuple[List[int], List[List[str]]]:
    rows = _rows(text, delimiter)
    return [len(row) for row in rows], rows


def _names_a_column(line: str, delimiter: str, width: int) -> bool:
    """Whether a line that starts with a comment marker is rather a header whose first name
    starts with it ('#id,name'): a row of the body's width whose first cell is one word."""
    rows = _rows(line, delimiter)
    return width > 1 and bool(rows) and len(rows[0]) == width and not any(c.isspace() for c in rows[0][0])


def _body_width(widths: Sequence[int]) -> int:
    """The width most rows have; the wider among equals."""
    counts: Dict[int, int] = {}
    for width in widths:
        if width:
            counts[width] = counts.get(width, 0) + 1
    return max(counts, key=lambda w: (counts[w], w)) if counts else 0


Split = Tuple[List[int], List[List[str]]]  # the widths of the rows, and the rows


def _split_by(text: str, delimiter: Optional[str]) -> Tuple[str, Split]:
    """The delimiter given, or else the one sniffed, and the text split by it."""
    if delimiter:
        return delimiter, _widths(text, delimiter)
    return _sniffed_delimiter(text)


def _sniffed_delimiter(text: str) -> Tuple[str, Split]:
    """The candidate that splits the most rows into one width of two cells or more; the wider
    among equals, then the first listed. A comma when none splits a row. With the text as it
    splits, which the sniffing had to split by every candidate anyway."""
    best: Optional[Tuple[float, int]] = None
    splits = {delimiter: _widths(text, delimiter) for delimiter in CANDIDATES}
    chosen = ","
    for delimiter, (widths, _) in splits.items():
        width = _body_width(widths)
        if width < 2:
            continue
        score = (sum(w == width for w in widths) / len(widths), width)
        if best is None or score > best:
            best, chosen = score, delimiter
    return chosen, splits[chosen]


def _preamble(widths: List[int]) -> int:
    """The rows before the body: narrower than its width, less the row one cell short that may
    stand over row names, when the body's rows mostly have its width."""
    width = _body_width(widths)
    start = next((i for i, w in enumerate(widths) if w >= width - 1), 0)
    if start and widths[start] == width - 1 and start + 1 < len(widths) and \
            widths[start + 1] != width:
        start += 1
    body = widths[start:]
    if not start or sum(w == width for w in body) < BODY_SHARE * len(body):
        return 0
    return start


def _lines_of(rows: Iterable[List[str]]) -> int:
    """The lines that rows of the head take: one each, and one more per line break quoted in
    a cell."""
    return sum(1 + sum(cell.count("\n") + cell.count("\r") - cell.count("\r\n")
                       for cell in row) for row in rows)


def _looks_like_header(body: List[List[str]], has_type: Classifier) -> bool:
    """Whether the first row is a header: a cell of it is text above a column whose cells all
    have a type. A first row that fits the types of the columns below is data; where no column
    has a type, nothing tells them apart, and the first row is taken for a header."""
    if len(body) < 2:
        return True
    first, rest = body[0], body[1:1 + TYPED_ROWS]
    any_typed = False
    for position, cell in enumerate(first):
        below = [has_type(row[position]) for row in rest if position < len(row)]
        kinds = [kind for kind in below if kind is not None]
        if not kinds or not all(kinds):
            continue
        any_typed = True
        if has_type(cell) is False:
            return True
    return not any_typed


def _unstood(row: List[str]) -> List[str]:
    return [cell.replace(_NUL_STAND_IN, "\0") for cell in row]


def _names(given: Optional[Sequence[str]], header: Optional[List[str]], row_names: bool,
           widths: List[int]) -> List[str]:
    if given is not None:
        return unique_names(list(given))
    if header is not None:
        return unique_names([""] + header if row_names else header)
    return unique_names([""] * max(_body_width(widths), 1))


def unique_names(header: List[str], fold: Callable[[str], str] = str) -> List[str]:
    """One name per column, by the rules of this module's docstring; linear in the columns.
    Names alike under `fold` count as one name (DuckDB's names ignore the case of ASCII)."""
    untitled = itertools.count(1)
    filled = [name or f"Unitled_{next(untitled)}" for name in header]
    taken = {fold(name) for name in filled}
    seen: Set[str] = set()
    next_suffix: Dict[str, int] = {}
    names = []
    for name in filled:
        unique = name
        if fold(name) in seen:
            k = next_suffix.get(fold(name), 1)
            while fold(f"{name}.{k}") in taken:
                k += 1
            unique = f"{name}.{k}"
            next_suffix[fold(name)] = k + 1
            taken.add(fold(unique))
        seen.add(fold(name))
        names.append(unique)
    return names


def type_classifier(patterns: Iterable[str], na: Iterable[str]) -> Classifier:
    """Whether a cell matches a pattern of the table, None for a missing value; patterns that
    Python's re does not read are left out of this guess, which only tells a header from
    data."""
    return _TypeGuess(list(patterns), frozenset(na))


class _TypeGuess:
    def __init__(self, patterns: List[str], missing: FrozenSet[str]) -> None:
        self.patterns = patterns
        self.missing = missing

    def __call__(self, cell: str) -> Optional[bool]:
        if cell in self.missing:
            return None
        return self.matcher is not None and self.matcher.fullmatch(cell) is not None

    # Compiled at the first cell asked about: compiling the bundled table in Python's re takes
    # longer than sniffing the head, and a run told whether there is a header asks about none.
    @functools.cached_property
    def matcher(self) -> Optional[Pattern[str]]:
        readable = []
        for pattern in self.patterns:
            try:
                re.compile(pattern)
                readable.append(f"(?:{pattern})")
            except re.error:
                pass
        return re.compile("|".join(readable)) if readable else None
