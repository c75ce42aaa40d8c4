"""Whole passes over files: counts, names, the types file, and the paths a pass refuses."""
import json
import os
import pathlib
import random
import re
import subprocess
import sys
import threading
import warnings

import pytest

from conftest import INT, exactly

MODES = pytest.mark.parametrize("multithreading", [False, True], ids=["inline", "threads"])
COMPLEXITY = ("The complexity of matching the regular expression exceeded predefined bounds.  Try "
              "refactoring the regular expression to make each choice made by the state machine "
              "unambiguous.  This exception is thrown to prevent \"eternal\" matches that take "
              "an indefinite period time to locate.")


def c(**counts):
    """Counts of one column under INT, zero where not given."""
    return {"int": 0, "other": 0, "NA": 0, **counts}


def read(path):
    return pathlib.Path(path).read_bytes()


# (id, delimiter, NA texts, input, column names, counts, types file)
CASES = [
    ("worked-example", ",", set(), "id,name\n1,x\n,2\n", ["id", "name"],
     {"id": c(int=1, other=1), "name": c(int=1, other=1)}, "id,name\nint,other\nother,int\n"),
    ("header-only", ",", set(), "a,b\n", ["a", "b"], {"a": c(), "b": c()}, "a,b\n"),
    ("empty-file", ",", set(), "", [], {}, ""),
    ("short-and-long-rows", ",", set(), "a,b\n1\n1,2,3\n", ["a", "b"],
     {"a": c(int=2), "b": c(int=1)}, "a,b\nint\nint,int\n"),
    ("shared-name", ",", set(), "a,a\n1,z\n", ["a", "a"], {"a": c(int=1, other=1)},
     "a,a\nint,other\n"),
    ("missing-values", ",", {"", "NA"}, "a\n\nNA\n7\n", ["a"], {"a": c(int=1, NA=2)},
     "a\nNA\nNA\nint\n"),
    ("missing-beats-match", ",", {"0"}, "a\n0\n00\n", ["a"], {"a": c(int=1, NA=1)},
     "a\nNA\nint\n"),
    ("whole-string-match", ",", set(), "a\n1 \n 1\n12a\n", ["a"], {"a": c(other=3)},
     "a\nother\nother\nother\n"),
    ("semicolon-quotes-crlf", ";", set(), '"x,y";b\r\n1;2\r\n', ["x,y", "b"],
     {"x,y": c(int=1), "b": c(int=1)}, "x,y,b\nint,int\n"),
    ("no-final-row-end", ",", set(), "a\n1", ["a"], {"a": c(int=1)}, "a\nint\n"),
    ("untitled", ",", set(), ",x,\n1,2,3\n", ["Unitled_1", "x", "Unitled_2"],
     {"Unitled_1": c(int=1), "x": c(int=1), "Unitled_2": c(int=1)},
     "Unitled_1,x,Unitled_2\nint,int,int\n"),
]


