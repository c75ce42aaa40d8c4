"""What the encoding of a file costs a pass: the same rows profiled as UTF-8, under a header
that repeats names, and in each encoding the engine decodes itself or leaves to Python. Each
run is a process of its own; prints its seconds and its own peak memory (VmHWM).

    python bench/encodings.py [rows]
"""
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The pass in a process of its own, which prints its peak memory in kB.
RUN = ("import quorvel, sys; quorvel.describe(sys.argv[1]); "
       "print(next(l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')))")
FILES = {"utf-8": ("a,b,c,d,e\n", "utf-8"), "repeated names": ("a,b,a,d,a\n", "utf-8"),
         "utf-16": ("a,b,c,d,e\n", "utf-16"), "utf-32": ("a,b,c,d,e\n", "utf-32"),
         "cp1252": ("a,b,€,d,e\n", "cp1252"), "euc-jp (Python)": ("a,b,東,d,e\n", "euc_jp")}


def write_files(folder: Path, rows: int) -> dict:
    rng = random.Random(1)
    body = "".join(f"{i},{rng.random():.6f},x{i % 97},2024-01-{i % 28 + 1:02d},{rng.randint(0, 999)}\n"
                   for i in range(rows))
    paths = {}
    for name, (header, encoding) in FILES.items():
        paths[name] = folder / (name.split()[0] + ".csv")
        paths[name].write_bytes((header + body).encode(encoding))
    return paths


def timed(path: Path) -> tuple:
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", RUN, str(path)], check=True,
                          capture_output=True, text=True)
    return time.perf_counter() - start, int(done.stdout.split()[-1]) / 1024


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 3_000_000
    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(Path(folder), rows)
        for round_ in range(2):
            for name, path in paths.items():
                seconds, peak = timed(path)
                size = path.stat().st_size / 1e6
                print(f"round {round_ + 1}: {name:16} {size:7.1f} MB  {seconds:6.2f} s  "
                      f"peak {peak:4.0f} MiB", flush=True)


if __name__ == "__main__":
    main()
