"""describe(path, cluster=client) on a LocalCluster of three worker processes: the report one
machine gives, field for field, however the ranges fall, and the files it refuses to split."""
import dataclasses
import gzip
import io
import json
import os
import random
import re
import subprocess
import sys

import pytest

import quorvel
import quorvel.cluster
import quorvel_ext
from conftest import BUCKET, REMOTE_CSV, exactly
from loopback import FolderServer
from quorvel.display import summary
from quorvel.urls import SourceReadError


@pytest.fixture(scope="module")
def client():
    import distributed
    cluster = distributed.LocalCluster(n_workers=3, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def in_process():
    """A cluster whose worker runs in this process, where the tests' patches reach its tasks. Its
    client is not the default one, as a caller's second client would not be."""
    import distributed
    # Its scheduler's web server on a port of its own: the other cluster's holds the usual one.
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                       dashboard_address=":0")
    with cluster, distributed.Client(cluster, set_as_default=False) as client:
        yield client


def one_machine(report):
    """The report less how a cluster split the file."""
    return dataclasses.replace(report, ranges=None, unsplit=None)


def random_csv(seed, rows=60, line_end="\n"):
    """Rows of numbers, words and misfits, with quoted delimiters, quoted line breaks of both
    kinds, doubled quotes and rows short or long of the header's three cells."""
    rng = random.Random(seed)
    cells = ["12", "-3", "4.5", "x", "", "NA", "2024-01-02", '"a,b"', '"line\nbreak"',
             '"cr\r\nlf"', '"say ""hi"""', '""', '"""', '"\n"']
    lines = ["n,word,when"]
    for _ in range(rows):
        width = rng.choice([3, 3, 3, 3, 2, 4])
        lines.append(",".join(rng.choice(cells) for _ in range(width)))
    return (line_end.join(lines) + rng.choice(["", line_end])).encode()


@pytest.fixture
def described(client, monkeypatch):
    """describe(path, cluster=client) with ranges of `size` bytes in the first round."""

    def run(path, size, **options):
        monkeypatch.setattr(quorvel.cluster, "RANGE_SIZE", size)
        return quorvel.describe(path, cluster=client, **options)

    return run


def test_the_default_table_qualifies():
    assert quorvel.overlaps() == quorvel.Overlaps([], [])


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
@pytest.mark.parametrize("range_size", [1, 7, 64, 10_000])
def test_random_files_as_one_machine_counts_them(described, write, seed, line_end,
                                                range_size):
    # Ranges of one byte put a boundary at every byte: inside each quoted line break, between
    # a CR and its LF, between doubled quotes, just before and after each row start. As each
    # byte is then a task, those files are shorter; every kind of cell still falls in them.
    path = write(random_csv(seed, rows=20 if range_size == 1 else 60, line_end=line_end))
    report = described(path, range_size)
    assert one_machine(report) == quorvel.describe(path)
    assert report.unsplit is None and report.ranges >= 1


@pytest.mark.parametrize("length, range_size, slots, ranges", [
    (1_000, 64, 2, 16),  # 16 ranges already fill 8 waves of 2
    (1_000, 67, 2, 16),  # 15 would leave the last wave half empty
    (1_000, 67, 3, 15),
    (1_000, 67, 4, 16),
    (1_000, 334, 8, 8),  # 3 ranges spread over the 8 threads
    (1_000, 1_000, 8, 1),  # what fits in one range stays one
    (1_000, 2_000, 2, 1),
    (1_000, 67, 1, 15),
    (1_000, 67, 0, 15),  # no worker yet: cut as for one
    (3, 1, 2, 3),  # fewer bytes than a full wave: a byte a range
])
def test_ranges_fill_every_wave_of_the_clusters_threads(length, range_size, slots, ranges):
    size = quorvel.cluster.even_range_size(length, range_size, slots)
    cuts = quorvel.cluster.cuts_of(0, length, size)
    assert size <= range_size
    assert len(cuts) - 1 == ranges
    assert all(0 < end - start <= size for start, end in zip(cuts, cuts[1:]))


