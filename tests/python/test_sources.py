"""Every kind of source the engine reads, every encoding, and the faults of the input path
that a child process and FIFOs once brought: each reproduced, each with its sound result."""
import codecs
import io
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorvel
import quorvel_ext
from quorvel import source

from conftest import exactly

ENGINE_CODECS = ["utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be", "latin-1", "cp1252"]
PYTHON_CODECS = ["euc_jp", "shift_jis", "gb18030"]
# Characters each codec can encode, astral ones where it can.
ALPHABETS = {
    "latin-1": "abc,;\n\"é ÿ0123456789", "cp1252": "abc,;\n\"é€Ÿ™0123456789",
    "euc_jp": "abc,\n東京都港区0123", "shift_jis": "abc,\n山田太郎カナ0123",
    "gb18030": "abc,\n中文字符😀0123",
}
WIDE = "abc,;\n\"é€😀東京0123456789"


def random_text(codec, size, seed):
    alphabet = ALPHABETS.get(codec, WIDE)
    rng = random.Random(seed)
    return "".join(rng.choice(alphabet) for _ in range(size))


def read_all(input_):
    out = bytearray()
    buffer = bytearray(70_001)  # not a multiple of any code unit
    while True:
        got = input_.readinto(buffer)
        if not got:
            return bytes(out)
        out += buffer[:got]


def engine_utf8(path, codec, skip=0):
    """What the pass reads of `path` in `codec`: the engine's transcoding, else Python's."""
    input_ = quorvel_ext._open_input(str(path))
    head = source.Head(codec, codec, skip, "", True, None)
    decoded, python = source.decoded(input_, head)
    return read_all(decoded if python is None else python), decoded, python


@pytest.mark.parametrize("codec", ENGINE_CODECS + PYTHON_CODECS)
def test_transcoding_gives_what_python_decodes_across_every_read(tmp_path, codec):
    text = random_text(codec, 150_000, codec)  # past several of the engine's reads
    path = tmp_path / "in.csv"
    path.write_bytes(text.encode(codec))
    utf8, decoded, python = engine_utf8(path, codec)
    assert utf8 == text.encode("utf-8")
    assert (python is None) == (codec in ENGINE_CODECS)
    assert decoded.undecodable[0] == 0


@pytest.mark.parametrize("codec, bad", [
    ("utf-16-le", b"\x00\xd8"), ("utf-16-be", b"\xdc\x00"), ("utf-32-le", b"\x00\x00\x11\x00"),
    ("cp1252", b"\x81"), ("euc_jp", b"\xff"), ("shift_jis", b"\x80"),
])
def test_undecodable_bytes_are_counted_and_kept_apart_never_replaced(tmp_path, codec, bad):
    rng = random.Random(codec)
    parts = [random_text(codec, rng.randrange(1, 40_000), i).encode(codec) for i in range(4)]
    raw = bad.join(parts)
    path = tmp_path / "in.csv"
    path.write_bytes(raw)
    utf8, decoded, python = engine_utf8(path, codec)
    oracle = codecs.decode(raw, codec, errors=source.UNDECODABLE)
    assert utf8 == oracle.encode("utf-8", "surrogatepass")
    if python is None:
        count, first = decoded.undecodable
    else:
        count, first = python.undecodable, python.first_undecodable_at
    assert (count, first) == (3, len(parts[0]))


def utf8_report(tmp_path, text, **kwargs):
    path = tmp_path / "utf8.csv"
    path.write_text(text, encoding="utf-8")
    return quorvel.describe(str(path), **kwargs)


def same_findings(report, expected):
    assert [(c.name, c.counts, c.missing, c.misfit_examples) for c in report.columns] == [
        (c.name, c.counts, c.missing, c.misfit_examples) for c in expected.columns]
    assert report.rows == expected.rows


ENCODED = "id,名前,amount,when\n" + "".join(
    f"{i},山田{i},{i * 3}.5,2024-01-{i % 28 + 1:02d}\n" for i in range(200)) + "x,東京,NA,no\n"


@pytest.mark.parametrize("codec, bom, reported", [
    ("utf-8", b"", "utf-8"), ("utf-8", codecs.BOM_UTF8, "utf-8-sig"),
    ("utf-16-le", codecs.BOM_UTF16_LE, "utf-16"), ("utf-16-be", codecs.BOM_UTF16_BE, "utf-16"),
    ("utf-16-le", b"", "utf-16-le"), ("utf-16-be", b"", "utf-16-be"),
    ("utf-32-le", codecs.BOM_UTF32_LE, "utf-32"), ("utf-32-be", b"", "utf-32-be"),
    ("euc_jp", b"", None), ("shift_jis", b"", None), ("gb18030", b"", None),
])
def test_each_encoding_is_detected_and_counts_as_its_utf8_twin(tmp_path, codec, bom, reported):
    path = tmp_path / "in.csv"
    path.write_bytes(bom + ENCODED.encode(codec))
    report = quorvel.describe(str(path))
    same_findings(report, utf8_report(tmp_path, ENCODED))
    assert report.encoding_detected and report.undecodable == 0
    if reported is not None:
        assert report.encoding == reported
    else:  # the detector may name a superset of the codec
        assert ENCODED.encode(codec).decode(report.encoding) == ENCODED
    with pytest.warns(quorvel.MisfitWarning, match="'id' 1 .e.g. 'x' row 201."):
        assert report.read_pandas().columns.tolist() == ["id", "名前", "amount", "when"]


