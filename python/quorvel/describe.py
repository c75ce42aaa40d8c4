"""One pass over a CSV file with a type table, checked up front and summed up as a Report.

    report = describe("orders.csv", threshold=0.95)
    print(report)
"""

import collections
import dataclasses
import os
from typing import (Any, Callable, Dict, FrozenSet, Iterable, List, Mapping, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import quorvel_ext

from .report import Column, Report
from .rowscan import first_row_end
from .sniff import BLOCK_SIZE, sniff_delimiter
from .source import (Head, Opened, Source, check_encoding, decoded, opened, show_text,
                     undecodable_of, unique_names)
from .types import DEFAULT_NA, DEFAULT_TYPES, WIDENS_TO
from .verdict import RESERVED, choose

Progress = Callable[[int, Optional[int], int], None]
PathArg = Union[str, "os.PathLike[str]"]
Threads = Union[None, bool, int]
BOM = "\ufeff"

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


class EngineExtras(NamedTuple):
    """What the pass can tell beyond its counts, keyed by the engine's column names."""
    misfit_examples: Dict[str, Examples]  # column: {type or "other": [(text, data row)]}
    short_rows: Optional[int]  # None when not counted
    long_rows: Optional[int]


CUT_MARK = "\u2026"


def engine_extras(inf: quorvel_ext.Inf) -> EngineExtras:
    """The one place where the engine's misfit texts and ragged-row counts enter the report.

    Per column and type (or "other", "NA"), the engine keeps the first few cells of its last
    pass in file order, with their rows, numbered from 1 at the first data row, as the UTF-8
    it read. Bytes that did not decode show as backslash escapes, and a text the engine cut
    short ends in CUT_MARK.
    """
    examples = {column: {type_name: [(_cell_text(raw, size), row) for raw, row, size in cells]
                         for type_name, cells in by_type.items()}
                for column, by_type in quorvel_ext._cell_examples(inf).items()}
    short_rows, long_rows = quorvel_ext._ragged_rows(inf)
    return EngineExtras(examples, short_rows, long_rows)


def _cell_text(raw: bytes, size: int) -> str:
    cut = len(raw) < size
    return show_text(raw, cut) + (CUT_MARK if cut else "")


def describe(source: Source, *, types: Optional[Mapping[str, Sequence[str]]] = None,
             na: Optional[Iterable[str]] = None, delimiter: Optional[str] = None,
             encoding: Optional[str] = None, threads: Threads = None, threshold: float = 0.9,
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
    sniffed = delimiter is None
    if delimiter is not None:
        delimiter = _check_delimiter(delimiter)
    given_encoding = None if encoding is None else check_encoding(encoding)
    # The table compiles before the source is touched, so that every argument is judged first.
    inf = _make_inf(delimiter or ",", table, na_texts, window)
    if cluster is not None:
        from .cluster import describe_on_cluster
        settings = Settings(table, na_texts, delimiter, given_encoding, threads, threshold,
                            window, storage_options)
        return describe_on_cluster(source, cluster, settings, progress)
    with opened(source, storage_options) as found:
        start = find_table(found, given_encoding, delimiter)
        _set_threads(inf, thread_count(threads, _text_size(found.input)))
        inf.set_delimiter(start.delimiter)
        engine_input, python = decoded(found.input, start.head)
        _run(inf, engine_input, start.names, progress)
        undecodable, first_undecodable = undecodable_of(engine_input, python)
    columns, extras = _columns(pass_result(inf, found.name), start.header, list(table),
                               threshold)
    return Report(path=found.name, delimiter=start.delimiter, delimiter_sniffed=sniffed,
                  rows=inf.num_rows, threshold=threshold, na=sorted(na_texts), columns=columns,
                  encoding=start.head.encoding, encoding_detected=given_encoding is None,
                  short_rows=extras.short_rows, long_rows=extras.long_rows,
                  undecodable=undecodable, first_undecodable_at=first_undecodable,
                  local_path=found.local_path)


class Settings(NamedTuple):
    """describe's arguments as checked, for a pass run elsewhere than in describe()."""
    table: Dict[str, List[str]]
    na: FrozenSet[str]
    delimiter: Optional[str]  # None: sniffed
    encoding: Optional[str]  # Python's name; None: detected
    threads: Threads
    threshold: float
    window: int
    storage_options: Optional[Mapping[str, Any]]


class TableStart(NamedTuple):
    """Where a file's table starts and what its columns are called."""
    head: Head
    delimiter: str
    header: Optional[List[str]]  # the header row's cells as decoded; None if beyond the head
    names: Optional[List[str]]  # what the pass counts the columns by; None: the engine names them
    # The byte of the content where the data rows start, just past the header row as the
    # tokenizer reads its bytes; None when that row goes on past HEADER_LIMIT bytes. Meaningful
    # for text whose quotes and line ends are single ASCII bytes.
    data_start: Optional[int]


def find_table(found: Opened, encoding: Optional[str], delimiter: Optional[str]) -> TableStart:
    """Reads the head of `found` (peeked: the pass reads it again), sniffs the delimiter when
    none is given, and reads the header row. Raises HeaderError for a header that does not
    decode."""
    head = Head.read(found.input, BLOCK_SIZE, encoding, HEADER_LIMIT)
    if delimiter is None:
        delimiter = sniff_delimiter(head.text.encode("utf-8", "surrogatepass"), head.complete)
    header = head.header(delimiter)
    if header is not None:
        _check_header(header, found.name, head.encoding)
    end = _header_end(found.input, delimiter, head.bom)
    return TableStart(head, delimiter, header, None if header is None else unique_names(header),
                      None if end is None else head.bom + end)


def _header_end(source: quorvel_ext._Input, delimiter: str, bom: int) -> Optional[int]:
    """Where the tokenizer ends the first row, from the end of the byte order mark; at the end
    of an input of one row without a line end."""
    size = BLOCK_SIZE
    while True:
        raw = source.peek(size)
        complete = len(raw) < size
        end = first_row_end(raw[bom:], delimiter, complete)
        if end is not None or complete or size >= HEADER_LIMIT:
            return end if end is not None else (len(raw) - bom if complete else None)
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


def _run(inf: quorvel_ext.Inf, source: quorvel_ext._Input, names: Optional[List[str]],
         progress: Optional[Progress]) -> None:
    """The pass over `source`, counting the columns by `names`; the engine names them from the
    first row when the head holds no whole header."""
    quorvel_ext._infer_types(inf, progress, input=source, names=names)


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


def _columns(counted: PassResult, header: Optional[List[str]], order: List[str],
             threshold: float) -> Tuple[List[Column], EngineExtras]:
    """One column per header cell, named by the header as decoded, counted by the engine's name;
    and what the engine tells beyond the counts."""
    names, extras = counted.names, counted.extras
    if header is None or len(header) != len(names):
        header = [cell[len(BOM):] if i == 0 and cell.startswith(BOM) else cell
                  for i, cell in enumerate(names)]
    sharing = collections.Counter(names)
    columns = []
    for position, (key, text) in enumerate(zip(names, header)):
        shared = sharing[key]
        column = column_of(text or key, counted.candidates[key], order, threshold, shared,
                           extras.misfit_examples.get(key, {}))
        cells = column.cells + column.missing
        columns.append(dataclasses.replace(column, position=position, unnamed=not text,
                                           absent=max(counted.rows * shared - cells, 0)))
    return columns, extras


def column_of(name: str, counts: Mapping[str, int], order: List[str], threshold: float,
              shared: int, examples: Optional[Examples] = None) -> Column:
    """The column's verdict and counts, from its cells' counts by type with "other" and "NA"."""
    fit = choose(counts, order, WIDENS_TO, threshold)
    seen = {t: counts[t] for t in order + ["other"] if counts.get(t, 0) > 0}
    shown = {t: list(texts) for t, texts in (examples or {}).items() if t in fit.misfits}
    return Column(name=name, verdict=fit.name, share=fit.share, cells=sum(seen.values()),
                  missing=counts.get("NA", 0), counts=seen, misfits=fit.misfits, shared=shared,
                  misfit_examples=shown)
