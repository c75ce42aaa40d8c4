"""Loading a profiled file in pandas, pyarrow, Polars and DuckDB as its report describes it.

    frame = report.read_pandas()
    table = report.read_arrow()
    frame = report.read_polars()
    report.read_duckdb(duckdb.connect("shop.db"), "orders")

One rule for every loader: a column promised as a number, boolean, date or
date-time arrives as one, with every row, and each cell that the verdict
does not cover (a misfit, starred in the report) arrives as a missing value.
Nothing is dropped silently: the report counts the misfits before the load,
and the load warns with a MisfitWarning naming each column, how many of its
cells it read as missing, and the first of them. A cell that its type cannot
hold (an integer past 2^63, 2021-02-30) is a misfit too. A column of text keeps
every cell as written, the missing-value texts too; an empty cell is missing in
every column.

Every read_ function takes the batches that read_arrow makes, converted one at a time,
and hands them to its library (read_duckdb as a stream, the others as one table), so the
rows, values and misfits are the same in all four.

The ready options (pandas_options, arrow_options, polars_options,
duckdb_sql) are for those who call a library's own reader themselves: they never
fail on a counted cell either, but leave a column that the reader cannot read
typed by itself (misfits, group separators, padded numbers, slashed dates) as
text, and inherit the reader's limits.
"""

import csv
import io
import itertools
import secrets
import warnings
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from .meanings import MEANINGS, TEXT, Meaning, arrow_type, meaning
from .source import CHUNK, EngineContent, opened
from .table import unique_names
from .types import FALSE_TEXTS, TRUE_TEXTS

if TYPE_CHECKING:
    from .reader import Conversion
    from .report import Column, Report

EXAMPLES = 3
INTEGER_TEXT = r"[-+]?[0-9]+"
# A fraction of a second finer than the microsecond, which a microsecond timestamp cannot hold.
FINER_THAN_MICROSECONDS = r"\.[0-9]{7,}"


def target(column: "Column") -> Meaning:
    return meaning(column.verdict)


def null_texts(report: "Report", column: "Column") -> List[str]:
    """The cell texts that the loaders read as missing in the column. A typed column has no use
    for a text such as 'NA' or '-', which is missing there; a text column (text, mixed, empty)
    keeps every written cell as written, a DNA strand's '-' and Namibia's 'NA' too, and only an
    empty cell, which holds nothing, is missing in it, as an absent cell is."""
    return [""] if target(column).kind == "text" else typed_null_texts(report)


def typed_null_texts(report: "Report") -> List[str]:
    """The cell texts that a typed column holds as missing: the report's, and the empty cell."""
    return sorted(set(report.na) | {""})


def _reads_typed(column: "Column", loader: str) -> bool:
    """Whether the loader's own reader parses every covered cell of the column by itself."""
    wanted = target(column)
    if wanted.kind == "text" or column.misfits:
        return False
    if loader == "arrow":
        return not wanted.grouped and wanted.date_format is None
    if loader == "polars":
        return (wanted.kind in ("integer", "decimal", "date") and not wanted.padded
                and not wanted.grouped and wanted.date_format is None)
    return loader == "pandas"


class Misfit(NamedTuple):
    column: str  # as the report names it
    row: Optional[int]  # data row from 1; None where the loader cannot tell
    text: str
    position: Optional[int] = None  # the column's, from 0 as in report.columns


class MisfitColumn(NamedTuple):
    position: int  # from 0, as in report.columns
    name: str  # as the report names it
    cells: int  # read as missing


class _LoadWarning(UserWarning):
    """A load's warning, made again from the values it was made of: it pickles whole, as a
    process pool sends it back to the caller, and equals a warning made of the same values."""

    def __init__(self, message: str, *made_of: Any) -> None:
        super().__init__(message)
        self._made_of = made_of

    def __reduce__(self) -> Tuple[Any, ...]:
        return type(self), self._made_of

    def __eq__(self, other: object) -> bool:
        return type(other) is type(self) and self._made_of == getattr(other, "_made_of")

    def __hash__(self) -> int:
        return hash((type(self), str(self)))


