"""Where threads start to pay: one thread against every core, by shape and file size.

    .venv/bin/python bench/threads.py                          # all shapes, 0.1 to 64 MB
    .venv/bin/python bench/threads.py --shapes mixed,repeated --sizes 1,16 --repeat 9

The automatic choice of describe() and the command (quorvel.describe's
ONE_THREAD_BELOW) rests on these figures: below the size where the slowest
shape stops losing, a plain file is read on one thread.

Each pass is Inf.infer_types() with the package's default table, missing
values and window, as describe() runs it, in this process; the two modes take
turns, and each figure is the median of --repeat passes. Besides the shapes of
gen_csv.py there is `repeated`: one row of a dozen cells over and over, where
the cache of the single-threaded pass answers every cell and threads gain
least.
"""

import argparse
import os
import pathlib
import statistics
import sys
import time
from typing import List

import quorvel_ext
from quorvel.describe import ONE_THREAD_BELOW, available_cores
from quorvel.types import DEFAULT_NA, DEFAULT_TYPES

import gen_csv
import run

REPO = pathlib.Path(__file__).resolve().parents[1]
REPEATED_HEADER = b"id,code,n,price,day,at,flag,region,note,mail,share,fee\n"
REPEATED_ROW = (b"1001,0042,17,19.99,2024-03-04,2024-03-04 10:30:00,true,NORTH,see above,"
                b"a@example.com,25%,$4.99\n")


def main() -> int:
    args = parse_args()
    data = pathlib.Path(args.cache_dir)
    data.mkdir(parents=True, exist_ok=True)
    print(f"{available_cores()} cores; medians of {args.repeat} passes in turns; the automatic "
          f"choice reads plain files below {ONE_THREAD_BELOW / 1e6:g} MB on one thread\n")
    print(f"{'shape':<11} {'MB':>6} {'1 thread ms':>12} {'all cores ms':>13} {'speed-up':>9}")
    for shape in args.shapes.split(","):
        for size_mb in (float(s) for s in args.sizes.split(",")):
            path = data_file(data, shape, size_mb)
            one, every = timed_in_turns(path, args.repeat)
            print(f"{shape:<11} {size_mb:>6g} {one * 1e3:>12.1f} {every * 1e3:>13.1f} "
                  f"{one / every:>8.2f}x", flush=True)
    return 0


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--shapes", default="mixed,unique,repetitive,wide,narrow,repeated")
    parser.add_argument("--sizes", default="0.1,1,4,8,16,32,64", help="MB, comma-separated")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--cache-dir", default=str(REPO / "build-bench" / "data"))
    return parser.parse_args()


def data_file(data: pathlib.Path, shape: str, size_mb: float) -> str:
    path = data / f"{shape}-{size_mb:g}MB-{run.generator_version()}.csv"
    if not path.exists():
        partial = path.with_name(path.name + ".partial")
        if shape == "repeated":
            with open(partial, "wb") as f:
                f.write(REPEATED_HEADER)
                f.write(REPEATED_ROW * int(size_mb * 1e6 / len(REPEATED_ROW)))
        else:
            gen_csv.write_csv(shape, size_mb, str(partial))
        os.replace(partial, path)
    return str(path)


def timed_in_turns(path: str, repeat: int) -> List[float]:
    """Median seconds of a pass on one thread and on every core."""
    one: List[float] = []
    every: List[float] = []
    for _ in range(repeat):
        one.append(timed_pass(path, 1))
        every.append(timed_pass(path, available_cores()))
    return [statistics.median(one), statistics.median(every)]


def timed_pass(path: str, threads: int) -> float:
    inf = quorvel_ext.Inf(path, ",", DEFAULT_TYPES, set(DEFAULT_NA), threads > 1, False, "",
                          100_000)
    quorvel_ext._set_pass_threads(inf, threads)
    start = time.perf_counter()
    inf.infer_types()
    return time.perf_counter() - start


if __name__ == "__main__":
    sys.exit(main())
