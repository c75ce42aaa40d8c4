"""What the FIFO that rewrites a header costs a pass: the same rows profiled as given, under a
header that repeats names, and as UTF-16. Prints seconds and the peak memory of each run.

    python bench/feed_cost.py [rows]
"""
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

RUN = "import quorvel, sys; quorvel.describe(sys.argv[1])"


def write_files(folder: Path, rows: int) -> dict:
    rng = random.Random(1)
    body = "".join(f"{i},{rng.random():.6f},x{i % 97},2024-01-{i % 28 + 1:02d},{rng.randint(0, 999)}\n"
                   for i in range(rows))
    files = {"plain": ("a,b,c,d,e\n", "utf-8"), "repeated names": ("a,b,a,d,a\n", "utf-8"),
             "utf-16": ("a,b,c,d,e\n", "utf-16")}
    paths = {}
    for name, (header, encoding) in files.items():
        paths[name] = folder / (name.replace(" ", "_") + ".csv")
        paths[name].write_bytes((header + body).encode(encoding))
    return paths


def timed(path: Path) -> tuple:
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", RUN, str(path)], check=True)
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return time.perf_counter() - start, peak


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 3_000_000
    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(Path(folder), rows)
        for round_ in range(2):
            for name, path in paths.items():
                seconds, peak = timed(path)
                size = path.stat().st_size / 1e6
                print(f"round {round_ + 1}: {name:15} {size:7.1f} MB  {seconds:6.2f} s  "
                      f"peak so far {peak / 1024:.0f} MB")


if __name__ == "__main__":
    main()
