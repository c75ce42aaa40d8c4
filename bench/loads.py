"""The report's four loaders against each library's own CSV reader, on the same file, in turns.

    .venv/bin/python bench/loads.py                        # 100 MB of the mixed shape, 3 rounds
    .venv/bin/python bench/loads.py --size-mb 1000         # a 1 GB file
    .venv/bin/python bench/loads.py --size-mb 2 --repeat 1 # a smoke run

The file is profiled once, and each round then runs every load once, each in
a fresh process that imports all four libraries before its clock starts:
`describe()` and `read_arrow()` together, `read_arrow()` alone (the report
given), pyarrow's `read_csv`, `read_pandas()`, pandas' `read_csv` on its
pyarrow engine, `read_polars()`, Polars' `read_csv`, `read_duckdb()` and
DuckDB's `CREATE TABLE ... AS SELECT * FROM read_csv(...)`; every one on all
cores, whole-file. The libraries' readers get the report's delimiter and
their defaults, save what each needs to read the file at all (see the
readers below).

It prints per load the median and best seconds, MB/s (MB = 10^6 bytes of the
file) at the median, the rows loaded, the peak resident memory (VmHWM)
grown during the load over the process before it, the size of the table
loaded, and the one over the other; then per pair the ratio of quorvel's
speed to the library's against its target, also as the median of each
round's own ratio, and the memory ratio of quorvel's load against its target.
Nothing fails on a slow figure. A quorvel load that fails ends the run with
its error; a library's reader that refuses the file is shown with its error
and its pair has no ratio.
"""

import argparse
import json
import os
import pathlib
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
from typing import Any, Callable, Dict, List, NamedTuple, Sequence, Tuple

import duckdb
import pandas  # type: ignore[import-untyped]
import polars
import pyarrow.compute  # type: ignore[import-untyped]  # read_arrow's, imported before the clock
import pyarrow.csv  # type: ignore[import-untyped]

import quorvel
from quorvel.describe import available_cores

import gen_csv
import run
import threads
from passes import peak_rss_kb

REPO = pathlib.Path(__file__).resolve().parents[1]
MB = gen_csv.MB
MIB = 1 << 20
TABLE = "t"


class Context(NamedTuple):
    """What a load in a child process is given."""

    path: str
    report: quorvel.Report
    connection: duckdb.DuckDBPyConnection  # in memory, for the DuckDB loads


# The libraries' own readers, each told only what it refuses the file without: the mixed shape
# has values holding line breaks, one row in 5000 cut short, and missing-value texts first met
# after a reader's sample.

def pyarrow_read_csv(context: Context) -> Any:
    options = pyarrow.csv.ParseOptions(delimiter=context.report.delimiter,
                                       newlines_in_values=True,
                                       invalid_row_handler=lambda row: "skip")
    return pyarrow.csv.read_csv(context.path, parse_options=options)


def pandas_read_csv(context: Context) -> Any:
    # pandas' pyarrow engine takes on_bad_lines from pandas 2.2 on, and refuses it before; it
    # has no newlines_in_values. A shape without short rows or quoted line breaks loads on both.
    skip = {"on_bad_lines": "skip"} if PANDAS_SKIPS_BAD_LINES else {}
    return pandas.read_csv(context.path, sep=context.report.delimiter, engine="pyarrow", **skip)


PANDAS_SKIPS_BAD_LINES = tuple(int(p) for p in pandas.__version__.split(".")[:2]) >= (2, 2)


def polars_read_csv(context: Context) -> Any:
    return polars.read_csv(context.path, separator=context.report.delimiter,
                           infer_schema_length=None)


def duckdb_read_csv(context: Context) -> None:
    # Skipping the rows cut short: null_padding would keep them, but DuckDB's parallel reader
    # refuses it on a file with quoted line breaks, and one thread would not be its own speed.
    context.connection.execute(
        f"CREATE TABLE {TABLE} AS SELECT * FROM read_csv(?, delim = ?, ignore_errors = true)",
        [context.path, context.report.delimiter]).fetchall()


class Load(NamedTuple):
    library: str  # the kind of table it fills, which tells how to size it
    run: Callable[[Context], Any]


