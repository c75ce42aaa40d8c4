"""quorvel.describe_many and `quorvel FILE...` on a process pool, threads and a Dask cluster."""
import contextlib
import gzip
import json
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

import quorvel
import quorvel.many
from conftest import exactly

QUORVEL = [sys.executable, "-m", "quorvel"]


@pytest.fixture
def landing(tmp_path):
    """Files as a landing folder holds them: two share a header, one differs, three fail."""
    (tmp_path / "a.csv").write_text("id,amount\n1,2.5\n2,NA\n")
    (tmp_path / "b.csv").write_text("id,amount\n3,4\n04,x\n5,6\n")
    (tmp_path / "c.csv").write_text("id;when\n1;2024-01-02\n")
    # A gzip stream cut short fails its pass.
    (tmp_path / "cut.csv.gz").write_bytes(gzip.compress(b"a,b\n" + b"1,2\n" * 1000)[:40])
    (tmp_path / "folder.csv").mkdir()
    names = ["a.csv", "missing.csv", "b.csv", "folder.csv", "c.csv", "cut.csv.gz"]
    return [str(tmp_path / name) for name in names]


FAILURES = {"missing.csv": FileNotFoundError, "folder.csv": IsADirectoryError,
            "cut.csv.gz": RuntimeError}


class CountingPool(ProcessPoolExecutor):
    sizes = []

    def __init__(self, workers, **kwargs):
        CountingPool.sizes.append(workers)
        super().__init__(workers, **kwargs)


@pytest.fixture(scope="module")
def dask_client():
    import distributed
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(params=["own pool", "threads", "dask"])
def run_many(request, monkeypatch):
    if request.param == "own pool":
        monkeypatch.setattr(quorvel.many, "ProcessPoolExecutor", CountingPool)
        CountingPool.sizes = []
        yield lambda paths: quorvel.describe_many(paths)
        assert CountingPool.sizes == [min(len(os.sched_getaffinity(0)), 6)]
    elif request.param == "threads":
        with ThreadPoolExecutor(3) as pool:
            yield lambda paths: quorvel.describe_many(paths, pool)
    else:
        executor = request.getfixturevalue("dask_client").get_executor()
        yield lambda paths: quorvel.describe_many(paths, executor)


def test_each_file_gets_its_own_report_or_error_in_the_order_given(landing, run_many):
    many = run_many(landing)
    assert [r.path for r in many.results] == landing
    for result in many.results:
        failure = FAILURES.get(os.path.basename(result.path))
        if failure is None:
            assert (result.report, result.error) == (quorvel.describe(result.path), None)
        else:
            assert result.report is None and type(result.error) is failure
            with pytest.raises(failure, match=exactly(str(result.error))):
                quorvel.describe(result.path)


def test_files_sharing_a_header_are_added_up_and_the_others_kept_apart(landing, run_many):
    a, _, b, _, c, _ = landing
    groups = run_many(landing).groups
    assert [g.files for g in groups] == [[a, b], [c]]
    shared = groups[0].report
    assert (shared.path, shared.rows) == (f"2 files with the header of {a}", 5)
    # Verdicts are drawn from the sums: an integer column in b and a decimal in a make
    # decimal, the code 04 in b makes the ids codes.
    assert [(c.name, c.verdict, c.counts, c.missing) for c in shared.columns] == [
        ("id", "code", {"integer": 4, "code": 1}, 0),
        ("amount", "mixed", {"integer": 2, "decimal": 1, "other": 1}, 1),
    ]
    assert groups[1].report == quorvel.describe(c)


class RecordingExecutor(ThreadPoolExecutor):
    def submit(self, *args, **kwargs):
        raise AssertionError("a pass was started")