class MisfitWarning(_LoadWarning):
    """Cells the loader read as missing because they are not of their column's type."""

    def __init__(self, loader: str, columns: List[MisfitColumn], examples: List[Misfit]) -> None:
        super().__init__(_warning_text(loader, columns, examples), loader, columns, examples)
        self.loader = loader
        self.columns = columns  # each column with cells read as missing, by position
        self.positions = {c.position: c.cells for c in columns}
        # By name, the columns that share one (none the report made) summed.
        self.counts: Dict[str, int] = {}
        for column in columns:
            self.counts[column.name] = self.counts.get(column.name, 0) + column.cells
        self.examples = examples  # the first few of each column


def _warning_text(loader: str, columns: List[MisfitColumn], examples: List[Misfit]) -> str:
    parts = []
    for position, name, n in columns:
        shown = ", ".join(repr(m.text) + ("" if m.row is None else f" row {m.row}")
                          for m in examples if m.position == position)
        parts.append(f"position {position} '{name}' {n}" + (f" (e.g. {shown})" if shown else ""))
    return (f"{loader}: cells not of their column's type were read as missing: "
            + "; ".join(parts))


# A typed column's misfits and the first of them; a load's, per column.
FoundColumn = Tuple[MisfitColumn, List[Misfit]]
Found = List[FoundColumn]


def _warn(loader: str, found: Found) -> None:
    columns = [column for column, _ in found if column.cells]
    if columns:
        examples = [m for column, shown in found if column.cells for m in shown]
        warnings.warn(MisfitWarning(loader, columns, examples), stacklevel=4)


# The table: every loader reads the report's names, and rows from the first data row on.

def column_names(report: "Report") -> List[str]:
    """The columns' names, the same in the report and in every loader."""
    return [c.name for c in report.columns]


def lines_before_data(report: "Report") -> int:
    """The lines before the first data row: those before the table, and the header's."""
    return report.skip_rows + report.header


def data_rows(text: IO[str], report: "Report") -> Iterator[List[str]]:
    """The data rows of the report's file, split as the pass splits them."""
    _skip_to_data(text, report)
    return csv.reader(text, delimiter=report.delimiter)


class LongRowsWarning(_LoadWarning):
    """Rows longer than the header, whose cells beyond the last column no loader reads."""

    def __init__(self, loader: str, count: int, rows: List[int], width: int) -> None:
        shown = ", ".join(map(str, rows)) + (", ..." if count > len(rows) else "")
        rows_have = f"{count} rows have" if count != 1 else "1 row has"
        super().__init__(f"{loader}: {rows_have} cells beyond the {width} columns of the "
                         f"header, which were not loaded (row{'s' if count != 1 else ''} "
                         f"{shown})", loader, count, rows, width)
        self.loader = loader
        self.count = count  # rows longer than the header
        self.rows = rows  # the first few, numbered from 1 at the first data row
        self.width = width  # the header's columns


def _warn_long_rows(report: "Report", loader: str) -> None:
    if not report.long_rows:
        return
    width = len(report.columns)
    with _text(report) as text:
        long_rows = (number for number, row in enumerate(data_rows(text, report), 1)
                     if len(row) > width)
        rows = list(itertools.islice(long_rows, EXAMPLES))
    warnings.warn(LongRowsWarning(loader, report.long_rows, rows, width), stacklevel=4)


def loadable_path(report: "Report") -> str:
    """The local file that another library's reader reads: the one the report read."""
    if report.local_path is None:
        raise ValueError(f"'{report.path}' is not a regular file here: other libraries' readers "
                         f"are given a local path")
    return report.local_path


def loadable_source(report: "Report") -> Tuple[str, Optional[Dict[str, Any]]]:
    """What the engine reads again to load the report's file, and its storage options: the
    local file, or the URL, the report read; an error for a source that could be read once."""
    if report.local_path is not None:
        return report.local_path, None
    if report.storage_options is not None:
        return report.path, report.storage_options
    raise ValueError(f"'{report.path}' was read once, as a stream, and cannot be read again "
                     f"to load it: describe a regular file or a URL to load it")


