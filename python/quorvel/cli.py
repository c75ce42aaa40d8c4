"""The `quorvel` command: a verdict per column of each CSV file, or its schema for a loader.

    quorvel orders.csv
    quorvel --format markdown orders.csv > table.md
    quorvel --schema sql --table orders orders.csv | duckdb shop.db
    quorvel 'landing/*.csv.gz' --jobs 8
    quorvel s3://bucket/huge.csv --scheduler tcp://scheduler:8786
    quorvel --threads 1 orders.csv

Exit status: 0 when every file was profiled (also when the reader of the
output went away early); 1 when a pass failed, ran out of memory or a header
is not UTF-8;
2 for bad arguments, a file that cannot be read or a bad type table (with
several files, the highest of the files' statuses); 130 when interrupted
with Ctrl-C.
"""

import argparse
import contextlib
import csv
import dataclasses
import glob
import json
import os
import re
import shutil
import sys
import time
from typing import (IO, TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, Tuple,
                    Union)

from . import terminal
from . import urls
from .describe import ONE_THREAD_BELOW, HeaderError, describe
from .display import printable
from .report import Report, json_document
from .terminal import Style

if TYPE_CHECKING:  # a run on one file has no use for the event loop or for a pool of processes
    import asyncio

    from .many import Group

SCHEMAS = ("pandas", "arrow", "polars", "duckdb", "sql", "frictionless")


class UsageError(Exception):
    """Something the user gave us is wrong: exit status 2."""


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parse_args(sys.argv[1:] if argv is None else argv)
    try:
        args.files = urls.expand(args.files, args.storage_options)
        with _connected(args.scheduler) as cluster:
            if len(args.files) > 1:
                return _profile_many(args, cluster)
            report = _profile(args.files[0], args, cluster)
        print("\n\n".join([_render(report, args)] + _legend([report], args)), flush=True)
    except KeyboardInterrupt:
        print("quorvel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Whoever read the output has gone; point stdout at nothing so that
        # the interpreter's own flush at exit stays quiet too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (UsageError, OSError, TypeError, ValueError, RuntimeError, MemoryError,
            ImportError) as e:
        print(f"quorvel: error: {_message_of(e)}", file=sys.stderr)
        return _status_of(e)
    return 0


def _message_of(error: Optional[Exception]) -> str:
    if isinstance(error, MemoryError):
        # A pass holds a row whole, so a row that never ends takes all there is.
        return "out of memory (does the input have a row without end, such as no line breaks?)"
    return str(error)


def _status_of(error: Exception) -> int:
    """2 for bad arguments or input, or a missing extra; 1 for a pass that failed (a source
    that broke off while read included) or ran out of memory, a header that does not decode,
    or the rest."""
    bad_input = isinstance(error, (UsageError, OSError, TypeError, ValueError, ImportError))
    failed = isinstance(error, (HeaderError, urls.SourceReadError))
    return 2 if bad_input and not failed else 1


@contextlib.contextmanager
def _connected(scheduler: Optional[str]) -> Iterator[Any]:
    """A client of the Dask scheduler at `scheduler`, or None without one."""
    if scheduler is None:
        yield None
        return
    try:
        import distributed
    except ImportError as e:
        raise ImportError(f"--scheduler needs Dask's distributed: pip install distributed ({e})")
    with distributed.Client(scheduler) as client:  # type: ignore[no-untyped-call]
        client.loop.asyncio_loop.set_exception_handler(_unless_sender_timer)
        yield client


def _unless_sender_timer(loop: "asyncio.AbstractEventLoop", context: Dict[str, Any]) -> None:
    """Reports what the client's event loop reports, except one timer of its own.

    When the scheduler drops the stream first, Client.close() leaves the stream's batched
    sender waiting on a timer; if the timer fires just as the loop stops, nothing takes its
    timeout, and the process would print "Future exception was never retrieved" on its way
    out of a run that succeeded."""
    import asyncio

    unretrieved = context.get("message", "").startswith("Future exception was never retrieved")
    if not (unretrieved and isinstance(context.get("exception"), asyncio.TimeoutError)):
        loop.default_exception_handler(context)


def _profile_many(args: argparse.Namespace, cluster: Any) -> int:
    from .many import describe_many

    if "-" in args.files:
        raise UsageError("standard input (-) cannot be read beside other files")
    bar = _progress_bar(sys.stderr, delay=0)
    # On a cluster, the files are spread over its workers, each file a task.
    executor = None if cluster is None else cluster.get_executor()
    try:
        many = describe_many(args.files, executor, jobs=args.jobs,
                             progress=bar.files_done if bar else None, **_options(args))
    finally:
        if bar is not None:
            bar.close()
    for failed in many.failed:
        shown = _message_of(failed.error)
        where = "" if failed.path in shown else f"{failed.path}: "
        print(f"quorvel: error: {where}{shown}", file=sys.stderr)
    if args.json:
        print(json_document([r.to_dict() for r in many.results]))
    else:
        reports = [r.report for r in many.results if r.report is not None]
        blocks = [_render(r, args) for r in reports]
        if not args.schema:
            blocks += [_render(g.report, args) for g in many.groups if len(g.files) > 1]
            blocks += _legend(reports, args) + _headers_note(many.groups)
        print("\n\n".join(blocks), flush=True)
    return max((_status_of(r.error) for r in many.failed if r.error), default=0)


