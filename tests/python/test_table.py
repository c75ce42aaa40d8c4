"""Finding the table: comment lines, preambles, a header or none, row names, one name per column,
and every loader reading the table as the report describes it."""
import csv
import io
import json
import pathlib
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
from conftest import exactly, loaded
from quorvel.describe import HEADER_LIMIT
from quorvel.source import Head, first_row_end, opened
from quorvel.table import BLOCK_SIZE, TableOptions, find_table, type_classifier

REPO = pathlib.Path(__file__).resolve().parents[2]
REAL = REPO / "build" / "real-world"
LIBRARIES = ("pandas", "arrow", "polars", "duckdb")
HAS_TYPE = type_classifier([p for ps in quorvel.DEFAULT_TYPES.values() for p in ps],
                           quorvel.DEFAULT_NA)

TAB_BODY = "x\ty\tz\n" + "".join(f"{i}\t{i * 2}\tw{i}\n" for i in range(87))
ROWS = "".join(f"{i},{i * 1.5},w{i}\n" for i in range(20))

# name: (text, options, (delimiter, skip_rows, comment, header, row_names, names))
CASES = {
    "comment line before the header": (
        "# Data source: x, y, z\nd,a,b\n2020-01-01,1,2\n2020-01-02,3,4\n", {},
        (",", 1, "#", True, False, ["d", "a", "b"])),
    "comment lines with commas over tabs": (
        "# a, b, c, d\n# e, f, g\n" + TAB_BODY, {}, ("\t", 2, "#", True, False, ["x", "y", "z"])),
    "percent comments": ("% made by hand\n" + TAB_BODY, {},
                         ("\t", 1, "%", True, False, ["x", "y", "z"])),
    "prose with commas over tabs": (
        "Notes, by hand, say this\nand this, and, that\n" + TAB_BODY, {},
        ("\t", 2, None, True, False, ["x", "y", "z"])),
    "row of counts before headerless data": (
        "20,5,ok\n" + "".join(f"{i},{i}.5,{i},{i},{i % 2}\n" for i in range(20)), {},
        (",", 1, None, False, False, [f"Unitled_{i}" for i in range(1, 6)])),
    "headerless semicolons": (
        ROWS.replace(",", ";"), {},
        (";", 0, None, False, False, ["Unitled_1", "Unitled_2", "Unitled_3"])),
    "header over row names": (
        '"a","b"\n"1",1,2.5\n"2",3,4.5\n', {},
        (",", 0, None, True, True, ["Unitled_1", "a", "b"])),
    "a header cell that starts with the marker": (
        "#id,name\n1,x\n2,y\n", {}, (",", 0, None, True, False, ["#id", "name"])),
    "a quote within a header cell": (
        'a,a,b"c\n1,2,3\n4,5,6\n', {}, (",", 0, None, True, False, ["a", "a.1", 'b"c'])),
    "missing values under a header": (
        "a,b\n1,NA\n,2\n3,4\n", {}, (",", 0, None, True, False, ["a", "b"])),
    "missing values in headerless data": (
        "NA,1\n2,\n3,4\n", {}, (",", 0, None, False, False, ["Unitled_1", "Unitled_2"])),
    "a header cell with a line break": (
        '"a\nb",c\n1,2\n3,4\n', {}, (",", 0, None, True, False, ["a\nb", "c"])),
    "all text keeps its first row as the header": (
        "k,v\nx,y\nz,w\n", {}, (",", 0, None, True, False, ["k", "v"])),
    "skip_rows given": ("title\nsub,title\na,b\n1,2\n", {"skip_rows": 2},
                        (",", 2, None, True, False, ["a", "b"])),
    "skip_rows given sniffs no comment after them": (
        "title\n# a,b\n1,2\n3,4\n", {"skip_rows": 1},
        (",", 1, None, True, False, ["# a", "b"])),
    "comment given": ("! note\n! more\na,b\n1,2\n", {"comment": "!"},
                      (",", 2, "!", True, False, ["a", "b"])),
    "header=False keeps a text first row as data": (
        "a,b\n1,2\n", {"header": False}, (",", 0, None, False, False, ["Unitled_1", "Unitled_2"])),
    "header=True over typed data": (
        "1,2\n3,4\n", {"header": True}, (",", 0, None, True, False, ["1", "2"])),
    "names replace the header": (
        "a,a\n1,2\n", {"names": ["p", "p"]}, (",", 0, None, True, False, ["p", "p.1"])),
    "names over headerless data": (
        "1,2\n3,4\n", {"names": ["p", "q"]}, (",", 0, None, False, False, ["p", "q"])),
}


