"""Each schema of a report loads a generated file in the real library with every value intact."""
import csv
import datetime as dt
import json

import duckdb
import pandas
import pyarrow
import pyarrow.csv
import pytest

import quorvel
from quorvel.meanings import meaning

ROWS = 40
UTC1 = dt.timezone(dt.timedelta(hours=1))
BOOLEANS = [("true", True), ("No", False), ("FALSE", False), ("yes", True)]


def day(i):
    return dt.date(2024, i % 12 + 1, i % 28 + 1)


COLUMNS = {  # name: (verdict, (text, value) of row i; None stands for a missing value)
    "id": ("integer", lambda i: (str(i * 7), i * 7)),
    # ZIP codes: 00000 to 09750, then five-digit integers, which must not lose their zeros.
    "zip": ("code", lambda i: (f"{i * 250:05d}",) * 2),
    "amount": ("decimal", lambda i: (f"{i}.5", i + 0.5) if i % 2 else (str(i), float(i))),
    "paid": ("boolean", lambda i: BOOLEANS[i % 4]),
    "day": ("date", lambda i: (day(i).isoformat(), day(i))),
    "stamp": ("datetime", lambda i: (f"{day(i)}T10:{i:02d}:00", dt.datetime(
        *day(i).timetuple()[:3], 10, i))),
    "stamp_tz": ("datetime_tz", lambda i: (f"{day(i)} 10:{i:02d}:00+01:00", dt.datetime(
        *day(i).timetuple()[:3], 10, i, tzinfo=UTC1))),
    "us_day": ("date_mdy", lambda i: (day(i).strftime("%m/%d/%Y"), day(i))),
    "eu_day": ("date_dmy", lambda i: (day(i).strftime("%d/%m/%Y"), day(i))),
    "note": ("text", lambda i: ("NA", None) if i % 5 == 0 else (f"n{i},x",) * 2),
}
# The columns each loader reads as text, since it takes no per-column date format.
AS_TEXT = {"pandas": {"zip", "note"}, "arrow": {"zip", "note", "us_day", "eu_day"},
           "duckdb": {"zip", "note", "us_day", "eu_day"}}


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    path = tmp_path_factory.mktemp("schema") / "generated.csv"
    # Days ending in 13 and above settle which field of a slashed date is the month.
    cells = {name: [make(i + 12) for i in range(ROWS)] for name, (_, make) in COLUMNS.items()}
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(COLUMNS)
        writer.writerows(zip(*([text for text, _ in cells[name]] for name in COLUMNS)))
    return quorvel.describe(path), cells


def test_generated_file_gets_the_verdicts_a_data_engineer_would_choose(generated):
    report, _ = generated
    assert [(c.name, c.verdict, c.share) for c in report.columns] == [
        (name, verdict, 1.0) for name, (verdict, _) in COLUMNS.items()]


def load_pandas(report):
    frame = pandas.read_csv(report.path, **report.to_pandas())
    return {name: [None if pandas.isna(v) else v for v in frame[name].tolist()] for name in frame}


def load_arrow(report):
    # pyarrow's reader takes no date layout per column: a slashed date, a date in the schema,
    # reaches it as text.
    types = {field.name: pyarrow.string() if meaning(column.verdict).date_format else field.type
             for field, column in zip(report.to_arrow(), report.columns)}
    options = pyarrow.csv.ConvertOptions(
        column_types=types, null_values=report.na, strings_can_be_null=True,
        true_values=list(quorvel.TRUE_TEXTS), false_values=list(quorvel.FALSE_TEXTS))
    return pyarrow.csv.read_csv(report.path, convert_options=options).to_pydict()


def load_duckdb(report):
    con = duckdb.connect()
    con.execute(report.to_sql("generated", "duckdb"))
    con.execute(f"COPY generated FROM '{report.path}' (HEADER, NULLSTR {report.na!r})")
    cursor = con.execute("SELECT * FROM generated")
    names = [d[0] for d in cursor.description]
    return dict(zip(names, map(list, zip(*cursor.fetchall()))))


@pytest.mark.parametrize("loader, load", [
    ("pandas", load_pandas), ("arrow", load_arrow), ("duckdb", load_duckdb)])
def test_every_value_loads_typed_and_codes_keep_their_zeros(generated, loader, load):
    report, cells = generated
    loaded = load(report)
    assert list(loaded) == list(COLUMNS)
    for name, values in loaded.items():
        texts, typed = zip(*cells[name])
        if name in AS_TEXT[loader]:
            # The report's pandas options keep a text column's 'NA' as written; the pyarrow and
            # DuckDB loads above give the report's null texts to every column.
            kept = loader == "pandas"
            assert values == [None if t == "NA" and not kept else t for t in texts], name
        else:
            # pandas reads dates as timestamps at midnight.
            values = [v.date() if isinstance(typed[0], dt.date) and not isinstance(
                typed[0], dt.datetime) and isinstance(v, dt.datetime) else v for v in values]
            assert values == list(typed), name
            assert all(type(v) == type(t) or isinstance(v, type(t)) for v, t in zip(values, typed))
    assert loaded["zip"][:3] == ["03000", "03250", "03500"]


@pytest.mark.parametrize("dialect, types", [
    ("duckdb", ["BIGINT", "VARCHAR", "DOUBLE", "BOOLEAN", "DATE", "TIMESTAMP", "TIMESTAMPTZ",
                "VARCHAR", "VARCHAR", "VARCHAR"]),
    ("postgresql", ["BIGINT", "TEXT", "DOUBLE PRECISION", "BOOLEAN", "DATE", "TIMESTAMP",
                    "TIMESTAMPTZ", "TEXT", "TEXT", "TEXT"]),
])
def test_create_table_quotes_names_in_each_dialect(generated, dialect, types):
    report, _ = generated
    lines = [f'  "{name}" {t}' for name, t in zip(COLUMNS, types)]
    assert report.to_sql('my "table"', dialect) == (
        'CREATE TABLE "my ""table""" (\n' + ",\n".join(lines) + "\n);")


@pytest.mark.parametrize("table_name, dialect, error, message", [
    ("", "duckdb", TypeError, "table_name must be a non-empty str, not ''"),
    ("t", "sqlite", ValueError, "dialect must be one of duckdb, postgresql, not 'sqlite'"),
])
def test_create_table_refuses_what_it_cannot_write(generated, table_name, dialect, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(") + "$"):
        generated[0].to_sql(table_name, dialect)


def test_frictionless_schema_and_json_round_trip(generated):
    report, _ = generated
    fields = report.to_frictionless()["fields"]
    assert [(f["name"], f["type"], f.get("format")) for f in fields] == [
        ("id", "integer", None), ("zip", "string", None), ("amount", "number", None),
        ("paid", "boolean", None), ("day", "date", None), ("stamp", "datetime", None),
        ("stamp_tz", "datetime", None), ("us_day", "date", "%m/%d/%Y"),
        ("eu_day", "date", "%d/%m/%Y"), ("note", "string", None)]
    assert fields[3]["trueValues"] == list(quorvel.TRUE_TEXTS)
    assert report.to_frictionless()["missingValues"] == report.na
    assert json.loads(report.to_json()) == {"version": 3, "files": [report.to_dict()]}
