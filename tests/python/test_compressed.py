"""Compressed input: recognised by its magic, read as the file it decompresses to."""
import bz2
import gzip
import json
import lzma
import os
import pathlib
import random
import subprocess
import sys
import threading

import pytest

import quorvel_ext
from conftest import exactly

MODES = pytest.mark.parametrize("multithreading", [False, True], ids=["inline", "threads"])
MESSY = pathlib.Path(__file__).resolve().parents[2] / "examples" / "messy.csv"
PATTERNS = {"int": ["[-+]?[0-9]+"], "dec": [r"[-+]?[0-9]*\.[0-9]+"], "word": ["[A-Za-z]+"],
            "date": [r"[0-9]{4}-[0-9]{2}-[0-9]{2}"]}
NA = {"", "NA", "null"}


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout


def halves(compress):
    """Two members or frames, one after the other: decompressors must read on past the first."""
    return lambda data: compress(data[:len(data) // 2]) + compress(data[len(data) // 2:])


COMPRESSORS = {"gzip": halves(gzip.compress), "bzip2": bz2.compress,
               "xz": lambda data: lzma.compress(data, preset=1), "zstd": halves(zstd)}


def generated():
    """Enough rows for several reads of the input and for the decompressor to run ahead."""
    rng = random.Random(12)
    pool = ["0", "42", "-7", "3.14", ".5", "abc", "Z", "", "NA", "2024-01-31", "x1", "é"]
    rows = [",".join(rng.choice(pool) for _ in range(5)) for _ in range(60_000)]
    # No empty header cell: a second pass of one object would number it anew.
    return ("id,a,n,b,c\n" + "\n".join(rows) + "\n").encode()


@pytest.fixture(scope="module")
def contents():
    return {"messy": MESSY.read_bytes(), "generated": generated()}


@pytest.fixture(scope="module")
def packed(contents):
    """Each content compressed each way, once: the compressors take longer than the passes."""
    return {(name, compression): compress(content) for name, content in contents.items()
            for compression, compress in COMPRESSORS.items()}


# Damage seven eighths in: inside the second member, frame or block, away from its header.
def cut(data):
    return data[:len(data) * 7 // 8]


def corrupt(data):
    at = len(data) * 7 // 8
    return data[:at] + bytes(64) + data[at + 64:]


def run_pass(path, types_path, multithreading):
    inf = quorvel_ext.Inf(path, ",", PATTERNS, NA, multithreading, True, str(types_path), 1000)
    inf.infer_types()
    return inf.col_names, inf.get_col_type_candidates(), inf.num_rows, types_path.read_bytes()


# The decompressors' reasons for each damage, as this data meets them.
DAMAGE = {
    ("gzip", "truncated"): "the compressed data ends early",
    ("gzip", "corrupted"): "CRC check failed",
    ("bzip2", "truncated"): "the compressed data ends early",
    ("bzip2", "corrupted"): "invalid compressed data",
    ("xz", "truncated"): "the compressed data ends early",
    ("xz", "corrupted"): "invalid compressed data",
    ("zstd", "truncated"): "the compressed data ends early",
    ("zstd", "corrupted"): "Data corruption detected",
}


@MODES
@pytest.mark.parametrize("variant", ["messy", "generated", "truncated", "corrupted"])
@pytest.mark.parametrize("compression", sorted(COMPRESSORS))
def test_compressed_input_reads_as_its_content(tmp_path, contents, packed, compression, variant,
                                               multithreading):
    source = "messy" if variant == "messy" else "generated"
    plain = tmp_path / "plain.csv"
    plain.write_bytes(contents[source])
    expected = run_pass(str(plain), tmp_path / "expected.types", multithreading)
    damage = {"truncated": cut, "corrupted": corrupt}.get(variant, lambda data: data)
    # A name that says nothing of the compression: the magic decides.
    path = tmp_path / "input.csv"
    path.write_bytes(damage(packed[source, compression]))
    types_path = tmp_path / "got.types"
    if variant in ("messy", "generated"):
        assert run_pass(str(path), types_path, multithreading) == expected
        return
    inf = quorvel_ext.Inf(str(path), ",", PATTERNS, NA, multithreading, True, str(types_path), 1000)
    reason = DAMAGE[compression, variant]
    with pytest.raises(RuntimeError, match=exactly(
            f"Cannot decompress input stream '{path}' ({compression}): {reason}")):
        inf.infer_types()
    # The types file keeps the lines of the rows finished before the failure. Before a
    # corruption is noticed (at the checksum, for gzip) the rows may be garbage.
    lines = types_path.read_bytes().splitlines(keepends=True)
    assert 1 < len(lines) == inf.num_rows
    if variant == "truncated":
        assert lines == expected[3].splitlines(keepends=True)[:len(lines)]
    inf.set_filepath(str(plain))
    inf.infer_types()
    assert (inf.col_names, inf.get_col_type_candidates(), inf.num_rows,
            types_path.read_bytes()) == expected


READ_FROM_FIFO = r"""
import json, sys, quorvel_ext
fifo, threads, patterns = sys.argv[1:]
inf = quorvel_ext.Inf(fifo, ",", json.loads(patterns), set(), threads == "1", False, "", 1000)
sizes = []
quorvel_ext._infer_types(inf, lambda *values: sizes.append(values[1]))
print(json.dumps([inf.col_names, inf.get_col_type_candidates(), inf.num_rows, sizes[-1]]))
"""


@MODES
@pytest.mark.parametrize("compression", sorted(COMPRESSORS))
def test_a_fifo_of_compressed_bytes_is_read_once(tmp_path, contents, packed, compression,
                                                 multithreading):
    # The pass holds the interpreter lock, so a child process reads the FIFO this one feeds.
    content = contents["generated"]
    fifo = str(tmp_path / "in.fifo")
    os.mkfifo(fifo)
    data = packed["generated", compression]
    writer = threading.Thread(target=lambda: pathlib.Path(fifo).write_bytes(data), daemon=True)
    writer.start()
    child = subprocess.run(
        [sys.executable, "-c", READ_FROM_FIFO, fifo, str(int(multithreading)),
         json.dumps(PATTERNS)], capture_output=True, text=True, timeout=60)
    writer.join(5)
    assert child.returncode == 0, child.stderr
    plain = tmp_path / "plain.csv"
    plain.write_bytes(content)
    inf = quorvel_ext.Inf(str(plain), ",", PATTERNS, set(), multithreading, False, "", 1000)
    inf.infer_types()
    # A FIFO has no size to report.
    assert json.loads(child.stdout) == [inf.col_names, inf.get_col_type_candidates(), inf.num_rows,
                                        None]


@MODES
@pytest.mark.parametrize("compression", [None, *sorted(COMPRESSORS)])
def test_progress_counts_the_bytes_taken_from_the_file(tmp_path, contents, packed, compression,
                                                       multithreading):
    content = contents["generated"]
    data = packed["generated", compression] if compression else content
    path = tmp_path / "input.csv"
    path.write_bytes(data)
    inf = quorvel_ext.Inf(str(path), ",", PATTERNS, NA, multithreading, False, "", 1000)
    calls = []
    quorvel_ext._infer_types(inf, lambda *values: calls.append(values))
    assert calls[-1] == (len(data), len(data), content.count(b"\n") - 1)
    assert all(total == len(data) for _, total, _ in calls)
    assert calls == sorted(calls)
    assert inf.num_rows == calls[-1][2]


@pytest.mark.parametrize("compression", [None, *sorted(COMPRESSORS)])
@pytest.mark.parametrize("size", [0, 1, 131073, 10**9], ids=["none", "one", "past-a-chunk", "all"])
def test_read_head_gives_the_first_bytes_of_the_content(tmp_path, contents, packed, compression,
                                                        size):
    content = contents["generated"]
    path = tmp_path / "input.csv"
    path.write_bytes(packed["generated", compression] if compression else content)
    assert quorvel_ext._open_input(str(path)).peek(size) == content[:size]


@pytest.mark.parametrize("content", [b"", b"\x1f\x8b", b"BZh9,a\n1,2\n", b"\x1f\x8b\x07,x\n"],
                         ids=["empty", "gzip-magic-alone", "bzip2-like-text", "gzip-like-text"])
def test_read_head_hands_on_what_is_no_compressed_stream(tmp_path, content):
    path = tmp_path / "input.csv"
    path.write_bytes(content)
    assert quorvel_ext._open_input(str(path)).peek(100) == content


@pytest.mark.parametrize("compression", sorted(COMPRESSORS))
def test_read_head_reports_a_damaged_stream_or_a_missing_file(tmp_path, packed, compression):
    path = tmp_path / "input.csv"
    path.write_bytes(cut(packed["generated", compression]))
    with pytest.raises(RuntimeError, match=exactly(
            f"Cannot decompress input stream '{path}' ({compression}): "
            f"{DAMAGE[compression, 'truncated']}")):
        quorvel_ext._open_input(str(path)).peek(10**9)
    with pytest.raises(RuntimeError, match=exactly("Something is wrong with input stream")):
        quorvel_ext._open_input(str(tmp_path / "missing.csv")).peek(10)
