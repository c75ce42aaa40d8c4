"""The loaders' types for each verdict: pandas, pyarrow, SQL and Frictionless Table Schema.

    pandas.read_csv(path, **pandas_options(report))
    duckdb.sql(create_table(report, "orders", "duckdb"))

Loaders read numbers with group separators, percents, currencies, times and
mixed columns only with per-column cleaning, so those load as text, which
keeps every value (and a code's leading zeros) as written. Dates in other
layouts than ISO are parsed by pandas, which takes a format per column; the
other loaders get them as text.
"""

from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional

from .types import FALSE_TEXTS, TRUE_TEXTS

if TYPE_CHECKING:
    from .report import Report


class Kind(NamedTuple):
    pandas: Optional[str]  # dtype, or None for a column pandas parses as dates
    date_format: Optional[str]  # for pandas' parse_dates
    arrow: str  # pyarrow type factory and arguments, read by _arrow_type
    duckdb: str
    postgresql: str
    frictionless: str


TEXT = Kind("string", None, "string", "VARCHAR", "TEXT", "string")
KINDS: Dict[str, Kind] = {
    "integer": Kind("Int64", None, "int64", "BIGINT", "BIGINT", "integer"),
    "decimal": Kind("float64", None, "float64", "DOUBLE", "DOUBLE PRECISION", "number"),
    "boolean": Kind("boolean", None, "bool_", "BOOLEAN", "BOOLEAN", "boolean"),
    "date": Kind(None, "%Y-%m-%d", "date32", "DATE", "DATE", "date"),
    "datetime": Kind(None, "ISO8601", "timestamp", "TIMESTAMP", "TIMESTAMP", "datetime"),
    "datetime_tz": Kind(None, "ISO8601", "timestamp_tz", "TIMESTAMPTZ", "TIMESTAMPTZ",
                        "datetime"),
    # An undecided slashed date is read month first, as pandas and most US exports do.
    "date_mdy": TEXT._replace(pandas=None, date_format="%m/%d/%Y", frictionless="date"),
    "date_slash": TEXT._replace(pandas=None, date_format="%m/%d/%Y", frictionless="date"),
    "date_dmy": TEXT._replace(pandas=None, date_format="%d/%m/%Y", frictionless="date"),
    "datetime_slash": TEXT._replace(pandas=None, date_format="%Y/%m/%d %H:%M:%S",
                                    frictionless="datetime"),
}
DIALECTS = ("duckdb", "postgresql")


def kind(verdict: str) -> Kind:
    return KINDS.get(verdict, TEXT)


def pandas_options(report: "Report") -> Dict[str, Any]:
    kinds = [(c.name, kind(c.verdict)) for c in report.columns]
    dates = {name: k.date_format for name, k in kinds if k.pandas is None}
    options: Dict[str, Any] = {
        "sep": report.delimiter,
        "dtype": {name: k.pandas for name, k in kinds if k.pandas is not None},
        "na_values": list(report.na), "keep_default_na": False,
        "true_values": list(TRUE_TEXTS), "false_values": list(FALSE_TEXTS),
    }
    if dates:
        options.update(parse_dates=list(dates), date_format=dates)
    return options


def arrow_schema(report: "Report") -> Any:
    import pyarrow  # type: ignore[import-untyped]

    def arrow_type(name: str) -> Any:
        if name == "timestamp":
            return pyarrow.timestamp("us")
        if name == "timestamp_tz":
            return pyarrow.timestamp("us", tz="UTC")
        return getattr(pyarrow, name)()

    return pyarrow.schema([(c.name, arrow_type(kind(c.verdict).arrow)) for c in report.columns])


def create_table(report: "Report", table_name: str, dialect: str) -> str:
    if not isinstance(table_name, str) or not table_name:
        raise TypeError(f"table_name must be a non-empty str, not {table_name!r}")
    if dialect not in DIALECTS:
        raise ValueError(f"dialect must be one of {', '.join(DIALECTS)}, not {dialect!r}")
    lines = [f"  {_quoted(c.name)} {getattr(kind(c.verdict), dialect)}" for c in report.columns]
    return f"CREATE TABLE {_quoted(table_name)} (\n" + ",\n".join(lines) + "\n);"


def table_schema(report: "Report") -> Dict[str, Any]:
    fields: List[Dict[str, Any]] = []
    for column in report.columns:
        k = kind(column.verdict)
        entry: Dict[str, Any] = {"name": column.name, "type": k.frictionless}
        if k.frictionless == "boolean":
            entry.update(trueValues=list(TRUE_TEXTS), falseValues=list(FALSE_TEXTS))
        elif k.date_format not in (None, "%Y-%m-%d", "ISO8601"):
            entry["format"] = k.date_format
        fields.append(entry)
    return {"fields": fields, "missingValues": list(report.na)}


def _quoted(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'
