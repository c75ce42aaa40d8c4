"""Passes over the CSV files that Debian packages ship, in every mode, compared.

Generated files only hold what their generator thought of; files that other
projects ship hold what their authors met: byte order marks, CR-only or mixed
row ends, ragged rows, quoted line breaks, Latin-1 headers. This script
downloads a handful of Debian packages (apt-get download, never installed),
unpacks them with dpkg-deb, and runs every .csv and .tsv file in them
(compressed ones unpacked first) through four passes: one thread and
multithreaded, each with the default cache window and with a window of 3 rows.
The type table's types share no text, so all four must agree on names, row
count and counts.

    .venv/bin/python bench/real_world.py                      # a temporary directory
    .venv/bin/python bench/real_world.py --cache-dir /tmp/rw  # kept and reused
    .venv/bin/python bench/real_world.py --packages r-cran-readr --verbose

Each file is checked in a child process, so a crash is reported against the
file and the run goes on. A header that is not UTF-8 makes col_names raise
UnicodeDecodeError: that is how the module reports such names, and it is noted
as a quirk of the file, not counted as a failure. The exit status is 1 when
passes disagree, a pass fails or a child dies.
"""

import argparse
import bz2
import collections
import csv
import gzip
import io
import json
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Debian 12 packages that ship data files: data sets of two statistics
# libraries, plot samples, and the test and example files of three R readers.
PACKAGES = ["python3-sklearn", "python3-statsmodels", "python-matplotlib-data",
            "r-cran-data.table", "r-cran-readr", "r-cran-vroom"]
DATA_SUFFIXES = (".csv", ".tsv")
UNPACKERS: Dict[str, Callable[[str], bytes]] = {
    ".gz": lambda path: gzip.open(path).read(),
    ".bz2": lambda path: bz2.open(path).read(),
    ".xz": lambda path: lzma.open(path).read(),
    ".zip": lambda path: read_single_member(path),
}

# No text matches two of these types, so the order in which a column tries
# them, and with it the cache window, cannot change a count.
TYPES = {
    "int": ["[-+]?[0-9]+"],
    "decimal": ["[-+]?[0-9]*\\.[0-9]+(?:[eE][-+]?[0-9]+)?", "[-+]?[0-9]+\\.?[eE][-+]?[0-9]+",
                "[-+]?[0-9]+\\."],
    "date": ["[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}", "[0-9]{1,2}/[0-9]{1,2}/[0-9]{2,4}"],
    "bool": ["(?i:true|false)", "T|F"],  # the first stays with Boost: (?i:) is not translated
}
NA_VALUES = {"", "NA", "N/A", "NaN", "nan", "null", "NULL", "."}
RUNS = [(False, 1000), (True, 1000), (False, 3), (True, 3)]  # (multithreading, window)


class DataFile(NamedTuple):
    package: str
    shipped: str  # path inside the package
    path: str  # the plain file that is passed
    delimiter: str
    archived: bool  # path is the unpacked copy of a compressed file


def read_single_member(path: str) -> bytes:
    with zipfile.ZipFile(path) as archive:
        members = [m for m in archive.namelist() if m.endswith(DATA_SUFFIXES)]
        return archive.read(members[0]) if len(members) == 1 else b""


# ---- Gathering -------------------------------------------------------------

def run_quietly(command: List[str], cwd: Optional[str] = None) -> subprocess.CompletedProcess:
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True)


def fetch(package: str, cache: str) -> Optional[str]:
    """Unpacks the package under cache/tree/PACKAGE; its version, or None if apt has none."""
    if run_quietly(["apt-cache", "show", package]).returncode != 0:
        return None
    debs = os.path.join(cache, "debs")
    os.makedirs(debs, exist_ok=True)
    deb = find_deb(debs, package)
    if deb is None:
        done = run_quietly(["apt-get", "download", package], cwd=debs)
        deb = find_deb(debs, package)
        if deb is None:
            raise SystemExit(f"apt-get download {package} failed: {done.stderr.strip()}")
    tree = os.path.join(cache, "tree", package)
    if not os.path.isdir(tree):
        # Unpacked beside and renamed, so that an interrupted run leaves no half tree to reuse.
        partial = tree + ".partial"
        shutil.rmtree(partial, ignore_errors=True)
        os.makedirs(partial)
        subprocess.run(["dpkg-deb", "-x", deb, partial], check=True)
        os.rename(partial, tree)
    return run_quietly(["dpkg-deb", "-f", deb, "Version"]).stdout.strip()


