"""What a user would write instead of the module: the same counts in plain Python.

One pass with the csv module; each cell is a missing value, a cached answer
or the first type of its column's trial order whose pattern matches the whole
text (re.fullmatch), and that type then swaps places with the front of the
order. The cache is keyed by the text alone, shared by all columns, and
emptied every `window` rows, the header row counted. The runner checks that
this gives the module's counts on the same file.

    inference = infer("data.csv", {"int": [r"[-+]?[0-9]+"]}, {"", "NA"}, window=1000)
    inference.counts  # {column: {type name: count, ..., "other": n, "NA": n}}

Command line: pure_python.py FILE [--types bench/types.json] [--window N]
prints the column names, the row count and the counts as JSON.
"""

import argparse
import csv
import json
import os
import re
import sys
from typing import Dict, Iterable, Iterator, List, Pattern, Sequence, Set, Tuple

TYPES_JSON = os.path.join(os.path.dirname(os.path.abspath(__file__)), "types.json")

Counts = Dict[str, Dict[str, int]]

# The module has no limit on the length of a field; the csv module's default
# would stop at 128 KiB.
csv.field_size_limit(2**31 - 1)


def load_types(path: str = TYPES_JSON) -> Tuple[Dict[str, List[str]], Set[str]]:
    """The pattern table and the missing-value texts of a types.json file."""
    with open(path, encoding="utf-8") as f:
        table = json.load(f)
    return table["types"], set(table["na_values"])


def compile_table(patterns: Dict[str, List[str]]) -> Dict[str, List[Pattern[str]]]:
    # The module matches with Boost, whose classes such as \d and \w know only
    # ASCII and whose '.' also matches a line break; these flags ask re for
    # the same.
    flags = re.ASCII | re.DOTALL
    return {name: [re.compile(p, flags) for p in texts] for name, texts in patterns.items()}


def read_rows(path: str, delimiter: str = ",") -> Iterator[List[str]]:
    with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
        for row in csv.reader(f, delimiter=delimiter, quotechar='"', doublequote=True):
            # The module reads an empty line as a row of one empty cell; the
            # csv module gives an empty list.
            yield row or [""]


class Inference:
    """The state of one pass: trial orders, the shared cache, the counts."""

    def __init__(self, patterns: Dict[str, List[str]], na_values: Iterable[str],
                 window: int) -> None:
        self.table = compile_table(patterns)
        self.type_names = list(patterns)
        self.na_values = set(na_values)
        self.window = window
        self.cache: Dict[str, str] = {}
        self.orders: Dict[str, List[str]] = {}
        self.counts: Counts = {}
        self.col_names: List[str] = []
        self.num_rows = 0
        self.untitled = 0

    def run(self, path: str, delimiter: str = ",") -> Counts:
        n = 0
        for row in read_rows(path, delimiter):
            if n == 0:
                self.set_up_header(row)
            else:
                self.classify_row(row)
            n += 1
            if n % self.window == 0:
                self.cache.clear()
        self.num_rows = max(n - 1, 0)
        return self.counts

    def set_up_header(self, row: List[str]) -> None:
        self.col_names = []
        for text in row:
            if not text:
                self.untitled += 1
                text = f"Unitled_{self.untitled}"
            self.col_names.append(text)
            self.counts[text] = dict.fromkeys(self.type_names + ["other", "NA"], 0)
            self.orders[text] = list(self.type_names)

    def classify_row(self, row: List[str]) -> None:
        # zip stops at the shorter of the two: missing cells of a short row
        # are not counted, cells past the header are ignored.
        for name, text in zip(self.col_names, row):
            self.counts[name][self.classify(text, self.orders[name])] += 1

    def classify(self, text: str, order: List[str]) -> str:
        # Missing values come first so that a cached type never overrides them.
        if text in self.na_values:
            return "NA"
        kind = self.cache.get(text)
        if kind is None:
            kind = self.match(text, order)
            self.cache[text] = kind
        return kind

    def match(self, text: str, order: List[str]) -> str:
        for i, name in enumerate(order):
            if any(p.fullmatch(text) for p in self.table[name]):
                # A swap, not a rotation: the type that led keeps its rank
                # among the others, only trading places with the winner.
                order[0], order[i] = order[i], order[0]
                return name
        return "other"


def infer(path: str, patterns: Dict[str, List[str]], na_values: Iterable[str],
          window: int = 1000, delimiter: str = ",") -> Inference:
    inference = Inference(patterns, na_values, window)
    inference.run(path, delimiter)
    return inference


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description="Per-column type counts in plain Python.")
    parser.add_argument("file")
    parser.add_argument("--types", default=TYPES_JSON, help="types.json to use")
    parser.add_argument("--window", type=int, default=1000, help="rows between cache clears")
    args = parser.parse_args(argv)
    patterns, na_values = load_types(args.types)
    result = infer(args.file, patterns, na_values, args.window)
    json.dump({"col_names": result.col_names, "num_rows": result.num_rows,
               "counts": result.counts}, sys.stdout, indent=1)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
