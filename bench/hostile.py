"""A type table that no small automaton can hold, against Boost alone.

60 types `[ab]*a[ab]{18}c<i>` each need about 2^19 automaton states, so the
matcher leaves them all to its fallback. The same table with `(?!x)` after
each pattern (which changes nothing at the end of a whole-string match, but
lies outside the automaton's syntax) is matched by Boost alone. Each pass runs
in a fresh process, single-threaded and multithreaded, over 200,000 rows of
two short columns, and prints its time and peak RSS.

    .venv/bin/python bench/hostile.py [--rows 200000]
"""
import argparse
import os
import random
import resource
import subprocess
import sys
import time

TYPES = 60


def write_file(path, rows):
    rnd = random.Random(1)
    with open(path, "w") as f:
        f.write("x,y\n")
        for _ in range(rows):
            f.write(",".join("".join(rnd.choice("ab") for _ in range(rnd.randint(15, 25)))
                             + f"c{rnd.randint(0, TYPES + 10)}" for _ in range(2)) + "\n")


def one_pass(path, suffix, mt):
    import quorvel_ext
    types = {f"t{i}": [f"[ab]*a[ab]{{18}}c{i}{suffix}"] for i in range(TYPES)}
    inf = quorvel_ext.Inf(path, ",", types, set(), mt, False, "", 1000)
    start = time.perf_counter()
    inf.infer_types()
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{seconds:.2f} {peak:.1f} {inf.get_col_type_candidates()['x']['other']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return one_pass(args.child[0], args.child[1], args.child[2] == "mt")
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build-bench",
                        f"hostile-{args.rows}.csv")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not os.path.exists(path):
        write_file(path, args.rows)
    others = set()
    for label, suffix in (("module", ""), ("Boost alone", "(?!x)")):
        for mt in ("st", "mt"):
            out = subprocess.run([sys.executable, __file__, "--child", path, suffix, mt],
                                 capture_output=True, text=True, check=True).stdout.split()
            others.add(out[2])
            print(f"{label:<12} {'1 thread' if mt == 'st' else 'threads':<9} {float(out[0]):7.2f} s"
                  f"  peak {float(out[1]):6.1f} MiB")
    if len(others) != 1:
        print("!!! the passes counted differently")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
