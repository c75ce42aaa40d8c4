"""The example CLI, examples/infer_types.py, run as a user runs it."""

import csv
import json
import re
import runpy
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest
import quorvel_ext

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SCRIPT = EXAMPLES / "infer_types.py"
MESSY = EXAMPLES / "messy.csv"


def run(*args, cwd):
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], cwd=str(cwd),
                          capture_output=True, text=True, encoding="utf-8", timeout=120)


def table(stdout):
    """The report's rows: column name -> (verdict, share, non-NA, NA, runners-up)."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["column", "verdict"])
    rows = {}
    for line in lines[start + 1:]:
        if not line:
            break
        name, *cells = re.split(r" {2,}", line)
        assert len(cells) == 5, line
        assert name not in rows, f"column {name!r} reported twice"
        rows[name] = tuple(cells)
    return rows


def messy_rows():
    with open(MESSY, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def column_names():
    header = messy_rows()[0]
    untitled = iter(range(1, len(header) + 1))
    return [name or f"Unitled_{next(untitled)}" for name in header]


def load_script():
    """The script's definitions, without running it."""
    return SimpleNamespace(**runpy.run_path(str(SCRIPT), run_name="infer_types_example"))


@pytest.fixture(scope="module")
def bundled(tmp_path_factory):
    result = run(cwd=tmp_path_factory.mktemp("run"))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def test_bundled_file_reports_every_column_in_file_order(bundled):
    rows = messy_rows()
    assert f"{len(rows) - 1} data rows, {len(rows[0])} columns" in bundled.splitlines()[0]
    assert list(table(bundled)) == column_names()


@pytest.mark.parametrize("column, expected", [
    ("Unitled_1", ("integer", "100.0%", "56", "0", "-")),
    ("ref", ("uuid", "100.0%", "56", "0", "-")),
    ("customer", ("other", "100.0%", "56", "0", "-")),
    ("shipped_at", ("datetime", "100.0%", "34", "22", "-")),
    ("amount", ("decimal", "96.4%", "56", "0", "integer 2")),
    ("order_date", ("date", "98.2%", "56", "0", "other 1")),
    ("paid", ("boolean", "98.0%", "50", "6", "other 1")),
    # The short row has no postal_code, fax or notes cell: 55 cells, not 56.
    ("postal_code", ("mixed", "52.7%", "55", "0", "integer 29, other 26")),
    ("fax", ("empty", "-", "0", "55", "-")),
])
def test_bundled_file_verdicts(bundled, column, expected):
    assert table(bundled)[column] == expected


def test_counts_agree_with_python_re_on_every_column(bundled):
    """Each column's counts, worked out here with csv and re from the same table."""
    script = load_script()
    patterns = {name: [re.compile(p) for p in ps] for name, ps in script.DEFAULT_TYPES.items()}
    header, *data = messy_rows()
    reported = table(bundled)
    for c, name in enumerate(column_names()):
        cells = [row[c] for row in data if c < len(row)]
        na = sum(cell in script.DEFAULT_NA for cell in cells)
        counts = {}
        for cell in cells:
            if cell not in script.DEFAULT_NA:
                kind = next((t for t, ps in patterns.items() if any(p.fullmatch(cell) for p in ps)),
                            "other")
                counts[kind] = counts.get(kind, 0) + 1
        verdict, share, non_na, na_shown, runners = reported[name]
        assert (int(non_na), int(na_shown)) == (len(cells) - na, na), name
        listed = dict(counts)
        if verdict not in ("mixed", "empty"):
            assert share == f"{listed.pop(verdict) / (len(cells) - na):.1%}", name
        shown = {} if runners == "-" else {
            kind: int(n) for kind, n in (item.rsplit(" ", 1) for item in runners.split(", "))}
        assert shown == listed, name


