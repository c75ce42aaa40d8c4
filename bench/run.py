"""The benchmark suite in one command: throughput and peak memory of a pass.

For each shape of file (bench/gen_csv.py) it times, on the same file: the CSV
tokenizer alone and a byte-at-a-time reader of the same rows (the C++
tokenizer_bench), the module single-threaded and multithreaded at two cache
windows, the pure-Python equivalent (bench/pure_python.py) on a sample, and
pandas and polars reading the file as references. It then checks that every
pass that counts types got the same counts, and prints the figures, the
ratios, the serial stage of the multithreaded passes with the speed-up it
allows on 8 and 16 cores, and the peak memory of a pass on a small and a
large file.

    .venv/bin/python bench/run.py                  # 100 MB per shape
    .venv/bin/python bench/run.py --quick          # small files, a smoke run
    .venv/bin/python bench/run.py --shapes mixed,wide --size-mb 50 --large-mb 500

Every pass runs in a fresh process (bench/passes.py) and reports its own
peak RSS. Generated files are kept in build-bench/data, named by shape, size and
generator version, and reused. The exit status is 1 when a check failed.
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import re
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import gen_csv

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(BENCH_DIR)
BUILD_DIR = os.path.join(REPO, "build-bench")
TOKENIZER_BENCH = os.path.join(BUILD_DIR, "bench", "tokenizer_bench")
MATCHER_BENCH = os.path.join(BUILD_DIR, "bench", "matcher_bench")
PASSES = os.path.join(BENCH_DIR, "passes.py")
MB = gen_csv.MB
WINDOWS = (1000, 100000)

# Row key -> label, in table order.
ROWS = {
    "tokenizer": "tokenizer alone (CsvParser rows)",
    "bytewise": "byte-at-a-time state machine",
    "st1000": "module, 1 thread, window 1000",
    "st100000": "module, 1 thread, window 100000",
    "mt1000": "module, multithreaded, window 1000",
    "mt100000": "module, multithreaded, window 100000",
    "base1000": "baseline module, 1 thread, window 1000",
    "base100000": "baseline module, 1 thread, window 100000",
    "basemt1000": "baseline module, multithreaded, w 1000",
    "basemt100000": "baseline module, multithreaded, w 100000",
    "pure": "pure Python, window 1000 (sample)",
    "pure100000": "pure Python, window 100000 (sample)",
    "pandas": "pandas read_csv (simpler job)",
    "polars": "polars read_csv (simpler job)",
}
RATIOS = [
    ("module / baseline, 1 thread (w 1000)", "st1000", "base1000"),
    ("module / baseline, 1 thread (w 100000)", "st100000", "base100000"),
    ("module / baseline, multithreaded (w 1000)", "mt1000", "basemt1000"),
    ("module / baseline, multithreaded (w 100000)", "mt100000", "basemt100000"),
    ("module 1 thread / pure Python (w 1000)", "st1000", "pure"),
    ("module 1 thread / pure Python (w 100000)", "st100000", "pure100000"),
    ("multithreaded / 1 thread (w 1000)", "mt1000", "st1000"),
    ("multithreaded / 1 thread (w 100000)", "mt100000", "st100000"),
    ("window 100000 / 1000 (1 thread)", "st100000", "st1000"),
    ("tokenizer / byte-at-a-time", "tokenizer", "bytewise"),
    ("module 1 thread / tokenizer alone", "st1000", "tokenizer"),
]


@dataclass
class Measure:
    """One pass on one file: its rate, or why there is none."""

    mbps: Optional[float] = None
    seconds: Optional[float] = None
    file_bytes: int = 0
    peak_kb: Optional[int] = None
    before_kb: Optional[int] = None
    missing: str = ""  # "n/a", "failed", "timeout" when there is no figure
    result: Dict[str, Any] = field(default_factory=dict)


@dataclass
class ChildRun:
    returncode: int
    stdout: str
    stderr: str
    timed_out: bool


@dataclass
class ShapeReport:
    shape: str
    full: str
    sample: str
    rows: Dict[str, Measure] = field(default_factory=dict)
    sample_check: Optional[Measure] = None


class Bench:
    """The settings of a run and what it learned along the way."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.env = child_env(args.module_dir)
        self.baseline_env = child_env(args.baseline_module)
        self.problems: List[str] = []  # failed checks: the run fails
        self.notes: List[str] = []  # references that failed: reported only
        self.comparisons = 0
        self.memo: Dict[Tuple[str, ...], ChildRun] = {}
        self.module_error = ""
        self.missing_libs: Dict[str, str] = {}
        self.tokenizer_bench: Optional[str] = None

    # Files.

    def data_file(self, shape: str, size_mb: float) -> str:
        os.makedirs(self.args.cache_dir, exist_ok=True)
        path = os.path.join(self.args.cache_dir, f"{shape}-{size_mb:g}MB-{generator_version()}.csv")
        if not os.path.exists(path):
            start = time.perf_counter()
            # Write under a temporary name so that an interrupted run leaves no
            # truncated file to be reused.
            partial = path + ".partial"
            gen_csv.write_csv(shape, size_mb, partial)
            os.replace(partial, path)
            print(f"  generated {os.path.basename(path)} in {time.perf_counter() - start:.1f} s")
        return path

    # Children.

    def run(self, cmd: List[str], attempt: int = 0) -> ChildRun:
        """Runs cmd once per attempt and bench run; the same again gets the first answer."""
        key = (str(attempt),) + tuple(cmd)
        if key not in self.memo:
            self.memo[key] = run_child(cmd, self.args.timeout, self.env)
        return self.memo[key]

    def python_pass(self, kind: str, path: str, window: int = 1000, mt: bool = False,
                    env: Optional[Dict[str, str]] = None) -> Measure:
        if kind == "module" and self.module_error:
            return Measure(missing="n/a")
        if kind in self.missing_libs:
            return Measure(missing="n/a")
        cmd = self.pass_cmd(kind, path, window, mt, env)
        # Other work on the machine only ever slows a pass down, so every
        # kind of pass alike is timed by its fastest of a few fresh runs.
        best = Measure()
        for attempt in range(self.args.repeat):
            measure = self.one_pass(kind, path, cmd, attempt)
            if measure.mbps is None:
                return measure
            if best.seconds is None or measure.seconds < best.seconds:
                measure.peak_kb = max(measure.peak_kb, best.peak_kb or 0)
                best = measure
            else:
                best.peak_kb = max(best.peak_kb or 0, measure.peak_kb)
        return best

    def pass_cmd(self, kind: str, path: str, window: int, mt: bool,
                 env: Optional[Dict[str, str]]) -> List[str]:
        cmd = [sys.executable, PASSES, kind, path, "--types", self.args.types,
               "--window", str(window)] + (["--mt"] if mt else [])
        if env is not None:  # a key of its own, so the memo keeps the two builds apart
            cmd = ["env", "PYTHONPATH=" + env["PYTHONPATH"]] + cmd
        return cmd

    def alternate_builds(self, path: str, window: int, mt: bool) -> None:
        """Runs the module and the baseline in turn, so that a drift of the
        shared machine's speed touches both alike; python_pass() then takes
        these runs from the memo."""
        if self.module_error:
            return
        for attempt in range(self.args.repeat):
            for env in (None, self.baseline_env):
                self.run(self.pass_cmd("module", path, window, mt, env), attempt)

    def one_pass(self, kind: str, path: str, cmd: List[str], attempt: int) -> Measure:
        child = self.run(cmd, attempt)
        measure = Measure(file_bytes=os.path.getsize(path))
        if child.timed_out or child.returncode != 0:
            measure.missing = "timeout" if child.timed_out else "failed"
            # The module and the pure-Python pass must cope with every file;
            # a reference library that cannot is only worth a note.
            failures = self.problems if kind in ("module", "pure") else self.notes
            failures.append(f"{kind} pass on {os.path.basename(path)} {measure.missing}: "
                            f"{last_line(child.stderr)}")
            return measure
        measure.result = json.loads(last_line(child.stdout, limit=None))
        seconds = measure.result.pop("seconds")
        measure.before_kb = measure.result.pop("rss_before_kb")
        measure.peak_kb = measure.result.pop("rss_peak_kb")
        measure.seconds, measure.mbps = seconds, measure.file_bytes / MB / seconds
        return measure

    def tokenizer_pass(self, path: str) -> Dict[str, Measure]:
        if self.tokenizer_bench is None:
            return {"tokenizer": Measure(missing="n/a"), "bytewise": Measure(missing="n/a")}
        child = self.run([self.tokenizer_bench, path])
        size = os.path.getsize(path)
        found = {m.group(1): m for m in TOKENIZER_LINE.finditer(child.stdout)}
        peak = PEAK_LINE.search(child.stdout)
        peak_kb = int(peak.group(1)) if peak else None
        out = {}
        for key, name in (("tokenizer", "tokenizer"), ("bytewise", "byte_at_a_time")):
            m = found.get(name)
            out[key] = (Measure(float(m.group(2)), float(m.group(3)), size, peak_kb,
                                result={"rows": int(m.group(4))})
                        if m else Measure(missing="failed", peak_kb=peak_kb))
        if child.returncode != 0 or "rows agree" not in child.stdout:
            self.problems.append(f"tokenizer_bench on {os.path.basename(path)}: "
                                 f"{last_line(child.stdout + child.stderr)}")
        return out


