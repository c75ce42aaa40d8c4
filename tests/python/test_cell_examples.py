"""The first cells of each column and type, and the ragged rows, as the pass keeps them and as the
report shows them; Python's csv and re modules are the oracle."""
import csv
import io
import json
import random
import re

import pyarrow.csv
import pytest

import quorvel
import quorvel_ext

# No text matches two of these, so every path of a pass counts the same.
TYPES = {"int": ["[0-9]+"], "word": ["[a-z]+"], "code": ["[A-Z][0-9][A-Z] [0-9][A-Z][0-9]"]}
KEPT = 5
TEXT_BYTES = 100


def type_of(text, na):
    if text in na:
        return "NA"
    found = [name for name, (pattern,) in TYPES.items() if re.fullmatch(pattern, text)]
    return found[0] if found else "other"


def expected_extras(content, na):
    """What the pass must keep, worked out from the rows Python's csv module reads."""
    rows = list(csv.reader(io.StringIO(content, newline="")))
    names, data = rows[0], rows[1:]
    kept, short, long = {name: {} for name in names}, 0, 0
    for number, row in enumerate(data, start=1):
        short += len(row) < len(names)
        long += len(row) > len(names)
        for name, text in zip(names, row):
            cells = kept[name].setdefault(type_of(text, na), [])
            if len(cells) < KEPT:
                raw = text.encode()
                cells.append((raw[:TEXT_BYTES], number, len(raw)))
    return kept, (short, long)


def random_file(seed, rows):
    rng = random.Random(seed)
    texts = ["1", "42", "007", "abc", "z", "K1A 0B1", "SW1A 1AA", "x1", "n.a.", "    ", "NA", "",
             "a,b", 'say "hi"', "two\nlines", "é", "q" * 150]
    lines = [["id", "name", "code", "note"]]
    for _ in range(rows):
        width = rng.choice([4] * 12 + [1, 2, 3, 5, 7])
        lines.append([rng.choice(texts) for _ in range(width)])
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(lines)
    # csv writes a row of one empty cell as '""', a quoted empty text, which is what it reads.
    return out.getvalue()


def pass_over(make_inf, path, threads):
    inf = make_inf(filepath=path, col_type_patterns=TYPES, na_values={"NA", ""},
                   multithreading=threads > 1)
    quorvel_ext._set_pass_threads(inf, threads)
    inf.infer_types()
    return inf


# The last file, of 3 MB, takes several of the pass's chunks of 512 KiB.
@pytest.mark.parametrize("seed, rows, chunks", [(1, 40, 1), (2, 3000, 1), (3, 60_000, 4)])
def test_bindings_agree_with_the_rows_csv_reads_on_one_thread_and_three(
        make_inf, write, seed, rows, chunks):
    content = random_file(seed, rows)
    path = write(content)
    kept, ragged = expected_extras(content, {"NA", ""})
    for threads in (1, 3):
        inf = pass_over(make_inf, path, threads)
        assert quorvel_ext._cell_examples(inf) == {
            column: {t: cells for t, cells in by_type.items() if cells}
            for column, by_type in kept.items()}, threads
        assert quorvel_ext._ragged_rows(inf) == ragged
    # No text matches two types: the workers counted the chunks themselves.
    stats = quorvel_ext._pass_stats(inf)
    assert (stats["counted_apart"], stats["chunks"] >= chunks) == (1.0, True)


def test_texts_are_bytes_as_the_file_has_them_cut_to_100(make_inf, write):
    inf = pass_over(make_inf, write(b"t\n\xe9t\xe9\n" + b"\xff" * 300 + b"\n"), 1)
    assert quorvel_ext._cell_examples(inf) == {
        "t": {"other": [(b"\xe9t\xe9", 1, 3), (b"\xff" * 100, 2, 300)]}}
    assert quorvel_ext._ragged_rows(inf) == (0, 0)


def test_before_any_pass_nothing_is_kept(make_inf):
    inf = make_inf()
    assert (quorvel_ext._cell_examples(inf), quorvel_ext._ragged_rows(inf)) == ({}, (0, 0))


