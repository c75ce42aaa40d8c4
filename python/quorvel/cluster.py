"""One file counted in byte ranges on a Dask cluster, with the report one machine gives.

    report = describe("s3://bucket/huge.csv", cluster=distributed.Client("tcp://host:8786"))
    report.ranges  # the byte ranges it was counted in

The data after the header row is cut into ranges of at most RANGE_SIZE bytes, as many as fill
every wave of the cluster's threads, in two rounds of tasks:
  1. each range counts its quotes and finds its first row start for either state it may start
     in (rowscan.QuoteScan); the parity of the quotes before a range gives its state, and so
     where its rows start;
  2. each stretch from one row start to the next is counted by the engine, as data rows under
     the header's names, reading the bytes itself where the file is local; its tokenizer then
     tells whether the stretch ended where a row ends. A stretch that starts at a row start
     and ends at one was counted exactly; since the first starts where the header ends, every
     stretch before the first that fails was. When one fails (a quote inside an unquoted field
     breaks the parity), the rest of the file from its start is counted as one more task.
The counts are added, the misfit examples kept in file order with their rows moved past the
rows of the stretches before, and the report drawn from them as describe() draws it.

Counting ranges apart is exact only when a cell's type does not hang on the cells before it,
that is when no text matches two types of the table (quorvel.overlaps); other tables are
refused. Compressed files and text that the engine does not read as ASCII-compatible bytes
(UTF-16, UTF-32, codecs only Python knows) cannot be cut at a byte and go to a worker as one
task, as does a file whose header row does not end within HEADER_LIMIT bytes.

Failures: a task that raises makes describe() raise the same exception; a worker that dies is
replaced by Dask, which runs its task again elsewhere.
"""

import contextlib
import dataclasses
import io
import os
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

import quorvel_ext

from . import urls
from .describe import (HEADER_LIMIT, EngineExtras, PassResult, Progress, Settings,
                       TableStart, _columns, _make_inf, _set_threads, describe, pass_result,
                       read_table, table_fields, thread_count)
from .report import Report
from .rowscan import QuoteScan, row_starts
from .source import Opened, opened

# Bytes per range of the first round: large enough that a task's overhead on the scheduler
# (about a millisecond) is small beside its pass, small enough to spread a few GB over dozens
# of workers.
RANGE_SIZE = 64 << 20
# What a task reads through Python at a time (every range of the first round, and of a URL in
# the second, where the engine does not read the range itself): its memory, with the engine's
# own buffers, whatever the range.
READ_SIZE = 1 << 20
# The cells per column and type the engine keeps as examples (ColumnExamples::kKept).
EXAMPLES_KEPT = 5
# Codecs (source.Head.codec) whose bytes the engine reads as they are or byte for byte, where a
# quote, a delimiter and a line end are the ASCII bytes at any offset, by the engine's name.
_SPLITTABLE = {"utf-8": "utf-8", "ascii": "utf-8", "latin-1": "latin-1", "cp1252": "cp1252"}

# Called by each task of the second round with its stretch's index before it counts, on the
# worker: tests set it here, in the calling process, to end a worker in the middle of a task.
before_counting: Optional[Callable[[int], None]] = None


class FileJob(NamedTuple):
    """What every range task needs to know of the file."""
    source: str
    storage_options: Optional[Dict[str, Any]]
    settings: Settings
    delimiter: str
    names: List[str]
    codec: str  # the engine's name for the text's encoding
    size: int
    before_counting: Optional[Callable[[int], None]]


class RangeCount(NamedTuple):
    """What one stretch of rows counted to."""
    counted: PassResult
    undecodable: int
    first_undecodable_at: Optional[int]  # from the stretch's first byte
    exact: bool  # the stretch ends where a row ends


