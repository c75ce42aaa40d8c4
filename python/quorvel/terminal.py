"""The report as the command prints it: a table whose lines fit the terminal, coloured when asked,
or a Markdown table to paste into an issue. The legend is not part of a file's table, so that a
run over many files prints it once, after them all.

    print("\\n".join(text_lines(report, width=80, style=Style(colour=True))))
    print("\\n".join(text_lines(report, width=80) + [""] + legend_text([report], width=80)))
    print(markdown(report))
"""

import re
import textwrap
from typing import TYPE_CHECKING, List, Sequence, Tuple

from .display import (ABSENT, HEADINGS, duplicate_name_notes, example_text, legend, printable,
                      ranked, share_text, starred, summary, with_examples)
from .types import EMPTY, MIXED, TEXT

if TYPE_CHECKING:  # the report imports its views, so the views see it only when typed
    from .report import Column, Report

DEFAULT_WIDTH = 100  # of the lines when the output is no terminal, and of str(report)
NARROWEST = 60  # a terminal narrower than this gets lines as wide, which it wraps itself
SHORTEST_NAME = 8  # characters of a column's name or verdict kept however narrow the line
INDENT_BELOW = 4  # of counts that go under the table's cells rather than beside them
EXAMPLE_LINES = 3  # types of a column whose first texts are shown under its line
GAP = "  "
RIGHT_ALIGNED = (False, False, True, True, True)

# Select Graphic Rendition codes by what the text is.
_SGR = {"heading": "1", "summary": "1", "verdict": "32", MIXED: "33", TEXT: "36", EMPTY: "2",
        "misfit": "31", "example": "2"}


class Style:
    """Colours text by its role with terminal escapes, or leaves it as it is."""

    def __init__(self, colour: bool = False) -> None:
        self.colour = colour

    def paint(self, text: str, role: str) -> str:
        if not self.colour or not text:
            return text
        return f"\x1b[{_SGR[role]}m{text}\x1b[0m"

    def verdict(self, text: str, verdict: str) -> str:
        return self.paint(text, verdict if verdict in _SGR else "verdict")


PLAIN = Style()


def text_lines(report: "Report", width: int = DEFAULT_WIDTH, style: Style = PLAIN) -> List[str]:
    """The summary, then a line per column with the first texts of the types that matter folded
    under it, every line at most `width` characters before colouring."""
    width = max(width, NARROWEST)
    if not report.columns:
        return [style.paint(line, "summary")
                for line in _wrap_summary(summary(report) + " (the file is empty)", width)]
    head = [style.paint(line, "summary") for line in _wrap_summary(summary(report), width)]
    cells = [list(HEADINGS)] + [_fixed_cells(c) for c in report.columns]
    widths = _fitted_widths(cells, width)
    for row in cells:
        row[0], row[1] = _clipped(row[0], widths[0]), _clipped(row[1], widths[1])
    counts_at = sum(widths) + len(GAP) * len(widths)
    # Counts go under the table's cells when a line leaves too little room beside them.
    longest = max(len(text) for c in report.columns for text, _ in _count_entries(c))
    indent = counts_at if width - counts_at > max(20, longest) else INDENT_BELOW
    heading = _aligned(cells[0], widths) + (HEADINGS[-1] if indent != INDENT_BELOW else "")
    lines = head + ["", style.paint(heading.rstrip(), "heading")]
    for column, row in zip(report.columns, cells[1:]):
        lines += _column_lines(column, _aligned(row, widths, style.verdict(row[1], column.verdict)),
                               indent, width, style)
    return lines + duplicate_name_notes(report)


def legend_text(reports: Sequence["Report"], width: int = DEFAULT_WIDTH) -> List[str]:
    return [part for line in legend(reports) for part in _wrap(line, max(width, NARROWEST))]


def _wrap(text: str, width: int) -> List[str]:
    """The text in lines of at most `width` characters, those after the first indented."""
    return textwrap.wrap(text, width, subsequent_indent="  ", break_on_hyphens=False)