def find_deb(directory: str, package: str) -> Optional[str]:
    for name in sorted(os.listdir(directory)):
        if name.startswith(package + "_") and name.endswith(".deb"):
            return os.path.join(directory, name)
    return None


def gather(package: str, cache: str) -> List[DataFile]:
    """The package's data files, compressed ones unpacked under cache/files."""
    tree = os.path.join(cache, "tree", package)
    found = []
    for root, _, names in os.walk(tree):
        for name in sorted(names):
            shipped = os.path.join(root, name)
            plain, unpack = unpacked_name(name)
            if not plain.endswith(DATA_SUFFIXES):
                continue
            path = shipped
            if unpack:
                path = os.path.join(cache, "files", package, os.path.relpath(root, tree), plain)
                write_unpacked(path, unpack(shipped))
            delimiter = "\t" if plain.endswith(".tsv") else ","
            found.append(DataFile(package, "/" + os.path.relpath(shipped, tree), path, delimiter,
                                  unpack is not None))
    return sorted(found)


def unpacked_name(name: str):
    for suffix, unpack in UNPACKERS.items():
        if name.endswith(suffix):
            return name[:-len(suffix)], unpack
    return name, None


def write_unpacked(path: str, data: bytes) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# ---- One file, in a child process -------------------------------------------

def check_one(path: str, delimiter: str) -> None:
    """The child's side: the four passes over one file, as one JSON line."""
    import quorvel_ext

    results = []
    for multithreading, window in RUNS:
        inf = quorvel_ext.Inf(path, delimiter, TYPES, NA_VALUES, multithreading, False, "", window)
        results.append(outcome(inf))
    print(json.dumps(results))


def outcome(inf: Any) -> Dict[str, Any]:
    try:
        inf.infer_types()
    except Exception as error:  # noqa: BLE001 - reported, and the file counts as failed
        return {"pass_error": f"{type(error).__name__}: {error}"}
    result: Dict[str, Any] = {"num_rows": inf.num_rows}
    try:
        result["col_names"] = inf.col_names
        result["counts"] = inf.get_col_type_candidates()
    except UnicodeDecodeError as error:
        result["names_error"] = f"UnicodeDecodeError: {error}"
    return result


def run_child(data: DataFile, timeout: float) -> Dict[str, Any]:
    command = [sys.executable, os.path.abspath(__file__), "--check", data.path, data.delimiter]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"crash": f"no answer within {timeout:.0f} s"}
    if done.returncode != 0:
        return {"crash": f"exit status {done.returncode}: {done.stderr.strip()[-500:]}"}
    return {"runs": json.loads(done.stdout)}


# ---- Judging -----------------------------------------------------------------

def problems(runs: List[Dict[str, Any]]) -> List[str]:
    """What is wrong with the four passes over one file; empty when nothing is."""
    found = [f"run {RUNS[i]}: {r['pass_error']}" for i, r in enumerate(runs) if "pass_error" in r]
    for i, run in enumerate(runs[1:], 1):
        if run != runs[0]:
            keys = sorted(k for k in set(run) | set(runs[0]) if run.get(k) != runs[0].get(k))
            found.append(f"run {RUNS[i]} differs from run {RUNS[0]} in {', '.join(keys)}")
    first = runs[0]
    names = first.get("col_names")
    # Every row has at least one cell, so the first column counts one cell per
    # row, unless another column shares its name.
    if names and names.count(names[0]) == 1:
        total = sum(first["counts"][names[0]].values())
        if total != first["num_rows"]:
            found.append(f"first column counts {total} cells in {first['num_rows']} rows")
    return found


def quirks(data: DataFile, runs: List[Dict[str, Any]]) -> List[str]:
    """What makes the file unusual, read from its bytes with Python's own tools."""
    raw = open(data.path, "rb").read()
    found = []
    if raw.startswith(b"\xef\xbb\xbf"):
        names = runs[0].get("col_names")
        found.append(f"BOM (the first name reads {names[0]!r})" if names else "BOM")
    if raw.replace(b"\r\n", b"").count(b"\r"):
        found.append("CR-only line ends")
    if b"\r\n" in raw:
        found.append("CRLF")
    if b"\0" in raw:
        found.append("NUL bytes")
    if "names_error" in runs[0]:
        found.append("non-UTF-8 header (UnicodeDecodeError on names)")
    else:
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            found.append("non-UTF-8 data")
    found += shape_quirks(raw, data.delimiter, runs[0])
    return found


