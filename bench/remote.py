"""describe() on a CSV file read from S3 and over HTTP on loopback, against the same file on disk.

    .venv/bin/python bench/remote.py                          # a 100 MB `mixed` file, best of 3
    .venv/bin/python bench/remote.py --file orders.csv --repeat 1
    .venv/bin/python bench/remote.py --size-mb 5 --sources local,http   # a quick look

The objects are served by the servers the URL tests start
(tests/python/loopback.py): moto's S3 and a plain HTTP server, both on threads
of this process on 127.0.0.1, so they take a share of the cores the pass runs
on, and their speed bounds the figures as a real store's network would. Each
describe() runs in a fresh Python process, which reports its seconds and its
peak resident memory (VmHWM, the interpreter and imports included); the
fastest run counts, its peak the highest of the runs. MB is 10^6 bytes.

Not a test: it prints figures and fails (exit status 1) only when a remote
source's report differs from the local file's. A source that describe() cannot
read yet shows `n/a` and the reason.
"""

import argparse
import json
import pathlib
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

import run
import threads

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))
from loopback import FolderServer, S3Server  # noqa: E402

SOURCES = ("local", "s3", "http")
BUCKET = "bench"

# One describe() in a fresh process: its seconds, its peak memory and what it counted.
CHILD = r"""
import json, sys, time
import quorvel
source, options = sys.argv[1], json.loads(sys.argv[2])
start = time.perf_counter()
report = quorvel.describe(source, **options)
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
counts = [[c.name, c.verdict, sorted(c.counts.items()), c.missing] for c in report.columns]
print(json.dumps({"seconds": seconds, "peak_kb": peak, "rows": report.rows, "counts": counts}))
"""


def main(argv: Sequence[str]) -> int:
    args = parse_args(argv)
    path = pathlib.Path(args.file) if args.file else generated(args)
    size = path.stat().st_size
    wanted = args.sources.split(",")
    print(f"{path} ({size / 1e6:.1f} MB); describe() in a fresh process, best of "
          f"{args.repeat}; servers on this machine's cores")
    with FolderServer(path.parent) as http, S3Server() as s3:
        targets = {"local": (str(path), {}),
                   "http": (http.url(path.name), {}),
                   "s3": (f"s3://{BUCKET}/{path.name}", {"storage_options": s3.storage_options})}
        if "s3" in wanted:
            s3.upload(path, f"{BUCKET}/{path.name}")
        measures = {name: best_of(args, *targets[name]) for name in SOURCES if name in wanted}
    print_figures(measures, size)
    return check_agreement(measures)


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--file", help="a CSV file to serve (default: a generated one)")
    parser.add_argument("--shape", default="mixed", help="gen_csv.py's shape for the file")
    parser.add_argument("--size-mb", type=float, default=100)
    parser.add_argument("--sources", default=",".join(SOURCES),
                        help=f"comma-separated, of {', '.join(SOURCES)}")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=600, help="seconds a pass may take")
    parser.add_argument("--cache-dir", default=str(REPO / "build-bench" / "data"))
    args = parser.parse_args(argv)
    unknown = set(args.sources.split(",")) - set(SOURCES)
    if unknown:
        parser.error(f"unknown sources: {', '.join(sorted(unknown))}")
    return args


def generated(args: argparse.Namespace) -> pathlib.Path:
    data = pathlib.Path(args.cache_dir)
    data.mkdir(parents=True, exist_ok=True)
    return pathlib.Path(threads.data_file(data, args.shape, args.size_mb))


def best_of(args: argparse.Namespace, source: str, options: Dict[str, Any]) -> run.Measure:
    """The fastest of --repeat passes over `source`, with the highest peak of them."""
    runs = [one_pass(source, options, args.timeout) for _ in range(args.repeat)]
    failed = next((m for m in runs if m.seconds is None), None)
    if failed is not None:
        return failed
    best = min(runs, key=lambda m: m.seconds or 0.0)
    best.peak_kb = max(m.peak_kb or 0 for m in runs)
    return best


def one_pass(source: str, options: Dict[str, Any], timeout: float) -> run.Measure:
    child = run.run_child([sys.executable, "-c", CHILD, source, json.dumps(options)], timeout,
                          run.child_env(None))
    if child.timed_out:
        return run.Measure(missing="timeout")
    if child.returncode != 0:
        return run.Measure(missing="n/a", result={"why": run.last_line(child.stderr)})
    result = json.loads(child.stdout)
    return run.Measure(seconds=result["seconds"], peak_kb=result["peak_kb"], result=result)


def print_figures(measures: Dict[str, run.Measure], size: int) -> None:
    rows: List[List[str]] = []
    for name, measure in measures.items():
        if measure.seconds is not None:
            measure.mbps = size / 1e6 / measure.seconds
        rows.append([name, run.format_rate(measure), run.format_seconds(measure),
                     run.format_mib(measure.peak_kb)])
    run.print_table("describe()", ["source", "MB/s", "best", "peak MiB"], rows)
    for name, measure in measures.items():
        if "why" in measure.result:
            print(f"  {name}: {measure.result['why']}")


def check_agreement(measures: Dict[str, run.Measure]) -> int:
    """1 when a source's rows or counts differ from the local file's, else 0."""
    local = measures.get("local")
    reference = _counted(local) if local is not None else None
    differing = [name for name, measure in measures.items()
                 if reference is not None and _counted(measure) not in (None, reference)]
    for name in differing:
        print(f"error: the report of {name} differs from the local file's", file=sys.stderr)
    return 1 if differing else 0


def _counted(measure: run.Measure) -> Optional[Tuple[Any, Any]]:
    if measure.seconds is None:
        return None
    return measure.result["rows"], measure.result["counts"]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