def test_threads_and_cache_window_do_not_change_the_report(bundled, tmp_path):
    for args in (["--threads"], ["--window", "1"], ["--window", "0"], ["--threads", "--window", "3"]):
        result = run(*args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout == bundled, args


def test_threshold_decides_between_a_type_and_mixed(tmp_path):
    low = table(run("--threshold", "0.5", cwd=tmp_path).stdout)
    assert low["postal_code"] == ("integer", "52.7%", "55", "0", "other 26")
    high = table(run("--threshold", "0.99", cwd=tmp_path).stdout)
    assert high["amount"] == ("mixed", "96.4%", "56", "0", "decimal 54, integer 2")
    assert high["ref"] == ("uuid", "100.0%", "56", "0", "-")


def test_na_option_replaces_the_default_texts(tmp_path):
    rows = table(run("--na", "", "--na", "-", cwd=tmp_path).stdout)
    # fax holds 23 empty cells, 12 "-" and 20 of "NA" or "N/A", now just text.
    assert rows["fax"] == ("other", "100.0%", "20", "35", "-")


def test_patterns_file_replaces_or_extends_the_table(tmp_path):
    postcodes = tmp_path / "postcodes.json"
    postcodes.write_text(json.dumps({"postcode": [
        "[A-Z]{1,2}[0-9][A-Z0-9]? [0-9][A-Z]{2}",  # SW1A 1AA
        "[A-Z][0-9][A-Z] [0-9][A-Z][0-9]",          # H2X 1Y4
        "[A-Z][0-9]{2} [A-Z0-9]{4}",                # D02 X285
    ]}))
    extended = table(run("--patterns", postcodes, "--extend-patterns", cwd=tmp_path).stdout)
    # The 9 ZIP+4 codes (94103-1234) are neither integers nor postcodes.
    assert extended["postal_code"] == ("mixed", "52.7%", "55", "0",
                                       "integer 29, postcode 17, other 9")
    assert extended["ref"][0] == "uuid"
    replaced = table(run("--patterns", postcodes, cwd=tmp_path).stdout)
    assert replaced["postal_code"] == ("mixed", "69.1%", "55", "0", "other 38, postcode 17")
    assert replaced["ref"] == ("other", "100.0%", "56", "0", "-")


def test_bad_pattern_is_a_one_line_error(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({"broken": ["[0-9"]}))
    result = run("--patterns", bad, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1 and "bad pattern" in result.stderr


def test_types_file_has_a_line_per_row_plus_the_header(bundled, tmp_path):
    types_file = tmp_path / "types.txt"
    result = run("--types-file", types_file, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == bundled
    num_rows = len(messy_rows()) - 1
    lines = types_file.read_text(encoding="utf-8").splitlines()
    assert len(lines) == num_rows + 1
    assert lines[0] == ",".join(column_names())
    widths = sorted(len(line.split(",")) for line in lines[1:])
    # One row stops after 11 cells; the long one is cut to the header's 14.
    assert widths == [11] + [14] * (num_rows - 1)
    assert {t for line in lines[1:] for t in line.split(",")} == {
        "integer", "decimal", "boolean", "date", "datetime", "time", "email", "url", "uuid",
        "percent", "other", "NA"}


def test_unwritable_types_file_is_a_warning(bundled, tmp_path):
    result = run("--types-file", tmp_path / "no-such-dir" / "types.txt", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout == bundled
    [warning] = result.stderr.splitlines()
    assert "warning" in warning and "no-such-dir" in warning


def test_missing_file_is_a_one_line_error(tmp_path):
    result = run(tmp_path / "absent.csv", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    [message] = result.stderr.splitlines()
    assert "error" in message and "absent.csv" in message


def test_verdict_ties_go_to_the_table_order_and_other_comes_last():
    choose = load_script().choose_verdict
    order = ["integer", "date", "time", "other"]
    counts = {"other": 3, "time": 3, "date": 3, "integer": 0, "NA": 9}
    assert choose(counts, order, 0.3) == ("date", 1 / 3, 9, [("time", 3), ("other", 3)])
    assert choose(counts, order, 0.9) == ("mixed", 1 / 3, 9,
                                          [("date", 3), ("time", 3), ("other", 3)])
    assert choose({"other": 0, "date": 0, "NA": 4}, order, 0.9) == ("empty", None, 0, [])


PROBES = ["12\n", "١٢٣", " 12", "1,234", "1,234.5", "12.", ".5", "1e5", "2024-13-01",
          "2024-02-03 23:59:59.123+0530", "24:00", "9:30", "09:30 PM", "a@b", "a@b.co",
          "mailto:a@b.com", "HTTPS://X.ORG", "ftp://h:21/p?q=1#f", "https://ex.com/é", "12.5 %",
          "tRUE", "No", "{12345678-1234-1234-1234-123456789012}",
          "DEADBEEF-dead-beef-DEAD-beefdeadbeef"]


def test_default_table_means_the_same_in_re_and_the_module(tmp_path):
    """Every default pattern compiles in both, no text matches two types, and the
    module types every text of messy.csv and a set of edge cases as re does."""
    script = load_script()
    patterns = {name: [re.compile(p) for p in ps] for name, ps in script.DEFAULT_TYPES.items()}
    for name, sources in script.DEFAULT_TYPES.items():
        for source in sources:
            quorvel_ext.Inf(filepath="", delimiter=",", col_type_patterns={name: [source]},
                            na_values=set(), multithreading=False, save_types_file=False,
                            types_filepath="", rolling_cache_window=0)
    texts = sorted({cell for row in messy_rows()[1:] for cell in row} | set(PROBES))
    expected = []
    for text in texts:
        kinds = [t for t, ps in patterns.items() if any(p.fullmatch(text) for p in ps)]
        assert len(kinds) <= 1, (text, kinds)
        expected.append(kinds[0] if kinds else "other")
    assert "other" in expected and set(patterns) <= set(expected)

    csv_path, types_path = tmp_path / "texts.csv", tmp_path / "types.txt"
    with open(csv_path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, quoting=csv.QUOTE_ALL, lineterminator="\n")
        writer.writerows([["text"]] + [[text] for text in texts])
    inf = quorvel_ext.Inf(filepath=str(csv_path), delimiter=",",
                          col_type_patterns=script.DEFAULT_TYPES, na_values=set(),
                          multithreading=False, save_types_file=True,
                          types_filepath=str(types_path), rolling_cache_window=0)
    inf.infer_types()
    assert types_path.read_text(encoding="utf-8").splitlines()[1:] == expected