TOKENIZER_LINE = re.compile(
    r"^(\w+)\s+([\d.]+) MB/s\s+best of \d+: ([\d.]+) s\s+rows (\d+)", re.MULTILINE)
PEAK_LINE = re.compile(r"^peak RSS (\d+) KiB", re.MULTILINE)


# Running children.

def child_env(module_dir: Optional[str]) -> Dict[str, str]:
    env = dict(os.environ)
    if module_dir:
        paths = [os.path.abspath(module_dir)] + [p for p in [env.get("PYTHONPATH")] if p]
        env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run_child(cmd: List[str], timeout: float, env: Dict[str, str]) -> ChildRun:
    """Runs cmd to its end, or kills it at the timeout."""
    try:
        done = subprocess.run(cmd, capture_output=True, env=env, timeout=timeout, check=False)
    except subprocess.TimeoutExpired as e:
        return ChildRun(-1, "", decode(e.stderr), timed_out=True)
    return ChildRun(done.returncode, decode(done.stdout), decode(done.stderr), timed_out=False)


def decode(data: Optional[bytes]) -> str:
    return data.decode(errors="replace") if data else ""


def last_line(text: str, limit: Optional[int] = 300) -> str:
    lines = [line for line in text.strip().splitlines() if line.strip()]
    return lines[-1][:limit] if lines else "(no output)"


