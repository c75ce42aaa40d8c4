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

The ready options (pandas_options, arrow_options, polars_options,
duckdb_sql) never fail on a counted cell either: a column that the library cannot
read typed by itself (misfits, group separators in pyarrow or Polars, padded
numbers in Polars, slashed dates in pyarrow) is given to it as text, and the
read_ functions convert that text afterwards.
"""

import csv
import dataclasses
import datetime as dt
import io
import itertools
import os
import shutil
import tempfile
import warnings
from contextlib import contextmanager
from typing import (IO, TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional,
                    Tuple)

from .source import content
from .types import FALSE_TEXTS, TRUE_TEXTS

if TYPE_CHECKING:
    from .report import Column, Report

LOADERS = ("pandas", "arrow", "polars", "duckdb")
EXAMPLES = 3


class Target(NamedTuple):
    kind: str  # integer, decimal, boolean, date, datetime, datetime_tz or text
    date_format: Optional[str] = None  # strptime layout; None for ISO 8601
    padded: bool = False  # cells may carry spaces around the number
    grouped: bool = False  # cells may carry "," between groups of digits


TARGETS: Dict[str, Target] = {
    "integer": Target("integer"),
    "padded_integer": Target("integer", padded=True),
    "decimal": Target("decimal"),
    "padded_decimal": Target("decimal", padded=True),
    "grouped_number": Target("decimal", grouped=True),
    "boolean": Target("boolean"),
    "date": Target("date"),
    "datetime": Target("datetime"),
    "datetime_tz": Target("datetime_tz"),
    # An undecided slashed date is read month first, as pandas and most US exports do.
    "date_mdy": Target("date", "%m/%d/%Y"),
    "date_slash": Target("date", "%m/%d/%Y"),
    "date_dmy": Target("date", "%d/%m/%Y"),
    "date_ymd": Target("date", "%Y/%m/%d"),
    "datetime_slash": Target("datetime", "%Y/%m/%d %H:%M:%S"),
    "datetime_slash_hm": Target("datetime", "%Y/%m/%d %H:%M"),
}
TEXT = Target("text")
INTEGER_TEXT = r"[-+]?[0-9]+"
# A fraction of a second finer than the microsecond, which a microsecond timestamp cannot hold.
FINER_THAN_MICROSECONDS = r"\.[0-9]{7,}"
INT64_DIGITS = 18  # an integer of no more digits fits in 64 bits whatever they are


def _fits_int64(text: str) -> bool:
    """Whether an integer's text holds a value that 64 bits hold."""
    return -(1 << 63) <= int(text) < 1 << 63


class CellRefused(Exception):
    """A library's typed read refused a cell, or gave one out of its type's range."""


def target(column: "Column") -> Target:
    return TARGETS.get(column.verdict, TEXT)


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
        return wanted.kind in ("integer", "decimal", "date") and wanted == Target(wanted.kind)
    return loader == "pandas"


class Misfit(NamedTuple):
    column: str  # as the loader names it
    row: Optional[int]  # data row from 1; None where the loader cannot tell
    text: str
    position: Optional[int] = None  # the column's, from 0 as in report.columns


class MisfitColumn(NamedTuple):
    position: int  # from 0, as in report.columns
    name: str  # as the loader names it
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


def _warn(loader: str, found: List[Tuple[MisfitColumn, List[Misfit]]]) -> None:
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
    """The file the loaders read again: the one the report read, when it can be read twice."""
    if report.local_path is None:
        raise ValueError(f"'{report.path}' was read once, as a stream, and cannot be read again "
                         f"to load it: describe a regular file to load it")
    return report.local_path


@contextmanager
def _readable(report: "Report",
              encodings: Optional[Tuple[str, ...]] = None) -> Iterator["Report"]:
    """The report, or the report of a UTF-8 copy of its data rows alone in a temporary folder
    (decompressed and transcoded as it streams, in flat memory) when the library reads none of
    the file's encoding (`encodings`; None: it reads them all), or when a line before the data
    rows leaves a quote open (a comment line, a header cell with a line break): the libraries
    skip lines, or rows, or rows with quotes of their own, and would part from the pass."""
    if (encodings is None or report.encoding in encodings) and not _quote_before_data(report):
        yield report
        return
    with _data_copy(report, lambda text, out: shutil.copyfileobj(text, out, 1 << 20)) as copy:
        yield copy


