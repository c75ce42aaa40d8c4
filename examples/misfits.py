"""Show the cells that do not fit their column's verdict, with their rows and texts.

    python examples/misfits.py [CSV] [--limit N]

The quorvel command counts, per column, the cells its verdict leaves out;
this example finds them. It profiles the file with quorvel.describe, runs a
second pass with quorvel_ext that writes the types file (the type of every
cell), reads the file back with Python's csv module, and prints the first
cells of each column whose type the verdict does not cover. Without CSV it
reads messy.csv next to this script.
"""

import argparse
import csv
import os
import sys
import tempfile
from typing import Dict, Iterator, List, Sequence, Tuple

import quorvel
import quorvel_ext

DEFAULT_CSV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "messy.csv")


def cell_types(path: str, report: quorvel.Report, types_path: str) -> Iterator[List[str]]:
    """The type of every cell, row by row, as the types file gives them."""
    inf = quorvel_ext.Inf(filepath=path, delimiter=report.delimiter,
                          col_type_patterns=quorvel.DEFAULT_TYPES, na_values=set(report.na),
                          multithreading=False, save_types_file=True, types_filepath=types_path,
                          rolling_cache_window=100000)
    inf.infer_types()
    with open(types_path, encoding="utf-8") as f:
        next(f)  # the header
        for line in f:
            yield line.rstrip("\n").split(",")


def misfits(path: str, report: quorvel.Report,
            limit: int) -> Dict[str, List[Tuple[int, str, str]]]:
    """Per column: (data row, cell text, its type) of the first `limit` cells that do not fit."""
    columns = report.columns
    found: Dict[str, List[Tuple[int, str, str]]] = {c.name: [] for c in columns if c.misfits}
    with tempfile.TemporaryDirectory() as scratch, open(path, newline="", encoding="utf-8") as f:
        rows = csv.reader(f, delimiter=report.delimiter)
        next(rows)
        kinds = cell_types(path, report, os.path.join(scratch, "types.csv"))
        for number, (cells, types) in enumerate(zip(rows, kinds), start=1):
            for column, text, kind in zip(columns, cells, types):
                if kind in column.misfits and len(found[column.name]) < limit:
                    found[column.name].append((number, text, kind))
    return found


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description="Show the cells that do not fit their verdict.")
    parser.add_argument("csv", nargs="?", default=DEFAULT_CSV, help="default: messy.csv")
    parser.add_argument("--limit", type=int, default=5, help="cells to show per column")
    args = parser.parse_args(argv)
    report = quorvel.describe(args.csv)
    columns = {c.name: c for c in report.columns}
    for name, cells in misfits(args.csv, report, args.limit).items():
        column, left_out = columns[name], sum(columns[name].misfits.values())
        print(f"{name}: {column.verdict} {column.share:.1%}, {left_out} "
              + ("cell does" if left_out == 1 else "cells do") + " not fit")
        for number, text, kind in cells:
            print(f"  row {number}: {text!r} ({kind})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
