"""Peak memory of a pass over a file whose first line is one huge cell.

The header's cells become the column names, which the pass keeps; a data row's
cells are counted and dropped. A file of one line of `--mib` MiB without a line
end (all header), and the same bytes as the one data row under a short header,
each get a pass in a fresh process, single-threaded and multithreaded. Printed
per pass: the peak resident memory during the pass (VmHWM, before anything is
asked of the object) and its growth over the process before the pass, in MiB
and as a multiple of the line's size; then the peak once `col_names` has been
read, which hands Python a copy of the names.

    .venv/bin/python bench/header_memory.py [--mib 500] [--dir /tmp]

The files are written to a temporary folder under `--dir` and deleted at the
end. Not a test: it needs `--mib` of disk, and memory for eight copies of the
line on a build from before the header was held twice at most.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

MIB = 1 << 20

# The peak resident memory of the process so far, for the child scripts of the benchmarks.
PEAK_MIB = """
def peak_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
"""

CHILD = """
import json, sys, quorvel_ext
""" + PEAK_MIB + """
path, mt = sys.argv[1], sys.argv[2] == "mt"
inf = quorvel_ext.Inf(path, ",", {"int": ["[0-9]+"]}, set(), mt, False, "", 1000)
before = peak_mib()
inf.infer_types()
during = peak_mib()
names = inf.col_names
print(json.dumps({"before": before, "during": during, "names": peak_mib(),
                  "longest_name": max(map(len, names)), "rows": inf.num_rows}))
"""


def write_line(path, mebibytes, header):
    block = b"7" * MIB
    with open(path, "wb") as f:
        if not header:
            f.write(b"a\n")
        for _ in range(mebibytes):
            f.write(block)


def one_pass(path, mt):
    done = subprocess.run([sys.executable, "-c", CHILD, path, mt], capture_output=True,
                          text=True)
    if done.returncode != 0:
        return None, done.stderr.strip()[-300:]
    return json.loads(done.stdout), ""


def report(label, figures, error, mebibytes):
    if figures is None:
        print(f"{label:<34} failed: {error}")
        return
    growth = figures["during"] - figures["before"]
    print(f"{label:<34} {figures['during']:7.0f} {growth:7.0f} {growth / mebibytes:6.2f}x"
          f" {figures['names']:9.0f}   rows {figures['rows']}, longest name"
          f" {figures['longest_name'] / MIB:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=500, help="the line's size")
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="header_memory_", dir=args.dir)
    try:
        print(f"one line of {args.mib} MiB; peak and growth in MiB, growth / line size")
        print(f"{'':<34} {'peak':>7} {'growth':>7} {'ratio':>7} {'+names':>9}")
        for header in (True, False):
            path = os.path.join(work, "header.csv" if header else "row.csv")
            write_line(path, args.mib, header)
            for mt in ("st", "mt"):
                label = (f"{'header' if header else 'data row'},"
                         f" {'1 thread' if mt == 'st' else 'threads'}")
                report(label, *one_pass(path, mt), args.mib)
            os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
