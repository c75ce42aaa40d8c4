"""Each cause of a failed load, generated, then loaded with the report in all four libraries."""
import concurrent.futures
import csv
import dataclasses
import datetime as dt
import json
import multiprocessing
import pathlib
import pickle
import re
import subprocess
import sys
import warnings

import duckdb
import pandas
import polars
import pyarrow.csv
import pytest

import quorvel
from conftest import loaded

REPO = pathlib.Path(__file__).resolve().parents[2]
REAL_FILES = sorted((REPO / "build" / "real-world").glob("*.csv"))
LIBRARIES = ("pandas", "arrow", "polars", "duckdb")


def plain(value):
    """pandas' timestamps and numpy scalars as the Python values the others give."""
    if isinstance(value, pandas.Timestamp):
        value = value.to_pydatetime()
        return value.date() if value.time() == dt.time(0) and value.tzinfo is None else value
    return value.item() if hasattr(value, "item") else value


INTS = [str(i) for i in range(95)]
CAUSES = {  # cause: (file text, expected verdicts, expected values of the last column)
    "misfits pass the threshold": (
        "n\n" + "\n".join(INTS + ["x1", "n.a.", "    "]) + "\n",
        ["integer"], list(range(95)) + [None] * 3),
    "padded numbers": ("n\n 500\n12  \n3\n", ["padded_integer"], [500, 12, 3]),
    "grouped numbers below 1,000": ('n\n"100,000"\n999\n"1,234,567"\n', ["grouped_number"],
                                    [100000.0, 999.0, 1234567.0]),
    "slashed dates": ("d\n03/22/2013\n1/13/2013\n", ["date_mdy"],
                      [dt.date(2013, 3, 22), dt.date(2013, 1, 13)]),
    "slashed ISO dates": ("d\n2012/01/31\n2012/02/03\n", ["date_ymd"],
                          [dt.date(2012, 1, 31), dt.date(2012, 2, 3)]),
    "slashed date-times without seconds": (
        "t\n2010/01/01 00:30\n2010/12/31 23:59\n", ["datetime_slash_hm"],
        [dt.datetime(2010, 1, 1, 0, 30), dt.datetime(2010, 12, 31, 23, 59)]),
    "short rows": ("a,b,n\n1,2,3\n4,5\n6\n", ["integer"] * 3, [3, None, None]),
    "long rows": ("a,b,n\n1,2,3\n4,5,6,E\n7,8,9\n", ["integer"] * 3, [3, 6, 9]),
    "short rows after a quoted line break": ('a,t,n\n1,"x\ny",3\n4,z\n',
                                             ["integer", "text", "integer"], [3, None]),
    "repeated names": ("n,x,n\n1,a,7\n2,b,8\n", ["integer", "text", "integer"], [7, 8]),
    "unnamed columns": ("a,,n\n1,x,5\n2,y,6\n", ["integer", "text", "integer"], [5, 6]),
    "latin-1 header and body": ("café,n\n\u00ae,1\nb,2\n".encode("latin-1"),
                                ["text", "integer"], [1, 2]),
    "utf-16 with its BOM": ("\ufeffnom,n\nété,1\nhiver,2\n".encode("utf-16-le"),
                            ["text", "integer"], [1, 2]),
    "utf-8 with its BOM": ("\ufeffid,n\n1,4\n".encode("utf-8"), ["integer"] * 2, [4]),
}


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("cause", CAUSES)
def test_each_cause_loads_typed_with_every_row(write, cause, library):
    content, verdicts, values = CAUSES[cause]
    report = quorvel.describe(write(content))
    assert [c.verdict for c in report.columns] == verdicts
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvel.MisfitWarning)
        warnings.simplefilter("ignore", quorvel.LongRowsWarning)
        names, columns = loaded(report, library)
    assert names == [c.name for c in report.columns]
    assert [plain(v) for v in columns[-1]] == values
    assert all(len(column) == report.rows for column in columns)