@pytest.mark.parametrize("case", CASES)
def test_the_table_is_found_in_the_head(case):
    text, options, expected = CASES[case]
    layout = find_table(text, True, TableOptions(**options), HAS_TYPE)
    assert (layout.delimiter, layout.skip_rows, layout.comment, layout.header, layout.row_names,
            layout.names) == expected
    # The table starts at the first line after those skipped.
    assert layout.start == len("".join(text.splitlines(True)[:layout.skip_rows]))


def body_rows(text, report):
    """Python's csv module on the lines after those skipped: the oracle of the data rows."""
    lines = text.splitlines(True)[report.skip_rows:]
    rows = list(csv.reader(io.StringIO("".join(lines)), delimiter=report.delimiter))
    return rows[1:] if report.header else rows


def loaded_text(report, library):
    """(names, rows of cells as text) as the library's ready options read the file, every column
    as text (DuckDB's ready statement converts in SQL, so it has no such reading)."""
    if library == "pandas":
        frame = pandas.read_csv(report.path, **{**report.pandas_options(), "dtype": str,
                                                "parse_dates": False, "date_format": None,
                                                "keep_default_na": False, "na_values": []})
        return list(frame.columns), frame.values.tolist()
    if library == "arrow":
        options = report.arrow_options()
        options["convert_options"] = pyarrow.csv.ConvertOptions(
            column_types={c.name: pyarrow.string() for c in report.columns})
        table = pyarrow.csv.read_csv(report.path, **options)
        return table.column_names, [list(r.values()) for r in table.to_pylist()]
    if library == "polars":
        options = report.polars_options()
        # Empty cells stay empty text, under the option's name in the polars at hand.
        options.update({"empty_string_is_null": False} if "empty_string_is_null" in options
                       else {"missing_utf8_is_empty_string": True})
        options.update(null_values=None,
                       schema_overrides={c.name: polars.String for c in report.columns})
        frame = polars.read_csv(report.path, **options)
        return frame.columns, [list(r) for r in frame.rows()]
    raise AssertionError(f"no oracle reading for {library}")


# The ready options skip the lines before the data as the library skips them: pyarrow skips
# lines, so a header cell with a line break is a row to it, and Polars skips rows with quotes
# of its own, so that a quote within a header cell opens a field. The read_ functions read
# every file through the engine, which reads such a header as the pass did.
READY_OPTIONS_PART = {("a quote within a header cell", "polars"),
                      ("a header cell with a line break", "arrow"),
                      ("a header cell with a line break", "polars")}


def described_case(tmp_path, case):
    """(the case's text, its report) with the case's options."""
    text, options, _ = CASES[case]
    path = tmp_path / "in.csv"
    path.write_text(text, encoding="utf-8")
    return text, quorvel.describe(path, **options)


@pytest.mark.parametrize("library", LIBRARIES[:3])
@pytest.mark.parametrize("case", CASES)
def test_each_library_reads_the_rows_csv_reads_under_the_reports_names(tmp_path, case, library):
    if (case, library) in READY_OPTIONS_PART:
        pytest.skip("the ready options part from the pass here; see READY_OPTIONS_PART")
    text, report = described_case(tmp_path, case)
    names, rows = loaded_text(report, library)
    assert names == [c.name for c in report.columns]
    assert rows == body_rows(text, report)
    assert report.rows == len(rows)


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("case", CASES)
def test_each_library_loads_every_row_under_the_reports_names(tmp_path, case, library):
    text, report = described_case(tmp_path, case)
    names, columns = load(report, library)
    assert names == [c.name for c in report.columns]
    assert [len(c) for c in columns] == [report.rows] * len(names)
    assert report.rows == len(body_rows(text, report))


def load(report, library):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvel.MisfitWarning)
        return loaded(report, library)


@pytest.mark.parametrize("library", LIBRARIES)
def test_cells_beyond_the_header_are_counted_and_a_load_warns_of_them(tmp_path, library):
    path = tmp_path / "in.csv"
    path.write_text("a,b\n1,2\n3,4,X\n5,6\n7,8,Y,Z\n9,10,W\n11,12,V\n13,14,U\n"
                    + "15,16\n" * 10)
    report = quorvel.describe(path)
    assert (report.long_rows, report.row_names) == (5, False)
    assert "5 long rows" in str(report)
    with pytest.warns(quorvel.LongRowsWarning) as caught:
        load(report, library)
    [warning] = [w.message for w in caught if isinstance(w.message, quorvel.LongRowsWarning)]
    assert (warning.count, warning.rows) == (5, [2, 4, 5])
    loader = "pyarrow" if library == "arrow" else library
    assert str(warning) == (f"{loader}: 5 rows have cells beyond the 2 columns of the header, "
                            f"which were not loaded (rows 2, 4, 5, ...)")


