"""describe(path, cluster=client) on LocalClusters of one and of two worker processes of one
thread each: the speed-up, the scheduler's overhead per range, each worker's memory at two file
sizes, the costs of one range's two tasks, and from them a projection for a large object on S3
over many workers.

Every cluster report must equal describe()'s on one machine (less how the file was split), or
the run fails (exit status 1).

    .venv/bin/python bench/cluster.py                   # a 1 GB file, about 8 minutes
    .venv/bin/python bench/cluster.py --size-mb 8 --range-mb 1 --tiny-ranges 50   # a smoke run
"""

import argparse
import dataclasses
import importlib
import os
import resource
import statistics
import subprocess
import sys
import time
from typing import Any, Callable, Dict, List, Sequence, Tuple

import distributed
import psutil

import gen_csv
import quorvel
import quorvel.cluster
from quorvel.describe import Settings
from quorvel.table import TableOptions

BUILD_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build-bench")
MIB = 1 << 20


def data_file(shape: str, size_mb: float, folder: str) -> str:
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, f"{shape}-{size_mb:g}MB.csv")
    if not os.path.exists(path):
        gen_csv.write_csv(shape, size_mb, path + ".part")
        os.replace(path + ".part", path)
    with open(path, "rb") as f:  # into the page cache, so that no run pays for the disk
        while f.read(1 << 24):
            pass
    return path


def timed(run: Callable[[], Any]) -> Tuple[Any, float]:
    start = time.perf_counter()
    result = run()
    return result, time.perf_counter() - start


def _rss_now() -> int:
    return psutil.Process().memory_info().rss


def _peak_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def on_cluster(path: str, workers: int, expected: quorvel.Report) -> Tuple[float, List[int], int]:
    """Seconds of the cluster's pass, each worker's peak memory above what it held before the
    pass, and the ranges; fresh worker processes, so that a peak is this pass's."""
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                       dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        _warm_up(client)
        before = client.run(_rss_now)
        report, seconds = timed(lambda: quorvel.describe(path, cluster=client))
        peaks = client.run(_peak_rss)
    if dataclasses.replace(report, ranges=None, unsplit=None) != expected:
        raise SystemExit(f"the report of {workers} workers differs from describe()'s")
    return seconds, [peaks[w] - before[w] for w in sorted(peaks)], report.ranges


# A pass that starts at a given time.time(), once the interpreter and the package are loaded,
# and prints when it ended.
_PASS_AT = """
import sys, time, quorvel
time.sleep(max(0.0, float(sys.argv[2]) - time.time()))
quorvel.describe(sys.argv[1], threads=1)
print(time.time())
"""


def two_processes_at_once(path: str) -> float:
    """Seconds until two processes, each counting the whole file with describe() on one thread
    and no cluster, both started at one moment, have both ended: against one such pass alone,
    what this machine's cores give two passes at once, the bound of any speed-up of two workers
    here."""
    at = time.time() + 3  # past the imports of both
    passes = [subprocess.Popen([sys.executable, "-c", _PASS_AT, path, repr(at)],
                               stdout=subprocess.PIPE, text=True) for _ in range(2)]
    ends = [float(p.communicate()[0]) for p in passes]
    if any(p.returncode != 0 for p in passes):
        raise SystemExit("a pass of the two at once failed")
    return max(ends) - at


