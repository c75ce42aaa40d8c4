"""The report as a notebook draws it: per column a bar of its types, missing and absent cells,
the verdict with its share and the first texts that do not fit, in plain HTML and CSS. Nothing
runs and nothing is fetched, so Jupyter, VS Code and GitHub show the same page; colours are
mid-tones and text takes the theme's own colour, so it reads in light and dark themes alike.

    from IPython.display import HTML
    HTML(html(report))  # what report._repr_html_() gives a notebook
"""

import html as markup
from typing import TYPE_CHECKING, Dict, Iterable, List, Sequence, Tuple

from .display import (ABSENT, NA, duplicate_name_notes, example_text, legend, printable, ranked,
                      share_text, starred, summary, with_examples)

if TYPE_CHECKING:  # the report imports its views, so the views see it only when typed
    from .report import Column, Report

BAR_PX = 400  # every bar is this wide, whatever its column's cells, so bars compare at a glance
BAR_HEIGHT_PX = 14
OPEN_COLUMNS = 50  # columns drawn openly; the rest of a wide file folds into pages
PAGE_COLUMNS = 250  # columns in each folded page

# One colour per type, given in the order of the types' cells in the whole file, largest first,
# so that the same type has the same colour in every column; past the end they repeat.
PALETTE = ("#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2", "#edc948", "#b07aa1",
           "#ff9da7", "#9c755f", "#1f9e89", "#d37295", "#8cd17d", "#fabfd2", "#a0cbe8",
           "#ffbe7d", "#86bcb6")
FIXED_COLOURS = {"other": "#6b6b6b", NA: "#b8b8b8", ABSENT: "#e4dccf"}

_STYLE = """<style>
.quorvel-report table { border-collapse: collapse; }
.quorvel-report th, .quorvel-report td { padding: 2px 8px; text-align: left;
  vertical-align: top; border-bottom: 1px solid rgba(127, 127, 127, 0.3); }
.quorvel-report .qv-number { text-align: right; font-variant-numeric: tabular-nums; }
.quorvel-report .qv-segment:hover { filter: brightness(1.25); }
.quorvel-report .qv-key { display: inline-block; margin-right: 12px; white-space: nowrap; }
.quorvel-report .qv-faint { opacity: 0.75; }
.quorvel-report summary { cursor: pointer; margin: 6px 0; }
</style>"""
_HEADINGS = ("column", "verdict", "share", "cells", "NA", "make-up", "first misfits")
_NUMBERS = (False, False, True, True, True, False, False)


def html(report: "Report") -> str:
    """The whole report, its columns past OPEN_COLUMNS folded into pages."""
    colours = colour_of_types(report.columns)
    parts = [_STYLE, f"<p><strong>{_text(summary(report))}</strong></p>"]
    if report.columns:
        parts.append(_legend_keys(colours, report.columns))
        parts.append(_table(report.columns[:OPEN_COLUMNS], colours))
        parts += _folded_pages(report.columns, colours)
        parts += [f'<p class="qv-faint">{_text(line)}</p>'
                  for line in legend([report]) + duplicate_name_notes(report)]
    else:
        parts.append("<p>(the file is empty)</p>")
    return '<div class="quorvel-report">' + "".join(parts) + "</div>"


def colour_of_types(columns: Sequence["Column"]) -> Dict[str, str]:
    """A colour for each type the columns hold, and the fixed ones for other, NA and absent."""
    totals: Dict[str, int] = {}
    for column in columns:
        for kind, n in column.counts.items():
            if kind not in FIXED_COLOURS:
                totals[kind] = totals.get(kind, 0) + n
    by_size = sorted(totals, key=lambda kind: -totals[kind])
    return {**{kind: PALETTE[i % len(PALETTE)] for i, kind in enumerate(by_size)},
            **FIXED_COLOURS}


def segments(column: "Column") -> List[Tuple[str, int]]:
    """The parts of a column's bar in order: its types largest first, then NA, then absent."""
    parts = ranked(column) + [(NA, column.missing), (ABSENT, column.absent)]
    return [(kind, n) for kind, n in parts if n > 0]