# In the order of a round: each of quorvel's loads beside its library's reader.
LOADS: Dict[str, Load] = {
    "describe + read_arrow": Load("pyarrow", lambda c: quorvel.describe(c.path).read_arrow()),
    "pyarrow read_csv": Load("pyarrow", pyarrow_read_csv),
    "read_arrow": Load("pyarrow", lambda c: c.report.read_arrow()),
    "read_pandas": Load("pandas", lambda c: c.report.read_pandas()),
    "pandas read_csv": Load("pandas", pandas_read_csv),
    "read_polars": Load("polars", lambda c: c.report.read_polars()),
    "polars read_csv": Load("polars", polars_read_csv),
    "read_duckdb": Load("duckdb", lambda c: c.report.read_duckdb(c.connection, TABLE)),
    "duckdb read_csv": Load("duckdb", duckdb_read_csv),
}


def duckdb_size(connection: duckdb.DuckDBPyConnection) -> Tuple[int, int]:
    # DuckDB tells no table's size in memory: that of the table fetched as Arrow stands for it.
    table = connection.table(TABLE).arrow()
    return table.num_rows, table.nbytes


def polars_size(frame: polars.DataFrame) -> Tuple[int, int]:
    """A text column of Polars is a 16-byte view per cell, holding a text of 12 bytes or fewer
    inline, and the longer texts in buffers. estimated_size counts every text's bytes and no
    view: 1,000,000 texts of 8 bytes are estimated at 8 MB, and polars.from_arrow allocates
    16 MB of views for them (1.8 and 2.2 alike). Counted here: the views and the long texts."""
    size = 0
    for column in frame.get_columns():
        if column.dtype != polars.String:
            size += column.estimated_size()
            continue
        lengths = column.str.len_bytes()
        size += 16 * len(column) + int(lengths.filter(lengths > 12).sum() or 0)
    return frame.height, size


# The rows and bytes of what a load loaded, by library.
SIZES: Dict[str, Callable[[Any, Context], Tuple[int, int]]] = {
    "pyarrow": lambda table, _: (table.num_rows, table.nbytes),
    "pandas": lambda frame, _: (len(frame), int(frame.memory_usage(deep=True).sum())),
    "polars": lambda frame, _: polars_size(frame),
    "duckdb": lambda _, context: duckdb_size(context.connection),
}


class Pair(NamedTuple):
    own: str  # quorvel's load
    peer: str  # the library's reader
    targets: Tuple[float, ...]  # quorvel's speed over the library's, each to reach in turn


PAIRS = [Pair("describe + read_arrow", "pyarrow read_csv", (1.0, 1.5)),
         Pair("read_arrow", "pyarrow read_csv", ()),
         Pair("read_pandas", "pandas read_csv", (1.0,)),
         Pair("read_polars", "polars read_csv", (0.8,)),
         Pair("read_duckdb", "duckdb read_csv", (0.8,))]
OWN = {pair.own for pair in PAIRS}
# The most that a quorvel load's peak memory may grow, over the size of the table it loads.
MEMORY_TARGET = 1.5


# The child's side.

def child(name: str, path: str, report_file: str) -> int:
    """Runs one load and prints its figures as one JSON line, or its error."""
    with open(report_file, "rb") as f:
        context = Context(path, pickle.load(f), duckdb.connect())
    load = LOADS[name]
    before = peak_rss_kb()
    start = time.perf_counter()
    try:
        loaded = load.run(context)
    except Exception as error:
        traceback.print_exc()
        print(json.dumps({"error": f"{type(error).__name__}: {first_line(str(error))}"}))
        return 1
    seconds = time.perf_counter() - start
    peak = peak_rss_kb()
    rows, nbytes = SIZES[load.library](loaded, context)
    print(json.dumps({"seconds": seconds, "growth_kb": peak - before, "rows": rows,
                      "nbytes": nbytes}))
    return 0


def first_line(text: str) -> str:
    return next((line for line in text.splitlines() if line.strip()), "")


# The parent's side.

class Run(NamedTuple):
    seconds: float
    growth_kb: int  # of the peak resident memory during the load
    rows: int
    nbytes: int  # of the table loaded


class LoadFailed(Exception):
    def __init__(self, summary: str, stderr: str) -> None:
        super().__init__(summary)
        self.stderr = stderr


def measured(name: str, path: str, report_file: str) -> Run:
    done = subprocess.run([sys.executable, __file__, "--child", name, path, report_file],
                          capture_output=True, text=True)
    figures = json.loads(done.stdout.splitlines()[-1]) if done.stdout.strip() else {}
    if done.returncode != 0:
        raise LoadFailed(figures.get("error") or run.last_line(done.stderr), done.stderr)
    return Run(**figures)


