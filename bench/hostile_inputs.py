"""Inputs that cost a pass time or memory out of proportion to their size.

Each case runs in a fresh process and prints its seconds, its peak RSS and
its return code:

  - missing values: 100,000 one-column rows at window 1, with 10,000 missing
    values against none (single-threaded); 10^6 missing values at window
    1000 over a 14 MB file;
  - one long cell (no row end), single-threaded against multithreaded; the
    two should be within 2x plus half a second of each other;
  - one long line: the peak should stay about twice its length;
  - `quorvel /dev/zero` under an address-space limit: one line on stderr and
    return code 1.

To compare two builds side by side, give the other build's interpreter:

    .venv/bin/python bench/hostile_inputs.py [--python /other/.venv/bin/python]
        [--cell-mb 200] [--line-mb 500]
"""
import argparse
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "build-bench")

CHILD = """
import resource, sys, time, quorvel_ext
path, window, na_count, mt = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "mt"
na = {f"n{k}" for k in range(na_count)}
inf = quorvel_ext.Inf(path, ",", {"int": ["[0-9]+"]}, na, mt, False, "", window)
start = time.perf_counter()
inf.infer_types()
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{seconds:.2f} {peak:.0f} {inf.num_rows}")
"""


def data_file(name, write):
    path = os.path.join(DATA, name)
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        with open(path + ".part", "wb") as f:
            write(f)
        os.replace(path + ".part", path)
    return path


def rows_file(rows):
    return data_file(f"hostile-rows-{rows}.csv", lambda f: f.write(
        b"a\n" + b"".join(b"%d\n" % (i % 5000) for i in range(rows))))


def long_line_file(megabytes):
    def write(f):
        f.write(b"a\n")
        block = b"7" * (1 << 20)
        for _ in range(megabytes):
            f.write(block)
    return data_file(f"hostile-line-{megabytes}mb.csv", write)


def run(python, label, path, window, na_count, mt):
    done = subprocess.run([python, "-c", CHILD, path, str(window), str(na_count), mt],
                          capture_output=True, text=True)
    if done.returncode != 0:
        print(f"{label:<44} rc {done.returncode}  {done.stderr.strip()[-200:]}")
        return
    seconds, peak, _ = done.stdout.split()
    print(f"{label:<44} {float(seconds):7.2f} s  peak {float(peak):7.0f} MiB  rc 0")


def dev_zero(python, limit_gib):
    def limit():
        size = limit_gib << 30
        resource.setrlimit(resource.RLIMIT_AS, (size, size))

    start = time.perf_counter()
    done = subprocess.run([python, "-m", "quorvel", "/dev/zero"], capture_output=True,
                          text=True, preexec_fn=limit, timeout=600)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    lines = done.stderr.strip().splitlines()
    print(f"{'quorvel /dev/zero, ' + str(limit_gib) + ' GiB address space':<44} {seconds:7.2f} s"
          f"  peak {peak:7.0f} MiB  rc {done.returncode}  stderr lines {len(lines)}:"
          f" {lines[-1] if lines else ''}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--cell-mb", type=int, default=200)
    parser.add_argument("--line-mb", type=int, default=500)
    parser.add_argument("--zero-gib", type=int, default=4)
    args = parser.parse_args()
    py = args.python
    small = rows_file(100_000)
    run(py, "100,000 rows, window 1, no missing values", small, 1, 0, "st")
    run(py, "100,000 rows, window 1, 10,000 missing values", small, 1, 10_000, "st")
    large = rows_file(3_000_000)
    run(py, "14 MB, window 1000, no missing values", large, 1000, 0, "st")
    run(py, "14 MB, window 1000, 10^6 missing values", large, 1000, 1_000_000, "st")
    cell = long_line_file(args.cell_mb)
    for mt in ("st", "mt"):
        run(py, f"one {args.cell_mb} MB cell, {'1 thread' if mt == 'st' else 'threads'}", cell,
            1000, 0, mt)
    line = long_line_file(args.line_mb)
    for mt in ("st", "mt"):
        run(py, f"one {args.line_mb} MB line, {'1 thread' if mt == 'st' else 'threads'}", line,
            1000, 0, mt)
    dev_zero(py, args.zero_gib)
    return 0


if __name__ == "__main__":
    sys.exit(main())