def describe_on_cluster(source: Any, client: Any, settings: Settings,
                        progress: Optional[Progress]) -> Report:
    """describe(source, cluster=client) for arguments describe() has checked."""
    if not all(callable(getattr(client, name, None)) for name in ("submit", "map", "gather")):
        raise TypeError(f"cluster must be a distributed.Client, not {type(client).__name__}")
    _check_table(settings.table)
    name = _source_name(source)
    options = None if settings.storage_options is None else dict(settings.storage_options)
    with opened(name, options) as found:
        start = read_table(found, settings.encoding, settings.options, settings.table,
                           settings.na)
        reason, data_start = _unsplittable(found, start)
        size = found.input.size
    if reason is not None or size is None:
        return _one_task(client, name, settings, reason or "its size is not known beforehand")
    job = FileJob(name, options, settings, start.layout.delimiter, start.layout.names,
                  _SPLITTABLE[start.head.codec], size, before_counting)
    range_size = even_range_size(size - data_start, RANGE_SIZE, _task_slots(client))
    counts, starts = _count(client, job, cuts_of(data_start, size, range_size), progress)
    return _report(found, start, settings, counts, starts)


def even_range_size(length: int, range_size: int, slots: int) -> int:
    """A size of at most `range_size` that cuts `length` bytes into ranges that fill every wave
    of `slots` tasks at once. Tasks of one size end together, so a last wave with fewer ranges
    than slots leaves workers idle for a whole task: 15 ranges on 2 workers take 8 tasks' time,
    16 slightly smaller ones take 8 too. What fits in one range stays one."""
    count = -(-length // range_size)
    if count <= 1 or slots <= 1:
        return range_size
    full = -(-count // slots) * slots
    return max(1, -(-length // full))


def _task_slots(client: Any) -> int:
    """The tasks the cluster runs at once: its workers' threads."""
    return sum(client.nthreads().values())


def cuts_of(data_start: int, size: int, range_size: int) -> List[int]:
    """Where the ranges of the first round begin, and the file's size after them."""
    count = max(1, -(-(size - data_start) // range_size))
    return [data_start + (size - data_start) * i // count for i in range(count)] + [size]


def _check_table(table: Dict[str, List[str]]) -> None:
    pairs, unchecked = quorvel_ext._overlaps(table)
    if pairs:
        first, second, witness = pairs[0]
        why = (f"types '{first}' and '{second}' both match "
               f"{witness.decode('utf-8', 'backslashreplace')!r}")
    elif unchecked:
        why = f"whether type '{unchecked[0]}' shares a text with another cannot be told"
    else:
        return
    raise ValueError(f"a cluster counts byte ranges apart, which is exact only when no text "
                     f"matches two types, and {why}: count the file on one machine with "
                     f"describe(path) without cluster")


def _source_name(source: Any) -> str:
    if isinstance(source, (str, os.PathLike)):
        text = os.fspath(source)
        if isinstance(text, str):
            return text
    raise TypeError(f"a cluster reads a path that every worker can open or a URL, not "
                    f"{type(source).__name__}")


def _unsplittable(found: Opened, start: TableStart) -> Tuple[Optional[str], int]:
    """Why the file cannot be cut into ranges (None if it can), and where its data starts."""
    source = found.input
    if source.compression != "none":
        return f"{source.compression} input cannot be split", 0
    if start.head.codec not in _SPLITTABLE:
        return f"{start.head.encoding} text is decoded as one stream", 0
    data_start = start.data_start(source) if start.layout.names else None
    if data_start is None:
        return f"the header row does not end in the first {HEADER_LIMIT} bytes", 0
    return None, data_start


def _one_task(client: Any, name: str, settings: Settings, reason: str) -> Report:
    given = settings.options
    future = client.submit(describe, name, types=settings.table, na=sorted(settings.na),
                           delimiter=given.delimiter, skip_rows=given.skip_rows,
                           comment=given.comment, header=given.header, names=given.names,
                           encoding=settings.encoding,
                           threads=settings.threads, threshold=settings.threshold,
                           window=settings.window, storage_options=settings.storage_options,
                           pure=False)
    report: Report = future.result()
    return dataclasses.replace(report, ranges=1, unsplit=reason)


def _count(client: Any, job: FileJob, cuts: List[int], progress: Optional[Progress]
           ) -> Tuple[List[RangeCount], List[int]]:
    """The counts of the stretches between row starts, in file order, and where each starts."""
    bounds = list(zip(cuts, cuts[1:]))
    scans = client.gather(client.map(scan_range, [job] * len(bounds), bounds, pure=False))
    starts = row_starts(scans, cuts[0], job.size)
    counts = _count_stretches(client, job, starts, progress)
    if counts[-1].exact:
        return counts, starts
    # The first stretch that did not end at a row end starts at one: the rest goes as one.
    resumed = starts[len(counts) - 1]
    last = client.submit(count_stretch, job, len(counts) - 1, resumed, job.size, pure=False)
    return counts[:-1] + [last.result()], starts[:len(counts)]


def _count_stretches(client: Any, job: FileJob, starts: List[int],
                     progress: Optional[Progress]) -> List[RangeCount]:
    """The stretches' counts up to the first that is not exact, which comes last; told to
    `progress` as each ends."""
    from distributed import as_completed

    ends = starts[1:] + [job.size]
    futures = client.map(count_stretch, [job] * len(starts), range(len(starts)), starts, ends,
                         pure=False)
    index = {future.key: i for i, future in enumerate(futures)}
    counts: Dict[int, RangeCount] = {}
    done = rows = 0
    # On the loop of the client given: as_completed would otherwise take the default client's,
    # which need not be this one, and wait on these futures from a loop that never sees them.
    for future, count in as_completed(futures, loop=client.loop,  # type: ignore[no-untyped-call]
                                      with_results=True):
        i = index[future.key]
        counts[i] = count
        if progress is not None:
            done += ends[i] - starts[i]
            rows += count.counted.rows
            progress(done, job.size - starts[0], rows)
    ordered = [counts[i] for i in range(len(futures))]
    last = next((i for i, count in enumerate(ordered) if not count.exact), len(ordered) - 1)
    return ordered[:last + 1]


def scan_range(job: FileJob, bounds: Tuple[int, int]) -> QuoteScan:
    """The first round's task: the quotes of the range and its first row starts."""
    start, end = bounds
    scan = QuoteScan(start, end)
    with _range_reader(job, start, min(end + 1, job.size)) as reader:
        for block in _blocks(reader, end - start):
            scan.feed(block)
        scan.finish(reader.read(1))
    return scan


def count_stretch(job: FileJob, index: int, start: int, end: int) -> RangeCount:
    """The second round's task: the rows in [start, end) counted under the header's names."""
    settings = job.settings
    inf = _make_inf(job.delimiter, settings.table, settings.na, settings.window)
    # A worker runs as many tasks at once as it has threads: those are the parallelism the
    # cluster was given, so a pass takes one thread unless told otherwise.
    threads = 1 if settings.threads is None else thread_count(settings.threads, end - start)
    _set_threads(inf, threads)
    if job.before_counting is not None:
        job.before_counting(index)
    with _stretch_input(job, start, end) as engine_input:
        engine_input.decode_as(job.codec, 0)
        quorvel_ext._infer_types(inf, None, input=engine_input, names=job.names, header=False)
        read = engine_input.bytes_read
        if read < end - start:
            # The engine's range of a local file stops where the file ends.
            raise _cut_short(job.source, start + read, end)
        undecodable, first = engine_input.undecodable
    return RangeCount(pass_result(inf, job.source), undecodable, first if undecodable else None,
                      end == job.size or quorvel_ext._ended_at_row_end(inf))


@contextlib.contextmanager
def _stretch_input(job: FileJob, start: int, end: int) -> Iterator[quorvel_ext._Input]:
    """The bytes [start, end) as the engine's input: a local file's read by the engine's own
    range source, a URL's through a _RangeReader. Either is read as it is, never taken for
    compressed data: the stretch of a plain file may begin with any row."""
    path = _local_path(job.source)
    if path is not None:
        yield quorvel_ext._open_input(path, start=start, end=end)
        return
    with _range_reader(job, start, end) as reader:
        yield quorvel_ext._open_input(reader, cut_from_file=True)


def _blocks(reader: "_RangeReader", length: int) -> Iterator[memoryview]:
    """The next `length` bytes of `reader`, in views of one buffer filled again for each: a
    fresh block each read would be allocated and freed a megabyte at a time, which the
    workers' allocator (Dask sets MALLOC_TRIM_THRESHOLD_) maps from the kernel every time."""
    view = memoryview(bytearray(min(length, READ_SIZE)))
    while length > 0:
        got = reader.readinto(view[:length])
        length -= got
        yield view[:got]


class _RangeReader(io.RawIOBase):
    """The bytes [start, end) of a local file or of an object behind a URL, read in requests of
    at most READ_SIZE bytes each and no further than `end`. A source that ends before `end`
    raises urls.SourceReadError."""

    def __init__(self, raw: Any, name: str, start: int, end: int) -> None:
        super().__init__()
        raw.seek(start)
        self.name = name
        self._raw = raw
        self._at = start
        self._end = end

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        wanted = self._wanted(size)
        data: bytes = self._reading(lambda: self._raw.read(wanted)) if wanted else b""
        self._moved(len(data), wanted)
        return data

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        wanted = self._wanted(len(view))
        got: int = self._reading(lambda: self._raw.readinto(view[:wanted])) if wanted else 0
        self._moved(got, wanted)
        return got

    def _wanted(self, size: int) -> int:
        left = self._end - self._at
        return min(left if size < 0 else min(size, left), READ_SIZE)

    def _reading(self, read: Callable[[], Any]) -> Any:
        try:
            return read()
        except Exception as e:
            raise urls.SourceReadError(self.name, self._at, f"{type(e).__name__}: {e}") from e

    def _moved(self, got: int, wanted: int) -> None:
        if wanted > 0 and not got:
            raise _cut_short(self.name, self._at, self._end)
        self._at += got

    def close(self) -> None:
        if not self.closed:
            self._raw.close()
        super().close()


def _range_reader(job: FileJob, start: int, end: int) -> _RangeReader:
    path = _local_path(job.source)
    if path is None:
        raw = urls.open_url_at(job.source, job.storage_options)
    else:
        raw = open(path, "rb", buffering=0)
    return _RangeReader(raw, job.source, start, end)


def _local_path(source: str) -> Optional[str]:
    """The path of a local file or of a file:// URL; None for other URLs."""
    if source.startswith("file://"):
        return source[len("file://"):]
    return None if urls.is_url(source) else source


def _cut_short(source: str, at: int, end: int) -> urls.SourceReadError:
    # A file cut short since the plan was made: never taken for the range's end.
    return urls.SourceReadError(source, at, f"it ended {end - at} bytes short of the range's end")


def _report(found: Opened, start: TableStart, settings: Settings, counts: List[RangeCount],
            starts: List[int]) -> Report:
    counted = _added(counts)
    columns, extras = _columns(counted, start.layout, list(settings.table),
                               settings.threshold)
    undecodable = sum(c.undecodable for c in counts)
    # One machine counts the offset from the end of the byte order mark.
    first = next((at - start.head.bom + c.first_undecodable_at
                  for at, c in zip(starts, counts) if c.first_undecodable_at is not None), None)
    return Report(path=found.name, delimiter=start.layout.delimiter,
                  delimiter_sniffed=settings.options.delimiter is None,
                  **table_fields(start.layout, settings.options), rows=counted.rows,
                  threshold=settings.threshold, na=sorted(settings.na), columns=columns,
                  encoding=start.head.encoding, encoding_detected=settings.encoding is None,
                  short_rows=extras.short_rows, long_rows=extras.long_rows,
                  undecodable=undecodable, first_undecodable_at=first,
                  local_path=found.local_path, storage_options=found.storage_options,
                  ranges=len(counts))


def _added(counts: List[RangeCount]) -> PassResult:
    """The passes over the stretches as one pass over them all, in order."""
    first = counts[0].counted
    candidates: Dict[str, Dict[str, int]] = {name: {} for name in first.names}
    examples: Dict[str, Dict[str, List[Tuple[bytes, int, int]]]] = {}  # as RawExamples
    rows = 0
    short = long = 0
    for count in counts:
        counted = count.counted
        for name, by_type in counted.candidates.items():
            for type_name, n in by_type.items():
                candidates[name][type_name] = candidates[name].get(type_name, 0) + n
        for name, cells_by_type in counted.extras.raw_examples.items():
            for type_name, cells in cells_by_type.items():
                kept = examples.setdefault(name, {}).setdefault(type_name, [])
                kept += [(text, rows + row, size)
                         for text, row, size in cells][:EXAMPLES_KEPT - len(kept)]
        short += counted.extras.short_rows or 0
        long += counted.extras.long_rows or 0
        rows += counted.rows
    return PassResult(first.names, candidates, rows, EngineExtras(examples, short, long))