def generator_version() -> str:
    """Changes whenever gen_csv.py does, so cached files never outlive their generator."""
    with open(gen_csv.__file__, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()[:8]


# Set-up: machine, module, references, the C++ bench.

def machine_info() -> List[str]:
    cpu = read_first("/proc/cpuinfo", r"model name\s*:\s*(.*)") or platform.processor()
    mem = read_first("/proc/meminfo", r"MemTotal:\s*(\d+) kB")
    mem_text = f"{int(mem) / 2**20:.1f} GiB" if mem else "unknown"
    return [
        f"date      {datetime.datetime.now().astimezone().replace(microsecond=0).isoformat()}",
        f"machine   {platform.node()}: {os.cpu_count()} CPUs (nproc "
        f"{len(os.sched_getaffinity(0))}), {cpu}, {mem_text} RAM",
        f"system    {platform.platform()}",
        # Other work on the machine skews every figure; the load says how much.
        "load      {:.2f} {:.2f} {:.2f} (1, 5, 15 min)".format(*os.getloadavg()),
        f"python    {sys.version.split()[0]} ({sys.executable})",
        f"compiler  {command_line_of(['c++', '--version'])}",
    ]


def read_first(path: str, pattern: str) -> Optional[str]:
    try:
        with open(path) as f:
            m = re.search(pattern, f.read())
    except OSError:
        return None
    return m.group(1).strip() if m else None


def command_line_of(cmd: List[str]) -> str:
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, check=False).stdout
    except OSError:
        return "not found"
    return out.splitlines()[0] if out else "unknown"