def test_a_file_is_cut_for_the_clusters_three_threads(described, write):
    path = write(b"n\n" + b"".join(b"%d\n" % (i % 10) for i in range(1_000)))
    # 2,002 data bytes in ranges of at most 500: five ranges, one more for a wave of three.
    report = described(path, 500)
    assert report.ranges == 6
    assert one_machine(report) == quorvel.describe(path)


def test_one_range_per_row(client, write, monkeypatch):
    data = b'n,word\n1,"a\nb"\n2,"c""d"\r\n3,e\r4,f\n'
    header_end = data.index(b"\n") + 1
    rows = [header_end, data.index(b"2,"), data.index(b"3,"), data.index(b"4,")]
    monkeypatch.setattr(quorvel.cluster, "cuts_of", lambda start, size, _: rows + [size])
    path = write(data)
    report = quorvel.describe(path, cluster=client)
    assert (report.ranges, one_machine(report)) == (4, quorvel.describe(path))


def test_a_range_with_no_row_start_goes_to_the_row_before(client, write, monkeypatch):
    # The second and third ranges lie inside the quoted field of row 2, with line breaks and
    # quotes of their own, the third up to its closing quote; the fourth starts with the LF
    # that ends row 2. Rows 1 and 2 are one stretch, row 3 another.
    data = b'n,word\n1,x\n2,"' + b'a\n""b\n' * 20 + b'"\n3,y\n'
    inside = data.index(b'a\n""b')
    cuts = [data.index(b"1,"), inside + 3, inside + 40, data.index(b"3,") - 1, len(data)]
    monkeypatch.setattr(quorvel.cluster, "cuts_of", lambda start, size, _: cuts)
    path = write(data)
    report = quorvel.describe(path, cluster=client)
    assert (report.ranges, one_machine(report)) == (2, quorvel.describe(path))


def test_misfit_examples_keep_file_order_with_rows_counted_across_ranges(described, write):
    data = ("n\n" + "".join(f"{i}\n" if i % 4 else f"x{i}\n" for i in range(1, 200))).encode()
    path = write(data)
    report = described(path, 50, threshold=0.7)
    assert report.ranges > 10
    assert report.columns[0].misfit_examples == {
        "other": [("x4", 4), ("x8", 8), ("x12", 12), ("x16", 16), ("x20", 20)]}
    assert one_machine(report) == quorvel.describe(path, threshold=0.7)


# Where the table starts, sniffed or given: the ranges start past the lines before it and
# past its header, and count by the names one machine gives the columns.
TABLE_SHAPES = [
    ("comment lines", b"# source: x, y\n# date: z\nn,w\n" + b"1,a\n2,\"b\nc\"\n" * 30, {}),
    ("a preamble", b"title\n\nn,w,d\n" + b"1,a,2024-01-02\n" * 40, {}),
    ("no header", b"1,a\n2,b\n" * 40, {}),
    ("no header, given", b"n,w\n" + b"1,a\n" * 40, {"header": False}),
    ("row names", b"w,d\n" + b"".join(b"r%d,%d,x\n" % (i, i) for i in range(40)), {}),
    ("rows skipped and names given", b"junk\njunk\n1,a\n" * 1 + b"2,b\n" * 40,
     {"skip_rows": 2, "names": ["n", "n"]}),
    ("a quoted line break in the header", b'"n\nx",w\n' + b"1,a\n" * 40, {}),
]


@pytest.mark.parametrize("range_size", [1, 16, 10_000])
@pytest.mark.parametrize("data,options", [shape[1:] for shape in TABLE_SHAPES],
                         ids=[shape[0] for shape in TABLE_SHAPES])
def test_the_table_is_found_as_one_machine_finds_it(described, write, data, options,
                                                    range_size):
    path = write(data)
    report = described(path, range_size, **options)
    expected = quorvel.describe(path, **options)
    assert one_machine(report) == expected
    assert report.unsplit is None and report.rows == expected.rows > 30


