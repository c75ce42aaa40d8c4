"""The `quorvel` command: a verdict per column of each CSV file, or its schema for a loader.

    quorvel orders.csv
    quorvel --schema sql --table orders orders.csv | duckdb shop.db

Exit status: 0 when every file was profiled (also when the reader of the
output went away early); 1 when a pass failed or a header is not UTF-8;
2 for bad arguments, a file that cannot be read or a bad type table;
130 when interrupted with Ctrl-C.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
from typing import IO, Any, Dict, List, Optional, Sequence

from .describe import HeaderError, describe
from .report import Report

SCHEMAS = ("pandas", "arrow", "sql", "frictionless")


class UsageError(Exception):
    """Something the user gave us is wrong: exit status 2."""


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parse_args(sys.argv[1:] if argv is None else argv)
    try:
        outputs = [_render(_profile(path, args), args) for path in args.files]
        print(outputs[0] if len(outputs) == 1 or not args.json else
              "[\n" + ",\n".join(outputs) + "\n]", flush=True)
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Whoever read the output has gone; point stdout at nothing so that
        # the interpreter's own flush at exit stays quiet too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (UsageError, OSError, TypeError, ValueError) as e:
        print(f"quorvel: error: {e}", file=sys.stderr)
        return 1 if isinstance(e, HeaderError) else 2
    except RuntimeError as e:
        print(f"quorvel: error: {e}", file=sys.stderr)
        return 1
    return 0


def _parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="quorvel", description="Give each column of CSV files a type verdict, or a schema.",
        epilog="Exit status: 0 done, 1 a pass failed, 2 bad arguments or input, 130 interrupted.")
    parser.add_argument("files", nargs="+", metavar="FILE", help="a CSV file; - for standard input")
    out = parser.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print the report as JSON")
    out.add_argument("--schema", choices=SCHEMAS, help="print the schema for a loader")
    parser.add_argument("--table", metavar="NAME", help="table name for --schema sql "
                        "(default: the file's name without its suffix)")
    parser.add_argument("--dialect", choices=("duckdb", "postgresql"), default="duckdb",
                        help="SQL dialect for --schema sql (default duckdb)")
    parser.add_argument("--types", metavar="FILE", help='JSON type table {"type": ["pattern"]}')
    parser.add_argument("--na", action="append", metavar="TEXT",
                        help="a missing-value text; repeat for more (replaces the default set)")
    parser.add_argument("--delimiter", help="one ASCII character, '\\t' or 'tab' (default: sniffed)")
    parser.add_argument("--threads", action="store_true", help="match new texts on several threads")
    parser.add_argument("--threshold", type=float, default=0.9,
                        help="share of the non-NA cells a verdict must cover (default 0.9)")
    args = parser.parse_args(argv)
    if args.delimiter in ("\\t", "tab"):
        args.delimiter = "\t"
    return args


def _profile(path: str, args: argparse.Namespace) -> Report:
    types = _load_types(args.types) if args.types else None
    options: Dict[str, Any] = dict(types=types, na=args.na, delimiter=args.delimiter,
                                   threads=args.threads, threshold=args.threshold)
    if path != "-":
        return describe(path, progress=_progress_bar(sys.stderr), **options)
    # The pass reads its input twice over (a first block to sniff, then the
    # whole), so standard input is spooled to a file first.
    with tempfile.NamedTemporaryFile(prefix="quorvel-stdin-", suffix=".csv") as spool:
        shutil.copyfileobj(sys.stdin.buffer, spool)
        spool.flush()
        report = describe(spool.name, progress=_progress_bar(sys.stderr), **options)
    return Report(**{**report.__dict__, "path": "-"})


def _load_types(path: str) -> Dict[str, List[str]]:
    try:
        with open(path, encoding="utf-8") as f:
            table = json.load(f)
    except ValueError as e:
        raise UsageError(f"types file '{path}' is not valid JSON: {e}") from None
    if not isinstance(table, dict):
        raise UsageError(f"types file '{path}' must hold an object {{\"type\": [\"pattern\"]}}")
    return {name: [p] if isinstance(p, str) else p for name, p in table.items()}


def _render(report: Report, args: argparse.Namespace) -> str:
    if args.json:
        return report.to_json()
    if args.schema == "pandas":
        return json.dumps(report.to_pandas(), indent=2, ensure_ascii=False)
    if args.schema == "arrow":
        return str(report.to_arrow())
    if args.schema == "sql":
        name = args.table or os.path.splitext(os.path.basename(report.path))[0] or "data"
        return report.to_sql(name, args.dialect)
    if args.schema == "frictionless":
        return json.dumps(report.to_frictionless(), indent=2, ensure_ascii=False)
    return str(report)


def _progress_bar(stream: IO[str]) -> Optional[Any]:
    """A callback drawing a bar on `stream` once a pass has run half a second; None off a terminal."""
    if not stream.isatty():
        return None
    start = time.monotonic()
    drawn = [False]

    def draw(done: int, total: Optional[int], rows: int) -> None:
        if time.monotonic() - start < 0.5 and not drawn[0]:
            return
        drawn[0] = True
        if total:
            filled = int(30 * min(done / total, 1.0))
            bar = f"[{'#' * filled}{'.' * (30 - filled)}] {done / total:4.0%} "
        else:
            bar = ""
        stream.write(f"\r{bar}{done / 1e6:,.1f} MB, {rows:,} rows\x1b[K")
        if total and done >= total:
            stream.write("\r\x1b[K")
        stream.flush()

    return draw