def check_imports(bench: Bench) -> List[str]:
    """Which of the module and the references import; says where from or why not."""
    lines = []
    for name, label in (("quorvel_ext", "module"), ("pandas", "pandas"), ("polars", "polars")):
        code = f"import {name}; print(getattr({name}, '__version__', ''), {name}.__file__)"
        child = run_child([sys.executable, "-c", code], 120, bench.env)
        if child.returncode == 0:
            lines.append(f"{label:<9} {child.stdout.strip()}")
            continue
        reason = last_line(child.stderr)
        lines.append(f"{label:<9} NOT IMPORTABLE: {reason}; its rows are skipped")
        if name == "quorvel_ext":
            bench.module_error = reason
        else:
            bench.missing_libs[name] = reason
    return lines


def build_tokenizer_bench(no_build: bool) -> Optional[str]:
    """Brings tokenizer_bench up to date in build-bench; None if there is none to run."""
    built = no_build or run_build_steps()
    if not os.path.exists(TOKENIZER_BENCH):
        print("  no tokenizer_bench to run: the tokenizer rows are skipped")
        return None
    if not built:
        print(f"  timing the tokenizer_bench built before: {TOKENIZER_BENCH}")
    return TOKENIZER_BENCH


def run_build_steps() -> bool:
    steps = [["cmake", "--build", BUILD_DIR, "--target", "tokenizer_bench", "matcher_bench"]]
    if not os.path.exists(os.path.join(BUILD_DIR, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "-S", REPO, "-B", BUILD_DIR, "-DQUORVEL_BUILD_BENCH=ON",
                         "-DQUORVEL_BUILD_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"])
    for cmd in steps:
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, check=False)
        except OSError as e:
            print(f"  cannot run {cmd[0]}: {e}")
            return False
        if done.returncode != 0:
            print(f"  `{' '.join(cmd)}` failed:")
            print("    " + "\n    ".join((done.stdout + done.stderr).strip().splitlines()[-8:]))
            return False
    return True


def matcher_bench(bench: Bench, path: str) -> None:
    """Prints the matcher's figures on the distinct texts of the file."""
    if not os.path.exists(MATCHER_BENCH):
        print("  no matcher_bench to run")
        return
    with open(bench.args.types) as f:
        types = json.load(f)["types"]
    table = os.path.join(bench.args.cache_dir, "types.tsv")
    with open(table, "w") as f:
        f.writelines(f"{name}\t{p}\n" for name, patterns in types.items() for p in patterns)
    child = bench.run([MATCHER_BENCH, path, table])
    print(f"\n== matcher on the distinct texts of {os.path.basename(path)} (target: membership "
          "of all types <= 30 ns)")
    print("  " + "\n  ".join((child.stdout + child.stderr).strip().splitlines()))
    if child.returncode != 0:
        bench.problems.append(f"matcher_bench: {last_line(child.stderr)}")


# The passes of one shape and the checks on them.

def bench_shape(bench: Bench, shape: str) -> ShapeReport:
    args = bench.args
    print(f"\n== {shape}: {gen_csv.SHAPES[shape].__doc__}")
    full = bench.data_file(shape, args.size_mb)
    sample = bench.data_file(shape, min(args.sample_mb, args.size_mb))
    report = ShapeReport(shape, full, sample)
    for key, measure in bench.tokenizer_pass(full).items():
        record(report, key, measure)
    for mt in (False, True):
        for window in WINDOWS:
            if args.baseline_module:
                bench.alternate_builds(full, window, mt)
            record(report, f"{'mt' if mt else 'st'}{window}",
                   bench.python_pass("module", full, window, mt))
            if args.baseline_module:
                record(report, f"base{'mt' if mt else ''}{window}",
                       bench.python_pass("module", full, window, mt, env=bench.baseline_env))
    record(report, "pure", bench.python_pass("pure", sample))
    record(report, "pure100000", bench.python_pass("pure", sample, 100000))
    record(report, "pandas", bench.python_pass("pandas", full))
    record(report, "polars", bench.python_pass("polars", full))
    report.sample_check = bench.python_pass("module", sample)
    check_shape(bench, report)
    return report


