"""quorvel.describe on small files: verdicts along the lattice, sniffing, checks before a pass."""
import errno
import gzip
import os
import pathlib
import re

import pytest

import quorvel
from conftest import exactly

REPO = pathlib.Path(__file__).resolve().parents[2]


def one_column(write, cells, name="x"):
    return write("\n".join([name, *cells]) + "\n")


@pytest.mark.parametrize("cells, threshold, verdict, share, misfits", [
    # Integers next to decimals widen to decimal, the way every loader reads them.
    (["1", "2.5"] * 50, 0.9, "decimal", 1.0, {}),
    # Zero-padded codes next to integers make codes, so no leading zero is lost.
    (["02139", "75008"] * 20, 0.9, "code", 1.0, {}),
    (["2024-01-02", "2024-01-02 10:00:00"] * 5, 0.9, "datetime", 1.0, {}),
    # A slashed date either way round stays undecided until a cell settles it.
    (["01/02/2024"] * 4, 0.9, "date_slash", 1.0, {}),
    (["01/02/2024", "13/02/2024"] * 4, 0.9, "date_dmy", 1.0, {}),
    (["01/02/2024", "02/13/2024"] * 4, 0.9, "date_mdy", 1.0, {}),
    (["02/13/2024", "13/02/2024"] * 4, 0.9, "mixed", 0.5, {"date_mdy": 4, "date_dmy": 4}),
    # A separated thousand does not drag a decimal column to text.
    (["1.5"] * 18 + ["7", '"1,299.00"'], 0.9, "decimal", 0.95, {"grouped_number": 1}),
    (["7"] * 19 + ["x"], 0.9, "integer", 0.95, {"other": 1}),
    (["7"] * 19 + ["x"], 0.99, "mixed", 0.95, {"integer": 19, "other": 1}),
    (["a", "b", "3"], 0.6, "text", 2 / 3, {"integer": 1}),
    # Equal cover goes to the narrower type: integer, not decimal or code.
    (["1", "2"], 0.9, "integer", 1.0, {}),
    (["NA", ""], 0.9, "empty", None, {}),
])
def test_verdict_widens_along_the_lattice(write, cells, threshold, verdict, share, misfits):
    [column] = quorvel.describe(one_column(write, cells), threshold=threshold).columns
    assert (column.verdict, column.share, column.misfits) == (verdict, share, misfits)
    assert column.cells + column.missing == len(cells)


@pytest.mark.parametrize("content, delimiter", [
    ("a;b;c\n1,5;2;3\n4;5,5;6\n", ";"),
    ("a\tb\n1\t2\n", "\t"),
    ('a|b\n"x|y"|2\n', "|"),
    ('a,b\n"1;2",3\n', ","),
    ("single\n1\n", ","),
])
def test_delimiter_is_sniffed_and_reported(write, content, delimiter):
    report = quorvel.describe(write(content))
    assert (report.delimiter, report.delimiter_sniffed) == (delimiter, True)
    assert len(report.columns) == content.splitlines()[0].count(delimiter) + 1


def test_a_compressed_file_is_sniffed_as_the_pass_reads_it(write):
    report = quorvel.describe(write(gzip.compress(b"a;b\n1;2.5\n"), "in.csv.gz"))
    assert (report.delimiter, [c.verdict for c in report.columns]) == (";", ["integer", "decimal"])


def test_progress_ends_with_the_whole_file_read(write):
    path = one_column(write, ["1"] * 1000)
    calls = []
    report = quorvel.describe(path, progress=lambda *args: calls.append(args))
    assert calls[-1] == (os.path.getsize(path), os.path.getsize(path), report.rows)


def test_given_delimiter_is_not_sniffed_and_a_bom_stays_out_of_names(write):
    report = quorvel.describe(pathlib.Path(write(b"\xef\xbb\xbfid;n\n1;2\n")), delimiter=";")
    assert (report.delimiter, report.delimiter_sniffed) == (";", False)
    assert [c.name for c in report.columns] == ["id", "n"]
    assert report.columns[0].verdict == "integer"


