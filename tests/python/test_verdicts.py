"""Verdicts on the bundled example and on files Debian packages ship, as a data engineer reads them.

scripts/setup.sh fetches the shipped files into build/real-world.
"""
import pathlib

import pytest

import quorvel

REPO = pathlib.Path(__file__).resolve().parents[2]
FILES = {"messy": REPO / "examples" / "messy.csv",
         "challenge": REPO / "build" / "real-world" / "challenge.csv",
         "macrodata": REPO / "build" / "real-world" / "macrodata.csv"}


@pytest.fixture(scope="module")
def reports():
    missing = [str(p) for p in FILES.values() if not p.is_file()]
    assert not missing, f"run scripts/setup.sh to fetch {missing}"
    return {name: quorvel.describe(path) for name, path in FILES.items()}


@pytest.mark.parametrize("file, column, verdict, share, counts", [
    # Half integers, half decimals: every loader reads them as one float column.
    ("challenge", "x", "decimal", 1.0, {"integer": 1000, "decimal": 1000}),
    ("challenge", "y", "date", 1.0, {"date": 1000}),
    ("macrodata", "m1", "decimal", 1.0, {"integer": 29, "decimal": 174}),
    ("macrodata", "year", "integer", 1.0, {"integer": 203}),
    ("messy", "amount", "decimal", 55 / 56, {"integer": 2, "decimal": 53, "grouped_number": 1}),
    ("messy", "order_date", "date", 55 / 56, {"date": 55, "date_slash": 1}),
    ("messy", "ref", "uuid", 1.0, {"uuid": 56}),
    ("messy", "discount", "percent", 1.0, {"percent": 40}),
    # Zones on some stamps and none on others: no single timestamp type holds both.
    ("messy", "shipped_at", "mixed", 29 / 34, {"datetime": 5, "datetime_tz": 29}),
    ("messy", "postal_code", "mixed", 29 / 55, {"integer": 19, "code": 10, "other": 26}),
    ("messy", "customer", "text", 1.0, {"other": 56}),
    ("messy", "fax", "empty", None, {}),
])
def test_verdicts(reports, file, column, verdict, share, counts):
    found = {c.name: c for c in reports[file].columns}[column]
    assert (found.verdict, found.share, found.counts) == (verdict, share, counts)


@pytest.mark.parametrize("file, rows, names", [
    ("challenge", 2000, ["x", "y"]),
    ("macrodata", 203, ["year", "quarter", "realgdp", "realcons", "realinv", "realgovt",
                        "realdpi", "cpi", "m1", "tbilrate", "unemp", "pop", "infl", "realint"]),
])
def test_columns_come_in_file_order(reports, file, rows, names):
    assert (reports[file].rows, [c.name for c in reports[file].columns]) == (rows, names)