def record(report: ShapeReport, key: str, measure: Measure) -> None:
    report.rows[key] = measure
    if measure.mbps is None:
        print(f"  {ROWS[key]:<40} {measure.missing:>9}")
        return
    print(f"  {ROWS[key]:<40} {format_rate(measure):>9} MB/s  {format_seconds(measure):>8}"
          f"  peak {format_mib(measure.peak_kb):>7} MiB")


def check_shape(bench: Bench, report: ShapeReport) -> None:
    """Every pass that counts must count alike at the same window; the row counts must agree too.

    Passes at different windows are compared only when no text of the file
    matches two types: with overlapping types the cache window decides which
    of them a repeated text counts under.
    """
    rows = report.rows
    for window in WINDOWS:
        counted = [(key, rows[key])
                   for key in (f"st{window}", f"mt{window}", f"base{window}", f"basemt{window}")
                   if key in rows and rows[key].result]
        for key, measure in counted[1:]:
            compare(bench, report.shape, f"{ROWS[counted[0][0]]} vs {ROWS[key]}",
                    counted[0][1].result, measure.result)
    firsts = [rows[f"st{window}"] for window in WINDOWS
              if f"st{window}" in rows and rows[f"st{window}"].result]
    if len(firsts) == 2 and not overlapping(rows.get("mt1000")):
        compare(bench, report.shape, f"{ROWS['st1000']} vs {ROWS['st100000']}",
                firsts[0].result, firsts[1].result)
    counted = firsts
    # Pure Python tries the types in the file's order, the module in its table's
    # own; where types overlap the first trial order decides some counts.
    if report.sample_check and report.sample_check.result and rows["pure"].result:
        if overlapping(rows.get("mt1000")):
            print("  pure Python unchecked: its first trial order is not the module's, which "
                  "decides counts where types overlap")
        else:
            compare(bench, report.shape, "module vs pure Python on the sample",
                    report.sample_check.result, rows["pure"].result)
    if counted and rows["tokenizer"].result:
        tokenizer_rows = rows["tokenizer"].result["rows"] - 1  # less the header
        if tokenizer_rows != counted[0].result["num_rows"]:
            bench.problems.append(f"{report.shape}: the tokenizer read {tokenizer_rows} data rows, "
                                  f"the module {counted[0].result['num_rows']}")


def overlapping(measure: Optional[Measure]) -> bool:
    """Whether a multithreaded pass had to resolve texts that match several types; True when
    it cannot tell."""
    stats = measure.result.get("pass_stats") if measure and measure.result else None
    return stats is None or not stats.get("counted_apart", 0)


def compare(bench: Bench, shape: str, what: str, a: Dict[str, Any], b: Dict[str, Any]) -> None:
    diffs = []
    if a["col_names"] != b["col_names"]:
        diffs.append(f"column names {a['col_names'][:5]}... vs {b['col_names'][:5]}...")
    if a["num_rows"] != b["num_rows"]:
        diffs.append(f"num_rows {a['num_rows']} vs {b['num_rows']}")
    for col in sorted(set(a["counts"]) | set(b["counts"])):
        ca, cb = a["counts"].get(col, {}), b["counts"].get(col, {})
        for kind in sorted(set(ca) | set(cb)):
            if ca.get(kind) != cb.get(kind):
                diffs.append(f"column {col!r} type {kind!r}: {ca.get(kind)} vs {cb.get(kind)}")
    if diffs:
        bench.problems.append(f"{shape}: COUNTS DIFFER, {what}: " + "; ".join(diffs[:6])
                              + (f" (and {len(diffs) - 6} more)" if len(diffs) > 6 else ""))
    else:
        print(f"  counts agree: {what}")
    bench.comparisons += 1