@contextmanager
def _text(report: "Report") -> Iterator[IO[str]]:
    with opened(*loadable_source(report)) as found:
        raw = io.BufferedReader(EngineContent(found.input), CHUNK)
        yield io.TextIOWrapper(raw, encoding=report.encoding, newline="")


def _skip_to_data(text: IO[str], report: "Report") -> None:
    """Reads `text` up to the first data row."""
    for _ in range(report.skip_rows):
        text.readline()
    if report.header:
        next(csv.reader(text, delimiter=report.delimiter), None)


# pandas

def pandas_options(report: "Report") -> Dict[str, Any]:
    names = column_names(report)
    typed = [(n, c, target(c)) for n, c in zip(names, report.columns)]
    dtype = {}
    dates: Dict[str, str] = {}
    for name, column, wanted in typed:
        if not _reads_typed(column, "pandas"):
            dtype[name] = TEXT.pandas
        elif wanted.kind in ("integer", "decimal", "boolean"):
            dtype[name] = wanted.pandas
        else:
            dates[name] = wanted.date_format or "ISO8601"
    options: Dict[str, Any] = {
        "sep": report.delimiter, "encoding": report.encoding, "dtype": dtype,
        "header": None, "names": names, "skiprows": lines_before_data(report),
        "na_values": {n: null_texts(report, c) for n, c in zip(names, report.columns)},
        "keep_default_na": False,
        "true_values": list(TRUE_TEXTS), "false_values": list(FALSE_TEXTS),
        # Extra cells of long rows are left out, as the profile left them out;
        # without this pandas would take the first column for an index.
        "index_col": False, "usecols": list(range(len(report.columns))),
        # A blank line is a row to the profile, so it is one here too.
        "skip_blank_lines": False,
    }
    if any(w.grouped and _reads_typed(c, "pandas") for _, c, w in typed):
        options["thousands"] = ","
    if dates:
        options.update(parse_dates=list(dates), date_format=dates)
    return options


def read_pandas(report: "Report") -> Any:
    table, found = _arrow_load(report)
    frame, beyond = _pandas_frame(report, table)
    _warn("pandas", _merged(found, beyond))
    _warn_long_rows(report, "pandas")
    return frame


def pandas_unit() -> str:
    """The unit of pandas' own date-times: pandas before 3 holds them in nanoseconds only, and
    pandas 3 in any unit, so in read_arrow's microseconds."""
    import pandas  # type: ignore[import-untyped]

    return "ns" if int(pandas.__version__.split(".")[0]) < 3 else "us"


def pandas_dtype(wanted: Meaning) -> Any:
    """read_pandas' dtype of a column of this meaning."""
    import pandas

    return pandas.api.types.pandas_dtype(wanted.pandas.format(unit=pandas_unit()))


def _pandas_frame(report: "Report", table: Any) -> Tuple[Any, Found]:
    """The table as a DataFrame, and the date-times that pandas' unit cannot hold, which
    arrive missing."""
    import pandas

    table, beyond = _pandas_temporals(report, table)
    extension = {}
    for wanted in (TEXT, *MEANINGS.values()):
        dtype = pandas_dtype(wanted)
        # Dates and date-times are cast to their unit in the table, and pandas keeps it.
        if wanted.kind not in TEMPORAL and isinstance(dtype, pandas.api.extensions.ExtensionDtype):
            extension[arrow_type(wanted)] = dtype
    frame = table.to_pandas(types_mapper=extension.get, coerce_temporal_nanoseconds=False)
    return frame, beyond


TEMPORAL = ("date", "datetime", "datetime_tz")
# The microseconds either side of 1970 that a nanosecond timestamp holds: pandas 2's range.
NANOSECOND_REACH = (2 ** 63 - 1) // 1000


