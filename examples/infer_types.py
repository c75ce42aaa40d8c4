"""Infer the type of every column of a CSV file in one pass and print a verdict.

    python examples/infer_types.py [CSV] [--delimiter ;] [--na TEXT ...]
        [--patterns FILE [--extend-patterns]] [--threads] [--types-file PATH]
        [--window N] [--threshold 0.9]

Without CSV it reads messy.csv next to this script. Every cell is tested
against a table of types (DEFAULT_TYPES below, or a JSON file of the form
{"type": ["pattern", ...]}); patterns use Boost's Perl syntax and must match
the whole cell. Cells equal to a missing-value text count as NA; cells that
match no type count as "other".

A column's verdict is the type holding the most of its non-NA cells, shown
with that share. When no type reaches the threshold the verdict is "mixed",
the share is still the top type's, and every type seen is listed; a column
with no non-NA cells is "empty".

Worth knowing when reading the counts:
  - the type found for a text is remembered for every column, so a text that
    matches two types gets the same type everywhere, whichever column saw it
    first; the default table is written so that no realistic text matches two;
  - rows shorter than the header leave their missing cells uncounted, and
    cells beyond the header's width are ignored;
  - columns with the same header name are counted together;
  - an empty header cell is reported as Unitled_<k>.

Exit status: 0 on success (a types file that could not be written is only a
warning), 1 when the pass fails or the header is not UTF-8, and 2 for bad
arguments, a missing or unreadable input, or a bad pattern table.
"""

import argparse
import json
import os
import sys
import warnings
from typing import Dict, List, Optional, Sequence, Set, Tuple

import quorvel_ext

DEFAULT_CSV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "messy.csv")

