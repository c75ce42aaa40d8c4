"""What one pass found: a verdict per column, shown as text or HTML, and the schemas it implies.

    report = describe("orders.csv")
    pandas.read_csv("orders.csv", **report.to_pandas())
"""

import html
import json
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, List, Optional

from . import schema
from .types import EMPTY, MIXED


@dataclass(frozen=True)
class Column:
    name: str  # as the header gives it, without a byte order mark
    verdict: str  # a type of the table, or "mixed", "text" or "empty"
    share: Optional[float]  # of the non-missing cells the verdict covers; None when empty
    cells: int  # non-missing cells
    missing: int  # cells holding a missing-value text
    counts: Dict[str, int]  # non-missing cells by type, "other" for those matching none
    misfits: Dict[str, int]  # the part of counts that the verdict does not cover
    shared: int = 1  # how many header cells carry this name; they are counted together


@dataclass(frozen=True)
class Report:
    path: str
    delimiter: str
    delimiter_sniffed: bool
    rows: int
    threshold: float
    na: List[str]
    columns: List[Column] = field(default_factory=list)

    def to_dict(self) -> Dict[str, Any]:
        return asdict(self)

    def to_json(self, indent: Optional[int] = 2) -> str:
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def to_pandas(self) -> Dict[str, Any]:
        """Keyword arguments for pandas.read_csv: sep, dtype, parse_dates and the NA texts."""
        return schema.pandas_options(self)

    def to_arrow(self) -> Any:
        """A pyarrow.Schema for pyarrow.csv.ConvertOptions(column_types=...)."""
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
    return f"{report.path}: {rows}, {columns}, delimiter {report.delimiter!r} ({how})"


def _cells(report: Report) -> List[List[str]]:
    return [[printable(c.name), c.verdict, "-" if c.share is None else f"{c.share:.1%}",
             str(c.cells), str(c.missing), _counts_text(c)] for c in report.columns]


def _counts_text(column: Column) -> str:
    """Every type seen, largest first; those the verdict does not cover are starred."""
    star = column.verdict not in (MIXED, EMPTY)
    ranked = sorted(((t + ("*" if star and t in column.misfits else ""), n)
                     for t, n in column.counts.items()), key=lambda item: -item[1])
    return ", ".join(f"{t} {n}" for t, n in ranked) or "-"


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
              "share: of the non-NA cells, those the verdict covers; *: cells it does not cover",
              f"mixed: no verdict covers {report.threshold * 100:g}% of them; "
              "text: enough match no type (other)"]
    lines += [f"note: {c.shared} columns are named '{printable(c.name)}'; their cells are "
              "counted together" for c in report.columns if c.shared > 1]
    return lines


def printable(name: str) -> str:
    """The name with line breaks and other invisible characters escaped."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in name)
