"""Stopping a pass from outside: signals, the progress callback, and what the object holds after."""
import json
import signal
import subprocess
import sys
import time

import pytest

import quorvel_ext
from conftest import exactly

MODES = pytest.mark.parametrize("multithreading", [False, True], ids=["inline", "threads"])
# Lookaheads keep every type on the backtracking matcher, and no cell of the long file matches
# any of them, so each cell costs a few microseconds: seconds for the whole file.
SLOW = {"int": ["[0-9]+"], **{f"t{k}": [rf"(?=\d*{k}x)\d+"] for k in range(20)}}
LONG_ROWS = 400_000
SMALL = "a,b\n1,v\n,2\n"
SMALL_COUNTS = {"a": {"int": 1, "NA": 1, "other": 0}, "b": {"int": 1, "NA": 0, "other": 1}}


def small_counts(inf):
    """The counts of the small file's columns; the long file's other columns stay as they were."""
    counts = inf.get_col_type_candidates()
    return {c: {t: counts[c][t] for t in ("int", "NA", "other")} for c in ("a", "b")}


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.csv"
    path.write_text("a,b,c,d\n" + "".join(f"v{4 * i},v{4 * i + 1},v{4 * i + 2},v{4 * i + 3}\n"
                                          for i in range(LONG_ROWS)))
    return str(path)


CHILD = r"""
import json, sys, time, quorvel_ext
long_path, small_path, threads, patterns = sys.argv[1:]
inf = quorvel_ext.Inf(long_path, ",", json.loads(patterns), {""}, threads == "1", False, "", 1000)
print("ready", flush=True)
try:
    inf.infer_types()
    print("finished", flush=True)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
inf.set_filepath(small_path)
inf.infer_types()
counts = inf.get_col_type_candidates()
print(inf.num_rows, {c: {t: counts[c][t] for t in ("int", "NA", "other")} for c in "ab"})
"""


@MODES
def test_sigint_becomes_keyboard_interrupt_within_a_fifth_of_a_second(tmp_path, long_file,
                                                                       multithreading):
    small = tmp_path / "small.csv"
    small.write_text(SMALL)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, long_file, str(small), str(int(multithreading)),
         json.dumps(SLOW)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(0.5)  # well into a pass of several seconds
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        caught = child.stdout.readline()
        assert caught != "finished\n", "the pass ended before the signal came"
        assert float(caught) - sent < 0.2
        assert child.stdout.readline() == f"2 {SMALL_COUNTS}\n"
        assert child.wait(timeout=30) == 0, child.stderr.read()
    finally:
        child.kill()
        child.communicate()


class Stop(Exception):
    pass


def raise_timeout(signum, frame):
    raise TimeoutError("the pass took too long")


def stop_by_alarm(inf):
    previous = signal.signal(signal.SIGALRM, raise_timeout)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        inf.infer_types()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def stop_by_progress(inf):
    calls = []

    def progress(*values):
        calls.append(values)
        if len(calls) == 3:
            raise Stop("enough")

    quorvel_ext._infer_types(inf, progress)


@MODES
@pytest.mark.parametrize("stop, error, message", [
    (stop_by_alarm, TimeoutError, "the pass took too long"),
    (stop_by_progress, Stop, "enough"),
], ids=["alarm", "progress"])
def test_an_exception_from_outside_ends_the_pass_as_a_failure_does(
        make_inf, write, long_file, tmp_path, multithreading, stop, error, message):
    types_path = tmp_path / "types.csv"
    inf = make_inf(filepath=long_file, col_type_patterns=SLOW, na_values={""},
                   multithreading=multithreading, save_types_file=True,
                   types_filepath=str(types_path))
    with pytest.raises(error, match=exactly(message)):
        stop(inf)
    # num_rows counts the header too after a failure: the lines of the finished rows. The stop
    # comes in the first tenth of the whole pass's time, so a pass that went on after it would
    # finish far more than half the rows (a bound of time would hold only on an idle machine).
    lines = types_path.read_text().splitlines()
    assert 0 < len(lines) == inf.num_rows < LONG_ROWS // 2
    # A multithreaded pass finishes its rows a round of chunks at a time, so
    # it may be stopped before the first round is settled.
    assert len(lines) > 1 or multithreading
    assert all(line == "other,other,other,other" for line in lines[1:])
    inf.set_filepath(write(SMALL))
    inf.infer_types()
    assert (inf.num_rows, small_counts(inf)) == (2, SMALL_COUNTS)
    assert types_path.read_text() == "a,b\nint,other\nNA,int\n"