def test_undecodable_bytes_are_found_at_their_offset_in_a_later_range(described, write):
    # 0x81 and 0x90 stand for no character in cp1252.
    data = b"n,t\n" + b"1,\xe9\n" * 50 + b"2,\x81\n" + b"3,\x90\n"
    path = write(data)
    report = described(path, 16, encoding="cp1252")
    assert (report.undecodable, report.first_undecodable_at) == (2, data.index(b"\x81"))
    assert one_machine(report) == quorvel.describe(path, encoding="cp1252")


@pytest.mark.parametrize("data", [
    # A quote inside an unquoted field, after which parity takes the line break inside a quoted
    # field for a row end.
    b'id,note\n1,5" long\n2,"two\nlines"\n3,y\n' * 5,
    # Text after a closing quote, holding a quote that is data.
    b'id,note\n1,"a"b"c\n2,d\n3,"e\nf"\n' * 5,
])
def test_quotes_that_break_the_parity_are_counted_again_from_the_last_row_start_found(
        described, write, monkeypatch, data):
    found = []
    row_starts = quorvel.cluster.row_starts
    monkeypatch.setattr(quorvel.cluster, "row_starts",
                        lambda *args: found.append(row_starts(*args)) or found[-1])
    path = write(data)
    report = described(path, 5)
    # The stretches after the first that fails its row-end check go as one task.
    assert report.ranges < len(found[0])
    assert one_machine(report) == quorvel.describe(path)


@pytest.mark.parametrize("data", [b"n,t\n", b"n,t", b"n,t\n1,2"])
def test_files_with_no_data_or_no_last_line_end(described, write, data):
    path = write(data)
    report = described(path, 1)
    assert one_machine(report) == quorvel.describe(path)


# The compression signatures the engine knows. A row of a plain file may begin with any of them
# (bytes as legal in Latin-1 or cp1252 text as any other); every data row below does, so every
# stretch counted apart begins with one, whichever way the ranges fall.
SIGNATURES = {
    "gzip": b"\x1f\x8b\x08",
    "bzip2": b"BZh91AY&SY",
    "xz": b"\xfd7zXZ\x00",
    "zstd": b"\x28\xb5\x2f\xfd",
}


@pytest.mark.parametrize("range_size", [1, 16])
@pytest.mark.parametrize("where", ["path", "URL"])
@pytest.mark.parametrize("signature", SIGNATURES.values(), ids=SIGNATURES)
def test_a_stretch_that_begins_like_compressed_data_is_read_as_the_text_it_is(
        described, tmp_path, signature, where, range_size):
    path = tmp_path / "in.csv"
    path.write_bytes(b"id,n\n" + b"".join(signature + b"%d,%d\n" % (i, i * 7 % 50)
                                           for i in range(4)))
    # A local file's stretches are read by the engine's own range source, a URL's through
    # Python: the two ways into the engine.
    with FolderServer(tmp_path) as server:
        source = str(path) if where == "path" else server.url(path.name)
        report = described(source, range_size)
    assert report.unsplit is None and report.ranges > 1
    expected = quorvel.describe(str(path))
    assert one_machine(report).to_dict() == {**expected.to_dict(), "path": source}


@pytest.mark.parametrize("name, content, reason", [
    ("in.csv.gz", gzip.compress(random_csv(1), mtime=0), "gzip input cannot be split"),
    ("in16.csv", "n,t\n1,é\n".encode("utf-16"), "utf-16 text is decoded as one stream"),
], ids=["gzip", "utf-16"])
def test_what_cannot_be_split_goes_as_one_task(client, write, name, content, reason):
    path = write(content, name)
    report = quorvel.describe(path, cluster=client)
    assert (report.ranges, report.unsplit) == (1, reason)
    assert one_machine(report) == quorvel.describe(path)
    assert summary(report).endswith(f"; counted on a cluster as one task: {reason}")