# No realistic text matches two of these types. The patterns keep to what
# Boost and Python's re read alike: [0-9] rather than \d (which may take in
# other digits), no wildcard dot and no anchors, since the whole cell must
# match anyway.
DEFAULT_TYPES: Dict[str, List[str]] = {
    "integer": [r"[-+]?[0-9]+", r"[-+]?[0-9]{1,3}(?:,[0-9]{3})+"],
    "decimal": [
        r"[-+]?(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?",
        r"[-+]?[0-9]+[eE][-+]?[0-9]+",
        r"[-+]?[0-9]{1,3}(?:,[0-9]{3})+\.[0-9]+",
    ],
    "boolean": [r"true|false|True|False|TRUE|FALSE", r"yes|no|Yes|No|YES|NO"],
    "date": [r"[0-9]{4}-(?:0[1-9]|1[0-2])-(?:0[1-9]|[12][0-9]|3[01])"],
    "datetime": [
        r"[0-9]{4}-(?:0[1-9]|1[0-2])-(?:0[1-9]|[12][0-9]|3[01])[T ]"
        r"(?:[01][0-9]|2[0-3]):[0-5][0-9](?::[0-5][0-9](?:\.[0-9]{1,9})?)?"
        r"(?:Z|[-+](?:[01][0-9]|2[0-3]):?[0-5][0-9])?"
    ],
    "time": [
        r"(?:[01]?[0-9]|2[0-3]):[0-5][0-9](?::[0-5][0-9](?:\.[0-9]{1,9})?)?",
        r"(?:0?[1-9]|1[0-2]):[0-5][0-9](?::[0-5][0-9])? ?(?:AM|PM|am|pm)",
    ],
    "email": [r"[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}"],
    "url": [
        r"(?:https?|ftp)://[A-Za-z0-9.-]+(?::[0-9]+)?"
        r"(?:[/?#][A-Za-z0-9._~:/?#@!$&'()*+,;=%-]*)?"
    ],
    "uuid": [r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"],
    "percent": [r"[-+]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+) ?%"],
}

DEFAULT_NA: Set[str] = {"", "NA", "N/A", "n/a", "na", "NaN", "nan", "null", "NULL",
                        "None", "none", "-", "--", "#N/A"}

# Names the module uses for its own counts.
RESERVED = {"", "NA", "other"}

INT_MAX = 2**31 - 1


class InputError(Exception):
    """A problem with what the user gave us: exit status 2."""


def load_patterns(path: str) -> Dict[str, List[str]]:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as e:
        raise InputError(f"cannot read patterns file '{path}': {e.strerror}")
    except ValueError as e:  # bad JSON or bad UTF-8
        raise InputError(f"patterns file '{path}' is not valid JSON: {e}")
    if not isinstance(data, dict):
        raise InputError(f"patterns file '{path}' must hold an object {{type: [patterns]}}")
    table = {}
    for name, patterns in data.items():
        if isinstance(patterns, str):
            patterns = [patterns]
        if not isinstance(patterns, list) or not all(isinstance(p, str) for p in patterns):
            raise InputError(f"patterns file '{path}': type '{name}' needs a list of strings")
        if name in RESERVED:
            raise InputError(f"patterns file '{path}': '{name}' is not a usable type name")
        table[name] = patterns
    return table


def choose_verdict(counts: Dict[str, int], type_order: Sequence[str],
                   threshold: float) -> Tuple[str, Optional[float], int, List[Tuple[str, int]]]:
    """(verdict, share of the top type, non-NA cells, types to list beside it).

    Ties go to the type listed first in the table, and "other" comes last.
    """
    seen = {name: n for name, n in counts.items() if name != "NA" and n > 0}
    non_na = sum(seen.values())
    if non_na == 0:
        return "empty", None, 0, []
    rank = {name: i for i, name in enumerate(type_order)}
    ranked = sorted(seen.items(), key=lambda item: (-item[1], rank.get(item[0], len(rank)), item[0]))
    top, top_count = ranked[0]
    share = top_count / non_na
    if share < threshold:
        return "mixed", share, non_na, ranked
    return top, share, non_na, ranked[1:]


def printable(name: str) -> str:
    """The name with line breaks and other invisible characters escaped."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in name)


def render(path: str, inf: "quorvel_ext.Inf", type_order: Sequence[str], threshold: float) -> str:
    names = inf.col_names
    candidates = inf.get_col_type_candidates()
    rows_text = f"{inf.num_rows} data row" + ("" if inf.num_rows == 1 else "s")
    cols_text = f"{len(names)} column" + ("" if len(names) == 1 else "s")
    lines = [f"{path}: {rows_text}, {cols_text}"]
    if not names:
        return lines[0] + " (the file is empty)"
    headers = ("column", "verdict", "share", "non-NA", "NA", "runners-up")
    rows = []
    for name in dict.fromkeys(names):  # columns that share a name share counts
        counts = candidates[name]
        verdict, share, non_na, others = choose_verdict(counts, type_order, threshold)
        rows.append((printable(name), verdict, "-" if share is None else f"{share:.1%}",
                     str(non_na), str(counts.get("NA", 0)),
                     ", ".join(f"{t} {n}" for t, n in others) or "-"))
    widths = [max(len(row[i]) for row in (headers, *rows)) for i in range(len(headers) - 1)]
    right = (False, False, True, True, True)
    lines.append("")
    for row in (headers, *rows):
        cells = [cell.rjust(w) if r else cell.ljust(w) for cell, w, r in zip(row, widths, right)]
        lines.append("  ".join(cells + [row[-1]]).rstrip())
    lines.append("")
    lines.append(f"mixed: no type holds {threshold * 100:g}% of the non-NA cells; "
                 "other: matches no type")
    for name in dict.fromkeys(names):
        if names.count(name) > 1:
            lines.append(f"note: {names.count(name)} columns are named '{printable(name)}'; "
                         "their cells are counted together")
    return "\n".join(lines)


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Infer the type of each column of a CSV file.")
    parser.add_argument("csv", nargs="?", default=DEFAULT_CSV,
                        help="the CSV file (default: the bundled messy.csv)")
    parser.add_argument("--delimiter", default=",", help="one ASCII character; '\\t' or 'tab' for a tab")
    parser.add_argument("--na", action="append", metavar="TEXT",
                        help="a missing-value text; repeat for more (replaces the default set)")
    parser.add_argument("--patterns", metavar="FILE", help="JSON type table {type: [patterns]}")
    parser.add_argument("--extend-patterns", action="store_true",
                        help="add the --patterns table to the default one instead of replacing "
                             "it; a type in both gets the file's patterns as well")
    parser.add_argument("--threads", action="store_true", help="match cells on several threads")
    parser.add_argument("--types-file", metavar="PATH", help="also write the type of every cell here")
    parser.add_argument("--window", type=int, default=100000, metavar="N",
                        help="forget the remembered types every N rows; 0 never (default 100000)")
    parser.add_argument("--threshold", type=float, default=0.9,
                        help="share a type needs for a verdict other than mixed (default 0.9)")
    args = parser.parse_args(argv)
    if args.delimiter in ("\\t", "tab"):
        args.delimiter = "\t"
    if len(args.delimiter) != 1 or not args.delimiter.isascii() or args.delimiter in '"\r\n':
        parser.error(f"--delimiter must be one ASCII character other than a quote or line break, "
                     f"not {args.delimiter!r}")
    if args.extend_patterns and not args.patterns:
        parser.error("--extend-patterns needs --patterns FILE")
    if not 0 <= args.window <= INT_MAX:
        parser.error(f"--window must be between 0 and {INT_MAX}")
    if not 0 < args.threshold <= 1:
        parser.error("--threshold must be above 0 and at most 1")
    return args


def check_readable(path: str) -> None:
    if not os.path.exists(path):
        raise InputError(f"no such file: '{path}'")
    if os.path.isdir(path):
        raise InputError(f"'{path}' is a directory, not a CSV file")
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        raise InputError(f"cannot read '{path}': {e.strerror}")


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    prog = os.path.basename(sys.argv[0]) or "infer_types.py"
    try:
        check_readable(args.csv)
        types = {name: list(patterns) for name, patterns in DEFAULT_TYPES.items()}
        if args.patterns:
            extra = load_patterns(args.patterns)
            if not args.extend_patterns:
                types = {}
            for name, patterns in extra.items():
                types.setdefault(name, []).extend(patterns)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                inf = quorvel_ext.Inf(
                    filepath=args.csv, delimiter=args.delimiter, col_type_patterns=types,
                    na_values=set(DEFAULT_NA if args.na is None else args.na),
                    multithreading=args.threads, save_types_file=args.types_file is not None,
                    types_filepath=args.types_file or "", rolling_cache_window=args.window)
            except RuntimeError as e:
                raise InputError(f"bad pattern: {e}")
            try:
                inf.infer_types()
            except ValueError as e:  # for instance the types file is the input itself
                raise InputError(str(e))
        for warning in caught:
            print(f"{prog}: warning: {warning.message}", file=sys.stderr)
        report = render(args.csv, inf, list(types) + ["other"], args.threshold)
    except InputError as e:
        print(f"{prog}: error: {e}", file=sys.stderr)
        return 2
    except UnicodeDecodeError:
        print(f"{prog}: error: the header of '{args.csv}' is not valid UTF-8", file=sys.stderr)
        return 1
    except RuntimeError as e:
        print(f"{prog}: error: {args.csv}: {e}", file=sys.stderr)
        return 1
    print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