@MODES
@pytest.mark.parametrize("delimiter, na, text, names, counts, types",
                         [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_pass(write, make_inf, tmp_path, multithreading, delimiter, na, text, names, counts, types):
    types_path = write("stale content, longer than any result\n" * 3, name="types.csv")
    inf = make_inf(filepath=write(text), delimiter=delimiter, na_values=na,
                   multithreading=multithreading, save_types_file=True, types_filepath=types_path)
    assert inf.infer_types() is None
    assert (inf.col_names, inf.get_col_type_candidates()) == (names, counts)
    assert inf.num_rows == max(0, types.count("\n") - 1)
    assert read(types_path) == types.encode()


def test_untitled_numbering_continues_across_passes(write, make_inf):
    inf = make_inf(filepath=write(",x,\n1,2,3\n"))
    inf.infer_types()
    inf.infer_types()
    assert inf.col_names == ["Unitled_3", "x", "Unitled_4"]
    assert sorted(inf.get_col_type_candidates()) == [f"Unitled_{k}" for k in range(1, 5)] + ["x"]


@MODES
def test_missing_values_outrank_a_cached_type(write, make_inf, multithreading):
    inf = make_inf(filepath=write("a\n7\n"), multithreading=multithreading)
    inf.infer_types()
    inf.set_na_values({"7"})
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"a": c(NA=1)}


# "7" matches both types. Column a learns P first and column b learns Q first, so b's "7"
# in the last row reads P only if the cache kept a's answer over the third row end (header
# included).
@MODES
@pytest.mark.parametrize("window", [1, 2, 3, 4, 1000, 0, -1])
def test_rolling_cache_window(write, make_inf, multithreading, window):
    inf = make_inf(filepath=write("a,b\np,q\n7,x\nx,7\n"), multithreading=multithreading,
                   col_type_patterns={"P": ["[0-9]+|p"], "Q": ["[0-9]+|q"]},
                   save_types_file=True, rolling_cache_window=window)
    inf.infer_types()
    late = "P" if window < 1 or 3 % window else "Q"
    assert inf.get_col_type_candidates()["b"] == {"P": late == "P", "Q": 1 + (late == "Q"),
                                                 "other": 1, "NA": 0}
    assert read(inf.get_types_filepath()) == f"a,b\nP,Q\nP,other\nother,{late}\n".encode()


# No text matches two of these types, so Python's re is an oracle for the counts.
TYPES = {"int": "[0-9]+", "dec": "[0-9]+\\.[0-9]+", "word": "[a-z]+"}
POOL = ["0", "42", "007", "3.14", "0.5", "abc", "z", "", "NA", "-", "x1", "1.", "A", "é"]


def random_file(seed, rows):
    rng = random.Random(seed)
    width = rng.randint(2, 6)
    lines = [[rng.choice(["id", "v", "", "w"]) for _ in range(width)]]
    for _ in range(rows):
        cells = rng.choice([width] * 6 + [1, width - 1, width + 2])
        lines.append([rng.choice(POOL) for _ in range(cells)])
    return "".join(",".join(line) + "\n" for line in lines), rng.choice([-1, 0, 1, 2, 7, 1000])


def oracle(text, na):
    header, *rows = [line.split(",") for line in text.splitlines()]
    untitled = iter(range(1, len(header) + 1))
    names = [name or f"Unitled_{next(untitled)}" for name in header]
    counts = {name: dict.fromkeys([*TYPES, "other", "NA"], 0) for name in names}
    lines = [",".join(names)]
    for row in rows:
        chosen = []
        for name, cell in zip(names, row):
            kind = "NA" if cell in na else next(
                (t for t, p in TYPES.items() if re.fullmatch(p, cell)), "other")
            counts[name][kind] += 1
            chosen.append(kind)
        lines.append(",".join(chosen))
    return names, counts, len(rows), "".join(line + "\n" for line in lines).encode()


@MODES
@pytest.mark.parametrize("seed", range(4))
def test_random_files_match_the_oracle(write, make_inf, multithreading, seed):
    text, window = random_file(seed, rows=12000)
    patterns = {t: [p] for t, p in TYPES.items()}
    inf = make_inf(filepath=write(text), col_type_patterns=patterns, na_values={"NA", "-"},
                   multithreading=multithreading, save_types_file=True, rolling_cache_window=window)
    inf.infer_types()
    got = inf.col_names, inf.get_col_type_candidates(), inf.num_rows, read(inf.get_types_filepath())
    assert got == oracle(text, {"NA", "-"})


READ_FROM_FIFO = """
import json, sys, quorvel_ext
fifo, types_path, patterns, threads = sys.argv[1:]
inf = quorvel_ext.Inf(fifo, ",", json.loads(patterns), set(), threads == "1", True, types_path, 50)
inf.infer_types()
print(json.dumps([inf.col_names, inf.get_col_type_candidates(), inf.num_rows]))
"""


@MODES
def test_a_fifo_is_read_to_its_end(tmp_path, multithreading):
    # The pass holds the interpreter lock, so the reader runs in a child process and
    # this process feeds the FIFO; a second open of the FIFO would hang the child.
    text, _ = random_file(seed=9, rows=30000)
    fifo, types_path = str(tmp_path / "in.fifo"), str(tmp_path / "types.csv")
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as f:
            f.write(text.encode())

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    patterns = json.dumps({t: [p] for t, p in TYPES.items()})
    child = subprocess.run(
        [sys.executable, "-c", READ_FROM_FIFO, fifo, types_path, patterns, str(int(multithreading))],
        capture_output=True, text=True, timeout=60)
    writer.join(5)
    assert child.returncode == 0, child.stderr
    names, counts, rows, types = oracle(text, set())
    assert json.loads(child.stdout) == [names, counts, rows]
    assert read(types_path) == types


@pytest.mark.parametrize("link", ["same-path", "symlink", "hard-link"])
def test_the_types_file_may_not_be_the_input(write, make_inf, tmp_path, link):
    original = b"a,b\n1,2\n"
    path = write(original)
    types_path = path if link == "same-path" else str(tmp_path / link)
    if link != "same-path":
        (os.symlink if link == "symlink" else os.link)(path, types_path)
    inf = make_inf(filepath=path, save_types_file=True, types_filepath=types_path)
    message = f"the types file path '{types_path}' names the input file '{path}'"
    with pytest.raises(ValueError, match=exactly(message)):
        inf.infer_types()
    assert read(path) == original
    inf.set_save_types_file(False)
    inf.infer_types()
    assert (read(path), inf.num_rows) == (original, 1)


OPEN, WRITE = "cannot open the types file '{}': {}", "cannot write the types file '{}': {}"
UNWRITABLE = {  # the types file path under tmp_path, and the warning
    "missing-directory": (lambda tmp: str(tmp / "no" / "t.csv"), OPEN, "No such file or directory"),
    "device-full": (lambda tmp: "/dev/full", WRITE, "No space left on device"),
    "undecodable-path": (lambda tmp: os.fsencode(tmp) + b"/\xff/t", OPEN, "No such file or directory"),
}


@MODES
@pytest.mark.parametrize("where, warning, reason", UNWRITABLE.values(), ids=UNWRITABLE)
def test_an_unwritable_types_file_warns_after_a_full_pass(write, make_inf, tmp_path, multithreading,
                                                          where, warning, reason):
    path = where(tmp_path)
    shown = path.decode("utf-8", "backslashreplace") if isinstance(path, bytes) else path
    message = exactly(warning.format(shown, reason))
    inf = make_inf(filepath=write("id,name\n1,x\n,2\n"), multithreading=multithreading,
                   save_types_file=True, types_filepath=path)
    full = (["id", "name"], {"id": c(int=1, other=1), "name": c(int=1, other=1)}, 2)
    with pytest.warns(RuntimeWarning, match=message) as record:
        inf.infer_types()
    assert [w.filename for w in record] == [__file__]
    assert (inf.col_names, inf.get_col_type_candidates(), inf.num_rows) == full
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match=message):
            inf.infer_types()
    assert (inf.col_names, inf.get_col_type_candidates(), inf.num_rows) == full