def _pandas_temporals(report: "Report", table: Any) -> Tuple[Any, Found]:
    """The table with its dates in seconds, whose datetime64[s] holds every year from 1 to 9999,
    and its date-times in pandas' unit: in nanoseconds, those beyond their range missing and
    found."""
    import pyarrow  # type: ignore[import-untyped]

    unit = pandas_unit()
    beyond: Found = []
    for position, field in enumerate(table.schema):
        column = table.column(position)
        if pyarrow.types.is_date32(field.type):
            column = column.cast(pyarrow.timestamp("s"))
        elif pyarrow.types.is_timestamp(field.type) and unit == "ns":
            column, rows = _within_nanoseconds(column)
            if rows:
                beyond.append(_misfits_of_rows(report, position, rows))
            column = column.cast(pyarrow.timestamp(unit, field.type.tz))
        else:
            continue
        table = table.set_column(position, field.with_type(column.type), column)
    return table, beyond


def _within_nanoseconds(column: Any) -> Tuple[Any, List[int]]:
    """The microsecond date-times, those beyond a nanosecond timestamp's range missing, and
    the rows (from 0) of those. The column's extremes, which copy nothing, spare the copies
    of the masking where none is beyond, as in most files."""
    import pyarrow
    import pyarrow.compute as pc  # type: ignore[import-untyped]

    micros = column.cast(pyarrow.int64())
    extremes = pc.min_max(micros)
    least, greatest = extremes["min"].as_py(), extremes["max"].as_py()
    if least is None or -NANOSECOND_REACH <= least and greatest <= NANOSECOND_REACH:
        return column, []
    beyond = pc.greater(pc.abs(micros), NANOSECOND_REACH)
    return (pc.if_else(beyond, None, column),
            pc.indices_nonzero(pc.fill_null(beyond, False)).to_pylist())


def _misfits_of_rows(report: "Report", position: int, rows: List[int]) -> FoundColumn:
    """The misfits of a column in these data rows (from 0), with their texts read again from the
    file: the table holds their values, not the texts as written."""
    name = column_names(report)[position]
    shown = set(rows[:EXAMPLES])
    with _text(report) as text:
        cells = [row[position] for number, row in enumerate(
            itertools.islice(data_rows(text, report), max(shown) + 1)) if number in shown]
    return (MisfitColumn(position, name, len(rows)),
            [Misfit(name, row + 1, cell, position) for row, cell in zip(sorted(shown), cells)])


def _merged(found: Found, more: Found) -> Found:
    """The misfits of both, one entry per column in the order of the columns, with the first
    examples of both by row."""
    by_position: Dict[int, FoundColumn] = {}
    for column, shown in found + more:
        if column.position in by_position:
            earlier, seen = by_position[column.position]
            column = column._replace(cells=earlier.cells + column.cells)
            shown = sorted(seen + shown, key=lambda m: m.row or 0)[:EXAMPLES]
        by_position[column.position] = (column, shown)
    return [by_position[position] for position in sorted(by_position)]


# pyarrow

def arrow_options(report: "Report") -> Dict[str, Any]:
    import pyarrow
    import pyarrow.csv  # type: ignore[import-untyped]

    types: Dict[str, Any] = {}
    for name, column in zip(column_names(report), report.columns):
        types[name] = (arrow_type(target(column)) if _reads_typed(column, "arrow")
                       else pyarrow.string())
    return {
        "read_options": pyarrow.csv.ReadOptions(encoding=report.encoding,
                                                skip_rows=lines_before_data(report),
                                                column_names=column_names(report)),
        "parse_options": pyarrow.csv.ParseOptions(delimiter=report.delimiter),
        # One set of null texts serves every column: those of the typed columns, which a text
        # column is kept from.
        "convert_options": pyarrow.csv.ConvertOptions(
            column_types=types, null_values=typed_null_texts(report),
            strings_can_be_null=False,
            quoted_strings_can_be_null=True, true_values=list(TRUE_TEXTS),
            false_values=list(FALSE_TEXTS)),
    }


def read_arrow(report: "Report") -> Any:
    table, found = _arrow_load(report)
    _warn("pyarrow", found)
    _warn_long_rows(report, "pyarrow")
    return table


def _arrow_load(report: "Report", batch_rows: Optional[int] = None,
                text_views: bool = False) -> Tuple[Any, Found]:
    """read_arrow's table, which every loader takes, and the misfits it found, unwarned: the
    file as the report describes it, read and converted by the engine (quorvel.reader). With
    text_views, text columns are string_view rather than string."""
    import pyarrow

    conversion = _Conversion(report, column_names(report), batch_rows, text_views)
    table = pyarrow.Table.from_batches(conversion.batches(), conversion.schema)
    return table, conversion.found()