def test_a_table_whose_types_share_a_text_is_refused(client, write):
    path = write("n\n1\n")
    with pytest.raises(ValueError, match=exactly(
            "a cluster counts byte ranges apart, which is exact only when no text matches two "
            "types, and types 'a' and 'b' both match '0': count the file on one machine with "
            "describe(path) without cluster")):
        quorvel.describe(path, types={"a": ["[0-9]"], "b": ["0"]}, cluster=client)


def test_a_file_cut_short_after_the_ranges_were_planned_fails_naming_the_byte(
        described, write, monkeypatch):
    path = write(b"n\n" + b"1\n" * 500)
    row_starts = quorvel.cluster.row_starts

    def planned_then_cut(*args):
        starts = row_starts(*args)
        os.truncate(path, 1002 - 5)
        return starts

    monkeypatch.setattr(quorvel.cluster, "row_starts", planned_then_cut)
    with pytest.raises(SourceReadError, match=exactly(
            f"reading {path!r} failed at byte 997: it ended 5 bytes short of the range's end")):
        described(path, 100)


@pytest.mark.parametrize("threads", [None, 2])
@pytest.mark.parametrize("as_url", [False, True], ids=["path", "file URL"])
def test_each_stretch_of_a_local_file_is_read_by_the_engine_itself(in_process, write, monkeypatch,
                                                                   as_url, threads):
    # Quoted line breaks and doubled quotes, each quote opening, closing or doubled: every
    # stretch ends at a row end, and none is counted again.
    path = write(b"n,t\r\n" + b"".join(b'%d,"a\r\n""b"""\r\n' % i for i in range(200)))
    ranges = []
    open_input = quorvel_ext._open_input

    def noted(source, start=None, end=None):
        if end is not None:
            ranges.append((source, start, end))
        return open_input(source, start=start, end=end)

    starts = []
    row_starts = quorvel.cluster.row_starts
    monkeypatch.setattr(quorvel.cluster, "row_starts",
                        lambda *args: starts.extend(row_starts(*args)) or starts)
    monkeypatch.setattr(quorvel_ext, "_open_input", noted)
    monkeypatch.setattr(quorvel.cluster, "RANGE_SIZE", 300)
    source = "file://" + path if as_url else path
    report = quorvel.describe(source, cluster=in_process, threads=threads)
    ends = starts[1:] + [os.path.getsize(path)]
    assert sorted(ranges) == [(path, start, end) for start, end in zip(starts, ends)]
    assert report.ranges == len(starts) > 5
    assert one_machine(report) == quorvel.describe(path)


def test_a_file_cut_before_a_stretch_starts_fails_too(in_process, write, monkeypatch):
    path = write(b"n\n" + b"1\n" * 500)
    row_starts = quorvel.cluster.row_starts

    def planned_then_cut(*args):
        starts = row_starts(*args)
        os.truncate(path, starts[-1] - 10)
        return starts

    monkeypatch.setattr(quorvel.cluster, "row_starts", planned_then_cut)
    monkeypatch.setattr(quorvel.cluster, "RANGE_SIZE", 100)
    # Whichever of the stretches past the cut ends first is the one told.
    short = (r"^reading '.*' failed at byte [0-9]+: "
             r"it ended [0-9]+ bytes short of the range's end\Z")
    with pytest.raises(SourceReadError, match=short) as failed:
        quorvel.describe(path, cluster=in_process)
    assert failed.value.offset >= os.path.getsize(path)


def test_a_cluster_that_is_no_client_is_refused(write):
    with pytest.raises(TypeError, match=exactly(
            "cluster must be a distributed.Client, not str")):
        quorvel.describe(write("n\n1\n"), cluster="tcp://127.0.0.1:8786")


def test_a_file_object_is_refused(client):
    with pytest.raises(TypeError, match=exactly(
            "a cluster reads a path that every worker can open or a URL, not BytesIO")):
        quorvel.describe(io.BytesIO(b"n\n1\n"), cluster=client)


def test_an_s3_object_in_ranges(described, remote_folder, s3_server):
    url = f"s3://{BUCKET}/{REMOTE_CSV}"
    report = described(url, 100_000, storage_options=s3_server.storage_options)
    local = quorvel.describe(str(remote_folder / REMOTE_CSV))
    assert report.ranges > 5
    assert one_machine(report).to_dict() == {**local.to_dict(), "path": url}