@pytest.mark.parametrize("library", LIBRARIES)
def test_misfits_arrive_missing_and_the_load_warns_with_their_texts(write, library):
    report = quorvel.describe(write(CAUSES["misfits pass the threshold"][0]))
    assert report.columns[0].misfits == {"other": 3}
    with pytest.warns(quorvel.MisfitWarning) as caught:
        loaded(report, library)
    [warning] = [w.message for w in caught]
    assert list(warning.counts.values()) == [3]
    assert [m.text for m in warning.examples] == ["x1", "n.a.", "    "]
    assert [m.row for m in warning.examples] == [96, 97, 98]


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("header, names", [
    ("a,a,,b,a", ["a", "a.1", "Unitled_1", "b", "a.2"]),
    ("a,,,a.1,a", ["a", "Unitled_1", "Unitled_2", "a.1", "a.2"]),
    (",x,,x", ["Unitled_1", "x", "Unitled_2", "x.1"]),
    ("Unitled_1,,x", ["Unitled_1", "Unitled_1.1", "x"]),
    ("a,b,c,d,e,,g,h,i,j,k", list("abcde") + ["Unitled_1"] + list("ghijk"))])
def test_every_library_loads_the_reports_one_name_per_column(write, header, names, library):
    width = header.count(",") + 1
    path = write(header + "\n" + ",".join(str(i) for i in range(width)) + "\n")
    report = quorvel.describe(path)
    assert [c.name for c in report.columns] == names
    loaded_names, columns = loaded(report, library)
    assert loaded_names == names
    # Each column holds its own cell: the names reach the right columns.
    assert [plain(c[0]) for c in columns] == list(range(width))


def test_repeated_names_get_a_verdict_each_from_a_rewritten_header(write):
    # Counted under one name, 'n' would be mixed: only per-position counts tell them apart.
    report = quorvel.describe(write("n,n,n\n" + "1,x,2.5\n" * 30))
    assert [(c.name, c.verdict, c.shared) for c in report.columns] == [
        ("n", "integer", 1), ("n.1", "text", 1), ("n.2", "decimal", 1)]


def test_short_rows_are_shown_as_absent_cells(write):
    report = quorvel.describe(write("a,b,c\n1,2,3\n4,5\n6\n"))
    assert [c.absent for c in report.columns] == [0, 1, 2]
    [c_line] = [line for line in str(report).splitlines() if line.startswith("c ")]
    assert c_line.endswith("integer 1, absent 2")


@pytest.mark.parametrize("content, encoding, names", [
    (b"caf\xe9\n1\n", "latin-1", ["caf\xe9"]),
    ("\ufeffnom\n1\n".encode("utf-16-be"), "utf-16", ["nom"]),
    (b"\xef\xbb\xbfid\n1\n", "utf-8-sig", ["id"]),
    (b"id\n\xc3\xa9\n", "utf-8", ["id"]),
])
def test_encoding_is_detected_and_names_decoded_with_it(write, content, encoding, names):
    report = quorvel.describe(write(content))
    assert (report.encoding, report.encoding_detected) == (encoding, True)
    assert [c.name for c in report.columns] == names


def test_given_encoding_overrides_the_detection(write):
    report = quorvel.describe(write("é\n1\n".encode("utf-8")), encoding="LATIN1")
    assert (report.encoding, report.encoding_detected) == ("latin-1", False)
    assert [c.name for c in report.columns] == ["Ã©"]
    with pytest.raises(ValueError, match=re.escape("encoding 'cp-nothing' is not one Python knows")):
        quorvel.describe(write("a\n1\n"), encoding="cp-nothing")
    with pytest.raises(ValueError, match=re.escape("encoding 'rot13' is not a text encoding")):
        quorvel.describe(write("a\n1\n"), encoding="rot13")