class _Conversion:
    """The engine's batches, each column converted by the engine to read_arrow's type, so that
    a load holds the result and a batch or two, never the whole file's text; and the misfits of
    the batches read so far, their rows counted from the first data row."""

    def __init__(self, report: "Report", names: List[str], batch_rows: Optional[int],
                 text_views: bool = False) -> None:
        import pyarrow

        from .reader import BATCH_ROWS, EngineBatches
        from .schema import arrow_schema

        self.report = report
        # The loader's names: DuckDB's tell apart names that only their case tells apart.
        fields = [field.with_name(name) for field, name in zip(arrow_schema(report), names)]
        if text_views:
            fields = [field.with_type(pyarrow.string_view())
                      if pyarrow.types.is_string(field.type) else field for field in fields]
        self.schema = pyarrow.schema(fields)
        # The engine's conversion is named by the field's type.
        conversions = [(str(field.type),) + engine_conversion(target(c), null_texts(report, c))[1:]
                       for field, c in zip(fields, report.columns)]
        self.cells = EngineBatches(report, names, BATCH_ROWS if batch_rows is None else batch_rows,
                                   conversions, EXAMPLES)
        self.failure: Optional[Exception] = None

    def batches(self) -> Iterator[Any]:
        """The converted batches, read from the file as they are asked for. A failure is kept
        as well as raised: a library that reads the batches (DuckDB) raises its own error."""
        try:
            # The engine names and types the columns as the schema does (by the conversions), and
            # Table.from_batches refuses a batch whose schema differs: none is wrapped again.
            yield from self.cells
        except Exception as failure:
            self.failure = failure
            raise

    def found(self) -> Found:
        """The misfits of every typed column, in the order of the columns."""
        return [_found_column(position, column.name, misfits)
                for position, (column, misfits)
                in enumerate(zip(self.report.columns, self.cells.misfits()))
                if target(column).kind != "text"]


def engine_conversion(wanted: Meaning, texts: List[str]) -> "Conversion":
    """How the engine converts the cells of a column of this meaning and these null texts: to
    the meaning's Arrow type, which names the conversion."""
    return (str(arrow_type(wanted)), texts, wanted.padded, wanted.grouped,
            wanted.date_format or "")


def _found_column(position: int, name: str, misfits: Tuple[int, List[Tuple[int, str]]]
                  ) -> FoundColumn:
    cells, first = misfits
    return (MisfitColumn(position, name, cells),
            [Misfit(name, row + 1, text, position) for row, text in first])


# Polars

UTF8 = ("utf-8", "utf-8-sig")
DUCKDB_ENCODINGS = ("utf-8", "utf-8-sig", "utf-16", "latin-1")


def polars_options(report: "Report") -> Dict[str, Any]:
    import polars

    if report.encoding not in UTF8:
        raise ValueError(f"polars.read_csv reads UTF-8 only, and '{report.path}' is "
                         f"{report.encoding}: read_polars loads it")

    dtypes = {"integer": polars.Int64, "decimal": polars.Float64, "date": polars.Date}
    overrides = {name: dtypes[target(c).kind] if _polars_reads_typed(report, c)
                 else polars.String for name, c in zip(column_names(report), report.columns)}
    # No null texts but the empty cell's: Polars takes one text per column at most, and a text
    # column keeps the others as written.
    return {"separator": report.delimiter, "schema_overrides": overrides,
            "has_header": False, "new_columns": column_names(report),
            "skip_rows": lines_before_data(report), **_polars_empty_is_null(polars),
            "truncate_ragged_lines": True, "infer_schema_length": 0,
            # The path names one file, even one called 'x[1].csv' or 'y*.csv'.
            "glob": False}


def _polars_reads_typed(report: "Report", column: "Column") -> bool:
    """Whether Polars parses the column typed by itself: it reads an empty cell as missing, and
    would fail on the other null texts, which the column holds when it has missing cells."""
    only_empty = not set(report.na) - {""}
    return _reads_typed(column, "polars") and (only_empty or not column.missing)