def _wrap_summary(text: str, width: int) -> List[str]:
    """The summary broken only after its path and its commas, unless a part is wider than the
    line."""
    # textwrap breaks at ASCII whitespace only, so no-break spaces hold each part together.
    path, _, rest = text.rpartition(": ")
    parts = [path + ":"] + rest.split(", ")
    kept = " ".join(part.replace(" ", "\xa0") + ("," if 0 < i < len(parts) - 1 else "")
                    for i, part in enumerate(parts))
    return [line.replace("\xa0", " ") for line in _wrap(kept, width)]


def _fixed_cells(column: "Column") -> List[str]:
    """The cells before the counts."""
    return [printable(column.name), column.verdict, share_text(column), str(column.cells),
            str(column.missing)]


def _fitted_widths(cells: Sequence[Sequence[str]], width: int) -> List[int]:
    """The widths of the cells before the counts, the name and then the verdict cut so that
    they fit the line beside the numbers: a name to a quarter of the line at most, neither
    under SHORTEST_NAME."""
    widths = [max(len(row[i]) for row in cells) for i in range(len(HEADINGS) - 1)]
    room = width - len(GAP) * len(widths) - sum(widths[2:])  # for the name and the verdict
    widths[0] = min(widths[0], max(SHORTEST_NAME, min(width // 4, room - widths[1])))
    widths[1] = min(widths[1], max(SHORTEST_NAME, room - widths[0]))
    return widths


def _aligned(row: Sequence[str], widths: Sequence[int], verdict: str = "") -> str:
    """The cells padded to their widths, each followed by the gap; `verdict`, when given,
    replaces the verdict's text once it is padded, so that colour never counts towards a
    width."""
    out = ""
    for i, (cell, cell_width, right) in enumerate(zip(row, widths, RIGHT_ALIGNED)):
        pad = " " * (cell_width - len(cell))
        shown = verdict if i == 1 and verdict else cell
        out += (pad + shown if right else shown + pad) + GAP
    return out


def _column_lines(column: "Column", fixed: str, indent: int, width: int,
                  style: Style) -> List[str]:
    """The column's line after its `fixed` cells, its counts beside them or, when `indent` is
    short of them, under them; then its examples."""
    counts = _counts_lines(column, indent, width, style)
    if indent != INDENT_BELOW:
        out = [(fixed + counts[0]).rstrip()] + [" " * indent + p for p in counts[1:]]
    else:
        out = [fixed.rstrip()] + [" " * indent + p for p in counts]
    return out + [" " * (indent + 2) + style.paint(line, "example")
                  for line in _example_lines(column, width - indent - 2)]


def _counts_lines(column: "Column", indent: int, width: int, style: Style) -> List[str]:
    """The counts from `indent` in as many lines as they need, those the verdict leaves out
    painted as misfits."""
    room = width - indent - 1  # a type's name too long for a line of its own is cut short
    entries = [(_clipped(text, room), misfit) for text, misfit in _count_entries(column)]
    lines = _wrapped(entries, indent, width)
    return [", ".join(style.paint(text, "misfit") if misfit else text for text, misfit in line)
            + ("," if i < len(lines) - 1 else "") for i, line in enumerate(lines)]


def _count_entries(column: "Column") -> List[Tuple[str, bool]]:
    """Each count as shown, and whether the verdict leaves its cells out."""
    entries = [(f"{kind}{'*' if starred(column, kind) else ''} {n}", starred(column, kind))
               for kind, n in ranked(column)]
    if column.absent:
        entries.append((f"{ABSENT} {column.absent}", False))
    return entries or [("-", False)]


def _wrapped(entries: Sequence[Tuple[str, bool]], indent: int,
             width: int) -> List[List[Tuple[str, bool]]]:
    """The entries in lines of at most `width` characters from `indent`, split between entries,
    with room for the comma that ends each line but the last."""
    lines: List[List[Tuple[str, bool]]] = [[]]
    used = indent
    for entry in entries:
        needed = len(entry[0]) + (2 if lines[-1] else 0)
        if lines[-1] and used + needed + 1 > width:
            lines.append([])
            used, needed = indent, len(entry[0])
        lines[-1].append(entry)
        used += needed
    return lines


def _example_lines(column: "Column", room: int) -> List[str]:
    """The first texts of the largest types worth showing, one type a line, as many texts as
    fit in `room` characters; a last line says how many types are left out."""
    shown = with_examples(column)
    lines = [_fitted(f"e.g. {kind}:", [example_text(t, r) for t, r in examples], room)
             for kind, _, examples in shown[:EXAMPLE_LINES]]
    if len(shown) > EXAMPLE_LINES:
        lines.append(_clipped(f"and {len(shown) - EXAMPLE_LINES} more types", room))
    return lines


def _fitted(label: str, parts: Sequence[str], room: int) -> str:
    """The label and as many whole parts as fit in `room`; the first part cut short if even it
    does not."""
    line = label
    for i, part in enumerate(parts):
        candidate = f"{line} {part}" if i == 0 else f"{line}, {part}"
        if len(candidate) > room:
            return line if i else _clipped(candidate, room)
        line = candidate
    return line


def _clipped(text: str, room: int) -> str:
    return text if len(text) <= room else text[:max(room - 1, 0)] + "…"


# Markdown

def markdown(report: "Report") -> str:
    """The report as a GitHub-flavoured Markdown table, each column's examples in its counts
    cell, every text escaped so that it shows as written."""
    head = _escaped(summary(report))
    if not report.columns:
        return head + " (the file is empty)"
    rows = ["| " + " | ".join(HEADINGS) + " |",
            "|" + "|".join("--:" if right else "---" for right in RIGHT_ALIGNED + (False,)) + "|"]
    rows += ["| " + " | ".join(_markdown_cells(c)) + " |" for c in report.columns]
    notes = [_escaped(n) for n in duplicate_name_notes(report)]
    return "\n".join([head, ""] + rows + ([""] + notes if notes else []))


def markdown_legend(reports: Sequence["Report"]) -> str:
    return "\n".join(f"- {_escaped(line)}" for line in legend(reports))


def _markdown_cells(column: "Column") -> List[str]:
    examples = {kind: found for kind, _, found in with_examples(column)}
    counts = [_escaped(kind + ("*" if starred(column, kind) else "")) + f" {n}"
              + _markdown_examples(examples.get(kind, [])) for kind, n in ranked(column)]
    if column.absent:
        counts.append(f"{ABSENT} {column.absent}")
    return [_escaped(printable(column.name)), _escaped(column.verdict), share_text(column),
            str(column.cells), str(column.missing), ", ".join(counts) or "-"]


def _markdown_examples(examples: Sequence[Tuple[str, int]]) -> str:
    if not examples:
        return ""
    shown = ", ".join(f"{_code(printable(repr(text)))} row {row}" for text, row in examples)
    return f" (e.g. {shown})"


def _escaped(text: str) -> str:
    """The text with each mark Markdown could read as markup escaped, so that it shows as
    written."""
    escaped = "".join("\\" + c if c in _MARKUP else c for c in text)
    return "\\" + escaped if escaped[:1] in ("-", "+", "=") else escaped


_MARKUP = set("\\`*_[]<>|~&#!")


def _code(text: str) -> str:
    """The text as a code span, fenced by more backticks than it holds in a row; its pipes are
    escaped, as a table cell needs even inside code."""
    longest = max((len(run) for run in re.findall("`+", text)), default=0)
    fence = "`" * (longest + 1)
    padded = f" {text} " if text.startswith("`") or text.endswith("`") else text
    return fence + padded.replace("|", "\\|") + fence