@contextmanager
def _data_copy(report: "Report", write: Callable[[IO[str], IO[str]], None]) -> Iterator["Report"]:
    """The report of a UTF-8 copy of its data rows alone in a temporary folder, which `write`
    makes from the text that follows the lines before the data rows."""
    path = loadable_path(report)
    with tempfile.TemporaryDirectory(prefix="quorvel-") as folder:
        copy = os.path.join(folder, os.path.basename(path) or "copy.csv")
        with _text(report) as text, open(copy, "w", encoding="utf-8", newline="") as out:
            _skip_to_data(text, report)
            write(text, out)
        yield dataclasses.replace(report, local_path=copy, encoding="utf-8", skip_rows=0,
                                  header=False)


@contextmanager
def _text(report: "Report") -> Iterator[IO[str]]:
    with content(loadable_path(report)) as raw:
        yield io.TextIOWrapper(raw, encoding=report.encoding, newline="")


def _skip_to_data(text: IO[str], report: "Report") -> None:
    """Reads `text` up to the first data row."""
    for _ in range(report.skip_rows):
        text.readline()
    if report.header:
        next(csv.reader(text, delimiter=report.delimiter), None)


def _quote_before_data(report: "Report") -> bool:
    """Whether a line before the data rows leaves a quote open, as a comment line may, which a
    reader that skips rows would take for the start of a quoted field."""
    with _text(report) as text:
        return any(text.readline().count('"') % 2 for _ in range(lines_before_data(report)))


# pandas

PANDAS_DTYPES = {"integer": "Int64", "decimal": "float64", "boolean": "boolean",
                 "text": "string"}


def pandas_options(report: "Report") -> Dict[str, Any]:
    names = column_names(report)
    typed = [(n, c, target(c)) for n, c in zip(names, report.columns)]
    dtype = {}
    dates: Dict[str, str] = {}
    for name, column, wanted in typed:
        if not _reads_typed(column, "pandas"):
            dtype[name] = "string"
        elif wanted.kind in PANDAS_DTYPES:
            dtype[name] = PANDAS_DTYPES[wanted.kind]
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


def read_pandas(report: "Report", **overrides: Any) -> Any:
    import pandas  # type: ignore[import-untyped]

    with _readable(report) as readable:
        options = {**_pandas_read_options(readable), **overrides}
        try:
            frame = _pandas_typed_read(readable, options)
        except (ValueError, OverflowError, CellRefused):
            # A cell the typed read refuses: every column is read as text and converted
            # below, where such a cell is a misfit.
            frame = pandas.read_csv(loadable_path(readable), **{**options, "dtype": "string",
                                                                "parse_dates": False})
    found = []
    for position, column in enumerate(report.columns):
        # A typed column that arrives as text is converted: one with misfits, or one whose
        # dates pandas left as written.
        if (target(column).kind != "text"
                and pandas.api.types.is_string_dtype(frame.iloc[:, position].dtype)):
            raw = frame.iloc[:, position].astype("string")
            frame.isetitem(position, _pandas_value(raw, target(column)))
            found.append(_pandas_misfits(position, frame.columns[position], raw,
                                         frame.iloc[:, position]))
    _warn("pandas", found)
    _warn_long_rows(report, "pandas")
    return frame


def _pandas_read_options(report: "Report") -> Dict[str, Any]:
    """pandas_options with the dates read as text, which _pandas_dates parses: pandas' own
    parse gives nanosecond timestamps, which end in 2262."""
    options = pandas_options(report)
    dates = options.pop("parse_dates", [])
    options.pop("date_format", None)
    return {**options, "dtype": {**options["dtype"], **{name: "string" for name in dates}}}


def _pandas_typed_read(report: "Report", options: Dict[str, Any]) -> Any:
    """pandas' own typed read; CellRefused for a number out of float64's range, which pandas
    reads as infinite."""
    import numpy
    import pandas

    frame = pandas.read_csv(loadable_path(report), **options)
    floats = frame.select_dtypes("float64")
    if numpy.isinf(floats.to_numpy()).any():
        raise CellRefused
    return frame


