"""One pass over a generated file past 4 GiB, checked against what was written.

A pass keeps no part of the file, so nothing about it should change when byte
offsets no longer fit in 32 bits; this script makes such a file and checks
that a pass still counts every cell. The file is one block of rows written
over and over. Each block is built from a small table of cell texts whose
types are known (quoted fields with delimiters, doubled quotes and line breaks
inside, CR LF and LF row ends, missing-value texts), so the expected counts
are the block's counts times the number of blocks: no second reader is needed.

    .venv/bin/python bench/large_file.py                     # 4.5 GiB, one thread
    .venv/bin/python bench/large_file.py --threads           # and a multithreaded pass
    .venv/bin/python bench/large_file.py --size-gb 0.1 --keep --dir /tmp/big

Each pass runs in a fresh process that reports its own time and its peak
resident memory (VmHWM), so the figures are those of one pass. Not a test:
it takes minutes and needs the disk space. The exit status is 1 when a pass
did not return the counts that were written.
"""

import argparse
import csv
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

GIB = 1 << 30
MB = 1_000_000
BLOCK_ROWS = 16384

# Every text below is meant for exactly one of these types or for none, so the
# order in which a column tries them does not change a count. The patterns keep
# to syntax that Boost and Python's re read alike, which check_table() relies on.
TYPES = {
    "int": ["[-+]?[0-9]+"],
    "decimal": ["[-+]?[0-9]*\\.[0-9]+(?:[eE][-+]?[0-9]+)?"],
    "date": ["[0-9]{4}-[0-9]{2}-[0-9]{2}", "[0-9]{2}/[0-9]{2}/[0-9]{4}"],
    "bool": ["[Tt]rue|TRUE|[Ff]alse|FALSE|T|F"],
}
NA_VALUES = {"", "NA", "N/A", "null"}

# Header cell -> the cells of that column, as written in the file, with the
# type a pass must count each one as. The empty header cell is the module's
# first untitled column.
COLUMNS: Dict[str, List[Tuple[str, str]]] = {
    "count": [("0", "int"), ("17", "int"), ("-4", "int"), ("123456789012", "int"),
              ("NA", "NA"), ("twelve", "other")],
    '"price, net"': [("3.14", "decimal"), ("-0.5", "decimal"), ("6.02e23", "decimal"),
                     ('"1,234.50"', "other"), ("", "NA")],
    "day": [("2024-01-31", "date"), ("1999-12-31", "date"), ("31/12/1999", "date"),
            ("yesterday", "other"), ("null", "NA"), ('"2024-02-29"', "date")],
    "flag": [("true", "bool"), ("FALSE", "bool"), ("T", "bool"), ("maybe", "other"),
             ("", "NA")],
    "note": [('"say ""hi"""', "other"), ('"line one\r\nline two"', "other"), ('"a,b"', "other"),
             ("plain", "other"), ('"42"', "int"), ('"\n"', "other")],
    "mixed": [("NA", "NA"), ("7", "int"), ("7.5", "decimal"), ('""', "NA"), ("N/A", "NA")],
    "": [("1", "int"), ("x", "other"), ("", "NA")],
}

Counts = Dict[str, Dict[str, int]]


def unquote(written: str) -> str:
    """The text of one written cell, as the csv module reads it."""
    rows = list(csv.reader(io.StringIO(written, newline="")))
    return rows[0][0] if rows and rows[0] else ""


def column_names() -> List[str]:
    names, untitled = [], 0
    for header in COLUMNS:
        if not header:
            untitled += 1
        names.append(unquote(header) or f"Unitled_{untitled}")
    return names


def check_table() -> None:
    """Fails before any byte is written if a label in COLUMNS is wrong."""
    for cells in COLUMNS.values():
        for written, label in cells:
            text = unquote(written)
            found = ["NA"] if text in NA_VALUES else [
                name for name, patterns in TYPES.items()
                if any(re.fullmatch(p, text) for p in patterns)] or ["other"]
            if found != [label]:
                raise SystemExit(f"table error: {written!r} is {found}, labelled {label!r}")


