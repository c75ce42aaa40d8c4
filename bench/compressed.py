"""Pass speed on compressed copies of a generated `mixed` file, against the decompressors alone.

Makes (or reuses) a `mixed` file of --size-mb MB and its gzip and zstd copies (the tools'
default levels), then times, each by its fastest of --repeat runs taken in turns:
`gzip -dc` and `zstd -dc` into /dev/null, and a pass of the module over the plain file and
over each copy, single-threaded and with threads. Speeds are MB (10^6 bytes) of the
decompressed file a second, so the rows compare directly. With --baseline-dir, a module built
elsewhere (say, from the main branch) is timed over the plain file beside this one. Exits with
status 1 when a pass over a copy does not count exactly what the pass over the plain file does.

    .venv/bin/python bench/compressed.py                  # 20 MB
    .venv/bin/python bench/compressed.py --size-mb 100 --baseline-dir /tmp/main-module
"""

import argparse
import json
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent

# One pass in a fresh interpreter, so that the module under test is the one on its path.
PASS = r"""
import json, sys, time
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import quorvel_ext
path, threads, types = sys.argv[2], sys.argv[3] == "1", json.load(open(sys.argv[4]))
inf = quorvel_ext.Inf(path, ",", types["types"], set(types["na_values"]), threads, False, "", 1000)
start = time.perf_counter()
inf.infer_types()
took = time.perf_counter() - start
print(json.dumps([took, inf.num_rows, inf.col_names, inf.get_col_type_candidates()]))
"""


def make_files(size_mb, cache):
    cache.mkdir(parents=True, exist_ok=True)
    plain = cache / f"mixed-{size_mb}mb.csv"
    if not plain.exists():
        subprocess.run([sys.executable, str(HERE / "gen_csv.py"), "mixed", str(size_mb),
                        str(plain)], check=True)
    copies = {}
    for tool, suffix in (("gzip", ".gz"), ("zstd", ".zst")):
        copy = plain.with_name(plain.name + suffix)
        if not copy.exists():
            with open(copy, "wb") as out:
                subprocess.run([tool, "-c", "-q", str(plain)], stdout=out, check=True)
        copies[tool] = copy
    return plain, copies


def time_tool(tool, path):
    start = time.perf_counter()
    subprocess.run([tool, "-dc", str(path)], stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start, None


def time_pass(module_dir, path, threads, types):
    out = subprocess.run([sys.executable, "-c", PASS, module_dir, str(path), str(int(threads)),
                          str(types)], capture_output=True, text=True, check=True).stdout
    took, *result = json.loads(out)
    return took, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cache-dir", type=pathlib.Path,
                        default=HERE.parent / "build-bench" / "data")
    parser.add_argument("--types", type=pathlib.Path, default=HERE / "types.json")
    parser.add_argument("--baseline-dir", default=None)
    args = parser.parse_args()
    plain, copies = make_files(args.size_mb, args.cache_dir)
    runs = {f"{tool} -dc alone": lambda tool=tool: time_tool(tool, copies[tool]) for tool in copies}
    for threads in (False, True):
        mode = "2 threads" if threads else "1 thread"
        if args.baseline_dir:
            runs[f"baseline module, plain, {mode}"] = (
                lambda t=threads: time_pass(args.baseline_dir, plain, t, args.types))
        for name, path in (("plain", plain), *copies.items()):
            runs[f"module, {name}, {mode}"] = (
                lambda p=path, t=threads: time_pass("", p, t, args.types))
    best, results = {}, {}
    for _ in range(args.repeat):
        for name, run in runs.items():
            took, result = run()
            best[name] = min(best.get(name, took), took)
            results[name] = result
    size = plain.stat().st_size
    print(f"mixed, {size / 1e6:.0f} MB; gzip copy {copies['gzip'].stat().st_size / 1e6:.1f} MB, "
          f"zstd copy {copies['zstd'].stat().st_size / 1e6:.1f} MB; best of {args.repeat}")
    for name, took in best.items():
        print(f"{name:34} {size / 1e6 / took:8.1f} MB/s")
    mismatched = [name for name, result in results.items() if result is not None and
                  result != results["module, plain, 1 thread"]]
    if mismatched:
        print("counts differ from the plain pass:", ", ".join(mismatched))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
