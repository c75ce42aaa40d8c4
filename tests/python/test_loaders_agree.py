"""Every loader takes read_arrow's table: each file, loaded through pandas, Polars and DuckDB,
gives that table's names, rows, values, types and warnings, the table itself being the oracle.
The files: the project's examples, the real files scripts/setup.sh fetches, a generated file of
every kind, and one file for each way a library's own CSV reader once parted from the pass."""
import bz2
import datetime as dt
import gzip
import lzma
import pathlib
import random
import warnings

import duckdb
import numpy
import pandas
import pytest

import quorvel
from quorvel import load, reader
from quorvel.meanings import MEANINGS, meaning
from test_compressed import zstd

REPO = pathlib.Path(__file__).resolve().parents[2]
SHIPPED = sorted((REPO / "examples").glob("*.csv")) + sorted(
    (REPO / "build" / "real-world").glob("*.csv"))
OTHERS = ("pandas", "polars", "duckdb")
PANDAS_BEFORE_3 = int(pandas.__version__.split(".")[0]) < 3


def plain(value, kind):
    """A library's cell as the Python value that pyarrow's to_pylist gives: its missing value as
    None, its timestamps and numpy scalars as datetime, date and int."""
    if not isinstance(value, str) and pandas.isna(value):
        return None
    if isinstance(value, pandas.Timestamp):
        value = value.to_pydatetime()
    if kind == "date" and isinstance(value, dt.datetime):
        return value.date()
    return value.item() if isinstance(value, numpy.generic) else value


def typed(columns, kinds):
    """Each value with its Python type: 1 == 1.0 == True, and a test must tell them apart."""
    return [[(type(v).__name__, v) for v in (plain(v, kind) for v in column)]
            for column, kind in zip(columns, kinds)]


def load_recorded(report, library):
    """(names, columns of values, types, warnings) as the library loaded the file."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        names, columns, types = _load(report, library)
    return names, columns, types, [w.message for w in caught]


def _load(report, library):
    if library == "arrow":
        table = report.read_arrow()
        return table.column_names, [c.to_pylist() for c in table.columns], table.schema
    if library == "pandas":
        frame = report.read_pandas()
        return (list(frame.columns), [list(frame.iloc[:, i]) for i in range(frame.shape[1])],
                list(frame.dtypes))
    if library == "polars":
        frame = report.read_polars()
        # Through Polars' own Arrow export: its to_list needs a time zone package on Python 3.8.
        return frame.columns, [c.to_pylist() for c in frame.to_arrow().columns], None
    con = duckdb.connect()
    report.read_duckdb(con, "t")
    cursor = con.execute("SELECT * FROM t")
    names = [d[0] for d in cursor.description]
    columns = [list(c) for c in zip(*cursor.fetchall())] or [[] for _ in names]
    # DESCRIBE after the fetch: the connection is its own cursor.
    types = [t for _, t, *_ in con.execute("DESCRIBE t").fetchall()]
    return names, columns, types


def expected_types(report, library):
    """What the one table of meanings says each column of the library's load is."""
    wanted = [meaning(c.verdict) for c in report.columns]
    if library == "arrow":
        return report.to_arrow()
    if library == "pandas":
        return [load.pandas_dtype(m) for m in wanted]
    if library == "duckdb":
        # DuckDB's own spelling of each SQL type (TIMESTAMPTZ is TIMESTAMP WITH TIME ZONE).
        con = duckdb.connect()
        return [con.execute(f"SELECT typeof(CAST(NULL AS {m.duckdb}))").fetchone()[0]
                for m in wanted]
    return None


def warned(messages):
    """The warnings' content, whichever loader gave them."""
    return [(type(m).__name__, m.columns, m.examples) if isinstance(m, quorvel.MisfitWarning)
            else (type(m).__name__, m.count, m.rows, m.width) for m in messages]


def assert_every_loader_gives_the_table(report, duckdb_names=None):
    kinds = [meaning(c.verdict).kind for c in report.columns]
    names, columns, schema, messages = load_recorded(report, "arrow")
    assert names == [c.name for c in report.columns]
    assert schema == report.to_arrow()
    assert all(len(column) == report.rows for column in columns)
    assert {m.loader for m in messages} <= {"pyarrow"}
    for library in OTHERS:
        got_names, got, types, got_messages = load_recorded(report, library)
        assert got_names == (duckdb_names or names if library == "duckdb" else names), library
        assert typed(got, kinds) == typed(columns, kinds), library
        assert warned(got_messages) == warned(messages), library
        assert {m.loader for m in got_messages} <= {library}
        if types is not None:
            assert types == expected_types(report, library), library
    return columns


