"""Hostile input: a huge cell, a huge header, raw bytes in cells, runaway rows, unusable paths.

Each pass is checked for exact counts, and every failure for leaving the object ready for the
next pass. The huge-cell test also watches the memory of the process that counts the cell through
/proc/self/status.
"""
import json
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import INT, exactly

MODES = pytest.mark.parametrize("multithreading", [False, True], ids=["inline", "threads"])
MIB = 1 << 20
BIG = 200 * MIB  # bytes of the huge cell's text
# A sanitizer's shadow memory and its quarantine of freed blocks hide what the module holds.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def counts(types, **given):
    return {**dict.fromkeys([*types, "other", "NA"], 0), **given}


# The quoted cell repeats a unit holding a delimiter, a doubled quote and CR LF, so a byte lost,
# doubled or left escaped at any read boundary breaks the repetition and the cell reads "other".
UNIT_TYPES = {**INT, "unit": ['(?:12,"3\\r\\n)+']}
HUGE = {  # id: (one unit as written in the file, its length as cell text, quoted, type)
    "digits": (b"0123456789", 10, False, "int"),
    "quoted-unit": (b'12,""3\r\n', 8, True, "unit"),
}


# Counts the file in a fresh interpreter and prints what the pass found and the process's memory
# around it, in MiB from just before the pass. glibc's malloc raises its mmap threshold, and its
# trim threshold with it, whenever a large mapped block is freed: after other tests in one process
# the cell's freed buffers may then stay at the top of a thread's heap, which malloc_trim leaves
# alone, and this process would measure its own past rather than the pass.
MEASURED_PASS = r"""
import json, pathlib, sys
import quorvel_ext

def status_mib(key):
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1]) / 1024
    raise KeyError(key)

path, types_path, patterns, multithreading = sys.argv[1:]
inf = quorvel_ext.Inf(path, ",", json.loads(patterns), set(), multithreading == "1", False,
                      types_path, 1000)
before = status_mib("VmRSS")
pathlib.Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current size
inf.infer_types()
found = {"rows": inf.num_rows, "counts": inf.get_col_type_candidates(),
         "peak": status_mib("VmHWM") - before, "after": status_mib("VmRSS") - before}
del inf
found["released"] = status_mib("VmRSS") - before
print(json.dumps(found))
"""


