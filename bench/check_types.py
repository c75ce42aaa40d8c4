"""Checks bench/types.json against the files that gen_csv.py makes.

The module tries a column's types in an order that the pure-Python equivalent
cannot reproduce (the engine's hash map decides it), so the two give the same
counts only if no text matches two types. This script generates a small file
of each shape, reads it back with the csv module and fails when:
  - a pattern does not compile under Python's re;
  - a text matches more than one type;
  - a text without a blank, other than a missing-value text, matches no type
    (every such text is meant for one type; free text always has a blank);
  - a type matches no text of any shape.

    check_types.py [--size-mb 2] [--types bench/types.json] [SHAPE ...]
"""

import argparse
import collections
import os
import sys
import tempfile
from typing import Dict, List, Pattern, Sequence, Set

import gen_csv
import pure_python


def distinct_texts(path: str) -> Set[str]:
    rows = pure_python.read_rows(path)
    next(rows)  # the header
    return {text for row in rows for text in row}


def matching_types(text: str, table: Dict[str, List[Pattern[str]]]) -> List[str]:
    return [name for name, patterns in table.items() if any(p.fullmatch(text) for p in patterns)]


def check_shape(shape: str, size_mb: float, table: Dict[str, List[Pattern[str]]],
                na_values: Set[str], hits: Dict[str, int]) -> List[str]:
    """Problems found in one shape; adds the distinct texts per type to hits."""
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, f"{shape}.csv")
        gen_csv.write_csv(shape, size_mb, path)
        texts = distinct_texts(path) - na_values
    per_type: Dict[str, int] = collections.Counter()
    for text in sorted(texts):
        names = matching_types(text, table)
        per_type[names[0] if len(names) == 1 else "other" if not names else "several"] += 1
        if len(names) > 1:
            problems.append(f"{shape}: {text!r} matches {', '.join(names)}")
        elif not names and not any(c.isspace() for c in text):
            problems.append(f"{shape}: {text!r} matches no type")
    for name, count in per_type.items():
        hits[name] += count
    summary = ", ".join(f"{name} {count}" for name, count in sorted(per_type.items()))
    print(f"{shape:<11} {len(texts):>7} distinct texts: {summary}")
    return problems


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description="Check types.json against the generated files.")
    parser.add_argument("shapes", nargs="*", default=list(gen_csv.SHAPES))
    parser.add_argument("--size-mb", type=float, default=2.0)
    parser.add_argument("--types", default=pure_python.TYPES_JSON)
    args = parser.parse_args(argv)
    patterns, na_values = pure_python.load_types(args.types)
    table = pure_python.compile_table(patterns)  # raises re.error on a bad pattern
    hits: Dict[str, int] = collections.Counter()
    problems = []
    for shape in args.shapes:
        problems += check_shape(shape, args.size_mb, table, na_values, hits)
    if set(args.shapes) == set(gen_csv.SHAPES):
        problems += [f"type {name} matches no text" for name in table if hits[name] == 0]
    for problem in problems[:50]:
        print("PROBLEM:", problem)
    print(f"{len(problems)} problems" if problems else "types.json: no overlaps, no gaps")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
