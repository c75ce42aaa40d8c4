"""One pass over a CSV file with a type table, checked up front and summed up as a Report.

    report = describe("orders.csv", threshold=0.95)
    print(report)
"""

import collections
import functools
import os
from typing import (Any, Callable, Dict, FrozenSet, Iterable, List, Mapping, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import quorvel_ext

from .report import Column, Report
from .rowscan import first_row_end
from .source import (Head, Opened, Source, check_encoding, decoded, opened, show_text,
                     undecodable_of)
from .table import (BLOCK_SIZE, CANDIDATES, Layout, TableOptions, check_table_options,
                    find_table, type_classifier)
from .types import DEFAULT_NA, DEFAULT_TYPES, WIDENS_TO
from .verdict import RESERVED, Lattice, choose_in, frozen, lattice

Progress = Callable[[int, Optional[int], int], None]
PathArg = Union[str, "os.PathLike[str]"]
Threads = Union[None, bool, int]

# The most of a file's head read to find the end of its header row: a longer header is named
# by the engine from its first row, as it finds it.
HEADER_LIMIT = 1 << 24

# A plain file smaller than this is read on one thread when the caller leaves
# the choice to us. Starting the workers costs about a millisecond: on two
# cores a 0.1 MB file of any shape took a fifth longer on threads, and from
# 1 MB on every shape was faster on them (1.2x to 1.6x), files whose rows
# repeat included, now that one thread counts without a cache where it can.
# bench/threads.py measures where threads start to pay.
ONE_THREAD_BELOW = 1_000_000


class HeaderError(ValueError):
    """The header cannot be read as names of columns in the file's encoding."""


Examples = Dict[str, List[Tuple[str, int]]]
# The engine's examples of one column: {type or "other": [(UTF-8 it read, data row, size)]}
RawExamples = Mapping[str, List[Tuple[bytes, int, int]]]


class EngineExtras(NamedTuple):
    """What the pass can tell beyond its counts, keyed by the engine's column names."""
    raw_examples: Mapping[str, RawExamples]  # column: its first cells by type, see examples_of
    short_rows: Optional[int]  # None when not counted
    long_rows: Optional[int]


CUT_MARK = "\u2026"


def engine_extras(inf: quorvel_ext.Inf) -> EngineExtras:
    """The one place where the engine's misfit texts and ragged-row counts enter the report."""
    short_rows, long_rows = quorvel_ext._ragged_rows(inf)
    return EngineExtras(quorvel_ext._cell_examples(inf), short_rows, long_rows)


def examples_of(raw: RawExamples, kinds: Iterable[str]) -> Examples:
    """The texts of a column's examples of `kinds` (types, "other").

    Per column and type (or "other", "NA"), the engine keeps the first few cells of its last
    pass in file order, with their rows, numbered from 1 at the first data row, as the UTF-8
    it read. Bytes that did not decode show as backslash escapes, and a text the engine cut
    short ends in CUT_MARK. Only the kinds shown are decoded: a wide file has many columns.
    """
    return {kind: [(_cell_text(text, size), row) for text, row, size in raw[kind]]
            for kind in kinds if kind in raw}


def _cell_text(raw: bytes, size: int) -> str:
    cut = len(raw) < size
    return show_text(raw, cut) + (CUT_MARK if cut else "")


def describe(source: Source, *, types: Optional[Mapping[str, Sequence[str]]] = None,
             na: Optional[Iterable[str]] = None, delimiter: Optional[str] = None,
             encoding: Optional[str] = None, skip_rows: Optional[int] = None,
             comment: Optional[str] = None, header: Optional[bool] = None,
             names: Optional[Sequence[str]] = None, threads: Threads = None, threshold: float = 0.9,
             window: int = 100_000, progress: Optional[Progress] = None,
             storage_options: Optional[Mapping[str, Any]] = None,
             cluster: Optional[Any] = None) -> Report:
    """Reads a CSV file once and gives each column a verdict.

    source: a path; a URL (s3://, gs://, https://, file://, through fsspec, with
        `storage_options`); an open file descriptor (a pipe, standard input); or a binary
        file object. Each is read once: a pipe works as well as a file.
    types: {type name: [patterns]}, each pattern matching a whole cell
        (default DEFAULT_TYPES).
    na: the cell texts that stand for missing values (default DEFAULT_NA).
    delimiter: one ASCII character; None sniffs it from the first block.
    encoding: any text encoding Python knows, by any of its names; None detects it: a byte
        order mark, else UTF-8 when the head is valid UTF-8, else UTF-16 or UTF-32 told by
        their zero bytes, else charset-normalizer's guess. Bytes that do not decode are
        counted in the report, never replaced.
    skip_rows: the lines before the table (a title, notes), comment lines included; None
        sniffs them: the lines that start with a comment marker, then the rows narrower than
        the body's (see quorvel.table).
    comment: the marker that starts the comment lines before the table ('#'); None sniffs
        '#', '%' and '//'. Comment lines within the table are read as rows.
    header: whether the table's first row names the columns; None sniffs it from the types
        of its cells against the cells below. Where every column is text, nothing tells a
        header from data: the first row is taken for the header, and the report says so.
    names: the columns' names, which replace the header's; made unique as the header's are.
    threads: how many threads the pass runs on (same results on any
        number). None picks: one for a plain file below ONE_THREAD_BELOW
        bytes, every core the process may use for larger ones and for input
        of no size known beforehand (compressed files, pipes). True is every
        core, False or 1 one thread, N that many threads.
    threshold: the share of a column's non-missing cells its verdict must
        cover, above 0 and at most 1; below it the verdict is "mixed".
    window: forget the remembered types every `window` rows; 0 never.
    progress: called with (bytes read, total bytes or None, rows read)
        during the pass and once at its end; on a cluster, as each range ends.
    cluster: a distributed.Client: the file (a path every worker can read, or a URL) is
        counted in byte ranges on the cluster's workers, with the same report as one
        machine's, which also tells how it was split (see quorvel.cluster). The table must
        have no two types that match one text. `threads` None counts each range on one
        thread: the workers' threads are the parallelism.

    Every argument is checked before the pass: a file that cannot be read
    raises FileNotFoundError, IsADirectoryError or PermissionError, a bad
    argument TypeError or ValueError naming it, a pattern that does not
    compile ValueError naming its type.
    """
    _check_source(source)
    table = check_types(DEFAULT_TYPES if types is None else types)
    na_texts = _check_na(DEFAULT_NA if na is None else na)
    _check_threads(threads)
    _check_threshold(threshold)
    _check_window(window)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    if delimiter is not None:
        delimiter = _check_delimiter(delimiter)
    check_table_options(skip_rows, comment, header, names)
    options = TableOptions(delimiter, skip_rows, comment, header,
                           None if names is None else list(names))
    given_encoding = None if encoding is None else check_encoding(encoding)
    # The table compiles before the source is touched, so that every argument is judged first.
    inf = _make_inf(delimiter or ",", table, na_texts, window)
    if cluster is not None:
        from .cluster import describe_on_cluster
        settings = Settings(table, na_texts, options, given_encoding, threads, threshold,
                            window, storage_options)
        return describe_on_cluster(source, cluster, settings, progress)
    with opened(source, storage_options) as found:
        start = read_table(found, given_encoding, options, table, na_texts)
        _set_threads(inf, thread_count(threads, _text_size(found.input)))
        layout = start.layout
        inf.set_delimiter(layout.delimiter)
        engine_input, python = decoded(found.input, start.head, layout.start)
        _run(inf, engine_input, layout, progress)
        undecodable, first_undecodable = undecodable_of(engine_input, python)
    columns, extras = _columns(pass_result(inf, found.name), layout, list(table), threshold)
    return Report(path=found.name, delimiter=layout.delimiter, delimiter_sniffed=delimiter is None,
                  **table_fields(layout, options),
                  rows=inf.num_rows, threshold=threshold, na=sorted(na_texts), columns=columns,
                  encoding=start.head.encoding, encoding_detected=given_encoding is None,
                  short_rows=extras.short_rows, long_rows=extras.long_rows,
                  undecodable=undecodable, first_undecodable_at=first_undecodable,
                  local_path=found.local_path, storage_options=found.storage_options)


class Settings(NamedTuple):
    """describe's arguments as checked, for a pass run elsewhere than in describe()."""
    table: Dict[str, List[str]]
    na: FrozenSet[str]
    options: TableOptions  # the delimiter and the table's options given; None: sniffed
    encoding: Optional[str]  # Python's name; None: detected
    threads: Threads
    threshold: float
    window: int
    storage_options: Optional[Mapping[str, Any]]


class TableStart(NamedTuple):
    """Where a file's table starts and what its columns are called, as its head tells."""
    head: Head
    layout: Layout

    def data_start(self, source: quorvel_ext._Input) -> Optional[int]:
        """The byte of the content where the data rows start: past the lines before the table
        and its header row, as the tokenizer reads their bytes; None when the header row goes
        on past HEADER_LIMIT bytes. Meaningful for text whose quotes and line ends are single
        ASCII bytes."""
        start = self.head.content_bytes(self.layout.start)
        if not self.layout.header:
            return start
        end = _first_row_end(source, self.layout.delimiter, start)
        return None if end is None else start + end


def read_table(found: Opened, encoding: Optional[str], options: TableOptions,
               table: Dict[str, List[str]], na: FrozenSet[str]) -> TableStart:
    """Reads the head of `found` (peeked: the pass reads it again) and finds the table in it.
    Raises HeaderError for a header that does not decode."""
    head = Head.read(found.input, BLOCK_SIZE, encoding, HEADER_LIMIT,
                     options.delimiter or "".join(CANDIDATES))
    layout = head_layout(head, options, table, na)
    if layout.header_cells is not None:
        _check_header(layout.header_cells, found.name, head.encoding)
    return TableStart(head, layout)


def table_fields(layout: Layout, options: TableOptions) -> Dict[str, Any]:
    """The report's account of where the table starts, and of what was sniffed or given."""
    return dict(skip_rows=layout.skip_rows, skip_rows_sniffed=options.skip_rows is None,
                comment=layout.comment, header=layout.header,
                header_sniffed=options.header is None, row_names=layout.row_names)


def _first_row_end(source: quorvel_ext._Input, delimiter: str, start: int) -> Optional[int]:
    """Where the tokenizer ends the row that starts at byte `start`, counted from there; at the
    end of an input whose last row has no line end."""
    size = BLOCK_SIZE
    while True:
        raw = source.peek(start + size)
        complete = len(raw) < start + size
        end = first_row_end(raw[start:], delimiter, complete)
        if end is not None or complete or size >= HEADER_LIMIT:
            return end if end is not None else (len(raw) - start if complete else None)
        size = min(2 * size, HEADER_LIMIT)


def _check_header(header: List[str], name: str, encoding: str) -> None:
    """Column names must be text: a header cell that does not decode raises HeaderError."""
    for position, cell in enumerate(header):
        if any(0xDC00 <= ord(c) <= 0xDCFF for c in cell):
            raise HeaderError(f"the header of '{name}' is not valid {encoding}: cell "
                              f"{position + 1} is {show_text(cell.encode('utf-8', 'surrogatepass'), False)!r}")


def _check_path(path: object) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    filepath = os.fspath(path)
    if not isinstance(filepath, str):
        raise TypeError(f"path must name the file as str, not {type(filepath).__name__}")
    return filepath


def _check_source(source: object) -> None:
    if isinstance(source, (str, os.PathLike)) or (isinstance(source, int)
                                                  and not isinstance(source, bool)):
        return
    if not (hasattr(source, "readinto") or hasattr(source, "read")):
        raise TypeError(f"source must be a path, a URL, a file descriptor or a binary file "
                        f"object, not {type(source).__name__}")


def check_types(types: object) -> Dict[str, List[str]]:
    if not isinstance(types, Mapping):
        raise TypeError(f"types must be a mapping of type names to pattern lists, "
                        f"not {type(types).__name__}")
    table = {}
    for name, patterns in types.items():
        if not isinstance(name, str):
            raise TypeError(f"types: a type name must be a str, not {type(name).__name__}")
        if name in RESERVED or name == "":
            raise ValueError(f"types: '{name}' is reserved for the counts and cannot name a type")
        if (isinstance(patterns, str) or not isinstance(patterns, Iterable)
                or not all(isinstance(p, str) for p in patterns)):
            raise TypeError(f"types: type '{name}' needs a list of pattern strings")
        table[name] = list(patterns)
    return table


def _check_na(na: object) -> FrozenSet[str]:
    if isinstance(na, (str, bytes)) or not isinstance(na, Iterable):
        raise TypeError(f"na must be an iterable of str, not {type(na).__name__}")
    texts = frozenset(na)
    wrong = next((t for t in texts if not isinstance(t, str)), None)
    if wrong is not None:
        raise TypeError(f"na must hold str only, not {type(wrong).__name__}")
    return texts


def _check_threads(threads: object) -> None:
    if threads is None or isinstance(threads, bool):
        return
    if not isinstance(threads, int):
        raise TypeError(f"threads must be None, a bool or an int, not {type(threads).__name__}")
    if not 1 <= threads <= 2**31 - 1:
        raise ValueError(f"threads must be between 1 and {2**31 - 1}, not {threads}")


def _check_threshold(threshold: object) -> None:
    if isinstance(threshold, bool) or not isinstance(threshold, (int, float)):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
    if not 0 < threshold <= 1:
        raise ValueError(f"threshold must be above 0 and at most 1, not {threshold!r}")


def _check_window(window: object) -> None:
    if isinstance(window, bool) or not isinstance(window, int):
        raise TypeError(f"window must be an int, not {type(window).__name__}")
    if not 0 <= window <= 2**31 - 1:
        raise ValueError(f"window must be between 0 and {2**31 - 1}, not {window}")


def _check_delimiter(delimiter: object) -> str:
    if not isinstance(delimiter, str):
        raise TypeError(f"delimiter must be a str, not {type(delimiter).__name__}")
    if len(delimiter) != 1 or not delimiter.isascii() or delimiter in '"\r\n':
        raise ValueError(f"delimiter must be one ASCII character other than a quote or a "
                         f"line break, not {delimiter!r}")
    return delimiter


def _text_size(source: quorvel_ext._Input) -> Optional[int]:
    """The bytes of text a pass reads, when known before it: the size of a plain source; None
    for a compressed one or a pipe."""
    return source.size if source.compression == "none" else None


# The cores a pass of this process may take, when fewer than it may run on.
_core_limit: Optional[int] = None


def limit_cores(cores: int) -> None:
    """Holds this process's passes to `cores` threads, for a process among others that share
    the machine's cores."""
    global _core_limit
    _core_limit = cores


def available_cores() -> int:
    """The cores this process may run on (an affinity mask or a container can hold it to fewer
    than the machine's), or fewer after limit_cores()."""
    cores = len(os.sched_getaffinity(0))
    return cores if _core_limit is None else min(cores, _core_limit)


def thread_count(threads: Threads, text_size: Optional[int]) -> int:
    """The threads a pass runs on for describe's `threads`, given the bytes of text it will read
    (None when unknown)."""
    cores = available_cores()
    if threads is None:
        small = text_size is not None and text_size < ONE_THREAD_BELOW
        return 1 if small else cores
    if isinstance(threads, bool):
        return cores if threads else 1
    return threads


def _set_threads(inf: quorvel_ext.Inf, count: int) -> None:
    inf.set_multithreading(count > 1)
    quorvel_ext._set_pass_threads(inf, count)


def _make_inf(delimiter: str, table: Dict[str, List[str]], na: FrozenSet[str],
              window: int) -> quorvel_ext.Inf:
    try:
        return quorvel_ext.Inf(filepath="", delimiter=delimiter, col_type_patterns=table,
                               na_values=set(na), multithreading=False, save_types_file=False,
                               types_filepath="", rolling_cache_window=window)
    except RuntimeError:
        raise_for_bad_pattern(table)
        raise


def raise_for_bad_pattern(table: Dict[str, List[str]]) -> None:
    """Compiles each pattern alone to name the one the whole table failed on."""
    for name, patterns in table.items():
        for pattern in patterns:
            try:
                quorvel_ext.Inf(filepath="", delimiter=",", col_type_patterns={name: [pattern]},
                                na_values=set(), multithreading=False, save_types_file=False,
                                types_filepath="", rolling_cache_window=0)
            except RuntimeError as e:
                raise ValueError(f"types: pattern {pattern!r} of type '{name}' does not compile: "
                                 f"{e}") from None


def head_layout(head: Head, options: TableOptions, table: Dict[str, List[str]],
                na: FrozenSet[str]) -> Layout:
    """Where the table starts and what its columns are called. A first row longer than the head
    stays the engine's to name: its layout has no names, and the table starts at the top."""
    if head.header_end is None:
        return Layout(options.delimiter or ",", 0, 0, None, True, False, [], None)
    has_type = type_classifier((p for patterns in table.values() for p in patterns), na)
    return find_table(head.text, head.complete, options, has_type)


def _run(inf: quorvel_ext.Inf, source: quorvel_ext._Input, layout: Layout,
         progress: Optional[Progress]) -> None:
    """The pass over `source`, counting the columns by the layout's names."""
    quorvel_ext._infer_types(inf, progress, input=source, names=layout.names or None,
                             header=layout.header)


class PassResult(NamedTuple):
    """What a pass counted, by the engine's column names."""
    names: List[str]
    candidates: Dict[str, Dict[str, int]]  # column: {type, "other" or "NA": cells}
    rows: int
    extras: EngineExtras


def pass_result(inf: quorvel_ext.Inf, name: str) -> PassResult:
    """The counts of the last pass of `inf` over the file called `name`."""
    try:
        names = inf.col_names
        candidates = inf.get_col_type_candidates()
        extras = engine_extras(inf)
    except UnicodeDecodeError as e:
        raise HeaderError(f"the header of '{name}' is not valid UTF-8: {e}") from None
    return PassResult(names, candidates, inf.num_rows, extras)


def _columns(counted: PassResult, layout: Layout, order: List[str],
             threshold: float) -> Tuple[List[Column], EngineExtras]:
    """One column per name, and what the engine tells beyond the counts."""
    names, extras = counted.names, counted.extras
    sharing = collections.Counter(names)
    columns = []
    for position, key in enumerate(names):
        shared = sharing[key]
        counts = counted.candidates[key]
        cells = sum(counts.values())
        unnamed = layout.unnamed(position) if layout.names else key.startswith("Unitled_")
        columns.append(column_of(key, counts, order, threshold, shared,
                                 extras.raw_examples.get(key, {}), position=position,
                                 unnamed=unnamed,
                                 absent=max(counted.rows * shared - cells, 0)))
    return columns, extras


@functools.lru_cache(maxsize=8)
def _default_lattice(order: Tuple[str, ...]) -> Lattice:
    return lattice(order, frozen(WIDENS_TO))


def column_of(name: str, counts: Mapping[str, int], order: List[str], threshold: float,
              shared: int, examples: Optional[RawExamples] = None, **place: Any) -> Column:
    """The column's verdict and counts, from its cells' counts by type with "other" and "NA";
    `place` holds Column's position, unnamed and absent."""
    fit = choose_in(counts, _default_lattice(tuple(order)), threshold)
    seen = {t: counts[t] for t in order + ["other"] if counts.get(t, 0) > 0}
    return Column(name=name, verdict=fit.name, share=fit.share, cells=sum(seen.values()),
                  missing=counts.get("NA", 0), counts=seen, misfits=fit.misfits, shared=shared,
                  misfit_examples=examples_of(examples or {}, fit.misfits), **place)