def _pandas_value(raw: Any, wanted: Target) -> Any:
    import numpy
    import pandas

    text = _cleaned(raw, wanted)
    if wanted.kind == "integer":
        digits = text.str.replace(r"^\+", "", regex=True)
        fits = digits.str.fullmatch(INTEGER_TEXT).fillna(False)
        long = fits & (digits.str.lstrip("-").str.lstrip("0").str.len() > INT64_DIGITS)
        fits[long] = digits[long].map(_fits_int64)
        return digits.where(fits).astype("Int64")
    if wanted.kind == "decimal":
        number = pandas.to_numeric(text, errors="coerce").astype("float64")
        # A number beyond float64's range would be infinite: it is missing instead.
        return number.where(~numpy.isinf(number))
    if wanted.kind == "boolean":
        return text.map(dict(_truth_table()), na_action="ignore").astype("boolean")
    if wanted.kind == "date":
        return _pandas_dates(text, wanted.date_format or ISO_DATE_FORMAT)
    return pandas.to_datetime(text, format=wanted.date_format or "ISO8601", errors="coerce",
                              utc=wanted.kind == "datetime_tz")


ISO_DATE_FORMAT = "%Y-%m-%d"


def _pandas_dates(text: Any, layout: str) -> Any:
    """The dates as datetime64[s], whose range holds every year from 1 to 9999: pandas parses
    those of its nanosecond range, and each date beyond it is parsed alone."""
    import numpy
    import pandas

    stamps = pandas.to_datetime(text, format=layout, errors="coerce")
    days = stamps.to_numpy("datetime64[s]")
    beyond = (stamps.isna() & text.notna()).to_numpy()
    days[beyond] = [_numpy_date(cell, layout) for cell in text[beyond]]
    return pandas.Series(days, index=text.index, name=text.name)


def _numpy_date(cell: str, layout: str) -> Any:
    """The date of the cell, or NaT for a cell that holds none (2021-02-30)."""
    import numpy

    try:
        return numpy.datetime64(dt.datetime.strptime(cell, layout).date(), "s")
    except ValueError:
        return numpy.datetime64("NaT", "s")


def _cleaned(raw: Any, wanted: Target) -> Any:
    """The cells without the padding and group separators the target allows."""
    text = raw.str.strip(" ") if wanted.padded else raw
    return text.str.replace(",", "", regex=False) if wanted.grouped else text


def _pandas_misfits(position: int, name: str, raw: Any,
                    value: Any) -> Tuple[MisfitColumn, List[Misfit]]:
    lost = raw.notna() & value.isna()
    rows = lost[lost].index[:EXAMPLES]
    return (MisfitColumn(position, name, int(lost.sum())),
            [Misfit(name, int(r) + 1, raw[r], position) for r in rows])


def _truth_table() -> List[Tuple[str, bool]]:
    return [(t, True) for t in TRUE_TEXTS] + [(t, False) for t in FALSE_TEXTS]


# pyarrow

