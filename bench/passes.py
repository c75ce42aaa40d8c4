"""One timed pass over a CSV file, run by bench/run.py in a fresh process.

A fresh process per pass keeps the passes from sharing caches, imports or
heap, so the peak memory of the process is that of one pass. The pass prints
one JSON line: the seconds the pass itself took (imports and set-up
excluded), the peak RSS before and after it, and what the pass found, so the
runner can compare results; a multithreaded module pass adds what its
pipeline did, the calling thread's serial seconds among it.

    passes.py module FILE [--window N] [--mt]   # quorvel_ext.Inf.infer_types()
    passes.py pure FILE [--window N]            # bench/pure_python.py
    passes.py pandas FILE                       # pandas.read_csv, a simpler job
    passes.py polars FILE                       # polars.read_csv, a simpler job
"""

import argparse
import json
import resource
import sys
import time
from typing import Any, Callable, Dict, List, NamedTuple, Sequence, Set

import pure_python

Result = Dict[str, Any]
Runner = Callable[[], Result]


class Job(NamedTuple):
    file: str
    window: int
    mt: bool
    patterns: Dict[str, List[str]]
    na_values: Set[str]


def module_pass(job: Job) -> Runner:
    import quorvel_ext

    inf = quorvel_ext.Inf(filepath=job.file, delimiter=",", col_type_patterns=job.patterns,
                          na_values=job.na_values, multithreading=job.mt, save_types_file=False,
                          types_filepath="", rolling_cache_window=job.window)

    def run() -> Result:
        inf.infer_types()
        result = {"num_rows": inf.num_rows, "col_names": inf.col_names,
                  "counts": inf.get_col_type_candidates()}
        if job.mt:
            result["pass_stats"] = quorvel_ext._pass_stats(inf)
        return result
    return run


def pure_pass(job: Job) -> Runner:
    def run() -> Result:
        result = pure_python.infer(job.file, job.patterns, job.na_values, job.window)
        return {"num_rows": result.num_rows, "col_names": result.col_names,
                "counts": result.counts}
    return run


def pandas_pass(job: Job) -> Runner:
    import pandas

    def run() -> Result:
        # Whole columns at once, so the dtypes are decided on every row,
        # as the counts are; only the given texts are missing values.
        frame = pandas.read_csv(job.file, na_values=sorted(job.na_values),
                                keep_default_na=False, low_memory=False)
        return {"num_rows": len(frame), "dtypes": {str(c): str(t) for c, t in frame.dtypes.items()}}
    return run


def polars_pass(job: Job) -> Runner:
    import polars

    def run() -> Result:
        frame = polars.read_csv(job.file, null_values=sorted(job.na_values),
                                infer_schema_length=None)
        return {"num_rows": frame.height, "threads": polars.thread_pool_size(),
                "dtypes": {c: str(t) for c, t in frame.schema.items()}}
    return run


PASSES = {"module": module_pass, "pure": pure_pass, "pandas": pandas_pass, "polars": polars_pass}


def peak_rss_kb() -> int:
    """The high-water mark of this process image's resident memory, in KiB.

    Not ru_maxrss: Linux carries the parent's high-water mark over fork and
    exec into it, so a child of a large runner would report the runner's.
    VmHWM belongs to the address space that exec created.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description="One timed pass over a CSV file.")
    parser.add_argument("kind", choices=sorted(PASSES))
    parser.add_argument("file")
    parser.add_argument("--types", default=pure_python.TYPES_JSON)
    parser.add_argument("--window", type=int, default=1000)
    parser.add_argument("--mt", action="store_true", help="multithreaded module pass")
    args = parser.parse_args(argv)
    patterns, na_values = pure_python.load_types(args.types)
    run = PASSES[args.kind](Job(args.file, args.window, args.mt, patterns, na_values))
    rss_before = peak_rss_kb()
    start = time.perf_counter()
    result = run()
    result["seconds"] = time.perf_counter() - start
    result["rss_before_kb"] = rss_before
    result["rss_peak_kb"] = peak_rss_kb()
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