def test_a_truncated_stream_fails_the_pass_naming_it(write):
    # Random digits keep the cut well past the head the sniffer reads; the repeated name once
    # sent such a file through a second decompressor of the package's.
    import gzip
    import random
    rows = "".join(f"{random.random()},{random.random()}\n" for _ in range(100_000))
    packed = gzip.compress(("n,n\n" + rows).encode())
    path = write(packed[:len(packed) // 2], "cut.csv.gz")
    with pytest.raises(RuntimeError, match=re.escape(
            f"Cannot decompress input stream '{path}' (gzip): the compressed data ends early")):
        quorvel.describe(path)


def test_json_has_one_shape_for_one_file_and_for_several(write):
    path = write("a\n1\n")
    command = [sys.executable, "-m", "quorvel", "--json"]
    one = json.loads(subprocess.run(command + [path], capture_output=True, text=True).stdout)
    two = json.loads(subprocess.run(command + [path, path], capture_output=True,
                                    text=True).stdout)
    assert (one["version"], len(one["files"]), two["version"], len(two["files"])) == (3, 1, 3, 2)
    column = one["files"][0]["columns"][0]
    assert {"position", "verdict", "share", "counts", "missing", "misfits", "misfit_examples",
            "absent"} <= set(column)


def test_misfit_examples_from_the_pass_show_in_table_and_html(write):
    report = quorvel.describe(write(CAUSES["misfits pass the threshold"][0]))
    column = dataclasses.replace(report.columns[0],
                                 misfit_examples={"other": [("x1", 96), ("n.a.", 97)]})
    shown = dataclasses.replace(report, columns=[column], short_rows=2, long_rows=0)
    lines = str(shown).splitlines()
    assert lines[lines.index(next(line for line in lines if "other* 3" in line)) + 1].strip() == (
        "e.g. other: 'x1' row 96, 'n.a.' row 97")
    assert "2 short rows" in " ".join(str(shown).splitlines()[:2])
    assert "&#x27;x1&#x27; row 96" in shown._repr_html_()


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("path", REAL_FILES, ids=[p.name for p in REAL_FILES])
def test_real_files_load_with_every_row(path, library):
    report = quorvel.describe(path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvel.MisfitWarning)
        names, columns = loaded(report, library)
    assert len(names) == len(report.columns)
    assert all(len(column) == report.rows for column in columns)


def test_the_project_ships_real_files_to_load():
    assert {"challenge.csv", "macrodata.csv"} <= {p.name for p in REAL_FILES}
    assert len(REAL_FILES) >= 10


def ready_load(report, library):
    """The library called by hand with the report's options: the number of rows it read."""
    if library == "pandas":
        return len(pandas.read_csv(report.path, **report.pandas_options()))
    if library == "arrow":
        return pyarrow.csv.read_csv(report.path, **report.arrow_options()).num_rows
    if library == "polars":
        return len(polars.read_csv(report.path, **report.polars_options()))
    con = duckdb.connect()
    con.execute(report.duckdb_sql("t"))
    return con.execute("SELECT count(*) FROM t").fetchone()[0]


# What the ready options cannot do, and say so: pyarrow's reader refuses ragged
# rows, and Polars reads UTF-8 only.
REFUSED = {("arrow", "short rows"): (pyarrow.ArrowInvalid, "Expected 3 columns, got 2"),
           ("arrow", "long rows"): (pyarrow.ArrowInvalid, "Expected 3 columns, got 4"),
           ("arrow", "short rows after a quoted line break"): (pyarrow.ArrowInvalid,
                                                               "Expected 3 columns, got 2"),
           ("polars", "latin-1 header and body"): (ValueError, "reads UTF-8 only"),
           ("polars", "utf-16 with its BOM"): (ValueError, "reads UTF-8 only")}


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("cause", CAUSES)
def test_ready_options_read_every_row_without_failing_on_a_cell(write, cause, library):
    report = quorvel.describe(write(CAUSES[cause][0]))
    if (library, cause) in REFUSED:
        error, message = REFUSED[library, cause]
        with pytest.raises(error, match=message):
            ready_load(report, library)
    else:
        assert ready_load(report, library) == report.rows


def test_command_prints_a_duckdb_statement_and_polars_options_that_load(write):
    path = write(CAUSES["slashed dates"][0], "days.csv")
    command = [sys.executable, "-m", "quorvel", path, "--schema"]
    statement = subprocess.run(command + ["duckdb"], capture_output=True, text=True).stdout
    con = duckdb.connect()
    con.execute(statement)
    assert con.execute("SELECT d FROM days").fetchall() == [
        (dt.date(2013, 3, 22),), (dt.date(2013, 1, 13),)]
    options = json.loads(subprocess.run(command + ["polars"], capture_output=True,
                                        text=True).stdout)
    assert options["schema_overrides"] == {"d": "String"}
    assert options["truncate_ragged_lines"] is True


def test_a_pass_starts_no_process_and_an_interrupt_ends_it(write):
    import psutil
    path = write("n,n\n" + "1,2\n" * 300_000)
    # Processes an earlier test left for the session (a cluster's resource tracker) stay.
    before = psutil.Process().children()

    def interrupt(*_):
        assert psutil.Process().children() == before
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        quorvel.describe(path, progress=interrupt)
    assert psutil.Process().children() == before


# Columns of every kind beside their null texts: a DNA strand's gaps, Namibia's code, R's NA in
# a text column, a column of null texts alone, and typed columns that hold the same texts.
WRITTEN = ("strand,country,note,nothing,n,when,ok\n"
           "A,NA,NA,NA,1,2020-01-02,true\n"
           "-,DE,,-,NA,NA,-\n"
           "-,NA,\"\",null,-,,false\n"
           "C,--,x,,,2020-01-03,NA\n") + "G,FR,y,NA,7,2020-01-04,true\n" * 20
WRITTEN_VERDICTS = ["text", "text", "text", "empty", "integer", "date", "boolean"]


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("tail", ["", "T,\n"], ids=["even rows", "a short row"])
def test_text_columns_keep_their_null_texts_and_typed_columns_miss_them(write, library, tail):
    path = write(WRITTEN + tail)
    report = quorvel.describe(path)
    assert [c.verdict for c in report.columns] == WRITTEN_VERDICTS
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvel.LongRowsWarning)
        _, columns = loaded(report, library)
    with open(path, newline="") as text:
        rows = list(csv.reader(text))[1:]
    width = len(WRITTEN_VERDICTS)
    cells = zip(*[row + [None] * (width - len(row)) for row in rows])
    for verdict, column, written in zip(WRITTEN_VERDICTS, columns, cells):
        if verdict in ("text", "empty"):
            # Every written cell as written; an empty cell holds nothing, as an absent one.
            assert column == [c or None for c in written], verdict
        else:
            assert [v is None for v in column] == [c is None or c in report.na for c in written]


# Two columns under one header name, each with misfits of its own, and a long row.
TWINS = "n,n\n" + "1,2\n" * 40 + "x,3\n4,y\n5,z,extra\n"


def warnings_of_load(report, library):
    """The warnings a load gave, as a process pool's worker sends them back."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        loaded(report, library)
    return [w.message for w in caught]


@pytest.mark.parametrize("library", LIBRARIES)
def test_misfit_warning_tells_columns_apart_by_position(write, library):
    report = quorvel.describe(write(TWINS))
    misfit, long_rows = warnings_of_load(report, library)
    assert misfit.columns == [(0, "n", 1), (1, "n.1", 2)]
    assert (misfit.positions, misfit.counts) == ({0: 1, 1: 2}, {"n": 1, "n.1": 2})
    assert [(m.position, m.text) for m in misfit.examples] == [(0, "x"), (1, "y"), (1, "z")]
    assert "position 0 'n' 1 (e.g. 'x'" in str(misfit)
    assert "position 1 'n.1' 2 (e.g. 'y'" in str(misfit)
    assert (long_rows.count, long_rows.rows, long_rows.width) == (1, [43], 2)
    for warning in (misfit, long_rows):
        again = pickle.loads(pickle.dumps(warning))
        assert (again, str(again), again.loader) == (warning, str(warning), library.replace(
            "arrow", "pyarrow"))


def test_misfit_warning_keeps_columns_that_share_a_name_apart():
    columns = [quorvel.MisfitColumn(0, "n", 1), quorvel.MisfitColumn(2, "n", 2)]
    examples = [quorvel.Misfit("n", 3, "x", 0), quorvel.Misfit("n", 5, "y", 2)]
    warning = quorvel.MisfitWarning("pandas", columns, examples)
    assert (warning.positions, warning.counts) == ({0: 1, 2: 2}, {"n": 3})
    assert str(warning).endswith("position 0 'n' 1 (e.g. 'x' row 3); "
                                 "position 2 'n' 2 (e.g. 'y' row 5)")
    assert pickle.loads(pickle.dumps(warning)) == warning
    assert warning != quorvel.MisfitWarning("pandas", columns[:1], examples[:1])


def test_load_warnings_cross_a_process_pool(write):
    report = quorvel.describe(write(TWINS))
    # Spawned, not forked: the libraries' threads make a fork unsafe.
    with concurrent.futures.ProcessPoolExecutor(
            1, mp_context=multiprocessing.get_context("spawn")) as pool:
        sent = {library: pool.submit(warnings_of_load, report, library) for library in LIBRARIES}
        for library, future in sent.items():
            assert future.result() == warnings_of_load(report, library)


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("name, siblings", [
    ("x[1].csv", ["x1.csv"]), ("y*.csv", ["y.csv", "yy.csv"]), ("z?.csv", ["za.csv"]),
    ("[ab]/**.csv", ["a/q.csv", "[ab]/q.csv"])])
def test_a_path_with_glob_characters_loads_that_one_file(tmp_path, library, name, siblings):
    for number, sibling in enumerate(siblings, 2):
        (tmp_path / sibling).parent.mkdir(exist_ok=True)
        (tmp_path / sibling).write_text(f"n\n{number}\n")
    (tmp_path / name).parent.mkdir(exist_ok=True)
    (tmp_path / name).write_text("n\n1\n")
    _, [column] = loaded(quorvel.describe(str(tmp_path / name)), library)
    assert column == [1]


def ready_columns(report, library):
    """The columns as the library called by hand with the report's options loads them."""
    if library == "pandas":
        frame = pandas.read_csv(report.path, **report.pandas_options())
        return [[None if pandas.isna(v) else v for v in frame[c]] for c in frame]
    if library == "arrow":
        return [c.to_pylist() for c in pyarrow.csv.read_csv(
            report.path, **report.arrow_options()).columns]
    if library == "polars":
        return [s.to_list() for s in polars.read_csv(
            report.path, **report.polars_options()).get_columns()]
    con = duckdb.connect()
    con.execute(report.duckdb_sql("t"))
    return [list(c) for c in zip(*con.execute("SELECT * FROM t").fetchall())]


# What an empty cell of a text column becomes with the ready options, unquoted and quoted:
# pyarrow and Polars take one set of null texts for all columns.
READY_EMPTY = {"pandas": (None, None), "arrow": ("", ""), "polars": (None, ""),
               "duckdb": (None, None)}


@pytest.mark.parametrize("library", LIBRARIES)
def test_ready_options_keep_the_null_texts_of_text_columns_as_written(write, library):
    path = write(WRITTEN)
    report = quorvel.describe(path)
    with open(path, newline="") as text:
        cells = list(zip(*list(csv.reader(text))[1:]))
    columns = ready_columns(report, library)
    for verdict, column, written in zip(WRITTEN_VERDICTS, columns, cells):
        if verdict in ("text", "empty"):
            assert [v for v, c in zip(column, written) if c] == [c for c in written if c]
    note = columns[2]  # empty in the second row, and quoted empty in the third
    assert (note[1], note[2]) == READY_EMPTY[library]


def int64_or_none(text):
    value = int(text)
    return value if -2 ** 63 <= value < 2 ** 63 else None


def finite_or_none(text):
    value = float(text)
    return value if abs(value) != float("inf") else None


def microseconds_or_none(text):
    """The date-time as a microsecond timestamp holds it: a finer fraction it cannot hold."""
    fraction = text.rpartition(".")[2] if "." in text else ""
    try:
        return dt.datetime.fromisoformat(text) if len(fraction) <= 6 else None
    except ValueError:
        return None


def pandas_stamp_or_none(text):
    """The date-time as pandas holds it: in nanoseconds, from 1677 to 2262, before pandas 3,
    which picks a unit that holds the cell."""
    try:
        stamp = pandas.Timestamp(text)
        return stamp if int(pandas.__version__.split(".")[0]) >= 3 else stamp.as_unit("ns")
    except ValueError:  # OutOfBoundsDatetime is one
        return None


def date_or_none(text):
    try:
        return dt.date.fromisoformat(text)
    except ValueError:
        return None


# An odd cell at the end of a column of its type: (header, ordinary cells, oracle).
ORDINARY = {
    "integer": ("n", [str(i) for i in range(30)], int64_or_none),
    "decimal": ("x", [f"{i}.5" for i in range(30)], finite_or_none),
    "date": ("d", [f"2021-01-{i:02d}" for i in range(1, 29)], date_or_none),
    "datetime": ("t", [f"2021-01-{i:02d} 10:00:00" for i in range(1, 29)],
                 microseconds_or_none),
}
ODD_CELLS = [
    ("integer", "99999999999999999999"), ("integer", "-9223372036854775809"),
    ("integer", "9223372036854775807"), ("integer", "-9223372036854775808"),
    ("integer", "+5"), ("integer", "+9223372036854775807"),
    ("date", "2021-02-30"), ("date", "2021-13-01"), ("date", "2020-02-29"),
    ("datetime", "2021-01-01 10:00:00.123456789"), ("datetime", "2021-01-01 10:00:00.123456"),
    ("datetime", "9999-12-31 23:59:59"), ("datetime", "2021-02-29 10:00:00"),
    # Either end of pandas 2's nanoseconds, alone in their column.
    ("datetime", "1500-06-01 10:00:00"), ("datetime", "1677-09-21 00:12:43.145224"),
    ("datetime", "1677-09-21 00:12:43.145225"), ("datetime", "2262-04-11 23:47:16.854775"),
    ("datetime", "2262-04-11 23:47:16.854776"),
    ("decimal", "9" * 400), ("decimal", "9" * 400 + ".5"), ("decimal", "-" + "1" * 400),
    ("decimal", "1e400"), ("decimal", "0." + "0" * 400 + "1"),
]


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("verdict, odd", ODD_CELLS)
def test_a_cell_the_type_cannot_hold_arrives_missing_and_warned(write, verdict, odd, library):
    header, ordinary, oracle = ORDINARY[verdict]
    report = quorvel.describe(write("\n".join([header] + ordinary + [odd]) + "\n"))
    assert report.columns[0].verdict == verdict
    expected = oracle(odd)
    # pandas takes read_arrow's microseconds, and before pandas 3 its range is narrower.
    if library == "pandas" and verdict == "datetime" and expected is not None:
        expected = pandas_stamp_or_none(odd)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, [column] = loaded(report, library)
    assert [plain(v) for v in column[:-1]] == [plain(oracle(c)) for c in ordinary]
    last = column[-1] if isinstance(expected, pandas.Timestamp) else plain(column[-1])
    assert last == expected
    given = [w.message for w in caught]
    if expected is None:
        [warning] = given
        assert warning.positions == {0: 1}
        assert [m.text for m in warning.examples] == [odd]
    else:
        assert given == []


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("verdict, written, layout", [
    ("date", "{y:04}-{m:02}-{d:02}", "%Y-%m-%d"), ("date_ymd", "{y:04}/{m:02}/{d:02}", "%Y/%m/%d"),
    ("date_dmy", "{d:02}/{m:02}/{y:04}", "%d/%m/%Y")])
def test_dates_at_both_ends_of_the_calendar_arrive_as_dates(write, verdict, written, layout,
                                                            library):
    days = [(1, 1, 1), (1677, 9, 21), (2262, 4, 12), (9999, 12, 31)]
    days += [(2013, 1, 13 + i) for i in range(19)]
    cells = [written.format(y=y, m=m, d=d) for y, m, d in days]
    report = quorvel.describe(write("\n".join(["d"] + cells) + "\n"))
    assert report.columns[0].verdict == verdict
    _, [column] = loaded(report, library)
    assert [plain(v) for v in column] == [dt.datetime.strptime(c, layout).date() for c in cells]
    if library == "pandas":
        assert str(report.read_pandas()["d"].dtype) == "datetime64[s]"


NUMBERS = "".join(f"{i},{i}\n" for i in range(30))
BLANK_LINES = {  # a file of two columns, the second of integers with misfits, and blank lines
    "before a misfit at the end": "a,n\n" + NUMBERS + "\n31,x\n",
    "two, between misfits": "a,n\n1,y\n\n\n" + NUMBERS + "31,x\n\n32,z\n",
    "after the header": "a,n\n\n" + NUMBERS + "31,x\n",
    "CR LF": ("a,n\n" + NUMBERS + "\n31,x\n").replace("\n", "\r\n"),
    "a blank line inside quotes": 'a,n\n"1\n\n2",y\n\n' + NUMBERS + "31,x\n",
}


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("case", BLANK_LINES)
def test_blank_lines_are_rows_and_the_misfits_rows_are_counted_past_them(write, case, library):
    path = write(BLANK_LINES[case])
    report = quorvel.describe(path)
    assert report.columns[1].verdict == "integer"
    with open(path, newline="") as text:
        rows = list(csv.reader(text))[1:]
    misfits = [(number, row[1]) for number, row in enumerate(rows, 1)
               if len(row) > 1 and row[1] and not re.fullmatch(r"[0-9]+", row[1])]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, columns = loaded(report, library)
    assert [len(column) for column in columns] == [len(rows)] * 2
    [warning] = [w.message for w in caught]
    assert warning.positions[1] == len(misfits)
    assert [(m.row, m.text) for m in warning.examples if m.position == 1] == misfits[:3]


@pytest.mark.parametrize("library", LIBRARIES)
def test_a_refused_cell_leaves_the_other_columns_of_its_file_typed(write, library):
    # The integer past 2^63 makes the libraries' typed reads refuse the file: each column is
    # then read as text and converted, and must come out as the typed read gives it.
    rows = [("yes", str(i), f"2021-01-{i:02d}", f'"1,{i:03d}"', f" {i}.5") for i in range(1, 29)]
    rows.append(("no", "99999999999999999999", "2021-02-28", '"2,000"', "-1.25 "))
    report = quorvel.describe(write("ok,n,d,g,x\n" + "".join(",".join(r) + "\n" for r in rows)))
    assert [c.verdict for c in report.columns] == [
        "boolean", "integer", "date", "grouped_number", "padded_decimal"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, columns = loaded(report, library)
    assert [w.message.positions for w in caught] == [{1: 1}]
    expected = [[cell == "yes" for cell, *_ in rows],
                [int64_or_none(n) for _, n, *_ in rows],
                [dt.date.fromisoformat(d) for _, _, d, *_ in rows],
                [float(g.strip('"').replace(",", "")) for *_, g, _ in rows],
                [float(x) for *_, x in rows]]
    assert [[plain(v) for v in column] for column in columns] == expected
