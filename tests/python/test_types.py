"""The bundled type table: what each layout is typed as, and that no text is typed twice."""
import csv
import re

import pytest

import quorvel
import quorvel_ext
from conftest import UNMATCHED_PAREN, exactly

LAYOUTS = [  # (text, the type it falls under, or "other")
    ("0", "integer"), ("-17", "integer"), ("+3", "integer"), ("007", "code"), ("00", "code"),
    ("1.5", "decimal"), (".5", "decimal"), ("12.", "decimal"), ("1e5", "decimal"),
    ("-2.5E-3", "decimal"), ("1,234", "grouped_number"), ("1,234,567.89", "grouped_number"),
    ("1,23", "other"), ("12.5%", "percent"), ("7.5 %", "percent"), ("$1,299.00", "currency"),
    ("€12", "currency"), ("12.50 EUR", "currency"), ("3 £", "currency"),
    ("TRUE", "boolean"), ("no", "boolean"), ("tRUE", "other"),
    ("2024-02-29", "date"), ("2024-13-01", "other"), ("01/31/2024", "date_mdy"),
    ("31/01/2024", "date_dmy"), ("01/02/2024", "date_slash"), ("1/2/2024", "date_slash"),
    ("2024-04-18 07:52", "datetime"), ("2024-04-18T07:52:36.040", "datetime"),
    ("2024-04-18T07:52:36Z", "datetime_tz"), ("2024-04-18 07:52:36+0100", "datetime_tz"),
    ("2015/01/01 01:00:00", "datetime_slash"), ("2015/01/01 01:00", "datetime_slash_hm"),
    ("2010/01/01 00:00", "datetime_slash_hm"), ("2015/01/01 1:00", "other"),
    ("2012/01/01", "date_ymd"), ("2012/13/01", "other"), ("2012/1/1", "other"),
    ("9:30", "time"), ("23:59:59.5", "time"), ("09:30 PM", "time"), ("24:00", "other"),
    ("a.b@example.co.uk", "email"), ("a@b", "other"), ("https://ex.com/p?q=1#f", "url"),
    ("ftp://h:21/", "url"), ("DEADBEEF-dead-beef-DEAD-beefdeadbeef", "uuid"),
    ("١٢٣", "other"), (" 12", "padded_integer"), ("12  ", "padded_integer"),
    ("  0.330", "padded_decimal"), (" 1e5 ", "padded_decimal"), ("    ", "other"),
    (" 0 1", "other"), (" 007", "other"),
]


def test_each_layout_falls_under_its_type_in_the_engine_and_in_re(tmp_path):
    source, types = tmp_path / "texts.csv", tmp_path / "types.txt"
    with open(source, "w", newline="", encoding="utf-8") as f:
        csv.writer(f, quoting=csv.QUOTE_ALL).writerows([["text"]] + [[t] for t, _ in LAYOUTS])
    inf = quorvel_ext.Inf(filepath=str(source), delimiter=",",
                          col_type_patterns=quorvel.DEFAULT_TYPES, na_values=set(),
                          multithreading=False, save_types_file=True,
                          types_filepath=str(types), rolling_cache_window=0)
    inf.infer_types()
    assert types.read_text(encoding="utf-8").splitlines()[1:] == [kind for _, kind in LAYOUTS]
    compiled = {name: [re.compile(p) for p in ps] for name, ps in quorvel.DEFAULT_TYPES.items()}
    in_re = [next((name for name, ps in compiled.items() if any(p.fullmatch(t) for p in ps)),
                  "other") for t, _ in LAYOUTS]
    assert in_re == [kind for _, kind in LAYOUTS]
    assert set(quorvel.DEFAULT_TYPES) <= {kind for _, kind in LAYOUTS}


def test_no_text_matches_two_default_types():
    assert quorvel.overlaps() == quorvel.Overlaps(pairs=[], unchecked=[])


def test_overlaps_of_a_user_table_give_a_witness():
    found = quorvel.overlaps({"id": ["[0-9]+"], "zip": ["0[0-9]{4}"], "word": ["[a-z]+"]})
    assert found == quorvel.Overlaps([quorvel.Overlap("id", "zip", b"00000")], [])


def test_overlaps_names_the_bad_pattern():
    message = "types: pattern '(' of type 'bad' does not compile: " + UNMATCHED_PAREN
    with pytest.raises(ValueError, match=exactly(message)):
        quorvel.overlaps({"int": ["[0-9]+"], "bad": ["("]})