def _polars_empty_is_null(polars: Any) -> Dict[str, bool]:
    """The option that loads an empty text cell as null, under the name of the polars at hand:
    polars 2 renamed it and refuses the old name. Told by the version, since read_csv may be
    wrapped by a caller."""
    if int(polars.__version__.split(".")[0]) >= 2:
        return {"empty_string_is_null": True}
    return {"missing_utf8_is_empty_string": False}


def read_polars(report: "Report") -> Any:
    import polars

    # Polars holds text as string views. From a string column it makes a view of every cell
    # besides the table's offsets, which costs 16 bytes a cell more at the peak; the engine's
    # views it takes as they are. It copies no text either way, so handing it the batches one
    # at a time would keep every batch's text all the same, and the peak would not fall.
    table, found = _arrow_load(report, text_views=True)
    # The report's names are unique, which Polars needs: Polars 1 keeps one column of a name
    # given twice. The frame holds the table's chunks rather than a copy in one.
    frame = polars.from_arrow(table, rechunk=False)
    _warn("polars", found)
    _warn_long_rows(report, "polars")
    return frame


# DuckDB

def check_table_name(table_name: object) -> None:
    if not isinstance(table_name, str) or not table_name:
        raise TypeError(f"table_name must be a non-empty str, not {table_name!r}")


def duckdb_sql(report: "Report", table_name: str) -> str:
    check_table_name(table_name)
    names = column_names(report)
    values = ",\n  ".join(f"{_duckdb_typed(report, _quoted(n), target(c))} AS {_quoted(n)}"
                          for n, c in zip(names, report.columns))
    return f"CREATE TABLE {_quoted(table_name)} AS SELECT\n  {values}\nFROM {_duckdb_read(report)};"


def _duckdb_read(report: "Report") -> str:
    """read_csv of every cell as written, an empty one as NULL: the SELECT around it converts
    them. DuckDB's null texts hold for every column, so a text column's 'NA' stays as written
    here and the SELECT turns the null texts of a typed column into NULL."""
    if report.encoding not in DUCKDB_ENCODINGS:
        raise ValueError(f"DuckDB's read_csv reads {', '.join(DUCKDB_ENCODINGS)}, and "
                         f"'{report.path}' is {report.encoding}: read_duckdb loads it")
    columns = ", ".join(f"{_literal(n)}: 'VARCHAR'" for n in column_names(report))
    encoding = "utf-8" if report.encoding == "utf-8-sig" else report.encoding
    # One reader thread: DuckDB 2's parallel reader refuses null_padding on a file with a
    # quoted line break.
    return (f"read_csv({_literal(_glob_escaped(loadable_path(report)))}, header = false, "
            f"skip = {lines_before_data(report)}, auto_detect = false, "
            f"delim = {_literal(report.delimiter)}, quote = '\"', escape = '\"', "
            f"columns = {{{columns}}}, nullstr = '', encoding = {_literal(encoding)}, "
            "null_padding = true, strict_mode = false, parallel = false)")


def _glob_escaped(path: str) -> str:
    """The path as a DuckDB glob that matches that one file: DuckDB reads every path as a glob,
    and a bracket holding one character matches it alone."""
    return "".join(f"[{c}]" if c in "[*?" else c for c in path)


def _duckdb_typed(report: "Report", cell: str, wanted: Meaning) -> str:
    """The column's SQL expression; in a typed column the null texts are NULL."""
    if wanted.kind == "text":
        return cell
    return _duckdb_value(f"(CASE WHEN {cell} NOT IN ({_duckdb_nulls(report)}) THEN {cell} END)",
                         wanted)


def _duckdb_nulls(report: "Report") -> str:
    return ", ".join(_literal(t) for t in typed_null_texts(report))