@pytest.mark.parametrize("paths, kwargs, error, message", [
    ("a.csv", {}, TypeError, "paths must be an iterable of paths, not str"),
    ([3], {}, TypeError, "path must be a str or os.PathLike, not int"),
    (["a.csv"], dict(jobs=0), ValueError, "jobs must be at least 1, not 0"),
    (["a.csv"], dict(jobs=2.0), TypeError, "jobs must be an int, not float"),
    (["a.csv"], dict(jobs=2, executor=ThreadPoolExecutor(1)), ValueError,
     "jobs sizes the pool made when no executor is given: give one or neither"),
    (["a.csv"], dict(treshold=0.5), TypeError,
     "describe_many() got an unexpected keyword argument 'treshold'"),
    (["a.csv"], dict(threshold=2), ValueError, "threshold must be above 0 and at most 1, not 2"),
    (["a.csv"], dict(types={"n": ["[0-9"]}), ValueError,
     "types: pattern '[0-9' of type 'n' does not compile: Found a closing ) with no "
     "corresponding opening parenthesis.  The error occurred while parsing the regular "
     "expression: '[0-9>>>HERE>>>'."),
])
def test_bad_arguments_fail_once_before_any_pass(paths, kwargs, error, message):
    if "jobs" not in kwargs:
        kwargs["executor"] = RecordingExecutor(1)
    with pytest.raises(error, match=exactly(message)):
        quorvel.describe_many(paths, **kwargs)


def test_options_reach_every_pass_even_a_one_shot_iterable(tmp_path):
    paths = []
    for name in ("x.csv", "y.csv"):
        (tmp_path / name).write_text("n\n?\n7\n")
        paths.append(tmp_path / name)
    calls = []
    many = quorvel.describe_many(paths, jobs=2, na=iter(["?"]), types={"seven": ["7"]},
                                 progress=lambda done, total: calls.append((done, total)))
    assert [[(c.verdict, c.missing) for c in r.report.columns] for r in many.results] == [
        [("seven", 1)], [("seven", 1)]]
    assert calls == [(1, 2), (2, 2)]


@pytest.mark.parametrize("names, status", [
    (["a.csv", "b.csv"], 0),
    (["a.csv", "cut.csv.gz"], 1),
    (["cut.csv.gz", "missing.csv", "a.csv"], 2),
])
def test_command_prints_one_json_object_per_file_and_the_worst_status(landing, names, status):
    folder = os.path.dirname(landing[0])
    run = subprocess.run(QUORVEL + names + ["--json", "--jobs", "2"], cwd=folder,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == status, run.stderr
    document = json.loads(run.stdout)
    assert document["version"] == 3
    objects = document["files"]
    assert [o["path"] for o in objects] == names
    assert ["error" in o for o in objects] == [n in FAILURES for n in names]
    assert len(run.stderr.splitlines()) == sum(n in FAILURES for n in names)


def test_command_expands_globs_and_notes_the_differing_headers(landing):
    folder = os.path.dirname(landing[0])
    run = subprocess.run(QUORVEL + ["[abc].csv"], cwd=folder, capture_output=True, text=True,
                         timeout=120)
    assert (run.returncode, run.stderr) == (0, "")
    summaries = [line for line in run.stdout.splitlines() if "data row" in line]
    assert [line.split(":")[0] for line in summaries] == [
        "a.csv", "b.csv", "c.csv", "2 files with the header of a.csv"]
    assert run.stdout.endswith("note: 2 different headers; only files with the same header are "
                               "added up:\n  a.csv and 1 more: id, amount\n  c.csv: id, when\n")


def test_ctrl_c_stops_running_passes_and_exits_cleanly(landing, tmp_path):
    fifos = [tmp_path / f"{n}.fifo" for n in range(2)]
    for fifo in fifos:
        os.mkfifo(fifo)
    # a.csv ends at once, so one worker waits idle for work while two are in passes.
    command = subprocess.Popen(QUORVEL + [landing[0]] + [str(f) for f in fifos] + ["--jobs", "3"],
                               start_new_session=True, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        # Opening a FIFO to write without blocking works only once a reader holds it,
        # so each open shows a worker inside its pass; the writers stay open and silent.
        writers = [_open_once_read(fifo) for fifo in fifos]
        time.sleep(0.5)
        os.killpg(command.pid, signal.SIGINT)
        out, err = command.communicate(timeout=20)
        assert (command.returncode, out, err) == (130, "", "quorvel: interrupted\n")
        _assert_group_gone(command.pid)
        for writer in writers:
            os.close(writer)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(command.pid, signal.SIGKILL)
        command.communicate()


def _open_once_read(fifo, seconds=60):
    deadline = time.monotonic() + seconds
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def _assert_group_gone(group, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            os.killpg(group, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    raise AssertionError(f"processes of group {group} still run")
