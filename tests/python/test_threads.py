"""How many threads describe, describe_many and the command give a pass, and that the choice
reaches the engine."""
import gzip
import importlib
import os
import pathlib

import pytest

import quorvel
import quorvel_ext
from quorvel import cli

describe_module = importlib.import_module("quorvel.describe")
REPO = pathlib.Path(__file__).resolve().parents[2]
MESSY = REPO / "examples" / "messy.csv"
CORES = len(os.sched_getaffinity(0))
SMALL = describe_module.ONE_THREAD_BELOW - 1


@pytest.mark.parametrize("threads, text_size, expected", [
    (None, 0, 1),
    (None, SMALL, 1),
    (None, SMALL + 1, CORES),
    (None, None, CORES),  # compressed or a pipe: no size to go by
    (True, 0, CORES),
    (False, 10**12, 1),
    (1, None, 1),
    (3, 0, 3),
])
def test_thread_count_follows_the_argument_then_the_size(threads, text_size, expected):
    assert describe_module.thread_count(threads, text_size) == expected


def test_text_size_is_known_for_plain_files_only(tmp_path):
    plain, packed, fifo = tmp_path / "a.csv", tmp_path / "a.csv.gz", tmp_path / "fifo"
    text = b"a,b\n" + b"1,2\n" * 1000
    plain.write_bytes(text)
    packed.write_bytes(gzip.compress(text))
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # so that opening it to read does not wait
    os.write(writer, text[:100])
    try:
        sizes = [describe_module._text_size(quorvel_ext._open_input(str(path)))
                 for path in (plain, packed, fifo)]
    finally:
        os.close(writer)
    assert sizes == [len(text), None, None]


@pytest.fixture
def passes(monkeypatch):
    """The Inf of each describe() call and the thread count it was given."""
    seen = []
    original = describe_module._set_threads

    def recording(inf, count):
        seen.append((inf, count))
        original(inf, count)

    monkeypatch.setattr(describe_module, "_set_threads", recording)
    return seen


def worker_chunks(inf):
    return quorvel_ext._pass_stats(inf)["worker_chunks"]


def test_the_automatic_choice_reaches_the_workers_above_the_size_only(tmp_path, monkeypatch,
                                                                     passes):
    if CORES < 2:
        pytest.skip("one core: every choice is one thread")
    # Chunks of the pipeline are half a MiB, so the file spans several.
    big = tmp_path / "big.csv"
    big.write_text("a,b\n" + "".join(f"{i},x{i % 97}\n" for i in range(300_000)))
    monkeypatch.setattr(describe_module, "ONE_THREAD_BELOW", big.stat().st_size + 1)
    small_report = quorvel.describe(big)
    monkeypatch.setattr(describe_module, "ONE_THREAD_BELOW", big.stat().st_size)
    assert quorvel.describe(big) == small_report
    packed = tmp_path / "big.csv.gz"
    packed.write_bytes(gzip.compress(big.read_bytes()))
    quorvel.describe(packed)
    (one, one_count), (many, many_count), (unsized, unsized_count) = passes
    assert (one_count, one.get_multithreading(), worker_chunks(one)) == (1, False, 0)
    assert (many_count, many.get_multithreading()) == (CORES, True)
    assert worker_chunks(many) > 0
    assert (unsized_count, worker_chunks(unsized) > 0) == (CORES, True)


@pytest.mark.parametrize("threads, count", [
    (None, 1), (True, CORES), (False, 1), (1, 1), (2, 2), (3, 3)])
def test_any_thread_count_gives_the_same_report(threads, count, passes):
    assert quorvel.describe(MESSY, threads=threads, window=3) == quorvel.describe(MESSY, window=3)
    assert passes[0][1] == count


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_pool_of_its_own_shares_the_cores_among_its_workers(tmp_path, monkeypatch, jobs):
    # The pool's processes fork from this one, so they record through the patch too.
    record = tmp_path / "counts"
    original = describe_module._set_threads

    def recording(inf, count):
        with open(record, "a") as f:
            f.write(f"{count}\n")
        original(inf, count)

    monkeypatch.setattr(describe_module, "_set_threads", recording)
    many = quorvel.describe_many([MESSY, MESSY], jobs=jobs, threads=True)
    assert not many.failed
    share = max(1, CORES // jobs)
    assert record.read_text().split() == [str(share)] * 2


@pytest.mark.parametrize("argv, threads, files", [
    (["FILE"], None, ["FILE"]),
    (["FILE", "--threads"], True, ["FILE"]),
    (["--threads", "FILE"], True, ["FILE"]),  # the file stays a file
    (["--threads", "all", "FILE"], True, ["FILE"]),
    (["--threads", "1", "FILE"], 1, ["FILE"]),
    (["--threads=3", "FILE"], 3, ["FILE"]),
    (["--threads", "007", "FILE"], 7, ["FILE"]),
    (["FILE", "--", "--threads"], None, ["FILE", "--threads"]),
])
def test_threads_option_takes_a_count_all_or_nothing(argv, threads, files):
    args = cli._parse_args(argv)
    assert (args.threads, args.files) == (threads, files)


@pytest.mark.parametrize("value", ["0", "-1", "x", "1.5", "000"])
def test_threads_option_refuses_what_is_no_count(value, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli._parse_args(["--threads=" + value, "FILE"])
    assert exit_.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"quorvel: error: argument --threads: expected a number of threads or 'all', not "
        f"{value!r}")


OVERLAPPING = {"int": ["[0-9]+"], "bool": ["0|1"], "code": ["[0-9a-f]{1,2}"], "word": ["[a-z]+"]}


@pytest.mark.parametrize("window", [1000, 100_000, -1])
def test_an_overlapping_table_on_threads_answers_as_one_thread(tmp_path, window):
    # Chunks are half a MiB: some 8 MB of rows span several rounds of them, and
    # windows of 1000 rows end inside chunks, those of 100000 across them.
    if CORES < 2:
        pytest.skip("one core: every pass is one thread")
    path = tmp_path / "overlapping.csv"
    path.write_text("a,b,c\n" + "".join(
        f"{i % 7},{i * 7919 % 1003:x},{'abcdef'[i % 6] * (1 + i % 3)}{i % 50}\n"
        for i in range(600_000)))
    answers, across = [], 0
    for threads in (1, 2):
        inf = quorvel_ext.Inf(str(path), ",", OVERLAPPING, {"NA"}, threads > 1, False, "", window)
        quorvel_ext._set_pass_threads(inf, threads)
        inf.infer_types()
        answers.append((inf.get_col_type_candidates(), quorvel_ext._cell_examples(inf)))
        across = quorvel_ext._pass_stats(inf).get("texts_across_chunks", 0)
    assert answers[1] == answers[0]
    # The threads numbered texts that earlier chunks of their window had.
    assert across > 0