# Peak memory on a small and a large file.

def memory_check(bench: Bench, shape: str) -> List[Tuple[str, List[Measure]]]:
    args = bench.args
    files = [bench.data_file(shape, args.small_mb), bench.data_file(shape, args.large_mb)]
    rows = []

    def add(label: str, measures: List[Measure]) -> None:
        rows.append((label, measures))
        print(f"  {label:<40} " + "  ".join(format_peak(m).rjust(16) for m in measures))

    if bench.tokenizer_bench:
        add("C++ tokenizer_bench (both readers)",
            [bench.tokenizer_pass(f)["tokenizer"] for f in files])
    for window in WINDOWS:
        add(ROWS[f"st{window}"], [bench.python_pass("module", f, window) for f in files])
    add(ROWS["mt1000"], [bench.python_pass("module", f, 1000, True) for f in files])
    # The pure-Python pass streams like the module and would take minutes on
    # the large file, so it runs on the small one only.
    add("pure Python, window 1000",
        [bench.python_pass("pure", files[0]), Measure(missing="skipped")])
    for kind in ("pandas", "polars"):
        add(ROWS[kind], [bench.python_pass(kind, f) for f in files])
    return rows


# Formatting.

def format_rate(m: Measure) -> str:
    return f"{m.mbps:.1f}" if m.mbps is not None else m.missing or "-"


def format_seconds(m: Measure) -> str:
    return f"{m.seconds:.2f} s" if m.seconds is not None else ""


def format_mib(kb: Optional[int]) -> str:
    return f"{kb / 1024:.1f}" if kb is not None else "-"


def format_ratio(a: Measure, b: Measure) -> str:
    if a.mbps is None or b.mbps is None:
        return "-"
    return f"{a.mbps / b.mbps:.2f}x"


