"""describe_many over copies of one file, against the same describe passes one after another.

The copies are real files, not links, so that each is read as a separate file
of a landing folder would be; both runs read them from the page cache. The
two runs must give the same reports, or the run fails (exit status 1).

    .venv/bin/python bench/many_files.py                          # 8 copies of a 50 MB file
    .venv/bin/python bench/many_files.py --copies 4 --size-mb 5   # a smoke run
"""

import argparse
import os
import resource
import shutil
import sys
import time
from typing import List, Sequence

import gen_csv
import quorvel

BUILD_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build-bench")


def copies_of(shape: str, size_mb: float, copies: int, folder: str) -> List[str]:
    """The copies, made from one generated file and kept for later runs."""
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, f"{shape}-{size_mb:g}MB.csv")
    if not os.path.exists(source):
        gen_csv.write_csv(shape, size_mb, source + ".part")
        os.replace(source + ".part", source)
    paths = []
    for n in range(copies):
        path = os.path.join(folder, f"{shape}-{size_mb:g}MB-copy{n}.csv")
        if not os.path.exists(path) or os.path.getsize(path) != os.path.getsize(source):
            shutil.copyfile(source, path)
        paths.append(path)
    return paths


def timed(run):
    """The result, the wall seconds, and the CPU seconds of this process and its children:
    on a shared machine their ratio says how many cores the run was given."""
    start, cpu = time.perf_counter(), _cpu_seconds()
    result = run()
    return result, time.perf_counter() - start, _cpu_seconds() - cpu


def _cpu_seconds() -> float:
    return sum(r.ru_utime + r.ru_stime for r in (resource.getrusage(resource.RUSAGE_SELF),
                                                 resource.getrusage(resource.RUSAGE_CHILDREN)))


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=8)
    parser.add_argument("--size-mb", type=float, default=50)
    parser.add_argument("--shape", default="mixed", choices=sorted(gen_csv.SHAPES))
    parser.add_argument("--jobs", type=int, help="describe_many's pool size (default: per core)")
    parser.add_argument("--cache-dir", default=os.path.join(BUILD_DIR, "data", "many"))
    args = parser.parse_args(argv)

    paths = copies_of(args.shape, args.size_mb, args.copies, args.cache_dir)
    total_mb = sum(os.path.getsize(p) for p in paths) / gen_csv.MB
    for path in paths:  # into the page cache, so neither run pays for the disk
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass
    print(f"{args.copies} copies of a {args.size_mb:g} MB '{args.shape}' file, {total_mb:.0f} MB; "
          f"{len(os.sched_getaffinity(0))} cores, load average {os.getloadavg()[0]:.1f}")

    in_turn, seconds_in_turn, cpu_in_turn = timed(lambda: [quorvel.describe(p) for p in paths])
    many, seconds_many, cpu_many = timed(lambda: quorvel.describe_many(paths, jobs=args.jobs))
    for name, seconds, cpu in (("describe, one file after another", seconds_in_turn, cpu_in_turn),
                               ("describe_many", seconds_many, cpu_many)):
        print(f"{name:33} {seconds:6.2f} s  {total_mb / seconds:6.1f} MB/s  "
              f"{cpu / seconds:.2f} cores busy  {total_mb / cpu:6.1f} MB per CPU second")
    print(f"speed-up of describe_many: {seconds_in_turn / seconds_many:.2f}x")
    if [r.report for r in many.results] != in_turn:
        print("describe_many's reports differ from describe's", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