def _headers_note(groups: Sequence["Group"]) -> List[str]:
    if len(groups) < 2:
        return []
    lines = [f"note: {len(groups)} different headers; only files with the same header are "
             "added up:"]
    for group in groups:
        more = f" and {len(group.files) - 1} more" if len(group.files) > 1 else ""
        names = ", ".join(printable(c.name) for c in group.report.columns)
        lines.append(f"  {group.files[0]}{more}: {names}")
    return ["\n".join(lines)]


def _parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="quorvel", description="Give each column of CSV files a type verdict, or a schema.",
        epilog="Exit status: 0 done, 1 a pass failed, 2 bad arguments or input, 130 interrupted.")
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="a CSV file or a glob of them; - for standard input")
    out = parser.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print the report as JSON")
    out.add_argument("--schema", choices=SCHEMAS, help="print the schema for a loader")
    out.add_argument("--format", choices=("text", "markdown"), default="text",
                     help="the table as text for a terminal, or as Markdown for an issue or a "
                     "pull request (default text)")
    parser.add_argument("--table", metavar="NAME", help="table name for --schema sql "
                        "(default: the file's name without its suffix)")
    parser.add_argument("--dialect", choices=("duckdb", "postgresql"), default="duckdb",
                        help="SQL dialect for --schema sql (default duckdb)")
    parser.add_argument("--types", metavar="FILE", help='JSON type table {"type": ["pattern"]}')
    parser.add_argument("--na", action="append", metavar="TEXT",
                        help="a missing-value text; repeat for more (replaces the default set)")
    parser.add_argument("--delimiter",
                        help="one ASCII character, '\\t' or 'tab' (default: sniffed)")
    parser.add_argument("--encoding", help="any text encoding Python knows, such as utf-8, "
                        "utf-16, cp1252 or shift_jis (default: detected from the first block)")
    parser.add_argument("--skip-rows", type=int, metavar="N",
                        help="lines before the table, comment lines included (default: sniffed)")
    parser.add_argument("--comment", metavar="MARKER",
                        help="the marker of comment lines before the table (default: sniffed)")
    parser.add_argument("--no-header", dest="header", action="store_const", const=False,
                        help="the first row is data (default: sniffed)")
    parser.add_argument("--names", type=_names, metavar="A,B,...",
                        help="the columns' names, comma-separated, in place of the header's")
    parser.add_argument("--threads", type=_thread_count, metavar="N",
                        help="threads for each pass: a number, or 'all' for every core, which a "
                        "bare --threads also means (default: one thread for a plain file below "
                        f"{ONE_THREAD_BELOW // 1_000_000} MB, every core otherwise)")
    parser.add_argument("--threshold", type=float, default=0.9,
                        help="share of the non-NA cells a verdict must cover (default 0.9)")
    parser.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="colour the table: auto, when standard output is a terminal and "
                        "NO_COLOR is unset or empty (default); always; never")
    parser.add_argument("--storage-option", action="append", type=_storage_option,
                        metavar="KEY=VALUE", dest="storage_options",
                        help="an option of the filesystem of URLs (s3://, gs://, https://), as "
                        "fsspec takes it; VALUE is read as JSON when it is JSON; repeat for more")
    parser.add_argument("--jobs", type=int, metavar="N",
                        help="files profiled at once, each in its own process (default: one per "
                        "core)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a Dask scheduler (tcp://host:8786): one file is counted in byte "
                        "ranges on its workers, several files are spread over them")
    args = parser.parse_args(_bare_threads_as_all(argv))
    if args.scheduler is not None and args.jobs is not None:
        parser.error("--jobs sizes a pool on this machine: with --scheduler the cluster's "
                     "workers count the files")
    if args.delimiter in ("\\t", "tab"):
        args.delimiter = "\t"
    args.files = _expanded(args.files)
    args.storage_options = dict(args.storage_options or [])
    return args


def _storage_option(text: str) -> Tuple[str, Any]:
    key, equals, value = text.partition("=")
    if not key or not equals:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, not {text!r}")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def _bare_threads_as_all(argv: Sequence[str]) -> List[str]:
    """argv with a --threads that no count follows spelt --threads=all, so that the file after it
    stays a file."""
    args = list(argv)
    for i, arg in enumerate(args):
        if arg == "--":
            break
        if arg == "--threads" and (i + 1 == len(args) or not _COUNT.fullmatch(args[i + 1])):
            args[i] = "--threads=all"
    return args