def arrow_options(report: "Report") -> Dict[str, Any]:
    import pyarrow  # type: ignore[import-untyped]
    import pyarrow.csv  # type: ignore[import-untyped]

    types: Dict[str, Any] = {}
    for name, column in zip(column_names(report), report.columns):
        types[name] = (_arrow_type(target(column)) if _reads_typed(column, "arrow")
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


def _arrow_type(wanted: Target) -> Any:
    import pyarrow

    return {"integer": pyarrow.int64(), "decimal": pyarrow.float64(), "boolean": pyarrow.bool_(),
            "date": pyarrow.date32(), "datetime": pyarrow.timestamp("us"),
            "datetime_tz": pyarrow.timestamp("us", tz="UTC")}.get(wanted.kind, pyarrow.string())


def read_arrow(report: "Report") -> Any:
    """The file as the report describes it, read by the engine's tokenizer (quorvel.reader), its
    columns converted from text by pyarrow's compute functions."""
    import pyarrow

    from .reader import text_batches

    table = text_batches(report).read_all()
    found = []
    for position, column in enumerate(report.columns):
        wanted = target(column)
        # Every cell arrives as written: the column's null texts become missing here.
        raw = _arrow_nulled(table.column(position), null_texts(report, column))
        value = raw.cast(pyarrow.string()) if wanted.kind == "text" else _arrow_value(raw, wanted)
        table = table.set_column(position, table.field(position).with_type(value.type), value)
        if wanted.kind != "text":
            found.append(_arrow_misfits(position, table.column_names[position], raw, value))
    _warn("pyarrow", found)
    _warn_long_rows(report, "pyarrow")
    return table


def _arrow_nulled(raw: Any, texts: List[str]) -> Any:
    import pyarrow
    import pyarrow.compute as pc  # type: ignore[import-untyped]

    return pc.if_else(pc.is_in(raw, pyarrow.array(texts, pyarrow.string())), None, raw)


def _arrow_value(raw: Any, wanted: Target) -> Any:
    import pyarrow
    import pyarrow.compute as pc

    text = pc.utf8_trim_whitespace(raw) if wanted.padded else raw
    if wanted.grouped:
        text = pc.replace_substring(text, ",", "")
    if wanted.kind == "boolean":
        truth = pc.if_else(pc.is_in(text, pyarrow.array(TRUE_TEXTS)), True,
                           pc.if_else(pc.is_in(text, pyarrow.array(FALSE_TEXTS)), False, None))
        return pc.cast(truth, pyarrow.bool_())
    if wanted.kind in ("date", "datetime") and wanted.date_format:
        stamps = pc.strptime(text, format=wanted.date_format, unit="us", error_is_null=True)
        return pc.cast(stamps, _arrow_type(wanted))
    pattern = {"integer": INTEGER_TEXT, "decimal": DECIMAL_TEXT, "date": ISO_DATE,
               "datetime": ISO_DATE + ISO_CLOCK, "datetime_tz": ISO_DATE + ISO_CLOCK + ISO_ZONE}
    fits = pc.match_substring_regex(text, "^(?:" + pattern[wanted.kind] + ")$")
    if wanted.kind.startswith("datetime"):
        fits = pc.and_(fits, pc.invert(pc.match_substring_regex(text, FINER_THAN_MICROSECONDS)))
    # pyarrow's cast takes no sign before an integer.
    text = pc.replace_substring_regex(text, r"^\+", "") if wanted.kind == "integer" else text
    value = _arrow_cast(pc.if_else(fits, text, None), _arrow_type(wanted))
    if wanted.kind == "decimal":
        value = pc.if_else(pc.is_inf(value), None, value)
    return value


def _arrow_cast(text: Any, wanted: Any) -> Any:
    """The cast of every cell, or where pyarrow refuses one (an integer past 2^63, an
    impossible date), of each cell alone, a refused one as missing."""
    import pyarrow

    try:
        return text.cast(wanted)
    except pyarrow.ArrowInvalid:
        return pyarrow.array([_arrow_cell(cell, wanted) for cell in text], wanted)


def _arrow_cell(cell: Any, wanted: Any) -> Any:
    import pyarrow

    try:
        return cell.cast(wanted)
    except pyarrow.ArrowInvalid:
        return None


DECIMAL_TEXT = r"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?"
ISO_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
ISO_CLOCK = r"[T ][0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:\.[0-9]{1,9})?)?"
ISO_ZONE = r"(?:Z|[-+][0-9]{2}:?[0-9]{2})"


def _arrow_misfits(position: int, name: str, raw: Any,
                   value: Any) -> Tuple[MisfitColumn, List[Misfit]]:
    import pyarrow.compute as pc

    lost = pc.and_(pc.is_valid(raw), pc.is_null(value))
    rows = pc.indices_nonzero(lost).to_pylist()
    return (MisfitColumn(position, name, len(rows)),
            [Misfit(name, r + 1, raw[r].as_py(), position) for r in rows[:EXAMPLES]])


# Polars

UTF8 = ("utf-8", "utf-8-sig")
DUCKDB_ENCODINGS = ("utf-8", "utf-8-sig", "utf-16", "latin-1")


def polars_options(report: "Report") -> Dict[str, Any]:
    if report.encoding not in UTF8:
        raise ValueError(f"polars.read_csv reads UTF-8 only, and '{report.path}' is "
                         f"{report.encoding}: read_polars transcodes it first")
    return _polars_options(report)


def _polars_options(report: "Report") -> Dict[str, Any]:
    import polars

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

    with _blank_rows_filled(report, "polars") as filled, _readable(filled, UTF8) as readable:
        options = _polars_options(readable)
        try:
            frame = _polars_typed_read(readable, options)
        except (polars.exceptions.ComputeError, CellRefused):
            # A cell the typed read refuses (an integer past 2^63, an impossible date): every
            # column is read as text and converted below, where such a cell is a misfit.
            text = {name: polars.String for name in options["schema_overrides"]}
            frame = polars.read_csv(loadable_path(readable),
                                    **{**options, "schema_overrides": text})
    found = []
    for position, (name, column) in enumerate(zip(frame.columns, report.columns)):
        # Text columns, and the typed columns left as text, hold their cells as written (a
        # quoted empty cell too): their null texts become missing here.
        if frame.schema[name] != polars.String:
            continue
        raw = _polars_nulled(frame.get_column(name), null_texts(report, column))
        value = raw if target(column).kind == "text" else _polars_value(raw, target(column))
        frame = frame.with_columns(value.alias(name))
        if target(column).kind != "text":
            found.append(_polars_misfits(position, name, raw, value))
    _warn("polars", found)
    _warn_long_rows(report, "polars")
    return frame


def _polars_typed_read(report: "Report", options: Dict[str, Any]) -> Any:
    """Polars' own typed read; CellRefused for a number out of float64's range, which Polars
    reads as infinite."""
    import polars

    frame = polars.read_csv(loadable_path(report), **options)
    floats = frame.select(polars.col(polars.Float64).is_infinite().any())
    if any(floats.row(0) if floats.width else ()):
        raise CellRefused
    return frame


def _polars_nulled(raw: Any, texts: List[str]) -> Any:
    import polars

    # A list, not a Series: Polars 2 deprecates is_in with a Series of the same type.
    missing = raw.is_in(texts)
    return polars.select(polars.when(missing).then(None).otherwise(raw)).to_series().alias(raw.name)


def _polars_value(raw: Any, wanted: Target) -> Any:
    import polars

    text = raw.str.strip_chars(" ") if wanted.padded else raw
    if wanted.grouped:
        text = text.str.replace_all(",", "", literal=True)
    if wanted.kind == "integer":
        return text.cast(polars.Int64, strict=False)
    if wanted.kind == "decimal":
        number = text.cast(polars.Float64, strict=False)
        # A number beyond float64's range would be infinite: it is missing instead.
        return polars.select(polars.when(number.is_infinite()).then(None)
                             .otherwise(number)).to_series()
    if wanted.kind == "boolean":
        truth = dict(_truth_table())
        return text.replace_strict(truth, default=None, return_dtype=polars.Boolean)
    if wanted.kind == "date":
        return text.str.to_date(wanted.date_format or "%Y-%m-%d", strict=False)
    return _polars_datetime(text, wanted)


def _polars_datetime(text: Any, wanted: Target) -> Any:
    """Polars takes one layout per call: the ISO 8601 layouts are tried in turn."""
    import polars

    if wanted.date_format:
        return text.str.to_datetime(wanted.date_format, strict=False, time_unit="us")
    # Polars would cut a finer fraction to the microsecond: such a cell is missing instead.
    text = polars.select(polars.when(text.str.contains(FINER_THAN_MICROSECONDS)).then(None)
                         .otherwise(text)).to_series()
    text = text.str.replace("T", " ", literal=True)
    zone = "%z" if wanted.kind == "datetime_tz" else ""
    if zone:
        text = text.str.replace(r"Z$", "+00:00")
    tried = [text.str.to_datetime("%Y-%m-%d %H:%M" + layout + zone, strict=False,
                                  time_unit="us")
             for layout in (":%S%.f", "")]
    value = polars.select(polars.coalesce(tried)).to_series()
    return value.dt.convert_time_zone("UTC") if zone else value


def _polars_misfits(position: int, name: str, raw: Any,
                    value: Any) -> Tuple[MisfitColumn, List[Misfit]]:
    lost = raw.is_not_null() & value.is_null()
    rows = lost.arg_true().to_list()
    return (MisfitColumn(position, name, len(rows)),
            [Misfit(name, r + 1, raw[r], position) for r in rows[:EXAMPLES]])


# DuckDB

def duckdb_sql(report: "Report", table_name: str) -> str:
    if not isinstance(table_name, str) or not table_name:
        raise TypeError(f"table_name must be a non-empty str, not {table_name!r}")
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
                         f"'{report.path}' is {report.encoding}: read_duckdb transcodes it first")
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


