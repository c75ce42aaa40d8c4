"""The quorvel command as a user runs it: output, options, exit statuses, pipes and Ctrl-C."""
import ast
import contextlib
import csv
import fcntl
import html.parser
import io
import json
import os
import pathlib
import pty
import re
import resource
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest
from markdown_it import MarkdownIt

import quorvel
from quorvel import cli

REPO = pathlib.Path(__file__).resolve().parents[2]
MESSY = REPO / "examples" / "messy.csv"
# Through the interpreter, so that the tests also run where the package is not
# installed but on PYTHONPATH; the installed console script has a test of its own.
COMMAND = [sys.executable, "-m", "quorvel"]


# Without the variables that change the command's lines, which a test sets itself.
ENVIRONMENT = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "NO_COLOR")}


def run(*args, env=None, **kwargs):
    return subprocess.run(COMMAND + list(map(str, args)), capture_output=True, text=True,
                          timeout=120, env=dict(ENVIRONMENT, **(env or {})), **kwargs)


@pytest.mark.wheel
def test_the_wheel_installs_the_command():
    script = pathlib.Path(sys.executable).with_name("quorvel")
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.split()[:2]) == (0, ["usage:", "quorvel"])


# Modules that profiling one local file has no use for, each slow to import: the event loop, the
# pool of processes, uuid (whose import runs uname on Python 3.8), the network, the loaders and
# the notebook view, and the libraries they load.
UNUSED_BY_ONE_FILE = (
    "asyncio", "concurrent.futures.process", "multiprocessing", "uuid", "ssl", "socket",
    "subprocess", "tempfile", "urllib.request", "http.client", "quorvel.load", "quorvel.many",
    "quorvel.schema", "quorvel.notebook", "quorvel.reader", "quorvel.cluster", "charset_normalizer",
    "fsspec", "distributed", "pandas", "pyarrow", "polars", "duckdb", "numpy")


def unused_modules_after(code):
    """The modules of UNUSED_BY_ONE_FILE that `code` leaves imported, run in a fresh interpreter."""
    listed = (f"{code}\nimport sys\n"
              f"print([m for m in {UNUSED_BY_ONE_FILE!r} if m in sys.modules], file=sys.stderr)")
    result = subprocess.run([sys.executable, "-c", listed], capture_output=True, text=True,
                            timeout=120, env=ENVIRONMENT)
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stderr.splitlines()[-1])


@pytest.mark.parametrize("code", [
    "import quorvel",
    f"from quorvel.cli import main\nmain([{str(MESSY)!r}])",
    f"from quorvel.cli import main\nmain(['--json', {str(MESSY)!r}])",
], ids=["package", "command", "command-json"])
def test_profiling_one_file_imports_none_of_the_modules_it_has_no_use_for(code):
    assert unused_modules_after(code) == []


def test_the_package_imports_the_pool_and_the_loaders_when_their_names_are_first_used():
    used = "import quorvel\nquorvel.describe_many\nfrom quorvel import MisfitWarning"
    assert {"quorvel.many", "quorvel.load"} <= set(unused_modules_after(used))
    assert {"describe_many", "MisfitWarning", "describe"} <= set(dir(quorvel))
    with pytest.raises(AttributeError, match="^module 'quorvel' has no attribute 'describe_one'$"):
        quorvel.describe_one


def test_prints_the_report_of_each_file_and_the_legend_once():
    result = run(MESSY, MESSY)
    assert (result.returncode, result.stderr) == (0, "")
    # Files that share a header are added up after their own reports; the legend that ends a
    # report's text comes once, after them all.
    [both] = quorvel.describe_many([MESSY, MESSY]).groups
    one, legend = str(quorvel.describe(MESSY)).split("\n\nshare: ")
    total, _ = str(both.report).split("\n\nshare: ")
    assert result.stdout == f"{one}\n\n{one}\n\n{total}\n\nshare: {legend}\n"
    many = json.loads(run("--json", MESSY, MESSY).stdout)
    # As JSON: the report's misfit examples are tuples, which JSON writes as lists.
    [alone] = json.loads(quorvel.describe(MESSY).to_json())["files"]
    assert many == {"version": 3, "files": [alone] * 2}


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
    (["gs://bucket/in.csv"], 2, "quorvel: error: reading 'gs://bucket/in.csv' needs the gcs extra: "
                                "pip install 'quorvel_ext[gcs]' (Please install gcsfs to access "
                                "Google Storage)"),
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


ORDERS = REPO / "examples" / "orders.csv"
ESCAPE = re.compile(r"\x1b\[[0-9;]*m")


def run_in_terminal(*args, columns=100, env=None):
    """The command's status and standard output when that is a terminal `columns` wide."""
    screen, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
    with subprocess.Popen(COMMAND + list(map(str, args)), stdin=subprocess.DEVNULL,
                          stdout=terminal, stderr=subprocess.PIPE,
                          env=dict(ENVIRONMENT, **(env or {}))) as child:
        os.close(terminal)
        output = b""
        # Linux ends the reads with EIO once the command has closed its end of the terminal.
        with contextlib.suppress(OSError):
            while chunk := os.read(screen, 65536):
                output += chunk
        assert (child.wait(timeout=120), child.stderr.read()) == (0, b"")
    os.close(screen)
    # The terminal turns each line feed into a carriage return and a line feed.
    return output.decode().replace("\r\n", "\n")