@pytest.mark.parametrize("content, encoding, shown", [
    ("n\n1\ncafé\n".encode("latin-1"), "latin-1", ("café", 2)),
    ("\ufeffn\n1\ncafé\n".encode("utf-16-le"), "utf-16", ("café", 2)),
    (b"\xef\xbb\xbfn\n1\ncaf\xc3\xa9\n", "utf-8-sig", ("café", 2)),
    (b"n\n1\ncaf\xe9\n", "utf-8", ("caf\\xe9", 2)),
    ("n\n1\n" + "é" * 60 + "\n", "utf-8", ("é" * 50 + "\u2026", 2)),
    ("n\n1\n" + "a" * 99 + "é\n", "utf-8", ("a" * 99 + "\u2026", 2)),
])
def test_examples_are_decoded_with_the_files_encoding(write, content, encoding, shown):
    # Given, so that the detection, which reads a whole block, cannot disagree on the short files.
    report = quorvel.describe(write(content), types=TYPES, na=[], encoding=encoding)
    assert report.columns[0].misfit_examples["other"] == [shown]


POSTAL = "".join(f"{i},{code}\n" for i, code in enumerate(
    ["10001", "10002", "SW1A 1AA"] + [str(10003 + i) for i in range(5)] + ["K1A 0B1"]
    + [str(20000 + i) for i in range(290)] + ["x1", "n.a.", "    ", "E1 6AN"]
    + [str(30000 + i) for i in range(4)], start=1))


@pytest.mark.parametrize("threads", [1, 2])
def test_report_shows_the_first_misfits_of_the_pass(write, threads):
    path = write("row,postal_code\n" + POSTAL + "9,1,extra\n10\n")
    report = quorvel.describe(path, threads=threads)
    postal = report.columns[1]
    assert postal.misfit_examples == {"other": [
        ("SW1A 1AA", 3), ("K1A 0B1", 9), ("x1", 300), ("n.a.", 301), ("    ", 302)]}
    lines = str(report).splitlines()
    postal_line = lines.index(next(line for line in lines if line.startswith("postal_code")))
    assert lines[postal_line].endswith("integer 302, other* 6, absent 1")
    assert lines[postal_line + 1].strip() == (
        "e.g. other: 'SW1A 1AA' row 3, 'K1A 0B1' row 9")  # as many as fit in the line
    assert (report.short_rows, report.long_rows) == (1, 1)
    assert ", 1 short row, 1 long row" in " ".join(lines[:2])
    [shown] = json.loads(report.to_json())["files"]
    assert shown["columns"][1]["misfit_examples"]["other"][:2] == [["SW1A 1AA", 3],
                                                                     ["K1A 0B1", 9]]
    assert (shown["short_rows"], shown["long_rows"]) == (1, 1)
    assert "&#x27;K1A 0B1&#x27; row 9" in report._repr_html_()


def test_verdicts_own_type_is_not_shown_as_a_misfit(write):
    report = quorvel.describe(write("n\n1\n2\nx\n"), threshold=0.5)
    assert report.columns[0].misfit_examples == {"other": [("x", 3)]}


def test_arrow_reads_a_file_with_long_rows_without_its_own_reader(write, monkeypatch):
    # Only a long row, which pyarrow's reader would skip: the engine reads every file, ragged
    # or even, and pyarrow's reader is never asked.
    path = write("a,b\n1,2\n3,4,5\n6,7\n")
    report = quorvel.describe(path)
    assert (report.short_rows, report.long_rows, [c.absent for c in report.columns]) == (
        0, 1, [0, 0])
    asked = []
    read_csv = pyarrow.csv.read_csv
    monkeypatch.setattr(pyarrow.csv, "read_csv", lambda *a, **k: asked.append(a) or read_csv(
        *a, **k))
    with pytest.warns(quorvel.LongRowsWarning, match="row 2\\)"):
        table = report.read_arrow()
    assert (asked, table.to_pydict()) == ([], {"a": [1, 3, 6], "b": [2, 4, 7]})
    assert quorvel.describe(write("a,b\n1,2\n", "even.csv")).read_arrow().num_rows == 1
    assert asked == []
