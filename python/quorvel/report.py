"""What one pass found: a verdict per column, shown as text or HTML, the schemas it implies and
the loaders that read the file as it describes it.

    report = describe("orders.csv")
    frame = report.read_pandas()
    pandas.read_csv("orders.csv", **report.pandas_options())
"""

import html
import json
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

from . import load, schema
from .types import EMPTY, MIXED

# The version of the JSON document; it changes whenever a field changes meaning or goes.
JSON_VERSION = 2
EXAMPLES_SHOWN = 3


@dataclass(frozen=True)
class Column:
    name: str  # as the header gives it, without a byte order mark
    verdict: str  # a type of the table, or "mixed", "text" or "empty"
    share: Optional[float]  # of the non-missing cells the verdict covers; None when empty
    cells: int  # non-missing cells
    missing: int  # cells holding a missing-value text
    counts: Dict[str, int]  # non-missing cells by type, "other" for those matching none
    misfits: Dict[str, int]  # the part of counts that the verdict does not cover
    shared: int = 1  # header cells whose cells are counted together under this name
    position: int = 0  # from 0, in the header
    unnamed: bool = False  # the header cell is empty, and name is the one the pass made up
    absent: int = 0  # rows too short to reach this column
    # Per type of misfits, the first texts met and their data rows (1 is the row after the header).
    misfit_examples: Dict[str, List[Tuple[str, int]]] = field(default_factory=dict)


@dataclass(frozen=True)
class Report:
    path: str
    delimiter: str
    delimiter_sniffed: bool
    rows: int
    threshold: float
    na: List[str]
    columns: List[Column] = field(default_factory=list)  # one per header cell, in order
    # Python's name for the codec that reads the whole file, byte order mark included
    # ("utf-8-sig", "utf-16", "utf-32" for a file with one).
    encoding: str = "utf-8"
    encoding_detected: bool = True
    short_rows: Optional[int] = None  # data rows with fewer cells than the header; None: not counted
    long_rows: Optional[int] = None  # data rows with more cells, whose extra cells are not counted
    # Byte sequences that did not decode in the encoding, and the offset of the first in the
    # decompressed content; each byte shows in its cell as a backslash escape.
    undecodable: int = 0
    first_undecodable_at: Optional[int] = None
    # The regular file the loaders read again; None for what could be read only once (a pipe,
    # standard input, a file object, a URL).
    local_path: Optional[str] = None

    def to_dict(self) -> Dict[str, Any]:
        """Every field but local_path, which is this process's business."""
        fields = asdict(self)
        del fields["local_path"]
        return fields

    def to_json(self, indent: Optional[int] = 2) -> str:
        """The JSON document of this one report: {"version": 2, "files": [report]}."""
        return json_document([self.to_dict()], indent)

    def read_pandas(self, **overrides: Any) -> Any:
        """The whole file as a pandas DataFrame, each column of the type its verdict promises."""
        return load.read_pandas(self, **overrides)

    def read_arrow(self) -> Any:
        """The whole file as a pyarrow Table, each column of the type its verdict promises."""
        return load.read_arrow(self)

    def read_polars(self) -> Any:
        """The whole file as a Polars DataFrame, each column of the type its verdict promises."""
        return load.read_polars(self)

    def read_duckdb(self, connection: Any, table_name: str) -> None:
        """Creates `table_name` in the DuckDB connection and fills it with the whole file."""
        load.read_duckdb(self, connection, table_name)

    def pandas_options(self) -> Dict[str, Any]:
        """Keyword arguments for pandas.read_csv(path, **options), which never fail on a cell."""
        return load.pandas_options(self)

    def arrow_options(self) -> Dict[str, Any]:
        """read_options, parse_options, convert_options for pyarrow.csv.read_csv(path, **options)."""
        return load.arrow_options(self)

    def polars_options(self) -> Dict[str, Any]:
        """Keyword arguments for polars.read_csv(path, **options)."""
        return load.polars_options(self)

    def duckdb_sql(self, table_name: str) -> str:
        """One DuckDB statement that creates `table_name` and fills it with the whole file."""
        return load.duckdb_sql(self, table_name)

    def to_pandas(self) -> Dict[str, Any]:
        """The same as pandas_options(), under its earlier name."""
        return load.pandas_options(self)

    def to_arrow(self) -> Any:
        """A pyarrow.Schema for pyarrow.csv.ConvertOptions(column_types=...), by header name."""
        return schema.arrow_schema(self)

    def to_sql(self, table_name: str, dialect: str = "duckdb") -> str:
        """A CREATE TABLE statement; dialect "duckdb" or "postgresql"."""
        return schema.create_table(self, table_name, dialect)

    def to_frictionless(self) -> Dict[str, Any]:
        """A Frictionless Table Schema (fields, missingValues)."""
        return schema.table_schema(self)

    def __str__(self) -> str:
        return "\n".join(_text_lines(self))

    def _repr_html_(self) -> str:
        head = "".join(f"<th>{h}</th>" for h in HEADINGS)
        rows = "".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>"
                       for cells in _cells(self))
        return (f"<p>{html.escape(_summary(self))}</p>"
                f"<table><thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table>")