@MODES
@pytest.mark.parametrize("unit, text_len, quoted, kind", HUGE.values(), ids=HUGE)
def test_a_huge_cell_is_counted_and_its_memory_released(tmp_path, multithreading,
                                                        unit, text_len, quoted, kind):
    path = tmp_path / "in.csv"
    block = unit * (MIB // text_len)  # a MiB of cell text
    with open(path, "wb") as f:  # written in blocks, so that no copy of the cell stays here
        f.write(b'big,small\n' + b'"' * quoted)
        for _ in range(BIG // MIB):
            f.write(block)
        f.write(b'"' * quoted + b",7\n")
    child = subprocess.run([sys.executable, "-c", MEASURED_PASS, str(path),
                            str(tmp_path / "types.csv"), json.dumps(UNIT_TYPES),
                            str(int(multithreading))], capture_output=True, text=True)
    path.unlink()  # pytest keeps the last runs' directories
    assert child.returncode == 0, child.stderr
    found = json.loads(child.stdout)
    assert (found["rows"], found["counts"]) == (
        1, {"big": counts(UNIT_TYPES, **{kind: 1}), "small": counts(UNIT_TYPES, int=1)})
    if SANITIZED:
        pytest.skip("memory figures are the sanitizer's, not the module's")
    # The field buffer, the row and the cache each hold the text once during the pass; only the
    # cache may keep it afterwards, and nothing once the object is gone.
    assert found["peak"] < 5 * BIG / MIB
    assert found["after"] < 1.25 * BIG / MIB
    assert found["released"] < 32


WIDTH = 20_000
VALUES = ["1", "x", "NA", ""]


@MODES
def test_a_header_of_twenty_thousand_columns(write, make_inf, multithreading):
    header = ["" if i % 5000 == 4999 else f"c{i}" for i in range(WIDTH)]
    rows = [[VALUES[(i + r) % 4] for i in range(WIDTH)] for r in range(3)] + [["7"] * 7]
    text = "\n".join(",".join(row) for row in [header, *rows]) + "\n"
    untitled = iter(range(1, 5))
    names = [name or f"Unitled_{next(untitled)}" for name in header]
    expected = {name: counts(INT) for name in names}
    for row in rows:
        for name, cell in zip(names, row):
            expected[name]["NA" if cell == "NA" else "int" if cell.isdigit() else "other"] += 1
    inf = make_inf(filepath=write(text), na_values={"NA"}, multithreading=multithreading)
    inf.infer_types()
    assert (inf.col_names, inf.num_rows) == (names, 4)
    assert inf.get_col_type_candidates() == expected


BYTE_TYPES = {"int": ["[0-9]+"], "nul": ["[0-9]+\x00[0-9]+"], "high": [r"[\x80-\xff]+"],
              "letter-nul": [r"(?i)[a-z]\x00\w"]}  # (?i) keeps this one on Boost
CELLS = {  # column name: (the cell as written in the file, the type it must count as)
    "nul-inside-digits": (b"1\x002", "nul"),
    "the-digits-before-it": (b"1", "int"),
    "lone-nul": (b"\x00", "other"),
    "missing-with-nul": (b"N\x00A", "NA"),
    "missing-cut-at-nul": (b"N", "other"),
    "letter-nul-letter": (b"a\x00b", "letter-nul"),
    "high-bytes": (b"\xff\xfe", "high"),
    "valid-utf8": ("é".encode(), "high"),
    "broken-utf8": (b"\xc3\x28", "other"),
    "quoted-nul-delimiter": (b'"\x00,\xff"', "other"),
    "n\x00m": (b"12", "int"),
}


@MODES
def test_nul_and_invalid_utf8_in_cells_are_plain_bytes(write, make_inf, multithreading):
    names = list(CELLS)
    row = b",".join(cell for cell, _ in CELLS.values())
    # The second row finds every text in the cache.
    text = ",".join(names).encode() + b"\n" + row + b"\r\n" + row + b"\r\n"
    inf = make_inf(filepath=write(text), col_type_patterns=BYTE_TYPES, na_values={"N\x00A"},
                   multithreading=multithreading)
    inf.infer_types()
    assert (inf.col_names, inf.num_rows) == (names, 2)
    assert inf.get_col_type_candidates() == {
        name: counts(BYTE_TYPES, **{kind: 2}) for name, (_, kind) in CELLS.items()}


@MODES
def test_cells_far_beyond_the_header_are_ignored(write, make_inf, multithreading):
    extra = ",".join(str(k) for k in range(100_000))
    inf = make_inf(filepath=write(f"a,b\n1,x,{extra}\n2\n"), multithreading=multithreading,
                   save_types_file=True)
    inf.infer_types()
    assert (inf.col_names, inf.num_rows) == (["a", "b"], 2)
    assert inf.get_col_type_candidates() == {"a": counts(INT, int=2), "b": counts(INT, other=1)}
    assert pathlib.Path(inf.get_types_filepath()).read_bytes() == b"a,b\nint,other\nint\n"


def dangling_symlink(tmp):
    os.symlink(tmp / "gone.csv", tmp / "dangling")
    return str(tmp / "dangling")


UNOPENABLE = {  # id: the input path, given tmp_path
    "empty": lambda tmp: "",
    "name-too-long": lambda tmp: str(tmp / ("n" * 300)),
    "through-a-file": lambda tmp: str(tmp / "in.csv" / "x.csv"),
    "dangling-symlink": dangling_symlink,
}


@MODES
@pytest.mark.parametrize("where", UNOPENABLE.values(), ids=UNOPENABLE)
def test_an_unopenable_input_fails_and_the_next_pass_works(write, make_inf, tmp_path,
                                                           multithreading, where):
    good = write("a,b\n1,x\n")
    inf = make_inf(filepath=where(tmp_path), multithreading=multithreading)
    with pytest.raises(RuntimeError, match=exactly("Something is wrong with input stream")):
        inf.infer_types()
    inf.set_filepath(good)
    inf.infer_types()
    assert (inf.col_names, inf.num_rows) == (["a", "b"], 1)
    assert inf.get_col_type_candidates() == {"a": counts(INT, int=1), "b": counts(INT, other=1)}


@MODES
def test_an_empty_types_path_warns_after_a_full_pass(write, make_inf, multithreading):
    inf = make_inf(filepath=write("a\n1\n"), multithreading=multithreading,
                   save_types_file=True, types_filepath="")
    message = exactly("cannot open the types file '': No such file or directory")
    with pytest.warns(RuntimeWarning, match=message):
        inf.infer_types()
    assert (inf.num_rows, inf.get_col_type_candidates()) == (1, {"a": counts(INT, int=1)})
