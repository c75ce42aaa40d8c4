"""The engine's cells as Arrow batches (quorvel.reader) and read_arrow on top of them: held
against Python's csv module on random and real files, one test per quirk that a library's reader
got wrong, batches of any size, and failures, interrupts and threads around the C stream."""
import concurrent.futures
import csv
import gzip
import io
import os
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import pyarrow
import pytest

import quorvel
import quorvel_ext
from conftest import exactly
from quorvel.reader import text_batches

REPO = Path(__file__).resolve().parents[2]
REAL_FILES = sorted((REPO / "build" / "real-world").glob("*.csv"))
EXAMPLE_FILES = sorted((REPO / "examples").glob("*.csv"))


def csv_rows(path, report):
    """The data rows as Python's csv module reads them, cut or padded with None to the width.
    It agrees with the tokenizer on every file this module gives it: none has a blank line,
    a last row without its line end or a lone quoted empty field as its whole input."""
    width = len(report.columns)
    with open(path, newline="", encoding=report.encoding) as text:
        rows = list(csv.reader(text, delimiter=report.delimiter))[report.skip_rows + report.header:]
    return [row[:width] + [None] * (width - len(row)) for row in rows]


def batch_rows(reader):
    return [list(row.values()) for batch in reader for row in batch.to_pylist()]


FIELDS = ["a", "12", "", '"q,x"', '"say ""hi"""', '"line\nbreak"', '"cr\rbreak"',
          '"crlf\r\nbreak"', '""', "caf\u00e9", " spaced "]
ENDS = ["\n", "\r\n", "\r"]


def random_file(rng, width):
    rows = [",".join(f"c{i}" for i in range(width))]
    for _ in range(rng.randrange(1, 60)):
        cells = [rng.choice(FIELDS) for _ in range(rng.randrange(1, width + 3))]
        # A row of one empty unquoted cell is a blank line, which csv reads as no cell.
        rows.append('""' if cells == [""] else ",".join(cells))
    return "".join(row + rng.choice(ENDS) for row in rows)


@pytest.mark.parametrize("seed", range(40))
def test_random_files_read_as_pythons_csv_reads_them(write, seed):
    rng = random.Random(seed)
    path = write(random_file(rng, rng.randrange(1, 4)))
    report = quorvel.describe(path, delimiter=",", header=True, skip_rows=0)
    expected = csv_rows(path, report)
    # Batches of one row, of a few, and of the default size.
    for size in (1, 3, quorvel.reader.BATCH_ROWS):
        reader = text_batches(report, size)
        assert reader.schema == pyarrow.schema(
            [(c.name, pyarrow.large_string()) for c in report.columns])
        assert batch_rows(reader) == expected, size
    assert len(expected) == report.rows


def pipeline_read(path, width, size, **pipeline):
    """Every batch's rows, the misfits of the first column read as int64 (the others as text)
    and what the pipeline did."""
    names = [f"c{i}" for i in range(width)]
    conversions = [("int64", [""], False, False, "")] + [("large_string", [], False, False, "")] * (
        width - 1)
    cells = quorvel_ext._read_cells(quorvel_ext._open_input(str(path)), delimiter=",",
                                    header=True, names=names, batch_rows=size,
                                    conversions=conversions, misfit_examples=3, **pipeline)
    rows = batch_rows(pyarrow.RecordBatchReader.from_stream(cells))
    return rows, cells.misfits(), cells.stats()


def test_workers_read_the_rows_and_misfits_that_one_thread_reads(write):
    # Chunks of a few bytes cut most quoted line breaks and CR LF: those chunks are read again.
    rng = random.Random(20261210)
    worker_chunks = reparsed = 0
    for seed in range(40):
        width = rng.randrange(1, 4)
        path = write(random_file(rng, width))
        for size in (1, 3, quorvel.reader.BATCH_ROWS):
            rows, misfits, _ = pipeline_read(path, width, size, threads=1)
            threaded = pipeline_read(path, width, size, threads=2, chunk_bytes=rng.randrange(4, 40))
            assert threaded[:2] == (rows, misfits), (seed, size)
            worker_chunks += threaded[2]["worker_chunks"]
            reparsed += threaded[2]["reparsed"]
    # On a busy machine the calling thread may take every chunk of these small files before the
    # worker wakes: a large file, read until a worker took a chunk of it, shows the workers build
    # batches whatever the scheduling.
    large = write("n,t\n" + "".join(f"{row},text\n" for row in range(200_000)), "large.csv")
    for _ in range(100):
        if worker_chunks > 0:
            break
        worker_chunks += pipeline_read(large, 2, 1000, threads=2, chunk_bytes=4096)[2][
            "worker_chunks"]
    assert worker_chunks > 0 and reparsed > 0


