"""The example examples/misfits.py, run as a user runs it, and the bundled file it reads."""

import csv
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SCRIPT = EXAMPLES / "misfits.py"
MESSY = EXAMPLES / "messy.csv"


def messy_rows():
    with open(MESSY, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def test_misfits_name_each_cell_with_its_row_and_type(tmp_path):
    result = subprocess.run([sys.executable, str(SCRIPT), "--limit", "1"], cwd=str(tmp_path),
                            capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[:6] == [
        "email: email 98.0%, 1 cell does not fit",
        "  row 21: 'liam.okafor(at)example.com' (other)",
        "website: url 97.9%, 1 cell does not fit",
        "  row 48: 'https://example.com/u/garcía' (other)",
        "order_date: date 98.2%, 1 cell does not fit",
        "  row 10: '04/09/2024' (date_slash)"]
    data = messy_rows()[1:]
    for number, text in re.findall(r"  row (\d+): '(.*)' ", result.stdout):
        assert text in data[int(number) - 1], (number, text)


def test_counts_agree_with_python_re_on_every_column():
    """Each column's counts, worked out here with csv and re from the same table."""
    patterns = {name: [re.compile(p) for p in ps] for name, ps in quorvel.DEFAULT_TYPES.items()}
    header, *data = messy_rows()
    report = quorvel.describe(MESSY)
    assert len(report.columns) == len(header)
    for c, column in enumerate(report.columns):
        cells = [row[c] for row in data if c < len(row)]
        counts = {}
        for cell in cells:
            if cell not in quorvel.DEFAULT_NA:
                kind = next((t for t, ps in patterns.items() if any(p.fullmatch(cell) for p in ps)),
                            "other")
                counts[kind] = counts.get(kind, 0) + 1
        assert (column.counts, column.missing) == (counts, len(cells) - sum(counts.values()))


@pytest.mark.parametrize("threads, window", [(True, 100000), (False, 1), (False, 0), (True, 3)])
def test_threads_and_cache_window_do_not_change_the_report(threads, window):
    assert quorvel.describe(MESSY, threads=threads, window=window) == quorvel.describe(MESSY)