@pytest.mark.parametrize("library", LIBRARIES)
def test_row_names_explain_the_longer_rows_and_nothing_is_dropped(tmp_path, library):
    path = tmp_path / "in.csv"
    path.write_text('"a","b"\n"r1",1,x\n"r2",3,y\n')
    report = quorvel.describe(path)
    assert (report.row_names, report.long_rows) == (True, 0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        names, columns = load(report, library)
    assert names == ["Unitled_1", "a", "b"]
    assert columns[0] == ["r1", "r2"] and columns[2] == ["x", "y"]


def test_the_report_says_what_it_sniffed_and_what_it_was_given(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("# note\na,b\n1,2\n")
    sniffed = quorvel.describe(path)
    given = quorvel.describe(path, skip_rows=1, header=True)
    assert [(r.skip_rows, r.skip_rows_sniffed, r.comment, r.header, r.header_sniffed)
            for r in (sniffed, given)] == [(1, True, "#", True, True), (1, False, None, True, False)]
    document = json.loads(sniffed.to_json())["files"][0]
    assert {k: document[k] for k in ("skip_rows", "comment", "header", "row_names")} == {
        "skip_rows": 1, "comment": "#", "header": True, "row_names": False}
    assert "1 line skipped (sniffed), comment '#'" in str(sniffed)


GUESS = "first row taken for the header, as every column is text"


@pytest.mark.parametrize("text, options, guessed", [
    ("abandon;verlassen\nabbey;Abtei\nabide;bleiben\n", {}, True),
    ("abandon;verlassen\nabbey;Abtei\nabide;bleiben\n", {"header": True}, False),
    ("abandon;verlassen\nabbey;Abtei\nabide;bleiben\n", {"header": False}, False),
    ("word;count\nabbey;3\nabide;4\n", {}, False),
    ("1;2\n3;4\n", {}, False)])
def test_the_report_says_when_only_a_guess_took_the_first_row_for_the_header(
        tmp_path, text, options, guessed):
    path = tmp_path / "in.csv"
    path.write_text(text)
    report = quorvel.describe(path, **options)
    # The summary wraps its lines, where the path's length decides.
    assert (GUESS in " ".join(str(report).split())) == guessed
    assert report.rows == len(body_rows(text, report))


def test_the_table_compiles_in_pythons_re_only_when_the_header_is_sniffed(tmp_path, monkeypatch):
    path = tmp_path / "in.csv"
    path.write_text("id,n\n1,2\n3,4\n")
    table = {p for ps in quorvel.DEFAULT_TYPES.values() for p in ps}
    compiled = []
    compile_pattern = re.compile
    monkeypatch.setattr(re, "compile",
                        lambda pattern, *flags: compiled.append(pattern) or compile_pattern(
                            pattern, *flags))
    for header in (True, False):
        quorvel.describe(path, header=header)
    assert table.isdisjoint(compiled)
    quorvel.describe(path)
    assert table <= set(compiled)


@pytest.mark.parametrize("options, error", [
    ({"skip_rows": -1}, (ValueError, "skip_rows must be 0 or more, not -1")),
    ({"skip_rows": "1"}, (TypeError, "skip_rows must be an int, not str")),
    ({"skip_rows": True}, (TypeError, "skip_rows must be an int, not bool")),
    ({"comment": ""}, (ValueError, "comment must be a marker without quotes or line breaks, "
                                   "not ''")),
    ({"comment": 3}, (TypeError, "comment must be a str, not int")),
    ({"header": 1}, (TypeError, "header must be True, False or None, not int")),
    ({"names": "ab"}, (TypeError, "names must be a list of str")),
    ({"names": []}, (ValueError, "names must name at least one column")),
])
def test_table_options_are_checked_before_the_pass(options, error):
    kind, message = error
    with pytest.raises(kind, match=exactly(message)):
        quorvel.describe("/nonexistent.csv", **options)
    with pytest.raises(kind, match=exactly(message)):
        quorvel.describe_many(["/nonexistent.csv"], **options)


def test_the_command_takes_the_table_options(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text("title line\n1,2\n3,4\n")
    done = subprocess.run([sys.executable, "-m", "quorvel", "--json", "--skip-rows", "1",
                           "--no-header", "--names", "p,q", "--comment", "%", str(path)],
                          capture_output=True, text=True, check=True)
    [report] = json.loads(done.stdout)["files"]
    assert (report["skip_rows"], report["header"], report["rows"]) == (1, False, 2)
    assert [c["name"] for c in report["columns"]] == ["p", "q"]


def test_files_of_one_table_shape_are_added_up_with_the_options(tmp_path):
    paths = []
    for i in range(2):
        paths.append(tmp_path / f"{i}.csv")
        paths[-1].write_text(f"# file {i}\n1,2\n3,4\n")
    many = quorvel.describe_many(paths, jobs=1, header=False)
    [group] = many.groups
    assert (group.report.rows, group.report.skip_rows, group.report.header) == (4, 1, False)


def test_a_stray_quote_in_the_header_is_data_as_the_pass_reads_it(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text('a,a,b"c\n1,2,3\n4,5,6\n')
    report = quorvel.describe(path)
    assert report.rows == 2
    assert [(c.name, c.verdict) for c in report.columns] == [
        ("a", "integer"), ("a.1", "integer"), ('b"c', "integer")]


# Real files that Debian packages ship, fetched by scripts/setup.sh.
REAL_TABLES = {  # file: (skip_rows, comment, header, row_names, columns, rows, first names)
    "Stocks.csv": (1, "#", True, False, 11, 524, ["Date", "IBM", "AAPL"]),
    "breast_cancer.csv": (1, None, False, False, 31, 569, ["Unitled_1", "Unitled_2"]),
    "gee_poisson_1.csv": (0, None, False, False, 7, 399, ["Unitled_1", "Unitled_2"]),
    "dietox.csv": (0, None, True, True, 8, 861, ["Unitled_1", "Weight", "Feed"]),
}


@pytest.mark.parametrize("name", REAL_TABLES)
def test_real_tables_are_found(name):
    report = quorvel.describe(REAL / name)
    skip_rows, comment, header, row_names, width, rows, first = REAL_TABLES[name]
    assert (report.skip_rows, report.comment, report.header, report.row_names) == (
        skip_rows, comment, header, row_names)
    assert (len(report.columns), report.rows, report.long_rows) == (width, rows, 0)
    assert [c.name for c in report.columns][:len(first)] == first
    assert "text" not in {c.verdict for c in report.columns[1:]}


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("name", REAL_TABLES)
def test_real_tables_load_whole_under_the_reports_names(name, library):
    report = quorvel.describe(REAL / name)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        names, columns = load(report, library)
    assert names == [c.name for c in report.columns]
    assert [len(c) for c in columns] == [report.rows] * len(names)


@pytest.mark.parametrize("text, delimiters, end", [
    ('a,a,b"c\n1,2,3\n', ",", 8),
    ('a,"b\nc",d\n1', ",", 10),
    ('a;"b\nc";d\n1', ",;", 10),
    ('a;"b\nc";d\n1', ",", 5),  # after a character that delimits nothing, the quote is data
    ('"a""b"\r\n1', ",", 8),
    ('"a\nb', ",", None),
])
def test_the_first_row_ends_where_the_pass_ends_it(text, delimiters, end):
    assert first_row_end(text, delimiters) == end


def test_a_stray_quote_does_not_make_the_head_read_on_to_its_limit(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text('a,a,b"c\n' + "1,2,3\n" * (BLOCK_SIZE // 3))
    with opened(str(path)) as found:
        head = Head.read(found.input, BLOCK_SIZE, None, HEADER_LIMIT, ",\t;|")
    assert (head.header_end, len(head.text), head.complete) == (8, BLOCK_SIZE, False)


def test_polars_reads_a_copy_of_the_data_rows_when_a_quote_comes_before_them(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text('a,b"c\n1,2\n3,4\n')
    report = quorvel.describe(path)
    # Polars' own skipping opens a field at the quote and finds no rows...
    with pytest.raises(polars.exceptions.NoDataError):
        polars.read_csv(path, **report.polars_options())
    # ...which the copy of the data rows alone has no quote to open.
    assert report.read_polars().rows() == [(1, 2), (3, 4)]


def test_polars_loads_read_arrows_table_and_never_asks_its_own_reader(tmp_path, monkeypatch):
    path = tmp_path / "in.csv"
    path.write_text('"a","b"\n1,2\n3,4\n')
    report = quorvel.describe(path)
    read = []
    read_csv = polars.read_csv
    monkeypatch.setattr(polars, "read_csv", lambda source, **k: read.append(source) or read_csv(
        source, **k))
    assert report.read_polars().rows() == [(1, 2), (3, 4)]
    assert read == []


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "cp1252", "shift_jis"])
def test_the_table_starts_after_comment_lines_in_any_encoding(tmp_path, encoding):
    # The comment's characters take more bytes than one each in most of these encodings, so
    # the start is found in bytes, by the engine's decoder or by Python's.
    comment = "# é ß ü, " if encoding != "shift_jis" else "# 日本語, "
    path = tmp_path / "in.csv"
    path.write_bytes((comment * 3 + "\nname,n\nab,1\ncd,2\n").encode(encoding))
    report = quorvel.describe(path)
    assert (report.skip_rows, report.comment, report.rows) == (1, "#", 2)
    assert [(c.name, c.verdict) for c in report.columns] == [("name", "text"), ("n", "integer")]