def _duckdb_value(cell: str, wanted: Meaning) -> str:
    """The SQL expression of the typed value; NULL where the cell does not fit."""
    text = f"replace({cell}, ',', '')" if wanted.grouped else cell
    if wanted.kind == "integer":
        # A cast alone would round '1.5' to 2.
        return (f"CASE WHEN regexp_full_match(trim({text}), '{INTEGER_TEXT}') "
                f"THEN TRY_CAST(trim({text}) AS BIGINT) END")
    if wanted.kind == "boolean":
        truths = ", ".join(_literal(t) for t in TRUE_TEXTS)
        falses = ", ".join(_literal(t) for t in FALSE_TEXTS)
        return f"CASE WHEN {text} IN ({truths}) THEN true WHEN {text} IN ({falses}) THEN false END"
    if wanted.date_format:
        parsed = f"TRY_STRPTIME({text}, {_literal(wanted.date_format)})"
        return f"CAST({parsed} AS DATE)" if wanted.kind == "date" else parsed
    value = f"TRY_CAST({text} AS {wanted.duckdb})"
    if wanted.kind == "decimal":
        # A number beyond the range of DOUBLE would be infinite: it is NULL instead.
        return f"CASE WHEN NOT isinf({value}) THEN {value} END"
    if wanted.kind.startswith("datetime"):
        # DuckDB would cut a finer fraction to the microsecond: such a cell is NULL instead.
        return (f"CASE WHEN NOT regexp_matches({text}, {_literal(FINER_THAN_MICROSECONDS)}) "
                f"THEN {value} END")
    return value


def read_duckdb(report: "Report", connection: Any, table_name: str,
                _batch_rows: Optional[int] = None) -> None:
    import pyarrow

    check_table_name(table_name)
    names = duckdb_names(report)
    conversion = _Conversion(report, names, _batch_rows)
    values = ", ".join(f"CAST({_quoted(n)} AS {target(c).duckdb}) AS {_quoted(n)}"
                       for n, c in zip(names, report.columns))
    # A name of its own, so that the table is found by it alone and no other of the caller's.
    view = f"quorvel_arrow_{secrets.token_hex(16)}"
    # DuckDB pulls the batches as it fills the table: a few of them are in memory at a time.
    connection.register(view, _Stream(pyarrow.RecordBatchReader.from_batches(
        conversion.schema, conversion.batches())))
    try:
        # Every result is fetched whole: DuckDB 2 keeps the connection busy until a fetch comes
        # back empty, and the caller's next query would fail.
        with _one_thread(connection):
            connection.execute(f"CREATE TABLE {_quoted(table_name)} AS SELECT {values} "
                               f"FROM {view}").fetchall()
    except Exception:
        # DuckDB tells a failed read by its message alone: the read's own error is raised.
        if conversion.failure is not None:
            raise conversion.failure
        raise
    finally:
        connection.unregister(view)
    _warn("duckdb", conversion.found())
    _warn_long_rows(report, "duckdb")


class _Stream:
    """A stream of batches as the Arrow PyCapsule interface hands it, and nothing else. DuckDB
    scans a pyarrow.RecordBatchReader through a pyarrow dataset, which reads batches far ahead
    of the table's filling: on 100 MB of the mixed shape the load's peak was 190 MiB, and 160
    MiB through the capsule, read a batch at a time."""

    def __init__(self, reader: Any) -> None:
        self.reader = reader

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self.reader.__arrow_c_stream__(requested_schema)


@contextmanager
def _one_thread(connection: Any) -> Iterator[None]:
    """The database on one thread while it fills the table, then on the caller's threads again.
    DuckDB inserts in parallel by writing each thread's rows apart and merging them in row order
    at the end, which holds the table about twice over; the batches come from one stream, which
    its threads would only take in turns. The setting is the database's: its other connections
    share it for as long as the load lasts."""
    threads = connection.execute("SELECT current_setting('threads')").fetchone()[0]
    connection.execute("SET threads = 1")
    try:
        yield
    finally:
        connection.execute(f"SET threads = {int(threads)}")


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def duckdb_names(report: "Report") -> List[str]:
    """The report's names as a DuckDB table can hold them: DuckDB's names ignore the case of
    ASCII letters, so a name that only its case tells from an earlier one is told apart as a
    name met again is ('ID' after 'id' is 'ID.1')."""
    return unique_names(column_names(report), fold=lambda name: name.translate(_ASCII_LOWER))


def _quoted(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"