@pytest.mark.parametrize("terminal, args, no_color, coloured", [
    (True, [], None, True),
    (True, [], "1", False),
    (True, [], "", True),  # NO_COLOR set to nothing asks for nothing
    (True, ["--color", "never"], None, False),
    (True, ["--color", "always"], "1", True),  # what the command line says comes first
    (False, [], None, False),
    (False, ["--color", "always"], None, True),
    (False, ["--color", "auto"], None, False),
])
def test_colour_follows_the_terminal_no_color_and_the_option(terminal, args, no_color,
                                                             coloured):
    env = {} if no_color is None else {"NO_COLOR": no_color}
    if terminal:
        output = run_in_terminal(*args, ORDERS, env=env)
    else:
        result = run(*args, ORDERS, env=env)
        assert (result.returncode, result.stderr) == (0, "")
        output = result.stdout
    assert bool(ESCAPE.search(output)) == coloured
    # Colour changes nothing but the escapes: the text is the plain output's.
    assert ESCAPE.sub("", output) == run(ORDERS).stdout


@pytest.mark.parametrize("columns", [60, 80, 132])
def test_lines_fit_the_terminal_and_keep_every_count(columns, tmp_path):
    wide = tmp_path / "wide.csv"
    names = ["a_column_name_far_longer_than_any_terminal_would_give_it" * 2, "n"]
    cells = ["1", "x", "2.5", "NA", "true", "2024-01-02", "1,234", "50%", "$3", "0042"]
    wide.write_text(",".join(names) + "\n" + "".join(f"{c},{c}\n" for c in cells * 3))
    # A type whose name alone leaves no room for the counts beside the table.
    types = tmp_path / "types.json"
    long_type = "a_type_whose_name_is_most_of_a_line"
    types.write_text(json.dumps({long_type: "[0-9]+", "word": "[a-z]+"}))
    for path, options in ((MESSY, {}), (ORDERS, {}), (wide, {}),
                          (wide, {"types": {long_type: ["[0-9]+"], "word": ["[a-z]+"]}})):
        args = ["--types", types] if options else []
        shown = ESCAPE.sub("", run_in_terminal(*args, path, columns=columns))
        assert max(map(len, shown.splitlines())) <= columns
        # Wrapped or not, every column's line holds all its counts, in the order of the table.
        blocks = re.split(r"\n(?=\S)", shown.split("\n\n")[1])[1:]
        report = quorvel.describe(path, **options)
        assert len(blocks) == len(report.columns)
        for column, block in zip(report.columns, blocks):
            counts = re.findall(r"([a-z_]+)\*? ([0-9]+)", block.split("e.g.")[0])
            expected = sorted(column.counts.items(), key=lambda kv: -kv[1])
            assert counts[-len(expected) - bool(column.absent):] == [
                (kind, str(n)) for kind, n in expected] + (
                [("absent", str(column.absent))] if column.absent else [])


def test_a_mixed_column_shows_the_examples_of_its_largest_types_under_its_line():
    lines = run(ORDERS).stdout.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("postal_code"))
    assert lines[at].endswith("  integer 33, other 7")
    assert [line.strip() for line in lines[at + 1:at + 3]] == [
        "e.g. integer: '52445' row 1, '80239' row 2",
        "e.g. other: 'SW1A 1AA' row 3, 'SW1A 1AA' row 9"]
    assert lines[at + 3].startswith("qty ")


def test_markdown_renders_as_github_shows_tables(tmp_path):
    probe = tmp_path / "probe.csv"
    names = ["a|b", "*not bold*", "<i>x</i>", "`tick`", "-5"]
    rows = [[str(i)] * len(names) for i in range(20)] + [["x | `y`", "&amp;", "<b>", "``", "_"]]
    with open(probe, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([names] + rows)
    result = run("--format", "markdown", probe, probe)
    assert (result.returncode, result.stderr) == (0, "")
    tables = Cells(MarkdownIt("commonmark").enable("table").render(result.stdout)).tables
    report = quorvel.describe(probe)
    assert len(tables) == 3  # each file, then the two added up
    heading, *rows = tables[0]
    assert heading == ["column", "verdict", "share", "cells", "NA", "counts"]
    for column, row in zip(report.columns, rows):
        [(kind, found)] = column.misfit_examples.items()
        assert row == [column.name, column.verdict, f"{column.share:.1%}", str(column.cells),
                       str(column.missing),
                       f"integer 20, {kind}* 1 (e.g. {found[0][0]!r} row {found[0][1]})"]
    assert result.stdout.count("share: of the non-NA cells") == 1


class Cells(html.parser.HTMLParser):
    """The text of each cell of each table of an HTML page."""

    def __init__(self, page):
        super().__init__()
        self.tables, self.cell = [], None
        self.feed(page)

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.tables[-1].append([])
        elif tag in ("td", "th"):
            self.cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.tables[-1][-1].append(self.cell)
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
