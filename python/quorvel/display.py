"""What every view of a report shows alike, whether text, Markdown or HTML: the summary line, a
column's types largest first, which of them the verdict does not cover, their first texts, and
the legend that explains the marks.

    for kind, count in ranked(column):
        mark = "*" if starred(column, kind) else ""
"""

from typing import TYPE_CHECKING, Dict, List, Sequence, Tuple

from .types import EMPTY, MIXED

if TYPE_CHECKING:  # the report imports its views, so the views see it only when typed
    from .report import Column, Report

EXAMPLES_SHOWN = 3
HEADINGS = ("column", "verdict", "share", "cells", "NA", "counts")
NA = "NA"  # the name the views give missing cells beside a column's types
ABSENT = "absent"  # and cells that rows shorter than the header do not have


def summary(report: "Report") -> str:
    rows = f"{report.rows} data row" + ("" if report.rows == 1 else "s")
    columns = f"{len(report.columns)} column" + ("" if len(report.columns) == 1 else "s")
    how = "sniffed" if report.delimiter_sniffed else "given"
    found = "detected" if report.encoding_detected else "given"
    ragged = "".join(f", {n} {what} row" + ("" if n == 1 else "s")
                     for n, what in ((report.short_rows, "short"), (report.long_rows, "long"))
                     if n)
    undecodable = "" if not report.undecodable else (
        f", {report.undecodable} undecodable byte sequence"
        + ("" if report.undecodable == 1 else "s")
        + f" (the first at byte {report.first_undecodable_at}; shown as \\x escapes)")
    return (f"{printable(report.path)}: {rows}, {columns}, delimiter {report.delimiter!r} "
            f"({how}), {report.encoding} ({found}){_table_text(report)}{ragged}{undecodable}"
            f"{_split_text(report)}")


def _table_text(report: "Report") -> str:
    """Where the table starts and whether it has a header, when it is not a plain table."""
    parts = []
    if report.skip_rows:
        how = "sniffed" if report.skip_rows_sniffed else "given"
        lines = f"{report.skip_rows} line" + ("" if report.skip_rows == 1 else "s")
        comment = "" if report.comment is None else f", comment {printable(report.comment)!r}"
        parts.append(f"{lines} skipped ({how}){comment}")
    if not report.header:
        parts.append("no header (" + ("sniffed" if report.header_sniffed else "given") + ")")
    elif report.header_sniffed and all(c.verdict in ("text", "empty") for c in report.columns):
        # No type sets a header apart from data here, so the guess could cost a data row.
        parts.append("first row taken for the header, as every column is text")
    if report.row_names:
        parts.append("row names in the first column")
    return "".join(", " + part for part in parts)


def _split_text(report: "Report") -> str:
    if report.unsplit is not None:
        return f"; counted on a cluster as one task: {report.unsplit}"
    if report.ranges is not None:
        return f"; counted on a cluster in {report.ranges} byte range" + (
            "" if report.ranges == 1 else "s")
    return ""


def share_text(column: "Column") -> str:
    return "-" if column.share is None else f"{column.share:.1%}"


def ranked(column: "Column") -> List[Tuple[str, int]]:
    """The column's non-missing cells by type, largest first; equal counts keep the pass's
    order."""
    return sorted(column.counts.items(), key=lambda item: -item[1])


def starred(column: "Column", kind: str) -> bool:
    """Whether the verdict leaves these cells out. A mixed or empty column has no verdict to
    leave them out of, so nothing of it is starred."""
    return column.verdict not in (MIXED, EMPTY) and kind in column.misfits


def with_examples(column: "Column") -> List[Tuple[str, int, List[Tuple[str, int]]]]:
    """The types whose first texts are worth showing, largest first, each with its count and
    its first examples: those the verdict does not cover, or every type of a mixed column."""
    return [(kind, n, column.misfit_examples[kind][:EXAMPLES_SHOWN])
            for kind, n in ranked(column) if column.misfit_examples.get(kind)]


def example_text(text: str, row: int) -> str:
    return f"{printable(repr(text))} row {row}"


def duplicate_name_notes(report: "Report") -> List[str]:
    """One note per name that several header cells share, at the first of them."""
    first: Dict[str, int] = {}
    for column in report.columns:
        first.setdefault(column.name, column.position)
    return [f"note: {c.shared} columns are named '{printable(c.name)}'; their cells are counted "
            "together" for c in report.columns if c.shared > 1 and c.position == first[c.name]]


def legend(reports: Sequence["Report"]) -> List[str]:
    """What the marks of the tables mean, once for all the reports shown together."""
    if not any(r.columns for r in reports):
        return []
    threshold = reports[0].threshold  # one run profiles every file with the same options
    lines = ["share: of the non-NA cells, those the verdict covers; *: cells it does not cover "
             "(missing values where a loader reads a number, boolean or date)",
             f"mixed: no verdict covers {threshold * 100:g}% of them; "
             "text: enough match no type (other)"]
    if any(c.absent for r in reports for c in r.columns):
        lines.append(f"{ABSENT}: cells that rows shorter than the header do not have")
    return lines


def printable(name: str) -> str:
    """The name with line breaks and other invisible characters escaped."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in name)
