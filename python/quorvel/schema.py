"""The schemas of a report for those who load the file themselves: a pyarrow schema, SQL and
Frictionless Table Schema.

    duckdb.sql(create_table(report, "orders", "duckdb"))

Percents, currencies, times and mixed columns load as text, which keeps every
value (and a code's leading zeros) as written. The loaders and their options
live in load.
"""

from typing import TYPE_CHECKING, Any, Dict, List

from . import load
from .meanings import TEXT, Meaning, arrow_type, meaning
from .types import FALSE_TEXTS, TRUE_TEXTS

if TYPE_CHECKING:
    from .report import Report

DIALECTS = ("duckdb", "postgresql")


def arrow_schema(report: "Report") -> Any:
    """The schema of read_arrow's table."""
    import pyarrow  # type: ignore[import-untyped]

    names = load.column_names(report)
    return pyarrow.schema([(name, arrow_type(meaning(c.verdict)))
                           for name, c in zip(names, report.columns)])


def create_table(report: "Report", table_name: str, dialect: str) -> str:
    load.check_table_name(table_name)
    if dialect not in DIALECTS:
        raise ValueError(f"dialect must be one of {', '.join(DIALECTS)}, not {dialect!r}")
    names = load.column_names(report)
    lines = [f"  {_quoted(name)} {getattr(_copied(meaning(c.verdict)), dialect)}"
             for name, c in zip(names, report.columns)]
    return f"CREATE TABLE {_quoted(table_name)} (\n" + ",\n".join(lines) + "\n);"


def _copied(wanted: Meaning) -> Meaning:
    """What a COPY into the table can fill: a column with a layout of its own stays text, since
    COPY takes one date layout for every column."""
    return TEXT if wanted.date_format else wanted


def table_schema(report: "Report") -> Dict[str, Any]:
    fields: List[Dict[str, Any]] = []
    for name, column in zip(load.column_names(report), report.columns):
        k = meaning(column.verdict)
        entry: Dict[str, Any] = {"name": name, "type": k.frictionless}
        if k.frictionless == "boolean":
            entry.update(trueValues=list(TRUE_TEXTS), falseValues=list(FALSE_TEXTS))
        elif k.date_format is not None:
            entry["format"] = k.date_format
        fields.append(entry)
    return {"fields": fields, "missingValues": list(report.na)}


def _quoted(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'
