"""How long the report's views take for a wide file: the notebook's HTML, the text table and the
Markdown of a file of 2,000 columns by default, each column with misfits and their examples.

The file is generated (every tenth row of a column holds texts no type matches, and some rows
are short), profiled once, then each view is rendered several times; the figures are the best
and the median of those renderings, in seconds, with the size of what each gives.

    .venv/bin/python bench/report_views.py                        # 2,000 columns, 1,000 rows
    .venv/bin/python bench/report_views.py --columns 20 --rows 50  # a smoke run
"""

import argparse
import os
import statistics
import tempfile
import time
from typing import Callable, Dict, List

import quorvel
from quorvel import terminal

TARGET_SECONDS = 1.0  # the notebook view of 2,000 columns must be drawn within this


def write_wide_csv(path: str, columns: int, rows: int) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(",".join(f"column_{c}" for c in range(columns)) + "\n")
        for r in range(rows):
            width = columns // 2 if r % 97 == 96 else columns  # a short row now and then
            f.write(",".join(_cell(r, c) for c in range(width)) + "\n")


def _cell(row: int, column: int) -> str:
    if row % 10 == 9:
        return f"n/a {row}"  # matches no type: a misfit with its example
    return (str(row), f"{row}.5", "NA", "true")[column % 4]


def timed(render: Callable[[], str], repeat: int) -> List[float]:
    seconds = []
    for _ in range(repeat):
        start = time.perf_counter()
        render()
        seconds.append(time.perf_counter() - start)
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--columns", type=int, default=2000)
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "wide.csv")
        write_wide_csv(path, args.columns, args.rows)
        report = quorvel.describe(path)
    views = {"notebook html": report._repr_html_, "text table": lambda: str(report),
             "markdown": lambda: terminal.markdown(report)}
    print(f"{args.columns} columns, {args.rows} rows; seconds over {args.repeat} renderings")
    best: Dict[str, float] = {}
    for name, render in views.items():
        seconds = timed(render, args.repeat)
        best[name] = min(seconds)
        print(f"{name:14} best {best[name]:.3f}  median {statistics.median(seconds):.3f}  "
              f"{len(render()) / 1e6:.2f} MB")
    within = "within" if best["notebook html"] <= TARGET_SECONDS else "OVER"
    print(f"notebook html {within} the target of {TARGET_SECONDS:g} s")

if __name__ == "__main__":
    main()