def overhead_per_range(path: str, ranges: int, one_pass: float) -> float:
    """Seconds per range beyond the pass itself: the file cut into `ranges` tiny ranges on one
    worker, less the one-machine pass over it."""
    quorvel.cluster.RANGE_SIZE = max(1, os.path.getsize(path) // ranges)
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        _warm_up(client)
        report, seconds = timed(lambda: quorvel.describe(path, cluster=client))
    return (seconds - one_pass) / report.ranges


def _warm_up(client: Any) -> None:
    """Imports the package on each worker, which a first task would otherwise pay for."""
    client.run(importlib.import_module, "quorvel.cluster")


def range_costs(path: str, range_size: int) -> Tuple[float, float]:
    """Seconds of the first round's task and of the second round's over one range of the file,
    run in this process."""
    start = quorvel.describe(path)  # the columns' names
    settings = Settings(quorvel.DEFAULT_TYPES, frozenset(quorvel.DEFAULT_NA),
                        TableOptions(delimiter=","), None, 1, 0.9, 100_000, None)
    layout = quorvel.cluster.FileJob(path, None, settings, start.delimiter,
                                     [c.name for c in start.columns], "utf-8",
                                     os.path.getsize(path), None)
    end = min(range_size, layout.size)
    scan, scan_seconds = timed(lambda: quorvel.cluster.scan_range(layout, (0, end)))
    first_row = scan.found[0] or 0
    _, count_seconds = timed(lambda: quorvel.cluster.count_stretch(layout, 0, first_row, end))
    return scan_seconds, count_seconds


def projection(args: argparse.Namespace, scan: float, count: float, overhead: float) -> List[str]:
    """The wall time of a file of `args.project_gb` GB on `args.project_workers` workers that
    each read S3 at `args.s3_mbps` MB/s, from this machine's costs per range."""
    range_mb = args.range_mb
    ranges = args.project_gb * 1000 / range_mb
    waves = -(-ranges // args.project_workers)
    read = range_mb / args.s3_mbps  # each round reads its range once
    per_range = max(scan, read) + max(count, read)
    seconds = waves * per_range + ranges * overhead
    return [f"projection, {args.project_gb:g} GB on S3 over {args.project_workers} workers "
            f"({args.s3_mbps:g} MB/s each, assumed; {range_mb:g} MB ranges, {ranges:.0f} of "
            f"them, {waves:.0f} waves):",
            f"  per range: scan {max(scan, read):.2f} s, count {max(count, read):.2f} s "
            f"(the slower of the CPU here and the read); scheduler {overhead * 1000:.1f} ms",
            f"  about {seconds:.0f} s, {args.project_gb * 1000 / seconds:.0f} MB/s"]


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=float, default=1000)
    parser.add_argument("--shape", default="mixed", choices=sorted(gen_csv.SHAPES))
    parser.add_argument("--range-mb", type=float, default=quorvel.cluster.RANGE_SIZE / MIB)
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs of each worker count, taken in turns")
    parser.add_argument("--tiny-ranges", type=int, default=2000,
                        help="ranges of the run that measures the scheduler's overhead")
    parser.add_argument("--project-gb", type=float, default=100)
    parser.add_argument("--project-workers", type=int, default=32)
    parser.add_argument("--s3-mbps", type=float, default=90)
    parser.add_argument("--cache-dir", default=os.path.join(BUILD_DIR, "data", "cluster"))
    args = parser.parse_args(argv)

    path = data_file(args.shape, args.size_mb, args.cache_dir)
    small = data_file(args.shape, args.size_mb / 8, args.cache_dir)
    print(f"a {args.size_mb:g} MB '{args.shape}' file in {args.range_mb:g} MB ranges; "
          f"{len(os.sched_getaffinity(0))} cores, load average {os.getloadavg()[0]:.1f}")
    quorvel.cluster.RANGE_SIZE = int(args.range_mb * MIB)
    expected, one_pass = timed(lambda: quorvel.describe(path, threads=1))
    print(f"describe() on one thread      {one_pass:7.2f} s  {args.size_mb / one_pass:7.1f} MB/s")
    # This machine's timings swing by 20% from one run to the next, so the worker counts take
    # turns, and each is given by its best and its median run.
    seconds: Dict[int, List[float]] = {1: [], 2: []}
    for _ in range(args.repeat):
        for workers in (1, 2):
            taken, grown, ranges = on_cluster(path, workers, expected)
            seconds[workers].append(taken)
            print(f"cluster, {workers} worker(s) of 1 thread {taken:7.2f} s  "
                  f"{args.size_mb / taken:7.1f} MB/s  {ranges} ranges  worker memory "
                  f"grew {', '.join(f'{g / MIB:.0f}' for g in grown)} MiB")
    best = min(seconds[1]) / min(seconds[2])
    median = statistics.median(seconds[1]) / statistics.median(seconds[2])
    print(f"speed-up of 2 workers over 1: best {best:.2f}x, median {median:.2f}x "
          f"(target 1.8x)")
    both = two_processes_at_once(path)
    print(f"two describe() passes at once, no cluster: {both:.2f} s, {2 * one_pass / both:.2f}x "
          f"one pass alone (what two cores give two passes here)")
    _, grown_small, _ = on_cluster(small, 2, quorvel.describe(small, threads=1))
    print(f"worker memory at {args.size_mb / 8:g} MB: grew "
          f"{', '.join(f'{g / MIB:.0f}' for g in grown_small)} MiB (target: at most 100 MiB, "
          f"the same at any size)")

    small_pass = timed(lambda: quorvel.describe(small, threads=1))[1]
    overhead = overhead_per_range(small, args.tiny_ranges, small_pass)
    print(f"scheduler overhead per range: {overhead * 1000:.2f} ms")
    scan, count = range_costs(path, int(args.range_mb * MIB))
    print(f"one range on one core: scan {scan:.2f} s, count {count:.2f} s")
    print("\n".join(projection(args, scan, count, overhead)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