def rounds(path: str, report_file: str, repeat: int) -> Tuple[Dict[str, List[Run]],
                                                               Dict[str, str]]:
    """Each load's runs, one a round in LOADS' order, and the error of each library's reader
    that refused the file, which is not run again."""
    runs: Dict[str, List[Run]] = {name: [] for name in LOADS}
    refused: Dict[str, str] = {}
    for _ in range(repeat):
        for name in LOADS:
            if name in refused:
                continue
            try:
                runs[name].append(measured(name, path, report_file))
            except LoadFailed as failed:
                if name in OWN:
                    raise SystemExit(f"{failed.stderr}\n{name} failed: {failed}")
                refused[name] = str(failed)
    return runs, refused


def print_loads(runs: Dict[str, List[Run]], refused: Dict[str, str], size: int) -> None:
    print(f"\n{'load':<22} {'median s':>9} {'best s':>8} {'MB/s':>7} {'rows':>10} "
          f"{'peak +MiB':>10} {'table MiB':>10} {'memory':>7}")
    for name, measures in runs.items():
        if name in refused:
            print(f"{name:<22} refused: {refused[name]}")
            continue
        seconds = [m.seconds for m in measures]
        median = statistics.median(seconds)
        print(f"{name:<22} {median:>9.3f} {min(seconds):>8.3f} {size / MB / median:>7.1f} "
              f"{measures[-1].rows:>10} {peak_growth(measures) / MIB:>10.1f} "
              f"{measures[-1].nbytes / MIB:>10.1f} {memory_ratio(measures):>6.2f}x")


def peak_growth(measures: List[Run]) -> int:
    """The highest growth of the runs, in bytes."""
    return max(m.growth_kb for m in measures) * 1024


def memory_ratio(measures: List[Run]) -> float:
    return peak_growth(measures) / measures[-1].nbytes


def print_pairs(runs: Dict[str, List[Run]], refused: Dict[str, str]) -> None:
    print(f"\n{'quorvel / library':<41} {'ratio':>6} {'by round':>9}  speed target; "
          f"memory (<= {MEMORY_TARGET:.1f}x)")
    for pair in PAIRS:
        memory = memory_ratio(runs[pair.own])
        memory_goal = f"memory {memory:.2f}x {verdict(memory <= MEMORY_TARGET)}"
        label = f"{pair.own} / {pair.peer}"
        if pair.peer in refused:
            print(f"{label:<41} {'n/a':>6} {'n/a':>9}  {pair.peer} refused; {memory_goal}")
            continue
        ratio = median_seconds(runs[pair.peer]) / median_seconds(runs[pair.own])
        by_round = statistics.median(
            peer.seconds / own.seconds for own, peer in zip(runs[pair.own], runs[pair.peer]))
        goals = ", ".join(f">= {target:.1f}x {verdict(ratio >= target)}"
                          for target in pair.targets) or "none"
        print(f"{label:<41} {ratio:>5.2f}x {by_round:>8.2f}x  {goals}; {memory_goal}")


def median_seconds(measures: List[Run]) -> float:
    return statistics.median(m.seconds for m in measures)


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


def versions() -> str:
    return ", ".join(f"{module.__name__} {module.__version__}"
                     for module in (pyarrow, pandas, polars, duckdb))


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mb", type=float, default=100)
    parser.add_argument("--shape", default="mixed", choices=sorted(gen_csv.SHAPES))
    parser.add_argument("--repeat", type=int, default=3, help="rounds of every load")
    parser.add_argument("--cache-dir", default=str(REPO / "build-bench" / "data"),
                        help="generated files")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    if args.child:
        return child(*args.child)
    data = pathlib.Path(args.cache_dir)
    data.mkdir(parents=True, exist_ok=True)
    path = threads.data_file(data, args.shape, args.size_mb)
    size = os.path.getsize(path)
    # Profiling reads the whole file, so that every load finds it in the page cache.
    report = quorvel.describe(path)
    print(f"file: {path} ({size / MB:.1f} MB), {available_cores()} cores, rounds in turns: "
          f"{args.repeat}, each load in a fresh process\n{versions()}")
    print(f"load average before: {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory(prefix="loads-") as folder:
        report_file = os.path.join(folder, "report.pickle")
        with open(report_file, "wb") as f:
            pickle.dump(report, f)
        runs, refused = rounds(path, report_file, args.repeat)
    print(f"load average after: {os.getloadavg()[0]:.1f}")
    print_loads(runs, refused, size)
    print_pairs(runs, refused)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
