"""The schemas of a report for those who load the file themselves: a pyarrow schema, SQL and
Frictionless Table Schema.

    duckdb.sql(create_table(report, "orders", "duckdb"))

Percents, currencies, times and mixed columns load as text, which keeps every
value (and a code's leading zeros) as written. The loaders and their options
live in load.
"""

from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional

from . import load
from .types import FALSE_TEXTS, TRUE_TEXTS

if TYPE_CHECKING:
    from .report import Report


class Kind(NamedTuple):
    date_format: Optional[str]  # strptime layout of a date that is not ISO 8601
    arrow: str  # pyarrow type factory and arguments, read by _arrow_type
    duckdb: str
    postgresql: str
    frictionless: str


TEXT = Kind(None, "string", "VARCHAR", "TEXT", "string")
INTEGER = Kind(None, "int64", "BIGINT", "BIGINT", "integer")
DECIMAL = Kind(None, "float64", "DOUBLE", "DOUBLE PRECISION", "number")
DATE = Kind(None, "date32", "DATE", "DATE", "date")
DATETIME = Kind(None, "timestamp", "TIMESTAMP", "TIMESTAMP", "datetime")
KINDS: Dict[str, Kind] = {
    "integer": INTEGER,
    "padded_integer": INTEGER,
    "decimal": DECIMAL,
    "padded_decimal": DECIMAL,
    "grouped_number": DECIMAL,
    "boolean": Kind(None, "bool_", "BOOLEAN", "BOOLEAN", "boolean"),
    "date": DATE,
    "datetime": DATETIME,
    "datetime_tz": Kind(None, "timestamp_tz", "TIMESTAMPTZ", "TIMESTAMPTZ", "datetime"),
    # A CREATE TABLE filled by COPY and a pyarrow schema take no per-column
    # layout, so a slashed date stays text there; duckdb_sql parses it. An
    # undecided one is read month first, as pandas and most US exports do.
    "date_mdy": TEXT._replace(date_format="%m/%d/%Y", frictionless="date"),
    "date_slash": TEXT._replace(date_format="%m/%d/%Y", frictionless="date"),
    "date_dmy": TEXT._replace(date_format="%d/%m/%Y", frictionless="date"),
    "date_ymd": TEXT._replace(date_format="%Y/%m/%d", frictionless="date"),
    "datetime_slash": TEXT._replace(date_format="%Y/%m/%d %H:%M:%S", frictionless="datetime"),
    "datetime_slash_hm": TEXT._replace(date_format="%Y/%m/%d %H:%M", frictionless="datetime"),
}
DIALECTS = ("duckdb", "postgresql")


def kind(verdict: str) -> Kind:
    return KINDS.get(verdict, TEXT)


def arrow_schema(report: "Report") -> Any:
    import pyarrow  # type: ignore[import-untyped]

    def arrow_type(name: str) -> Any:
        if name == "timestamp":
            return pyarrow.timestamp("us")
        if name == "timestamp_tz":
            return pyarrow.timestamp("us", tz="UTC")
        return getattr(pyarrow, name)()

    names = load.column_names(report)
    return pyarrow.schema([(name, arrow_type(kind(c.verdict).arrow))
                           for name, c in zip(names, report.columns)])


def create_table(report: "Report", table_name: str, dialect: str) -> str:
    if not isinstance(table_name, str) or not table_name:
        raise TypeError(f"table_name must be a non-empty str, not {table_name!r}")
    if dialect not in DIALECTS:
        raise ValueError(f"dialect must be one of {', '.join(DIALECTS)}, not {dialect!r}")
    names = load.column_names(report)
    lines = [f"  {_quoted(name)} {getattr(kind(c.verdict), dialect)}"
             for name, c in zip(names, report.columns)]
    return f"CREATE TABLE {_quoted(table_name)} (\n" + ",\n".join(lines) + "\n);"


def table_schema(report: "Report") -> Dict[str, Any]:
    fields: List[Dict[str, Any]] = []
    for name, column in zip(load.column_names(report), report.columns):
        k = kind(column.verdict)
        entry: Dict[str, Any] = {"name": name, "type": k.frictionless}
        if k.frictionless == "boolean":
            entry.update(trueValues=list(TRUE_TEXTS), falseValues=list(FALSE_TEXTS))
        elif k.date_format is not None:
            entry["format"] = k.date_format
        fields.append(entry)
    return {"fields": fields, "missingValues": list(report.na)}


def _quoted(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'