@pytest.mark.parametrize("path", SHIPPED, ids=[p.name for p in SHIPPED])
def test_shipped_files_load_alike_in_every_library(path):
    assert_every_loader_gives_the_table(quorvel.describe(path))


def test_the_shipped_files_are_there_to_load():
    assert {"messy.csv", "orders.csv", "challenge.csv", "macrodata.csv"} <= {
        p.name for p in SHIPPED}


def generated_text(rows=300, seed=7):
    """Columns of every kind the loaders convert, with misfits, null texts, cells beyond a
    type's range, short and long rows, a blank row and a quoted line break."""
    rng = random.Random(seed)

    def cell(i):
        day = dt.date(2000, 1, 1) + dt.timedelta(days=rng.randrange(3000))
        stamp = f"{day} {rng.randrange(24):02d}:{rng.randrange(60):02d}:07"
        return [str(rng.randrange(-10**6, 10**6)), f"{rng.randrange(10**4):05d}",
                f"{rng.random() * 1000:.3f}", f" {rng.randrange(100)} ", f"{rng.randrange(10**6):,}",
                rng.choice(["true", "No", "YES", "false"]), day.isoformat(),
                day.strftime("%d/%m/%Y"), stamp.replace(" ", "T"), stamp + "+02:00",
                stamp.replace("-", "/"), rng.choice(["NA", "-", "word", "x y"]), ""]

    lines = ['"int","code","dec","pad","grp","ok","day","dmy","when","when_tz","slash","txt","nil"']
    for i in range(rows):
        cells = cell(i)
        if i % 37 == 5:
            column = rng.randrange(len(cells) - 2)
            cells[column] = rng.choice(["x1", "n.a.", "2021-02-30", "99999999999999999999"])
        if i % 41 == 3:
            cells[rng.randrange(len(cells) - 2)] = "NA"
        lines.append(",".join(f'"{c}"' if "," in c else c for c in cells))
    lines[50] = ",".join(lines[50].split(",")[:4])  # a short row
    lines[60] += ",extra,cells"  # a long row
    lines[70] = ""  # a blank row
    lines[80] = lines[80].replace(",word,", ',"two\nlines",').replace(",x y,", ',"two\nlines",')
    return "\n".join(lines) + "\n"


def test_workers_over_small_chunks_load_what_one_thread_loads(write, monkeypatch):
    # The quoted line break of the generated file falls across a cut in most chunk sizes.
    report = quorvel.describe(write(generated_text()))
    kinds = [meaning(c.verdict).kind for c in report.columns]
    monkeypatch.setattr(reader, "_PIPELINE", {"threads": 1})
    alone = {library: load_recorded(report, library) for library in ("arrow",) + OTHERS}
    for chunk_bytes in (7, 64, 1000):
        monkeypatch.setattr(reader, "_PIPELINE", {"threads": 2, "chunk_bytes": chunk_bytes})
        for library, (names, columns, types, messages) in alone.items():
            got_names, got, got_types, got_messages = load_recorded(report, library)
            assert (got_names, typed(got, kinds), got_types) == (names, typed(columns, kinds),
                                                                 types), (library, chunk_bytes)
            assert warned(got_messages) == warned(messages), (library, chunk_bytes)


def test_a_generated_file_of_every_kind_loads_alike_in_every_library(write):
    report = quorvel.describe(write(generated_text()))
    kinds = {meaning(c.verdict).kind for c in report.columns}
    assert kinds == {m.kind for m in MEANINGS.values()} | {"text"}
    assert any(c.misfits for c in report.columns) and report.short_rows and report.long_rows
    assert any(meaning(c.verdict).date_format for c in report.columns)
    assert_every_loader_gives_the_table(report)