def make_block() -> Tuple[bytes, Counts]:
    """BLOCK_ROWS rows and the counts they hold, by column name.

    Each column steps through its texts at its own pace, so a row mixes texts
    in ever new combinations; every third row ends in CR LF.
    """
    names = column_names()
    counts: Counts = {name: dict.fromkeys([*TYPES, "other", "NA"], 0) for name in names}
    lines = []
    for r in range(BLOCK_ROWS):
        row = []
        for c, (name, cells) in enumerate(zip(names, COLUMNS.values())):
            written, label = cells[(r * (c + 1) + r // 7) % len(cells)]
            row.append(written)
            counts[name][label] += 1
        lines.append(",".join(row) + ("\r\n" if r % 3 == 0 else "\n"))
    return "".join(lines).encode(), counts


def generate(path: str, size: int) -> Dict[str, Any]:
    """Writes the header and whole blocks until the file holds `size` bytes."""
    block, block_counts = make_block()
    header = (",".join(COLUMNS) + "\n").encode()
    blocks = max(1, -(-(size - len(header)) // len(block)))
    start = time.perf_counter()
    with open(path, "wb", buffering=0) as f:
        f.write(header)
        for _ in range(blocks):
            f.write(block)
    expected = {name: {t: n * blocks for t, n in per.items()} for name, per in block_counts.items()}
    return {"seconds": time.perf_counter() - start, "bytes": os.path.getsize(path),
            "num_rows": blocks * BLOCK_ROWS, "col_names": column_names(), "counts": expected}


def status_kb(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def one_pass(path: str, multithreading: bool, window: int) -> None:
    """The child's side: one pass, its result and figures as one JSON line."""
    import quorvel_ext

    inf = quorvel_ext.Inf(path, ",", TYPES, NA_VALUES, multithreading, False, "", window)
    rss_before = status_kb("VmRSS")
    start = time.perf_counter()
    inf.infer_types()
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "rss_before_kb": rss_before,
                      "peak_kb": status_kb("VmHWM"), "num_rows": inf.num_rows,
                      "col_names": inf.col_names, "counts": inf.get_col_type_candidates()}))


def run_pass(path: str, multithreading: bool, window: int) -> Dict[str, Any]:
    # A fresh process, so that VmHWM is this pass's and not the generator's.
    command = [sys.executable, os.path.abspath(__file__), "--pass", path, "--window", str(window)]
    if multithreading:
        command.append("--mt")
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        return {"error": f"exit status {done.returncode}: {done.stderr.strip()[-2000:]}"}
    return json.loads(done.stdout)


def differences(got: Dict[str, Any], expected: Dict[str, Any]) -> List[str]:
    if "error" in got:
        return [got["error"]]
    found = []
    for key in ("num_rows", "col_names"):
        if got[key] != expected[key]:
            found.append(f"{key}: got {got[key]!r}, wrote {expected[key]!r}")
    for name, counts in expected["counts"].items():
        if got["counts"].get(name) != counts:
            found.append(f"column {name!r}: got {got['counts'].get(name)}, wrote {counts}")
    return found


def report_pass(label: str, got: Dict[str, Any], size: int) -> None:
    if "error" in got:
        print(f"{label}: FAILED TO RUN")
        return
    growth = (got["peak_kb"] - got["rss_before_kb"]) / 1024
    print(f"{label}: {got['seconds']:.1f} s, {size / MB / got['seconds']:.0f} MB/s, "
          f"peak RSS {got['peak_kb'] / 1024:.1f} MiB ({growth:+.1f} MiB over the set-up)")


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-gb", type=float, default=4.5, help="file size in GiB (4.5)")
    parser.add_argument("--keep", action="store_true", help="keep the file and print its path")
    parser.add_argument("--threads", action="store_true", help="also run a multithreaded pass")
    parser.add_argument("--window", type=int, default=1000, help="rolling cache window (1000)")
    parser.add_argument("--dir", help="where to write the file (a new temporary directory)")
    parser.add_argument("--pass", dest="pass_file", help=argparse.SUPPRESS)
    parser.add_argument("--mt", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.pass_file:
        one_pass(args.pass_file, args.mt, args.window)
        return 0
    check_table()
    size = int(args.size_gb * GIB)
    directory = args.dir or tempfile.mkdtemp(prefix="quorvel-large-")
    os.makedirs(directory, exist_ok=True)
    if shutil.disk_usage(directory).free < size + GIB:
        print(f"not enough free space in {directory} for {size} bytes", file=sys.stderr)
        return 2
    path = os.path.join(directory, "large.csv")
    try:
        return check_file(path, size, args)
    finally:
        if args.keep:
            print(f"kept {path}")
        else:
            remove(path, directory if not args.dir else None)


def remove(path: str, directory: Optional[str]) -> None:
    """Removes the file, and the directory when this script made it."""
    if os.path.exists(path):
        os.remove(path)
    if directory:
        os.rmdir(directory)


def check_file(path: str, size: int, args: argparse.Namespace) -> int:
    written = generate(path, size)
    print(f"file: {path}, {written['bytes']:,} bytes ({written['bytes'] / GIB:.2f} GiB, "
          f"{'past' if written['bytes'] > 1 << 32 else 'below'} 2^32), "
          f"{written['num_rows']:,} data rows, {len(written['col_names'])} columns")
    print(f"generation: {written['seconds']:.1f} s, "
          f"{written['bytes'] / MB / written['seconds']:.0f} MB/s")
    failures = []
    for multithreading in [False, True] if args.threads else [False]:
        label = f"pass, {'multithreaded' if multithreading else '1 thread'}, window {args.window}"
        got = run_pass(path, multithreading, args.window)
        report_pass(label, got, written["bytes"])
        failures += [f"{label}: {d}" for d in differences(got, written)]
    if failures:
        print("!!! COUNTS DIFFER FROM WHAT WAS WRITTEN !!!")
        print("\n".join(failures))
        return 1
    print("counts, names and rows: as written")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
