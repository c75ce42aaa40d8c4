"""The loaders convert the engine's batches one at a time: the result must be the table that
converting each whole column at once gives, whatever the batches' size, and read_duckdb must
hand DuckDB the batches as a stream rather than the whole table."""
import gzip
import warnings

import duckdb
import pyarrow
import pyarrow.compute as pc
import pytest

import arrow_oracle
import quorvel
from quorvel import load, reader
from quorvel.meanings import meaning
from quorvel.reader import text_batches
from test_loaders_agree import generated_text

BATCH_SIZES = (1, 2, 3, 1 << 16)


def whole_table_load(report):
    """The reference: every batch read first as text, then each column converted whole by
    pyarrow."""
    table = text_batches(report).read_all()
    found = []
    for position, column in enumerate(report.columns):
        wanted = meaning(column.verdict)
        raw = arrow_oracle.nulled(table.column(position), load.null_texts(report, column))
        value = (raw.cast(pyarrow.string()) if wanted.kind == "text"
                 else arrow_oracle.value(raw, wanted))
        table = table.set_column(position, table.field(position).with_type(value.type), value)
        if wanted.kind != "text":
            rows = arrow_oracle.misfit_rows(raw, value)
            found.append((load.MisfitColumn(position, column.name, len(rows)),
                          [load.Misfit(column.name, r + 1, raw[r].as_py(), position)
                           for r in rows[:load.EXAMPLES]]))
    return table, found


def rows(*lines):
    return "\n".join(lines) + "\n"


# Files whose batches differ from one another in what a column's conversion meets.
FILES = {
    # Rows too short to reach b: a batch of one to three rows holds no cell of b at all.
    "a column absent from whole batches": rows(
        "a,b,c", *(["1"] * 4), *[f"{i},{i}.5,2021-01-0{i}" for i in range(1, 8)]),
    # The typed null texts fill the whole of some batches.
    "a column of null texts in whole batches": rows(
        "n,d", *[f"{i},{'NA' if i < 5 else '2020-01-01'}" for i in range(40)]),
    # pyarrow refuses the cast of one cell, in one batch only: that batch is cast cell by cell.
    "a cell the type cannot hold in one batch": rows(
        "n,day", *[f"{i},2021-01-{i % 28 + 1:02d}" for i in range(30)],
        "99999999999999999999,2021-02-30", *[f"{i},2022-03-01" for i in range(30)]),
    # More misfits than the examples, spread over batches: the first ones are shown.
    "misfits in many batches": rows(
        "n,flag", *[f"{'x' if i % 97 == 3 else i},{'maybe' if i % 89 == 1 else 'true'}"
                    for i in range(1000)]),
    "a header and no rows": rows("n,day,t"),
    # Text about the 12 bytes a string view holds inline, a character cut by that edge.
    "text short and long": rows(
        "n,t", *[f"{i},{'é' * (i % 9)}{'x' * (i % 23)}" for i in range(60)]),
    "a blank line and a quoted line break": rows(
        "n,t", "1,a", "", '2,"b', 'c"', "oops,d", *[f"{i},e" for i in range(40)]),
}


def generated(seed, count):
    return generated_text(rows=count, seed=seed)


CASES = {**FILES, "generated, seed 7": generated(7, 300), "generated, seed 11": generated(11, 97)}


@pytest.mark.parametrize("batch_rows", BATCH_SIZES)
@pytest.mark.parametrize("case", CASES)
def test_batch_by_batch_is_the_whole_table_conversion(write, case, batch_rows):
    report = quorvel.describe(write(CASES[case]))
    expected, expected_found = whole_table_load(report)
    table, found = load._arrow_load(report, batch_rows)
    assert table.schema == report.to_arrow() == expected.schema
    assert table.equals(expected)
    assert found == expected_found