def shape_quirks(raw: bytes, delimiter: str, run: Dict[str, Any]) -> List[str]:
    rows = list(csv.reader(io.StringIO(raw.decode("latin-1"), newline=""), delimiter=delimiter))
    if not rows:
        return ["empty"]
    width = len(rows[0])
    found = []
    short = sum(1 for r in rows[1:] if 0 < len(r) < width)
    long = sum(1 for r in rows[1:] if len(r) > width)
    empty = sum(1 for r in rows[1:] if not r)
    if short or long:
        found.append(f"ragged rows ({short} short, {long} long)")
    if empty:
        found.append(f"empty lines ({empty})")
    if any("\n" in cell or "\r" in cell for r in rows for cell in r):
        found.append("line breaks in quoted cells")
    if width == 1 and len(rows) > 1:
        found.append("one column")
    if "num_rows" in run and run["num_rows"] != len(rows) - 1:
        found.append(f"row count differs from Python's csv module ({run['num_rows']} against "
                     f"{len(rows) - 1})")
    return found


# ---- The run -----------------------------------------------------------------

class Tally:
    def __init__(self) -> None:
        self.files = 0
        self.unpacked = 0
        self.bytes = 0
        self.rows = 0
        self.by_package: Dict[str, int] = collections.Counter()
        self.quirks: Dict[str, List[str]] = collections.defaultdict(list)
        self.failures: List[str] = []


def check_all(files: List[DataFile], timeout: float, verbose: bool) -> Tally:
    tally = Tally()
    for data in files:
        name = f"{data.package}:{data.shipped}"
        result = run_child(data, timeout)
        tally.files += 1
        tally.unpacked += data.archived
        tally.bytes += os.path.getsize(data.path)
        tally.by_package[data.package] += 1
        if "crash" in result:
            tally.failures.append(f"{name}: CRASH {result['crash']}")
            continue
        runs = result["runs"]
        tally.rows += runs[0].get("num_rows", 0)
        tally.failures += [f"{name}: {p}" for p in problems(runs)]
        for quirk in quirks(data, runs):
            kind, _, detail = quirk.partition(" (")
            tally.quirks[kind].append(f"{name} ({detail}" if detail else name)
        if verbose:
            print(f"  {name}: {runs[0].get('num_rows')} rows")
    return tally


def print_summary(versions: Dict[str, str], tally: Tally, seconds: float) -> None:
    print("packages:")
    for package, version in versions.items():
        print(f"  {package} {version}: {tally.by_package[package]} files")
    print(f"files: {tally.files} ({tally.unpacked} unpacked from archives), "
          f"{tally.bytes:,} bytes, {tally.rows:,} data rows, 4 passes each, {seconds:.1f} s")
    print("quirks:")
    for quirk, names in sorted(tally.quirks.items()):
        print(f"  {quirk}: {len(names)} files")
        for name in names:
            print(f"    {name}")
    if tally.failures:
        print("!!! CHECKS FAILED !!!")
        print("\n".join("  " + failure for failure in tally.failures))
    else:
        print("checks: all passes agree; no pass failed; no child died")


def cache_directory(requested: Optional[str]) -> str:
    if requested is None:
        return tempfile.mkdtemp(prefix="quorvel-real-world-")
    path = os.path.realpath(requested)
    if os.path.commonpath([path, REPO]) == REPO:
        raise SystemExit("the cache directory must lie outside the repository")
    os.makedirs(path, exist_ok=True)
    return path


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", default=",".join(PACKAGES), help="comma-separated")
    parser.add_argument("--cache-dir", help="kept and reused (default: a temporary directory)")
    parser.add_argument("--timeout", type=float, default=300, help="seconds per file (300)")
    parser.add_argument("--verbose", action="store_true", help="a line per file")
    parser.add_argument("--check", nargs=2, metavar=("FILE", "DELIMITER"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.check:
        check_one(*args.check)
        return 0
    cache = cache_directory(args.cache_dir)
    try:
        return run(args, cache)
    finally:
        if args.cache_dir is None:
            shutil.rmtree(cache)


def run(args: argparse.Namespace, cache: str) -> int:
    start = time.perf_counter()
    versions: Dict[str, str] = {}
    files: List[DataFile] = []
    for package in args.packages.split(","):
        version = fetch(package, cache)
        if version is None:
            print(f"skipped {package}: apt knows no such package")
            continue
        versions[package] = version
        files += gather(package, cache)
    tally = check_all(files, args.timeout, args.verbose)
    print_summary(versions, tally, time.perf_counter() - start)
    return 1 if tally.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