_DUCKDB_TYPES = {"decimal": "DOUBLE", "date": "DATE", "datetime": "TIMESTAMP",
                 "datetime_tz": "TIMESTAMPTZ"}


def _duckdb_typed(report: "Report", cell: str, wanted: Target) -> str:
    """The column's SQL expression; in a typed column the null texts are NULL."""
    if wanted.kind == "text":
        return cell
    return _duckdb_value(f"(CASE WHEN {cell} NOT IN ({_duckdb_nulls(report)}) THEN {cell} END)",
                         wanted)


def _duckdb_nulls(report: "Report") -> str:
    return ", ".join(_literal(t) for t in typed_null_texts(report))


def _duckdb_value(cell: str, wanted: Target) -> str:
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
    value = f"TRY_CAST({text} AS {_DUCKDB_TYPES[wanted.kind]})"
    if wanted.kind == "decimal":
        # A number beyond the range of DOUBLE would be infinite: it is NULL instead.
        return f"CASE WHEN NOT isinf({value}) THEN {value} END"
    if wanted.kind.startswith("datetime"):
        # DuckDB would cut a finer fraction to the microsecond: such a cell is NULL instead.
        return (f"CASE WHEN NOT regexp_matches({text}, {_literal(FINER_THAN_MICROSECONDS)}) "
                f"THEN {value} END")
    return value


