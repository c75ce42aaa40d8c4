"""The command as a user runs it, against what a user could run instead, whole processes timed.

    .venv/bin/python bench/peers.py                 # 100 MB of the mixed shape, 5 rounds
    .venv/bin/python bench/peers.py --size-mb 20 --repeat 3

Each round runs, one after another in turns, as whole processes from exec
to exit, on every core:
  - `quorvel FILE` with its defaults, from this venv (.venv);
  - `quorvel --threads 1 FILE`, a single-threaded pass for reference;
  - pyarrow's `pyarrow.csv.read_csv(FILE)`, with its own type inference
    (told that values hold line breaks and to skip the rows cut short);
  - DuckDB's `sniff_csv(FILE, sample_size=-1)`, which reads every row to
    settle its types.
The peers run in a venv of a current Python (build-bench/peers-venv, made on
the first run from pyenv's newest 3.11 or 3.12, with pyarrow and duckdb from
PyPI at their current releases), since their current releases no longer
support the Python 3.8 that the module is built for.

It prints each command's median seconds and MB/s (MB = 10^6 bytes of the
file) and quorvel's ratio to each peer against the target: at least 2x
the faster of pyarrow's read_csv and DuckDB's sniff_csv. The ratio is also given as
the median of the rounds' own ratios, which other work on the machine
distorts less, since it slows the commands of one round alike; the load
average before and after shows how busy the machine was. Nothing fails on a
slow figure; a command that fails ends the run with its error.
"""

import argparse
import glob
import os
import pathlib
import statistics
import subprocess
import sys
import time
from typing import Dict, List, NamedTuple

import gen_csv
import run

REPO = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_VENV = REPO / "build-bench" / "peers-venv"
DEFAULT_DATA = REPO / "build-bench" / "data"
PEER_PACKAGES = ["pyarrow", "duckdb"]
PEER_PYTHONS = ("3.12", "3.11")

# The file's free text holds quoted line breaks, and one row in 5000 is cut
# short, which pyarrow refuses unless told to skip it: the handler runs for
# those rows alone.
PYARROW = ("import sys, pyarrow.csv as c; "
           "c.read_csv(sys.argv[1], parse_options=c.ParseOptions(newlines_in_values=True, "
           "invalid_row_handler=lambda row: 'skip'))")
# fetchall, so that the sniffing is done before the process ends.
DUCKDB = ("import sys, duckdb; "
          "duckdb.sql('SELECT * FROM sniff_csv(?, sample_size=-1)', params=[sys.argv[1]])"
          ".fetchall()")


class Target(NamedTuple):
    peer: str
    ratio: float  # quorvel's MB/s over the peer's must reach this
    strict: bool  # above it rather than at least


TARGETS = [Target("pyarrow read_csv", 2.0, False), Target("duckdb sniff_csv", 2.0, False)]


def main() -> int:
    args = parse_args()
    python = peers_python(pathlib.Path(args.venv))
    data = pathlib.Path(args.cache_dir)
    path = bench_file(data, args.size_mb)
    quorvel = str(pathlib.Path(sys.executable).with_name("quorvel"))
    commands = {
        "quorvel FILE": [quorvel, str(path)],
        "quorvel --threads 1": [quorvel, "--threads", "1", str(path)],
        "pyarrow read_csv": [python, "-c", PYARROW, str(path)],
        "duckdb sniff_csv": [python, "-c", DUCKDB, str(path)],
    }
    print(f"file: {path} ({path.stat().st_size / 1e6:.1f} MB), {len(os.sched_getaffinity(0))} "
          f"cores, {args.repeat} rounds in turns, medians")
    print(f"peers: {versions(python)}")
    print(f"load average before: {os.getloadavg()[0]:.1f}")
    times = timed_rounds(commands, args.repeat)
    print(f"load average after: {os.getloadavg()[0]:.1f}")
    report(times, path.stat().st_size)
    return 0


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=5, help="rounds of the three commands")
    parser.add_argument("--venv", default=str(DEFAULT_VENV), help="the peers' venv")
    parser.add_argument("--cache-dir", default=str(DEFAULT_DATA), help="generated files")
    return parser.parse_args()


def peers_python(venv: pathlib.Path) -> str:
    """The peers' interpreter, the venv made and filled first when it is not there yet."""
    python = venv / "bin" / "python"
    if not python.exists():
        base = newest_pyenv_python()
        print(f"making {venv} from {base} ...", flush=True)
        subprocess.run([base, "-m", "venv", str(venv)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "--upgrade", "pip",
                        *PEER_PACKAGES], check=True)
    return str(python)


def newest_pyenv_python() -> str:
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                          check=True).stdout.strip()
    for minor in PEER_PYTHONS:
        found = sorted(glob.glob(f"{root}/versions/{minor}.*/bin/python{minor}"))
        if found:
            return found[-1]
    raise SystemExit(f"no Python {' or '.join(PEER_PYTHONS)} under {root}/versions")


def versions(python: str) -> str:
    code = ("import sys, pyarrow, duckdb; "
            "print(f'Python {sys.version.split()[0]}, pyarrow {pyarrow.__version__}, "
            "duckdb {duckdb.__version__}')")
    return subprocess.run([python, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip()


def bench_file(data: pathlib.Path, size_mb: int) -> pathlib.Path:
    """The mixed file of bench/run.py's naming, so that either reuses the file the other made."""
    path = data / f"mixed-{size_mb:g}MB-{run.generator_version()}.csv"
    if not path.exists():
        data.mkdir(parents=True, exist_ok=True)
        partial = path.with_name(path.name + ".partial")
        gen_csv.write_csv("mixed", size_mb, str(partial))
        os.replace(partial, path)
    return path


def timed_rounds(commands: Dict[str, List[str]], rounds: int) -> Dict[str, List[float]]:
    """Seconds of each command, by name, one run of each per round; a warm-up round first, so
    that every round reads the file from the page cache."""
    times: Dict[str, List[float]] = {name: [] for name in commands}
    for round_ in range(rounds + 1):
        for name, command in commands.items():
            seconds = timed(command)
            if round_ > 0:
                times[name].append(seconds)
    return times


def timed(command: List[str]) -> float:
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{command[0]} failed ({done.returncode}): {done.stderr}")
    return seconds


def report(times: Dict[str, List[float]], size: int) -> None:
    speed = {name: size / 1e6 / statistics.median(runs) for name, runs in times.items()}
    print(f"\n{'command':<20} {'median s':>9} {'MB/s':>8}   runs (s)")
    for name, runs in times.items():
        shown = " ".join(f"{s:.2f}" for s in runs)
        print(f"{name:<20} {statistics.median(runs):>9.3f} {speed[name]:>8.0f}   {shown}")
    print(f"\n{'quorvel against':<18} {'ratio':>6} {'by round':>9}  target")
    for target in TARGETS:
        ratio = speed["quorvel FILE"] / speed[target.peer]
        by_round = statistics.median(
            peer / own for own, peer in zip(times["quorvel FILE"], times[target.peer]))
        met = ratio > target.ratio if target.strict else ratio >= target.ratio
        goal = f"{'>' if target.strict else '>='} {target.ratio:.1f}x"
        print(f"{target.peer:<18} {ratio:>5.2f}x {by_round:>8.2f}x  {goal:<7} "
              f"{'met' if met else 'MISSED'}")


if __name__ == "__main__":
    sys.exit(main())