WESTERN = "id,café,prix\n1,crème brûlée,3 €\n2,naïve,4 €\n3,“quoted”,5 €\n"


def test_cp1252_and_latin1_are_told_apart_by_the_bytes_that_differ(tmp_path):
    cp1252 = tmp_path / "cp1252.csv"
    cp1252.write_bytes(WESTERN.encode("cp1252"))
    latin1 = tmp_path / "latin1.csv"
    latin1.write_bytes(WESTERN.replace("€", "¤").replace("“", '"').replace("”", '"')
                       .encode("latin-1"))
    found = {path.name: quorvel.describe(str(path)) for path in (cp1252, latin1)}
    assert [r.encoding for r in found.values()] == ["cp1252", "latin-1"]
    assert found["cp1252.csv"].columns[2].misfit_examples == {}
    assert [c.name for c in found["cp1252.csv"].columns] == ["id", "café", "prix"]
    frame = found["cp1252.csv"].read_pandas()
    assert frame["prix"].tolist() == ["3 €", "4 €", "5 €"]
    con = __import__("duckdb").connect()
    found["cp1252.csv"].read_duckdb(con, "t")
    assert con.sql("SELECT prix FROM t ORDER BY id").fetchall() == [("3 €",), ("4 €",), ("5 €",)]
    assert found["cp1252.csv"].read_polars()["café"].to_list() == [
        "crème brûlée", "naïve", "“quoted”"]