HEADINGS = ("column", "verdict", "share", "cells", "NA", "counts")
RIGHT_ALIGNED = (False, False, True, True, True)


def _summary(report: Report) -> str:
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
        + f" (first at byte {report.first_undecodable_at}, shown as \\x escapes)")
    return (f"{report.path}: {rows}, {columns}, delimiter {report.delimiter!r} ({how}), "
            f"{report.encoding} ({found}){ragged}{undecodable}")


def _cells(report: Report) -> List[List[str]]:
    return [[printable(c.name), c.verdict, "-" if c.share is None else f"{c.share:.1%}",
             str(c.cells), str(c.missing), _counts_text(c)] for c in report.columns]


def _counts_text(column: Column) -> str:
    """Every type seen, largest first; those the verdict does not cover are starred and shown by
    their first texts. Cells that short rows lacked come last."""
    star = column.verdict not in (MIXED, EMPTY)
    ranked = sorted(column.counts.items(), key=lambda item: -item[1])
    parts = [f"{t}{'*' if star and t in column.misfits else ''} {n}"
             + _examples_text(column.misfit_examples.get(t, ())) for t, n in ranked]
    if column.absent:
        parts.append(f"absent {column.absent}")
    return ", ".join(parts) or "-"


def _examples_text(examples: Sequence[Tuple[str, int]]) -> str:
    shown = ", ".join(f"{printable(repr(text))} row {row}"
                      for text, row in examples[:EXAMPLES_SHOWN])
    return f" (e.g. {shown})" if shown else ""


def _text_lines(report: Report) -> List[str]:
    lines = [_summary(report)]
    if not report.columns:
        return [lines[0] + " (the file is empty)"]
    table = [list(HEADINGS)] + _cells(report)
    widths = [max(len(row[i]) for row in table) for i in range(len(HEADINGS) - 1)]
    lines.append("")
    for row in table:
        cells = [c.rjust(w) if right else c.ljust(w)
                 for c, w, right in zip(row, widths, RIGHT_ALIGNED)]
        lines.append("  ".join(cells + [row[-1]]).rstrip())
    lines += ["",
              "share: of the non-NA cells, those the verdict covers; *: cells it does not cover "
              "(missing values where a loader reads a number, boolean or date)",
              f"mixed: no verdict covers {report.threshold * 100:g}% of them; "
              "text: enough match no type (other)"]
    if any(c.absent for c in report.columns):
        lines.append("absent: cells that rows shorter than the header do not have")
    lines += [f"note: {c.shared} columns are named '{printable(c.name)}'; their cells are "
              "counted together" for c in report.columns if c.shared > 1 and c.position == min(
                  d.position for d in report.columns if d.name == c.name)]
    return lines


def json_document(reports: List[Dict[str, Any]], indent: Optional[int] = 2) -> str:
    """The one shape of quorvel's JSON, whatever the number of files: {"version", "files"}; a
    file that failed has only its path and error."""
    return json.dumps({"version": JSON_VERSION, "files": reports}, indent=indent,
                      ensure_ascii=False)


def printable(name: str) -> str:
    """The name with line breaks and other invisible characters escaped."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in name)
