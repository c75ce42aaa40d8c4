"""What a verdict means to every loader and schema: one row per verdict.

    meaning("date_dmy").kind == "date"; meaning("date_dmy").date_format == "%d/%m/%Y"
    arrow_type(meaning("integer")) == pyarrow.int64()

For read_arrow the engine converts each typed column by its row's kind,
layout, padding and grouping into the row's Arrow type; pandas, Polars and
DuckDB take that table, and the row names the type each makes of it. A verdict not in the table
(text, code, mixed, empty, time, email, ...) is text: every cell as written.
"""

from typing import Any, Dict, NamedTuple, Optional, Tuple


class Meaning(NamedTuple):
    kind: str  # integer, decimal, boolean, date, datetime, datetime_tz or text
    arrow: Tuple[str, ...]  # a pyarrow type factory and its arguments, read by arrow_type
    duckdb: str
    postgresql: str
    frictionless: str
    # read_pandas' dtype; {unit} is pandas' own unit of date-times (load.pandas_unit).
    pandas: str
    date_format: Optional[str] = None  # strptime layout; None for ISO 8601
    padded: bool = False  # cells may carry spaces around the number
    grouped: bool = False  # cells may carry "," between groups of digits


TEXT = Meaning("text", ("string",), "VARCHAR", "TEXT", "string", "string[pyarrow]")
INTEGER = Meaning("integer", ("int64",), "BIGINT", "BIGINT", "integer", "Int64")
DECIMAL = Meaning("decimal", ("float64",), "DOUBLE", "DOUBLE PRECISION", "number", "float64")
# datetime64[s] holds every year from 1 to 9999; pandas' own nanoseconds end in 2262.
DATE = Meaning("date", ("date32",), "DATE", "DATE", "date", "datetime64[s]")
DATETIME = Meaning("datetime", ("timestamp", "us"), "TIMESTAMP", "TIMESTAMP", "datetime",
                   "datetime64[{unit}]")
MEANINGS: Dict[str, Meaning] = {
    "integer": INTEGER,
    "padded_integer": INTEGER._replace(padded=True),
    "decimal": DECIMAL,
    "padded_decimal": DECIMAL._replace(padded=True),
    "grouped_number": DECIMAL._replace(grouped=True),
    "boolean": Meaning("boolean", ("bool_",), "BOOLEAN", "BOOLEAN", "boolean", "boolean"),
    "date": DATE,
    "datetime": DATETIME,
    "datetime_tz": Meaning("datetime_tz", ("timestamp", "us", "UTC"), "TIMESTAMPTZ",
                           "TIMESTAMPTZ", "datetime", "datetime64[{unit}, UTC]"),
    # An undecided slashed date is read month first, as pandas and most US exports do.
    "date_mdy": DATE._replace(date_format="%m/%d/%Y"),
    "date_slash": DATE._replace(date_format="%m/%d/%Y"),
    "date_dmy": DATE._replace(date_format="%d/%m/%Y"),
    "date_ymd": DATE._replace(date_format="%Y/%m/%d"),
    "datetime_slash": DATETIME._replace(date_format="%Y/%m/%d %H:%M:%S"),
    "datetime_slash_hm": DATETIME._replace(date_format="%Y/%m/%d %H:%M"),
}


def meaning(verdict: str) -> Meaning:
    return MEANINGS.get(verdict, TEXT)


def arrow_type(wanted: Meaning) -> Any:
    import pyarrow  # type: ignore[import-untyped]

    factory, *arguments = wanted.arrow
    return getattr(pyarrow, factory)(*arguments)