def test_na_takes_any_iterable_of_texts(write):
    path = one_column(write, ["-", "?", "1"])
    [column] = quorvel.describe(path, na=(t for t in ["?", "-"])).columns
    assert (column.verdict, column.missing) == ("integer", 2)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(path=3.0), TypeError,
     "source must be a path, a URL, a file descriptor or a binary file object, not float"),
    (dict(path=b"in.csv"), TypeError,
     "source must be a path, a URL, a file descriptor or a binary file object, not bytes"),
    (dict(types=["[0-9]+"]), TypeError,
     "types must be a mapping of type names to pattern lists, not list"),
    (dict(types={"n": "[0-9]+"}), TypeError, "types: type 'n' needs a list of pattern strings"),
    (dict(types={"n": 5}), TypeError, "types: type 'n' needs a list of pattern strings"),
    (dict(types={"NA": []}), ValueError,
     "types: 'NA' is reserved for the counts and cannot name a type"),
    (dict(types={"n": ["[0-9]+"], "broken": ["[0-9"]}), ValueError,
     "types: pattern '[0-9' of type 'broken' does not compile: Found a closing ) with no "
     "corresponding opening parenthesis.  The error occurred while parsing the regular "
     "expression: '[0-9>>>HERE>>>'."),
    (dict(na="NA"), TypeError, "na must be an iterable of str, not str"),
    (dict(na=[1]), TypeError, "na must hold str only, not int"),
    (dict(delimiter=";;"), ValueError,
     "delimiter must be one ASCII character other than a quote or a line break, not ';;'"),
    (dict(delimiter=44), TypeError, "delimiter must be a str, not int"),
    (dict(threads=1.0), TypeError, "threads must be None, a bool or an int, not float"),
    (dict(threads=0), ValueError, "threads must be between 1 and 2147483647, not 0"),
    (dict(threads=2**31), ValueError, "threads must be between 1 and 2147483647, not 2147483648"),
    (dict(threshold=0), ValueError, "threshold must be above 0 and at most 1, not 0"),
    (dict(threshold="0.5"), TypeError, "threshold must be a number, not str"),
    (dict(window=-1), ValueError, "window must be between 0 and 2147483647, not -1"),
    (dict(progress=5), TypeError, "progress must be callable, not int"),
    (dict(treads=True), TypeError, "describe() got an unexpected keyword argument 'treads'"),
])
def test_bad_arguments_are_named_before_the_file_is_opened(tmp_path, kwargs, error, message):
    path = kwargs.pop("path", tmp_path / "absent.csv")
    with pytest.raises(error, match=exactly(message)):
        quorvel.describe(path, **kwargs)


@pytest.mark.parametrize("make, error, code", [
    (lambda d: d / "absent.csv", FileNotFoundError, errno.ENOENT),
    (lambda d: d, IsADirectoryError, errno.EISDIR),
])
def test_unreadable_input_raises_with_its_path(tmp_path, make, error, code):
    path = make(tmp_path)
    with pytest.raises(error) as caught:
        quorvel.describe(path)
    assert (caught.value.errno, caught.value.filename) == (code, str(path))


def test_header_that_is_not_utf8_is_read_as_latin1_unless_utf8_is_given(write):
    path = write(b"\xff\n1\n")
    report = quorvel.describe(path)
    assert (report.encoding, [c.name for c in report.columns]) == ("latin-1", ["\xff"])
    with pytest.raises(quorvel.HeaderError, match=exactly(
            f"the header of '{path}' is not valid utf-8: cell 1 is '\\\\xff'")):
        quorvel.describe(path, encoding="utf-8")


def test_report_shows_as_a_table_and_as_html(write, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # a short path, which the summary line holds whole
    write('id,"<b>"\n1,x\n2,NA\n')
    report = quorvel.describe("in.csv")
    assert str(report).splitlines()[:4] == [
        "in.csv: 2 data rows, 2 columns, delimiter ',' (sniffed), utf-8 (detected)", "",
        "column  verdict   share  cells  NA  counts",
        "id      integer  100.0%      2   0  integer 2"]
    assert ('<td>&lt;b&gt;</td><td>text</td><td class="qv-number">100.0%</td>'
            '<td class="qv-number">1</td><td class="qv-number">1</td>') in report._repr_html_()


@pytest.mark.wheel
def test_package_is_the_installed_one():
    installed = pathlib.Path(quorvel.__file__).resolve()
    assert "site-packages" in installed.parts and REPO / "python" not in installed.parents