@pytest.mark.parametrize("batch_rows", BATCH_SIZES)
@pytest.mark.parametrize("case", CASES)
def test_text_in_the_engines_views_is_the_tables_text(write, case, batch_rows):
    """read_polars' table: text columns in the engine's string views, the rest as read_arrow's."""
    report = quorvel.describe(write(CASES[case]))
    table, found = load._arrow_load(report, batch_rows)
    viewed, viewed_found = load._arrow_load(report, batch_rows, text_views=True)
    assert viewed.schema.types == [pyarrow.string_view() if pyarrow.types.is_string(t) else t
                                   for t in table.schema.types]
    assert viewed.to_pylist() == table.to_pylist() and viewed_found == found


def test_the_cases_meet_what_they_are_named_for(write):
    def report_of(case):
        return quorvel.describe(write(CASES[case]))

    shown = load._arrow_load(report_of("misfits in many batches"), 1)[1]
    assert [(c.cells, len(examples)) for c, examples in shown] == [(11, 3), (12, 3)]
    short = report_of("a column absent from whole batches")
    assert pc.all(pc.is_null(next(iter(text_batches(short, 3))).column(1))).as_py()
    assert [c.verdict for c in short.columns] == ["integer", "decimal", "date"]
    assert report_of("a header and no rows").rows == 0
    refused = load._arrow_load(report_of("a cell the type cannot hold in one batch"), 3)[1]
    assert [(c.cells, [m.row for m in examples]) for c, examples in refused] == [
        (1, [31]), (1, [31])]


def test_read_arrow_warns_once_for_the_misfits_of_every_batch(write, monkeypatch):
    report = quorvel.describe(write(FILES["misfits in many batches"]))
    monkeypatch.setattr(quorvel.reader, "BATCH_ROWS", 4)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        load.read_arrow(report)
    [warning] = [w.message for w in caught]
    assert warning.columns == [load.MisfitColumn(0, "n", 11), load.MisfitColumn(1, "flag", 12)]
    assert [(m.column, m.row, m.text) for m in warning.examples] == [
        ("n", 4, "x"), ("n", 101, "x"), ("n", 198, "x"),
        ("flag", 2, "maybe"), ("flag", 91, "maybe"), ("flag", 180, "maybe")]


def duckdb_load(report, batch_rows):
    con = duckdb.connect()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        load.read_duckdb(report, con, "t", batch_rows)
    return con, [w.message for w in caught]


@pytest.mark.parametrize("batch_rows", BATCH_SIZES)
def test_read_duckdb_streams_the_rows_and_misfits_of_the_whole_table(write, batch_rows):
    report = quorvel.describe(write(generated(5, 200)))
    expected, found = whole_table_load(report)
    con, messages = duckdb_load(report, batch_rows)
    got = con.execute("SELECT * FROM t").fetchall()
    assert got == [tuple(row.values()) for row in expected.to_pylist()]
    [misfits, long_rows] = messages
    assert misfits == load.MisfitWarning("duckdb", [c for c, _ in found if c.cells],
                                         [m for c, shown in found if c.cells for m in shown])
    assert isinstance(long_rows, load.LongRowsWarning)


def test_read_duckdb_inside_the_callers_transaction_is_the_callers_to_keep_or_undo(write):
    report = quorvel.describe(write(rows("n", *map(str, range(50)))))
    con = duckdb.connect()
    for end, tables in (("ROLLBACK", []), ("COMMIT", [("t",)])):
        con.execute("BEGIN TRANSACTION")
        load.read_duckdb(report, con, "t", 7)
        assert con.execute("SELECT count(*) FROM t").fetchone() == (50,)
        con.execute(end)
        assert con.execute("SELECT table_name FROM information_schema.tables").fetchall() == tables


def test_read_duckdb_fills_its_table_unseen_until_the_last_batch(write, monkeypatch):
    """Another connection of the database sees no table while the batches go in one by one."""
    report = quorvel.describe(write(rows("n", *map(str, range(50)))))
    con = duckdb.connect()
    other = con.cursor()
    seen = []
    checked = reader._checked_batches

    def watched(cells):
        for batch in checked(cells):
            seen.append(other.execute("SELECT count(*) FROM information_schema.tables "
                                      "WHERE table_name = 't'").fetchone()[0])
            yield batch

    monkeypatch.setattr(reader, "_checked_batches", watched)
    load.read_duckdb(report, con, "t", 7)
    assert seen == [0] * 8 and con.execute("SELECT count(*) FROM t").fetchone() == (50,)