def widths_px(counts: Sequence[int], total_px: int = BAR_PX) -> List[int]:
    """Whole pixels in proportion to the counts that add up to `total_px` exactly: each count
    gets the floor of its share and the largest remainders get a pixel more. A count too small
    for a pixel of its own gets one anyway, taken from the widest part, so that a single misfit
    among millions still shows."""
    whole = sum(counts)
    if whole == 0:
        return [0] * len(counts)
    exact = [n * total_px / whole for n in counts]
    widths = [int(x) for x in exact]
    by_remainder = sorted(range(len(counts)), key=lambda i: widths[i] - exact[i])
    for i in by_remainder[:total_px - sum(widths)]:
        widths[i] += 1
    for i, n in enumerate(counts):
        if n > 0 and widths[i] == 0:
            widths[i] = 1
            widths[widths.index(max(widths))] -= 1
    return widths


def _legend_keys(colours: Dict[str, str], columns: Sequence["Column"]) -> str:
    present = {kind for c in columns for kind, _ in segments(c)}
    keys = [f'<span class="qv-key">{_swatch(colours[kind])} {_text(kind)}</span>'
            for kind in colours if kind in present]
    return "<p>" + "".join(keys) + "</p>"


def _swatch(colour: str) -> str:
    return (f'<span style="display:inline-block;width:10px;height:10px;background:{colour};'
            'vertical-align:middle"></span>')


def _folded_pages(columns: Sequence["Column"], colours: Dict[str, str]) -> List[str]:
    pages = []
    for start in range(OPEN_COLUMNS, len(columns), PAGE_COLUMNS):
        page = columns[start:start + PAGE_COLUMNS]
        label = f"columns {start + 1} to {start + len(page)} of {len(columns)}"
        pages.append(f"<details><summary>{label}</summary>{_table(page, colours)}</details>")
    return pages


def _table(columns: Iterable["Column"], colours: Dict[str, str]) -> str:
    head = "".join(_cell("th", h, number) for h, number in zip(_HEADINGS, _NUMBERS))
    rows = "".join(_row(c, colours) for c in columns)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table>"


def _row(column: "Column", colours: Dict[str, str]) -> str:
    texts = (printable(column.name), column.verdict, share_text(column), str(column.cells),
             str(column.missing))
    cells = "".join(_cell("td", t, number) for t, number in zip(texts, _NUMBERS))
    # pre-wrap, so that a text of spaces shows as many as it has.
    return (f"<tr>{cells}<td>{_bar(column, colours)}</td>"
            f'<td style="white-space:pre-wrap">{_misfits(column)}</td></tr>')


def _cell(tag: str, text: str, number: bool) -> str:
    kind = ' class="qv-number"' if number else ""
    return f"<{tag}{kind}>{_text(text)}</{tag}>"


def _bar(column: "Column", colours: Dict[str, str]) -> str:
    """The column's cells as one bar of BAR_PX pixels; hovering a part names it, gives its
    count and share and, for cells the verdict does not cover, their first texts."""
    parts = segments(column)
    whole = sum(n for _, n in parts)
    examples = {kind: found for kind, _, found in with_examples(column)}
    spans = "".join(
        f'<span class="qv-segment" title="{_hover(column, kind, n, whole, examples)}" '
        f'style="flex:none;width:{px}px;background:{colours[kind]}"></span>'
        for (kind, n), px in zip(parts, widths_px([n for _, n in parts])) if px)
    # The outline sits outside the bar's box: it bounds light parts on a light page without
    # taking a pixel from the parts.
    return (f'<div class="qv-bar" style="display:flex;width:{BAR_PX}px;'
            f'height:{BAR_HEIGHT_PX}px;outline:1px solid rgba(127,127,127,0.5)">{spans}</div>')


def _hover(column: "Column", kind: str, n: int, whole: int,
           examples: Dict[str, List[Tuple[str, int]]]) -> str:
    mark = "*" if starred(column, kind) else ""
    lines = [f"{kind}{mark}: {n} of {whole} cells ({n / whole:.1%})"]
    lines += [example_text(text, row) for text, row in examples.get(kind, [])]
    return "&#10;".join(_text(line) for line in lines)  # a line break the tooltip keeps


def _misfits(column: "Column") -> str:
    """Each type's first texts the verdict does not cover, or a mixed column's, one a line."""
    lines = [f"{kind}{'*' if starred(column, kind) else ''} {n}: "
             + ", ".join(example_text(text, row) for text, row in found)
             for kind, n, found in with_examples(column)]
    return "<br>".join(_text(line) for line in lines)


def _text(text: str) -> str:
    """Text that shows as written in an element or in a quoted attribute, never as markup."""
    return markup.escape(printable(text), quote=True)