class KillOnce:
    """Ends the worker process that starts counting range `index`, the first time only, and
    notes every start."""

    def __init__(self, folder, index):
        self.folder = folder
        self.index = index

    def __call__(self, index):
        with open(os.path.join(self.folder, "starts"), "a") as log:
            log.write(f"{index}\n")
        marker = os.path.join(self.folder, "killed")
        if index == self.index and not os.path.exists(marker):
            open(marker, "w").close()
            os._exit(1)


def test_a_worker_killed_in_a_task_is_replaced_and_its_range_counted_again(
        described, write, tmp_path, monkeypatch):
    path = write(b"n,t\n" + b"".join(b'%d,"a\r\nb"\r\n' % i for i in range(2_000)))
    monkeypatch.setattr(quorvel.cluster, "before_counting", KillOnce(str(tmp_path), 2))
    report = described(path, 2_000)
    starts = (tmp_path / "starts").read_text().split()
    assert starts.count("2") == 2 and (tmp_path / "killed").exists()
    assert report.ranges > 3
    assert sorted(set(starts), key=int) == [str(i) for i in range(report.ranges)]
    assert one_machine(report) == quorvel.describe(path)


def command(*args):
    return subprocess.run([sys.executable, "-m", "quorvel", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


def test_the_command_counts_one_file_on_the_scheduler_given(client, write):
    path = write(random_csv(3))
    result = command(path, "--json", "--scheduler", client.scheduler.address)
    assert (result.returncode, result.stderr) == (0, "")
    expected = dataclasses.replace(quorvel.describe(path), ranges=1)
    assert json.loads(result.stdout) == json.loads(expected.to_json())


def test_the_command_spreads_several_files_over_the_scheduler_given(client, write):
    paths = [write(random_csv(seed), f"{seed}.csv") for seed in range(3)]
    result = command(*paths, "--json", "--scheduler", client.scheduler.address)
    assert (result.returncode, result.stderr) == (0, "")
    expected = [quorvel.describe(path).to_dict() for path in paths]
    assert json.loads(result.stdout)["files"] == json.loads(json.dumps(expected))


def test_the_command_refuses_jobs_beside_a_scheduler(write):
    result = command(write("n\n1\n"), "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1")
    assert result.returncode == 2
    assert result.stderr.endswith("quorvel: error: --jobs sizes a pool on this machine: with "
                                  "--scheduler the cluster's workers count the files\n")


def test_progress_is_told_as_each_stretch_ends(described, write):
    path = write(b"n\n" + b"1\n" * 500)
    calls = []
    report = described(path, 100, progress=lambda *told: calls.append(told))
    assert len(calls) == report.ranges > 5
    assert sorted(calls)[-1] == (1000, 1000, 500)
    assert all(total == 1000 for _, total, _ in calls)


def test_each_task_reads_only_its_range_of_a_url(described, remote_folder, http_server):
    url = http_server.url(REMOTE_CSV)
    size = os.path.getsize(remote_folder / REMOTE_CSV)
    before = len(http_server.requests)
    report = described(url, 100_000)
    local = quorvel.describe(str(remote_folder / REMOTE_CSV))
    assert one_machine(report).to_dict() == {**local.to_dict(), "path": url}
    gets = [r.range for r in http_server.requests[before:] if r.method == "GET"]
    spans = [(int(first), int(last) + 1) for first, last in
             (re.fullmatch(r"bytes=([0-9]+)-([0-9]+)", text).groups() for text in gets)]
    # The first read is the head that the calling process reads; the tasks' reads follow, each
    # within its range (a row of this file is under 100 bytes), and each byte read about twice:
    # once by each round.
    workers = spans[1:]
    assert len(workers) >= 2 * report.ranges
    assert max(end - start for start, end in workers) <= 100_000 + 100
    assert sum(end - start for start, end in workers) <= 2 * size + len(workers)
