"""One pass over a CSV file with a type table, checked up front and summed up as a Report.

    report = describe("orders.csv", threshold=0.95)
    print(report)
"""

import codecs
import dataclasses
import os
import stat
from typing import (Callable, Dict, FrozenSet, Iterable, List, Mapping, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import quorvel_ext

from .report import Column, Report
from .sniff import BLOCK_SIZE, sniff_delimiter
from .source import Head, check_encoding, engine_names, fed, read_once
from .types import DEFAULT_NA, DEFAULT_TYPES, WIDENS_TO
from .verdict import RESERVED, choose

Progress = Callable[[int, Optional[int], int], None]
PathArg = Union[str, "os.PathLike[str]"]
Threads = Union[None, bool, int]
BOM = "\ufeff"

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


# The encoding of the bytes the engine read, by the file's: a UTF-16 file
# reaches it transcoded to UTF-8, and a byte order mark only opens the header.
_ENGINE_ENCODING = {"utf-16": "utf-8", "utf-8-sig": "utf-8"}
CUT_MARK = "\u2026"


def engine_extras(inf: quorvel_ext.Inf, encoding: str = "utf-8") -> EngineExtras:
    """The one place where the engine's misfit texts and ragged-row counts enter the report.

    Per column and type (or "other", "NA"), the engine keeps the first few
    cells of its last pass in file order, with their rows, numbered from 1
    at the first row after the header; `encoding` is the file's, as
    describe() found it. Bytes that do not decode show as backslash escapes,
    and a text the engine cut short ends in CUT_MARK.
    """
    codec = _ENGINE_ENCODING.get(encoding, encoding)
    examples = {column: {type_name: [(_cell_text(raw, size, codec), row)
                                     for raw, row, size in cells]
                         for type_name, cells in by_type.items()}
                for column, by_type in quorvel_ext._cell_examples(inf).items()}
    short_rows, long_rows = quorvel_ext._ragged_rows(inf)
    return EngineExtras(examples, short_rows, long_rows)


def _cell_text(raw: bytes, size: int, codec: str) -> str:
    if len(raw) == size:
        return raw.decode(codec, errors="backslashreplace")
    # Not final: a character the cut split in two is dropped, not escaped.
    decoder = codecs.getincrementaldecoder(codec)(errors="backslashreplace")
    return decoder.decode(raw, final=False) + CUT_MARK


def describe(path: PathArg, *, types: Optional[Mapping[str, Sequence[str]]] = None,
             na: Optional[Iterable[str]] = None, delimiter: Optional[str] = None,
             encoding: Optional[str] = None, threads: Threads = None, threshold: float = 0.9,
             window: int = 100_000, progress: Optional[Progress] = None) -> Report:
    """Reads the CSV file at `path` once and gives each column a verdict.

    types: {type name: [patterns]}, each pattern matching a whole cell
        (default DEFAULT_TYPES).
    na: the cell texts that stand for missing values (default DEFAULT_NA).
    delimiter: one ASCII character; None sniffs it from the first block.
    encoding: "utf-8", "utf-8-sig", "utf-16" or "latin-1" (any of Python's
        names for them); None detects it from the first block.
    threads: how many threads the pass runs on (same results on any
        number). None picks: one for a plain file below ONE_THREAD_BELOW
        bytes, every core the process may use for larger ones and for input
        of no size known beforehand (compressed files, pipes). True is every
        core, False or 1 one thread, N that many threads.
    threshold: the share of a column's non-missing cells its verdict must
        cover, above 0 and at most 1; below it the verdict is "mixed".
    window: forget the remembered types every `window` rows; 0 never.
    progress: called with (bytes read, total bytes or None, rows read)
        during the pass and once at its end.

    A UTF-16 file, a header that is not UTF-8 and a header that repeats a
    name reach the pass through a FIFO with a UTF-8 header of unique names
    (see source), so that every header cell gets its own counts.

    Every argument is checked before the pass: a file that cannot be read
    raises FileNotFoundError, IsADirectoryError or PermissionError, a bad
    argument TypeError or ValueError naming it, a pattern that does not
    compile ValueError naming its type.
    """
    filepath = _check_path(path)
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
    # The table compiles before the file is touched, so that every argument is
    # judged first; a sniffed delimiter is set once the head is read.
    inf = _make_inf(filepath, delimiter or ",", table, na_texts, window)
    _check_readable(filepath)
    with read_once(filepath, BLOCK_SIZE) as (source, start):
        head = Head.read(start, BLOCK_SIZE, given_encoding)
        _set_threads(inf, thread_count(threads, _text_size(filepath)))
        if delimiter is None:
            delimiter = sniff_delimiter(head.text.encode("utf-8"), head.complete)
            inf.set_delimiter(delimiter)
        header = head.header(delimiter)
        _pass(inf, filepath, (source, start), head, delimiter, header, progress)
    columns, extras = _columns(inf, filepath, header, list(table), threshold, head.encoding)
    return Report(path=filepath, delimiter=delimiter, delimiter_sniffed=sniffed,
                  rows=inf.num_rows, threshold=threshold, na=sorted(na_texts), columns=columns,
                  encoding=head.encoding, encoding_detected=given_encoding is None,
                  short_rows=extras.short_rows, long_rows=extras.long_rows)


def _pass(inf: quorvel_ext.Inf, filepath: str, read: Tuple[str, str], head: Head, delimiter: str,
          header: Optional[List[str]], progress: Optional[Progress]) -> None:
    """Runs the pass on the file, or on a FIFO with a header the engine can use (see source).

    `read` is what read_once gave: the path the pass reads, and a file that
    begins as `filepath` does, to look at without reading a FIFO twice.
    """
    source, start = read
    if header is None:
        if head.encoding == "utf-16":
            raise HeaderError(f"the header of '{filepath}' does not end in its first "
                              f"{BLOCK_SIZE} bytes, so its UTF-16 cannot be rewritten")
        _run_on(inf, source, progress)
        return
    names = engine_names(header)
    repeats = names != header and not _is_zstd(start)
    not_utf8 = head.encoding == "latin-1" and not all(name.isascii() for name in header)
    if head.encoding != "utf-16" and not repeats and not not_utf8:
        _run_on(inf, source, progress)
        return
    with fed(source, head, delimiter, names) as fifo:
        _run_on(inf, fifo, progress)


def _run_on(inf: quorvel_ext.Inf, path: str, progress: Optional[Progress]) -> None:
    """The pass over `path`; the object keeps the path it had."""
    kept = inf.get_filepath()
    inf.set_filepath(path)
    try:
        _run(inf, progress)
    finally:
        inf.set_filepath(kept)


def _is_zstd(filepath: str) -> bool:
    """zstd input, which the package cannot decompress to rewrite its header."""
    with open(filepath, "rb") as f:
        return f.read(4) == b"\x28\xb5\x2f\xfd"


def _check_path(path: object) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
    filepath = os.fspath(path)
    if not isinstance(filepath, str):
        raise TypeError(f"path must name the file as str, not {type(filepath).__name__}")
    return filepath


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


def _check_readable(filepath: str) -> None:
    """Raises what os raises for a file that cannot be read, naming the path and the reason,
    which the engine's own open cannot tell; a FIFO is not opened, since it reads only once."""
    if stat.S_ISFIFO(os.stat(filepath).st_mode):
        if not os.access(filepath, os.R_OK):
            raise PermissionError(13, "Permission denied", filepath)
        return
    with open(filepath, "rb"):
        pass


def _text_size(filepath: str) -> Optional[int]:
    """The bytes of text a pass over `filepath` reads, when known before it: the size of a plain
    regular file; None for a compressed file or a pipe."""
    status = os.stat(filepath)
    if not stat.S_ISREG(status.st_mode):
        return None
    with open(filepath, "rb") as f:
        raw = f.read(_MAGIC_BYTES)
    # The engine hands back a compressed file's first bytes decompressed.
    return status.st_size if quorvel_ext._read_head(filepath, len(raw)) == raw else None


# Enough of a file's start for the engine to know it compressed.
_MAGIC_BYTES = 16


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


def _make_inf(filepath: str, delimiter: str, table: Dict[str, List[str]], na: FrozenSet[str],
              window: int) -> quorvel_ext.Inf:
    try:
        return quorvel_ext.Inf(filepath=filepath, delimiter=delimiter, col_type_patterns=table,
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


def _run(inf: quorvel_ext.Inf, progress: Optional[Progress]) -> None:
    if progress is None:
        inf.infer_types()
    else:
        quorvel_ext._infer_types(inf, progress)


def _columns(inf: quorvel_ext.Inf, filepath: str, header: Optional[List[str]], order: List[str],
             threshold: float, encoding: str) -> Tuple[List[Column], EngineExtras]:
    """One column per header cell, named by the header as decoded, counted by the engine's name;
    and what the engine tells beyond the counts."""
    try:
        names = inf.col_names
        candidates = inf.get_col_type_candidates()
        extras = engine_extras(inf, encoding)
    except UnicodeDecodeError as e:
        raise HeaderError(f"the header of '{filepath}' is not valid UTF-8: {e}") from None
    if header is None or len(header) != len(names):
        header = [name[len(BOM):] if i == 0 and name.startswith(BOM) else name
                  for i, name in enumerate(names)]
    columns = []
    for position, (key, text) in enumerate(zip(names, header)):
        shared = names.count(key)
        column = column_of(text or key, candidates[key], order, threshold, shared,
                           extras.misfit_examples.get(key, {}))
        counted = column.cells + column.missing
        columns.append(dataclasses.replace(column, position=position, unnamed=not text,
                                           absent=max(inf.num_rows * shared - counted, 0)))
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