_COUNT = re.compile(r"[0-9]+|all")


def _names(text: str) -> List[str]:
    """The names of a comma-separated list, quotes as in a CSV row."""
    return next(csv.reader([text]), [""])


def _thread_count(text: str) -> object:
    """A count of threads, or True for every core."""
    if not _COUNT.fullmatch(text) or text.strip("0") == "":
        raise argparse.ArgumentTypeError(f"expected a number of threads or 'all', not {text!r}")
    return True if text == "all" else int(text)


def _expanded(names: Sequence[str]) -> List[str]:
    """Each glob replaced by the files it matches, sorted; a glob that matches none stays as it
    is and fails as a missing file would."""
    files = []
    for name in names:
        matches = [] if os.path.exists(name) else sorted(glob.glob(name))
        files += matches or [name]
    return files


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    types = _load_types(args.types) if args.types else None
    return dict(types=types, na=args.na, delimiter=args.delimiter, encoding=args.encoding,
                skip_rows=args.skip_rows, comment=args.comment, header=args.header,
                names=args.names, threads=args.threads, threshold=args.threshold,
                storage_options=args.storage_options or None)


def _profile(path: str, args: argparse.Namespace, cluster: Any) -> Report:
    options = _options(args)
    if cluster is not None:
        options["cluster"] = cluster
    if path != "-":
        return _describe_with_bar(path, options)
    # The engine reads standard input's descriptor itself, once, as it comes.
    report = _describe_with_bar(sys.stdin.fileno(), options)
    return dataclasses.replace(report, path="-")


def _describe_with_bar(path: Union[str, int], options: Dict[str, Any]) -> Report:
    bar = _progress_bar(sys.stderr)
    try:
        return describe(path, progress=bar, **options)
    finally:
        if bar is not None:
            bar.close()


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
    if args.schema == "polars":
        options = report.polars_options()
        overrides = {name: str(t) for name, t in options.pop("schema_overrides").items()}
        return json.dumps({**options, "schema_overrides": overrides}, indent=2,
                          ensure_ascii=False)
    name = args.table or os.path.splitext(os.path.basename(report.path))[0] or "data"
    if args.schema == "duckdb":
        return report.duckdb_sql(name)
    if args.schema == "sql":
        return report.to_sql(name, args.dialect)
    if args.schema == "frictionless":
        return json.dumps(report.to_frictionless(), indent=2, ensure_ascii=False)
    if args.format == "markdown":
        return terminal.markdown(report)
    return "\n".join(terminal.text_lines(report, _width(sys.stdout), Style(_coloured(args.color))))


def _legend(reports: Sequence[Report], args: argparse.Namespace) -> List[str]:
    """The legend of the tables, once for the whole run; other outputs have none."""
    if args.json or args.schema:
        return []
    if args.format == "markdown":
        legend = terminal.markdown_legend(reports)
    else:
        legend = "\n".join(terminal.legend_text(reports, _width(sys.stdout)))
    return [legend] if legend else []


def _width(stream: IO[str]) -> int:
    """The terminal's width when the output is one, else a fixed width that keeps a file's
    output the same wherever it goes."""
    if not stream.isatty():
        return terminal.DEFAULT_WIDTH
    return shutil.get_terminal_size((terminal.DEFAULT_WIDTH, 24)).columns


def _coloured(choice: str) -> bool:
    """Whether --color `choice` colours standard output; a choice given overrides NO_COLOR."""
    if choice == "auto":
        # NO_COLOR asks every program for plain output when it is set to anything but "".
        return sys.stdout.isatty() and os.environ.get("NO_COLOR", "") == ""
    return choice == "always"


class ProgressBar:
    """Draws how far a pass has read on a terminal, once it has run for `delay` seconds."""

    def __init__(self, stream: IO[str], delay: float) -> None:
        self.stream = stream
        self.shown_after = time.monotonic() + delay
        self.drawn = False

    def __call__(self, done: int, total: Optional[int], rows: int) -> None:
        if not self.drawn and time.monotonic() < self.shown_after:
            return
        bar = _bar(done / total) + " " if total else ""
        self.draw(f"{bar}{done / 1e6:,.1f} MB, {rows:,} rows")

    def files_done(self, done: int, total: int) -> None:
        """describe_many's progress: how many of the files have been profiled."""
        self.draw(f"{_bar(done / total)} {done}/{total} files")

    def draw(self, text: str) -> None:
        self.drawn = True
        self.stream.write(f"\r{text}\x1b[K")
        self.stream.flush()

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _progress_bar(stream: IO[str], delay: float = 0.5) -> Optional[ProgressBar]:
    """A bar for passes longer than `delay` seconds when `stream` is a terminal, else None."""
    return ProgressBar(stream, delay) if stream.isatty() else None


def _bar(fraction: float) -> str:
    filled = int(30 * min(fraction, 1.0))
    return f"[{'#' * filled}{'.' * (30 - filled)}] {fraction:4.0%}"