def print_table(title: str, header: List[str], rows: List[List[str]]) -> None:
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    print(f"\n{title}")
    for row in [header] + rows:
        cells = [row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        print("  " + "  ".join(cells))


def print_summary(bench: Bench, reports: List[ShapeReport]) -> None:
    shapes = [r.shape for r in reports]
    na = Measure(missing="n/a")
    rates = [[ROWS[key]] + [format_rate(r.rows.get(key, na)) for r in reports] for key in ROWS]
    print_table(f"MB/s (10^6 bytes a second, higher is better), {bench.args.size_mb:g} MB files",
                ["pass"] + shapes, rates)
    ratios = [[label] + [format_ratio(r.rows.get(a, na), r.rows.get(b, na)) for r in reports]
              for label, a, b in RATIOS]
    print_table("Ratios of MB/s", ["ratio"] + shapes, ratios)
    if bench.args.sample_mb < bench.args.size_mb:
        print(f"\n(sample) pure Python ran on the first {bench.args.sample_mb:g} MB of each "
              "file (the smaller file of a shape is a byte\nprefix of the larger); its MB/s is "
              f"taken as the rate for the whole {bench.args.size_mb:g} MB file:")
        for r in reports:
            pure = r.rows["pure"]
            if pure.mbps:
                print(f"  {r.shape}: about {bench.args.size_mb / pure.mbps:.3g} s "
                      "for the whole file")
    print_serial_stage(reports)
    print("pandas and polars only parse the file and pick int, float, bool or string per "
          "column;\nthey hold the whole file in memory, and polars uses "
          f"{reference_threads(reports)} threads.")


AMDAHL_CORES = (8, 16)


def amdahl(serial_fraction: float, cores: int) -> float:
    """The speed-up over one thread that `cores` allow when that fraction stays serial."""
    return 1 / (serial_fraction + (1 - serial_fraction) / cores)


def print_serial_stage(reports: List[ShapeReport]) -> None:
    """The calling thread's own work in each multithreaded pass, against a 1-thread pass.

    That work (reading and cutting the input, then settling the chunks in file
    order: counting, or classifying with the workers' match sets) cannot run
    on the workers, so it bounds the speed-up on any number of cores.
    """
    rows = []
    for r in reports:
        for window in WINDOWS:
            mt, st = r.rows[f"mt{window}"], r.rows[f"st{window}"]
            stats = mt.result.get("pass_stats")
            if not stats or not st.seconds:
                continue
            fraction = serial_share(r, window)
            rows.append([f"{r.shape}, w {window}",
                         "workers count" if stats["counted_apart"] else "resolver",
                         f"{stats['read_seconds']:.3f} s", f"{stats['settle_seconds']:.3f} s",
                         f"{stats.get('link_seconds', 0.0):.3f} s", f"{100 * fraction:.1f}%"]
                        + [f"{amdahl(fraction, n):.1f}x" for n in AMDAHL_CORES])
    if rows:
        print_table("Serial stage of the multithreaded pass (calling thread), as a share of the "
                    "1-thread pass, and the speed-up it allows (Amdahl)",
                    ["pass", "settling", "read", "settle", "link (all threads)", "share"]
                    + [f"{n} cores" for n in AMDAHL_CORES], rows)


# The targets of this run's figures: (label, measured, target, met). A ratio
# against the baseline build needs --baseline-module; the scaling and the
# serial share are the targets of an overlapping table
# (--types bench/types_overlapping.json), where the calling thread resolves.
SPEEDUP_OVER_BASELINE = 1.4
SPEEDUP_OF_THREADS = 1.8
SERIAL_SHARE = 0.15
MT_PEAK_MIB = 64


def serial_share(report: ShapeReport, window: int) -> Optional[float]:
    mt, st = report.rows.get(f"mt{window}"), report.rows.get(f"st{window}")
    stats = mt.result.get("pass_stats") if mt else None
    if not stats or not st or not st.seconds:
        return None
    return (stats["read_seconds"] + stats["settle_seconds"]) / st.seconds


def target_rows(bench: Bench, reports: List[ShapeReport],
                memory_rows: List[Tuple[str, List[Measure]]]) -> List[List[str]]:
    rows = []

    def add(label: str, measured: Optional[float], target: float, at_most: bool, unit: str) -> None:
        if measured is None:
            rows.append([label, "n/a", f"{'<=' if at_most else '>='} {target:g}{unit}", "-"])
            return
        met = measured <= target if at_most else measured >= target
        rows.append([label, f"{measured:.3g}{unit}", f"{'<=' if at_most else '>='} {target:g}{unit}",
                     "met" if met else "MISSED"])

    def ratio(r: ShapeReport, a: str, b: str) -> Optional[float]:
        ma, mb = r.rows.get(a), r.rows.get(b)
        return ma.mbps / mb.mbps if ma and mb and ma.mbps and mb.mbps else None

    for r in reports:
        for window in WINDOWS:
            add(f"{r.shape}, 1 thread / baseline, w {window}", ratio(r, f"st{window}",
                f"base{window}"), SPEEDUP_OVER_BASELINE, False, "x")
        for window in WINDOWS:
            add(f"{r.shape}, multithreaded / 1 thread, w {window}", ratio(r, f"mt{window}",
                f"st{window}"), SPEEDUP_OF_THREADS, False, "x")
            share = serial_share(r, window)
            add(f"{r.shape}, serial share, w {window}", None if share is None else 100 * share,
                100 * SERIAL_SHARE, True, "%")
    for label, measures in memory_rows:
        if label == ROWS["mt1000"]:
            peaks = [m.peak_kb for m in measures if m.peak_kb is not None]
            add("multithreaded peak, w 1000, largest file",
                peaks[-1] / 1024 if peaks else None, MT_PEAK_MIB, True, " MiB")
    return rows


def print_targets(bench: Bench, reports: List[ShapeReport],
                  memory_rows: List[Tuple[str, List[Measure]]]) -> None:
    print_table(f"Targets, type table {os.path.basename(bench.args.types)} (the command against "
                "its peers: bench/peers.py)", ["figure", "measured", "target", ""],
                target_rows(bench, reports, memory_rows))


def reference_threads(reports: List[ShapeReport]) -> str:
    for r in reports:
        if r.rows["polars"].result.get("threads"):
            return str(r.rows["polars"].result["threads"])
    return "all the machine's"


def print_memory(bench: Bench, shape: str, rows: List[Tuple[str, List[Measure]]]) -> None:
    args = bench.args
    table = [[label] + [format_peak(m) for m in measures] for label, measures in rows]
    print_table(f"Peak RSS of one pass in MiB, {shape} shape (in brackets: growth during the "
                "pass, over the interpreter, imports and set-up)",
                ["pass", f"{args.small_mb:g} MB", f"{args.large_mb:g} MB"], table)


def format_peak(m: Measure) -> str:
    if m.peak_kb is None:
        return m.missing or "-"
    if m.before_kb is None:
        return format_mib(m.peak_kb)
    return f"{format_mib(m.peak_kb)} (+{format_mib(m.peak_kb - m.before_kb)})"


# Entry point.

def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=float, help="size of each benchmark file (100)")
    parser.add_argument("--shapes", default=",".join(gen_csv.SHAPES),
                        help="comma-separated shapes (all: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="small files for a smoke run (5 MB, 2 MB samples, 8 MB large)")
    parser.add_argument("--large-mb", type=float, help="large file of the memory check (size-mb)")
    parser.add_argument("--sample-mb", type=float,
                        help="the pure-Python pass reads only this much of a larger file (10)")
    parser.add_argument("--cache-dir", default=os.path.join(BUILD_DIR, "data"))
    parser.add_argument("--types", default=os.path.join(BENCH_DIR, "types.json"))
    parser.add_argument("--repeat", type=int, default=3,
                        help="fresh runs of each Python pass, of which the fastest counts (3)")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds allowed a pass")
    parser.add_argument("--module-dir", help="directory to import quorvel_ext from first")
    parser.add_argument("--baseline-module",
                        help="directory of another build of quorvel_ext, timed side by side")
    parser.add_argument("--no-build", action="store_true", help="never run cmake")
    args = parser.parse_args(argv)
    quick = args.quick
    args.size_mb = args.size_mb or (5.0 if quick else 100.0)
    args.sample_mb = args.sample_mb or (2.0 if quick else 10.0)
    args.small_mb = min(2.0 if quick else 10.0, args.size_mb)
    args.large_mb = args.large_mb or (8.0 if quick else args.size_mb)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    args.shapes = [s.strip() for s in args.shapes.split(",") if s.strip()]
    unknown = [s for s in args.shapes if s not in gen_csv.SHAPES]
    if unknown:
        parser.error(f"unknown shapes {unknown}; choose from {', '.join(gen_csv.SHAPES)}")
    return args


def main(argv: Sequence[str]) -> int:
    bench = Bench(parse_args(argv))
    print("\n".join(machine_info()))
    print("\n".join(check_imports(bench)))
    bench.tokenizer_bench = build_tokenizer_bench(bench.args.no_build)
    reports = [bench_shape(bench, shape) for shape in bench.args.shapes]
    if "mixed" in bench.args.shapes:
        matcher_bench(bench, bench.data_file("mixed", bench.args.size_mb))
    memory_shape = "mixed" if "mixed" in bench.args.shapes else bench.args.shapes[0]
    print(f"\n== memory: {memory_shape} shape, {bench.args.small_mb:g} MB and "
          f"{bench.args.large_mb:g} MB")
    memory_rows = memory_check(bench, memory_shape)
    print_summary(bench, reports)
    print_memory(bench, memory_shape, memory_rows)
    print_targets(bench, reports, memory_rows)
    return print_verdict(bench)


def print_verdict(bench: Bench) -> int:
    if bench.notes:
        print("\nReference passes that gave no figure:")
        print("\n".join("  " + note for note in bench.notes))
    if bench.problems:
        print("\n!!! CHECKS FAILED !!!")
        print("\n".join("  " + problem for problem in bench.problems))
        return 1
    if bench.module_error:
        print("\nThe module is not importable, so no counts were compared: "
              "pure Python is unchecked.")
    else:
        print(f"\nAll {bench.comparisons} comparisons of counts agreed.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