@pytest.mark.parametrize("path", REAL_FILES + EXAMPLE_FILES,
                         ids=[p.name for p in REAL_FILES + EXAMPLE_FILES])
def test_real_and_example_files_read_as_pythons_csv_reads_them(path):
    report = quorvel.describe(path)
    rows = batch_rows(text_batches(report))
    assert len(rows) == report.rows
    assert rows == csv_rows(path, report)


def test_the_project_has_real_files_to_read():
    assert len(REAL_FILES) >= 10 and len(EXAMPLE_FILES) >= 2


def test_a_file_longer_than_a_batch_is_read_in_several(write):
    path = write("n\n" + "".join(f"{i}\n" for i in range(quorvel.reader.BATCH_ROWS + 5)))
    report = quorvel.describe(path)
    # A batch holds rows of one chunk of the engine's reader: at most BATCH_ROWS.
    lengths = [batch.num_rows for batch in text_batches(report)]
    assert len(lengths) >= 2 and max(lengths) <= quorvel.reader.BATCH_ROWS
    assert sum(lengths) == quorvel.reader.BATCH_ROWS + 5
    assert report.read_arrow().column("n").to_pylist() == list(range(quorvel.reader.BATCH_ROWS + 5))


# One per quirk that made a library's reader lose or misread cells the pass read right:
# (file content, {column: values read_arrow gives}).
QUIRKS = {
    "rows ending in CR alone": ("id,name\r1,ann\r2,bob\r", {"id": [1, 2], "name": ["ann", "bob"]}),
    "a quote inside a header cell": ('id,na"me\n1,ann\n2,bob\n',
                                     {"id": [1, 2], 'na"me': ["ann", "bob"]}),
    "NUL in a cell": ("id,name\n1,a\0b\n2,c\n", {"id": [1, 2], "name": ["a\0b", "c"]}),
    "a blank first data line": ("id,name\n\n1,ann\n", {"id": [None, 1], "name": [None, "ann"]}),
    "a blank line before the table": ("\nid,name\n1,ann\n2,bob\n",
                                      {"id": [1, 2], "name": ["ann", "bob"]}),
    "a cell of 128 KiB": ("id,text\n1," + "x" * (128 << 10) + "\n2,y\n",
                          {"id": [1, 2], "text": ["x" * (128 << 10), "y"]}),
    "70,000 blank lines": ("n\n1\n" + "\n" * 70_000 + "2\n", {"n": [1] + [None] * 70_000 + [2]}),
    "a quoted line break and a stray quote": ('id,note\n1,"two\nlines"\n2,5" tall\n',
                                              {"id": [1, 2], "note": ["two\nlines", '5" tall']}),
}


@pytest.mark.parametrize("content, expected", QUIRKS.values(), ids=QUIRKS.keys())
def test_read_arrow_keeps_every_cell_of_a_quirky_file(write, content, expected):
    report = quorvel.describe(write(content))
    table = report.read_arrow()
    assert table.to_pydict() == expected
    assert table.num_rows == report.rows


@pytest.mark.parametrize("name", ["data.csv", "data", "x[1]*.csv"])
def test_read_arrow_reads_gzip_told_by_its_content_whatever_its_name(tmp_path, name):
    content = "id,name\n" + "".join(f"{i},n{i}\n" for i in range(1000))
    (tmp_path / name).write_bytes(gzip.compress(content.encode()))
    (tmp_path / "x[1]a.csv").write_text("decoy,rows\n")
    report = quorvel.describe(tmp_path / name)
    table = report.read_arrow()
    assert table.column("id").to_pylist() == list(range(1000))
    assert table.column("name").type == pyarrow.string()


def test_read_arrow_reads_encodings_only_python_decodes(write):
    text = "name,n\n\u30c7\u30fc\u30bf,1\n\u6771\u4eac,2\n"
    report = quorvel.describe(write(text.encode("shift_jis")), encoding="shift_jis")
    assert report.read_arrow().to_pydict() == {"name": ["\u30c7\u30fc\u30bf", "\u6771\u4eac"],
                                               "n": [1, 2]}