@MODES
def test_a_matching_error_fails_the_pass_and_leaves_the_object_usable(write, make_inf,
                                                                     multithreading):
    # (?i) keeps the pattern on Boost, whose backtracking gives up on this cell.
    text = "a,b\n1,x\n" + "a" * 60 + "c,2\n"
    inf = make_inf(filepath=write(text), col_type_patterns={"slow": [r"(?i)(\w+)+b"]},
                   multithreading=multithreading)
    with pytest.raises(RuntimeError, match=exactly(COMPLEXITY)):
        inf.infer_types()
    inf.set_col_type_patterns(INT)
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"a": c(int=1, other=1), "b": c(int=1, other=1)}


OUT_OF_MEMORY = r"""
import json, resource, sys, quorvel_ext
big, small, threads = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
# Two types that share their texts: otherwise a multithreaded pass counts on
# its workers, without the cache.
TYPES = {"int": ["[0-9]+"], "id": ["[tu][0-9]+"], "key": ["[tu][0-9]+"]}
inf = quorvel_ext.Inf(big, ",", TYPES, {""}, threads, False, "", -1)
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
# Room for the interpreter, the workers and a small pass, not for a cache of every text.
resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), resource.RLIM_INFINITY))
try:
    inf.infer_types()
    print("finished")
except MemoryError:
    print("MemoryError")
inf.set_na_values({"", "-"})
inf.set_filepath(small)
inf.infer_types()
print(json.dumps([inf.num_rows, inf.get_col_type_candidates()]))
"""


@MODES
def test_running_out_of_memory_gives_the_cache_back(tmp_path, multithreading):
    if multithreading and "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The sanitizer's own allocator runs out first there, and its report stalls the child.
        pytest.skip("under AddressSanitizer the threads' pass never gets its MemoryError")
    big, small = tmp_path / "big.csv", tmp_path / "small.csv"
    # A million texts, none twice, with a window that never empties the cache: far past the limit.
    big.write_text("a,b\n" + "".join(f"t{i:09},u{i:09}\n" for i in range(500_000)))
    small.write_text("a,b\n1,-\n,2\n")
    # Under AddressSanitizer an allocation that fails must throw, as it does without.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
               ":allocator_may_return_null=1")
    child = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY, str(big), str(small),
                            str(int(multithreading))], capture_output=True, text=True, timeout=120,
                           env=env)
    assert child.returncode == 0, child.stderr
    failed, after = child.stdout.splitlines()
    assert failed == "MemoryError"
    counts = c(int=1, NA=1, id=0, key=0)
    assert json.loads(after) == [2, {"a": counts, "b": counts}]


@MODES
def test_a_pattern_on_the_automaton_answers_where_backtracking_gives_up(write, make_inf,
                                                                        multithreading):
    text = "a\n" + "a" * 60 + "c\n" + "a" * 60 + "b\n"
    inf = make_inf(filepath=write(text), col_type_patterns={"t": ["(a+)+b"]},
                   multithreading=multithreading)
    inf.infer_types()
    assert inf.get_col_type_candidates() == {"a": {"t": 1, "other": 1, "NA": 0}}