PLAIN = "n,t\n1,ab\n2,\n3,cd\n"
PLAIN_COLUMNS = [[1, 2, 3], ["ab", None, "cd"]]
# Each way a library's own CSV reader parted from the pass: (file name, content, the names the
# report gives, DuckDB's names where they differ, the columns).
FAULTS = {
    "CR alone ends the lines": ("in.csv", "a,b\r1,x\r2,y\r", ["a", "b"], None,
                                [[1, 2], ["x", "y"]]),
    "a quote in a header cell": ("in.csv", 'a,b"c\n1,2\n3,4\n', ["a", 'b"c'], None,
                                 [[1, 3], [2, 4]]),
    "a header name Polars gives a repeated name": (
        "in.csv", "a,a,a_duplicated_0\n1,2,3\n4,5,6\n", ["a", "a.1", "a_duplicated_0"], None,
        [[1, 4], [2, 5], [3, 6]]),
    "names that only their case tells apart": ("in.csv", "id,ID\n1,2\n3,4\n", ["id", "ID"],
                                               ["id", "ID.1"], [[1, 3], [2, 4]]),
    "a header name DuckDB gives a repeated name": (
        "in.csv", "a,a,a_1\n1,2,3\n4,5,6\n", ["a", "a.1", "a_1"], None, [[1, 4], [2, 5], [3, 6]]),
    "a quoted line break and a short row": ("in.csv", 'a,b,c\n1,"x\ny",3\n4,z\n',
                                            ["a", "b", "c"], None, [[1, 4], ["x\ny", "z"],
                                                                    [3, None]]),
    "a NUL in a cell": ("in.csv", "t,n\nx\x00y,1\nz,2\n", ["t", "n"], None,
                        [["x\x00y", "z"], [1, 2]]),
    "gzip named .csv": ("in.csv", gzip.compress(PLAIN.encode()), ["n", "t"], None, PLAIN_COLUMNS),
    "bzip2 named .csv": ("in.csv", bz2.compress(PLAIN.encode()), ["n", "t"], None, PLAIN_COLUMNS),
    "xz named .csv": ("in.csv", lzma.compress(PLAIN.encode()), ["n", "t"], None, PLAIN_COLUMNS),
    "zstd named .csv": ("in.csv", zstd(PLAIN.encode()), ["n", "t"], None, PLAIN_COLUMNS),
    "gzip with no extension": ("data", gzip.compress(PLAIN.encode()), ["n", "t"], None,
                               PLAIN_COLUMNS),
}
# pyarrow's reader reads these compressed bytes as text, and its handler of ragged rows fails
# to decode them before read_arrow falls back to Python's csv module.
@pytest.mark.parametrize("case", FAULTS)
def test_a_file_a_library_once_misread_loads_alike_in_every_library(write, case):
    name, content, names, duckdb_names, expected = FAULTS[case]
    report = quorvel.describe(write(content, name))
    assert [c.name for c in report.columns] == names
    columns = assert_every_loader_gives_the_table(report, duckdb_names)
    assert columns == expected


BEYOND_NANOSECONDS = ["1500-06-01 10:00:00", "2300-01-01 00:00:00"]


def test_date_times_beyond_pandas_range_are_pandas_misfits_beside_the_others(write):
    cells = [f"2021-01-{i:02d} 10:00:00" for i in range(1, 29)]
    cells[3], cells[9] = BEYOND_NANOSECONDS
    cells[6] = "2021-02-30 10:00:00"
    report = quorvel.describe(write("\n".join(["t"] + cells) + "\n"))
    assert report.columns[0].verdict == "datetime"
    *_, [arrow_warning] = load_recorded(report, "arrow")
    _, [column], [dtype], given = load_recorded(report, "pandas")
    assert [(m.row, m.text) for m in arrow_warning.examples] == [(7, cells[6])]
    if not PANDAS_BEFORE_3:
        assert warned(given) == warned([arrow_warning])
        return
    # pandas before 3 holds date-times in nanoseconds, from 1677 to 2262.
    assert str(dtype) == "datetime64[ns]"
    assert [i for i, v in enumerate(column) if pandas.isna(v)] == [3, 6, 9]
    [warning] = given
    assert warning.columns == [quorvel.MisfitColumn(0, "t", 3)]
    assert [(m.row, m.text) for m in warning.examples] == [
        (4, cells[3]), (7, cells[6]), (10, cells[9])]


def test_given_names_that_repeat_load_as_columns_apart_in_every_library(write):
    # Polars 1 keeps one of two columns under one name; the report never gives one twice.
    report = quorvel.describe(write("1,2\n3,4\n"), header=False, names=["x", "x"])
    assert [c.name for c in report.columns] == ["x", "x.1"]
    assert assert_every_loader_gives_the_table(report) == [[1, 3], [2, 4]]


def test_read_duckdb_leaves_the_connection_its_table_alone_even_when_refused(write):
    report = quorvel.describe(write("n\n1\n"))
    con = duckdb.connect()
    report.read_duckdb(con, 'my "t"')
    with pytest.raises(duckdb.CatalogException, match='my "t".* already exists'):
        report.read_duckdb(con, 'my "t"')
    assert con.execute("SELECT table_name FROM information_schema.tables").fetchall() == [
        ('my "t"',)]