def test_short_and_long_rows_and_a_blank_line_keep_the_pass_rows(write):
    report = quorvel.describe(write("a,b,c\n1,x,y\n2\n\n3,z,w,extra\n"))
    with pytest.warns(quorvel.LongRowsWarning):
        table = report.read_arrow()
    assert table.to_pydict() == {"a": [1, 2, None, 3], "b": ["x", None, None, "z"],
                                 "c": ["y", None, None, "w"]}
    # The engine gives a blank line as one empty cell, which the load reads as missing.
    assert batch_rows(text_batches(report)) == [["1", "x", "y"], ["2", None, None],
                                                ["", None, None], ["3", "z", "w"]]


def test_a_file_that_breaks_after_the_pass_fails_the_load_with_the_engines_message(tmp_path):
    path = tmp_path / "data.csv.gz"
    whole = gzip.compress(("n\n" + "".join(f"{i}\n" for i in range(200_000))).encode())
    path.write_bytes(whole)
    report = quorvel.describe(path)
    path.write_bytes(whole[:len(whole) // 2])
    with pytest.raises(RuntimeError, match="data.csv.gz"):
        report.read_arrow()


class InterruptedFile(io.RawIOBase):
    """A binary file whose third read is interrupted, as by Ctrl-C."""

    def __init__(self, data):
        super().__init__()
        self.data = io.BytesIO(data)
        self.reads = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        self.reads += 1
        if self.reads == 3:
            raise KeyboardInterrupt
        return self.data.readinto(buffer)


def cells_of(source, names=("n",), batch_rows=1000, header=True):
    return quorvel_ext._read_cells(quorvel_ext._open_input(source), delimiter=",", header=header,
                                   names=list(names), batch_rows=batch_rows)


def test_an_interrupt_while_reading_is_raised_as_itself():
    cells = cells_of(InterruptedFile(b"n\n" + b"1\n" * 300_000))
    with pytest.raises(OSError, match="KeyboardInterrupt"):
        pyarrow.RecordBatchReader.from_stream(cells).read_all()
    with pytest.raises(KeyboardInterrupt):
        cells.raise_failure()
    cells.raise_failure()  # raised once: the failure is handed over


def test_a_stream_is_exported_once_and_released_unread(write):
    cells = cells_of(write("n\n1\n"))
    capsule = cells.__arrow_c_stream__()
    with pytest.raises(RuntimeError, match=exactly(
            "the cells were read already: an input is read once")):
        cells.__arrow_c_stream__()
    del capsule  # released by the capsule, never read
    cells.raise_failure()


def test_a_used_input_and_an_empty_layout_are_refused(write):
    source = quorvel_ext._open_input(write("n\n1\n"))
    quorvel_ext._read_cells(source, delimiter=",", header=True, names=["n"], batch_rows=1)
    with pytest.raises(RuntimeError, match=exactly("this input was read by a pass already")):
        quorvel_ext._read_cells(source, delimiter=",", header=True, names=["n"], batch_rows=1)
    with pytest.raises(ValueError, match=exactly("names must name at least one column")):
        cells_of(write("n\n"), names=())
    with pytest.raises(ValueError, match=exactly("batch_rows must be at least 1")):
        cells_of(write("n\n"), batch_rows=0)


def test_a_python_source_is_read_and_released_off_the_calling_thread():
    data = b"n,t\n" + b"".join(b"%d,v%d\n" % (i, i) for i in range(50_000))
    reader = pyarrow.RecordBatchReader.from_stream(
        cells_of(io.BytesIO(data), names=("n", "t"), batch_rows=997))
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        table = pool.submit(reader.read_all).result()
        pool.submit(reader.close).result()
    assert table.column("t").to_pylist() == [f"v{i}" for i in range(50_000)]


CHILD = r"""
import sys, pyarrow, quorvel_ext
cells = quorvel_ext._read_cells(quorvel_ext._open_input(sys.argv[1]), delimiter=",",
                                header=False, names=["n"], batch_rows=1)
reader = pyarrow.RecordBatchReader.from_stream(cells)
print("reading", flush=True)
try:
    reader.read_next_batch()
    print("read on")
except OSError:
    try:
        cells.raise_failure()
    except KeyboardInterrupt:
        print("interrupted")
"""


def wait_until_polling(pid):
    """Until the process's thread waits in poll(): the engine waiting for a quiet pipe."""
    wchan = Path(f"/proc/{pid}/wchan")
    for _ in range(6000):
        if "poll" in wchan.read_text():
            return
        time.sleep(0.01)
    raise AssertionError(f"the reader never waited on the pipe: {wchan.read_text()}")


def test_ctrl_c_ends_a_read_that_waits_on_a_pipe(tmp_path):
    # The batch waits for bytes that never come, in the engine, without the interpreter lock:
    # only the engine's own check for signals can end it.
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(fifo)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        with open(fifo, "w"):
            assert child.stdout.readline() == "reading\n", child.stderr.read()
            wait_until_polling(child.pid)
            child.send_signal(signal.SIGINT)
            # The pipe stays open: its end would end the read as well.
            out, err = child.communicate(timeout=60)
        assert (out, err, child.returncode) == ("interrupted\n", "", 0)
    finally:
        child.kill()
        child.communicate()


FORKED_CHILD = r"""
import gc, os, sys, pyarrow, quorvel_ext
cells = quorvel_ext._read_cells(quorvel_ext._open_input(sys.argv[1]), delimiter=",", header=True,
                                names=["n", "text"], batch_rows=1, threads=2, chunk_bytes=64)
reader = pyarrow.RecordBatchReader.from_stream(cells)
reader.read_next_batch()
child = os.fork()
if child == 0:
    # The child frees the half-read stream, as its garbage collector would.
    del reader, cells
    gc.collect()
    os._exit(0)
print(os.waitpid(child, 0)[1])
"""


def test_a_process_forked_while_a_stream_is_half_read_can_free_it(write):
    # The stream's workers are not in the forked child: freeing the stream there must not wait
    # for them.
    path = write("n,text\n" + "".join(f"{n},{'x' * (n % 50)}\n" for n in range(20_000)))
    process = subprocess.Popen([sys.executable, "-c", FORKED_CHILD, str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        # The forked child hangs, and its parent waits for it: both go.
        os.killpg(process.pid, signal.SIGKILL)
        raise
    assert (out, process.returncode) == ("0\n", 0), err


@pytest.mark.parametrize("content, encoding", [
    (b"id,name\n1,caf\xe9\n2,bob\n", "utf-8"),
    (b"id,name\n1,caf\xe9\n2,bob\n", "shift_jis"),
], ids=["utf-8 read as it is", "decoded by Python"])
def test_bytes_that_do_not_decode_stop_the_load_rather_than_enter_arrows_text(
        write, content, encoding):
    report = quorvel.describe(write(content), encoding=encoding)
    with pytest.raises(pyarrow.ArrowInvalid, match="UTF8"):
        report.read_arrow()


# A character of each length, or bytes that are not UTF-8, in a text cell of the second batch.
SEQUENCES = [b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xe9", b"\xe2\x82",
             b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80"]


@pytest.mark.parametrize("sequence", SEQUENCES, ids=lambda s: s.hex())
def test_the_engine_checks_text_as_utf8_wherever_a_sequence_falls_in_a_block(write, sequence):
    """The engine checks a batch's text as it builds it, skipping ASCII 16 bytes at a time: a
    cell that is not UTF-8 stops the load at its batch with Arrow's own error, the batches
    before it delivered; one that is passes as Python decodes it."""
    valid = _decodes(sequence)
    for offset in range(33):
        cell = b"x" * offset + sequence
        report = quorvel.describe(write(b"id,name\n1,ab\n2,cd\n3," + cell + b"\n4,ef\n"),
                                  encoding="utf-8")
        delivered = []
        if valid:
            delivered = list(text_batches(report, batch_rows=2))
        else:
            with pytest.raises(pyarrow.ArrowInvalid, match="UTF8"):
                for batch in text_batches(report, batch_rows=2):
                    delivered.append(batch)
        names = [name for batch in delivered for name in batch.column(1).to_pylist()]
        assert names == (["ab", "cd", cell.decode(), "ef"] if valid else ["ab", "cd"]), offset


@pytest.mark.parametrize("loader", ["read_arrow", "read_polars", "read_pandas"])
@pytest.mark.parametrize("cell", [b"caf\xe9", b"caf\xe9 in a cell past a view's 12 bytes"],
                         ids=["short", "long"])
def test_every_loader_refuses_text_that_is_not_utf8_with_arrows_error(write, loader, cell):
    """read_polars' text is the engine's string views, a short cell inline, a long one apart."""
    report = quorvel.describe(write(b"id,name\n1,ab\n2," + cell + b"\n"), encoding="utf-8")
    with pytest.raises(pyarrow.ArrowInvalid, match="UTF8"):
        getattr(report, loader)()


def _decodes(sequence):
    try:
        sequence.decode("utf-8")
        return True
    except UnicodeDecodeError:
        return False
