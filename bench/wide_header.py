"""Time and peak memory of describe() and the report's views for very wide headers.

Two shapes, each in a fresh process: `--repeated` columns that all share one name (each
renamed once, 'n', 'n.1', ...), and `--columns` distinct columns; each file holds a header
and `--rows` data rows of integers. Printed per shape: the seconds of describe(), then of
the text, JSON and HTML views together, and the peak resident memory (VmHWM) of the process.

    .venv/bin/python bench/wide_header.py [--repeated 20000] [--columns 100000] [--rows 2]

Not a test: the figures depend on the machine, and nothing fails on a slow one.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

from header_memory import PEAK_MIB

CHILD = """
import json, sys, time, quorvel
""" + PEAK_MIB + """
start = time.perf_counter()
report = quorvel.describe(sys.argv[1])
described = time.perf_counter()
views = len(str(report)) + len(report.to_json()) + len(report._repr_html_())
viewed = time.perf_counter()
print(json.dumps({"columns": len(report.columns), "describe_s": described - start,
                  "views_s": viewed - described, "peak_mib": peak_mib()}))
"""


def write_file(path: str, header: list, rows: int) -> None:
    width = len(header)
    with open(path, "w") as out:
        out.write(",".join(header) + "\n")
        for row in range(rows):
            out.write(",".join(str((row + c) % 1000) for c in range(width)) + "\n")


def measure(path: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, path], capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeated", type=int, default=20_000)
    parser.add_argument("--columns", type=int, default=100_000)
    parser.add_argument("--rows", type=int, default=2)
    args = parser.parse_args()
    shapes = {f"{args.repeated} repeated names": ["n"] * args.repeated,
              f"{args.columns} columns": [f"c{i}" for i in range(args.columns)]}
    with tempfile.TemporaryDirectory(prefix="wide-") as folder:
        for label, header in shapes.items():
            path = os.path.join(folder, "wide.csv")
            write_file(path, header, args.rows)
            figures = measure(path)
            print(f"{label:>24}: describe {figures['describe_s']:6.2f} s, views "
                  f"{figures['views_s']:6.2f} s, peak {figures['peak_mib']:7.1f} MiB "
                  f"({figures['columns']} columns)")


if __name__ == "__main__":
    main()