def read_duckdb(report: "Report", connection: Any, table_name: str) -> None:
    with _blank_rows_filled(report, "duckdb") as filled, \
            _readable(filled, DUCKDB_ENCODINGS) as readable:
        _read_duckdb(readable, connection, table_name)
    _warn_long_rows(report, "duckdb")


@contextmanager
def _blank_rows_filled(report: "Report", loader: str) -> Iterator["Report"]:
    """The report, or the report of a UTF-8 copy of its data rows in which each blank row holds
    an empty cell per column, when the loader would skip or refuse a blank row."""
    if not _mishandles_blank_rows(report, loader):
        yield report
        return
    blank = [""] * len(report.columns)

    def write(text: IO[str], out: IO[str]) -> None:
        # CR LF ends the rows, so that a cell holding a CR or an LF alone is quoted.
        rows = csv.writer(out, delimiter=report.delimiter, lineterminator="\r\n")
        rows.writerows(row or blank for row in csv.reader(text, delimiter=report.delimiter))

    with _data_copy(report, write) as copy:
        yield copy


def _mishandles_blank_rows(report: "Report", loader: str) -> bool:
    """Whether the loader would skip or refuse a blank row, which the pass counts as a row (a
    short one in a file of several columns): DuckDB skips every blank line of such a file, and
    Polars refuses a blank first data row."""
    # Such a row is short: the cell of its last column is absent.
    if len(report.columns) < 2 or not report.columns[-1].absent:
        return False
    if loader == "duckdb":
        return True
    with _text(report) as text:
        return next(data_rows(text, report), None) == []


def _read_duckdb(report: "Report", connection: Any, table_name: str) -> None:
    # Every result is fetched whole: DuckDB 2 keeps the connection busy until a fetch comes
    # back empty, and the caller's next query would fail.
    connection.execute(duckdb_sql(report, table_name)).fetchall()
    names = column_names(report)
    typed = [(p, n, c) for p, (n, c) in enumerate(zip(names, report.columns))
             if target(c).kind != "text"]
    if not typed:
        return
    nulls = ", ".join(f"count(*) - count({_quoted(n)})" for _, n, _ in typed)
    [counted] = connection.execute(f"SELECT {nulls} FROM {_quoted(table_name)}").fetchall()
    found = []
    for (position, name, column), missing in zip(typed, counted):
        lost = missing - column.missing - column.absent
        if lost > 0:
            found.append((MisfitColumn(position, name, lost),
                          _duckdb_misfits(report, connection, position, column)))
    _warn("duckdb", found)


def _duckdb_misfits(report: "Report", connection: Any, position: int,
                    column: "Column") -> List[Misfit]:
    """The first texts of the column that became NULL, with their rows, read again from the
    file by one thread, which reads the rows in order."""
    name = column_names(report)[position]
    cell = _quoted(name)
    rows = connection.execute(
        f"SELECT row, {cell} FROM (SELECT row_number() OVER () AS row, {cell} "
        f"FROM {_duckdb_read(report)}) "
        f"WHERE {cell} NOT IN ({_duckdb_nulls(report)}) "
        f"AND ({_duckdb_value(cell, target(column))}) IS NULL "
        f"ORDER BY row LIMIT {EXAMPLES}").fetchall()
    return [Misfit(name, row, text, position) for row, text in rows]


def _quoted(identifier: str) -> str:
    return '"' + identifier.replace('"', '""') + '"'


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"
