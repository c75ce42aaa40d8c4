"""describe() and the command read a FIFO once, as the engine does.

A writer process fills the FIFO once; should anything open it a second time (to sniff, to detect
the encoding, to check for zstd), the writer dies of SIGPIPE or the reader waits forever, and the
timeouts here turn that into a failure. Each report must equal the report of the same bytes in a
plain file.
"""
import gzip
import json
import subprocess
import sys

import pytest

import quorvel

ROWS = "".join(f"{i};x{i % 7};{i % 3 or ''}\n" for i in range(30_000))
CASES = {  # id: (the file's bytes, describe's arguments)
    "plain": (("a;b;c\n" + ROWS).encode(), {}),
    "repeated-names": (("a;a;c\n" + ROWS).encode(), {}),
    "latin-1-header": (("é;b;c\n" + ROWS).encode("latin-1"), {}),
    "gzip": (gzip.compress(("a;b;c\n" + ROWS).encode()), {}),
    "threads": (("a;b;c\n" + ROWS).encode(), {"threads": 2}),
}


def filled_fifo(tmp_path, data):
    source = tmp_path / "source"
    source.write_bytes(data)
    fifo = tmp_path / "in.fifo"
    subprocess.run(["mkfifo", str(fifo)], check=True)
    writer = subprocess.Popen(["sh", "-c", 'exec cat "$1" > "$2"', "sh", str(source), str(fifo)])
    return str(source), str(fifo), writer


def comparable(report):
    return [(c.name, c.verdict, c.counts, c.missing) for c in report.columns], report.rows


@pytest.mark.parametrize("data, kwargs", CASES.values(), ids=CASES)
def test_describe_reads_a_fifo_once(tmp_path, data, kwargs):
    source, fifo, writer = filled_fifo(tmp_path, data)
    try:
        report = quorvel.describe(fifo, **kwargs)
    finally:
        assert writer.wait(timeout=60) == 0  # not killed by SIGPIPE
    expected = quorvel.describe(source, **kwargs)
    assert comparable(report) == comparable(expected)
    assert (report.delimiter, report.encoding) == (expected.delimiter, expected.encoding)


def test_the_command_reads_a_fifo_once(tmp_path):
    source, fifo, writer = filled_fifo(tmp_path, CASES["repeated-names"][0])
    done = subprocess.run([sys.executable, "-m", "quorvel", "--json", fifo], capture_output=True,
                          text=True, timeout=120)
    assert writer.wait(timeout=60) == 0
    assert done.returncode == 0, done.stderr
    expected = subprocess.run([sys.executable, "-m", "quorvel", "--json", source],
                              capture_output=True, text=True, timeout=120, check=True)
    reports = [json.loads(out)["files"] for out in (done.stdout, expected.stdout)]
    for report in reports:
        assert [r.pop("path") for r in report] in ([fifo], [source])
    assert reports[0] == reports[1]
