"""The quorvel command as a user runs it: output, options, exit statuses, pipes and Ctrl-C."""
import io
import json
import os
import pathlib
import resource
import signal
import subprocess
import sys
import time

import pytest

import quorvel
from quorvel import cli

REPO = pathlib.Path(__file__).resolve().parents[2]
MESSY = REPO / "examples" / "messy.csv"
# Through the interpreter, so that the tests also run where the package is not
# installed but on PYTHONPATH; the installed console script has a test of its own.
COMMAND = [sys.executable, "-m", "quorvel"]


def run(*args, **kwargs):
    return subprocess.run(COMMAND + list(map(str, args)), capture_output=True, text=True,
                          timeout=120, **kwargs)


@pytest.mark.wheel
def test_the_wheel_installs_the_command():
    script = pathlib.Path(sys.executable).with_name("quorvel")
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.split()[:2]) == (0, ["usage:", "quorvel"])


def test_prints_the_report_of_each_file():
    result = run(MESSY, MESSY)
    assert (result.returncode, result.stderr) == (0, "")
    # Files that share a header are added up after their own reports.
    [both] = quorvel.describe_many([MESSY, MESSY]).groups
    one = quorvel.describe(MESSY)
    assert result.stdout == f"{one}\n\n{one}\n\n{both.report}\n"
    many = json.loads(run("--json", MESSY, MESSY).stdout)
    # As JSON: the report's misfit examples are tuples, which JSON writes as lists.
    [alone] = json.loads(quorvel.describe(MESSY).to_json())["files"]
    assert many == {"version": 2, "files": [alone] * 2}


@pytest.mark.parametrize("args, output", [
    (["--json"], lambda r: r.to_json()),
    (["--schema", "sql", "--table", "orders"], lambda r: r.to_sql("orders")),
    (["--schema", "sql", "--dialect", "postgresql"], lambda r: r.to_sql("messy", "postgresql")),
    (["--schema", "pandas"], lambda r: json.dumps(r.to_pandas(), indent=2)),
    (["--schema", "frictionless"], lambda r: json.dumps(r.to_frictionless(), indent=2)),
    (["--schema", "arrow"], lambda r: str(r.to_arrow())),
    (["--threshold", "0.99", "--threads"], lambda r: str(quorvel.describe(MESSY, threshold=0.99))),
    (["--na", "", "--na", "-"], lambda r: str(quorvel.describe(MESSY, na=["", "-"]))),
])
def test_options_print_what_the_package_gives(args, output):
    result = run(*args, MESSY)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == output(quorvel.describe(MESSY)) + "\n"


def test_types_file_delimiter_and_standard_input(tmp_path):
    table = tmp_path / "types.json"
    table.write_text(json.dumps({"digits": "[0-9]+"}))
    result = run("--types", table, "--delimiter", ";", "-", input="a;b\n1;x\n")
    assert (result.returncode, result.stderr) == (0, "")
    assert json.loads(run("--json", "--types", table, "-", input="a;b\n1;x\n").stdout)[
        "files"][0]["columns"][0]["verdict"] == "digits"
    assert result.stdout.splitlines()[0] == (
        "-: 1 data row, 2 columns, delimiter ';' (given), utf-8 (detected)")


@pytest.mark.parametrize("args, status, message", [
    (["absent.csv"], 2, "quorvel: error: [Errno 2] No such file or directory: 'absent.csv'"),
    (["."], 2, "quorvel: error: [Errno 21] Is a directory: '.'"),
    (["--threshold", "1.5", "in.csv"], 2,
     "quorvel: error: threshold must be above 0 and at most 1, not 1.5"),
    (["--delimiter", "ab", "in.csv"], 2, "quorvel: error: delimiter must be one ASCII character "
                                         "other than a quote or a line break, not 'ab'"),
    (["--types", "bad.json", "in.csv"], 2,
     "quorvel: error: types file 'bad.json' is not valid JSON: Expecting property name enclosed "
     "in double quotes: line 1 column 2 (char 1)"),
    (["--encoding", "utf-8", "latin1.csv"], 1,
     "quorvel: error: the header of 'latin1.csv' is not valid utf-8: cell 1 is '\\\\xe9'"),
    (["--encoding", "ebcdic", "in.csv"], 2, "quorvel: error: encoding 'ebcdic' is not one Python knows"),
])
def test_failures_are_one_line_with_their_exit_status(tmp_path, args, status, message):
    (tmp_path / "in.csv").write_text("a\n1\n")
    (tmp_path / "bad.json").write_text("{")
    (tmp_path / "latin1.csv").write_bytes(b"\xe9\n1\n")
    result = run(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (status, "", message + "\n")


def test_a_closed_pipe_ends_quietly():
    # More output than a pipe holds, so the command writes after the reader has gone.
    with subprocess.Popen(COMMAND + [str(MESSY)] * 60, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as child:
        child.stdout.close()
        assert (child.wait(timeout=120), child.stderr.read()) == (0, b"")


OUT_OF_MEMORY = ("quorvel: error: out of memory (does the input have a row without end, such as "
                 "no line breaks?)")


def limit_address_space(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


@pytest.mark.parametrize("args", [["--threads", "1"], ["--threads", "2"], []],
                         ids=["one thread", "two threads", "automatic"])
def test_running_out_of_memory_is_one_line_with_status_1(tmp_path, args):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's allocator reports the failure itself")
    endless, small = tmp_path / "endless.csv", tmp_path / "small.csv"
    with open(endless, "wb") as f:
        f.write(b"a\n")
        f.truncate(300_000_000)  # then a sparse row of NUL bytes that never ends
    small.write_text("a\n1\n")
    # Well below twice the row, the least a pass needs to hold it.
    limited = limit_address_space(300 << 20)
    result = run(*args, endless, preexec_fn=limited)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", OUT_OF_MEMORY + "\n")
    # The same limit leaves room for a pass over a file with an end, one by one or several.
    assert run(*args, small, preexec_fn=limited).returncode == 0
    many = run(*args, small, endless, preexec_fn=limited)
    assert (many.returncode, many.stdout) == (1, f"{quorvel.describe(small)}\n")
    assert many.stderr == f"quorvel: error: {endless}: {OUT_OF_MEMORY[len('quorvel: error: '):]}\n"


POLL = 7  # the poll system call's number on x86-64


def wait_until_polling(pid):
    """Until the process waits in poll(), as the engine does in slices while a pipe is quiet:
    by then the interpreter has started and the command reads its input."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/syscall") as f:
            if f.read().split()[0] == str(POLL):
                return
        time.sleep(0.01)
    raise AssertionError("the command never waited for its input")


def test_ctrl_c_exits_130_with_one_line(tmp_path):
    with subprocess.Popen(COMMAND + ["-"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdout=subprocess.PIPE,
                          env=dict(os.environ, TMPDIR=str(tmp_path))) as child:
        child.stdin.write(b"a\n1\n")
        child.stdin.flush()
        wait_until_polling(child.pid)
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=60) == 130
        assert (child.stdout.read(), child.stderr.read()) == (b"", b"quorvel: interrupted\n")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_bar_draws_on_a_terminal_only():
    assert cli._progress_bar(io.StringIO(), delay=0) is None
    screen = Terminal()
    draw = cli._progress_bar(screen, delay=0)
    draw(500_000, 2_000_000, 7)
    assert screen.getvalue() == "\r[" + "#" * 7 + "." * 23 + "]  25% 0.5 MB, 7 rows\x1b[K"
    draw.close()
    assert screen.getvalue().endswith("\r\x1b[K")