def test_a_utf8_mark_before_latin1_bytes_is_skipped_and_the_text_read_as_latin1(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(codecs.BOM_UTF8 + "id,café\n1,brûlée\n".encode("latin-1"))
    report = quorvel.describe(str(path))
    assert (report.encoding, [c.name for c in report.columns]) == ("latin-1", ["id", "café"])
    assert report.read_pandas()["café"].tolist() == ["brûlée"]


def test_a_header_longer_than_the_first_block_in_a_given_encoding(tmp_path):
    names = [f"é{i}" for i in range(20_000)]  # about 140 KiB of header
    path = tmp_path / "in.csv"
    path.write_bytes((",".join(names) + "\n" + ",".join("1" * len(names)) + "\n")
                     .encode("latin-1"))
    report = quorvel.describe(str(path), encoding="latin-1")
    assert [c.name for c in report.columns] == names
    assert all(c.counts == {"integer": 1} for c in report.columns)


@pytest.mark.parametrize("codec", ["utf-16", "utf-16-le", "utf-32"])
def test_a_header_of_repeated_names_beyond_the_first_block_counts_each_column(tmp_path, codec):
    path = tmp_path / "in.csv"
    path.write_bytes(("a," * 40_000 + "a\n" + "1,x," * 20_000 + "1\n").encode(codec))
    report = quorvel.describe(str(path))
    assert len(report.columns) == 40_001
    assert [c.counts for c in report.columns[:3]] == [{"integer": 1}, {"other": 1},
                                                      {"integer": 1}]


def test_a_nul_in_a_header_cell_is_a_character_of_its_name(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(b"a\x00b,c\n1,2\n")
    report = quorvel.describe(str(path))
    assert [c.name for c in report.columns] == ["a\x00b", "c"]


def test_zstd_with_a_latin1_header_of_repeated_names(tmp_path):
    plain = "n,n,café\n1,x,2\n3,y,4\n".encode("latin-1")
    path = tmp_path / "in.csv.zst"
    path.write_bytes(subprocess.run(["zstd", "-q", "-c"], input=plain, capture_output=True,
                                    check=True).stdout)
    report = quorvel.describe(str(path))
    assert [(c.name, c.counts) for c in report.columns] == [
        ("n", {"integer": 2}), ("n.1", {"other": 2}), ("café", {"integer": 2})]


def test_a_file_named_like_a_switch_with_a_repeated_header(tmp_path):
    path = tmp_path / "--relay"
    path.write_text("a,a\n1,x\n")
    report = quorvel.describe(str(path))
    assert [c.counts for c in report.columns] == [{"integer": 1}, {"other": 1}]


def test_no_code_from_the_working_directory_runs(tmp_path):
    """A folder holding a package named quorvel, whose modules would write a file if run."""
    fake = tmp_path / "cwd" / "quorvel"
    fake.mkdir(parents=True)
    marker = tmp_path / "ran"
    for module in ("__init__", "feed", "source", "__main__"):
        (fake / f"{module}.py").write_text(f"open({str(marker)!r}, 'w').write('ran')\n")
    data = tmp_path / "rep.csv"
    data.write_text("a,a\n1,2\n")
    script = textwrap.dedent(f"""
        import sys
        sys.path.remove('')
        import quorvel
        print(len(quorvel.describe({str(data)!r}).columns))
    """)
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path / "cwd",
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "2\n", "")
    assert not marker.exists()


def fifo_with(tmp_path, data):
    fifo = tmp_path / "fifo.csv"
    os.mkfifo(fifo)
    writer = subprocess.Popen([sys.executable, "-c",
                               f"open({str(fifo)!r}, 'wb').write({data!r})"])
    return fifo, writer


def test_a_fifo_is_read_once_and_its_report_refuses_to_load_again(tmp_path):
    fifo, writer = fifo_with(tmp_path, b"a,a\n1,x\n2,y\n")
    report = quorvel.describe(str(fifo))
    assert writer.wait(timeout=60) == 0
    assert [c.counts for c in report.columns] == [{"integer": 2}, {"other": 2}]
    started = time.monotonic()
    with pytest.raises(ValueError, match=exactly(
            f"'{fifo}' was read once, as a stream, and cannot be read again to load it: "
            f"describe a regular file or a URL to load it")):
        report.read_pandas()
    assert time.monotonic() - started < 5


def test_a_descriptor_and_a_file_object_give_the_report_of_the_path(tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(("id,v\n" + "".join(f"{i},{i % 7 or 'x'}\n" for i in range(50_000)))
                     .encode())
    expected = quorvel.describe(str(path))
    fd = os.open(path, os.O_RDONLY)
    try:
        by_descriptor = quorvel.describe(fd)
    finally:
        os.close(fd)
    with open(path, "rb") as f:
        by_object = quorvel.describe(f)
    by_bytes = quorvel.describe(io.BytesIO(path.read_bytes()))
    for report in (by_descriptor, by_object, by_bytes):
        same_findings(report, expected)
        assert report.local_path is None
    assert expected.local_path == str(path)


class Breaking(io.RawIOBase):
    """A file object whose reads fail once `fail_at` bytes are delivered."""

    def __init__(self, data, fail_at):
        super().__init__()
        self.data, self.at, self.fail_at = data, 0, fail_at

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.at >= self.fail_at:
            raise ConnectionResetError("connection reset by peer")
        size = min(len(buffer), self.fail_at - self.at, len(self.data) - self.at)
        buffer[:size] = self.data[self.at:self.at + size]
        self.at += size
        return size


def test_a_source_failing_mid_read_raises_one_error_naming_it_and_the_byte():
    data = b"a,b\n" + b"1,2\n" * 200_000
    with pytest.raises(OSError, match=r"failed at byte 300000: ") as caught:
        quorvel.describe(Breaking(data, 300_000))
    assert isinstance(caught.value.__cause__, ConnectionResetError)


def test_a_byte_range_counts_the_rows_of_its_bytes(tmp_path):
    rows = "".join(f"{i},{'x' if i % 3 else i}\n" for i in range(1000))
    path = tmp_path / "in.csv"
    path.write_text(rows)
    start = rows.index("\n", 2000) + 1
    end = rows.index("\n", 5000) + 1
    inf = quorvel_ext.Inf(filepath="", delimiter=",", col_type_patterns={"n": ["[0-9]+"]},
                          na_values=set(), multithreading=False, save_types_file=False,
                          types_filepath="", rolling_cache_window=0)
    quorvel_ext._infer_types(inf, None, input=quorvel_ext._open_input(str(path), start=start,
                                                                       end=end),
                             names=["i", "v"], header=False)
    chunk = rows[start:end].splitlines()
    assert inf.num_rows == len(chunk)
    assert inf.get_col_type_candidates()["v"]["n"] == sum(r.split(",")[1].isdigit() for r in chunk)


def test_an_input_serves_one_pass():
    inf = quorvel_ext.Inf(filepath="", delimiter=",", col_type_patterns={}, na_values=set(),
                          multithreading=False, save_types_file=False, types_filepath="",
                          rolling_cache_window=0)
    input_ = quorvel_ext._open_input(io.BytesIO(b"a\n1\n"))
    quorvel_ext._infer_types(inf, None, input=input_)
    with pytest.raises(RuntimeError, match=exactly("this input was read by a pass already")):
        quorvel_ext._infer_types(inf, None, input=input_)


def test_the_command_reads_standard_input_with_no_file_and_no_process(tmp_path):
    data = b"a,a\n" + b"1,x\n" * 100_000
    done = subprocess.run([sys.executable, "-m", "quorvel", "--json", "-"], input=data,
                          capture_output=True, timeout=120, env=dict(os.environ,
                                                                     TMPDIR=str(tmp_path)))
    assert done.returncode == 0, done.stderr
    assert b'"counts": {"other": 100000}' in done.stdout.replace(b"\n", b"").replace(b"  ", b"")
    assert list(tmp_path.iterdir()) == []


def test_sigterm_to_the_command_leaves_nothing_behind(tmp_path):
    with subprocess.Popen([sys.executable, "-m", "quorvel", "-"], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ, TMPDIR=str(tmp_path))) as child:
        child.stdin.write(b"a\n1\n")
        child.stdin.flush()
        from test_cli import wait_until_polling
        wait_until_polling(child.pid)
        child.send_signal(signal.SIGTERM)
        assert child.wait(timeout=60) == -signal.SIGTERM
    assert list(tmp_path.iterdir()) == []