def test_read_duckdb_holds_a_window_of_the_batches_of_a_long_file(write, monkeypatch):
    """The Arrow memory in use as each batch is converted. The engine's batches are not in
    pyarrow's pool, so each is handed on as a copy that is, and lives as long as DuckDB holds it.
    DuckDB reads the stream a batch at a time, so a few are held at once: through a pyarrow
    dataset, as it scans a RecordBatchReader, it read 20 to 25 ahead; a load that held every
    converted batch until DuckDB read them would hold all 300 by the last."""
    report = quorvel.describe(write(rows("n,t", *[f"{i},{'word' * (i % 9)}"
                                                  for i in range(150_000)])))
    checked = reader._checked_batches
    in_use, sizes = [], []

    def measured(cells):
        for batch in checked(cells):
            made = batch.take(pyarrow.array(range(batch.num_rows)))
            in_use.append(pyarrow.total_allocated_bytes())
            sizes.append(made.nbytes)
            yield made

    monkeypatch.setattr(reader, "_checked_batches", measured)
    before = pyarrow.total_allocated_bytes()
    con, _ = duckdb_load(report, 500)
    assert con.execute("SELECT count(*), sum(n) FROM t").fetchone() == (150_000, 11_249_925_000)
    # 500 rows a batch at most: a few more batches where the engine's chunks end.
    assert len(sizes) >= 300
    assert max(in_use) - before < 4 * max(sizes)


@pytest.mark.parametrize("content, error, message", [
    (None, RuntimeError, "data.csv.gz"),
    (b"id,name\n1,caf\xe9\n2,bob\n", pyarrow.ArrowInvalid, "UTF8"),
], ids=["a file that breaks after the pass", "bytes that are not UTF-8"])
def test_a_failed_read_fails_read_duckdb_with_its_own_error_and_no_table(
        tmp_path, content, error, message):
    path = tmp_path / "data.csv.gz"
    if content is None:
        whole = gzip.compress(("n\n" + "".join(f"{i}\n" for i in range(200_000))).encode())
        path.write_bytes(whole)
        report = quorvel.describe(path)
        path.write_bytes(whole[:len(whole) // 2])
    else:
        path.write_bytes(gzip.compress(content))
        report = quorvel.describe(path, encoding="utf-8")
    con = duckdb.connect(config={"threads": 3})
    with pytest.raises(error, match=message):
        load.read_duckdb(report, con, "t", 1000)
    assert con.execute("SELECT table_name FROM information_schema.tables").fetchall() == []
    assert con.execute("SELECT current_setting('threads')").fetchone() == (3,)


def test_read_duckdb_fills_the_table_on_one_thread_then_gives_back_the_callers_threads(write):
    """DuckDB's parallel insert keeps each thread's rows apart and merges them in row order at
    the end, holding the table about twice over. A load on one thread fits in a memory limit a
    little above the table's own size, which nothing spills past."""
    report = quorvel.describe(write(rows("n,t", *[f"{i},{'word ' * (i % 9)}"
                                                  for i in range(400_000)])))
    alone, _ = duckdb_load(report, 1 << 16)
    [table_bytes] = alone.execute("SELECT sum(memory_usage_bytes) FROM duckdb_memory()").fetchone()
    con = duckdb.connect(config={"threads": 2, "temp_directory": ""})
    con.execute(f"SET memory_limit = '{int(table_bytes * 1.3)}B'")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        load.read_duckdb(report, con, "t", 1 << 16)
    assert con.execute("SELECT count(*) FROM t").fetchone() == (400_000,)
    assert con.execute("SELECT current_setting('threads')").fetchone() == (2,)
